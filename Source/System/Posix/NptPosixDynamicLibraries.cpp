// POSIX dynamic libraries over dlopen/dlsym/dlclose. Names are UTF-8 bytes,
// which is the form the loader takes, so no conversion is needed.

#include "NptPosixDynamicLibraries.h"

#include <dlfcn.h>

#include "NptLogging.h"

NPT_SET_LOCAL_LOGGER("npt.posix.dynamic-libraries")

NPT_Result NPT_DynamicLibrary::Load(const char* name, NPT_Flags flags, NPT_DynamicLibrary*& library) {
  if (name == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  library = nullptr;

  NPT_LOG_FINE("loading library %s, flags=%x", name, flags);
  // Resolve everything now so that a library with unresolvable references
  // fails here rather than in the middle of a later call; keep its symbols out
  // of the global scope.
  // dlopen takes an empty name as the main program, which is not a library.
  void* module = name[0] ? dlopen(name, RTLD_NOW | RTLD_LOCAL) : nullptr;
  if (module == nullptr) {
    NPT_LOG_FINE("library not found");
    return NPT_RESULT_FAILURE;
  }
  NPT_LOG_FINE("library %s loaded", name);
  library = new NPT_DynamicLibrary(new NPT_PosixDynamicLibrary(module, name));
  return NPT_SUCCESS;
}

NPT_PosixDynamicLibrary::NPT_PosixDynamicLibrary(void* module, const char* name) : m_Module(module), m_Name(name) {}

NPT_Result NPT_PosixDynamicLibrary::FindSymbol(const char* name, void*& symbol) {
  if (name == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  symbol = nullptr;
  if (m_Module == nullptr) return NPT_ERROR_NO_SUCH_ITEM;

  NPT_LOG_FINE("finding symbol %s", name);
  void* address = dlsym(m_Module, name);
  if (address == nullptr) return NPT_ERROR_NO_SUCH_ITEM;
  symbol = address;
  return NPT_SUCCESS;
}

NPT_Result NPT_PosixDynamicLibrary::Unload() {
  NPT_LOG_FINE("unloading library %s", m_Name.GetChars());
  // A handle may be closed only once; after that it may name another module.
  if (m_Module == nullptr) return NPT_RESULT_FAILURE;
  void* module = m_Module;
  m_Module = nullptr;
  return dlclose(module) == 0 ? NPT_SUCCESS : NPT_RESULT_FAILURE;
}
