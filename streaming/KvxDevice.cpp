// KVX_Device: the device stream's worker and the request operations.
// CreateAuthentication lives in KvxAuthentication.cpp beside the shared
// secret it uses; the multipart reader in KvxMultipartReader.cpp.

#include "KvxDevice.h"

#include <new>

#include "KvxHttpTcpConnector.h"

namespace {

const char kAuthenticationHeader[] = "X-LUMOX-AUTH";
const char kAcceptHeader[] = "Accept";
const char kClientHeader[] = "X-LUMOX-CLIENT";

// Time-outs of a stream request, in milliseconds.
const NPT_Timeout kConnectionTimeout = 1000;
const NPT_Timeout kIoTimeout = 30000;
const NPT_Timeout kNameResolverTimeout = 30000;

// Limits of a device stream's event queue.
const NPT_UInt32 kEventQueueMax = 1000;
const NPT_UInt32 kEventQueueMaxBeforeDrop = 100;

bool IsAborted(const std::atomic<bool>* aborted) {
  return aborted != nullptr && aborted->load(std::memory_order_acquire);
}

}  // namespace

const char* const KVX_Device::AcceptedTypes = "image/jpeg;image/rgba;image/rgb";

KVX_Device::KVX_Device(const NPT_List<NPT_HttpUrl>& urls, NPT_Int32 device_handle)
    : NPT_Thread(false),
      m_DeviceHandle(device_handle),
      m_Urls(urls),
      m_Aborted(false),
      m_Delegate(nullptr),
      m_Events(kEventQueueMax, kEventQueueMaxBeforeDrop) {}

KVX_Device::~KVX_Device() {
  Abort();
  // Run uses our members: it must have returned before any of them goes.
  Wait(NPT_TIMEOUT_INFINITE);
}

NPT_Result KVX_Device::Start(const char* client_name) {
  m_Aborted.store(false, std::memory_order_release);
  {
    // A second Start may come while the worker copies the name.
    NPT_AutoLock lock(m_ConnectorLock);
    m_ClientName = client_name ? client_name : "";
  }
  return NPT_Thread::Start();
}

void KVX_Device::Abort() {
  m_Aborted.store(true, std::memory_order_release);
  NPT_AutoLock lock(m_ConnectorLock);
  m_Client.Abort();
}

NPT_Result KVX_Device::AddEvent(const KVX_Event& event) { return m_Events.Push(event); }

bool KVX_Device::IsConnectionKeepAlive(const NPT_HttpMessage& message) {
  const NPT_String* connection = message.GetHeaders().GetHeaderValue(NPT_HTTP_HEADER_CONNECTION);
  const NPT_String& protocol = message.GetProtocol();
  if (protocol.Compare(NPT_HTTP_PROTOCOL_1_0, true) == 0) {
    return connection != nullptr && connection->Compare("keep-alive", true) == 0;
  }
  if (protocol.Compare(NPT_HTTP_PROTOCOL_1_1, true) == 0) {
    return connection == nullptr || connection->Compare("close", true) != 0;
  }
  return false;
}

void KVX_Device::InstallConnector(NPT_HttpClient& client, NPT_Int32 device_handle, NPT_Mutex* lock) {
  KVX_HttpTcpConnector* connector = new (std::nothrow) KVX_HttpTcpConnector(device_handle);
  // Without memory the client keeps its connector; the send then fails or
  // reuses it.
  if (connector == nullptr) return;
  if (lock) {
    NPT_AutoLock guard(*lock);
    client.SetConnector(connector);
  } else {
    client.SetConnector(connector);
  }
}

NPT_Result KVX_Device::SendRequestLocked(NPT_HttpRequest& request, NPT_HttpClient& client,
                                         NPT_HttpResponse** response, const std::atomic<bool>* aborted,
                                         NPT_Int32 device_handle, const char* client_name, NPT_Mutex* lock) {
  if (response == nullptr) return NPT_ERROR_INVALID_PARAMETERS;

  NPT_String token;
  NPT_Result result = CreateAuthentication(token);
  if (NPT_FAILED(result)) return result;
  NPT_HttpHeaders& headers = request.GetHeaders();
  headers.SetHeader(kAuthenticationHeader, token);
  headers.SetHeader(kAcceptHeader, AcceptedTypes);
  if (client_name) headers.SetHeader(kClientHeader, client_name);

  result = client.SendRequest(request, *response);
  // No connection could be opened (or the client had no connector): one more
  // attempt, at once, through a fresh connector.
  if (result == NPT_ERROR_INVALID_PARAMETERS && !IsAborted(aborted)) {
    delete *response;
    *response = nullptr;
    InstallConnector(client, device_handle, lock);
    result = client.SendRequest(request, *response);
  }
  return result;
}

