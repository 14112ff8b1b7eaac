#pragma once
// A deliberately fast multipart/x-mixed-replace server for benchmarks. It
// pre-builds the bytes of a stream (boundary lines, part headers and bodies)
// once, and then only writes them with large send calls, so that a reader on
// the other side of the loopback interface is measured against a sender that
// costs as little as the kernel allows.
//
// Every GET gets one stream; the request target chooses it:
//   /<name>?frames=K[&stall=M][&pace_ms=P[&whole=1]]
// where <name> is a stream registered with AddStream. `stall=M` sends M
// frames and then half a part header, and holds the connection open until the
// client closes it or the server stops (a stalled device). `pace_ms=P` waits
// P ms before each frame and records when each frame's last byte was handed
// to the kernel (for latency trials run in the same process); a paced part
// goes out in three writes (headers, body, the CR LF after it), or with
// `whole=1` in one, as an app that builds each part before writing it.
//
// Plain POSIX and C++17, independent of the library it measures. Threads: one
// accept thread, one per connection. Stop wakes and joins all of them.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvx_bench {

// CLOCK_MONOTONIC in nanoseconds; the clock every latency figure uses.
int64_t NowNs();

class BenchServer {
 public:
  BenchServer();
  ~BenchServer();  // Stop()
  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;

  // Registers a stream of identical frames. Call before Start.
  void AddStream(const std::string& name, const std::string& content_type, std::vector<uint8_t> frame);

  // Listens on 127.0.0.1:port (0 picks one). The bound port, or -1.
  int Start(uint16_t port = 0);
  void Stop();
  int Port() const { return m_Port; }

  // Times (NowNs) at which paced frames' last bytes were written, in order,
  // since the last ClearWriteTimes. Only paced streams record.
  std::vector<int64_t> WriteTimes() const;
  void ClearWriteTimes();
  // Streams that reached their stall point and are holding the connection.
  int Stalled() const { return m_Stalled.load(); }

 private:
  struct Stream {
    std::string part_header;  // boundary line + part headers + blank line
    std::vector<uint8_t> frame;
    std::vector<uint8_t> block;  // whole parts back to back, >= 4 MiB for small frames
    uint64_t parts_per_block = 0;
  };
  void AcceptLoop();
  void Serve(int fd);
  bool SendAll(int fd, const void* data, size_t size);

  std::map<std::string, Stream> m_Streams;
  int m_Listener = -1;
  int m_Port = -1;
  int m_WakePipe[2] = {-1, -1};
  std::atomic<bool> m_Stopping{false};
  std::atomic<int> m_Stalled{0};
  std::thread m_Acceptor;
  mutable std::mutex m_Lock;
  std::vector<std::thread> m_Workers;
  std::vector<int> m_Open;
  std::vector<int64_t> m_WriteTimes;
};

}  // namespace kvx_bench
