// Windows: the tunnel is a SOCKET, whose handle value fits the int the
// library's entry point returns. Windows Sockets is started at the first
// connection, not when the DLL loads (no such calls while the loader runs).
#include "../UsbmuxdDoubleConnect.h"

#include <winsock2.h>

#include <errno.h>

#include <cstring>
#include <mutex>

namespace {

int ToErrno(int error) {
  switch (error) {
    case WSAECONNREFUSED:
      return ECONNREFUSED;
    case WSAETIMEDOUT:
      return ETIMEDOUT;
    default:
      return EIO;
  }
}

}  // namespace

int kvx_double_connect_loopback(uint16_t port) {
  static std::once_flag started;
  std::call_once(started, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return -ToErrno(WSAGetLastError());
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    int error = WSAGetLastError();
    closesocket(s);
    return -ToErrno(error);
  }
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  return (int)s;
}
