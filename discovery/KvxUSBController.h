#pragma once
// KVX_USBController: finds companion apps on devices attached over USB.
//
// It hears usbmux attach and detach events (through the binding's event
// fan-out, KVX_USBMuxEvents), keeps a registry of attached devices whose USB
// product id is accepted (0x1290..0x129A), watches two app ports on each
// (8099, then 8100), and reports each app that answers with a device name to
// its delegate as found, and as removed when the device is detached or the
// app failed four probes in a row. A worker thread probes every app about
// once a second: the pass is followed by a one-second pause that Abort and
// the destructor end at once.
//
// Threads:
// - the application's thread: constructor, Abort, SetDelegate, destructor;
// - the worker (this NPT_Thread): probes, OnDeviceFound, OnDeviceRemoved after
//   failed probes;
// - the usbmux event thread (or, for devices already attached when the
//   controller subscribes, the constructing thread): NewEvent, OnDeviceRemoved
//   on detach.
// m_Lock is held by NewEvent for a whole event and by the worker for a whole
// pass, probes included (a probe that opens a tunnel may take two seconds or
// so). Lock order: usbmux library lock -> m_Lock, and m_Lock -> usbmux connect
// (which takes no lock of the library's event side). The fan-out holds no lock
// of its own while it calls in.
//
// Delegates are called with m_Lock held. A delegate must therefore NOT, from
// inside OnDeviceFound or OnDeviceRemoved:
// - call Abort or destroy this controller (both wait for the worker, which may
//   be the calling thread, or which may be waiting for m_Lock);
// - wait for another thread that may itself need this controller's m_Lock
//   (for example a thread calling NewEvent or destroying the controller);
// - block for long: attach and detach events of every controller in the
//   process wait behind it.
// It may call SetDelegate/GetDelegate and construct other controllers. The
// texts it receives are valid only for the duration of the call.

#include <atomic>

#include "KvxUSBClientSocket.h"
#include "KvxUSBMuxTypes.h"
#include "NptArray.h"
#include "NptMap.h"
#include "NptReferences.h"
#include "NptResults.h"
#include "NptStrings.h"
#include "NptThreads.h"
#include "NptTypes.h"
#include "NptUri.h"
#include "kvx/kvx_export.h"

class KVX_USBMux;
class KVX_USBMuxEvents;

// Callback interface; the default bodies do nothing. Not owned by the
// controller. See the controller's header comment for what a delegate must
// not do.
class KVX_API KVX_USBControllerDelegate {
 public:
  virtual ~KVX_USBControllerDelegate() {}
  // `name` is the app's "X-DEVICENAME", `handle` the device's usbmux handle,
  // `url` the text form of the app's URL.
  virtual void OnDeviceFound(const char* /*name*/, NPT_Int32 /*handle*/, const char* /*url*/) {}
  // `url` as OnDeviceFound reported it (for an app never found: its URL).
  virtual void OnDeviceRemoved(const char* /*url*/) {}
};

// Whether a controller can reach the USB multiplexing daemon, as far as it
// can tell. The worker checks at its first pass, then before every pass while
// the daemon is not reached, and every few seconds (and after any detach)
// while it is.
enum KVX_USBControllerState {
  // Not checked yet.
  KVX_USB_STARTING = 0,
  // The usbmux client library could not be loaded: no device is ever found.
  // Final.
  KVX_USB_NO_LIBRARY = 1,
  // The daemon did not answer at GetDaemonAddress() (GetDaemonFailure says
  // how); nothing is found until it does.
  KVX_USB_DAEMON_UNREACHABLE = 2,
  // The daemon answered the last check.
  KVX_USB_CONNECTED = 3,
};

// Hears a controller's state changes. Not owned by the controller.
class KVX_API KVX_USBControllerStateListener {
 public:
  virtual ~KVX_USBControllerStateListener() {}
  // The controller's state became `state`. On the controller's worker,
  // without the controller's lock; the same rules as for the delegate apply
  // (no Abort, no destruction of the controller from here).
  virtual void OnStateChanged(KVX_USBControllerState state) = 0;
};

class KVX_API KVX_USBController : public NPT_Thread {
 public:
  // One app port of one device.
  class DeviceAppInfo {
   public:
    explicit DeviceAppInfo(const NPT_HttpUrl& app_url)
        : url(app_url), announced(false), failures(0) {}
    // Copies share the tunnel; the last holder closes it.
    virtual ~DeviceAppInfo() {}

    NPT_HttpUrl url;     // "http://<identifier>:<port>/", or the app's "Location"
    NPT_String server;   // "X-SERVER" as received; recorded only
    bool announced;      // found and not removed since
    NPT_Int32 failures;  // consecutive failed probes
    NPT_String name;     // "X-DEVICENAME" as received
    NPT_Reference<KVX_USBClientSocket> socket;  // idle tunnel kept between probes
  };

  // One attached device.
  struct DeviceInfo {
    NPT_Int32 handle;
    NPT_String identifier;         // equal to its registry key
    NPT_Array<DeviceAppInfo> apps;  // port 8099 first, then 8100
  };

  // Subscribes to the default fan-out with `callback` and this controller,
  // then starts the worker. Without the usbmux library it runs and reports
  // nothing.
  KVX_USBController();
  // FOR TESTS: the same over another fan-out (and its binding), which must
  // outlive the controller.
  explicit KVX_USBController(KVX_USBMuxEvents& events);
  // Ends the pause at once, waits for the pass in progress and the worker,
  // leaves the fan-out (no event reaches this controller afterwards), then
  // releases the registry and its tunnels. See the delegate rules above.
  ~KVX_USBController() override;

