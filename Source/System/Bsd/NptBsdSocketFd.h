#pragma once
// Linux (BSD socket API) platform sockets: the object that owns a socket
// descriptor and waits on it; the objects over it are shared with the other
// platforms (../Sockets/NptBsdSocketObjects.h, included at the end). Assumes
// poll(2), eventfd(2), MSG_NOSIGNAL and non-blocking sockets; includes no OS
// header itself so tests can use it.

#include <atomic>
#include <mutex>

#include "NptResults.h"
#include "NptSockets.h"
#include "NptTypes.h"

// An OS socket: a descriptor number; -1 for none.
typedef int NPT_BsdSocketHandle;
const NPT_BsdSocketHandle NPT_BSD_NO_SOCKET = -1;

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
  NPT_Result BeginUse(NPT_BsdSocketHandle& fd);
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
  void BeginCancel(NPT_BsdSocketHandle& fd);
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

  const NPT_BsdSocketHandle m_Socket;
  std::atomic<bool> m_Cancelled;
  std::atomic<bool> m_Blocking;                // O_NONBLOCK cleared
  std::atomic<NPT_Timeout> m_ReceiveTimeout;   // SO_RCVTIMEO as last set
  const bool m_Cancellable;  // recorded only: every socket can be cancelled

  std::mutex m_Lock;       // guards the fields below
  unsigned int m_Users;    // operations between BeginUse and EndUse
  bool m_Closed;           // the OS socket has been closed
  int m_WakeFd;            // eventfd signalled by Cancel; -1 until a wait needs it
};

#include "../Sockets/NptBsdSocketObjects.h"
