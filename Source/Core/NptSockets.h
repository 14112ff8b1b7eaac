#pragma once
// Sockets: TCP client and server, UDP and UDP multicast. Each portable class
// owns a platform socket object and forwards every operation to it; the
// platform layer creates that object in the portable class's constructor.
//
// Every OS socket is non-blocking; operations that have to wait do so with the
// socket's read or write timeout (milliseconds; NPT_TIMEOUT_INFINITE waits
// without limit, 0 does not wait and gives NPT_ERROR_WOULD_BLOCK when nothing
// can be done at once). OS errors are mapped to runtime results:
//   interrupted call          -> NPT_ERROR_INTERRUPTED
//   would block / in progress -> NPT_ERROR_WOULD_BLOCK
//   address in use            -> NPT_ERROR_ADDRESS_IN_USE
//   network down/unreachable  -> NPT_ERROR_NETWORK_DOWN / _UNREACHABLE
//   network or peer reset     -> NPT_ERROR_CONNECTION_RESET
//   connection aborted        -> NPT_ERROR_CONNECTION_ABORTED
//   timed out                 -> NPT_ERROR_TIMEOUT
//   connection refused        -> NPT_ERROR_CONNECTION_REFUSED
//   any other error number e  -> -(22000 + e)
//
// Streams obtained from a socket share its OS socket: the OS socket stays open
// until the socket object and every stream obtained from it are gone, or until
// Cancel, whichever comes first.
//
// Threads: a socket and its streams are used by one thread at a time, except
// Cancel, which any thread may call to make a blocked (or later) wait, read,
// write, connect or accept on that socket return NPT_ERROR_CANCELLED promptly.
// Writing to a peer that has gone fails with a result; it never raises a
// signal in the process.

#include "NptNetwork.h"
#include "NptReferences.h"
#include "NptResults.h"
#include "NptTypes.h"

class NPT_InputStream;
class NPT_OutputStream;
class NPT_DataBuffer;

// An OS socket descriptor handed in from outside the runtime (for example a
// connected tunnel from the USB multiplexing daemon). Pointer-sized, so that it
// holds any platform's socket handle; negative means "no socket".
typedef intptr_t NPT_SocketFd;

// Construction flags. Bit 0 marks the socket as cancellable; it is recorded
// only: every socket can be cancelled.
const NPT_Flags NPT_SOCKET_FLAG_CANCELLABLE = 1;

// Backlog used by WaitForNewClient on a server socket that never listened.
const unsigned int NPT_TCP_SERVER_SOCKET_DEFAULT_LISTEN_COUNT = 20;

class NPT_SocketAddress {
 public:
  NPT_SocketAddress() : m_Port(0) {}
  NPT_SocketAddress(const NPT_IpAddress& address, NPT_IpPort port) : m_IpAddress(address), m_Port(port) {}

  const NPT_IpAddress& GetIpAddress() const { return m_IpAddress; }
  void SetIpAddress(const NPT_IpAddress& address) { m_IpAddress = address; }
  NPT_IpPort GetPort() const { return m_Port; }
  void SetPort(NPT_IpPort port) { m_Port = port; }
  // "a.b.c.d:port"
  NPT_String ToString() const;

  bool operator==(const NPT_SocketAddress& other) const {
    return m_IpAddress == other.m_IpAddress && m_Port == other.m_Port;
  }

 private:
  NPT_IpAddress m_IpAddress;
  NPT_IpPort m_Port;
};

struct NPT_SocketInfo {
  NPT_SocketAddress local_address;
  NPT_SocketAddress remote_address;
};

