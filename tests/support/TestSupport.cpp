#include "TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
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

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}
}  // namespace

int CountOpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int count = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory stream's own descriptor
}

int CountThreads() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) {
      std::istringstream value(line.substr(8));
      int threads = -1;
      value >> threads;
      return threads;
    }
  }
  return -1;
}

std::string BuildPath(const std::string& relative) { return std::string(KVX_BINARY_DIR) + "/" + relative; }

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

TemporaryDirectory::TemporaryDirectory(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) m_Path = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  if (m_Path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(m_Path, ignored);
}

LoopbackListener::LoopbackListener() {
  m_Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_Fd < 0) return;
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof(address);
  if (bind(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(m_Fd, 64) != 0 ||
      getsockname(m_Fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(m_Fd);
    m_Fd = -1;
    return;
  }
  m_Port = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  for (int fd : m_Accepted) close(fd);
  if (m_Fd >= 0) close(m_Fd);
}

bool LoopbackListener::HasPending(int timeout_ms) {
  pollfd p = {m_Fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

int LoopbackListener::Accept() {
  if (!HasPending(20000)) return -1;
  int fd = accept4(m_Fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) m_Accepted.push_back(fd);
  return fd;
}

LoopbackClient::LoopbackClient(int port) {
  m_Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_Fd < 0) return;
  sockaddr_in address = LoopbackAddress(port);
  if (connect(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) Close();
}

LoopbackClient::~LoopbackClient() { Close(); }

void LoopbackClient::Close() {
  if (m_Fd >= 0) close(m_Fd);
  m_Fd = -1;
}

bool LoopbackClient::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(m_Fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool LoopbackClient::ReadToEnd(std::string* out, int timeout_ms, size_t limit) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<char> buffer(1 << 16);
  while (out->size() < limit) {
    int left = MillisecondsUntil(deadline);
    if (left <= 0) return false;
    pollfd p = {m_Fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) return false;
    ssize_t n = recv(m_Fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) return true;
    out->append(buffer.data(), static_cast<size_t>(n));
  }
  return false;
}

bool LoopbackClient::QuietFor(int ms) {
  pollfd p = {m_Fd, POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

}  // namespace kvx_test
