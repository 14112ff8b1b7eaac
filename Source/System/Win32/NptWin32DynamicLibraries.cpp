// Win32 dynamic libraries over LoadLibraryW/GetProcAddress/FreeLibrary. Names
// arrive as UTF-8 and are handed to the loader in its wide form.

#include "NptWin32DynamicLibraries.h"

#include "NptLogging.h"
#include "NptWin32Text.h"

NPT_SET_LOCAL_LOGGER("npt.win32.dynamic-libraries")

NPT_Result NPT_DynamicLibrary::Load(const char* name, NPT_Flags flags, NPT_DynamicLibrary*& library) {
  if (name == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  library = nullptr;

  NPT_LOG_FINE("loading library %s, flags=%x", name, flags);
  // No dialog box for a missing library or a broken drive: just a failure.
  const UINT previous_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  NPT_Win32WideText wide(name);
  HMODULE module = name[0] && wide.Get() ? LoadLibraryW(wide.Get()) : nullptr;
  SetErrorMode(previous_mode);
  if (module == nullptr) {
    NPT_LOG_FINE("library not found");
    return NPT_RESULT_FAILURE;
  }
  NPT_LOG_FINE("library %s loaded", name);
  library = new NPT_DynamicLibrary(new NPT_Win32DynamicLibrary(module, name));
  return NPT_SUCCESS;
}

NPT_Result NPT_Win32DynamicLibrary::FindSymbol(const char* name, void*& symbol) {
  if (name == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  symbol = nullptr;
  if (m_Module == nullptr) return NPT_ERROR_NO_SUCH_ITEM;

  NPT_LOG_FINE("finding symbol %s", name);
  FARPROC address = GetProcAddress(m_Module, name);
  if (address == nullptr) return NPT_ERROR_NO_SUCH_ITEM;
  symbol = reinterpret_cast<void*>(address);
  return NPT_SUCCESS;
}

NPT_Result NPT_Win32DynamicLibrary::Unload() {
  NPT_LOG_FINE("unloading library %s", m_Name.GetChars());
  // A module is released once: a second FreeLibrary would drop a reference
  // that someone else holds.
  if (m_Module == nullptr) return NPT_RESULT_FAILURE;
  HMODULE module = m_Module;
  m_Module = nullptr;
  return FreeLibrary(module) ? NPT_SUCCESS : NPT_RESULT_FAILURE;
}
