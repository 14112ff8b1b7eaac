// Windows platform: socket ownership, waits, socket streams and TCP sockets
// over Windows Sockets 2.2. Assumes select on a single socket (so no limit on
// handle values), WSAEventSelect to turn the socket's network events into an
// event object a wait can block on beside the cancel event, non-blocking
// sockets through ioctlsocket, and no SIGPIPE (a send to a vanished peer just
// fails).

#include "NptBsdSocketFd.h"

#include <ws2tcpip.h>

#include <cstring>
#include <new>

#include "NptLogging.h"

NPT_SET_LOCAL_LOGGER("npt.sockets.bsd")

/*----------------------------------------------------------------------
|   start-up
+---------------------------------------------------------------------*/
namespace {

class NPT_WinsockStarter {
 public:
  NPT_WinsockStarter() {
    WSADATA data;
    m_Started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~NPT_WinsockStarter() {
    if (m_Started) WSACleanup();
  }
  bool IsStarted() const { return m_Started; }

 private:
  bool m_Started;
};

// Started when the runtime is loaded, before any application call.
const bool s_SocketsStartedAtLoad = NPT_Win32StartSockets();

}  // namespace

bool NPT_Win32StartSockets() {
  // A function-local object: also started in time for static objects of
  // other files that use sockets while being built.
  static NPT_WinsockStarter starter;
  return starter.IsStarted();
}

NPT_Result NPT_BsdSocketMapErrorCode(int error) {
  switch (error) {
    case WSAEINTR:
      return NPT_ERROR_INTERRUPTED;
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
      return NPT_ERROR_WOULD_BLOCK;
    case WSAEADDRINUSE:
      return NPT_ERROR_ADDRESS_IN_USE;
    case WSAENETDOWN:
      return NPT_ERROR_NETWORK_DOWN;
    case WSAENETUNREACH:
      return NPT_ERROR_NETWORK_UNREACHABLE;
    case WSAENETRESET:
    case WSAECONNRESET:
      return NPT_ERROR_CONNECTION_RESET;
    case WSAECONNABORTED:
      return NPT_ERROR_CONNECTION_ABORTED;
    case WSAETIMEDOUT:
      return NPT_ERROR_TIMEOUT;
    case WSAECONNREFUSED:
      return NPT_ERROR_CONNECTION_REFUSED;
    default:
      return NPT_ERROR_BASE_ERRNO - error;
  }
}

static NPT_Result MapLastError() { return NPT_BsdSocketMapErrorCode(WSAGetLastError()); }

static void SocketAddressToInet(const NPT_SocketAddress& address, struct sockaddr_in& inet) {
  std::memset(&inet, 0, sizeof(inet));
  inet.sin_family = AF_INET;
  inet.sin_port = htons(address.GetPort());
  inet.sin_addr.s_addr = htonl(address.GetIpAddress().AsLong());
}

SOCKET NPT_Win32NewSocket(int type, int protocol) {
  if (!NPT_Win32StartSockets()) return INVALID_SOCKET;
  SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  // Older systems do not know the no-inherit flag.
  if (s == INVALID_SOCKET) s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
  return s;
}

/*----------------------------------------------------------------------
|   NPT_BsdSocketFd
+---------------------------------------------------------------------*/
NPT_BsdSocketFd::NPT_BsdSocketFd(SOCKET socket, NPT_Flags flags)
    : m_ReadTimeout(NPT_TIMEOUT_INFINITE),
      m_WriteTimeout(NPT_TIMEOUT_INFINITE),
      m_Position(0),
      m_Socket(socket),
      m_Cancelled(false),
      m_Cancellable((flags & NPT_SOCKET_FLAG_CANCELLABLE) != 0),
      m_Users(0),
      m_Closed(false),
      m_NetworkEvent(WSA_INVALID_EVENT),
      m_CancelEvent(nullptr) {
  (void)m_Cancellable;
  u_long on = 1;
  ioctlsocket(m_Socket, FIONBIO, &on);
}

NPT_BsdSocketFd::~NPT_BsdSocketFd() {
  // The last holder is going: nobody can be using the handle any more.
  std::lock_guard<std::mutex> lock(m_Lock);
  CloseLocked();
  if (m_NetworkEvent != WSA_INVALID_EVENT) WSACloseEvent(m_NetworkEvent);
  if (m_CancelEvent) CloseHandle(m_CancelEvent);
}

void NPT_BsdSocketFd::CloseLocked() {
  if (m_Closed) return;
  m_Closed = true;
  closesocket(m_Socket);
}

void NPT_BsdSocketFd::EndCancel() {
  std::lock_guard<std::mutex> lock(m_Lock);
  // Manual reset: every wait, now and later, sees it.
  if (m_CancelEvent) SetEvent(m_CancelEvent);
  if (!m_Closed) --m_Users;
  if (m_Users == 0) CloseLocked();
}

bool NPT_BsdSocketFd::PrepareWakeUps() {
  std::lock_guard<std::mutex> lock(m_Lock);
  if (m_CancelEvent && m_NetworkEvent != WSA_INVALID_EVENT) return true;
  if (m_Closed) return false;
  if (m_CancelEvent == nullptr) {
    m_CancelEvent = CreateEventW(nullptr, TRUE, m_Cancelled.load(std::memory_order_relaxed) ? TRUE : FALSE, nullptr);
    if (m_CancelEvent == nullptr) return false;
  }
  WSAEVENT network = WSACreateEvent();
  if (network == WSA_INVALID_EVENT) return false;
  // Every event a wait may be for; the socket stays non-blocking.
  const long events = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
  if (WSAEventSelect(m_Socket, network, events) != 0) {
    WSACloseEvent(network);
    return false;
  }
  m_NetworkEvent = network;
  return true;
}

NPT_Result NPT_BsdSocketFd::WaitForCondition(bool wait_for_readable, bool wait_for_writeable, bool check_error,
                                             NPT_Timeout timeout) {
  // Set up before the cancelled flag is tested: a Cancel after the test
  // signals the cancel event this wait blocks on.
  const bool wakeable = timeout != 0 && PrepareWakeUps();
  const ULONGLONG deadline = GetTickCount64() + (ULONGLONG)(timeout > 0 ? timeout : 0);

  NPT_LOG_FINER("waiting for condition (%s %s)", wait_for_readable ? "read" : "", wait_for_writeable ? "write" : "");

  int io_result = 0;
  int select_error = 0;
  fd_set read_set, write_set, except_set;
  for (;;) {
    if (m_Cancelled.load(std::memory_order_acquire)) {
      io_result = 0;
      break;
    }
    // The network event only says "something happened": clear it first, then
    // ask select what holds now, so that nothing happening in between is lost.
    if (wakeable) ResetEvent(m_NetworkEvent);
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&except_set);
    if (wait_for_readable) FD_SET(m_Socket, &read_set);
    if (wait_for_writeable) FD_SET(m_Socket, &write_set);
    FD_SET(m_Socket, &except_set);
    struct timeval now_only = {0, 0};
    io_result = select(0, &read_set, &write_set, &except_set, &now_only);
    if (io_result != 0) {
      if (io_result < 0) select_error = WSAGetLastError();
      break;
    }
    if (timeout == 0) break;

    DWORD wait = INFINITE;
    if (timeout > 0) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) break;
      wait = (DWORD)(deadline - now);
    }
    if (wakeable) {
      HANDLE events[2] = {m_CancelEvent, m_NetworkEvent};
      if (WaitForMultipleObjects(2, events, FALSE, wait) == WAIT_FAILED) {
        io_result = -1;
        select_error = (int)GetLastError();
        break;
      }
    } else {
      // No event objects (resources exhausted): check in short slices.
      Sleep(wait < 50 ? wait : 50);
    }
  }
  NPT_LOG_FINER("select returned %d", io_result);

  if (m_Cancelled.load(std::memory_order_acquire)) return NPT_ERROR_CANCELLED;

  NPT_Result result;
  if (io_result == 0) {
    result = timeout == 0 ? NPT_ERROR_WOULD_BLOCK : NPT_ERROR_TIMEOUT;
  } else if (io_result < 0) {
    result = NPT_BsdSocketMapErrorCode(select_error);
  } else {
    const bool ready = (wait_for_readable && FD_ISSET(m_Socket, &read_set)) ||
                       (wait_for_writeable && FD_ISSET(m_Socket, &write_set));
    // A connect that failed shows in the exception set only.
    if (ready || (check_error && FD_ISSET(m_Socket, &except_set))) {
      if (!check_error) return NPT_SUCCESS;
      int pending = 0;
      int length = sizeof(pending);
      if (getsockopt(m_Socket, SOL_SOCKET, SO_ERROR, (char*)&pending, &length) != 0) {
        result = MapLastError();
      } else if (pending == 0) {
        return NPT_SUCCESS;
      } else {
        result = NPT_BsdSocketMapErrorCode(pending);
      }
    } else if (FD_ISSET(m_Socket, &except_set)) {
      NPT_LOG_FINE("select socket exception is set");
      result = MapLastError();
    } else {
      NPT_LOG_FINE("unexected select state");
      result = NPT_ERROR_INTERNAL;
    }
  }
  NPT_LOG_FINER("select result = %d", result);
  return result;
}

