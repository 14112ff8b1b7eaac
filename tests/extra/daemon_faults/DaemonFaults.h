#pragma once
// Shared pieces of the daemon fault tests: the process's simulated daemon, a
// fixture that owns the apps and controllers a test starts, a recording
// stream delegate that checks every frame against the app double's pattern,
// and a count of the sockets the usbmux client library itself leaves behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AppSimulator.h"
#include "DiscoveryRecorder.h"
#include "KvxDevice.h"
#include "KvxUSBController.h"
#include "UsbmuxdSimulator.h"
#include "TestSupport.h"

namespace kvx_daemon_faults {

using Clock = std::chrono::steady_clock;

// Set by main before any test runs: the daemon is listening on loopback TCP
// and USBMUXD_SOCKET_ADDRESS points at it.
extern kvx_sim::UsbmuxdSimulator* g_Daemon;
extern bool g_LibraryPresent;
// True once this process has created a controller (and so subscribed).
extern bool g_Subscribed;

using kvx_test::ElapsedMs;

// The TCP port of the simulated daemon (from "127.0.0.1:PORT").
int DaemonPort();

// Sockets of this process connected to `port` on loopback whose peer has
// closed while this side has not (CLOSE_WAIT). With every tunnel of ours
// either open or closed by us, these are the listen connections the client
// library abandons on each reconnect without closing them.
int CountHalfClosedSocketsTo(int port);

// Records stream callbacks as a string ("C", "F" per frame, "D") and checks
// each frame on arrival: its sequence number (-1 when the pattern does not
// match) and size. Optionally blocks inside one frame callback until released.
class StreamProbe : public KVX_DeviceDelegate {
 public:
  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) override;
  void OnConnection() override { Record('C'); }
  void OnDisconnection() override {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_DisconnectedAt = Clock::now();
    m_Events += 'D';
    m_Changed.notify_all();
  }

  // The next OnNewImage with this frame index (0-based) waits until Release.
  void HoldAtFrame(size_t index);
  void Release();
  bool WaitUntilHeld(int timeout_ms);

  bool WaitForFrames(size_t count, int timeout_ms);
  bool WaitForEnd(int timeout_ms);
  std::string Events();
  std::vector<int64_t> Sequences();
  std::vector<size_t> Sizes();
  std::vector<std::string> Types();
  Clock::time_point DisconnectedAt();

 private:
  void Record(char event);
  bool WaitFor(const std::function<bool(const std::string&)>& done, int timeout_ms);

  std::mutex m_Mutex;
  std::condition_variable m_Changed;
  std::string m_Events;
  std::vector<int64_t> m_Sequences;
  std::vector<size_t> m_Sizes;
  std::vector<std::string> m_Types;
  Clock::time_point m_DisconnectedAt;
  size_t m_HoldAt = SIZE_MAX;
  bool m_Held = false;
  bool m_Released = false;
};

// "C", whole frames 0, 1, 2... of `frame_size` bytes each, then "D": a run
// that ended by itself with every delivered frame intact and in order.
void ExpectDisconnectedWithWholeFrames(StreamProbe& probe, size_t frame_size, const std::string& what);

class DaemonFaultTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  kvx_sim::AppSimulator& StartApp(const kvx_sim::AppSimConfig& config);
  KVX_USBController& NewController(kvx_discovery_test::RecordingDelegate& delegate);
  static kvx_sim::AppSimConfig Named(const std::string& name);
  // Attaches `identifier` (an accepted product id) with both app ports routed
  // to `app`; the device's handle, 0 on failure.
  static uint32_t AttachWithApp(const std::string& identifier, kvx_sim::AppSimulator& app);

  std::vector<std::unique_ptr<kvx_sim::AppSimulator>> m_Apps;
  std::vector<std::unique_ptr<KVX_USBController>> m_Controllers;
};

}  // namespace kvx_daemon_faults
