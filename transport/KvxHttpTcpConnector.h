#pragma once
// KVX_HttpTcpConnector: the connector installed on every HTTP client of the
// system. Bound at construction to one device through its usbmux handle, it
// ignores the URL's host for routing and opens a usbmux tunnel to the URL's
// port on that device; built with handle 0 it connects over plain TCP.
//
// It keeps the last connection and hands its streams out again when the next
// request goes to the same host and port (exact, case-sensitive host match),
// which is what lets a device stream reuse a persistent connection. Nothing
// checks whether the cached connection is still open.
//
// Threads: Connect runs on the thread of the owning HTTP client; Abort may be
// called from any other thread (through NPT_HttpClient::Abort). A mutex guards
// the current socket and the aborted state so the two never overlap on them.
// Nothing is logged.

#include <atomic>

#include "NptHttp.h"
#include "NptReferences.h"
#include "NptSockets.h"
#include "NptStreams.h"
#include "NptStrings.h"
#include "NptThreads.h"
#include "NptTypes.h"

class KVX_USBMux;

class KVX_HttpTcpConnector : public NPT_HttpClient::Connector {
 public:
  // `usb_handle` 0 selects plain TCP. `mux` is the binding used to open
  // tunnels; it must outlive the connector. The system always uses the default
  // binding; tests pass one over a stand-in library.
  // `owner_aborted` (may be null) is the abort flag of whoever installs the
  // connector and must outlive it: once the flag is set, every Connect fails
  // at once with NPT_ERROR_CANCELLED. A connector created after its owner's
  // Abort thus never opens a connection (and never waits on one) that no
  // Abort will reach. The owner sets the flag before it calls Abort.
  explicit KVX_HttpTcpConnector(NPT_Int32 usb_handle, const std::atomic<bool>* owner_aborted = nullptr);
  KVX_HttpTcpConnector(NPT_Int32 usb_handle, KVX_USBMux& mux, const std::atomic<bool>* owner_aborted = nullptr);
  // Releases the socket, the output stream, the input stream and the host name,
  // in this order. A tunnel closes when its last holder lets go.
  ~KVX_HttpTcpConnector() override;
  KVX_HttpTcpConnector(const KVX_HttpTcpConnector&) = delete;
  KVX_HttpTcpConnector& operator=(const KVX_HttpTcpConnector&) = delete;

  // Hands out the cached streams when `hostname` and `port` match the cached
  // connection (and it was not aborted since); otherwise opens a new one:
  // - TCP: resolves `hostname` (its result on failure), then connects with
  //   `connection_timeout`; read and write timeouts are `io_timeout`.
  // - USB: opens a tunnel to `port` on the bound device; `hostname`,
  //   `connection_timeout` and `name_resolver_timeout` play no part.
  // Could not connect (refused, unreachable, timed out, no tunnel) is
  // NPT_ERROR_INVALID_PARAMETERS in both modes: request operations retry
  // once with a fresh connector on exactly that result. NPT_ERROR_CANCELLED
  // when an Abort cut the Connect short or the owner's flag is set. A failure
  // to obtain the streams or socket info is returned as is. `secure` is
  // ignored. Both stream references are cleared first and stay empty on
  // failure.
  NPT_Result Connect(const char* hostname, NPT_UInt16 port, bool secure, NPT_Timeout connection_timeout,
                     NPT_Timeout io_timeout, NPT_Timeout name_resolver_timeout,
                     NPT_InputStreamReference& input_stream, NPT_OutputStreamReference& output_stream) override;

  // Why the last Connect could not connect, on the thread that called it:
  // NPT_SUCCESS when it did (or none was made). TCP: the connect's own
  // failure (NPT_ERROR_CONNECTION_REFUSED, NPT_ERROR_TIMEOUT, ...). USB: the
  // usbmux library's failure as the runtime's code for an error number,
  // -(22000 + errno) (refused by the app's port, device gone, daemon
  // unreachable, ...), or NPT_RESULT_FAILURE without the library.
  NPT_Result GetConnectFailure() const { return m_ConnectFailure; }

  // Any thread; always NPT_RESULT_SUCCESS. Cancels the current socket (TCP or
  // tunnel) with shutdown, so a Connect, read or write in progress on it ends
  // at once with NPT_ERROR_CANCELLED or an error, then drops it. The cached
  // streams stay in place but are never handed out again: the next Connect
  // opens a new connection. On a fresh connector it does nothing.
  NPT_Result Abort() override;

 private:
  NPT_String m_HostName;
  NPT_UInt16 m_Port;
  NPT_InputStreamReference m_InputStream;
  NPT_OutputStreamReference m_OutputStream;
  NPT_SocketInfo m_SocketInfo;
  NPT_Reference<NPT_Socket> m_Socket;
  NPT_Int32 m_UsbHandle;
  // Result of the last tunnel open (a descriptor, 0 included, or a negative
  // failed value); -1 when none.
  int m_UsbFd;
  // A connection has been cached by a successful Connect.
  bool m_Connected;
  // See GetConnectFailure; the Connect thread's only.
  NPT_Result m_ConnectFailure;
  // Number of Abort calls so far, and its value when the cached connection
  // was opened: when they differ, the cached streams belong to a cancelled
  // socket and are never handed out again.
  NPT_Cardinal m_AbortCount;
  NPT_Cardinal m_CachedAbortCount;
  KVX_USBMux& m_Mux;
  const std::atomic<bool>* m_OwnerAborted;
  // Guards m_Socket, m_UsbFd and the abort counts between Connect (owner
  // thread) and Abort (any thread).
  NPT_Mutex m_Lock;
};
