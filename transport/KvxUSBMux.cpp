// The usbmux binding. See KvxUSBMux.h for the contract.

#include "KvxUSBMux.h"

#include "KvxUSBClientSocket.h"

#include <cstdlib>

#include "KvxUSBMuxLibraryNames.h"

namespace {

// Builds the default instance while kvx is being loaded, so the library is
// in place before any application call, whatever the order of other statics.
struct DefaultInstanceLoader {
  DefaultInstanceLoader() { KVX_USBMux::GetDefault(); }
} s_DefaultInstanceLoader;

}  // namespace

KVX_USBMux& KVX_USBMux::GetDefault() {
  // Built on first use (at load time, see above) and never destroyed nor
  // released, not even at exit: a controller or stream that the host never
  // destroyed may still call through it from its own thread while the process
  // exits, and the library's own event thread may still run its code. The
  // operating system unmaps the library with the process.
  static KVX_USBMux* instance = new KVX_USBMux();
  return *instance;
}

KVX_USBMux::KVX_USBMux()
    : m_Library(nullptr),
      m_Connect(nullptr),
      m_Subscribe(nullptr),
      m_Unsubscribe(nullptr),
      m_GetDeviceList(nullptr),
      m_FreeDeviceList(nullptr),
      m_Subscribed(false) {
  LoadFirst(kKvxUSBMuxLibraryNames, kKvxUSBMuxLibraryNameCount);
}

KVX_USBMux::KVX_USBMux(const char* library_name)
    : m_Library(nullptr),
      m_Connect(nullptr),
      m_Subscribe(nullptr),
      m_Unsubscribe(nullptr),
      m_GetDeviceList(nullptr),
      m_FreeDeviceList(nullptr),
      m_Subscribed(false) {
  LoadFirst(&library_name, 1);
}

KVX_USBMux::~KVX_USBMux() { Release(); }

void KVX_USBMux::LoadFirst(const char* const* names, NPT_Cardinal count) {
  for (NPT_Cardinal i = 0; i < count && m_Library == nullptr; ++i) {
    if (names[i] == nullptr) continue;
    NPT_DynamicLibrary::Load(names[i], 0, m_Library);  // leaves null on failure
  }
}

void KVX_USBMux::Release() {
  if (m_Library == nullptr) return;
  // Once subscribed, the library's event thread keeps running (nothing
  // unsubscribes); unmapping its code under it would crash the process on its
  // next wake-up. The module is then left to the process's end.
  if (!m_Subscribed.load(std::memory_order_acquire)) m_Library->Unload();
  delete m_Library;
  m_Library = nullptr;
  m_Connect.store(nullptr, std::memory_order_release);
  m_Subscribe.store(nullptr, std::memory_order_release);
  m_Unsubscribe.store(nullptr, std::memory_order_release);
  m_GetDeviceList.store(nullptr, std::memory_order_release);
  m_FreeDeviceList.store(nullptr, std::memory_order_release);
}

void* KVX_USBMux::Resolve(std::atomic<void*>& entry, const char* name) {
  if (m_Library == nullptr) return nullptr;
  void* address = entry.load(std::memory_order_acquire);
  if (address != nullptr) return address;
  if (m_Library->FindSymbol(name, address) != NPT_SUCCESS) return nullptr;
  // Racing threads find the same address; whichever store lands last is the
  // same value.
  entry.store(address, std::memory_order_release);
  return address;
}

int KVX_USBMux::Connect(NPT_Int32 handle, NPT_UInt16 tcp_port) {
  void* entry = Resolve(m_Connect, "usbmuxd_connect");
  if (entry == nullptr) return NPT_RESULT_FAILURE;
  return reinterpret_cast<usbmuxd_connect_fn>(entry)((uint32_t)handle, tcp_port);
}

int KVX_USBMux::Disconnect(int /*sfd*/) { return NPT_RESULT_SUCCESS; }

int KVX_USBMux::Subscribe(usbmuxd_event_cb_t callback, void* user_data) {
  void* entry = Resolve(m_Subscribe, "usbmuxd_subscribe");
  if (entry == nullptr) return NPT_RESULT_FAILURE;
  m_Subscribed.store(true, std::memory_order_release);
  return reinterpret_cast<usbmuxd_subscribe_fn>(entry)(callback, user_data);
}

int KVX_USBMux::Unsubscribe() {
  void* entry = Resolve(m_Unsubscribe, "usbmuxd_unsubscribe");
  if (entry == nullptr) return NPT_RESULT_FAILURE;
  return reinterpret_cast<usbmuxd_unsubscribe_fn>(entry)();
}

int KVX_USBMux::ProbeDaemon() {
  void* list_entry = Resolve(m_GetDeviceList, "usbmuxd_get_device_list");
  void* free_entry = Resolve(m_FreeDeviceList, "usbmuxd_device_list_free");
  if (list_entry == nullptr || free_entry == nullptr) return NPT_RESULT_FAILURE;
  usbmuxd_device_info_t* list = nullptr;
  int count = reinterpret_cast<usbmuxd_get_device_list_fn>(list_entry)(&list);
  if (list != nullptr) reinterpret_cast<usbmuxd_device_list_free_fn>(free_entry)(&list);
  if (count >= 0) return count;
  // The list request says only -1 when it cannot connect; a tunnel request
  // keeps the connection's error number. It reaches no daemon (there is none
  // to answer), unless one appeared in between: then it asks for a device
  // that does not exist, and a tunnel it would open anyway is closed here.
  int reason = Connect(0, 0);
  if (reason >= 0) {
    KVX_USBClientSocket closer(reason, 0);
    return count;
  }
  return reason;
}

NPT_String KVX_USBMux::GetDaemonAddress() {
  const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS");
  return address != nullptr && address[0] != '\0' ? NPT_String(address) : NPT_String(kKvxUSBMuxDefaultAddress);
}
