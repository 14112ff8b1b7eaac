#pragma once
// Linux (BSD socket API) platform sockets: the objects behind the portable
// socket classes. Assumes poll(2), eventfd(2), MSG_NOSIGNAL and non-blocking
// sockets; includes no OS header itself so tests can use it.
//
// One NPT_BsdSocketFd owns one OS socket. It is shared by the socket object
// and every stream obtained from it; the OS socket is closed exactly once,
// when the last holder lets go or, after Cancel, as soon as no operation is
// using it any more, so a descriptor number is never closed while another
// thread may still pass it to the OS (where a later open could reuse it).

#include <atomic>
#include <mutex>

#include "NptReferences.h"
#include "NptResults.h"
#include "NptSockets.h"
#include "NptStreams.h"
#include "NptTypes.h"

// The one translation of OS error numbers into results (see NptSockets.h).
NPT_Result NPT_BsdSocketMapErrorCode(int error);

class NPT_BsdSocketFd {
 public:
  // Takes ownership of `fd` and switches it to non-blocking mode (a stream
  // read that may wait later switches it back: see PrepareBlockingReceive).
  NPT_BsdSocketFd(int fd, NPT_Flags flags);
  ~NPT_BsdSocketFd();
  NPT_BsdSocketFd(const NPT_BsdSocketFd&) = delete;
  NPT_BsdSocketFd& operator=(const NPT_BsdSocketFd&) = delete;

  // Brackets every use of the descriptor number. BeginUse gives
  // NPT_ERROR_CANCELLED once the socket is cancelled (and the number, which
  // stays open until the matching EndUse, otherwise).
  NPT_Result BeginUse(int& fd);
  void EndUse();

  // Waits (between BeginUse and EndUse) until the socket is readable and/or
  // writable, or has an error, within `timeout`. A cancel wakes it.
  //   nothing within a non-zero timeout -> NPT_ERROR_TIMEOUT
  //   nothing with timeout 0            -> NPT_ERROR_WOULD_BLOCK
  //   cancelled                         -> NPT_ERROR_CANCELLED
  // With check_error, a pending socket error is returned mapped. A signal
  // that interrupts the wait neither ends it nor restarts its timeout.
  NPT_Result WaitForCondition(bool wait_for_readable, bool wait_for_writeable, bool check_error,
                              NPT_Timeout timeout);

  // Cancel in two steps so that the caller can shut the socket down in
  // between: BeginCancel marks the socket cancelled and keeps the number open
  // (fd is -1 when already closed); EndCancel wakes every waiter and closes
  // the socket when nobody uses it.
  void BeginCancel(int& fd);
  void EndCancel();

  bool IsCancelled() const { return m_Cancelled.load(std::memory_order_acquire); }

  // Between BeginUse and EndUse: makes `fd` a blocking socket whose OS
  // receive time-out is `timeout` (non-zero), so that one recv waits in the
  // kernel and takes what arrives meanwhile, as a wait followed by a
  // non-blocking recv cannot. Every other operation passes MSG_DONTWAIT, and a
  // cancel shuts reading down, which ends such a recv at once. False when the
  // OS refuses; the caller then waits with poll.
  bool PrepareBlockingReceive(int fd, NPT_Timeout timeout);

  std::atomic<NPT_Timeout> m_ReadTimeout;
  std::atomic<NPT_Timeout> m_WriteTimeout;
  std::atomic<NPT_Position> m_Position;  // bytes moved through the streams

 private:
  void CloseLocked();  // m_Lock held
  int GetWakeFd();     // creates the wake-up descriptor on first need; -1 if it cannot

  const int m_SocketFd;
  std::atomic<bool> m_Cancelled;
  std::atomic<bool> m_Blocking;                // O_NONBLOCK cleared
  std::atomic<NPT_Timeout> m_ReceiveTimeout;   // SO_RCVTIMEO as last set
  const bool m_Cancellable;  // recorded only: every socket can be cancelled

  std::mutex m_Lock;       // guards the fields below
  unsigned int m_Users;    // operations between BeginUse and EndUse
  bool m_Closed;           // the OS socket has been closed
  int m_WakeFd;            // eventfd signalled by Cancel; -1 until a wait needs it
};

typedef NPT_Reference<NPT_BsdSocketFd> NPT_BsdSocketFdReference;

// Keeps the descriptor number valid for one operation.
class NPT_BsdSocketFdUse {
 public:
  explicit NPT_BsdSocketFdUse(NPT_BsdSocketFd& fd) : m_Fd(fd), m_Number(-1) { m_Result = fd.BeginUse(m_Number); }
  ~NPT_BsdSocketFdUse() {
    if (m_Result == NPT_SUCCESS) m_Fd.EndUse();
  }
  NPT_Result GetResult() const { return m_Result; }
  int GetNumber() const { return m_Number; }

 private:
  NPT_BsdSocketFd& m_Fd;
  int m_Number;
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
  // Takes ownership of `fd`; a negative fd gives a socket without OS socket
  // whose operations give NPT_ERROR_INVALID_STATE.
  NPT_BsdSocket(int fd, NPT_Flags flags);
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
  // Adopts a connected descriptor.
  NPT_BsdTcpClientSocket(int fd, NPT_Flags flags);

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
