// KVX_Device: the device stream's worker. The request operations live in
// KvxDeviceRequests.cpp (discovery's probes use them too), CreateAuthentication
// in KvxAuthentication.cpp beside the shared secret it uses, the multipart
// reader in KvxMultipartReader.cpp.

#include "KvxDevice.h"

#include "KvxHttpTcpConnector.h"
#include "KvxFrameHandOver.h"

namespace {

// Limits of a device stream's event queue.
const NPT_UInt32 kEventQueueMax = 1000;
const NPT_UInt32 kEventQueueMaxBeforeDrop = 100;

}  // namespace

// The reader of a latest-frame run: ReadBody on a thread of its own, feeding
// the hand-over, which it closes when the body ends.
class KVX_DeviceBodyReader : public NPT_Runnable {
 public:
  KVX_DeviceBodyReader(KVX_Device& device, const NPT_InputStreamReference& stream, const NPT_String& boundary,
                       KVX_FrameHandOver& hand_over)
      : m_Device(device), m_Stream(stream), m_Boundary(boundary), m_HandOver(hand_over) {}

  void Run() override {
    m_Result = m_Device.ReadBody(m_Stream, m_Boundary);
    m_HandOver.Close();
  }
  // Read once the thread has been waited for.
  NPT_Result Result() const { return m_Result; }

 private:
  KVX_Device& m_Device;
  const NPT_InputStreamReference& m_Stream;
  const NPT_String& m_Boundary;
  KVX_FrameHandOver& m_HandOver;
  NPT_Result m_Result = NPT_ERROR_EOS;
};

KVX_Device::KVX_Device(const NPT_List<NPT_HttpUrl>& urls, NPT_Int32 device_handle)
    : NPT_Thread(false),
      m_DeviceHandle(device_handle),
      m_Urls(urls),
      m_Aborted(false),
      m_Started(false),
      m_Delegate(nullptr),
      m_Events(kEventQueueMax, kEventQueueMaxBeforeDrop),
      m_Delivery(KVX_DEVICE_EVERY_FRAME),
      m_FrameNumber(0),
      m_HandOver(nullptr) {}

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
  {
    // The worker may be waiting for a frame: it stops waiting and hands
    // nothing more over.
    NPT_AutoLock lock(m_HandOverLock);
    if (m_HandOver) m_HandOver->Cancel();
  }
  NPT_AutoLock lock(m_ConnectorLock);
  m_Client.Abort();
}

NPT_Result KVX_Device::SetDelivery(KVX_DeliveryMode mode) {
  if (mode != KVX_DEVICE_EVERY_FRAME && mode != KVX_DEVICE_LATEST_FRAME) return NPT_ERROR_INVALID_PARAMETERS;
  if (m_Started.load(std::memory_order_acquire)) return NPT_ERROR_INVALID_STATE;
  m_Delivery.store(mode);
  return NPT_SUCCESS;
}

void KVX_Device::GetStats(KVX_DeviceStats& stats) const {
  NPT_AutoLock lock(m_StatsLock);
  stats = m_Stats;
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
  NPT_UInt64 number;
  {
    NPT_AutoLock lock(m_StatsLock);
    number = m_Stats.frames_received++;
    m_Stats.bytes_received += size;
  }
  // Set only while this run's reader runs on its own thread.
  if (m_HandOver) {
    if (const int dropped = m_HandOver->Put(data, size, content_type, number)) {
      NPT_AutoLock lock(m_StatsLock);
      m_Stats.frames_dropped += dropped;
    }
    return;
  }
  Deliver(data, size, content_type, number);
}

void KVX_Device::Deliver(const NPT_Byte* data, NPT_UInt64 size, const char* content_type, NPT_UInt64 number) {
  if (m_Delegate == nullptr || m_Aborted.load(std::memory_order_acquire)) return;
  {
    NPT_AutoLock lock(m_StatsLock);
    ++m_Stats.frames_delivered;
  }
  m_FrameNumber.store(number, std::memory_order_relaxed);
  m_Delegate->OnNewImage(data, size, content_type);
}

NPT_Result KVX_Device::ReadFrames(const NPT_InputStreamReference& stream, const NPT_String& boundary) {
  if (m_Delivery.load() != KVX_DEVICE_LATEST_FRAME) return ReadBody(stream, boundary);
  KVX_FrameHandOver hand_over;
  KVX_DeviceBodyReader body(*this, stream, boundary, hand_over);
  NPT_Thread reader(body);
  {
    NPT_AutoLock lock(m_HandOverLock);
    m_HandOver = &hand_over;
  }
  // An Abort that came before m_HandOver was set is seen here instead.
  if (m_Aborted.load(std::memory_order_acquire)) hand_over.Cancel();
  const bool reading = NPT_SUCCEEDED(reader.Start());
  if (reading) {
    KVX_FrameHandOver::Frame frame;
    while (hand_over.Take(frame)) Deliver(frame.data, frame.size, frame.content_type, frame.number);
    // After an abort the read ends at once too: the client was aborted.
    reader.Wait(NPT_TIMEOUT_INFINITE);
  }
  {
    NPT_AutoLock lock(m_HandOverLock);
    m_HandOver = nullptr;
  }
  // Without a thread for the reader, this one reads and hands every frame
  // over as it comes.
  return reading ? body.Result() : ReadBody(stream, boundary);
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
      outcome.result = ReadFrames(stream, boundary);
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
