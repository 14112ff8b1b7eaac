// Loading shared libraries and looking up symbols, including every failure
// path the usbmux binding relies on.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "NptDynamicLibraries.h"
#include "TestSupport.h"

namespace {

// A pointer value no operation would produce, to see out-parameters reset.
NPT_DynamicLibrary* const kStaleLibrary = reinterpret_cast<NPT_DynamicLibrary*>(0x1);
void* const kStaleSymbol = reinterpret_cast<void*>(0x1);

const char* const kMathLibrary = "libm.so.6";

std::string NoUnsubscribeDouble() {
  return kvx_test::UsbmuxdDoubleNoUnsubscribePath();
}

bool IsResident(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (!handle) return false;
  dlclose(handle);
  return true;
}

TEST(DynamicLibraryTest, LoadFailures) {
  struct Case {
    const char* name;
    NPT_Result expected;
  } cases[] = {
      {nullptr, NPT_ERROR_INVALID_PARAMETERS},
      {"libkvx-no-such-library.so", NPT_RESULT_FAILURE},
      {"/nonexistent/dir/libm.so.6", NPT_RESULT_FAILURE},
      {"", NPT_RESULT_FAILURE},
  };
  for (const Case& c : cases) {
    NPT_DynamicLibrary* library = kStaleLibrary;
    EXPECT_EQ(NPT_DynamicLibrary::Load(c.name, 0, library), c.expected) << (c.name ? c.name : "(null)");
    if (c.name) {
      EXPECT_EQ(library, nullptr);
    }
  }
}

TEST(DynamicLibraryTest, FindSymbolAndItsFailures) {
  NPT_DynamicLibrary* library = nullptr;
  ASSERT_EQ(NPT_DynamicLibrary::Load(kMathLibrary, 0x10, library), NPT_SUCCESS);
  ASSERT_NE(library, nullptr);

  void* symbol = kStaleSymbol;
  ASSERT_EQ(library->FindSymbol("cos", symbol), NPT_SUCCESS);
  ASSERT_NE(symbol, nullptr);
  EXPECT_EQ(reinterpret_cast<double (*)(double)>(symbol)(0.0), 1.0);

  symbol = kStaleSymbol;
  EXPECT_EQ(library->FindSymbol("kvx_no_such_symbol", symbol), NPT_ERROR_NO_SUCH_ITEM);
  EXPECT_EQ(symbol, nullptr);
  EXPECT_EQ(library->FindSymbol(nullptr, symbol), NPT_ERROR_INVALID_PARAMETERS);

  // Once unloaded there is no module: lookups fail and a second unload is
  // refused rather than handing a stale handle to the loader.
  EXPECT_EQ(library->Unload(), NPT_SUCCESS);
  symbol = kStaleSymbol;
  EXPECT_EQ(library->FindSymbol("cos", symbol), NPT_ERROR_NO_SUCH_ITEM);
  EXPECT_EQ(symbol, nullptr);
  EXPECT_EQ(library->Unload(), NPT_RESULT_FAILURE);
  delete library;
}

TEST(DynamicLibraryTest, DestroyKeepsTheModuleLoadedUntilUnload) {
  const std::string path = NoUnsubscribeDouble();
  ASSERT_FALSE(IsResident(path)) << "another test left the double loaded";
  // Some loaders never unmap (a thread-sanitizer runtime keeps instrumented
  // modules); residency then says nothing about Unload.
  void* probe = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(probe, nullptr) << path;
  dlclose(probe);
  if (IsResident(path)) GTEST_SKIP() << "this loader keeps closed modules mapped";

  NPT_DynamicLibrary* library = nullptr;
  ASSERT_EQ(NPT_DynamicLibrary::Load(path.c_str(), 0, library), NPT_SUCCESS) << path;
  void* symbol = nullptr;
  EXPECT_EQ(library->FindSymbol("usbmuxd_connect", symbol), NPT_SUCCESS);
  EXPECT_NE(symbol, nullptr);
  EXPECT_EQ(library->FindSymbol("usbmuxd_unsubscribe", symbol), NPT_ERROR_NO_SUCH_ITEM);
  delete library;
  EXPECT_TRUE(IsResident(path));

  // Loading again gives a second object over the same module; its Unload
  // releases one reference, so one reference is still held by the first load.
  ASSERT_EQ(NPT_DynamicLibrary::Load(path.c_str(), 0, library), NPT_SUCCESS);
  EXPECT_EQ(library->Unload(), NPT_SUCCESS);
  delete library;
  EXPECT_TRUE(IsResident(path));

  // Release the reference the destroyed object left behind.
  void* leftover = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(leftover, nullptr);
  dlclose(leftover);
  dlclose(leftover);
  EXPECT_FALSE(IsResident(path));
}

}  // namespace