NPT_Result KVX_Device::SendUrlLocked(const NPT_HttpUrl& url, NPT_HttpClient& client, NPT_HttpResponse** response,
                                     const std::atomic<bool>* aborted, NPT_Int32 device_handle,
                                     const char* client_name, NPT_Mutex* lock) {
  if (response == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  *response = nullptr;
  NPT_HttpRequest request(url, NPT_HTTP_METHOD_GET, NPT_HTTP_PROTOCOL_1_0);
  client.SetTimeouts(kConnectionTimeout, kIoTimeout, kNameResolverTimeout);
  return SendRequestLocked(request, client, response, aborted, device_handle, client_name, lock);
}

NPT_Result KVX_Device::SendListLocked(const NPT_List<NPT_HttpUrl>& urls, NPT_HttpClient& client,
                                      NPT_HttpResponse** response, const std::atomic<bool>* aborted,
                                      NPT_Int32 device_handle, const char* client_name, NPT_Mutex* lock) {
  if (response == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  *response = nullptr;
  for (NPT_List<NPT_HttpUrl>::Iterator url = urls.GetFirstItem(); url; ++url) {
    InstallConnector(client, device_handle, lock);
    // Only the response decides; the send's result is not consulted.
    SendUrlLocked(*url, client, response, aborted, device_handle, client_name, lock);
    if (*response && (*response)->GetStatusCode() == 200 && (*response)->GetEntity()) return NPT_SUCCESS;
    delete *response;
    *response = nullptr;
  }
  return NPT_RESULT_FAILURE;
}

NPT_Result KVX_Device::SendRequest(NPT_HttpRequest& request, NPT_HttpClient& client, NPT_HttpResponse** response,
                                   const std::atomic<bool>* aborted, NPT_Int32 device_handle,
                                   const char* client_name) {
  return SendRequestLocked(request, client, response, aborted, device_handle, client_name, nullptr);
}

NPT_Result KVX_Device::SendRequest(NPT_HttpUrl url, NPT_HttpClient& client, NPT_HttpResponse** response,
                                   const std::atomic<bool>* aborted, NPT_Int32 device_handle,
                                   const char* client_name) {
  return SendUrlLocked(url, client, response, aborted, device_handle, client_name, nullptr);
}

NPT_Result KVX_Device::SendRequest(const NPT_List<NPT_HttpUrl>& urls, NPT_HttpClient& client,
                                   NPT_HttpResponse** response, const std::atomic<bool>* aborted,
                                   NPT_Int32 device_handle, const char* client_name) {
  return SendListLocked(urls, client, response, aborted, device_handle, client_name, nullptr);
}

void KVX_Device::Run() {
  NPT_String client_name;
  {
    NPT_AutoLock lock(m_ConnectorLock);
    client_name = m_ClientName;
  }

  NPT_HttpResponse* response = nullptr;
  NPT_Result result = SendListLocked(m_Urls, m_Client, &response, &m_Aborted, m_DeviceHandle,
                                     client_name.GetChars(), &m_ConnectorLock);
  if (NPT_SUCCEEDED(result) && !m_Aborted.load(std::memory_order_acquire)) {
    if (m_Delegate) m_Delegate->OnConnection();
    NPT_String boundary;
    NPT_InputStreamReference stream;
    NPT_HttpEntity* entity = response->GetEntity();
    if (NPT_SUCCEEDED(ExtractBoundary(*entity, boundary)) && !boundary.IsEmpty() &&
        NPT_SUCCEEDED(entity->GetInputStream(stream)) && !stream.IsNull()) {
      // How the stream ended is not reported beyond OnDisconnection.
      ReadBody(stream, boundary);
      stream.Release();
      // A connection that will not be reused is closed with its connector.
      if (!IsConnectionKeepAlive(*response)) InstallConnector(m_Client, m_DeviceHandle, &m_ConnectorLock);
    }
  }

  if (m_Delegate && !m_Aborted.load(std::memory_order_acquire)) m_Delegate->OnDisconnection();
  m_Aborted.store(true, std::memory_order_release);
  delete response;
}