  // Same as the destructor's first steps: sets the abort flag, ends the pause
  // between passes and waits without limit for the worker. Later calls return
  // at once. Always NPT_SUCCESS.
  NPT_Result Abort();

  // Stores the delegate; any thread, callbacks included. Discovery runs from
  // the constructor on, so apps may be announced before a delegate can be
  // set: the first non-null delegate also hears OnDeviceFound, on the worker
  // and once each, for every app announced when it is set. Apps announced
  // while a delegate set earlier had been replaced by null are not told again.
  void SetDelegate(KVX_USBControllerDelegate* delegate);
  KVX_USBControllerDelegate* GetDelegate() const { return m_Delegate.load(std::memory_order_acquire); }

  // The state as last checked (any thread), where the daemon is looked for,
  // and, while it is unreachable, how the last attempt failed: the usbmux
  // library's error number as -(22000 + errno), or NPT_RESULT_FAILURE when
  // the library lacks what the check needs; NPT_SUCCESS otherwise.
  KVX_USBControllerState GetState() const { return (KVX_USBControllerState)m_State.load(std::memory_order_acquire); }
  const NPT_String& GetDaemonAddress() const { return m_DaemonAddress; }
  NPT_Result GetDaemonFailure() const { return m_DaemonFailure.load(std::memory_order_acquire); }
  // Installs the listener told of every later change (null: none). Any
  // thread; read GetState after setting it for the state before.
  void SetStateListener(KVX_USBControllerStateListener* listener) {
    m_StateListener.store(listener, std::memory_order_release);
  }

  // Handles one usbmux event (null is ignored): prints "Device attached:
  // pid=%x" and a line break for every attach, registers accepted unknown devices, and on
  // detach reports every app of a known device removed and erases it.
  void NewEvent(const usbmuxd_event_t* event);

  // The library's console lines on standard output ("Device attached:
  // pid=%x" here; the .NET assembly's progress lines follow the same switch):
  // on by default; off keeps a host's standard output its own. Process-wide,
  // any thread.
  static void SetConsoleOutput(bool enabled);
  static bool IsConsoleOutputOn();

  // True exactly for product ids 0x1290..0x129A.
  static bool IsValidDevice(NPT_UInt32 pid);

  // The probe, on the worker with m_Lock held. PingApp: NPT_SUCCESS when the
  // app on `info`'s port is alive; keeps one idle tunnel in `info.socket` and
  // asks the app for its identity (FetchDeviceName) whenever it has to open a
  // new one. A tunnel opened for a failed identity request is closed once.
  NPT_Result PingApp(NPT_Int32 handle, DeviceAppInfo& info);
  // One authenticated "HEAD" (HTTP/1.0, 1000 ms timeouts, redirects not
  // followed) to `info.url` through a tunnel on `handle`. NPT_SUCCESS for
  // status 200 or 302, recording "X-DEVICENAME", "X-SERVER" and "Location"
  // (through ResolveLocation) when present; NPT_RESULT_FAILURE for another
  // status or no response; the send's failure otherwise.
  NPT_Result FetchDeviceName(NPT_Int32 handle, DeviceAppInfo& info);
  // The app's URL named by a "Location" value received from `base`: an
  // absolute http URL as it is, a network-path ("//host...") reference with
  // the http scheme, any other reference resolved against `base` (path
  // merged, "." and ".." segments removed). True with `url` set; false, and
  // `url` untouched, when the value is empty, holds blanks, controls or 8-bit
  // bytes, names another scheme or gives no valid http URL (no host, port 0).
  // `url` may be `base`.
  static bool ResolveLocation(const NPT_HttpUrl& base, const char* location, NPT_HttpUrl& url);

  // The worker. Do not call directly.
  void Run() override;

 private:
  void Init();
  // On the worker: the delegate for the next report and, with it, whether it
  // is the first one and is still owed the apps announced before it. Taken
  // together under m_DelegateLock, so no app is reported both ways.
  KVX_USBControllerDelegate* TakeDelegate(bool& owed_announced);
  // On the worker with m_Lock held: OnDeviceFound for every announced app of
  // the registry, `current` (the device being probed, if any) standing in for
  // its registry entry.
  void ReportAnnounced(KVX_USBControllerDelegate* delegate, const DeviceInfo* current);
  // On the worker, before a pass: asks the daemon whether it answers when the
  // state calls for it, records the outcome and tells the listener of a
  // change.
  void CheckDaemon();

  KVX_USBMuxEvents& m_Events;
  KVX_USBMux& m_Mux;
  std::atomic<KVX_USBControllerDelegate*> m_Delegate;
  std::atomic<bool> m_Aborted;
  NPT_Map<NPT_String, DeviceInfo> m_Devices;
  NPT_Mutex m_Lock;
  // Guards the first delegate's debt between SetDelegate and TakeDelegate.
  NPT_Mutex m_DelegateLock;
  bool m_DelegateWasSet;
  bool m_AnnouncedOwed;
  // Not 0 once aborted (1) or once a first delegate is owed the announced
  // apps (2): ends the pause between passes at once.
  NPT_SharedVariable m_Wakeup;
  // See GetState and its neighbours. m_PassesSinceCheck and m_DetachSeen
  // pace the checks (worker; m_DetachSeen is set by NewEvent).
  const NPT_String m_DaemonAddress;
  std::atomic<int> m_State;
  std::atomic<NPT_Result> m_DaemonFailure;
  std::atomic<KVX_USBControllerStateListener*> m_StateListener;
  std::atomic<bool> m_DetachSeen;
  int m_PassesSinceCheck;
};

// The function registered with the usbmux fan-out: forwards `event` to the
// controller `user_data` points to (nothing when it is null).
void callback(const usbmuxd_event_t* event, void* user_data);
