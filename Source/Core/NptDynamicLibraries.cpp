// The portable library object forwards every operation to its platform
// object; Load, which creates that object, lives in the platform layer.

#include "NptDynamicLibraries.h"

NPT_DynamicLibrary::~NPT_DynamicLibrary() { delete m_Delegate; }

NPT_Result NPT_DynamicLibrary::FindSymbol(const char* name, void*& symbol) {
  return m_Delegate->FindSymbol(name, symbol);
}

NPT_Result NPT_DynamicLibrary::Unload() { return m_Delegate->Unload(); }