/*----------------------------------------------------------------------
|   NPT_BsdSocketInputStream
+---------------------------------------------------------------------*/
NPT_Result NPT_BsdSocketInputStream::Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read) {
  if (bytes_read) *bytes_read = 0;
  NPT_BsdSocketFd& fd = *m_SocketFdReference;
  NPT_BsdSocketFdUse use(fd);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();

  NPT_Timeout timeout = fd.m_ReadTimeout.load(std::memory_order_relaxed);
  // Data already there is taken without a wait; only an empty socket waits.
  // A request for 0 bytes cannot tell "empty" from "data", so it waits first.
  bool waited = false;
  if (bytes_to_read == 0 && timeout != 0) {
    NPT_Result result = fd.WaitForCondition(true, false, false, timeout);
    if (result != NPT_SUCCESS) return result;
    waited = true;
  }
  // recv takes an int count.
  const int count = bytes_to_read > 0x7FFFFFFF ? 0x7FFFFFFF : (int)bytes_to_read;

  int io_result;
  int error;
  for (;;) {
    NPT_LOG_FINEST("reading %d from socket", count);
    io_result = recv(use.GetNumber(), (char*)buffer, count, 0);
    error = io_result < 0 ? WSAGetLastError() : 0;
    NPT_LOG_FINEST("recv returned %d", io_result);
    if (io_result > 0) {
      if (bytes_read) *bytes_read = (NPT_Size)io_result;
      fd.m_Position.fetch_add((NPT_Position)io_result, std::memory_order_relaxed);
      return NPT_SUCCESS;
    }
    if (io_result < 0 && error == WSAEWOULDBLOCK && timeout != 0 && !waited) {
      NPT_Result result = fd.WaitForCondition(true, false, false, timeout);
      if (result != NPT_SUCCESS) return result;
      waited = true;
      continue;
    }
    break;
  }

  if (fd.IsCancelled()) return NPT_ERROR_CANCELLED;
  if (io_result == 0) {
    NPT_LOG_FINE("socket end of stream");
    return NPT_ERROR_EOS;
  }
  NPT_Result result = NPT_BsdSocketMapErrorCode(error);
  NPT_LOG_FINE("socket result = %d", result);
  return result;
}