class NPT_SocketInterface {
 public:
  virtual ~NPT_SocketInterface() {}
  // Binds to an IPv4 address and port (port 0: any free port). Address reuse
  // is always enabled, whatever the flag says.
  virtual NPT_Result Bind(const NPT_SocketAddress& address, bool reuse_address = true) = 0;
  // TCP: connects within the timeout. A refused connection gives
  // NPT_ERROR_CONNECTION_REFUSED, a timeout NPT_ERROR_TIMEOUT; a timeout of 0
  // gives NPT_ERROR_WOULD_BLOCK and leaves the connection in progress (finish
  // it with WaitForConnection). UDP: sets the default peer.
  virtual NPT_Result Connect(const NPT_SocketAddress& address, NPT_Timeout timeout = NPT_TIMEOUT_INFINITE) = 0;
  // TCP client: waits for a connection in progress to complete.
  virtual NPT_Result WaitForConnection(NPT_Timeout timeout = NPT_TIMEOUT_INFINITE) = 0;
  // A new stream sharing the OS socket. The reference is released first;
  // NPT_ERROR_INVALID_STATE when the socket has no OS socket.
  virtual NPT_Result GetInputStream(NPT_Reference<NPT_InputStream>& stream) = 0;
  virtual NPT_Result GetOutputStream(NPT_Reference<NPT_OutputStream>& stream) = 0;
  // Local and remote address as last learnt (after bind, connect, accept).
  virtual NPT_Result GetInfo(NPT_SocketInfo& info) = 0;
  virtual NPT_Result SetReadTimeout(NPT_Timeout timeout) = 0;
  virtual NPT_Result SetWriteTimeout(NPT_Timeout timeout) = 0;
  // Any thread. Marks the socket cancelled, shuts it down in both directions
  // when asked, wakes any operation blocked on it (which then returns
  // NPT_ERROR_CANCELLED) and closes the OS socket as soon as no operation is
  // using it any more. Every later operation gives NPT_ERROR_CANCELLED.
  virtual NPT_Result Cancel(bool shutdown = true) = 0;
};

class NPT_UdpSocketInterface {
 public:
  virtual ~NPT_UdpSocketInterface() {}
  // Sends the buffer's data as one datagram, to the address when given, else
  // to the connected peer.
  virtual NPT_Result Send(const NPT_DataBuffer& packet, const NPT_SocketAddress* address = nullptr) = 0;
  // Receives one datagram into the buffer (up to its capacity; a buffer
  // without storage gets 65536 bytes), setting its data size; the sender's
  // address is stored when asked for.
  virtual NPT_Result Receive(NPT_DataBuffer& packet, NPT_SocketAddress* address = nullptr) = 0;
};

class NPT_UdpMulticastSocketInterface {
 public:
  virtual ~NPT_UdpMulticastSocketInterface() {}
  virtual NPT_Result JoinGroup(const NPT_IpAddress& group, const NPT_IpAddress& iface = NPT_IpAddress::Any) = 0;
  virtual NPT_Result LeaveGroup(const NPT_IpAddress& group, const NPT_IpAddress& iface = NPT_IpAddress::Any) = 0;
  virtual NPT_Result SetTimeToLive(unsigned char ttl) = 0;
  virtual NPT_Result SetInterface(const NPT_IpAddress& iface) = 0;
};

class NPT_Socket;

class NPT_TcpServerSocketInterface {
 public:
  virtual ~NPT_TcpServerSocketInterface() {}
  // NPT_ERROR_LISTEN_FAILED when the OS refuses.
  virtual NPT_Result Listen(unsigned int max_clients) = 0;
  // Waits for a client within the timeout (listening with a backlog of 20
  // first if Listen was never called). On success `client` is a new socket
  // owned by the caller, built with `flags`; otherwise it is null.
  virtual NPT_Result WaitForNewClient(NPT_Socket*& client, NPT_Timeout timeout = NPT_TIMEOUT_INFINITE,
                                      NPT_Flags flags = 0) = 0;
};

// A socket that owns its platform object (deleted with it) and forwards every
// operation to it.
class NPT_Socket : public NPT_SocketInterface {
 public:
  // Takes ownership of the platform object.
  explicit NPT_Socket(NPT_SocketInterface* delegate) : m_SocketDelegate(delegate) {}
  ~NPT_Socket() override;
  NPT_Socket(const NPT_Socket&) = delete;
  NPT_Socket& operator=(const NPT_Socket&) = delete;

