// Portable socket classes: ownership of the platform object and address text.
// The constructors that create the platform object live in the platform layer.

#include "NptSockets.h"

NPT_Socket::~NPT_Socket() {
  delete m_SocketDelegate;
}

// The platform object is deleted once, by NPT_Socket, through the socket
// interface; the extra interface pointers of the subclasses point into it.
NPT_TcpClientSocket::~NPT_TcpClientSocket() {}
NPT_TcpServerSocket::~NPT_TcpServerSocket() {}
NPT_UdpSocket::~NPT_UdpSocket() {}
NPT_UdpMulticastSocket::~NPT_UdpMulticastSocket() {}

NPT_String NPT_SocketAddress::ToString() const {
  NPT_String text = m_IpAddress.ToString();
  text += ":";
  text += NPT_String::FromInteger(m_Port);
  return text;
}
