// Linux counterparts of the platform-specific test helpers: counts from /proc,
// BSD sockets, spawned processes.
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "TestSupport.h"

namespace kvx_test {

namespace {
sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}
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

long ProcessId() { return (long)::getpid(); }

void SetEnvironment(const char* name, const char* value) { setenv(name, value, 1); }

TemporaryDirectory::TemporaryDirectory(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) m_Path = pattern;
}

int raw::ListenOnLoopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int raw::ConnectToLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int raw::Accept(int listener) { return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }

bool raw::WaitReadable(int fd, int timeout_ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

bool raw::WaitWritable(int fd, int timeout_ms) {
  pollfd p = {fd, POLLOUT, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

void* OpenLibrary(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

void* FindLibrarySymbol(void* library, const char* name) { return dlsym(library, name); }

void CloseLibrary(void* library) { dlclose(library); }

long raw::Send(int fd, const void* data, size_t size) { return (long)send(fd, data, size, MSG_NOSIGNAL); }

long raw::Receive(int fd, void* buffer, size_t size) { return (long)recv(fd, buffer, size, 0); }

void raw::Close(int fd) { close(fd); }

bool raw::IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

using Clock = std::chrono::steady_clock;

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env_extra) {
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) return;
  std::vector<std::string> env;
  // An extra entry replaces the inherited one of the same name.
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& extra : env_extra) {
      replaced = replaced || entry.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
    }
    if (!replaced) env.push_back(entry);
  }
  for (const std::string& extra : env_extra) env.push_back(extra);
  std::vector<char*> cargv, cenv;
  for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const std::string& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);
  m_Pid = ::fork();
  if (m_Pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
    ::execve(cargv[0], cargv.data(), cenv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  m_In = in[1];
  m_Out = out[0];
  m_Err = err[0];
  ::fcntl(m_Out, F_SETFL, O_NONBLOCK);
  ::fcntl(m_Err, F_SETFL, O_NONBLOCK);
}

Process::~Process() {
  if (m_Pid > 0 && m_Status < 0) {
    ::kill(m_Pid, SIGKILL);
    ::waitpid(m_Pid, nullptr, 0);
  }
  for (int fd : {m_In, m_Out, m_Err}) {
    if (fd >= 0) ::close(fd);
  }
}

void Process::Write(const std::string& text) {
  if (m_In >= 0) {
    ssize_t n = ::write(m_In, text.data(), text.size());
    (void)n;
  }
}

void Process::CloseInput() {
  if (m_In >= 0) ::close(m_In);
  m_In = -1;
}

std::string Process::WaitForLine(const std::string& needle, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t start = m_Scanned;
    size_t eol;
    while ((eol = m_Stdout.find('\n', start)) != std::string::npos) {
      std::string line = m_Stdout.substr(start, eol - start);
      start = eol + 1;
      m_Scanned = start;
      if (line.find(needle) != std::string::npos) return line;
    }
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) return "";
    Pump(left > 100 ? 100 : left);
  }
}

int Process::Wait(int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (m_Status < 0) {
    int status = 0;
    pid_t r = ::waitpid(m_Pid, &status, WNOHANG);
    if (r == m_Pid) {
      m_Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (Clock::now() > deadline) {
      ::kill(m_Pid, SIGKILL);
      ::waitpid(m_Pid, nullptr, 0);
      m_Status = 1000;
      return -1;
    }
    Pump(20);
  }
  while (Pump(0)) {
  }
  return m_Status;
}

bool Process::WaitForStderr(const std::string& needle, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (m_Stderr.find(needle) == std::string::npos) {
    if (Clock::now() > deadline) return false;
    Pump(50);
  }
  return true;
}

void Process::Signal(int sig) { ::kill(m_Pid, sig); }

bool Process::Pump(int timeout_ms) {
  pollfd fds[2] = {{m_Out, POLLIN, 0}, {m_Err, POLLIN, 0}};
  if (::poll(fds, 2, timeout_ms) <= 0) return false;
  bool any = false;
  char buffer[8192];
  for (int i = 0; i < 2; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
    ssize_t n = ::read(fds[i].fd, buffer, sizeof(buffer));
    if (n > 0) {
      (i == 0 ? m_Stdout : m_Stderr).append(buffer, static_cast<size_t>(n));
      any = true;
    }
  }
  return any;
}

}  // namespace kvx_test
