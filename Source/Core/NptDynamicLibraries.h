#pragma once
// Loading shared libraries at run time and looking up their exported symbols.
//
// NPT_DynamicLibrary owns a platform library object and forwards to it. A
// loaded module stays loaded until Unload is called, even after the object is
// destroyed: destroying the object only frees the object.

#include "NptResults.h"
#include "NptTypes.h"

class NPT_DynamicLibraryInterface {
 public:
  virtual ~NPT_DynamicLibraryInterface() {}
  // Resets `symbol` to null, then looks `name` up among the module's exports.
  // NPT_ERROR_INVALID_PARAMETERS for a null name; NPT_ERROR_NO_SUCH_ITEM when
  // there is no module or no such export.
  virtual NPT_Result FindSymbol(const char* name, void*& symbol) = 0;
  // Releases the module. NPT_RESULT_FAILURE when the OS refuses or the module
  // was already released (a module is released at most once).
  virtual NPT_Result Unload() = 0;
};

class NPT_DynamicLibrary : public NPT_DynamicLibraryInterface {
 public:
  // Loads the library `name` (UTF-8, found by the OS's normal search rules, or
  // a path). `flags` are recorded in the log only. Resets `library` to null;
  // NPT_ERROR_INVALID_PARAMETERS for a null name; NPT_RESULT_FAILURE when the
  // library cannot be loaded (no OS error code is passed on). On success the
  // caller owns the new object.
  static NPT_Result Load(const char* name, NPT_Flags flags, NPT_DynamicLibrary*& library);

  ~NPT_DynamicLibrary() override;
  NPT_Result FindSymbol(const char* name, void*& symbol) override;
  NPT_Result Unload() override;

 private:
  explicit NPT_DynamicLibrary(NPT_DynamicLibraryInterface* delegate) : m_Delegate(delegate) {}
  NPT_DynamicLibrary(const NPT_DynamicLibrary&) = delete;
  NPT_DynamicLibrary& operator=(const NPT_DynamicLibrary&) = delete;

  NPT_DynamicLibraryInterface* m_Delegate;
};
