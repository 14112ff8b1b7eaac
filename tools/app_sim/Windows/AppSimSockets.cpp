// Windows: Windows Sockets 2.2 (started with the first listener), WSAPoll,
// and a connected loopback pair to wake the pollers (WSAPoll takes sockets
// only). SO_REUSEADDR lets a restarted app bind its old port as on Linux; a
// test tool may share a port where a library must not.
#include "../AppSimSockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <mutex>

namespace kvx_sim {
namespace net {

namespace {

int ToInt(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }
SOCKET ToSocket(int fd) { return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fd); }

void StartSockets() {
  static std::once_flag started;
  std::call_once(started, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

SOCKET NewSocket() {
  StartSockets();
  return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

void SetNonBlocking(SOCKET s) {
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

long Outcome(int n) {
  if (n >= 0) return n;
  int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINTR ? kRetry : -1;
}

}  // namespace

int ListenOnLoopback(uint16_t port, uint16_t* bound) {
  SOCKET s = NewSocket();
  if (s == INVALID_SOCKET) return -1;
  BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof(on));
  sockaddr_in addr = Loopback(port);
  int len = sizeof(addr);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(s, 64) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    closesocket(s);
    return -1;
  }
  SetNonBlocking(s);
  *bound = ntohs(addr.sin_port);
  return ToInt(s);
}

int Accept(int listener) {
  SOCKET s = accept(ToSocket(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return -1;
  SetNonBlocking(s);
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
  return ToInt(s);
}

bool MakeWakePair(int pair[2]) {
  uint16_t port = 0;
  int listener = ListenOnLoopback(0, &port);
  if (listener < 0) return false;
  SOCKET writer = NewSocket();
  sockaddr_in addr = Loopback(port);
  SOCKET reader = INVALID_SOCKET;
  if (writer != INVALID_SOCKET && connect(writer, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    Poll(listener, true, false, -1, 10000);
    reader = accept(ToSocket(listener), nullptr, nullptr);
  }
  closesocket(ToSocket(listener));
  if (reader == INVALID_SOCKET) {
    if (writer != INVALID_SOCKET) closesocket(writer);
    return false;
  }
  SetNonBlocking(reader);
  pair[0] = ToInt(reader);
  pair[1] = ToInt(writer);
  return true;
}

void Wake(int write_end) {
  char byte = 1;
  send(ToSocket(write_end), &byte, 1, 0);
}

PollResult Poll(int fd, bool readable, bool writable, int wake, int timeout_ms) {
  WSAPOLLFD fds[2];
  ULONG count = 0;
  if (fd >= 0) {
    fds[count].fd = ToSocket(fd);
    fds[count].events = static_cast<SHORT>((readable ? POLLRDNORM : 0) | (writable ? POLLWRNORM : 0));
    fds[count].revents = 0;
    ++count;
  }
  ULONG wake_index = count;
  if (wake >= 0) {
    fds[count].fd = ToSocket(wake);
    fds[count].events = POLLRDNORM;
    fds[count].revents = 0;
    ++count;
  }
  int n = WSAPoll(fds, count, timeout_ms);
  if (n < 0) return PollResult::kError;
  if (wake >= 0 && fds[wake_index].revents != 0) return PollResult::kWoken;
  return n == 0 ? PollResult::kTimeout : PollResult::kReady;
}

long Send(int fd, const void* data, size_t size) {
  int count = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
  return Outcome(send(ToSocket(fd), static_cast<const char*>(data), count, 0));
}

long Recv(int fd, void* buffer, size_t size) {
  int count = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
  return Outcome(recv(ToSocket(fd), static_cast<char*>(buffer), count, 0));
}

void ShutdownWrite(int fd) { shutdown(ToSocket(fd), SD_SEND); }

void ShutdownBoth(int fd) { shutdown(ToSocket(fd), SD_BOTH); }

void Close(int fd) { closesocket(ToSocket(fd)); }

}  // namespace net
}  // namespace kvx_sim
