// kvx-reader: one device stream of the library with a delegate that only
// counts, over plain TCP or through a simulated usbmux daemon (in this
// process: its relay thread's CPU time is counted with the reader's).
//   kvx-reader tcp|tunnel PORT TARGET
// Prints "frames=F bytes=B allocs_per_frame=A recv_per_frame=R worker_cpu=S"
// when the stream ends (A and R: heap allocations and recv calls of the
// stream's worker per frame after the first three; S: CPU seconds of the
// stream's worker thread alone).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BenchKvx.h"

int main(int argc, char** argv) {
  if (argc != 4 || (std::strcmp(argv[1], "tcp") != 0 && std::strcmp(argv[1], "tunnel") != 0)) {
    std::fprintf(stderr, "usage: kvx-reader tcp|tunnel PORT TARGET\n");
    return 2;
  }
  int port = std::atoi(argv[2]);
  kvx_bench::Tunnel tunnel;
  NPT_Int32 handle = 0;
  if (std::strcmp(argv[1], "tunnel") == 0) {
    std::string error;
    if (!tunnel.Start(port, &error)) {
      std::fprintf(stderr, "kvx-reader: %s\n", error.c_str());
      return 1;
    }
    handle = tunnel.Handle();
    port = 8099;
  }
  kvx_bench::CountingDelegate delegate;
  int status = 0;
  {
    std::unique_ptr<KVX_Device> device = kvx_bench::MakeDevice(port, argv[3], handle);
    device->SetDelegate(&delegate);
    device->Start("kvx-bench");
    if (!delegate.WaitForEnd(600000)) {
      std::fprintf(stderr, "kvx-reader: the stream did not end in time\n");
      status = 1;
    }
  }
  unsigned long frames = delegate.frames.load();
  double per_frame = frames > 3 ? double(delegate.allocations_at_last - delegate.allocations_at_warmup) / double(frames - 3) : -1;
  double receives = frames > 3 ? double(delegate.receives_at_last - delegate.receives_at_warmup) / double(frames - 3) : -1;
  std::printf("frames=%lu bytes=%llu allocs_per_frame=%.3f recv_per_frame=%.3f worker_cpu=%.6f\n", frames,
              delegate.bytes.load(), per_frame, receives, delegate.worker_cpu_seconds);
  return status;
}
