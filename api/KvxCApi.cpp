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

#include <mutex>
#include <new>

#include "KvxDevice.h"
#include "KvxUSBController.h"
#include "NptList.h"
#include "NptResults.h"
#include "NptUri.h"

namespace {

// The object whose callback the current thread is running, if any. A
// destroy (or a controller abort) of that object from inside its own
// callback would wait for this very thread; it is refused instead.
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

// Forwards a controller's found and removed notifications to the registered
// function pointers (callbacks copied under a short lock, called without it).
class ManagedDeviceDelegateWrapper : public KVX_USBControllerDelegate {
 public:
  explicit ManagedDeviceDelegateWrapper(const void* owner) : m_Owner(owner) {}
  ~ManagedDeviceDelegateWrapper() override {}

  void SetCallbacks(kvx_found_callback on_found, kvx_removed_callback on_removed, void* context) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_OnFound = on_found;
    m_OnRemoved = on_removed;
    m_Context = context;
  }

  void OnDeviceFound(const char* name, NPT_Int32 handle, const char* url) override {
    kvx_found_callback on_found;
    void* context;
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      on_found = m_OnFound;
      context = m_Context;
    }
    if (on_found == nullptr) return;
    CallbackScope scope(m_Owner);
    on_found(context, name ? name : "", handle, url ? url : "");
  }

  void OnDeviceRemoved(const char* url) override {
    kvx_removed_callback on_removed;
    void* context;
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      on_removed = m_OnRemoved;
      context = m_Context;
    }
    if (on_removed == nullptr) return;
    CallbackScope scope(m_Owner);
    on_removed(context, url ? url : "");
  }

 private:
  const void* m_Owner;
  std::mutex m_Lock;
  kvx_found_callback m_OnFound = nullptr;
  kvx_removed_callback m_OnRemoved = nullptr;
  void* m_Context = nullptr;
};

// The delegate actually installed on the native controller. The bridge is
// deleted before the controller, yet the controller may still be handed a
// usbmux event (a detach) until its own destructor has left the event
// fan-out. This gate outlives the controller: it forwards to the bridge under
// its lock, and Release takes the bridge away under the same lock, so a late
// event either finishes with the bridge before it is deleted or finds none.
class DelegateGate : public KVX_USBControllerDelegate {
 public:
  ~DelegateGate() override { Release(); }

  void Attach(ManagedDeviceDelegateWrapper* bridge) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Bridge = bridge;
  }
  // Deletes the bridge once no notification uses it.
  void Release() {
    std::lock_guard<std::mutex> guard(m_Lock);
    delete m_Bridge;
    m_Bridge = nullptr;
  }
  void OnDeviceFound(const char* name, NPT_Int32 handle, const char* url) override {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Bridge) m_Bridge->OnDeviceFound(name, handle, url);
  }
  void OnDeviceRemoved(const char* url) override {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Bridge) m_Bridge->OnDeviceRemoved(url);
  }

 private:
  std::mutex m_Lock;
  ManagedDeviceDelegateWrapper* m_Bridge = nullptr;
};

}  // namespace KVXUSBControllerWrapper

struct kvx_device {
  KVX_Device* device = nullptr;
  KVXDeviceWrapper::ManagedDeviceDelegateWrapper* bridge = nullptr;
};

struct kvx_controller {
  KVX_USBController* controller = nullptr;
  KVXUSBControllerWrapper::DelegateGate gate;
  // Owned by the gate; valid until destroy, which no callback can reach.
  KVXUSBControllerWrapper::ManagedDeviceDelegateWrapper* bridge = nullptr;
};

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

kvx_controller* kvx_controller_create(void) {
  kvx_controller* self = new (std::nothrow) kvx_controller;
  if (self == nullptr) return nullptr;
  auto* bridge = new (std::nothrow) KVXUSBControllerWrapper::ManagedDeviceDelegateWrapper(self);
  if (bridge == nullptr) {
    delete self;
    return nullptr;
  }
  self->gate.Attach(bridge);
  self->bridge = bridge;
  self->controller = new (std::nothrow) KVX_USBController();
  if (self->controller == nullptr) {
    delete self;  // the gate deletes the bridge
    return nullptr;
  }
  self->controller->SetDelegate(&self->gate);
  return self;
}

void kvx_controller_set_callbacks(kvx_controller* controller, kvx_found_callback on_found,
                                  kvx_removed_callback on_removed, void* context) {
  if (controller == nullptr) return;
  // Not through the gate: a callback, which runs under the gate's lock, may
  // call this.
  controller->bridge->SetCallbacks(on_found, on_removed, context);
}

int32_t kvx_controller_start(kvx_controller* controller) {
  if (controller == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  return controller->controller->Start();
}

void kvx_controller_abort(kvx_controller* controller) {
  if (controller == nullptr || InsideOwnCallback(controller)) return;
  controller->controller->Abort();
}

void kvx_controller_destroy(kvx_controller* controller) {
  if (controller == nullptr || InsideOwnCallback(controller)) return;
  // Abort, delete the bridge, then the controller. Until the controller's
  // destructor has left the event fan-out a detach may still be delivered:
  // it reaches the gate (still alive), which no longer has a bridge.
  controller->controller->Abort();
  controller->gate.Release();
  delete controller->controller;
  controller->controller = nullptr;
  delete controller;
}

const char* kvx_result_name(int32_t result) {
  const char* name = NPT_ResultName(result);
  return name ? name : "UNKNOWN";
}

}  // extern "C"
