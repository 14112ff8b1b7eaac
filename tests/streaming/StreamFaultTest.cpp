// KVX_Device under faults of the path to the app, over TCP and tunnels (the
// usbmux double): the connection cut in the middle of a frame, a consumer
// slower than the stream, and create/start/abort/destroy at random moments a
// thousand times. The host application must never see a callback after
// destruction, a frame cut short, a hang, or growth of descriptors, threads
// or memory.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "AppSimulator.h"
#include "FramePattern.h"
#include "KvxDevice.h"
#include "KvxUSBMux.h"
#include "NptDynamicLibraries.h"
#include "TestSupport.h"
#include "DefaultBindingOnDouble.h"
#include "../hostile/HostileCatalogue.h"
#include "../hostile/ReplayServer.h"

// Points the process's default usbmux binding at another library for a test.
namespace {

using kvx_sim::AppSimConfig;
using kvx_sim::AppSimulator;
using Clock = std::chrono::steady_clock;

const NPT_Int32 kHandle = 11;

using kvx_test::ElapsedMs;

long RssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Records callbacks; frames are checked against the app double's pattern on
// arrival. Optionally sleeps in every OnNewImage (a slow consumer).
class Probe : public KVX_DeviceDelegate {
 public:
  explicit Probe(int sleep_ms = 0) : m_SleepMs(sleep_ms) {}
  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char*) override {
    uint64_t seq = 0;
    bool valid = kvx_sim::VerifyFrame(data, static_cast<size_t>(size), &seq);
    if (m_SleepMs) std::this_thread::sleep_for(std::chrono::milliseconds(m_SleepMs));
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Events += 'F';
    m_Sequences.push_back(valid ? static_cast<int64_t>(seq) : -1);
    m_Sizes.push_back(static_cast<size_t>(size));
    m_Changed.notify_all();
  }
  void OnConnection() override { Record('C'); }
  void OnDisconnection() override { Record('D'); }

  bool WaitFor(const std::function<bool(const std::string&)>& done, int timeout_ms) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done(m_Events); });
  }
  bool WaitForFrames(size_t count, int timeout_ms = 30000) {
    return WaitFor([&](const std::string& e) { return std::count(e.begin(), e.end(), 'F') >= (long)count; },
                   timeout_ms);
  }
  bool WaitForEnd(int timeout_ms = 30000) {
    return WaitFor([](const std::string& e) { return e.find('D') != std::string::npos; }, timeout_ms);
  }
  std::string Events() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Events;
  }
  std::vector<int64_t> Sequences() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Sequences;
  }
  std::vector<size_t> Sizes() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Sizes;
  }

 private:
  void Record(char event) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Events += event;
    m_Changed.notify_all();
  }
  int m_SleepMs;
  std::mutex m_Mutex;
  std::condition_variable m_Changed;
  std::string m_Events;
  std::vector<int64_t> m_Sequences;
  std::vector<size_t> m_Sizes;
};

// Frames 0, 1, 2... each intact, none missing or repeated.
void ExpectInOrder(const std::vector<int64_t>& sequences, const std::string& what) {
  for (size_t i = 0; i < sequences.size(); ++i) ASSERT_EQ(sequences[i], static_cast<int64_t>(i)) << what;
}

// "C", then frames, then at most one "D" at the very end (or none).
bool WellFormed(const std::string& events, bool allow_disconnection) {
  if (events.empty()) return true;
  size_t at = 0;
  if (events[0] == 'C') {
    at = 1;
    while (at < events.size() && events[at] == 'F') ++at;
  }
  if (at == events.size()) return true;
  return allow_disconnection && events[at] == 'D' && at + 1 == events.size();
}

enum class Transport { kTcp, kTunnel };

class StreamFaultTest : public testing::TestWithParam<Transport> {
 protected:
  void SetUp() override {
    if (GetParam() != Transport::kTunnel) return;
    ASSERT_TRUE(m_Binding.Activate());
    m_Double = m_Binding.Double();
    ASSERT_EQ(m_Double->attach(kHandle, 0x1292, "faulty"), 0);
  }
  void TearDown() override { m_Binding.Restore(); }
  NPT_Int32 Handle() const { return GetParam() == Transport::kTunnel ? kHandle : 0; }
  NPT_List<NPT_HttpUrl> UrlsFor(int loopback_port) {
    NPT_List<NPT_HttpUrl> urls;
    if (GetParam() == Transport::kTcp) {
      urls.Add(NPT_HttpUrl("127.0.0.1", static_cast<NPT_UInt16>(loopback_port), "/stream"));
    } else {
      NPT_UInt16 device_port = m_NextDevicePort++;
      m_Double->map_port(kHandle, device_port, static_cast<NPT_UInt16>(loopback_port));
      urls.Add(NPT_HttpUrl("127.0.0.1", device_port, "/stream"));
    }
    return urls;
  }

