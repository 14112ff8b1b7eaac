// The C interface of libkvx (kvx/kvx.h) and the bridges that carry the core's
// native callbacks to the function pointers registered through it: the
// streaming bridge KVXDeviceWrapper::ManagedDeviceDelegateWrapper (a
// KVX_DeviceDelegate) and the discovery bridge
// KVXUSBControllerWrapper::ManagedDeviceDelegateWrapper (a
// KVX_USBControllerDelegate). The .NET assembly is the main user; any
// language with a C foreign-function interface can use the same calls.
//
// Nothing thrown crosses this boundary: allocation uses nothrow new and every
// failure becomes a null handle, a result code or a refused call.

#include "kvx/kvx.h"

#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "KvxCApiShared.h"
#include "KvxDevice.h"
#include "KvxUSBController.h"
#include "NptList.h"
#include "NptLogging.h"
#include "NptResults.h"
#include "NptUri.h"

namespace {

// The device whose callback the current thread is running, if any. A destroy
// of that device from inside its own callback would wait for this very
// thread; it is refused instead. (Controllers compare the dispatcher's
// thread id instead.)
thread_local const void* t_InsideCallbackOf = nullptr;

// Marks the current thread as running a callback of `owner` for its
// lifetime; nests (a callback may drive other objects).
class CallbackScope {
 public:
  explicit CallbackScope(const void* owner) : m_Previous(t_InsideCallbackOf) { t_InsideCallbackOf = owner; }
  ~CallbackScope() { t_InsideCallbackOf = m_Previous; }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

 private:
  const void* m_Previous;
};

bool InsideOwnCallback(const void* owner) { return owner != nullptr && t_InsideCallbackOf == owner; }

// The device whose on_frame the current thread is running, if any (the
// frame number is asked for from there).
thread_local const void* t_InsideFrameOf = nullptr;

class FrameScope {
 public:
  explicit FrameScope(const void* owner) : m_Previous(t_InsideFrameOf) { t_InsideFrameOf = owner; }
  ~FrameScope() { t_InsideFrameOf = m_Previous; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  const void* m_Previous;
};

}  // namespace

namespace KVXDeviceWrapper {

// Forwards a device stream's callbacks (on its worker) to the registered
// function pointers. OnConnection is not forwarded: the application is not
// told about the connection. The callbacks are copied under a short lock and
// called without it, so that a callback may replace them.
class ManagedDeviceDelegateWrapper : public KVX_DeviceDelegate {
 public:
  explicit ManagedDeviceDelegateWrapper(const void* owner) : m_Owner(owner) {}
  ~ManagedDeviceDelegateWrapper() override {}

  void SetCallbacks(kvx_frame_callback on_frame, kvx_disconnected_callback on_disconnected, void* context) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_OnFrame = on_frame;
    m_OnDisconnected = on_disconnected;
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
    if (on_frame == nullptr) return;  // no receiver: the frame is dropped
    CallbackScope scope(m_Owner);
    FrameScope frame(m_Owner);
    on_frame(context, data, size, content_type ? content_type : "");
  }

  void OnDisconnection() override {
    kvx_disconnected_callback on_disconnected;
    void* context;
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      on_disconnected = m_OnDisconnected;
      context = m_Context;
    }
    if (on_disconnected == nullptr) return;
    CallbackScope scope(m_Owner);
    on_disconnected(context);
  }

 private:
  const void* m_Owner;
  std::mutex m_Lock;
  kvx_frame_callback m_OnFrame = nullptr;
  kvx_disconnected_callback m_OnDisconnected = nullptr;
  void* m_Context = nullptr;
};

}  // namespace KVXDeviceWrapper

namespace KVXUSBControllerWrapper {

// The discovery bridge and its dispatcher. The native controller reports on
// threads this library neither owns nor joins (found and failed-probe removals
// on its worker, detach removals on the usbmux event thread, which lives as
// long as the process). Running application code there would tie such a
// thread to the application's runtime for good (a managed runtime attaches it
// and then waits for it at exit). So the bridge only copies each event into a
// queue under a short lock, and a thread owned by the kvx_controller, started
// with it and joined by kvx_controller_destroy, calls the registered function
// pointers in event order.
//
// A notification whose callback is null when the event happens is dropped
// then; a queued one is delivered with the callbacks current at delivery, and
// dropped if that one is now null. The apps found before any on_found was
// set are kept aside, and the first on_found hears each of them once (the
// controller runs from creation, so they would otherwise be lost). StopFound
// (abort) discards found notifications, queued or to come, and waits for one
// in progress; Stop discards everything still queued: destroy means "no more
// notifications", and nothing new can arrive once the native controller is
// gone. State changes travel the same queue, so they keep their place among
// the notifications.
class ManagedDeviceDelegateWrapper : public KVX_USBControllerDelegate, public KVX_USBControllerStateListener {
 public:
  ManagedDeviceDelegateWrapper() = default;
  ~ManagedDeviceDelegateWrapper() override { Stop(); }
  ManagedDeviceDelegateWrapper(const ManagedDeviceDelegateWrapper&) = delete;
  ManagedDeviceDelegateWrapper& operator=(const ManagedDeviceDelegateWrapper&) = delete;

