#pragma once
// POSIX library object: a dlopen handle and the name it was loaded with.

#include "NptDynamicLibraries.h"
#include "NptStrings.h"

class NPT_PosixDynamicLibrary : public NPT_DynamicLibraryInterface {
 public:
  // Takes over `module`, a handle returned by dlopen.
  NPT_PosixDynamicLibrary(void* module, const char* name);
  // Frees the object only; the module stays loaded (see Unload).
  ~NPT_PosixDynamicLibrary() override {}

  NPT_Result FindSymbol(const char* name, void*& symbol) override;
  NPT_Result Unload() override;

 private:
  void* m_Module;  // null once unloaded
  NPT_String m_Name;
};
