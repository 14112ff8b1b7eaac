// tunnel-direct: the "direct" reader (part headers through a 64 KiB buffer,
// each body received straight into a reused frame buffer, blocking socket)
// over a usbmux tunnel of the same in-process simulated daemon the library's
// tunnel reader uses, so the relay's pacing can be told apart from the
// library's own cost.
//   tunnel-direct PORT TARGET
// Prints "frames=F bytes=B worker_cpu=S" (S: CPU seconds of the reading
// thread alone, without the relay's threads).
#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "BenchKvx.h"
#include "KvxUSBMux.h"

namespace {

const size_t kBufferSize = 65536;

class DirectReader {
 public:
  explicit DirectReader(int fd) : m_Fd(fd), m_Buffer(kBufferSize) {}

  // Next line without its CR LF; false at the end of the stream.
  bool ReadLine(std::string& line) {
    for (;;) {
      char* begin = m_Buffer.data() + m_Start;
      char* newline = static_cast<char*>(std::memchr(begin, '\n', m_End - m_Start));
      if (newline) {
        size_t length = static_cast<size_t>(newline - begin);
        if (length > 0 && newline[-1] == '\r') --length;
        line.assign(begin, length);
        m_Start = static_cast<size_t>(newline - m_Buffer.data()) + 1;
        return true;
      }
      if (m_Start > 0) {
        std::memmove(m_Buffer.data(), begin, m_End - m_Start);
        m_End -= m_Start;
        m_Start = 0;
      }
      if (m_End == kBufferSize) return false;
      ssize_t got = ::recv(m_Fd, m_Buffer.data() + m_End, kBufferSize - m_End, 0);
      if (got <= 0) return false;
      m_End += static_cast<size_t>(got);
    }
  }

  // The body: buffered bytes first, then straight from the socket.
  bool ReadBody(char* frame, size_t length) {
    size_t have = m_End - m_Start < length ? m_End - m_Start : length;
    std::memcpy(frame, m_Buffer.data() + m_Start, have);
    m_Start += have;
    while (have < length) {
      ssize_t got = ::recv(m_Fd, frame + have, length - have, 0);
      if (got <= 0) return false;
      have += static_cast<size_t>(got);
    }
    return true;
  }

 private:
  int m_Fd;
  std::vector<char> m_Buffer;
  size_t m_Start = 0, m_End = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tunnel-direct PORT TARGET\n");
    return 2;
  }
  kvx_bench::Tunnel tunnel;
  std::string error;
  if (!tunnel.Start(std::atoi(argv[1]), &error)) {
    std::fprintf(stderr, "tunnel-direct: %s\n", error.c_str());
    return 1;
  }
  int fd = KVX_USBMux::GetDefault().Connect(tunnel.Handle(), 8099);
  if (fd < 0) {
    std::fprintf(stderr, "tunnel-direct: the tunnel was refused (%d)\n", fd);
    return 1;
  }
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::string request = std::string("GET ") + argv[2] + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    std::fprintf(stderr, "tunnel-direct: cannot send the request\n");
    return 1;
  }

  DirectReader reader(fd);
  std::string line;
  std::vector<char> frame;
  unsigned long long frames = 0, bytes = 0;
  while (reader.ReadLine(line) && !line.empty()) {
  }
  for (;;) {
    if (!reader.ReadLine(line)) break;
    if (line.empty()) continue;
    if (line.compare(0, 2, "--") != 0) break;
    if (line.size() >= 4 && line.compare(line.size() - 2, 2, "--") == 0) break;
    size_t length = 0;
    bool found = false;
    while (reader.ReadLine(line) && !line.empty()) {
      if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
        length = std::strtoul(line.c_str() + 15, nullptr, 10);
        found = true;
      }
    }
    if (!found) break;
    if (length > frame.size()) frame.resize(length);
    if (!reader.ReadBody(frame.data(), length)) break;
    ++frames;
    bytes += length;
  }
  struct timespec cpu;
  double worker = clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu) == 0 ? cpu.tv_sec + cpu.tv_nsec * 1e-9 : -1;
  ::close(fd);
  std::printf("frames=%llu bytes=%llu worker_cpu=%.6f\n", frames, bytes, worker);
  return 0;
}
