#pragma once
// Helpers shared by the tests of every layer. Plain POSIX and standard C++ only,
// so that they do not depend on the runtime they are used to test.

#include <string>

namespace kvx_test {

// Number of descriptors open in this process (counts /proc/self/fd).
int CountOpenDescriptors();

// Number of threads in this process (from /proc/self/status).
int CountThreads();

// Path of a file built by the project, relative to the build directory
// (e.g. "tests/doubles/usbmuxd_double/libusbmuxd-double.so").
std::string BuildPath(const std::string& relative);

// Path of a file in the source tree, relative to the repository root.
std::string SourcePath(const std::string& relative);

}  // namespace kvx_test