  // Starts the dispatcher; false when no thread could be created.
  bool Start() {
    try {
      m_Thread = std::thread(&ManagedDeviceDelegateWrapper::Run, this);
    } catch (...) {
      return false;
    }
    m_ThreadId = m_Thread.get_id();
    return true;
  }

  // Discards the queue, lets a callback in progress finish and joins the
  // dispatcher. Never from the dispatcher itself (IsDispatcherThread).
  void Stop() {
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      m_Stopping = true;
      m_Queue.clear();
    }
    m_Wakeup.notify_all();
    if (m_Thread.joinable()) m_Thread.join();
  }

  bool IsDispatcherThread() const { return std::this_thread::get_id() == m_ThreadId; }

  void SetCallbacks(kvx_found_callback on_found, kvx_removed_callback on_removed, void* context) {
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      m_OnFound = on_found;
      m_OnRemoved = on_removed;
      m_Context = context;
      if (on_found == nullptr || m_FoundWasSet) return;
      m_FoundWasSet = true;
      // In the order they were found, behind whatever is queued (removals of
      // other apps only: a removal takes its app out of m_Unheard).
      if (!m_FoundStopped) {
        for (Event& event : m_Unheard) m_Queue.push_back(std::move(event));
      }
      m_Unheard.clear();
      m_Unheard.shrink_to_fit();
    }
    m_Wakeup.notify_one();
  }

  // After the native controller's Abort: no found notification is delivered
  // from now on. Waits for one in progress (never called on the dispatcher).
  void StopFound() {
    std::unique_lock<std::mutex> lock(m_Lock);
    m_FoundStopped = true;
    m_Unheard.clear();
    for (auto it = m_Queue.begin(); it != m_Queue.end();) {
      it = it->found ? m_Queue.erase(it) : it + 1;
    }
    m_Delivered.wait(lock, [this] { return !m_DeliveringFound; });
  }

  void SetStateCallback(kvx_state_callback on_state, void* context) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_OnState = on_state;
    m_StateContext = context;
  }

  void OnDeviceFound(const char* name, NPT_Int32 handle, const char* url) override {
    Enqueue(Event{true, name ? name : "", handle, url ? url : ""});
  }

  void OnDeviceRemoved(const char* url) override { Enqueue(Event{false, std::string(), 0, url ? url : ""}); }

  void OnStateChanged(KVX_USBControllerState state) override {
    Enqueue(Event{false, std::string(), (NPT_Int32)state, std::string(), true});
  }

 private:
  struct Event {
    bool found;  // else removed, or a state change
    std::string name;
    NPT_Int32 handle;  // the state, for a state change
    std::string url;
    bool state = false;
  };

  // On the native controller's threads, under its lock: copies and returns.
  // The texts are copied before taking m_Lock so that the lock is held only
  // for the push (an allocation failure drops the event; nothing throws out).
  void Enqueue(Event&& incoming) {
    try {
      Event event(std::move(incoming));
      std::lock_guard<std::mutex> guard(m_Lock);
      if (m_Stopping || (event.found && m_FoundStopped)) return;
      if (event.state) {
        // Neither owed to a late on_found nor stopped by an abort.
        if (m_OnState == nullptr) return;
      } else {
        if (!m_FoundWasSet) {
          // Kept for the first on_found while it has none: an app removed
          // meanwhile is no longer owed.
          for (auto it = m_Unheard.begin(); it != m_Unheard.end();) {
            it = it->url == event.url ? m_Unheard.erase(it) : it + 1;
          }
          if (event.found) {
            m_Unheard.push_back(std::move(event));
            return;
          }
        }
        if (event.found ? m_OnFound == nullptr : m_OnRemoved == nullptr) return;
      }
      m_Queue.push_back(std::move(event));
    } catch (...) {
      return;
    }
    m_Wakeup.notify_one();
  }

  void Run() {
    std::unique_lock<std::mutex> lock(m_Lock);
    for (;;) {
      m_Wakeup.wait(lock, [this] { return m_Stopping || !m_Queue.empty(); });
      if (m_Stopping) return;
      Event event(std::move(m_Queue.front()));
      m_Queue.pop_front();
      kvx_found_callback on_found = m_OnFound;
      kvx_removed_callback on_removed = m_OnRemoved;
      kvx_state_callback on_state = m_OnState;
      void* context = event.state ? m_StateContext : m_Context;
      m_DeliveringFound = event.found;
      lock.unlock();
      // Called without the lock: a callback may replace the callbacks.
      if (event.state) {
        if (on_state) on_state(context, event.handle);
      } else if (event.found) {
        if (on_found) on_found(context, event.name.c_str(), event.handle, event.url.c_str());
      } else {
        if (on_removed) on_removed(context, event.url.c_str());
      }
      lock.lock();
      if (m_DeliveringFound) {
        m_DeliveringFound = false;
        m_Delivered.notify_all();
      }
    }
  }

  std::mutex m_Lock;
  std::condition_variable m_Wakeup;
  std::deque<Event> m_Queue;
  // Found while no on_found had ever been set, in order.
  std::deque<Event> m_Unheard;
  bool m_FoundWasSet = false;
  bool m_FoundStopped = false;
  // The dispatcher is calling on_found outside the lock (StopFound waits).
  bool m_DeliveringFound = false;
  std::condition_variable m_Delivered;
  bool m_Stopping = false;
  kvx_found_callback m_OnFound = nullptr;
  kvx_removed_callback m_OnRemoved = nullptr;
  void* m_Context = nullptr;
  kvx_state_callback m_OnState = nullptr;
  void* m_StateContext = nullptr;
  std::thread m_Thread;
  // Written once before any event can arrive; read by refusals.
  std::thread::id m_ThreadId;
};

}  // namespace KVXUSBControllerWrapper

