// KVX_Session: the worker that joins discovery and device streams into one
// stream that resumes by itself.
//
// Everything the worker learns arrives as events on one queue: apps found and
// removed and the daemon's state (from the controller, on its threads), device
// attaches and detaches (from the usbmux fan-out, to tell a detach from an app
// that stopped answering), and the end of the current stream (from its
// worker). The worker applies a batch, then decides what to do next. It
// holds no lock while it joins a stream or discovery, so the host may call
// Abort from a callback at any moment.

#include "KvxSession.h"

#include <cstring>

#include "KvxUSBMuxEvents.h"
#include "NptList.h"
#include "NptUri.h"

namespace {

using Clock = std::chrono::steady_clock;

// The retry pause after a failed attempt: doubles from the first to the last.
const int kFirstBackoffMs = 250;
const int kLastBackoffMs = 2000;

// ASCII letters only: device names are compared as people type them.
bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = (char)(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// How bad the news a reason carries is: while the session waits, a reason is
// only replaced by worse news (a detach found to be a lost daemon), never by
// better (that shows as streaming).
int Rank(KVX_SessionReason reason) {
  switch (reason) {
    case KVX_SESSION_REASON_STREAM_ENDED:
    case KVX_SESSION_REASON_REFUSED:
      return 1;
    case KVX_SESSION_REASON_REMOVED:
      return 2;
    case KVX_SESSION_REASON_DETACHED:
      return 3;
    case KVX_SESSION_REASON_DAEMON_LOST:
      return 4;
    default:
      return 0;
  }
}

}  // namespace

// The session's discovery: a controller whose reports, and the fan-out's
// attaches and detaches, become events. Its callbacks run on the
// controller's threads and the usbmux event thread, under their locks: they
// only post.
class KVX_Session::Discovery : public KVX_USBControllerDelegate, public KVX_USBControllerStateListener {
 public:
  explicit Discovery(KVX_Session* session) : m_Session(session), m_Events(KVX_USBMuxEvents::GetDefault()) {
    // Subscribed first: the attach of the app's device is known before the
    // controller can report the app.
    m_Events.AddSubscriber(&KVX_Session::OnMuxEvent, session);
    m_Controller.reset(new KVX_USBController(m_Events));
    m_Controller->SetStateListener(this);
    m_Controller->SetDelegate(this);
  }
  // Joins the controller's worker and leaves the fan-out: nothing is posted
  // afterwards.
  ~Discovery() {
    m_Controller.reset();
    m_Events.RemoveSubscriber(&KVX_Session::OnMuxEvent, m_Session);
  }

  void OnDeviceFound(const char* name, NPT_Int32 handle, const char* url) override {
    m_Session->Post(Event{Event::kFound, name ? name : "", handle, url ? url : ""});
  }
  void OnDeviceRemoved(const char* url) override {
    m_Session->Post(Event{Event::kRemoved, std::string(), 0, url ? url : ""});
  }
  void OnStateChanged(KVX_USBControllerState state) override {
    m_Session->Post(Event{Event::kDaemonState, std::string(), (NPT_Int32)state, std::string()});
  }

 private:
  KVX_Session* m_Session;
  KVX_USBMuxEvents& m_Events;
  std::unique_ptr<KVX_USBController> m_Controller;
};

// One attempt at streaming from one URL, with the device stream that makes
// it. Its callbacks run on the device stream's worker.
class KVX_Session::Stream : public KVX_DeviceDelegate {
 public:
  Stream(KVX_Session* session, const App& app) : session(session), app(app) {
    NPT_List<NPT_HttpUrl> urls;
    urls.Add(NPT_HttpUrl(app.url.c_str()));
    device.reset(new KVX_Device(urls, app.handle));
    device->SetDelegate(this);
  }

  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) override {
    session->OnStreamFrame(this, data, size, content_type);
  }
  void OnDisconnection() override { session->Post(Event{Event::kStreamEnded, std::string(), 0, std::string()}); }

  KVX_Session* const session;
  const App app;
  // The first frame came (device worker; read by the session's worker once
  // the stream has ended).
  std::atomic<bool> connected{false};
  std::unique_ptr<KVX_Device> device;
};

KVX_Session::KVX_Session(const char* device, const char* client_name)
    : m_Device(device ? device : ""), m_ClientName(client_name ? client_name : "") {}

KVX_Session::~KVX_Session() {
  Abort();
  if (m_Worker.joinable()) m_Worker.join();
}

NPT_Result KVX_Session::Start() {
  if (m_Aborted.load(std::memory_order_acquire) || m_Started.exchange(true, std::memory_order_acq_rel)) {
    return NPT_ERROR_INVALID_STATE;
  }
  try {
    m_Worker = std::thread(&KVX_Session::Run, this);
  } catch (...) {
    return NPT_FAILURE;
  }
  return NPT_SUCCESS;
}

