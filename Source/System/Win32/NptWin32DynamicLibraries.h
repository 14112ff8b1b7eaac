#pragma once
// Win32 library object: a module handle and the name it was loaded with.

#include <windows.h>

#include "NptDynamicLibraries.h"
#include "NptStrings.h"

class NPT_Win32DynamicLibrary : public NPT_DynamicLibraryInterface {
 public:
  // Takes over `module`, a handle returned by LoadLibraryW.
  NPT_Win32DynamicLibrary(HMODULE module, const char* name) : m_Module(module), m_Name(name) {}
  // Frees the object only; the module stays loaded (see Unload).
  ~NPT_Win32DynamicLibrary() override {}

  NPT_Result FindSymbol(const char* name, void*& symbol) override;
  NPT_Result Unload() override;

 private:
  HMODULE m_Module;  // null once unloaded
  NPT_String m_Name;
};
