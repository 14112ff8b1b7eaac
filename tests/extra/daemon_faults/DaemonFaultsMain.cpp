// The daemon fault suite's process set-up and shared helpers. The usbmux
// client library keeps its subscription, and the daemon address it read, for
// the life of the process, so main starts a simulated daemon on loopback TCP
// (the only form in which the library reconnects after a restart) and sets
// USBMUXD_SOCKET_ADDRESS before any test creates a controller. Every test runs
// in a process of its own.

#include <dirent.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "DaemonFaults.h"
#include "FramePattern.h"

namespace kvx_daemon_faults {

kvx_sim::UsbmuxdSimulator* g_Daemon = nullptr;
bool g_LibraryPresent = false;
bool g_Subscribed = false;

int DaemonPort() {
  const std::string address = g_Daemon ? g_Daemon->SocketAddress() : std::string();
  const size_t colon = address.rfind(':');
  return colon == std::string::npos ? 0 : atoi(address.c_str() + colon + 1);
}

int CountHalfClosedSocketsTo(int port) {
  // Socket inodes this process holds.
  std::set<unsigned long> inodes;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(fds)) {
      char link[64] = {0};
      const std::string path = std::string("/proc/self/fd/") + entry->d_name;
      ssize_t length = readlink(path.c_str(), link, sizeof(link) - 1);
      unsigned long inode = 0;
      if (length > 0 && sscanf(link, "socket:[%lu]", &inode) == 1) inodes.insert(inode);
    }
    closedir(fds);
  }
  // Lines: "sl local rem st tx:rx tr:when retr uid timeout inode ...", with
  // addresses as HEX_IP:HEX_PORT; state 08 is CLOSE_WAIT.
  int count = 0;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // column titles
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
    unsigned long inode = 0;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode)) {
      continue;
    }
    const size_t colon = remote.find(':');
    if (colon == std::string::npos || state != "08" || inodes.count(inode) == 0) continue;
    if (strtol(remote.c_str() + colon + 1, nullptr, 16) == port) ++count;
  }
  return count;
}

void StreamProbe::OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) {
  uint64_t seq = 0;
  const bool valid = kvx_sim::VerifyFrame(data, static_cast<size_t>(size), &seq);
  std::unique_lock<std::mutex> lock(m_Mutex);
  const size_t index = m_Sequences.size();
  m_Events += 'F';
  m_Sequences.push_back(valid ? static_cast<int64_t>(seq) : -1);
  m_Sizes.push_back(static_cast<size_t>(size));
  m_Types.push_back(content_type ? content_type : "");
  m_Changed.notify_all();
  if (index == m_HoldAt) {
    m_Held = true;
    m_Changed.notify_all();
    // Bounded, so that a test that fails before Release cannot hang.
    m_Changed.wait_for(lock, std::chrono::seconds(60), [this] { return m_Released; });
  }
}

void StreamProbe::HoldAtFrame(size_t index) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_HoldAt = index;
}

void StreamProbe::Release() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Released = true;
  m_Changed.notify_all();
}

bool StreamProbe::WaitUntilHeld(int timeout_ms) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  return m_Changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return m_Held; });
}

bool StreamProbe::WaitForFrames(size_t count, int timeout_ms) {
  return WaitFor([&](const std::string& e) { return std::count(e.begin(), e.end(), 'F') >= (long)count; },
                 timeout_ms);
}

bool StreamProbe::WaitForEnd(int timeout_ms) {
  return WaitFor([](const std::string& e) { return e.find('D') != std::string::npos; }, timeout_ms);
}

std::string StreamProbe::Events() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Events;
}

std::vector<int64_t> StreamProbe::Sequences() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Sequences;
}

std::vector<size_t> StreamProbe::Sizes() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Sizes;
}

std::vector<std::string> StreamProbe::Types() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Types;
}

Clock::time_point StreamProbe::DisconnectedAt() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_DisconnectedAt;
}

void StreamProbe::Record(char event) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Events += event;
  m_Changed.notify_all();
}

bool StreamProbe::WaitFor(const std::function<bool(const std::string&)>& done, int timeout_ms) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  return m_Changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done(m_Events); });
}

void ExpectDisconnectedWithWholeFrames(StreamProbe& probe, size_t frame_size, const std::string& what) {
  const std::string events = probe.Events();
  ASSERT_GE(events.size(), 2u) << what << ": " << events;
  EXPECT_EQ(events.front(), 'C') << what << ": " << events;
  EXPECT_EQ(events.back(), 'D') << what << ": " << events;
  EXPECT_EQ(std::count(events.begin(), events.end(), 'D'), 1) << what << ": " << events;
  const std::vector<int64_t> sequences = probe.Sequences();
  const std::vector<size_t> sizes = probe.Sizes();
  for (size_t i = 0; i < sequences.size(); ++i) {
    EXPECT_EQ(sequences[i], static_cast<int64_t>(i)) << what << ": frame " << i << " damaged or out of order";
    EXPECT_EQ(sizes[i], frame_size) << what << ": frame " << i << " cut short";
  }
}

void DaemonFaultTest::SetUp() {
  if (!g_LibraryPresent) GTEST_SKIP() << "the usbmux client library is not installed";
  ASSERT_NE(g_Daemon, nullptr);
}

void DaemonFaultTest::TearDown() {
  // Controllers first (they hold tunnels into the apps), then the apps.
  m_Controllers.clear();
  for (auto& app : m_Apps) app->Stop();
}

kvx_sim::AppSimulator& DaemonFaultTest::StartApp(const kvx_sim::AppSimConfig& config) {
  m_Apps.emplace_back(new kvx_sim::AppSimulator(config));
  EXPECT_GT(m_Apps.back()->Start(), 0);
  return *m_Apps.back();
}

KVX_USBController& DaemonFaultTest::NewController(kvx_discovery_test::RecordingDelegate& delegate) {
  g_Subscribed = true;
  m_Controllers.emplace_back(new KVX_USBController());
  m_Controllers.back()->SetDelegate(&delegate);
  return *m_Controllers.back();
}

kvx_sim::AppSimConfig DaemonFaultTest::Named(const std::string& name) {
  kvx_sim::AppSimConfig config;
  config.device_name = name;
  config.require_auth = true;
  return config;
}

uint32_t DaemonFaultTest::AttachWithApp(const std::string& identifier, kvx_sim::AppSimulator& app) {
  const uint16_t port = static_cast<uint16_t>(app.Port());
  if (!g_Daemon->MapPort(identifier, 8099, port) || !g_Daemon->MapPort(identifier, 8100, port)) return 0;
  return g_Daemon->AddDevice(identifier, 0x1292);
}

}  // namespace kvx_daemon_faults

int main(int argc, char** argv) {
  using kvx_daemon_faults::g_Daemon;
  ::testing::InitGoogleTest(&argc, argv);
  for (const char* name : {"libusbmuxd-2.0.so.6", "libusbmuxd.so.6"}) {
    if (void* module = dlopen(name, RTLD_NOW | RTLD_LOCAL)) {
      dlclose(module);
      kvx_daemon_faults::g_LibraryPresent = true;
      break;
    }
  }
  kvx_sim::UsbmuxdSimulator daemon;
  std::string error;
  if (!daemon.Start("127.0.0.1:0", &error)) {
    fprintf(stderr, "simulated daemon: %s\n", error.c_str());
    return 2;
  }
  setenv("USBMUXD_SOCKET_ADDRESS", daemon.SocketAddress().c_str(), 1);
  g_Daemon = &daemon;
  const int result = RUN_ALL_TESTS();
  g_Daemon = nullptr;
  daemon.Stop();
  return result;
}