void KVX_Session::Abort() {
  if (m_Aborted.exchange(true, std::memory_order_acq_rel)) return;
  {
    std::lock_guard<std::mutex> guard(m_StreamLock);
    if (m_Stream) m_Stream->device->Abort();
  }
  {
    // Under the lock, so that the worker cannot miss it between its check
    // and its wait.
    std::lock_guard<std::mutex> guard(m_Lock);
  }
  m_Wakeup.notify_all();
  if (!m_Started.load(std::memory_order_acquire)) {
    // No worker will tell: the status says it at once.
    std::lock_guard<std::mutex> guard(m_StatusLock);
    m_Status.state = KVX_SESSION_STATE_ENDED;
    m_Status.reason = KVX_SESSION_REASON_ABORTED;
  }
}

NPT_Result KVX_Session::SetDelivery(KVX_DeliveryMode mode) {
  if (mode != KVX_DEVICE_EVERY_FRAME && mode != KVX_DEVICE_LATEST_FRAME) {
    return NPT_ERROR_INVALID_PARAMETERS;
  }
  if (m_Started.load(std::memory_order_acquire)) return NPT_ERROR_INVALID_STATE;
  m_Delivery.store(mode, std::memory_order_release);
  return NPT_SUCCESS;
}

void KVX_Session::GetStats(KVX_DeviceStats& stats) const {
  std::lock_guard<std::mutex> guard(m_StatsLock);
  stats = m_EndedStats;
  if (m_Counted == nullptr) return;
  KVX_DeviceStats current;
  m_Counted->device->GetStats(current);
  stats.frames_received += current.frames_received;
  stats.frames_delivered += current.frames_delivered;
  stats.frames_dropped += current.frames_dropped;
  stats.bytes_received += current.bytes_received;
}

void KVX_Session::GetStatus(KVX_SessionStatus& status) const {
  std::lock_guard<std::mutex> guard(m_StatusLock);
  status = m_Status;
}

void KVX_Session::OnMuxEvent(const usbmuxd_event_t* event, void* user_data) {
  if (event == nullptr || user_data == nullptr) return;
  // Read up to the terminator and never past the record.
  char identifier[sizeof(event->device.udid) + 1];
  memcpy(identifier, event->device.udid, sizeof(event->device.udid));
  identifier[sizeof(event->device.udid)] = '\0';
  if (event->event == KVX_USBMUX_EVENT_DEVICE_ADD) {
    static_cast<KVX_Session*>(user_data)->Post(Event{Event::kAttached, std::string(), 0, identifier});
  } else if (event->event == KVX_USBMUX_EVENT_DEVICE_REMOVE) {
    static_cast<KVX_Session*>(user_data)->Post(Event{Event::kDetached, std::string(), 0, identifier});
  }
}

void KVX_Session::Post(Event&& event) {
  try {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Queue.push_back(std::move(event));
  } catch (...) {
    // Out of memory: the event is lost; discovery reports the app again.
    return;
  }
  m_Wakeup.notify_all();
}

void KVX_Session::Run() {
  m_Discovery.reset(new Discovery(this));
  ReportChange(KVX_SESSION_STATE_SEARCHING, KVX_SESSION_REASON_NONE);
  for (;;) {
    std::deque<Event> batch;
    {
      std::unique_lock<std::mutex> lock(m_Lock);
      auto woken = [this] { return m_Aborted.load(std::memory_order_acquire) || !m_Queue.empty(); };
      if (!m_Stream && (m_Waiting || m_Deciding)) {
        m_Wakeup.wait_until(lock, m_RetryAt, woken);
      } else {
        m_Wakeup.wait(lock, woken);
      }
      if (m_Aborted.load(std::memory_order_acquire)) break;
      batch.swap(m_Queue);
    }
    for (const Event& event : batch) Apply(event);
    if (m_Aborted.load(std::memory_order_acquire)) break;
    Decide();
  }
  // Aborted: the stream was told to stop, so joining it is quick; then
  // discovery, and the last word.
  EndStream();
  m_Discovery.reset();
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Queue.clear();
  }
  ReportChange(KVX_SESSION_STATE_ENDED, KVX_SESSION_REASON_ABORTED);
}

bool KVX_Session::Matches(const App& app) const {
  return m_Device.empty() || app.identifier == m_Device || EqualsIgnoringCase(app.name, m_Device);
}

std::vector<KVX_Session::App> KVX_Session::BoundApps() const {
  std::vector<App> apps;
  if (m_Bound.empty()) return apps;
  for (const App& app : m_Present) {
    if (app.identifier == m_Bound) apps.push_back(app);
  }
  return apps;
}

