#pragma once
// Helpers shared by the benchmark programs that drive the library: a device
// stream over TCP or through a simulated usbmux daemon, and a delegate that
// counts frames and allocations.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "AllocationCounter.h"
#include "KvxDevice.h"
#include "UsbmuxdSimulator.h"

namespace kvx_bench {

// Heap allocations made so far by the calling thread (the tests' allocation
// counter, linked into every benchmark program that drives the library).
using kvx_test::ThreadAllocations;

// Calls of recv made so far by the calling thread: every program that links
// these helpers counts them on the way to the C library's recv.
unsigned long ThreadReceives();

// A simulated daemon on a private UNIX socket with one device whose app port
// 8099 leads to 127.0.0.1:loopback_port. Points USBMUXD_SOCKET_ADDRESS at it.
class Tunnel {
 public:
  bool Start(int loopback_port, std::string* error);
  ~Tunnel();
  NPT_Int32 Handle() const { return m_Handle; }
  kvx_sim::UsbmuxdSimulator& Daemon() { return m_Daemon; }
  const std::string& Directory() const { return m_Directory; }

 private:
  kvx_sim::UsbmuxdSimulator m_Daemon;
  std::string m_Directory;
  NPT_Int32 m_Handle = 0;
};

// Counts frames and bytes; notes the worker's allocation count after the
// warm-up frames and at the last frame; optionally notes each frame's arrival.
class CountingDelegate : public KVX_DeviceDelegate {
 public:
  explicit CountingDelegate(unsigned long warmup = 3) : m_Warmup(warmup) {}
  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) override;
  void OnDisconnection() override;
  // Waits until the stream ended (true) or timeout_ms passed (false).
  bool WaitForEnd(int timeout_ms);
  // Waits until at least `count` frames arrived.
  bool WaitForFrames(unsigned long count, int timeout_ms);

  std::atomic<unsigned long> frames{0};
  std::atomic<unsigned long long> bytes{0};
  // CPU time of the stream's worker thread, taken as it reports the end:
  // the library's own work, without a simulated daemon's relay threads.
  double worker_cpu_seconds = -1;
  unsigned long allocations_at_warmup = 0;
  unsigned long allocations_at_last = 0;
  unsigned long receives_at_warmup = 0;
  unsigned long receives_at_last = 0;
  // Arrival times (NowNs) of the first `arrival_capacity` frames.
  std::unique_ptr<int64_t[]> arrivals;
  unsigned long arrival_capacity = 0;

 private:
  unsigned long m_Warmup;
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  bool m_Ended = false;
  std::atomic<bool> m_FrameWaiter{false};
};

// "http://127.0.0.1:<port><target>" as the only URL of a new device stream.
std::unique_ptr<KVX_Device> MakeDevice(int port, const std::string& target, NPT_Int32 handle);

}  // namespace kvx_bench
