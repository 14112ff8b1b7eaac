// The USB controller: registry, event handling and the worker's passes. The
// probe itself (PingApp, FetchDeviceName) is in KvxAppProbe.cpp.

#include "KvxUSBController.h"

#include <cstdio>
#include <cstring>

#include "KvxUSBMux.h"
#include "KvxUSBMuxEvents.h"
#include "NptSystem.h"
#include "NptTime.h"

namespace {

const NPT_UInt16 kAppPorts[] = {8099, 8100};
const NPT_UInt32 kFirstProductId = 0x1290;
const NPT_UInt32 kLastProductId = 0x129A;
// Pause after each pass; Abort ends it at once.
const NPT_Timeout kPassPauseMs = 1000;
// Failed probes an announced app survives; the next one removes it.
const NPT_Int32 kToleratedFailures = 3;
// While the daemon answers, it is asked again after this many passes (about
// a second each), or at the next pass after a detach.
const int kConnectedCheckPasses = 5;

// The event's identifier, read up to its terminator and never past the record
// (a record whose identifier fills the array has no terminator).
NPT_String IdentifierOf(const usbmuxd_event_t& event) {
  char identifier[sizeof(event.device.udid) + 1];
  memcpy(identifier, event.device.udid, sizeof(event.device.udid));
  identifier[sizeof(event.device.udid)] = '\0';
  return NPT_String(identifier);
}

std::atomic<bool> s_ConsoleOutput(true);

}  // namespace

void KVX_USBController::SetConsoleOutput(bool enabled) { s_ConsoleOutput.store(enabled, std::memory_order_release); }

bool KVX_USBController::IsConsoleOutputOn() { return s_ConsoleOutput.load(std::memory_order_acquire); }

void callback(const usbmuxd_event_t* event, void* user_data) {
  if (user_data == nullptr) return;
  static_cast<KVX_USBController*>(user_data)->NewEvent(event);
}

KVX_USBController::KVX_USBController() : KVX_USBController(KVX_USBMuxEvents::GetDefault()) {}

KVX_USBController::KVX_USBController(KVX_USBMuxEvents& events)
    : NPT_Thread(false),
      m_Events(events),
      m_Mux(events.GetMux()),
      m_Delegate(nullptr),
      m_Aborted(false),
      m_DelegateWasSet(false),
      m_AnnouncedOwed(false),
      m_Wakeup(0),
      m_DaemonAddress(KVX_USBMux::GetDaemonAddress()),
      m_State(KVX_USB_STARTING),
      m_DaemonFailure(NPT_SUCCESS),
      m_StateListener(nullptr),
      m_DetachSeen(false),
      m_PassesSinceCheck(0) {
  // The result is not examined: without the library the worker simply runs
  // with an empty registry. Devices already attached are replayed here, on
  // this thread, before the worker starts.
  m_Events.AddSubscriber(&callback, this);
  NPT_Thread::Start();
}

KVX_USBController::~KVX_USBController() {
  Abort();
  // After this no event reaches the controller: the fan-out waits for an
  // event in progress to leave NewEvent. The registry (and every tunnel it
  // holds) goes with the members below.
  m_Events.RemoveSubscriber(&callback, this);
}

NPT_Result KVX_USBController::Abort() {
  m_Aborted.store(true, std::memory_order_release);
  m_Wakeup.SetValue(1);
  Wait(NPT_TIMEOUT_INFINITE);
  return NPT_SUCCESS;
}

void KVX_USBController::SetDelegate(KVX_USBControllerDelegate* delegate) {
  bool first = false;
  {
    NPT_AutoLock lock(m_DelegateLock);
    m_Delegate.store(delegate, std::memory_order_release);
    if (delegate != nullptr && !m_DelegateWasSet) {
      m_DelegateWasSet = true;
      m_AnnouncedOwed = true;
      first = true;
    }
  }
  // The worker tells it the apps already announced without waiting out its
  // pause.
  if (first) m_Wakeup.SetValue(2);
}

KVX_USBControllerDelegate* KVX_USBController::TakeDelegate(bool& owed_announced) {
  NPT_AutoLock lock(m_DelegateLock);
  owed_announced = m_AnnouncedOwed;
  m_AnnouncedOwed = false;
  return m_Delegate.load(std::memory_order_acquire);
}

void KVX_USBController::ReportAnnounced(KVX_USBControllerDelegate* delegate, const DeviceInfo* current) {
  if (delegate == nullptr) return;
  for (NPT_List<NPT_Map<NPT_String, DeviceInfo>::Entry*>::Iterator it = m_Devices.GetEntries().GetFirstItem(); it;
       ++it) {
    const DeviceInfo* device = &(*it)->GetValue();
    if (current != nullptr && device->identifier == current->identifier) device = current;
    for (NPT_Ordinal i = 0; i < device->apps.GetItemCount(); ++i) {
      const DeviceAppInfo& app = device->apps[i];
      if (app.announced) delegate->OnDeviceFound(app.name, device->handle, app.url.ToString(true));
    }
  }
}

bool KVX_USBController::IsValidDevice(NPT_UInt32 pid) { return pid >= kFirstProductId && pid <= kLastProductId; }

