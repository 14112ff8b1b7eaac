#include "TestSupport.h"

#include <thread>

namespace kvx_test {

namespace {
// Sanitizer runtimes start a helper thread of their own when a process creates
// its first thread. Creating one before any test runs keeps that helper out of
// the thread counts the tests compare.
struct StartRuntimeHelpersEarly {
  StartRuntimeHelpersEarly() { std::thread([] {}).join(); }
} g_StartRuntimeHelpersEarly;
}  // namespace

std::string BuildPath(const std::string& relative) { return std::string(KVX_BINARY_DIR) + "/" + relative; }

std::string SourcePath(const std::string& relative) { return std::string(KVX_SOURCE_DIR) + "/" + relative; }

}  // namespace kvx_test
