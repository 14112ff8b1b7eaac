#pragma once
// Helpers shared by the tests of every layer. Plain OS calls and standard C++
// only, so that they do not depend on the runtime they are used to test; the
// OS-specific ones live in support/<Linux|Windows>/.

#include <string>

namespace kvx_test {

// Number of descriptors open in this process (Linux: /proc/self/fd; Windows:
// the process's handle count, sockets included). Compare counts, never values
// across platforms.
int CountOpenDescriptors();

// Number of threads in this process (Linux: /proc/self/status; Windows: a
// thread snapshot).
int CountThreads();

// A directory for temporary files (TMPDIR or /tmp; the Windows temp folder),
// without a trailing separator.
std::string TemporaryDirectory();

// This process's id.
long ProcessId();

// Sets an environment variable of this process (replacing its value).
void SetEnvironment(const char* name, const char* value);

// Path of a file built by the project, relative to the build directory
// (e.g. "tests/doubles/usbmuxd_double/libusbmuxd-double.so").
std::string BuildPath(const std::string& relative);

// Path of a file in the source tree, relative to the repository root.
std::string SourcePath(const std::string& relative);

}  // namespace kvx_test
