#pragma once
// Windows platform sockets: the BSD-style socket objects behind the portable
// socket classes, over Windows Sockets 2.2. Every OS socket is non-blocking
// (ioctlsocket); a wait is a select on the one socket, woken early by the
// socket's network events or by Cancel through OS event objects.
//
// One NPT_BsdSocketFd owns one SOCKET. It is shared by the socket object and
// every stream obtained from it; the SOCKET is closed exactly once, when the
// last holder lets go or, after Cancel, as soon as no operation is using it,
// so a handle value is never closed while another thread may still pass it to
// the OS (where a later socket could reuse it).

#include <winsock2.h>

#include <atomic>
#include <mutex>

#include "NptReferences.h"
#include "NptResults.h"
#include "NptSockets.h"
#include "NptStreams.h"
#include "NptTypes.h"

// The one translation of Windows Sockets error codes into results (see
// NptSockets.h); any other code e gives -(22000 + e).
NPT_Result NPT_BsdSocketMapErrorCode(int error);

// Starts Windows Sockets 2.2 once per process (also when the runtime is
// loaded); true when it is usable.
bool NPT_Win32StartSockets();

// A new IPv4 socket of `type` that child processes do not inherit (starting
// Windows Sockets first if need be); INVALID_SOCKET on failure.
SOCKET NPT_Win32NewSocket(int type, int protocol);

class NPT_BsdSocketFd {
 public:
  // Takes ownership of `socket` and switches it to non-blocking mode.
  NPT_BsdSocketFd(SOCKET socket, NPT_Flags flags);
  ~NPT_BsdSocketFd();
  NPT_BsdSocketFd(const NPT_BsdSocketFd&) = delete;
  NPT_BsdSocketFd& operator=(const NPT_BsdSocketFd&) = delete;

  // Brackets every use of the handle. BeginUse gives NPT_ERROR_CANCELLED once
  // the socket is cancelled (and the handle, which stays open until the
  // matching EndUse, otherwise).
  NPT_Result BeginUse(SOCKET& socket);
  void EndUse();

  // Waits (between BeginUse and EndUse) until the socket is readable and/or
  // writable, or has an error, within `timeout`. A cancel wakes it at once.
  //   nothing within a non-zero timeout -> NPT_ERROR_TIMEOUT
  //   nothing with timeout 0            -> NPT_ERROR_WOULD_BLOCK
  //   cancelled                         -> NPT_ERROR_CANCELLED
  // With check_error, a pending socket error (a refused connect) is returned
  // mapped.
  NPT_Result WaitForCondition(bool wait_for_readable, bool wait_for_writeable, bool check_error,
                              NPT_Timeout timeout);

  // Cancel in two steps so that the caller can shut the socket down in
  // between: BeginCancel marks the socket cancelled and keeps the handle open
  // (INVALID_SOCKET when already closed); EndCancel wakes every waiter and
  // closes the socket when nobody uses it.
  void BeginCancel(SOCKET& socket);
  void EndCancel();

  bool IsCancelled() const { return m_Cancelled.load(std::memory_order_acquire); }

  std::atomic<NPT_Timeout> m_ReadTimeout;
  std::atomic<NPT_Timeout> m_WriteTimeout;
  std::atomic<NPT_Position> m_Position;  // bytes moved through the streams

 private:
  void CloseLocked();  // m_Lock held
  // Creates the event objects and ties the socket's network events to one of
  // them on the first wait that may block; false if that cannot be done.
  bool PrepareWakeUps();

  const SOCKET m_Socket;
  std::atomic<bool> m_Cancelled;
  const bool m_Cancellable;  // recorded only: every socket can be cancelled

  std::mutex m_Lock;       // guards the fields below
  unsigned int m_Users;    // operations between BeginUse and EndUse
  bool m_Closed;           // the SOCKET has been closed
  WSAEVENT m_NetworkEvent; // signalled by the socket's network events
  HANDLE m_CancelEvent;    // manual reset, signalled by Cancel
};

typedef NPT_Reference<NPT_BsdSocketFd> NPT_BsdSocketFdReference;

// Keeps the handle valid for one operation.
class NPT_BsdSocketFdUse {
 public:
  explicit NPT_BsdSocketFdUse(NPT_BsdSocketFd& fd) : m_Fd(fd), m_Number(INVALID_SOCKET) {
    m_Result = fd.BeginUse(m_Number);
  }
  ~NPT_BsdSocketFdUse() {
    if (m_Result == NPT_SUCCESS) m_Fd.EndUse();
  }
  NPT_Result GetResult() const { return m_Result; }
  SOCKET GetNumber() const { return m_Number; }

 private:
  NPT_BsdSocketFd& m_Fd;
  SOCKET m_Number;
  NPT_Result m_Result;
};

