// The C interface of sessions (the kvx_session_* block of kvx/kvx.h): a
// bridge that is the session's frame delegate and state listener and calls
// the registered function pointers.
//
// Nothing thrown crosses this boundary: allocation uses nothrow new and every
// failure becomes a null handle, a result code or a refused call.

#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>

#include "KvxCApiShared.h"
#include "KvxSession.h"
#include "NptResults.h"
#include "kvx/kvx.h"

static_assert(KVX_SESSION_IDLE == KVX_SESSION_STATE_IDLE && KVX_SESSION_SEARCHING == KVX_SESSION_STATE_SEARCHING &&
                  KVX_SESSION_STREAMING == KVX_SESSION_STATE_STREAMING &&
                  KVX_SESSION_RECONNECTING == KVX_SESSION_STATE_RECONNECTING &&
                  KVX_SESSION_ENDED == KVX_SESSION_STATE_ENDED,
              "the C states are the session's");
static_assert(KVX_SESSION_NO_REASON == KVX_SESSION_REASON_NONE && KVX_SESSION_DETACHED == KVX_SESSION_REASON_DETACHED &&
                  KVX_SESSION_REMOVED == KVX_SESSION_REASON_REMOVED &&
                  KVX_SESSION_STREAM_ENDED == KVX_SESSION_REASON_STREAM_ENDED &&
                  KVX_SESSION_DAEMON_LOST == KVX_SESSION_REASON_DAEMON_LOST &&
                  KVX_SESSION_REFUSED == KVX_SESSION_REASON_REFUSED &&
                  KVX_SESSION_ABORTED == KVX_SESSION_REASON_ABORTED,
              "the C reasons are the session's");

namespace {

// The session whose callback the current thread is running, if any: its
// destroy would wait for this very thread, so it is refused.
thread_local const kvx_session* t_InsideCallbackOf = nullptr;

class CallbackScope {
 public:
  explicit CallbackScope(const kvx_session* owner) : m_Previous(t_InsideCallbackOf) { t_InsideCallbackOf = owner; }
  ~CallbackScope() { t_InsideCallbackOf = m_Previous; }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

 private:
  const kvx_session* m_Previous;
};

using kvx_capi::CopyText;

// The callbacks are copied under a short lock and called without it, so that
// a callback may replace them.
class SessionBridge : public KVX_DeviceDelegate, public KVX_SessionListener {
 public:
  explicit SessionBridge(const kvx_session* owner) : m_Owner(owner) {}

  void SetCallbacks(kvx_frame_callback on_frame, kvx_session_state_callback on_state, void* context) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_OnFrame = on_frame;
    m_OnState = on_state;
    m_Context = context;
  }

  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) override {
    kvx_frame_callback on_frame;
    void* context;
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      on_frame = m_OnFrame;
      context = m_Context;
    }
    if (on_frame == nullptr) return;
    CallbackScope scope(m_Owner);
    on_frame(context, data, size, content_type ? content_type : "");
  }

  void OnSessionState(const KVX_SessionStatus& status) override {
    kvx_session_state_callback on_state;
    void* context;
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      on_state = m_OnState;
      context = m_Context;
    }
    if (on_state == nullptr) return;
    CallbackScope scope(m_Owner);
    on_state(context, status.state, status.reason, status.url.GetChars(), status.handle, status.http_status);
  }

 private:
  const kvx_session* m_Owner;
  std::mutex m_Lock;
  kvx_frame_callback m_OnFrame = nullptr;
  kvx_session_state_callback m_OnState = nullptr;
  void* m_Context = nullptr;
};

KVX_SessionStatus StatusOf(kvx_session* session);

}  // namespace

struct kvx_session {
  // Declared first: it outlives the session, whose destructor joins the
  // threads that call it.
  SessionBridge bridge;
  KVX_Session* session = nullptr;
  kvx_session() : bridge(this) {}
};

namespace {

// A null session reads as one never started.
KVX_SessionStatus StatusOf(kvx_session* session) {
  KVX_SessionStatus status;
  if (session != nullptr) session->session->GetStatus(status);
  return status;
}

}  // namespace

extern "C" {

kvx_session* kvx_session_create(const char* device, const char* client_name) {
  kvx_session* self = new (std::nothrow) kvx_session;
  if (self == nullptr) return nullptr;
  self->session = new (std::nothrow) KVX_Session(device, client_name);
  if (self->session == nullptr) {
    delete self;
    return nullptr;
  }
  self->session->SetDelegate(&self->bridge);
  self->session->SetListener(&self->bridge);
  return self;
}

void kvx_session_set_callbacks(kvx_session* session, kvx_frame_callback on_frame,
                               kvx_session_state_callback on_state, void* context) {
  if (session == nullptr) return;
  session->bridge.SetCallbacks(on_frame, on_state, context);
}

int32_t kvx_session_start(kvx_session* session) {
  if (session == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  return session->session->Start();
}

void kvx_session_abort(kvx_session* session) {
  if (session == nullptr) return;
  session->session->Abort();
}

void kvx_session_destroy(kvx_session* session) {
  if (session == nullptr || t_InsideCallbackOf == session) return;
  // Joins the session's threads: the bridge is no longer called when it goes.
  delete session->session;
  delete session;
}

int32_t kvx_session_get_state(kvx_session* session) { return StatusOf(session).state; }

int32_t kvx_session_get_reason(kvx_session* session) { return StatusOf(session).reason; }

int32_t kvx_session_get_handle(kvx_session* session) { return StatusOf(session).handle; }

int32_t kvx_session_get_http_status(kvx_session* session) { return StatusOf(session).http_status; }

int32_t kvx_session_get_url(kvx_session* session, char* buffer, int32_t size) {
  return CopyText(StatusOf(session).url, buffer, size);
}

int32_t kvx_session_get_device(kvx_session* session, char* buffer, int32_t size) {
  return CopyText(StatusOf(session).identifier, buffer, size);
}

int32_t kvx_session_set_delivery(kvx_session* session, int32_t mode) {
  KVX_DeliveryMode delivery;
  if (session == nullptr || !kvx_capi::DeliveryMode(mode, delivery)) return NPT_ERROR_INVALID_PARAMETERS;
  return session->session->SetDelivery(delivery);
}

int32_t kvx_session_get_stats(kvx_session* session, kvx_device_stats* stats) {
  if (session == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  KVX_DeviceStats now;
  session->session->GetStats(now);
  return kvx_capi::FillStats(now, stats);
}

}  // extern "C"