void KVX_Session::Apply(const Event& event) {
  switch (event.kind) {
    case Event::kFound: {
      App app;
      app.url = event.text;
      app.name = event.name;
      app.handle = event.handle;
      app.identifier = NPT_HttpUrl(event.text.c_str()).GetHost().GetChars();
      bool known = false;
      for (App& present : m_Present) {
        if (present.url == app.url) {
          present = app;
          known = true;
        }
      }
      if (!known) m_Present.push_back(app);
      if (m_Bound.empty() && Matches(app)) {
        m_Bound = app.identifier;
        std::lock_guard<std::mutex> reports(m_ReportLock);
        std::lock_guard<std::mutex> guard(m_StatusLock);
        m_Status.identifier = app.identifier.c_str();
        m_Status.name = app.name.c_str();
      }
      if (app.identifier == m_Bound) {
        // Found (again): ask it now, whatever the pause or refusal.
        m_Refused = false;
        m_BackoffMs = kFirstBackoffMs;
        m_RetryAt = Clock::now();
      }
      break;
    }
    case Event::kRemoved:
      for (auto it = m_Present.begin(); it != m_Present.end();) {
        it = it->url == event.text ? m_Present.erase(it) : it + 1;
      }
      break;
    case Event::kAttached:
      m_Attached.push_back(event.text);
      break;
    case Event::kDetached:
      for (auto it = m_Attached.begin(); it != m_Attached.end();) {
        it = *it == event.text ? m_Attached.erase(it) : it + 1;
      }
      break;
    case Event::kDaemonState:
      m_DaemonState = event.handle;
      break;
    case Event::kStreamEnded: {
      if (!m_Stream) break;
      const bool connected = m_Stream->connected.load(std::memory_order_acquire);
      KVX_DeviceOutcome outcome;
      m_Stream->device->GetOutcome(outcome);
      EndStream();
      const Clock::time_point now = Clock::now();
      if (connected) {
        // A stream ran: a short grace (the first step of the backoff) lets
        // discovery tell why it ended before the session says so.
        m_StreamedOnce = true;
        m_Deciding = true;
        m_Waiting = false;
        m_BackoffMs = kFirstBackoffMs;
        m_RetryAt = now + std::chrono::milliseconds(m_BackoffMs);
        m_BackoffMs *= 2;
        break;
      }
      if (outcome.http_status != 0 && outcome.http_status != 200) {
        m_AnyErrorStatus = true;
        m_RefusedStatus = outcome.http_status;
      }
      if (m_UrlIndex + 1 < BoundApps().size()) {
        StartStream(m_UrlIndex + 1);
        break;
      }
      const KVX_SessionState state = m_StreamedOnce ? KVX_SESSION_STATE_RECONNECTING : KVX_SESSION_STATE_SEARCHING;
      if (m_AnyErrorStatus) {
        // Reported, and not asked again until discovery finds it again.
        m_Refused = true;
        ReportChange(state, KVX_SESSION_REASON_REFUSED, m_RefusedStatus);
        break;
      }
      m_Waiting = true;
      m_RetryAt = now + std::chrono::milliseconds(m_BackoffMs);
      m_BackoffMs = m_BackoffMs * 2 > kLastBackoffMs ? kLastBackoffMs : m_BackoffMs * 2;
      KVX_SessionStatus status;
      GetStatus(status);
      if (status.reason == KVX_SESSION_REASON_REFUSED) ReportChange(state, Classify());
      break;
    }
  }
}

KVX_SessionReason KVX_Session::Classify() const {
  if (m_DaemonState == KVX_USB_DAEMON_UNREACHABLE) return KVX_SESSION_REASON_DAEMON_LOST;
  if (m_Bound.empty() || !m_StreamedOnce) return KVX_SESSION_REASON_NONE;
  bool attached = false;
  for (const std::string& identifier : m_Attached) attached = attached || identifier == m_Bound;
  if (!attached) return KVX_SESSION_REASON_DETACHED;
  if (BoundApps().empty()) return KVX_SESSION_REASON_REMOVED;
  return KVX_SESSION_REASON_STREAM_ENDED;
}