  DefaultBindingOnDouble m_Binding;
  KvxUsbmuxdDouble* m_Double = nullptr;
  NPT_UInt16 m_NextDevicePort = 30000;
};

// The device goes away in the middle of a frame while the app holds the
// connection: the frames before it are delivered, the cut one is not, the end
// is a disconnection (not an abort), and nothing is called after destruction.
TEST_P(StreamFaultTest, DetachInTheMiddleOfAFrameDisconnectsWithTheWholeFramesOnly) {
  const std::string b0 = kvx_hostile::Body(0, 1000), b1 = kvx_hostile::Body(1, 70000);
  const std::string answer = kvx_hostile::Head() + kvx_hostile::Part(b0) + kvx_hostile::Part(b1) +
                             kvx_hostile::Part(kvx_hostile::Body(2, 50000)).substr(0, 20000);
  kvx_hostile::ReplayServer server(answer, true);
  ASSERT_GT(server.Start(), 0);
  class Keeper : public Probe {
   public:
    void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* type) override {
      frames.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
      Probe::OnNewImage(data, size, type);
    }
    std::vector<std::string> frames;  // read only after the worker has ended
  } probe;
  {
    KVX_Device device(UrlsFor(server.Port()), Handle());
    device.SetDelegate(&probe);
    ASSERT_EQ(device.Start("fault"), NPT_SUCCESS);
    ASSERT_TRUE(probe.WaitForFrames(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(probe.Events(), "CFF");  // the third frame is still open
    server.Stop();  // the cable is pulled
    // Noticed at once, not at the 30 s I/O time-out (a generous bound below
    // it, for a loaded machine).
    ASSERT_TRUE(probe.WaitForEnd(15000));
  }
  const std::string events = probe.Events();
  EXPECT_EQ(events, "CFFD");
  ASSERT_EQ(probe.frames.size(), 2u);
  EXPECT_TRUE(probe.frames[0] == b0);
  EXPECT_TRUE(probe.frames[1] == b1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(probe.Events(), events);
}

// A consumer slower than the app: every frame arrives whole and in order (the
// connection holds back the app instead of memory growing), and Abort during
// the stall a slow consumer causes is prompt.
TEST_P(StreamFaultTest, SlowConsumerGetsEveryFrameInOrderWithBoundedMemory) {
  AppSimConfig config;
  config.frame_size = 256 * 1024;
  config.frame_count = 0;  // endless
  config.require_auth = true;
  AppSimulator app(config);
  ASSERT_GT(app.Start(), 0);
  Probe probe(15);
  auto device = std::make_unique<KVX_Device>(UrlsFor(app.Port()), Handle());
  device->SetDelegate(&probe);
  ASSERT_EQ(device->Start("slow"), NPT_SUCCESS);
  ASSERT_TRUE(probe.WaitForFrames(5));
  const long rss = RssKiB();
  ASSERT_TRUE(probe.WaitForFrames(40, 20000));
  // 35 more frames of 256 KiB went through; what stays is one frame store and
  // the socket buffers.
  EXPECT_LT(RssKiB() - rss, 8 * 1024) << "KiB";
  Clock::time_point start = Clock::now();
  device->Abort();
  device.reset();
  // Not the 30 s I/O time-out of the stalled write.
  EXPECT_LT(ElapsedMs(start), 15000);
  std::vector<int64_t> sequences = probe.Sequences();
  ExpectInOrder(sequences, "slow consumer");
  for (size_t size : probe.Sizes()) EXPECT_EQ(size, config.frame_size);
  EXPECT_EQ(probe.Events().find('D'), std::string::npos);
}

// Create, start, abort (or not) at a random moment and destroy, many times:
// every run is well formed, nothing runs after destruction, and descriptors
// and threads come back to where they were.
TEST_P(StreamFaultTest, StartAbortDestroyRacesLeakNothing) {
  AppSimConfig config;
  config.frame_size = 3000;
  config.frame_count = 0;
  config.require_auth = true;
  AppSimulator app(config);
  ASSERT_GT(app.Start(), 0);
  NPT_List<NPT_HttpUrl> urls = UrlsFor(app.Port());
  std::mt19937 random(GetParam() == Transport::kTcp ? 1 : 2);
  const int iterations = GetParam() == Transport::kTcp ? 1000 : 400;

  // Warm up once, so lazily created process-wide state is not counted.
  {
    Probe probe;
    KVX_Device device(urls, Handle());
    device.SetDelegate(&probe);
    device.Start("race");
    ASSERT_TRUE(probe.WaitForFrames(1));
  }
  const int descriptors = kvx_test::CountOpenDescriptors();
  const int threads = kvx_test::CountThreads();
  for (int i = 0; i < iterations; ++i) {
    // The app double serves at most 64 connections at a time and closes any
    // more unanswered, which a run then reports as a disconnection. Its
    // threads retire our closed connections only as fast as a loaded machine
    // lets them: the loop waits for them (each run opens at most two).
    if (i % 16 == 0) {
      ASSERT_TRUE(app.WaitForConnectionsOpen(0, 30000)) << app.ConnectionsOpen();
    }
    Probe probe;
    const int mode = static_cast<int>(random() % 4);
    const int delay_us = static_cast<int>(random() % 3000);
    {
      KVX_Device device(urls, Handle());
      device.SetDelegate(&probe);
      if (mode != 3) {
        ASSERT_EQ(device.Start("race"), NPT_SUCCESS);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
      if (mode == 0 || mode == 3) device.Abort();
      if (mode == 1) {
        device.Abort();
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us / 2));
      }
    }
    const std::string events = probe.Events();
    ASSERT_TRUE(WellFormed(events, false)) << i << " " << events;
    ExpectInOrder(probe.Sequences(), std::to_string(i));
    if (mode == 3) {
      ASSERT_EQ(events, "") << i;
    }
    if (HasFailure()) break;
  }
  // The app double closes its side on its own threads, as fast as the
  // machine lets it.
  Clock::time_point settle = Clock::now();
  while ((kvx_test::CountOpenDescriptors() > descriptors || kvx_test::CountThreads() > threads) &&
         ElapsedMs(settle) < 30000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_LE(kvx_test::CountOpenDescriptors(), descriptors);
  EXPECT_LE(kvx_test::CountThreads(), threads);
}

// An Abort at any moment of a walk over URLs that answer 404 or never answer
// ends the walk: the destructor returns at once instead of waiting out the
// I/O time-out of every URL left.
TEST_P(StreamFaultTest, AbortEndsAWalkOverSilentUrls) {
  kvx_hostile::ReplayServer missing("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  kvx_hostile::ReplayServer silent("", true);  // takes the request, never answers
  ASSERT_GT(missing.Start(), 0);
  ASSERT_GT(silent.Start(), 0);
  NPT_List<NPT_HttpUrl> urls;
  for (int i = 0; i < 3; ++i) {
    urls.Add(*UrlsFor(missing.Port()).GetFirstItem());
    urls.Add(*UrlsFor(silent.Port()).GetFirstItem());
  }
  std::mt19937 random(3);
  long worst = 0;
  for (int i = 0; i < 40; ++i) {
    // Half inside the first URLs' exchanges, half anywhere in the first wait.
    const int delay_us = static_cast<int>(random() % (i % 2 ? 3000 : 100000));
    Probe probe;
    Clock::time_point aborted;
    {
      KVX_Device device(urls, Handle());
      device.SetDelegate(&probe);
      ASSERT_EQ(device.Start("walk"), NPT_SUCCESS);
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
      aborted = Clock::now();
      device.Abort();
    }
    const long elapsed = ElapsedMs(aborted);
    worst = std::max(worst, elapsed);
    // Only a hang bound: each URL left would otherwise cost its 30 s time-out.
    ASSERT_LT(elapsed, 20000) << "aborted " << delay_us << " us into the walk";
    EXPECT_EQ(probe.Events(), "");
  }
  std::printf("abort to destructor return, worst of 40 walks: %ld ms\n", worst);
}

INSTANTIATE_TEST_SUITE_P(Transports, StreamFaultTest, testing::Values(Transport::kTcp, Transport::kTunnel),
                         [](const testing::TestParamInfo<Transport>& info) {
                           return info.param == Transport::kTcp ? "Tcp" : "Tunnel";
                         });

}  // namespace