struct kvx_device {
  KVX_Device* device = nullptr;
  KVXDeviceWrapper::ManagedDeviceDelegateWrapper* bridge = nullptr;
};

struct kvx_controller {
  // Declared first so that it outlives the native controller: an event may
  // reach the bridge until the controller's destructor has left the fan-out.
  KVXUSBControllerWrapper::ManagedDeviceDelegateWrapper bridge;
  KVX_USBController* controller = nullptr;
};

namespace {

// A null device reads as a run that never started.
KVX_DeviceOutcome OutcomeOf(kvx_device* device) {
  KVX_DeviceOutcome outcome;
  if (device != nullptr) device->device->GetOutcome(outcome);
  return outcome;
}

}  // namespace

extern "C" {

kvx_device* kvx_device_create(const char* const* urls, int32_t url_count, int32_t handle) {
  if (url_count < 0 || (url_count > 0 && urls == nullptr)) return nullptr;
  // Every entry goes in, parsed or not: an unusable URL fails when its turn
  // comes and the next one is tried.
  NPT_List<NPT_HttpUrl> list;
  for (int32_t i = 0; i < url_count; ++i) {
    list.Add(NPT_HttpUrl(urls[i] ? urls[i] : ""));
  }
  kvx_device* self = new (std::nothrow) kvx_device;
  if (self == nullptr) return nullptr;
  self->device = new (std::nothrow) KVX_Device(list, handle);
  self->bridge = new (std::nothrow) KVXDeviceWrapper::ManagedDeviceDelegateWrapper(self);
  if (self->device == nullptr || self->bridge == nullptr) {
    delete self->device;
    delete self->bridge;
    delete self;
    return nullptr;
  }
  self->device->SetDelegate(self->bridge);
  return self;
}

void kvx_device_set_callbacks(kvx_device* device, kvx_frame_callback on_frame,
                              kvx_disconnected_callback on_disconnected, void* context) {
  if (device == nullptr) return;
  device->bridge->SetCallbacks(on_frame, on_disconnected, context);
}

int32_t kvx_device_start(kvx_device* device, const char* client_name) {
  if (device == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  return device->device->Start(client_name ? client_name : "");
}

void kvx_device_abort(kvx_device* device) {
  if (device == nullptr) return;
  device->device->Abort();
}

void kvx_device_destroy(kvx_device* device) {
  if (device == nullptr || InsideOwnCallback(device)) return;
  // The device stream's destructor joins its worker, so the bridge is no
  // longer reachable when it goes.
  delete device->device;
  delete device->bridge;
  delete device;
}

int32_t kvx_device_has_ended(kvx_device* device) { return OutcomeOf(device).ended ? 1 : 0; }

int32_t kvx_device_get_last_result(kvx_device* device) { return OutcomeOf(device).result; }

int32_t kvx_device_get_http_status(kvx_device* device) { return OutcomeOf(device).http_status; }

int32_t kvx_device_get_content_type(kvx_device* device, char* buffer, int32_t size) {
  return kvx_capi::CopyText(OutcomeOf(device).content_type, buffer, size);
}

int32_t kvx_device_set_delivery(kvx_device* device, int32_t mode) {
  KVX_DeliveryMode delivery;
  if (device == nullptr || !kvx_capi::DeliveryMode(mode, delivery)) return NPT_ERROR_INVALID_PARAMETERS;
  return device->device->SetDelivery(delivery);
}

int32_t kvx_device_get_stats(kvx_device* device, kvx_device_stats* stats) {
  if (device == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  KVX_DeviceStats now;
  device->device->GetStats(now);
  return kvx_capi::FillStats(now, stats);
}

int32_t kvx_device_get_frame_number(kvx_device* device, uint64_t* number) {
  if (device == nullptr || number == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  *number = 0;
  if (t_InsideFrameOf != device) return NPT_ERROR_INVALID_STATE;
  *number = device->device->GetFrameNumber();
  return NPT_SUCCESS;
}

kvx_controller* kvx_controller_create(void) {
  kvx_controller* self = new (std::nothrow) kvx_controller;
  if (self == nullptr) return nullptr;
  // The dispatcher first: the native controller reports from construction on.
  if (!self->bridge.Start()) {
    delete self;
    return nullptr;
  }
  self->controller = new (std::nothrow) KVX_USBController();
  if (self->controller == nullptr) {
    delete self;  // the bridge stops and joins its dispatcher
    return nullptr;
  }
  self->controller->SetDelegate(&self->bridge);
  self->controller->SetStateListener(&self->bridge);
  return self;
}

void kvx_controller_set_callbacks(kvx_controller* controller, kvx_found_callback on_found,
                                  kvx_removed_callback on_removed, void* context) {
  if (controller == nullptr) return;
  controller->bridge.SetCallbacks(on_found, on_removed, context);
}

int32_t kvx_controller_start(kvx_controller* controller) {
  if (controller == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  return controller->controller->Start();
}

void kvx_controller_abort(kvx_controller* controller) {
  if (controller == nullptr || controller->bridge.IsDispatcherThread()) return;
  controller->controller->Abort();
  // The worker has ended; found notifications it queued are not delivered.
  controller->bridge.StopFound();
}

void kvx_controller_destroy(kvx_controller* controller) {
  if (controller == nullptr || controller->bridge.IsDispatcherThread()) return;
  // The worker first, then the dispatcher: notifications still queued are
  // discarded, one in progress finishes (it may still call into the native
  // controller, kvx_controller_start for one), and the thread is joined, so
  // no callback runs after this; an event arriving until the native
  // controller has left the fan-out reaches a stopped bridge and is dropped.
  controller->controller->Abort();
  controller->bridge.Stop();
  delete controller->controller;
  controller->controller = nullptr;
  delete controller;
}

void kvx_controller_set_state_callback(kvx_controller* controller, kvx_state_callback on_state, void* context) {
  if (controller == nullptr) return;
  controller->bridge.SetStateCallback(on_state, context);
}

int32_t kvx_controller_get_state(kvx_controller* controller) {
  if (controller == nullptr || controller->controller == nullptr) return KVX_CONTROLLER_STARTING;
  return controller->controller->GetState();
}

const char* kvx_controller_get_daemon_address(kvx_controller* controller) {
  if (controller == nullptr || controller->controller == nullptr) return "";
  return controller->controller->GetDaemonAddress().GetChars();
}

int32_t kvx_controller_get_daemon_error(kvx_controller* controller) {
  if (controller == nullptr || controller->controller == nullptr) return NPT_SUCCESS;
  return controller->controller->GetDaemonFailure();
}

void kvx_set_console_output(int32_t enabled) { KVX_USBController::SetConsoleOutput(enabled != 0); }

int32_t kvx_get_console_output(void) { return KVX_USBController::IsConsoleOutputOn() ? 1 : 0; }

int32_t kvx_configure_logging(const char* sources) {
  if (sources == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  return NPT_LogManager::GetDefault().Reconfigure(sources);
}

const char* kvx_result_name(int32_t result) {
  const char* name = NPT_ResultName(result);
  return name ? name : "UNKNOWN";
}

// KVX_VERSION_TEXT comes from the version in project(), so the text, the file
// name and the SONAME cannot disagree.
const char* kvx_version(void) { return KVX_VERSION_TEXT; }

}  // extern "C"
