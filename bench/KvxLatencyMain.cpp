// kvx-latency: latency trials of the library, each figure as
// "latency NAME min=X median=Y max=Z n=N" in milliseconds.
//   abort-tcp, abort-tunnel  Abort + destructor of a device stream whose
//                            server stalls mid-part, until the destructor returns
//   frame-jpeg, frame-rgb    a paced frame's last byte handed to the kernel by
//                            the server until OnNewImage is entered
//   attach                   a device attached at the simulated daemon until
//                            OnDeviceFound for its app (one device)
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppSimulator.h"
#include "BenchKvx.h"
#include "BenchServer.h"
#include "KvxUSBController.h"

namespace {
using kvx_bench::NowNs;

void Report(const char* name, std::vector<double> values) {
  if (values.empty()) {
    std::printf("latency %s n=0\n", name);
    return;
  }
  std::sort(values.begin(), values.end());
  std::printf("latency %s min=%.3f median=%.3f max=%.3f n=%zu\n", name, values.front(), values[values.size() / 2],
              values.back(), values.size());
  std::fflush(stdout);
}

std::vector<double> AbortTrials(kvx_bench::BenchServer& server, bool tunnel_mode, int trials) {
  std::vector<double> result;
  kvx_bench::Tunnel tunnel;
  int port = server.Port();
  NPT_Int32 handle = 0;
  if (tunnel_mode) {
    std::string error;
    if (!tunnel.Start(port, &error)) {
      std::fprintf(stderr, "kvx-latency: %s\n", error.c_str());
      return result;
    }
    handle = tunnel.Handle();
    port = 8099;
  }
  for (int i = 0; i < trials; ++i) {
    kvx_bench::CountingDelegate delegate;
    std::unique_ptr<KVX_Device> device = kvx_bench::MakeDevice(port, "/jpeg?frames=100&stall=3", handle);
    device->SetDelegate(&delegate);
    device->Start("kvx-bench");
    if (!delegate.WaitForFrames(3, 5000)) {
      std::fprintf(stderr, "kvx-latency: no frames before the stall\n");
      break;
    }
    for (int wait = 0; wait < 500 && server.Stalled() == 0; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Let the worker settle into its blocking read.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    int64_t start = NowNs();
    device->Abort();
    device.reset();
    result.push_back((NowNs() - start) / 1e6);
  }
  return result;
}

std::vector<double> FrameTrials(kvx_bench::BenchServer& server, const char* stream, int frames) {
  std::vector<double> result;
  kvx_bench::CountingDelegate delegate(1);
  delegate.arrivals.reset(new int64_t[frames]);
  delegate.arrival_capacity = static_cast<unsigned long>(frames);
  server.ClearWriteTimes();
  std::string target = std::string("/") + stream + "?frames=" + std::to_string(frames) + "&pace_ms=20";
  {
    std::unique_ptr<KVX_Device> device = kvx_bench::MakeDevice(server.Port(), target, 0);
    device->SetDelegate(&delegate);
    device->Start("kvx-bench");
    delegate.WaitForEnd(60000);
  }
  std::vector<int64_t> written = server.WriteTimes();
  size_t count = std::min<size_t>(written.size(), delegate.frames.load());
  for (size_t i = 0; i < count; ++i) result.push_back((delegate.arrivals[i] - written[i]) / 1e6);
  return result;
}

class FoundDelegate : public KVX_USBControllerDelegate {
 public:
  void OnDeviceFound(const char*, NPT_Int32, const char*) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++found;
    found_at = NowNs();
    m_Changed.notify_all();
  }
  void OnDeviceRemoved(const char*) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++removed;
    m_Changed.notify_all();
  }
  bool Wait(const int& counter, int target, int timeout_ms) {
    std::unique_lock<std::mutex> lock(m_Lock);
    return m_Changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return counter >= target; });
  }
  int found = 0;
  int removed = 0;
  int64_t found_at = 0;

 private:
  std::mutex m_Lock;
  std::condition_variable m_Changed;
};

std::vector<double> AttachTrials(int trials) {
  std::vector<double> result;
  kvx_sim::AppSimConfig config;
  config.keep_alive = true;
  kvx_sim::AppSimulator app(config);
  int app_port = app.Start();
  kvx_bench::Tunnel tunnel;
  std::string error;
  if (app_port < 0 || !tunnel.Start(app_port, &error)) {
    std::fprintf(stderr, "kvx-latency: cannot set up discovery: %s\n", error.c_str());
    return result;
  }
  // Only the trial devices count: the tunnel's own device goes first.
  tunnel.Daemon().Detach("kvx-bench-device");
  FoundDelegate delegate;
  KVX_USBController controller;
  controller.SetDelegate(&delegate);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (int i = 0; i < trials; ++i) {
    std::string id = "kvx-bench-attach-" + std::to_string(i);
    tunnel.Daemon().MapPort(id, 8099, static_cast<uint16_t>(app_port));
    int expected = delegate.found + 1;
    int64_t start = NowNs();
    tunnel.Daemon().AddDevice(id, 0x1294);
    if (!delegate.Wait(delegate.found, expected, 5000)) {
      std::fprintf(stderr, "kvx-latency: attach %d was not found within 5 s\n", i);
      break;
    }
    result.push_back((delegate.found_at - start) / 1e6);
    int removed = delegate.removed + 1;
    tunnel.Daemon().Detach(id);
    delegate.Wait(delegate.removed, removed, 5000);
    // Attach at an arbitrary point of the controller's once-a-second pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(137 * (i + 1) % 1000));
  }
  controller.Abort();
  return result;
}
}  // namespace

int main(int argc, char** argv) {
  int trials = argc > 1 ? std::atoi(argv[1]) : 10;
  kvx_bench::BenchServer server;
  server.AddStream("jpeg", "image/jpeg", std::vector<uint8_t>(51200, 0x5a));
  server.AddStream("rgb", "image/rgb", std::vector<uint8_t>(1920 * 1080 * 3, 0x33));
  if (server.Start() < 0) {
    std::fprintf(stderr, "kvx-latency: cannot listen\n");
    return 1;
  }
  Report("abort-tcp", AbortTrials(server, false, trials));
  Report("abort-tunnel", AbortTrials(server, true, trials));
  Report("frame-jpeg", FrameTrials(server, "jpeg", 5 * trials));
  Report("frame-rgb", FrameTrials(server, "rgb", 2 * trials));
  Report("attach", AttachTrials(std::max(3, trials / 2)));
  server.Stop();
  return 0;
}
