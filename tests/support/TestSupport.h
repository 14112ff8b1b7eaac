#pragma once
// Helpers shared by the tests of every layer. Plain OS calls and standard C++
// only, so that they do not depend on the runtime they are used to test
// (helpers that need the runtime live in headers of their own, such as
// ScriptedInputStream.h). What differs by OS is in support/<Linux|Windows>/.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kvx_test {

// Number of descriptors open in this process (Linux: /proc/self/fd; Windows:
// the process's handle count, sockets included). Compare counts, never values
// across platforms.
int CountOpenDescriptors();

// Number of threads in this process (Linux: /proc/self/status; Windows: a
// thread snapshot).
int CountThreads();

// This process's id.
long ProcessId();

// Sets an environment variable of this process (replacing its value).
void SetEnvironment(const char* name, const char* value);

// Path of a file built by the project, relative to the build directory
// (e.g. "tests/windows/c-program-frames").
std::string BuildPath(const std::string& relative);

// Paths of the usbmux client library double (tests/doubles/usbmuxd_double):
// the full one (on Windows the DLL is libusbmuxd.dll, the name the library
// loads by default) and the one without usbmuxd_unsubscribe.
std::string UsbmuxdDoublePath();
std::string UsbmuxdDoubleNoUnsubscribePath();

// A shared library loaded by path, for tests that reach into a double without
// the runtime under test: the handle or null; a symbol's address or null.
void* OpenLibrary(const std::string& path);
void* FindLibrarySymbol(void* library, const char* name);
void CloseLibrary(void* library);

// Path of a file in the source tree, relative to the repository root.
std::string SourcePath(const std::string& relative);

// Milliseconds on the steady clock since `since`.
long ElapsedMs(std::chrono::steady_clock::time_point since);

// Asks `done` every few milliseconds until it holds (true) or `timeout_ms`
// pass (false). The bound is a hang guard: pass a generous one.
bool WaitUntil(const std::function<bool()>& done, int timeout_ms);

// A fresh private directory (under /tmp; the user's temporary folder on
// Windows), removed with everything in it when
// the object goes. Path() is empty when it could not be created.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(const std::string& prefix = "kvx-test");
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::string& Path() const { return m_Path; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const { return m_Path + "/" + name; }

 private:
  std::string m_Path;
};

// Plain loopback sockets for the tests' own peers, independent of the
// runtime under test. A descriptor is an int on every platform (a Windows
// socket handle fits); -1 means none.
namespace raw {
// A listening TCP socket on 127.0.0.1 at a port of the system's choosing,
// stored in `port`; -1 on failure.
int ListenOnLoopback(uint16_t* port);
// A blocking TCP connection to 127.0.0.1:port, or -1.
int ConnectToLoopback(int port);
// The next pending connection of `listener`, or -1.
int Accept(int listener);
// True when `fd` is readable (data, end or error) within `timeout_ms`.
bool WaitReadable(int fd, int timeout_ms);
// True when `fd` can take more bytes (or has an error) within `timeout_ms`.
bool WaitWritable(int fd, int timeout_ms);
// One send or receive call: the byte count, 0 at the peer's end (receive),
// -1 on failure. Sending never raises a signal.
long Send(int fd, const void* data, size_t size);
long Receive(int fd, void* buffer, size_t size);
// Sends all of `bytes`; false when the connection fails first.
bool SendAll(int fd, const std::string& bytes);
void Close(int fd);
// True while `fd` is an open socket (false once it has been closed).
bool IsOpen(int fd);
}  // namespace raw

// A TCP listener on 127.0.0.1 at a port of the system's choosing. It owns
// the connections it accepts and closes them, and itself, when it goes.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  bool IsOpen() const { return m_Fd >= 0; }
  uint16_t Port() const { return m_Port; }
  // True when a connection waits to be accepted within `timeout_ms`.
  bool HasPending(int timeout_ms);
  // The next connection's descriptor (still owned by the listener), or -1
  // when none comes within 20 seconds (a hang guard).
  int Accept();

 private:
  int m_Fd = -1;
  uint16_t m_Port = 0;
  std::vector<int> m_Accepted;
};

// A blocking TCP client connected to 127.0.0.1:port, closed when it goes.
class LoopbackClient {
 public:
  explicit LoopbackClient(int port);
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  bool Connected() const { return m_Fd >= 0; }
  int Descriptor() const { return m_Fd; }
  void Close();
  // Sends all of `bytes`; false when the connection fails first.
  bool Send(const std::string& bytes);
  // Appends what arrives to `out` until the peer ends the connection (true),
  // or `timeout_ms` pass or `out` holds at least `limit` bytes (false). A reset counts
  // as the end.
  bool ReadToEnd(std::string* out, int timeout_ms, size_t limit = SIZE_MAX);
  // True when nothing arrives for `ms` and the connection stays open.
  bool QuietFor(int ms);

 private:
  int m_Fd = -1;
};

// A spawned process with pipes on its standard input, output and error (Linux
// only). The destructor kills and reaps whatever is still running. `env_extra` entries
// ("NAME=VALUE") are added to (or replace those of) this process's
// environment for it.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::vector<std::string>& env_extra = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Started() const { return m_Pid > 0; }
  void Write(const std::string& text);
  void CloseInput();
  // Waits until standard output holds a complete line, not returned or
  // skipped before, containing `needle`; returns the line, or "" at the
  // deadline.
  std::string WaitForLine(const std::string& needle, int timeout_ms);
  // Waits (bounded) for the exit, collecting all output. The exit status, or
  // -1 when the deadline passed (the process is then killed).
  int Wait(int timeout_ms);
  // Waits (bounded) until standard error contains `needle`.
  bool WaitForStderr(const std::string& needle, int timeout_ms);
  void Signal(int sig);
  const std::string& Stdout() const { return m_Stdout; }
  const std::string& Stderr() const { return m_Stderr; }

 private:
  // Reads what is available; false when nothing was read.
  bool Pump(int timeout_ms);

  int m_Pid = -1;
  int m_In = -1, m_Out = -1, m_Err = -1;
  int m_Status = -1;
  std::string m_Stdout, m_Stderr;
  size_t m_Scanned = 0;
};

}  // namespace kvx_test
