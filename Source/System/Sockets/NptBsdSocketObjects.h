#pragma once
// The BSD-style socket objects behind the portable socket classes, the same
// on every platform: the streams, the sockets and the scoped use of an OS
// socket. Each platform declares NPT_BsdSocketFd, the one object that owns an
// OS socket and waits on it, in its own NptBsdSocketFd.h, which includes this
// file; the OS calls are in that platform's source files.
//
// The OS socket is shared by the socket object and every stream obtained
// from it; it is closed exactly once, when the last holder lets go or, after
// Cancel, as soon as no operation is using it, so a socket is never closed
// while another thread may still pass it to the OS (where a later socket
// could reuse its number).

#include "NptReferences.h"
#include "NptResults.h"
#include "NptSockets.h"
#include "NptStreams.h"
#include "NptTypes.h"

typedef NPT_Reference<NPT_BsdSocketFd> NPT_BsdSocketFdReference;

// Keeps the OS socket valid for one operation.
class NPT_BsdSocketFdUse {
 public:
  explicit NPT_BsdSocketFdUse(NPT_BsdSocketFd& fd) : m_Fd(fd), m_Number(NPT_BSD_NO_SOCKET) {
    m_Result = fd.BeginUse(m_Number);
  }
  ~NPT_BsdSocketFdUse() {
    if (m_Result == NPT_SUCCESS) m_Fd.EndUse();
  }
  NPT_Result GetResult() const { return m_Result; }
  NPT_BsdSocketHandle GetNumber() const { return m_Number; }

 private:
  NPT_BsdSocketFd& m_Fd;
  NPT_BsdSocketHandle m_Number;
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
  ~NPT_BsdSocketInputStream() override;
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
  ~NPT_BsdSocketOutputStream() override;
  NPT_Result Write(const void* buffer, NPT_Size bytes_to_write, NPT_Size* bytes_written = nullptr) override;
  NPT_Result Seek(NPT_Position offset) override;
  NPT_Result Tell(NPT_Position& where) override;
  NPT_Result Flush() override;
};

class NPT_BsdSocket : public NPT_SocketInterface {
 public:
  // Takes ownership of `socket`; NPT_BSD_NO_SOCKET gives a socket without OS
  // socket whose operations give NPT_ERROR_INVALID_STATE.
  NPT_BsdSocket(NPT_BsdSocketHandle socket, NPT_Flags flags);
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
  NPT_BsdTcpClientSocket(NPT_BsdSocketHandle socket, NPT_Flags flags);

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