void KVX_Session::Decide() {
  if (m_Stream) return;
  const Clock::time_point now = Clock::now();
  if (m_Deciding) {
    if (now < m_RetryAt) return;
    m_Deciding = false;
    ReportChange(KVX_SESSION_STATE_RECONNECTING, Classify());
  } else {
    // What was learnt meanwhile: worse news replaces the reason; searching
    // tells only whether the daemon is reached.
    KVX_SessionStatus status;
    GetStatus(status);
    const KVX_SessionReason reason = Classify();
    if (status.state == KVX_SESSION_STATE_SEARCHING && status.reason != KVX_SESSION_REASON_REFUSED) {
      if (reason != status.reason) ReportChange(KVX_SESSION_STATE_SEARCHING, reason);
    } else if (status.state == KVX_SESSION_STATE_RECONNECTING && Rank(reason) > Rank(status.reason)) {
      ReportChange(KVX_SESSION_STATE_RECONNECTING, reason);
    } else if (status.state == KVX_SESSION_STATE_SEARCHING && Rank(reason) > Rank(status.reason)) {
      ReportChange(KVX_SESSION_STATE_SEARCHING, reason);
    }
  }
  if (m_Refused || BoundApps().empty()) return;
  if (m_Waiting && now < m_RetryAt) return;
  m_Waiting = false;
  StartStream(0);
}

void KVX_Session::StartStream(size_t index) {
  const std::vector<App> apps = BoundApps();
  if (index >= apps.size()) return;
  if (index == 0) m_AnyErrorStatus = false;
  m_UrlIndex = index;
  std::unique_ptr<Stream> stream(new Stream(this, apps[index]));
  stream->device->SetDelivery(static_cast<KVX_DeliveryMode>(m_Delivery.load(std::memory_order_acquire)));
  std::lock_guard<std::mutex> guard(m_StreamLock);
  // Abort takes this lock after setting its flag: either it is seen here, or
  // Abort finds the stream and stops it.
  if (m_Aborted.load(std::memory_order_acquire)) return;
  if (NPT_FAILED(stream->device->Start(m_ClientName.c_str()))) {
    // No thread: try again later, as after any failed attempt.
    m_Waiting = true;
    m_RetryAt = Clock::now() + std::chrono::milliseconds(kLastBackoffMs);
    return;
  }
  {
    std::lock_guard<std::mutex> counting(m_StatsLock);
    m_Counted = stream.get();
  }
  m_Stream = std::move(stream);
}

void KVX_Session::EndStream() {
  std::unique_ptr<Stream> stream;
  {
    std::lock_guard<std::mutex> guard(m_StreamLock);
    stream = std::move(m_Stream);
  }
  if (!stream) return;
  // Joined without the lock: its worker may be in a frame callback that
  // calls Abort.
  stream->device->Abort();
  stream->device->Wait(NPT_TIMEOUT_INFINITE);
  {
    // Its final counts join the sum as it stops being counted apart, so the
    // sum never goes back.
    std::lock_guard<std::mutex> counting(m_StatsLock);
    KVX_DeviceStats last;
    stream->device->GetStats(last);
    m_EndedStats.frames_received += last.frames_received;
    m_EndedStats.frames_delivered += last.frames_delivered;
    m_EndedStats.frames_dropped += last.frames_dropped;
    m_EndedStats.bytes_received += last.bytes_received;
    if (m_Counted == stream.get()) m_Counted = nullptr;
  }
  stream.reset();
}

void KVX_Session::OnStreamFrame(Stream* stream, const NPT_Byte* data, NPT_UInt64 size, const char* content_type) {
  if (m_Aborted.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> guard(m_ReportLock);
  if (m_Aborted.load(std::memory_order_acquire)) return;
  if (!stream->connected.load(std::memory_order_acquire)) {
    // The first frame: streaming is reported before it is delivered.
    KVX_SessionStatus status;
    GetStatus(status);
    status.state = KVX_SESSION_STATE_STREAMING;
    status.reason = KVX_SESSION_REASON_NONE;
    status.url = stream->app.url.c_str();
    status.handle = stream->app.handle;
    status.name = stream->app.name.c_str();
    status.http_status = 0;
    status.streams++;
    ReportLocked(status);
    stream->connected.store(true, std::memory_order_release);
  }
  if (m_Frames) m_Frames->OnNewImage(data, size, content_type);
}

void KVX_Session::ReportChange(KVX_SessionState state, KVX_SessionReason reason, int http_status) {
  std::lock_guard<std::mutex> guard(m_ReportLock);
  // After an Abort only the final word is said.
  if (state != KVX_SESSION_STATE_ENDED && m_Aborted.load(std::memory_order_acquire)) return;
  KVX_SessionStatus status;
  GetStatus(status);
  status.state = state;
  status.reason = reason;
  status.http_status = http_status;
  ReportLocked(status);
}

void KVX_Session::ReportLocked(const KVX_SessionStatus& status) {
  {
    std::lock_guard<std::mutex> guard(m_StatusLock);
    const bool same = m_Status.state == status.state && m_Status.reason == status.reason &&
                      m_Status.url == status.url && m_Status.handle == status.handle &&
                      m_Status.http_status == status.http_status;
    m_Status = status;
    if (same) return;
  }
  if (m_Listener) m_Listener->OnSessionState(status);
}