NPT_Result NPT_BsdSocketInputStream::GetAvailable(NPT_LargeSize& available) {
  available = 0;
  NPT_BsdSocketFdUse use(*m_SocketFdReference);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();
  u_long count = 0;
  if (ioctlsocket(use.GetNumber(), FIONREAD, &count) != 0) return NPT_ERROR_SOCKET_CONTROL_FAILED;
  available = (NPT_LargeSize)count;
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_BsdSocketOutputStream
+---------------------------------------------------------------------*/
NPT_Result NPT_BsdSocketOutputStream::Write(const void* buffer, NPT_Size bytes_to_write, NPT_Size* bytes_written) {
  if (bytes_written) *bytes_written = 0;
  NPT_BsdSocketFd& fd = *m_SocketFdReference;
  NPT_BsdSocketFdUse use(fd);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();

  NPT_Timeout timeout = fd.m_WriteTimeout.load(std::memory_order_relaxed);
  bool waited = false;
  if (bytes_to_write == 0 && timeout != 0) {
    NPT_Result result = fd.WaitForCondition(false, true, false, timeout);
    if (result != NPT_SUCCESS) return result;
    waited = true;
  }
  const int count = bytes_to_write > 0x7FFFFFFF ? 0x7FFFFFFF : (int)bytes_to_write;

  int io_result;
  int error;
  for (;;) {
    NPT_LOG_FINEST("writing %d to socket", count);
    io_result = send(use.GetNumber(), (const char*)buffer, count, 0);
    error = io_result < 0 ? WSAGetLastError() : 0;
    NPT_LOG_FINEST("send returned %d", io_result);
    if (io_result > 0) {
      if (bytes_written) *bytes_written = (NPT_Size)io_result;
      fd.m_Position.fetch_add((NPT_Position)io_result, std::memory_order_relaxed);
      return NPT_SUCCESS;
    }
    if (io_result < 0 && error == WSAEWOULDBLOCK && timeout != 0 && !waited) {
      NPT_Result result = fd.WaitForCondition(false, true, false, timeout);
      if (result != NPT_SUCCESS) return result;
      waited = true;
      continue;
    }
    break;
  }

  if (fd.IsCancelled()) return NPT_ERROR_CANCELLED;
  if (io_result == 0) {
    NPT_LOG_FINE("connection reset");
    return NPT_ERROR_CONNECTION_RESET;
  }
  NPT_Result result = NPT_BsdSocketMapErrorCode(error);
  NPT_LOG_FINE("socket result = %d", result);
  return result;
}

NPT_Result NPT_BsdSocketOutputStream::Flush() {
  NPT_BsdSocketFdUse use(*m_SocketFdReference);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();
  SOCKET s = use.GetNumber();

  NPT_LOG_FINEST("flushing socket");
  int nodelay = 0;
  int length = sizeof(nodelay);
  if (getsockopt(s, IPPROTO_TCP, TCP_NODELAY, (char*)&nodelay, &length) != 0) {
    // A socket without delayed sending has nothing to push.
    if (WSAGetLastError() == WSAENOPROTOOPT || WSAGetLastError() == WSAEOPNOTSUPP) return NPT_SUCCESS;
    return NPT_ERROR_GETSOCKOPT_FAILED;
  }
  if (nodelay) return NPT_SUCCESS;

  int on = 1;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof(on)) != 0) {
    return NPT_ERROR_SETSOCKOPT_FAILED;
  }
  char dummy = 0;
  send(s, &dummy, 0, 0);
  int off = 0;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&off, sizeof(off)) != 0) {
    return NPT_ERROR_SETSOCKOPT_FAILED;
  }
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_BsdSocket
+---------------------------------------------------------------------*/
NPT_Result NPT_BsdSocket::RefreshInfo() {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_BsdSocketFdUse use(*m_SocketFdReference);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();

  struct sockaddr_storage name;
  int length = sizeof(name);
  if (getsockname(use.GetNumber(), (struct sockaddr*)&name, &length) == 0 && name.ss_family == AF_INET) {
    const struct sockaddr_in* inet = (const struct sockaddr_in*)&name;
    m_Info.local_address.SetIpAddress(NPT_IpAddress(ntohl(inet->sin_addr.s_addr)));
    m_Info.local_address.SetPort(ntohs(inet->sin_port));
  }
  length = sizeof(name);
  if (getpeername(use.GetNumber(), (struct sockaddr*)&name, &length) == 0 && name.ss_family == AF_INET) {
    const struct sockaddr_in* inet = (const struct sockaddr_in*)&name;
    m_Info.remote_address.SetIpAddress(NPT_IpAddress(ntohl(inet->sin_addr.s_addr)));
    m_Info.remote_address.SetPort(ntohs(inet->sin_port));
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdSocket::Bind(const NPT_SocketAddress& address, bool reuse_address) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  {
    NPT_BsdSocketFdUse use(*m_SocketFdReference);
    if (use.GetResult() != NPT_SUCCESS) return use.GetResult();
    // SO_REUSEADDR here would let this socket share a port another socket
    // is bound to, even one listening on it; what the flag asks for (binding
    // over connections that linger on the port) is what Windows does without
    // any option. Without the flag the port is taken exclusively: no other
    // socket may bind it, with or without SO_REUSEADDR, while this one holds it.
    if (!reuse_address) {
      int on = 1;
      setsockopt(use.GetNumber(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char*)&on, sizeof(on));
    }
    struct sockaddr_in inet;
    SocketAddressToInet(address, inet);
    if (bind(use.GetNumber(), (struct sockaddr*)&inet, sizeof(inet)) != 0) return MapLastError();
  }
  RefreshInfo();
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdSocket::SetWriteTimeout(NPT_Timeout timeout) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  m_SocketFdReference->m_WriteTimeout.store(timeout, std::memory_order_relaxed);
  NPT_BsdSocketFdUse use(*m_SocketFdReference);
  if (use.GetResult() == NPT_SUCCESS) {
    // Mirrors the timeout in the OS option (milliseconds, 0 = none); waits
    // themselves use the stored value.
    DWORD milliseconds = timeout > 0 ? (DWORD)timeout : 0;
    setsockopt(use.GetNumber(), SOL_SOCKET, SO_SNDTIMEO, (const char*)&milliseconds, sizeof(milliseconds));
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdSocket::Cancel(bool do_shutdown) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_BsdSocketFd& fd = *m_SocketFdReference;
  SOCKET handle = INVALID_SOCKET;
  fd.BeginCancel(handle);
  // Waits are woken by the cancel event, not by the shutdown, so a socket
  // cancelled without shutdown sends nothing to the peer.
  if (handle != INVALID_SOCKET && do_shutdown) {
    if (shutdown(handle, SD_BOTH) != 0) NPT_LOG_FINE("shutdown failed (%d)", MapLastError());
  }
  fd.EndCancel();
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_BsdTcpClientSocket
+---------------------------------------------------------------------*/
NPT_BsdTcpClientSocket::NPT_BsdTcpClientSocket(NPT_Flags flags)
    : NPT_BsdSocket(NPT_Win32NewSocket(SOCK_STREAM, IPPROTO_TCP), flags) {}

NPT_Result NPT_BsdTcpClientSocket::Connect(const NPT_SocketAddress& address, NPT_Timeout timeout) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_Result result;
  {
    NPT_BsdSocketFdUse use(*m_SocketFdReference);
    if (use.GetResult() != NPT_SUCCESS) return use.GetResult();

    struct sockaddr_in inet;
    SocketAddressToInet(address, inet);
    NPT_LOG_FINE("connecting to %lx port %d", (unsigned long)address.GetIpAddress().AsLong(),
                 (int)address.GetPort());
    if (connect(use.GetNumber(), (struct sockaddr*)&inet, sizeof(inet)) == 0) {
      NPT_LOG_FINE("immediate connection");
      result = NPT_SUCCESS;
    } else {
      result = MapLastError();
    }
  }
  if (result == NPT_SUCCESS) {
    RefreshInfo();
    return NPT_SUCCESS;
  }
  if (result == NPT_ERROR_WOULD_BLOCK && timeout != 0) return WaitForConnection(timeout);
  return result;
}

/*----------------------------------------------------------------------
|   NPT_BsdTcpServerSocket
+---------------------------------------------------------------------*/
NPT_BsdTcpServerSocket::NPT_BsdTcpServerSocket(NPT_Flags flags)
    : NPT_BsdSocket(NPT_Win32NewSocket(SOCK_STREAM, IPPROTO_TCP), flags), m_ListenMax(0) {}

NPT_Result NPT_BsdTcpServerSocket::Listen(unsigned int max_clients) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_BsdSocketFdUse use(*m_SocketFdReference);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();
  if (listen(use.GetNumber(), (int)max_clients) != 0) {
    m_ListenMax = 0;
    return NPT_ERROR_LISTEN_FAILED;
  }
  m_ListenMax = max_clients;
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdTcpServerSocket::WaitForNewClient(NPT_Socket*& client, NPT_Timeout timeout, NPT_Flags flags) {
  client = nullptr;
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  if (m_ListenMax == 0) NPT_CHECK_FINE(Listen(NPT_TCP_SERVER_SOCKET_DEFAULT_LISTEN_COUNT));

  NPT_BsdSocketFd& fd = *m_SocketFdReference;
  NPT_BsdSocketFdUse use(fd);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();

  NPT_LOG_FINER("waiting until socket is readable or writeable");
  NPT_Result result = fd.WaitForCondition(true, true, false, timeout);
  if (result != NPT_SUCCESS) return result;

  NPT_LOG_FINER("accepting connection");
  struct sockaddr_in inet;
  int length = sizeof(inet);
  SOCKET accepted = accept(use.GetNumber(), (struct sockaddr*)&inet, &length);
  if (accepted == INVALID_SOCKET) {
    if (fd.IsCancelled()) return NPT_ERROR_CANCELLED;
    result = MapLastError();
    NPT_LOG_FINE("socket error %d", result);
    return result;
  }
  // An accepted socket inherits the listener's event selection: give it none
  // of its own until one of its waits asks for it.
  WSAEventSelect(accepted, nullptr, 0);
  SetHandleInformation((HANDLE)accepted, HANDLE_FLAG_INHERIT, 0);
  client = new NPT_Socket(new NPT_BsdSocket(accepted, flags));
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   portable constructors
+---------------------------------------------------------------------*/
NPT_TcpClientSocket::NPT_TcpClientSocket(NPT_SocketFd fd, NPT_Flags flags)
    : NPT_Socket(new NPT_BsdTcpClientSocket(fd < 0 ? NPT_BSD_NO_SOCKET : (SOCKET)fd, flags)) {}

