#pragma once
// Windows platform sockets over Windows Sockets 2.2: the object that owns a
// SOCKET and waits on it; the objects over it are shared with the other
// platforms (../Sockets/NptBsdSocketObjects.h, included at the end). Every OS
// socket is non-blocking (ioctlsocket); a wait is a select on the one socket,
// woken early by the socket's network events or by Cancel through OS event
// objects.

#include <winsock2.h>

#include <atomic>
#include <mutex>

#include "NptResults.h"
#include "NptSockets.h"
#include "NptTypes.h"

// An OS socket: a SOCKET handle; INVALID_SOCKET for none.
typedef SOCKET NPT_BsdSocketHandle;
const NPT_BsdSocketHandle NPT_BSD_NO_SOCKET = INVALID_SOCKET;

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
  NPT_Result BeginUse(NPT_BsdSocketHandle& socket);
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
  void BeginCancel(NPT_BsdSocketHandle& socket);
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

  const NPT_BsdSocketHandle m_Socket;
  std::atomic<bool> m_Cancelled;
  const bool m_Cancellable;  // recorded only: every socket can be cancelled

  std::mutex m_Lock;       // guards the fields below
  unsigned int m_Users;    // operations between BeginUse and EndUse
  bool m_Closed;           // the SOCKET has been closed
  WSAEVENT m_NetworkEvent; // signalled by the socket's network events
  HANDLE m_CancelEvent;    // manual reset, signalled by Cancel
};

#include "../Sockets/NptBsdSocketObjects.h"
