// Linux platform: descriptor ownership, waits, socket streams and TCP sockets
// over the BSD socket API. Assumes poll(2) (any descriptor number, unlike
// select's fixed-size sets), eventfd(2) for waking cancelled waits,
// MSG_DONTWAIT on every call that must not block, SO_RCVTIMEO and a read
// shutdown waking a blocked recv (stream reads that may wait block in recv),
// and MSG_NOSIGNAL so that writing to a vanished peer fails with a result
// instead of raising SIGPIPE in the host application. Signals the host's
// threads receive interrupt poll and a timed recv whatever SA_RESTART says;
// every wait then goes on for what is left of its time-out.

#include "NptBsdSocketFd.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <new>

#include "NptLogging.h"

NPT_SET_LOCAL_LOGGER("npt.sockets.bsd")

// Longest slice of a wait that has no wake-up descriptor (only when one could
// not be created): the cancelled flag is checked between slices.
static const int NPT_BSD_CANCEL_POLL_SLICE = 50;

NPT_Result NPT_BsdSocketMapErrorCode(int error) {
  switch (error) {
    case EINTR:
      return NPT_ERROR_INTERRUPTED;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
      return NPT_ERROR_WOULD_BLOCK;
    case EADDRINUSE:
      return NPT_ERROR_ADDRESS_IN_USE;
    case ENETDOWN:
      return NPT_ERROR_NETWORK_DOWN;
    case ENETUNREACH:
      return NPT_ERROR_NETWORK_UNREACHABLE;
    case ENETRESET:
    case ECONNRESET:
      return NPT_ERROR_CONNECTION_RESET;
    case ECONNABORTED:
      return NPT_ERROR_CONNECTION_ABORTED;
    case ETIMEDOUT:
      return NPT_ERROR_TIMEOUT;
    case ECONNREFUSED:
      return NPT_ERROR_CONNECTION_REFUSED;
    default:
      return NPT_ERROR_BASE_ERRNO - error;
  }
}

static NPT_Result MapLastError() { return NPT_BsdSocketMapErrorCode(errno); }

typedef std::chrono::steady_clock WaitClock;

// The end of a wait of `timeout` ms starting now; meaningless for a negative
// (unlimited) timeout.
static WaitClock::time_point DeadlineAfter(NPT_Timeout timeout) {
  return WaitClock::now() + std::chrono::milliseconds(timeout > 0 ? timeout : 0);
}

// Milliseconds left until `deadline`, rounded up so that a wait resumed with
// it never ends before the deadline; 0 once it has passed.
static NPT_Timeout MillisecondsLeft(WaitClock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - WaitClock::now()).count();
  return left > 0 ? (NPT_Timeout)left : 0;
}

static void SocketAddressToInet(const NPT_SocketAddress& address, struct sockaddr_in& inet) {
  std::memset(&inet, 0, sizeof(inet));
  inet.sin_family = AF_INET;
  inet.sin_port = htons(address.GetPort());
  inet.sin_addr.s_addr = htonl(address.GetIpAddress().AsLong());
}

