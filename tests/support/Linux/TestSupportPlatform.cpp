// Linux counterparts of the platform-specific test helpers: counts from /proc,
// BSD sockets.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "TestSupport.h"

namespace kvx_test {

namespace {
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

long ProcessId() { return (long)::getpid(); }

void SetEnvironment(const char* name, const char* value) { setenv(name, value, 1); }

TemporaryDirectory::TemporaryDirectory(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) m_Path = pattern;
}

int raw::ListenOnLoopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int raw::ConnectToLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int raw::Accept(int listener) { return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }

bool raw::WaitReadable(int fd, int timeout_ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

long raw::Send(int fd, const void* data, size_t size) { return (long)send(fd, data, size, MSG_NOSIGNAL); }

long raw::Receive(int fd, void* buffer, size_t size) { return (long)recv(fd, buffer, size, 0); }

void raw::Close(int fd) { close(fd); }

}  // namespace kvx_test
