// tunnel-direct: the "direct" reader (part headers through a 64 KiB buffer,
// each body received straight into a reused frame buffer, blocking socket)
// over a usbmux tunnel of the same in-process simulated daemon the library's
// tunnel reader uses, so the relay's pacing can be told apart from the
// library's own cost.
//   tunnel-direct PORT TARGET
// Prints "frames=F bytes=B worker_cpu=S" (S: CPU seconds of the reading
// thread alone, without the relay's threads).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "BenchKvx.h"
#include "direct_reader.h"
#include "KvxUSBMux.h"

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

  unsigned long long frames = 0, bytes = 0;
  if (direct_read_frames(fd, &frames, &bytes) != 0) {
    std::fprintf(stderr, "tunnel-direct: out of memory\n");
    return 1;
  }
  struct timespec cpu;
  double worker = clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu) == 0 ? cpu.tv_sec + cpu.tv_nsec * 1e-9 : -1;
  ::close(fd);
  std::printf("frames=%llu bytes=%llu worker_cpu=%.6f\n", frames, bytes, worker);
  return 0;
}
