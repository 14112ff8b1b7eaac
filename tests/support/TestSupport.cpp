#include "TestSupport.h"

#include <dirent.h>

#include <fstream>
#include <sstream>
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

int CountOpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int count = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory stream's own descriptor
}

int CountThreads() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) {
      std::istringstream value(line.substr(8));
      int threads = -1;
      value >> threads;
      return threads;
    }
  }
  return -1;
}

std::string BuildPath(const std::string& relative) { return std::string(KVX_BINARY_DIR) + "/" + relative; }

std::string SourcePath(const std::string& relative) { return std::string(KVX_SOURCE_DIR) + "/" + relative; }

}  // namespace kvx_test
