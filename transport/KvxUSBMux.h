#pragma once
// KVX_USBMux: the run-time binding to the usbmux client library.
//
// The library is not linked: the single production instance (GetDefault)
// loads it by file name when kvx is loaded, and each entry point is looked up
// by name at its first use. Without the library, or without an entry point,
// the operations return NPT_RESULT_FAILURE (-1) and kvx runs without devices.
// No operation logs; callers decide what a failure means.
//
// Thread safety: no lock. Connect is called from several threads at once; an
// entry resolved by one thread is published with release/acquire atomics, so
// two threads racing on the first call both find and store the same address.
// The library calls event callbacks on a thread of its own.

#include <atomic>

#include "KvxUSBMuxTypes.h"
#include "NptDynamicLibraries.h"
#include "NptStrings.h"
#include "NptTypes.h"

class KVX_USBMux {
 public:
  // The single instance the system uses, loaded when kvx is loaded.
  static KVX_USBMux& GetDefault();

  // FOR TESTS ONLY: a binding over the library at `library_name` (a file name
  // or path). It lives beside the default instance without touching it. The
  // destructor unloads the library unless a subscription was made (see below).
  explicit KVX_USBMux(const char* library_name);
  virtual ~KVX_USBMux();

  // Opens a tunnel to `tcp_port` (a plain port number) on the device `handle`.
  // The library's own result unchanged (a connected, non-blocking descriptor,
  // or a negative errno), or -1 without library or entry. Callers treat any
  // negative result as failure (0 is a descriptor).
  int Connect(NPT_Int32 handle, NPT_UInt16 tcp_port);
  // Always 0. Calls no library function and does not close `sfd`: the socket
  // that wraps a tunnel descriptor closes it.
  int Disconnect(int sfd);
  // Registers `callback`; the library then calls callback(event, user_data) on
  // its own thread for every attach and detach. -1 without library or entry.
  int Subscribe(usbmuxd_event_cb_t callback, void* user_data);
  // Ends the subscription. -1 without library or entry.
  int Unsubscribe();

  // Whether the library was loaded (the entries may still be missing).
  bool IsLoaded() const { return m_Library != nullptr; }
  // Whether the daemon answers, asked over connections of its own: the
  // number of devices it has (>= 0) when it answers a device list request;
  // otherwise the library's negative error number for a connection to it (no
  // socket there, connection refused, no answer within the library's 5 s),
  // or -1 without library or entries. Blocks while the library waits.
  int ProbeDaemon();
  // Where the library looks for the daemon: USBMUXD_SOCKET_ADDRESS when set,
  // else its default socket, in the form that variable takes.
  static NPT_String GetDaemonAddress();

 private:
  // Tests inspect the cached entries and swap the library through this.
  friend class KVX_USBMuxTestAccess;

  KVX_USBMux();
  KVX_USBMux(const KVX_USBMux&) = delete;
  KVX_USBMux& operator=(const KVX_USBMux&) = delete;

  // Loads the first of `names` that loads; m_Library stays null if none does.
  void LoadFirst(const char* const* names, NPT_Cardinal count);
  // Returns the cached entry, looking it up when not yet resolved; null when
  // there is no library or the library does not export `name` (then the next
  // call looks again).
  void* Resolve(std::atomic<void*>& entry, const char* name);
  // Unloads and deletes the library, if any. Used by the destructor (of a
  // test instance: the default one is never released).
  void Release();

  NPT_DynamicLibrary* m_Library;
  std::atomic<void*> m_Connect;
  std::atomic<void*> m_Subscribe;
  std::atomic<void*> m_Unsubscribe;
  std::atomic<void*> m_GetDeviceList;
  std::atomic<void*> m_FreeDeviceList;
  // Set once Subscribe has reached the library: from then on the library runs
  // a thread of its own that nothing stops, so its code must stay mapped.
  std::atomic<bool> m_Subscribed;
};