void KVX_USBController::NewEvent(const usbmuxd_event_t* event) {
  if (event == nullptr) return;
  NPT_AutoLock lock(m_Lock);

  if (event->event == KVX_USBMUX_EVENT_DEVICE_ADD) {
    if (IsConsoleOutputOn()) {
      // Ends its line, so that what the host prints next starts on its own.
      printf("Device attached: pid=%x\n", (unsigned int)event->device.product_id);
      fflush(stdout);
    }

    NPT_String key = IdentifierOf(*event);

    if (m_Devices.HasKey(key) || !IsValidDevice(event->device.product_id)) return;

    DeviceInfo device;
    device.handle = (NPT_Int32)event->device.handle;
    device.identifier = key;
    for (NPT_UInt16 port : kAppPorts) {
      device.apps.Add(DeviceAppInfo(NPT_HttpUrl(key, port, "/")));
    }
    m_Devices.Put(key, device);
  } else if (event->event == KVX_USBMUX_EVENT_DEVICE_REMOVE) {
    // A lost daemon shows as a detach of every device: look again soon.
    m_DetachSeen.store(true, std::memory_order_release);
    NPT_String key = IdentifierOf(*event);

    DeviceInfo* device = nullptr;
    if (NPT_FAILED(m_Devices.Get(key, device)) || device == nullptr) return;
    KVX_USBControllerDelegate* delegate = GetDelegate();
    for (NPT_Ordinal i = 0; i < device->apps.GetItemCount(); ++i) {
      if (delegate) delegate->OnDeviceRemoved(device->apps[i].url.ToString(true));
    }
    m_Devices.Erase(key);
  }
}

void KVX_USBController::CheckDaemon() {
  const int state = m_State.load(std::memory_order_acquire);
  if (state == KVX_USB_NO_LIBRARY) return;
  const bool due = state != KVX_USB_CONNECTED || m_DetachSeen.exchange(false, std::memory_order_acq_rel) ||
                   ++m_PassesSinceCheck >= kConnectedCheckPasses;
  if (!due) return;
  m_PassesSinceCheck = 0;
  int next = KVX_USB_CONNECTED;
  NPT_Result failure = NPT_SUCCESS;
  if (!m_Mux.IsLoaded()) {
    next = KVX_USB_NO_LIBRARY;
  } else {
    const int answer = m_Mux.ProbeDaemon();
    if (answer < 0) {
      next = KVX_USB_DAEMON_UNREACHABLE;
      // -1 is also the binding's own "entry missing".
      failure = answer < -1 ? NPT_ERROR_BASE_ERRNO + answer : NPT_RESULT_FAILURE;
    }
  }
  m_DaemonFailure.store(failure, std::memory_order_release);
  if (m_State.exchange(next, std::memory_order_acq_rel) == next) return;
  KVX_USBControllerStateListener* listener = m_StateListener.load(std::memory_order_acquire);
  if (listener) listener->OnStateChanged((KVX_USBControllerState)next);
}

void KVX_USBController::Run() {
  if (m_Aborted.load(std::memory_order_acquire)) return;
  for (;;) {
    // Outside m_Lock: the check may wait seconds for a silent daemon, and
    // events must not wait behind it.
    CheckDaemon();
    if (m_Aborted.load(std::memory_order_acquire)) return;
    {
      NPT_AutoLock lock(m_Lock);
      // Registry entries cannot go while the lock is held, so the snapshot's
      // pointers stay valid for the whole pass.
      NPT_List<DeviceInfo*> snapshot;
      for (NPT_List<NPT_Map<NPT_String, DeviceInfo>::Entry*>::Iterator it = m_Devices.GetEntries().GetFirstItem();
           it; ++it) {
        snapshot.Add(&(*it)->GetValue());
      }
      for (NPT_List<DeviceInfo*>::Iterator it = snapshot.GetFirstItem(); it; ++it) {
        if (m_Aborted.load(std::memory_order_acquire)) break;
        DeviceInfo copy = **it;
        for (NPT_Ordinal i = 0; i < copy.apps.GetItemCount(); ++i) {
          DeviceAppInfo& app = copy.apps[i];
          NPT_Result result = PingApp(copy.handle, app);
          bool owed = false;
          KVX_USBControllerDelegate* delegate = TakeDelegate(owed);
          // This app, if just announced, is reported below, not here.
          if (owed) ReportAnnounced(delegate, &copy);
          if (result == NPT_SUCCESS) {
            if (app.name.IsEmpty() || !app.url.IsValid()) continue;
            if (!app.announced && delegate) {
              delegate->OnDeviceFound(app.name, copy.handle, app.url.ToString(true));
            }
            app.announced = true;
            app.failures = 0;
          } else {
            if (app.failures == kToleratedFailures && app.announced) {
              if (delegate) delegate->OnDeviceRemoved(app.url.ToString(true));
              app.announced = false;
            }
            // Saturates instead of wrapping for an app that never answers.
            if (app.failures < 0x7FFFFFFF) ++app.failures;
          }
        }
        m_Devices.Put(copy.identifier, copy);
      }
    }
    // Ends at once when Abort sets the variable; otherwise times out. A
    // first delegate is told the announced apps meanwhile (once per
    // controller; the pause then starts over).
    while (m_Wakeup.WaitWhileEquals(0, kPassPauseMs) == NPT_SUCCESS) {
      // Cleared before the flag is read: an Abort storing 1 meanwhile has
      // already set the flag.
      m_Wakeup.SetValue(0);
      if (m_Aborted.load(std::memory_order_acquire)) return;
      NPT_AutoLock lock(m_Lock);
      bool owed = false;
      KVX_USBControllerDelegate* delegate = TakeDelegate(owed);
      if (owed) ReportAnnounced(delegate, nullptr);
    }
    if (m_Aborted.load(std::memory_order_acquire)) return;
  }
}