  NPT_Result Bind(const NPT_SocketAddress& address, bool reuse_address = true) override {
    return m_SocketDelegate->Bind(address, reuse_address);
  }
  NPT_Result Connect(const NPT_SocketAddress& address, NPT_Timeout timeout = NPT_TIMEOUT_INFINITE) override {
    return m_SocketDelegate->Connect(address, timeout);
  }
  NPT_Result WaitForConnection(NPT_Timeout timeout = NPT_TIMEOUT_INFINITE) override {
    return m_SocketDelegate->WaitForConnection(timeout);
  }
  NPT_Result GetInputStream(NPT_Reference<NPT_InputStream>& stream) override {
    return m_SocketDelegate->GetInputStream(stream);
  }
  NPT_Result GetOutputStream(NPT_Reference<NPT_OutputStream>& stream) override {
    return m_SocketDelegate->GetOutputStream(stream);
  }
  NPT_Result GetInfo(NPT_SocketInfo& info) override { return m_SocketDelegate->GetInfo(info); }
  NPT_Result SetReadTimeout(NPT_Timeout timeout) override { return m_SocketDelegate->SetReadTimeout(timeout); }
  NPT_Result SetWriteTimeout(NPT_Timeout timeout) override { return m_SocketDelegate->SetWriteTimeout(timeout); }
  NPT_Result Cancel(bool shutdown = true) override { return m_SocketDelegate->Cancel(shutdown); }

 protected:
  NPT_Socket() : m_SocketDelegate(nullptr) {}

  NPT_SocketInterface* m_SocketDelegate;
};

class NPT_TcpClientSocket : public NPT_Socket {
 public:
  // A new IPv4 stream socket, not connected.
  explicit NPT_TcpClientSocket(NPT_Flags flags = 0);
  // Adopts an already connected OS socket (any stream socket, TCP or local):
  // switches it to non-blocking mode and reads its addresses at once. The
  // socket closes the descriptor when it and its streams are gone (or on
  // Cancel); the caller must not close it. A negative descriptor gives a
  // socket without OS socket, whose operations fail.
  NPT_TcpClientSocket(NPT_SocketFd fd, NPT_Flags flags);
  ~NPT_TcpClientSocket() override;
};

class NPT_TcpServerSocket : public NPT_Socket, public NPT_TcpServerSocketInterface {
 public:
  explicit NPT_TcpServerSocket(NPT_Flags flags = 0);
  ~NPT_TcpServerSocket() override;

  NPT_Result Listen(unsigned int max_clients) override { return m_TcpServerSocketDelegate->Listen(max_clients); }
  NPT_Result WaitForNewClient(NPT_Socket*& client, NPT_Timeout timeout = NPT_TIMEOUT_INFINITE,
                              NPT_Flags flags = 0) override {
    return m_TcpServerSocketDelegate->WaitForNewClient(client, timeout, flags);
  }

 protected:
  NPT_TcpServerSocketInterface* m_TcpServerSocketDelegate;
};

class NPT_UdpSocket : public NPT_Socket, public NPT_UdpSocketInterface {
 public:
  explicit NPT_UdpSocket(NPT_Flags flags = 0);
  ~NPT_UdpSocket() override;

  NPT_Result Send(const NPT_DataBuffer& packet, const NPT_SocketAddress* address = nullptr) override {
    return m_UdpSocketDelegate->Send(packet, address);
  }
  NPT_Result Receive(NPT_DataBuffer& packet, NPT_SocketAddress* address = nullptr) override {
    return m_UdpSocketDelegate->Receive(packet, address);
  }

 protected:
  // For subclasses whose platform object implements more interfaces.
  NPT_UdpSocket(NPT_SocketInterface* delegate, NPT_UdpSocketInterface* udp_delegate)
      : NPT_Socket(delegate), m_UdpSocketDelegate(udp_delegate) {}

  NPT_UdpSocketInterface* m_UdpSocketDelegate;
};

class NPT_UdpMulticastSocket : public NPT_UdpSocket, public NPT_UdpMulticastSocketInterface {
 public:
  explicit NPT_UdpMulticastSocket(NPT_Flags flags = 0);
  ~NPT_UdpMulticastSocket() override;

  NPT_Result JoinGroup(const NPT_IpAddress& group, const NPT_IpAddress& iface = NPT_IpAddress::Any) override {
    return m_UdpMulticastSocketDelegate->JoinGroup(group, iface);
  }
  NPT_Result LeaveGroup(const NPT_IpAddress& group, const NPT_IpAddress& iface = NPT_IpAddress::Any) override {
    return m_UdpMulticastSocketDelegate->LeaveGroup(group, iface);
  }
  NPT_Result SetTimeToLive(unsigned char ttl) override { return m_UdpMulticastSocketDelegate->SetTimeToLive(ttl); }
  NPT_Result SetInterface(const NPT_IpAddress& iface) override {
    return m_UdpMulticastSocketDelegate->SetInterface(iface);
  }

 protected:
  NPT_UdpMulticastSocketInterface* m_UdpMulticastSocketDelegate;
};
