// Linux: BSD sockets, poll, and a pipe to wake the pollers.
#include "../AppSimSockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace kvx_sim {
namespace net {

int ListenOnLoopback(uint16_t port, uint16_t* bound) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  struct sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *bound = ntohs(addr.sin_port);
  return fd;
}

int Accept(int listener) {
  int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

bool MakeWakePair(int pair[2]) { return ::pipe2(pair, O_CLOEXEC | O_NONBLOCK) == 0; }

void Wake(int write_end) {
  char byte = 1;
  while (::write(write_end, &byte, 1) < 0 && errno == EINTR) {
  }
}

PollResult Poll(int fd, bool readable, bool writable, int wake, int timeout_ms) {
  struct pollfd fds[2];
  nfds_t count = 0;
  if (fd >= 0) {
    fds[count].fd = fd;
    fds[count].events = static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0));
    fds[count].revents = 0;
    ++count;
  }
  fds[count].fd = wake;
  fds[count].events = POLLIN;
  fds[count].revents = 0;
  const nfds_t wake_index = count++;
  for (;;) {
    int n = ::poll(fds, count, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return PollResult::kError;
    if (fds[wake_index].revents != 0) return PollResult::kWoken;
    return n == 0 ? PollResult::kTimeout : PollResult::kReady;
  }
}

static long Outcome(ssize_t n) {
  if (n >= 0) return static_cast<long>(n);
  return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? kRetry : -1;
}

long Send(int fd, const void* data, size_t size) { return Outcome(::send(fd, data, size, MSG_NOSIGNAL)); }

long Recv(int fd, void* buffer, size_t size) { return Outcome(::recv(fd, buffer, size, 0)); }

void ShutdownWrite(int fd) { ::shutdown(fd, SHUT_WR); }

void ShutdownBoth(int fd) { ::shutdown(fd, SHUT_RDWR); }

void Close(int fd) { ::close(fd); }

}  // namespace net
}  // namespace kvx_sim
