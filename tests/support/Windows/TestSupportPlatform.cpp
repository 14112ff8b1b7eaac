// Windows counterparts of the platform-specific test helpers: the process's
// handle count stands for its descriptors (sockets, files, events and threads
// are all handles), a Tool Help snapshot counts its threads, Windows Sockets
// (started here for the tests' own use) carry the loopback peers.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "TestSupport.h"

namespace kvx_test {

namespace {
struct StartWinsock {
  StartWinsock() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~StartWinsock() { WSACleanup(); }
} g_StartWinsock;

// Socket handles are kernel handles, whose values fit in 32 bits.
int ToFd(SOCKET s) { return s == INVALID_SOCKET ? -1 : (int)s; }
SOCKET ToSocket(int fd) { return fd < 0 ? INVALID_SOCKET : (SOCKET)fd; }

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}
}  // namespace

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

long ProcessId() { return (long)GetCurrentProcessId(); }

// The C runtime's copy of the environment, which getenv reads.
void SetEnvironment(const char* name, const char* value) { _putenv_s(name, value); }

TemporaryDirectory::TemporaryDirectory(const std::string& prefix) {
  char base[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof(base), base);
  if (length == 0 || length > MAX_PATH) return;
  std::string root(base, length);
  while (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  static std::atomic<unsigned> s_Counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = root + "\\" + prefix + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(s_Counter++) + "-" + std::to_string(GetTickCount());
    if (CreateDirectoryA(path.c_str(), nullptr)) {
      m_Path = path;
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return;
  }
}

int raw::ListenOnLoopback(uint16_t* port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  sockaddr_in address = LoopbackAddress(0);
  int length = sizeof(address);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(s, 64) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(s);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return ToFd(s);
}

int raw::ConnectToLoopback(int port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  sockaddr_in address = LoopbackAddress(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    closesocket(s);
    return -1;
  }
  return ToFd(s);
}

int raw::Accept(int listener) { return ToFd(accept(ToSocket(listener), nullptr, nullptr)); }

bool raw::WaitReadable(int fd, int timeout_ms) {
  WSAPOLLFD p = {ToSocket(fd), POLLRDNORM, 0};
  return WSAPoll(&p, 1, timeout_ms) == 1;
}

bool raw::WaitWritable(int fd, int timeout_ms) {
  WSAPOLLFD p = {ToSocket(fd), POLLWRNORM, 0};
  return WSAPoll(&p, 1, timeout_ms) == 1;
}

// Build paths are ASCII, with either slash.
void* OpenLibrary(const std::string& path) {
  std::wstring wide(path.begin(), path.end());
  return (void*)LoadLibraryW(wide.c_str());
}

void* FindLibrarySymbol(void* library, const char* name) {
  return library ? (void*)GetProcAddress((HMODULE)library, name) : nullptr;
}

void CloseLibrary(void* library) {
  if (library) FreeLibrary((HMODULE)library);
}

long raw::Send(int fd, const void* data, size_t size) {
  return (long)send(ToSocket(fd), static_cast<const char*>(data), (int)size, 0);
}

long raw::Receive(int fd, void* buffer, size_t size) {
  return (long)recv(ToSocket(fd), static_cast<char*>(buffer), (int)size, 0);
}

void raw::Close(int fd) { closesocket(ToSocket(fd)); }

bool raw::IsOpen(int fd) {
  int type = 0;
  int length = sizeof(type);
  return getsockopt(ToSocket(fd), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0;
}

}  // namespace kvx_test
