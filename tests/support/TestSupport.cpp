#include "TestSupport.h"

#include <chrono>
#include <filesystem>
#include <thread>

namespace kvx_test {

namespace {
// Sanitizer runtimes start a helper thread of their own when a process creates
// its first thread. Creating one before any test runs keeps that helper out of
// the thread counts the tests compare.
struct StartRuntimeHelpersEarly {
  StartRuntimeHelpersEarly() { std::thread([] {}).join(); }
} g_StartRuntimeHelpersEarly;

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}
}  // namespace

std::string BuildPath(const std::string& relative) { return std::string(KVX_BINARY_DIR) + "/" + relative; }

std::string UsbmuxdDoublePath() { return KVX_USBMUXD_DOUBLE; }

std::string UsbmuxdDoubleNoUnsubscribePath() { return KVX_USBMUXD_DOUBLE_NOUNSUB; }

std::string SourcePath(const std::string& relative) { return std::string(KVX_SOURCE_DIR) + "/" + relative; }

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TemporaryDirectory::~TemporaryDirectory() {
  if (m_Path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(m_Path, ignored);
}

bool raw::SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    long n = Send(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

LoopbackListener::LoopbackListener() { m_Fd = raw::ListenOnLoopback(&m_Port); }

LoopbackListener::~LoopbackListener() {
  for (int fd : m_Accepted) raw::Close(fd);
  if (m_Fd >= 0) raw::Close(m_Fd);
}

bool LoopbackListener::HasPending(int timeout_ms) { return raw::WaitReadable(m_Fd, timeout_ms); }

int LoopbackListener::Accept() {
  if (!HasPending(20000)) return -1;
  int fd = raw::Accept(m_Fd);
  if (fd >= 0) m_Accepted.push_back(fd);
  return fd;
}

LoopbackClient::LoopbackClient(int port) { m_Fd = raw::ConnectToLoopback(port); }

LoopbackClient::~LoopbackClient() { Close(); }

void LoopbackClient::Close() {
  if (m_Fd >= 0) raw::Close(m_Fd);
  m_Fd = -1;
}

bool LoopbackClient::Send(const std::string& bytes) { return raw::SendAll(m_Fd, bytes); }

bool LoopbackClient::ReadToEnd(std::string* out, int timeout_ms, size_t limit) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<char> buffer(1 << 16);
  while (out->size() < limit) {
    int left = MillisecondsUntil(deadline);
    if (left <= 0) return false;
    if (!raw::WaitReadable(m_Fd, left)) return false;
    long n = raw::Receive(m_Fd, buffer.data(), buffer.size());
    if (n <= 0) return true;
    out->append(buffer.data(), static_cast<size_t>(n));
  }
  return false;
}

bool LoopbackClient::QuietFor(int ms) { return !raw::WaitReadable(m_Fd, ms); }

}  // namespace kvx_test