class NPT_BsdSocketStream {
 public:
  explicit NPT_BsdSocketStream(const NPT_BsdSocketFdReference& fd) : m_SocketFdReference(fd) {}

 protected:
  NPT_BsdSocketFdReference m_SocketFdReference;
};

class NPT_BsdSocketInputStream : public NPT_InputStream, protected NPT_BsdSocketStream {
 public:
  explicit NPT_BsdSocketInputStream(const NPT_BsdSocketFdReference& fd) : NPT_BsdSocketStream(fd) {}
  // Delivers what is there now (at most bytes_to_read), waiting up to the read
  // timeout only when nothing is.
  NPT_Result Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read = nullptr) override;
  NPT_Result Seek(NPT_Position offset) override;
  NPT_Result Tell(NPT_Position& where) override;
  NPT_Result GetSize(NPT_LargeSize& size) override;
  NPT_Result GetAvailable(NPT_LargeSize& available) override;
};

class NPT_BsdSocketOutputStream : public NPT_OutputStream, protected NPT_BsdSocketStream {
 public:
  explicit NPT_BsdSocketOutputStream(const NPT_BsdSocketFdReference& fd) : NPT_BsdSocketStream(fd) {}
  NPT_Result Write(const void* buffer, NPT_Size bytes_to_write, NPT_Size* bytes_written = nullptr) override;
  NPT_Result Seek(NPT_Position offset) override;
  NPT_Result Tell(NPT_Position& where) override;
  NPT_Result Flush() override;
};

class NPT_BsdSocket : public NPT_SocketInterface {
 public:
  // Takes ownership of `socket`; INVALID_SOCKET gives a socket without OS
  // socket whose operations give NPT_ERROR_INVALID_STATE.
  NPT_BsdSocket(SOCKET socket, NPT_Flags flags);
  ~NPT_BsdSocket() override;

  NPT_Result Bind(const NPT_SocketAddress& address, bool reuse_address = true) override;
  NPT_Result Connect(const NPT_SocketAddress& address, NPT_Timeout timeout) override;
  NPT_Result WaitForConnection(NPT_Timeout timeout) override;
  NPT_Result GetInputStream(NPT_InputStreamReference& stream) override;
  NPT_Result GetOutputStream(NPT_OutputStreamReference& stream) override;
  NPT_Result GetInfo(NPT_SocketInfo& info) override;
  NPT_Result SetReadTimeout(NPT_Timeout timeout) override;
  NPT_Result SetWriteTimeout(NPT_Timeout timeout) override;
  NPT_Result Cancel(bool shutdown = true) override;

 protected:
  // Reads local and peer addresses; each part changes only when its query
  // succeeds (and names an IPv4 address).
  NPT_Result RefreshInfo();

  NPT_BsdSocketFdReference m_SocketFdReference;
  NPT_SocketInfo m_Info;
};

class NPT_BsdTcpClientSocket : public NPT_BsdSocket {
 public:
  explicit NPT_BsdTcpClientSocket(NPT_Flags flags);
  // Adopts a connected socket.
  NPT_BsdTcpClientSocket(SOCKET socket, NPT_Flags flags);

  NPT_Result Connect(const NPT_SocketAddress& address, NPT_Timeout timeout) override;
  NPT_Result WaitForConnection(NPT_Timeout timeout) override;
};

class NPT_BsdTcpServerSocket : public NPT_TcpServerSocketInterface, public NPT_BsdSocket {
 public:
  explicit NPT_BsdTcpServerSocket(NPT_Flags flags);

  NPT_Result Listen(unsigned int max_clients) override;
  NPT_Result WaitForNewClient(NPT_Socket*& client, NPT_Timeout timeout, NPT_Flags flags) override;

 private:
  unsigned int m_ListenMax;  // 0 while not listening
};

class NPT_BsdUdpSocket : public NPT_UdpSocketInterface, public NPT_BsdSocket {
 public:
  explicit NPT_BsdUdpSocket(NPT_Flags flags);

  NPT_Result Connect(const NPT_SocketAddress& address, NPT_Timeout timeout) override;
  NPT_Result Send(const NPT_DataBuffer& packet, const NPT_SocketAddress* address) override;
  NPT_Result Receive(NPT_DataBuffer& packet, NPT_SocketAddress* address) override;
};

class NPT_BsdUdpMulticastSocket : public NPT_UdpMulticastSocketInterface, public NPT_BsdUdpSocket {
 public:
  explicit NPT_BsdUdpMulticastSocket(NPT_Flags flags);

  NPT_Result JoinGroup(const NPT_IpAddress& group, const NPT_IpAddress& iface) override;
  NPT_Result LeaveGroup(const NPT_IpAddress& group, const NPT_IpAddress& iface) override;
  NPT_Result SetTimeToLive(unsigned char ttl) override;
  NPT_Result SetInterface(const NPT_IpAddress& iface) override;
};
