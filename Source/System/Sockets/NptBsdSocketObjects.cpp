// Every platform: the parts of the socket objects that make no OS call (the
// use and cancel bookkeeping of an OS socket, stream positions, stream
// creation, the cached addresses, the portable constructors). The platform
// declares NPT_BsdSocketFd and makes the OS calls in its own files.

#include "NptBsdSocketFd.h"

/*----------------------------------------------------------------------
|   NPT_BsdSocketFd
+---------------------------------------------------------------------*/
NPT_Result NPT_BsdSocketFd::BeginUse(NPT_BsdSocketHandle& fd) {
  std::lock_guard<std::mutex> lock(m_Lock);
  fd = NPT_BSD_NO_SOCKET;
  if (m_Cancelled.load(std::memory_order_relaxed)) return NPT_ERROR_CANCELLED;
  if (m_Closed) return NPT_ERROR_INVALID_STATE;
  ++m_Users;
  fd = m_Socket;
  return NPT_SUCCESS;
}

void NPT_BsdSocketFd::EndUse() {
  std::lock_guard<std::mutex> lock(m_Lock);
  --m_Users;
  if (m_Users == 0 && m_Cancelled.load(std::memory_order_relaxed)) CloseLocked();
}

void NPT_BsdSocketFd::BeginCancel(NPT_BsdSocketHandle& fd) {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Cancelled.store(true, std::memory_order_release);
  fd = NPT_BSD_NO_SOCKET;
  if (m_Closed) return;
  ++m_Users;
  fd = m_Socket;
}

/*----------------------------------------------------------------------
|   socket streams
+---------------------------------------------------------------------*/
// Out of line, so that the streams' virtual tables live here: inlined, GCC
// guesses at another stream's destructor where a reference adopts one and
// warns about it.
NPT_BsdSocketInputStream::~NPT_BsdSocketInputStream() {}

NPT_BsdSocketOutputStream::~NPT_BsdSocketOutputStream() {}

NPT_Result NPT_BsdSocketInputStream::Seek(NPT_Position) { return NPT_ERROR_NOT_SUPPORTED; }

NPT_Result NPT_BsdSocketInputStream::Tell(NPT_Position& where) {
  where = 0;
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdSocketInputStream::GetSize(NPT_LargeSize& size) {
  size = 0;
  return NPT_ERROR_NOT_SUPPORTED;
}

NPT_Result NPT_BsdSocketOutputStream::Seek(NPT_Position) { return NPT_ERROR_NOT_SUPPORTED; }

NPT_Result NPT_BsdSocketOutputStream::Tell(NPT_Position& where) {
  where = 0;
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_BsdSocket
+---------------------------------------------------------------------*/
NPT_BsdSocket::NPT_BsdSocket(NPT_BsdSocketHandle socket, NPT_Flags flags) {
  if (socket == NPT_BSD_NO_SOCKET) return;
  m_SocketFdReference = new NPT_BsdSocketFd(socket, flags);
  RefreshInfo();
}

NPT_BsdSocket::~NPT_BsdSocket() {}

NPT_Result NPT_BsdSocket::Connect(const NPT_SocketAddress&, NPT_Timeout) { return NPT_ERROR_NOT_SUPPORTED; }

NPT_Result NPT_BsdSocket::WaitForConnection(NPT_Timeout) { return NPT_ERROR_NOT_SUPPORTED; }

NPT_Result NPT_BsdSocket::GetInputStream(NPT_InputStreamReference& stream) {
  stream.Release();
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  stream = new NPT_BsdSocketInputStream(m_SocketFdReference);
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdSocket::GetOutputStream(NPT_OutputStreamReference& stream) {
  stream.Release();
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  stream = new NPT_BsdSocketOutputStream(m_SocketFdReference);
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdSocket::GetInfo(NPT_SocketInfo& info) {
  info = m_Info;
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdSocket::SetReadTimeout(NPT_Timeout timeout) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  m_SocketFdReference->m_ReadTimeout.store(timeout, std::memory_order_relaxed);
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_BsdTcpClientSocket
+---------------------------------------------------------------------*/
NPT_BsdTcpClientSocket::NPT_BsdTcpClientSocket(NPT_BsdSocketHandle socket, NPT_Flags flags)
    : NPT_BsdSocket(socket, flags) {}

NPT_Result NPT_BsdTcpClientSocket::WaitForConnection(NPT_Timeout timeout) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_Result result;
  {
    NPT_BsdSocketFdUse use(*m_SocketFdReference);
    if (use.GetResult() != NPT_SUCCESS) return use.GetResult();
    result = m_SocketFdReference->WaitForCondition(true, true, true, timeout);
  }
  RefreshInfo();
  return result;
}

/*----------------------------------------------------------------------
|   portable constructors
+---------------------------------------------------------------------*/
NPT_TcpClientSocket::NPT_TcpClientSocket(NPT_Flags flags) : NPT_Socket(new NPT_BsdTcpClientSocket(flags)) {}

NPT_TcpServerSocket::NPT_TcpServerSocket(NPT_Flags flags) {
  NPT_BsdTcpServerSocket* delegate = new NPT_BsdTcpServerSocket(flags);
  m_SocketDelegate = delegate;
  m_TcpServerSocketDelegate = delegate;
}
