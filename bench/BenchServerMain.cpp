// bench-server: serves the benchmark streams until its standard input closes.
//   bench-server JPEG_FILE [PORT]
// Streams: /jpeg (the file), /rgb (1920x1080x3), /rgba (3840x2160x4). Prints
// "PORT <n>" once listening.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "BenchServer.h"

namespace {
std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> frame(size);
  for (size_t i = 0; i < size; ++i) frame[i] = static_cast<uint8_t>((i * 7) ^ (i >> 11));
  return frame;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench-server JPEG_FILE [PORT]\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  std::vector<uint8_t> jpeg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) {
    std::fprintf(stderr, "bench-server: %s is not a JPEG file\n", argv[1]);
    return 2;
  }
  kvx_bench::BenchServer server;
  server.AddStream("jpeg", "image/jpeg", std::move(jpeg));
  server.AddStream("rgb", "image/rgb", Pattern(1920 * 1080 * 3));
  server.AddStream("rgba", "image/rgba", Pattern(3840 * 2160 * 4));
  int port = server.Start(argc > 2 ? static_cast<uint16_t>(std::atoi(argv[2])) : 0);
  if (port < 0) {
    std::fprintf(stderr, "bench-server: cannot listen\n");
    return 1;
  }
  std::printf("PORT %d\n", port);
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  server.Stop();
  return 0;
}
