#pragma once
// Points the process's default usbmux binding at the libusbmuxd test double
// for as long as the object is active, so that connectors built inside the
// code under test (which always use the default binding) open their tunnels
// through the double. Restores the previous library on Restore or destruction.

#include <memory>
#include <string>

#include "../doubles/usbmuxd_double/UsbmuxdDouble.h"
#include "KvxUSBMux.h"
#include "NptDynamicLibraries.h"
#include "TestSupport.h"

class KVX_USBMuxTestAccess {
 public:
  static NPT_DynamicLibrary* SwapLibrary(KVX_USBMux& mux, NPT_DynamicLibrary* library) {
    NPT_DynamicLibrary* previous = mux.m_Library;
    mux.m_Library = library;
    // Entries resolved from the previous library must not be used with this one.
    mux.m_Connect.store(nullptr);
    return previous;
  }
};

class DefaultBindingOnDouble {
 public:
  ~DefaultBindingOnDouble() { Restore(); }

  // False when the double cannot be loaded; the binding is then unchanged.
  bool Activate() {
    const std::string path = kvx_test::UsbmuxdDoublePath();
    m_Double.reset(new KvxUsbmuxdDouble(path));
    if (!m_Double->IsLoaded()) return false;
    m_Double->reset();
    NPT_DynamicLibrary* library = nullptr;
    if (NPT_DynamicLibrary::Load(path.c_str(), 0, library) != NPT_SUCCESS) return false;
    m_Previous = KVX_USBMuxTestAccess::SwapLibrary(KVX_USBMux::GetDefault(), library);
    m_Swapped = true;
    return true;
  }

  void Restore() {
    if (!m_Swapped) return;
    m_Swapped = false;
    NPT_DynamicLibrary* library = KVX_USBMuxTestAccess::SwapLibrary(KVX_USBMux::GetDefault(), m_Previous);
    library->Unload();
    delete library;
    m_Double->reset();
  }

  KvxUsbmuxdDouble* Double() { return m_Double.get(); }

 private:
  std::unique_ptr<KvxUsbmuxdDouble> m_Double;
  NPT_DynamicLibrary* m_Previous = nullptr;
  bool m_Swapped = false;
};
