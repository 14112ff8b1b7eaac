// kvx-controller-idle: the CPU a discovery controller spends while every app
// it knows is announced and nothing changes.
//   kvx-controller-idle [DEVICES [SECONDS]]     (16 devices, 60 s)
// A child process runs the simulated usbmux daemon and one companion-app
// double per device (answering on both app ports), so that only the
// controller, the usbmux client library and the library's own threads are
// counted. The parent points the client library at the daemon, waits until
// every app was found, then measures its own CPU time (user+sys) over the
// window. Prints
//   "controller_idle devices=D apps=A found=F seconds=S cpu_s=C percent=P"
// where P is the CPU time in percent of one core; exits 1 when not every app
// was found within 30 s.
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppSimulator.h"
#include "KvxUSBController.h"
#include "UsbmuxdSimulator.h"

namespace {

const uint16_t kAppPorts[] = {8099, 8100};

// The child: daemon and apps until the parent closes `commands`.
int RunDevices(int devices, int report, int commands) {
  char directory[] = "/tmp/kvx-idle-XXXXXX";
  if (!mkdtemp(directory)) return 1;
  std::vector<std::unique_ptr<kvx_sim::AppSimulator>> apps;
  kvx_sim::UsbmuxdSimulator daemon;
  std::string error;
  bool ok = daemon.Start(std::string("UNIX:") + directory + "/usbmuxd.sock", &error);
  for (int i = 0; ok && i < devices; ++i) {
    kvx_sim::AppSimConfig config;
    config.device_name = "Idle " + std::to_string(i);
    config.keep_alive = true;
    apps.emplace_back(new kvx_sim::AppSimulator(config));
    int port = apps.back()->Start();
    std::string id = "kvx-idle-" + std::to_string(i);
    for (uint16_t app_port : kAppPorts) ok = ok && port > 0 && daemon.MapPort(id, app_port, static_cast<uint16_t>(port));
    ok = ok && daemon.AddDevice(id, 0x1294) != 0;
  }
  std::string line = ok ? daemon.SocketAddress() + "\n" : "ERROR " + error + "\n";
  ssize_t ignored = write(report, line.data(), line.size());
  (void)ignored;
  close(report);
  char byte;
  while (read(commands, &byte, 1) > 0) {
  }
  daemon.Stop();
  for (auto& app : apps) app->Stop();
  rmdir(directory);
  return ok ? 0 : 1;
}

class FoundCounter : public KVX_USBControllerDelegate {
 public:
  void OnDeviceFound(const char*, NPT_Int32, const char*) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_Found;
    m_Changed.notify_all();
  }
  void OnDeviceRemoved(const char*) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_Removed;
  }
  bool WaitFor(int count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(m_Lock);
    return m_Changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return m_Found >= count; });
  }
  int Found() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Found;
  }
  int Removed() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Removed;
  }

 private:
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  int m_Found = 0;
  int m_Removed = 0;
};

double CpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int devices = argc > 1 ? std::atoi(argv[1]) : 16;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 60;
  if (devices < 1 || devices > 100 || seconds <= 0) {
    std::fprintf(stderr, "usage: kvx-controller-idle [DEVICES [SECONDS]]\n");
    return 2;
  }
  // Before any thread exists: the child gets a clean copy of the process.
  int report[2];
  int commands[2];
  if (pipe(report) != 0 || pipe(commands) != 0) return 1;
  pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    close(report[0]);
    close(commands[1]);
    _exit(RunDevices(devices, report[1], commands[0]));
  }
  close(report[1]);
  close(commands[0]);

  std::string address;
  char c;
  while (read(report[0], &c, 1) == 1 && c != '\n') address += c;
  close(report[0]);
  int status = 1;
  if (address.empty() || address.compare(0, 6, "ERROR ") == 0) {
    std::fprintf(stderr, "kvx-controller-idle: the simulated devices did not start: %s\n", address.c_str());
  } else {
    setenv("USBMUXD_SOCKET_ADDRESS", address.c_str(), 1);
    const int apps = devices * static_cast<int>(sizeof(kAppPorts) / sizeof(kAppPorts[0]));
    FoundCounter counter;
    {
      KVX_USBController controller;
      controller.SetDelegate(&counter);
      if (!counter.WaitFor(apps, 30000)) {
        std::fprintf(stderr, "kvx-controller-idle: %d of %d apps found within 30 s\n", counter.Found(), apps);
      } else {
        // One more pass, so that the window starts in the steady state.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        auto wall_start = std::chrono::steady_clock::now();
        double cpu_start = CpuSeconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        double cpu = CpuSeconds() - cpu_start;
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
        std::printf("controller_idle devices=%d apps=%d found=%d removed=%d seconds=%.1f cpu_s=%.4f percent=%.3f\n",
                    devices, apps, counter.Found(), counter.Removed(), wall, cpu, 100.0 * cpu / wall);
        status = counter.Found() == apps && counter.Removed() == 0 ? 0 : 1;
      }
      controller.Abort();
    }
  }
  close(commands[1]);
  int child_status = 0;
  waitpid(child, &child_status, 0);
  return status;
}