/*----------------------------------------------------------------------
|   NPT_BsdSocketFd
+---------------------------------------------------------------------*/
NPT_BsdSocketFd::NPT_BsdSocketFd(int fd, NPT_Flags flags)
    : m_ReadTimeout(NPT_TIMEOUT_INFINITE),
      m_WriteTimeout(NPT_TIMEOUT_INFINITE),
      m_Position(0),
      m_Socket(fd),
      m_Cancelled(false),
      m_Blocking(false),
      m_ReceiveTimeout(0),
      m_Cancellable((flags & NPT_SOCKET_FLAG_CANCELLABLE) != 0),
      m_Users(0),
      m_Closed(false),
      m_WakeFd(-1) {
  (void)m_Cancellable;
  int fl = fcntl(fd, F_GETFL, 0);
  if (fl >= 0 && !(fl & O_NONBLOCK)) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

NPT_BsdSocketFd::~NPT_BsdSocketFd() {
  // The last holder is going: nobody can be using the number any more.
  std::lock_guard<std::mutex> lock(m_Lock);
  CloseLocked();
  if (m_WakeFd >= 0) close(m_WakeFd);
}

void NPT_BsdSocketFd::CloseLocked() {
  if (m_Closed) return;
  m_Closed = true;
  close(m_Socket);
}

void NPT_BsdSocketFd::EndCancel() {
  std::lock_guard<std::mutex> lock(m_Lock);
  if (m_WakeFd >= 0) {
    // The counter only grows; a waiter never reads it, so it stays readable.
    uint64_t one = 1;
    ssize_t ignored = write(m_WakeFd, &one, sizeof(one));
    (void)ignored;
  }
  if (!m_Closed) --m_Users;
  if (m_Users == 0) CloseLocked();
}

bool NPT_BsdSocketFd::PrepareBlockingReceive(int fd, NPT_Timeout timeout) {
  if (m_Blocking.load(std::memory_order_acquire) && m_ReceiveTimeout.load(std::memory_order_acquire) == timeout) {
    return true;
  }
  std::lock_guard<std::mutex> lock(m_Lock);
  if (m_ReceiveTimeout.load(std::memory_order_relaxed) != timeout) {
    // A zero time value means no limit.
    struct timeval tv;
    tv.tv_sec = timeout > 0 ? timeout / 1000 : 0;
    tv.tv_usec = timeout > 0 ? (timeout % 1000) * 1000 : 0;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) return false;
    m_ReceiveTimeout.store(timeout, std::memory_order_release);
  }
  if (!m_Blocking.load(std::memory_order_relaxed)) {
    int fl = fcntl(fd, F_GETFL, 0);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) return false;
    m_Blocking.store(true, std::memory_order_release);
  }
  return true;
}

int NPT_BsdSocketFd::GetWakeFd() {
  std::lock_guard<std::mutex> lock(m_Lock);
  if (m_WakeFd < 0) m_WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return m_WakeFd;
}

