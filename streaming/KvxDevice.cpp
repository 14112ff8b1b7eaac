// KVX_Device: the device stream's worker. The request operations live in
// KvxDeviceRequests.cpp (discovery's probes use them too), CreateAuthentication
// in KvxAuthentication.cpp beside the shared secret it uses, the multipart
// reader in KvxMultipartReader.cpp.

#include "KvxDevice.h"

#include "KvxHttpTcpConnector.h"

namespace {

// Limits of a device stream's event queue.
const NPT_UInt32 kEventQueueMax = 1000;
const NPT_UInt32 kEventQueueMaxBeforeDrop = 100;

}  // namespace

KVX_Device::KVX_Device(const NPT_List<NPT_HttpUrl>& urls, NPT_Int32 device_handle)
    : NPT_Thread(false),
      m_DeviceHandle(device_handle),
      m_Urls(urls),
      m_Aborted(false),
      m_Started(false),
      m_Delegate(nullptr),
      m_Events(kEventQueueMax, kEventQueueMaxBeforeDrop) {}

KVX_Device::~KVX_Device() {
  Abort();
  // Run uses our members: it must have returned before any of them goes.
  Wait(NPT_TIMEOUT_INFINITE);
}

NPT_Result KVX_Device::Start(const char* client_name) {
  // Only the first Start may clear the flag: a refused one must not revive a
  // run that an Abort (or the destructor) is ending.
  if (!m_Started.exchange(true, std::memory_order_acq_rel)) m_Aborted.store(false, std::memory_order_release);
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

void KVX_Device::GetOutcome(KVX_DeviceOutcome& outcome) const {
  NPT_AutoLock lock(m_OutcomeLock);
  outcome = m_Outcome;
}

void KVX_Device::PublishOutcome(const KVX_DeviceOutcome& outcome) {
  NPT_AutoLock lock(m_OutcomeLock);
  m_Outcome = outcome;
}

void KVX_Device::HandFrame(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) {
  if (m_Delegate) m_Delegate->OnNewImage(data, size, content_type);
}

void KVX_Device::Run() {
  NPT_String client_name;
  {
    NPT_AutoLock lock(m_ConnectorLock);
    client_name = m_ClientName;
  }

  NPT_HttpResponse* response = nullptr;
  KVX_DeviceOutcome outcome;
  NPT_Result result = SendListLocked(m_Urls, m_Client, &response, &m_Aborted, m_DeviceHandle,
                                     client_name.GetChars(), &m_ConnectorLock, &outcome);
  // An empty list makes no attempt to record.
  if (NPT_FAILED(result) && NPT_SUCCEEDED(outcome.result)) outcome.result = result;
  PublishOutcome(outcome);
  if (NPT_SUCCEEDED(result) && !m_Aborted.load(std::memory_order_acquire)) {
    if (m_Delegate) m_Delegate->OnConnection();
    NPT_String boundary;
    NPT_InputStreamReference stream;
    NPT_HttpEntity* entity = response->GetEntity();
    outcome.result = ExtractBoundary(*entity, boundary);
    if (NPT_SUCCEEDED(outcome.result) && boundary.IsEmpty()) outcome.result = NPT_ERROR_INVALID_PARAMETERS;
    if (NPT_SUCCEEDED(outcome.result)) outcome.result = entity->GetInputStream(stream);
    if (NPT_SUCCEEDED(outcome.result) && stream.IsNull()) outcome.result = NPT_RESULT_FAILURE;
    if (NPT_SUCCEEDED(outcome.result)) {
      // The delegate hears only OnDisconnection; the owner reads the reason
      // through GetOutcome.
      outcome.result = ReadBody(stream, boundary);
      stream.Release();
      // A connection that will not be reused is closed with its connector.
      if (!IsConnectionKeepAlive(*response)) InstallConnector(m_Client, m_DeviceHandle, &m_ConnectorLock);
    }
  }

  // Read once: the outcome and the callback agree on whether this run was
  // aborted.
  const bool aborted = m_Aborted.load(std::memory_order_acquire);
  if (aborted) outcome.result = NPT_ERROR_CANCELLED;
  outcome.ended = true;
  PublishOutcome(outcome);
  if (m_Delegate && !aborted) m_Delegate->OnDisconnection();
  m_Aborted.store(true, std::memory_order_release);
  delete response;
}
