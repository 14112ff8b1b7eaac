// Shared helpers of the benchmark programs that drive the library.
#include "BenchKvx.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "BenchServer.h"

namespace {
thread_local unsigned long t_receives = 0;
}  // namespace

// Defined in the program, this recv is the one the library's sockets call;
// it counts and hands over to the C library's.
extern "C" ssize_t recv(int fd, void* buffer, size_t size, int flags) {
  typedef ssize_t (*Recv)(int, void*, size_t, int);
  static const Recv real = reinterpret_cast<Recv>(dlsym(RTLD_NEXT, "recv"));
  ++t_receives;
  return real(fd, buffer, size, flags);
}

namespace kvx_bench {

unsigned long ThreadReceives() { return t_receives; }

bool Tunnel::Start(int loopback_port, std::string* error) {
  char directory[] = "/tmp/kvx-bench-XXXXXX";
  if (!mkdtemp(directory)) {
    *error = "cannot create a socket directory";
    return false;
  }
  m_Directory = directory;
  if (!m_Daemon.Start("UNIX:" + m_Directory + "/usbmuxd.sock", error)) return false;
  ::setenv("USBMUXD_SOCKET_ADDRESS", m_Daemon.SocketAddress().c_str(), 1);
  m_Handle = static_cast<NPT_Int32>(m_Daemon.AddDevice("kvx-bench-device", 0x1294));
  if (m_Handle == 0 || !m_Daemon.MapPort("kvx-bench-device", 8099, static_cast<uint16_t>(loopback_port))) {
    *error = "cannot attach the simulated device";
    return false;
  }
  return true;
}

Tunnel::~Tunnel() {
  m_Daemon.Stop();
  if (!m_Directory.empty()) rmdir(m_Directory.c_str());
}

void CountingDelegate::OnNewImage(const NPT_Byte*, NPT_UInt64 size, const char*) {
  unsigned long frame = frames.load(std::memory_order_relaxed);
  if (frame < arrival_capacity) arrivals[frame] = NowNs();
  if (frame + 1 == m_Warmup) {
    allocations_at_warmup = ThreadAllocations();
    receives_at_warmup = ThreadReceives();
  }
  allocations_at_last = ThreadAllocations();
  receives_at_last = ThreadReceives();
  bytes.fetch_add(size, std::memory_order_relaxed);
  frames.store(frame + 1);
  // Throughput runs wait only for the end: the frame path stays a no-op
  // there, without a lock or a wake-up per frame.
  if (!m_FrameWaiter.load()) return;
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Changed.notify_all();
}

void CountingDelegate::OnDisconnection() {
  struct timespec cpu;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu) == 0) worker_cpu_seconds = cpu.tv_sec + cpu.tv_nsec * 1e-9;
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Ended = true;
  m_Changed.notify_all();
}

bool CountingDelegate::WaitForEnd(int timeout_ms) {
  std::unique_lock<std::mutex> lock(m_Lock);
  return m_Changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return m_Ended; });
}

bool CountingDelegate::WaitForFrames(unsigned long count, int timeout_ms) {
  m_FrameWaiter.store(true);
  std::unique_lock<std::mutex> lock(m_Lock);
  return m_Changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [this, count] { return frames.load() >= count || m_Ended; }) &&
         frames.load() >= count;
}

std::unique_ptr<KVX_Device> MakeDevice(int port, const std::string& target, NPT_Int32 handle) {
  NPT_List<NPT_HttpUrl> urls;
  std::string url = "http://127.0.0.1:" + std::to_string(port) + target;
  urls.Add(NPT_HttpUrl(url.c_str()));
  return std::unique_ptr<KVX_Device>(new KVX_Device(urls, handle));
}

}  // namespace kvx_bench
