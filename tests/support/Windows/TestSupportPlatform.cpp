// Windows counterparts of the platform-specific test helpers: the process's
// handle count stands for its descriptors (sockets, files, events and threads
// are all handles), a Tool Help snapshot counts its threads.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdlib>

#include "TestSupport.h"

namespace kvx_test {

int CountOpenDescriptors() {
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return -1;
  return (int)count;
}

int CountThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  const DWORD self = GetCurrentProcessId();
  int count = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

std::string TemporaryDirectory() {
  char path[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof(path), path);
  if (length == 0 || length > MAX_PATH) return ".";
  std::string result(path, length);
  while (!result.empty() && (result.back() == '\\' || result.back() == '/')) result.pop_back();
  return result;
}

long ProcessId() { return (long)GetCurrentProcessId(); }

// The C runtime's copy of the environment, which getenv reads.
void SetEnvironment(const char* name, const char* value) { _putenv_s(name, value); }

}  // namespace kvx_test
