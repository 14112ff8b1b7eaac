// Windows platform: UDP and UDP multicast sockets over Windows Sockets 2.2.
// Waits and error mapping are those of NptWin32Sockets.cpp.

#include <ws2tcpip.h>

#include <cstring>

#include "NptBsdSocketFd.h"
#include "NptDataBuffer.h"
#include "NptLogging.h"

NPT_SET_LOCAL_LOGGER("npt.sockets.bsd")

// Capacity given to a receive buffer that has none: the largest IPv4 datagram.
static const NPT_Size NPT_BSD_UDP_DEFAULT_RECEIVE_SIZE = 65536;

/*----------------------------------------------------------------------
|   NPT_BsdUdpSocket
+---------------------------------------------------------------------*/
NPT_BsdUdpSocket::NPT_BsdUdpSocket(NPT_Flags flags)
    : NPT_BsdSocket(NPT_Win32NewSocket(SOCK_DGRAM, IPPROTO_UDP), flags) {}

NPT_Result NPT_BsdUdpSocket::Connect(const NPT_SocketAddress& address, NPT_Timeout /*timeout*/) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  {
    NPT_BsdSocketFdUse use(*m_SocketFdReference);
    if (use.GetResult() != NPT_SUCCESS) return use.GetResult();
    struct sockaddr_in inet;
    std::memset(&inet, 0, sizeof(inet));
    inet.sin_family = AF_INET;
    inet.sin_port = htons(address.GetPort());
    inet.sin_addr.s_addr = htonl(address.GetIpAddress().AsLong());
    NPT_LOG_FINE("connecting to %lx, port %d", (unsigned long)address.GetIpAddress().AsLong(),
                 (int)address.GetPort());
    if (connect(use.GetNumber(), (struct sockaddr*)&inet, sizeof(inet)) != 0) {
      NPT_Result result = NPT_BsdSocketMapErrorCode(WSAGetLastError());
      NPT_LOG_FINE("socket error %d", result);
      return result;
    }
  }
  RefreshInfo();
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdUdpSocket::Send(const NPT_DataBuffer& packet, const NPT_SocketAddress* address) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_BsdSocketFd& fd = *m_SocketFdReference;
  NPT_BsdSocketFdUse use(fd);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();

  NPT_Timeout timeout = fd.m_WriteTimeout.load(std::memory_order_relaxed);
  if (timeout != 0) {
    NPT_Result result = fd.WaitForCondition(false, true, false, timeout);
    if (result != NPT_SUCCESS) return result;
  }

  int io_result;
  if (address) {
    struct sockaddr_in inet;
    std::memset(&inet, 0, sizeof(inet));
    inet.sin_family = AF_INET;
    inet.sin_port = htons(address->GetPort());
    inet.sin_addr.s_addr = htonl(address->GetIpAddress().AsLong());
    NPT_LOG_FINEST("sending datagram to %lx port %d", (unsigned long)address->GetIpAddress().AsLong(),
                   (int)address->GetPort());
    io_result = sendto(use.GetNumber(), (const char*)packet.GetData(), (int)packet.GetDataSize(), 0,
                       (struct sockaddr*)&inet, sizeof(inet));
  } else {
    NPT_LOG_FINEST("sending datagram");
    io_result = send(use.GetNumber(), (const char*)packet.GetData(), (int)packet.GetDataSize(), 0);
  }
  int error = io_result < 0 ? WSAGetLastError() : 0;
  NPT_LOG_FINEST("send/sendto returned %d", (int)io_result);
  if (io_result < 0) {
    if (fd.IsCancelled()) return NPT_ERROR_CANCELLED;
    NPT_Result result = NPT_BsdSocketMapErrorCode(error);
    NPT_LOG_FINE("socket error %d", result);
    return result;
  }
  fd.m_Position.fetch_add((NPT_Position)io_result, std::memory_order_relaxed);
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdUdpSocket::Receive(NPT_DataBuffer& packet, NPT_SocketAddress* address) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_BsdSocketFd& fd = *m_SocketFdReference;
  NPT_BsdSocketFdUse use(fd);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();

  if (packet.GetBufferSize() == 0) NPT_CHECK_FINE(packet.SetBufferSize(NPT_BSD_UDP_DEFAULT_RECEIVE_SIZE));
  NPT_CHECK_FINE(packet.SetDataSize(0));

  NPT_Timeout timeout = fd.m_ReadTimeout.load(std::memory_order_relaxed);
  if (timeout != 0) {
    NPT_Result result = fd.WaitForCondition(true, false, false, timeout);
    if (result != NPT_SUCCESS) return result;
  }

  int io_result;
  struct sockaddr_in inet;
  std::memset(&inet, 0, sizeof(inet));
  if (address) {
    int length = sizeof(inet);
    io_result = recvfrom(use.GetNumber(), (char*)packet.UseData(), (int)packet.GetBufferSize(), 0, (struct sockaddr*)&inet,
                         &length);
  } else {
    NPT_LOG_FINEST("receiving dagagram");
    io_result = recv(use.GetNumber(), (char*)packet.UseData(), (int)packet.GetBufferSize(), 0);
  }
  int error = io_result < 0 ? WSAGetLastError() : 0;
  NPT_LOG_FINEST("recv/recvfrom returned %d", (int)io_result);
  if (io_result < 0) {
    if (fd.IsCancelled()) return NPT_ERROR_CANCELLED;
    NPT_Result result = NPT_BsdSocketMapErrorCode(error);
    NPT_LOG_FINE("socket error %d", result);
    return result;
  }
  if (address) {
    address->SetIpAddress(NPT_IpAddress(ntohl(inet.sin_addr.s_addr)));
    address->SetPort(ntohs(inet.sin_port));
    NPT_LOG_FINEST("receiving dagagram from %lx port %d", (unsigned long)address->GetIpAddress().AsLong(),
                   (int)address->GetPort());
  }
  fd.m_Position.fetch_add((NPT_Position)io_result, std::memory_order_relaxed);
  return packet.SetDataSize((NPT_Size)io_result);
}

