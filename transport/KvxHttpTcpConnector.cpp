// KVX_HttpTcpConnector: TCP or usbmux tunnel connections for the HTTP client,
// with a one-entry connection cache and an Abort that any thread may call.

#include "KvxHttpTcpConnector.h"

#include "KvxUSBClientSocket.h"
#include "KvxUSBMux.h"
#include "NptNetwork.h"

KVX_HttpTcpConnector::KVX_HttpTcpConnector(NPT_Int32 usb_handle, const std::atomic<bool>* owner_aborted)
    : KVX_HttpTcpConnector(usb_handle, KVX_USBMux::GetDefault(), owner_aborted) {}

KVX_HttpTcpConnector::KVX_HttpTcpConnector(NPT_Int32 usb_handle, KVX_USBMux& mux,
                                           const std::atomic<bool>* owner_aborted)
    : m_Port(0),
      m_UsbHandle(usb_handle),
      m_UsbFd(-1),
      m_Connected(false),
      m_ConnectFailure(NPT_SUCCESS),
      m_AbortCount(0),
      m_CachedAbortCount(0),
      m_Mux(mux),
      m_OwnerAborted(owner_aborted) {}

KVX_HttpTcpConnector::~KVX_HttpTcpConnector() {
  m_Socket.Release();
  m_OutputStream.Release();
  m_InputStream.Release();
  m_HostName = NPT_String();
}

NPT_Result KVX_HttpTcpConnector::Connect(const char* hostname, NPT_UInt16 port, bool /*secure*/,
                                         NPT_Timeout connection_timeout, NPT_Timeout io_timeout,
                                         NPT_Timeout name_resolver_timeout, NPT_InputStreamReference& input_stream,
                                         NPT_OutputStreamReference& output_stream) {
  input_stream.Release();
  output_stream.Release();
  m_ConnectFailure = NPT_SUCCESS;
  if (hostname == nullptr) hostname = "";

  // Reuse the cached connection unless an Abort has cancelled it since.
  NPT_Cardinal abort_count;
  {
    NPT_AutoLock lock(m_Lock);
    abort_count = m_AbortCount;
    // The owner sets its flag before its Abort takes m_Lock: either the flag
    // is seen here, or that Abort comes later and changes the count.
    if (m_OwnerAborted != nullptr && m_OwnerAborted->load(std::memory_order_acquire)) return NPT_ERROR_CANCELLED;
    if (m_Connected && m_CachedAbortCount == abort_count && m_HostName == hostname && m_Port == port) {
      input_stream = m_InputStream;
      output_stream = m_OutputStream;
      return NPT_RESULT_SUCCESS;
    }
  }

  // The socket is used through this local reference, so an Abort dropping
  // m_Socket meanwhile never frees it under our feet.
  NPT_Reference<NPT_Socket> socket;
  if (m_UsbHandle == 0) {
    NPT_IpAddress address;
    NPT_Result result = address.ResolveName(hostname, name_resolver_timeout);
    if (NPT_FAILED(result)) return result;

    socket = new NPT_TcpClientSocket(NPT_SOCKET_FLAG_CANCELLABLE);
    {
      // Published before connecting so that Abort can cancel a connect that
      // blocks; an Abort that came before publication fails this Connect.
      NPT_AutoLock lock(m_Lock);
      m_Socket = socket;
      if (m_AbortCount != abort_count) {
        socket->Cancel(true);
        return NPT_ERROR_CANCELLED;
      }
    }
    socket->SetReadTimeout(io_timeout);
    socket->SetWriteTimeout(io_timeout);
    result = socket->Connect(NPT_SocketAddress(address, port), connection_timeout);
    if (NPT_FAILED(result)) {
      NPT_AutoLock lock(m_Lock);
      // A connect cut short by Abort is not a could-not-connect: a retry on a
      // fresh connector would only undo the Abort.
      if (m_AbortCount != abort_count) return NPT_ERROR_CANCELLED;
      m_ConnectFailure = result;
      return NPT_ERROR_INVALID_PARAMETERS;
    }
  } else {
    // Opening a tunnel blocks inside the client library and cannot be
    // interrupted; an Abort during it is caught when the socket is published.
    int usb_fd = m_Mux.Connect(m_UsbHandle, port);
    NPT_AutoLock lock(m_Lock);
    m_UsbFd = usb_fd;
    // Only negative results are failures: a host whose standard input is
    // closed can get its tunnel on descriptor 0.
    if (usb_fd < 0) {
      // The library gives a negative error number; -1 is also the binding's
      // own "no library".
      m_ConnectFailure = usb_fd < -1 ? NPT_ERROR_BASE_ERRNO + usb_fd : NPT_RESULT_FAILURE;
      return NPT_ERROR_INVALID_PARAMETERS;
    }
    socket = new KVX_USBClientSocket(usb_fd, 0);
    m_Socket = socket;
    if (m_AbortCount != abort_count) {
      // Cancelling closes the tunnel: nobody else holds it yet.
      socket->Cancel(true);
      return NPT_ERROR_CANCELLED;
    }
    socket->SetReadTimeout(io_timeout);
    socket->SetWriteTimeout(io_timeout);
  }

  // The cache is replaced only once the new connection is complete, so a
  // failure here leaves the previous host, port and streams consistent.
  NPT_InputStreamReference new_input;
  NPT_OutputStreamReference new_output;
  NPT_SocketInfo info;
  NPT_Result result = socket->GetInputStream(new_input);
  if (NPT_FAILED(result)) return result;
  result = socket->GetOutputStream(new_output);
  if (NPT_FAILED(result)) return result;
  result = socket->GetInfo(info);
  if (NPT_FAILED(result)) return result;

  m_InputStream = new_input;
  m_OutputStream = new_output;
  m_SocketInfo = info;
  m_HostName = hostname;
  m_Port = port;
  m_Connected = true;
  {
    // Streams handed out after an Abort that already cancelled this socket
    // fail with NPT_ERROR_CANCELLED on use; the cache is then not reused.
    NPT_AutoLock lock(m_Lock);
    m_CachedAbortCount = abort_count;
  }
  input_stream = m_InputStream;
  output_stream = m_OutputStream;
  return NPT_RESULT_SUCCESS;
}

NPT_Result KVX_HttpTcpConnector::Abort() {
  NPT_Reference<NPT_Socket> socket;
  {
    NPT_AutoLock lock(m_Lock);
    ++m_AbortCount;
    socket = m_Socket;
    m_Socket.Release();
    m_UsbFd = -1;
  }
  // Tunnels are cancelled too: a stalled stream must not hold the aborting
  // thread (or the worker) until the I/O timeout runs out.
  if (!socket.IsNull()) socket->Cancel(true);
  return NPT_RESULT_SUCCESS;
}