NPT_Result NPT_BsdSocketFd::WaitForCondition(bool wait_for_readable, bool wait_for_writeable, bool check_error,
                                             NPT_Timeout timeout) {
  // Created before the flag is tested: a Cancel after the test signals it.
  int wake_fd = timeout != 0 ? GetWakeFd() : -1;

  struct pollfd fds[2];
  fds[0].fd = m_Socket;
  fds[0].events = (short)((wait_for_readable ? POLLIN : 0) | (wait_for_writeable ? POLLOUT : 0));
  fds[0].revents = 0;
  fds[1].fd = wake_fd;
  fds[1].events = POLLIN;
  fds[1].revents = 0;
  nfds_t count = wake_fd >= 0 ? 2 : 1;

  NPT_LOG_FINER("waiting for condition (%s %s)", wait_for_readable ? "read" : "", wait_for_writeable ? "write" : "");

  // A signal ends poll early (the OS never restarts it): the wait goes on
  // for what is left, so that neither a host's signals fail the transfer nor
  // a steady stream of them keeps the time-out from ever coming. Without a
  // wake-up descriptor (descriptors exhausted) the wait is cut into slices
  // and the cancelled flag checked between them.
  const WaitClock::time_point deadline = DeadlineAfter(timeout);
  const bool sliced = timeout != 0 && wake_fd < 0;
  int io_result = 0;
  int poll_error = 0;
  while (!m_Cancelled.load(std::memory_order_acquire)) {
    int wait = timeout < 0 ? -1 : (int)MillisecondsLeft(deadline);
    if (sliced && (wait < 0 || wait > NPT_BSD_CANCEL_POLL_SLICE)) wait = NPT_BSD_CANCEL_POLL_SLICE;
    io_result = poll(fds, count, wait);
    if (io_result < 0 && errno == EINTR) {
      io_result = 0;
      if (timeout >= 0 && MillisecondsLeft(deadline) == 0) break;
      continue;
    }
    if (io_result < 0) poll_error = errno;
    if (io_result != 0 || !sliced) break;
    if (timeout > 0 && MillisecondsLeft(deadline) == 0) break;
  }
  NPT_LOG_FINER("poll returned %d", io_result);

  if (m_Cancelled.load(std::memory_order_acquire)) return NPT_ERROR_CANCELLED;

  NPT_Result result;
  short ready = fds[0].revents;
  if (io_result == 0) {
    result = timeout == 0 ? NPT_ERROR_WOULD_BLOCK : NPT_ERROR_TIMEOUT;
  } else if (io_result < 0) {
    result = NPT_BsdSocketMapErrorCode(poll_error);
  } else if (ready & POLLNVAL) {
    result = NPT_BsdSocketMapErrorCode(EBADF);
  } else if (ready & (POLLIN | POLLOUT | POLLERR | POLLHUP)) {
    // An error or hang-up counts as ready: the next transfer (or the error
    // check) surfaces it.
    if (!check_error) return NPT_SUCCESS;
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (getsockopt(m_Socket, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
      result = MapLastError();
    } else if (pending == 0) {
      return NPT_SUCCESS;
    } else {
      result = NPT_BsdSocketMapErrorCode(pending);
    }
  } else {
    NPT_LOG_FINE("poll reported neither readiness nor an error (revents %d)", (int)ready);
    result = NPT_ERROR_INTERNAL;
  }
  NPT_LOG_FINER("wait result = %d", result);
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
  // A request for 0 bytes cannot tell "empty" from "data", so it waits first
  // (this is how callers ask "has anything happened within the timeout").
  bool waited = false;
  if (bytes_to_read == 0 && timeout != 0) {
    NPT_Result result = fd.WaitForCondition(true, false, false, timeout);
    if (result != NPT_SUCCESS) return result;
    waited = true;
  }
  // A read that may wait does so inside recv: a blocking recv goes on taking
  // the data that arrives while it copies, where a non-blocking one returns
  // at the first empty moment and costs another call (and, on loopback, the
  // sender's work that each extra return triggers). The OS time-out then
  // reports "nothing in time" as EAGAIN; a cancel shuts reading down, which
  // ends the recv with 0.
  const WaitClock::time_point deadline = DeadlineAfter(timeout);
  bool blocking = timeout != 0 && !waited && fd.PrepareBlockingReceive(use.GetNumber(), timeout);

  ssize_t io_result;
  int error;
  for (;;) {
    NPT_LOG_FINEST("reading %d from socket", (int)bytes_to_read);
    io_result = recv(use.GetNumber(), buffer, bytes_to_read, blocking ? 0 : MSG_DONTWAIT);
    error = errno;
    NPT_LOG_FINEST("recv returned %d", (int)io_result);
    if (io_result > 0) {
      if (bytes_read) *bytes_read = (NPT_Size)io_result;
      fd.m_Position.fetch_add((NPT_Position)io_result, std::memory_order_relaxed);
      return NPT_SUCCESS;
    }
    if (blocking && io_result < 0) {
      if (error == EINTR && !fd.IsCancelled()) {
        // A signal handler ran (a receive time-out makes recv give up rather
        // than restart): wait again, with the OS time-out cut to what is left
        // of this read's, since a fresh one at every signal would never run
        // out while signals keep coming.
        if (timeout < 0) continue;
        NPT_Timeout left = MillisecondsLeft(deadline);
        if (left == 0) return NPT_ERROR_TIMEOUT;
        // Refused: the next recv does not block and the wait below takes over.
        if (!fd.PrepareBlockingReceive(use.GetNumber(), left)) blocking = false;
        continue;
      }
      if (error == EAGAIN || error == EWOULDBLOCK) {
        if (fd.IsCancelled()) return NPT_ERROR_CANCELLED;
        return NPT_ERROR_TIMEOUT;
      }
    }
    if (io_result < 0 && (error == EAGAIN || error == EWOULDBLOCK) && timeout != 0 && !waited) {
      NPT_Timeout left = timeout < 0 ? timeout : MillisecondsLeft(deadline);
      if (left == 0) return NPT_ERROR_TIMEOUT;
      NPT_Result result = fd.WaitForCondition(true, false, false, left);
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
  int count = 0;
  if (ioctl(use.GetNumber(), FIONREAD, &count) != 0) return NPT_ERROR_SOCKET_CONTROL_FAILED;
  available = count > 0 ? (NPT_LargeSize)count : 0;
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

  ssize_t io_result;
  int error;
  for (;;) {
    NPT_LOG_FINEST("writing %d to socket", (int)bytes_to_write);
    io_result = send(use.GetNumber(), buffer, bytes_to_write, MSG_NOSIGNAL | MSG_DONTWAIT);
    error = errno;
    NPT_LOG_FINEST("send returned %d", (int)io_result);
    if (io_result > 0) {
      if (bytes_written) *bytes_written = (NPT_Size)io_result;
      fd.m_Position.fetch_add((NPT_Position)io_result, std::memory_order_relaxed);
      return NPT_SUCCESS;
    }
    if (io_result < 0 && (error == EAGAIN || error == EWOULDBLOCK) && timeout != 0 && !waited) {
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
  int s = use.GetNumber();

  NPT_LOG_FINEST("flushing socket");
  int nodelay = 0;
  socklen_t length = sizeof(nodelay);
  if (getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length) != 0) {
    // A local stream socket (such as a tunnel from the USB daemon) has no
    // delayed sending to push: there is nothing to flush.
    if (errno == EOPNOTSUPP || errno == ENOPROTOOPT) return NPT_SUCCESS;
    return NPT_ERROR_GETSOCKOPT_FAILED;
  }
  if (nodelay) return NPT_SUCCESS;

  int on = 1;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0) return NPT_ERROR_SETSOCKOPT_FAILED;
  char dummy = 0;
  ssize_t ignored = send(s, &dummy, 0, MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)ignored;
  int off = 0;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &off, sizeof(off)) != 0) return NPT_ERROR_SETSOCKOPT_FAILED;
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_BsdSocket
+---------------------------------------------------------------------*/
NPT_Result NPT_BsdSocket::RefreshInfo() {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_BsdSocketFdUse use(*m_SocketFdReference);
  if (use.GetResult() != NPT_SUCCESS) return use.GetResult();

  // Large enough for any family: an adopted descriptor may be a local socket.
  struct sockaddr_storage name;
  socklen_t length = sizeof(name);
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
    int on = 1;
    if (reuse_address) setsockopt(use.GetNumber(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
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
    // Mirrors the timeout in the OS option; waits themselves use the stored value.
    struct timeval tv;
    tv.tv_sec = timeout > 0 ? timeout / 1000 : 0;
    tv.tv_usec = timeout > 0 ? (timeout % 1000) * 1000 : 0;
    setsockopt(use.GetNumber(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_BsdSocket::Cancel(bool do_shutdown) {
  if (m_SocketFdReference.IsNull()) return NPT_ERROR_INVALID_STATE;
  NPT_BsdSocketFd& fd = *m_SocketFdReference;
  int number = -1;
  fd.BeginCancel(number);
  // Shutting reading down sends nothing to the peer; it ends a recv blocked
  // in the kernel, which no wake-up descriptor reaches.
  if (number >= 0) {
    if (shutdown(number, do_shutdown ? SHUT_RDWR : SHUT_RD) != 0) {
      NPT_LOG_FINE("shutdown failed (%d)", MapLastError());
    }
  }
  fd.EndCancel();
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_BsdTcpClientSocket
+---------------------------------------------------------------------*/
NPT_BsdTcpClientSocket::NPT_BsdTcpClientSocket(NPT_Flags flags)
    : NPT_BsdSocket(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), flags) {}

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
    : NPT_BsdSocket(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), flags), m_ListenMax(0) {}

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
  socklen_t length = sizeof(inet);
  int accepted = accept4(use.GetNumber(), (struct sockaddr*)&inet, &length, SOCK_CLOEXEC);
  if (accepted < 0) {
    if (fd.IsCancelled()) return NPT_ERROR_CANCELLED;
    result = MapLastError();
    NPT_LOG_FINE("socket error %d", result);
    return result;
  }
  client = new NPT_Socket(new NPT_BsdSocket(accepted, flags));
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   portable constructors
+---------------------------------------------------------------------*/
NPT_TcpClientSocket::NPT_TcpClientSocket(NPT_SocketFd fd, NPT_Flags flags)
    : NPT_Socket(new NPT_BsdTcpClientSocket(fd < 0 ? NPT_BSD_NO_SOCKET : fd, flags)) {}

