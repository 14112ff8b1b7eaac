#include "TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
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
#include <filesystem>
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

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

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

std::string BuildPath(const std::string& relative) { return std::string(KVX_BINARY_DIR) + "/" + relative; }

std::string SourcePath(const std::string& relative) { return std::string(KVX_SOURCE_DIR) + "/" + relative; }

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TemporaryDirectory::TemporaryDirectory(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) m_Path = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  if (m_Path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(m_Path, ignored);
}

LoopbackListener::LoopbackListener() {
  m_Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_Fd < 0) return;
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof(address);
  if (bind(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(m_Fd, 64) != 0 ||
      getsockname(m_Fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(m_Fd);
    m_Fd = -1;
    return;
  }
  m_Port = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  for (int fd : m_Accepted) close(fd);
  if (m_Fd >= 0) close(m_Fd);
}

bool LoopbackListener::HasPending(int timeout_ms) {
  pollfd p = {m_Fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

int LoopbackListener::Accept() {
  if (!HasPending(2000)) return -1;
  int fd = accept4(m_Fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) m_Accepted.push_back(fd);
  return fd;
}

LoopbackClient::LoopbackClient(int port) {
  m_Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_Fd < 0) return;
  sockaddr_in address = LoopbackAddress(port);
  if (connect(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) Close();
}

LoopbackClient::~LoopbackClient() { Close(); }

void LoopbackClient::Close() {
  if (m_Fd >= 0) close(m_Fd);
  m_Fd = -1;
}

bool LoopbackClient::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(m_Fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool LoopbackClient::ReadToEnd(std::string* out, int timeout_ms, size_t limit) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<char> buffer(1 << 16);
  while (out->size() < limit) {
    int left = MillisecondsUntil(deadline);
    if (left <= 0) return false;
    pollfd p = {m_Fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) return false;
    ssize_t n = recv(m_Fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) return true;
    out->append(buffer.data(), static_cast<size_t>(n));
  }
  return false;
}

bool LoopbackClient::QuietFor(int ms) {
  pollfd p = {m_Fd, POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

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