/*----------------------------------------------------------------------
|   NPT_BsdUdpMulticastSocket
+---------------------------------------------------------------------*/
NPT_BsdUdpMulticastSocket::NPT_BsdUdpMulticastSocket(NPT_Flags flags) : NPT_BsdUdpSocket(flags) {}

static NPT_Result ChangeMembership(NPT_BsdSocketFd& fd, int option, const NPT_IpAddress& group,
                                   const NPT_IpAddress& iface) {
  NPT_BsdSocketFdUse use(fd);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();
  struct ip_mreq request;
  std::memset(&request, 0, sizeof(request));
  request.imr_multiaddr.s_addr = htonl(group.AsLong());
  request.imr_interface.s_addr = htonl(iface.AsLong());
  if (setsockopt(use.GetNumber(), IPPROTO_IP, option, (const char*)&request, sizeof(request)) != 0) {
    return NPT_BsdSocketMapErrorCode(WSAGetLastError());
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdUdpMulticastSocket::JoinGroup(const NPT_IpAddress& group, const NPT_IpAddress& iface) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_LOG_FINE("joining multicast addr %lx group %lx", (unsigned long)iface.AsLong(), (unsigned long)group.AsLong());
  NPT_Result result = ChangeMembership(*m_SocketFdReference, IP_ADD_MEMBERSHIP, group, iface);
  if (result != NPT_SUCCESS) NPT_LOG_FINE("setsockopt error %d", result);
  return result;
}

NPT_Result NPT_BsdUdpMulticastSocket::LeaveGroup(const NPT_IpAddress& group, const NPT_IpAddress& iface) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_LOG_FINE("leaving multicast addr %lx group %lx", (unsigned long)iface.AsLong(), (unsigned long)group.AsLong());
  NPT_Result result = ChangeMembership(*m_SocketFdReference, IP_DROP_MEMBERSHIP, group, iface);
  if (result != NPT_SUCCESS) NPT_LOG_FINE("setsockopt error %d", result);
  return result;
}

NPT_Result NPT_BsdUdpMulticastSocket::SetInterface(const NPT_IpAddress& iface) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_BsdSocketFdUse use(*m_SocketFdReference);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();
  NPT_LOG_FINE("setting multicast interface %lx", (unsigned long)iface.AsLong());
  struct in_addr address;
  address.s_addr = htonl(iface.AsLong());
  if (setsockopt(use.GetNumber(), IPPROTO_IP, IP_MULTICAST_IF, (const char*)&address, sizeof(address)) != 0) {
    NPT_Result result = NPT_BsdSocketMapErrorCode(WSAGetLastError());
    NPT_LOG_FINE("setsockopt error %d", result);
    return result;
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdUdpMulticastSocket::SetTimeToLive(unsigned char ttl) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_BsdSocketFdUse use(*m_SocketFdReference);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();
  NPT_LOG_FINE("setting multicast TTL to %d", (int)ttl);
  if (setsockopt(use.GetNumber(), IPPROTO_IP, IP_MULTICAST_TTL, (const char*)&ttl, sizeof(ttl)) != 0) {
    NPT_Result result = NPT_BsdSocketMapErrorCode(WSAGetLastError());
    NPT_LOG_FINE("setsockopt error %d", result);
    return result;
  }
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   portable constructors
+---------------------------------------------------------------------*/
NPT_UdpSocket::NPT_UdpSocket(NPT_Flags flags) {
  NPT_BsdUdpSocket* delegate = new NPT_BsdUdpSocket(flags);
  m_SocketDelegate = delegate;
  m_UdpSocketDelegate = delegate;
}

NPT_UdpMulticastSocket::NPT_UdpMulticastSocket(NPT_Flags flags) : NPT_UdpSocket(nullptr, nullptr) {
  NPT_BsdUdpMulticastSocket* delegate = new NPT_BsdUdpMulticastSocket(flags);
  m_SocketDelegate = delegate;
  m_UdpSocketDelegate = delegate;
  m_UdpMulticastSocketDelegate = delegate;
}
