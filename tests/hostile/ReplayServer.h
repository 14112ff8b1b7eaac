#pragma once
// A loopback server that answers every connection, each on its own thread, with the same recorded
// bytes: it reads the request head (bounded in size and time), writes the
// answer, then closes the connection, or holds it open until Stop when asked
// to play a peer that stalls. Plain loopback sockets of the test support, so
// that it shares nothing with the runtime under test. Header-only; used by
// the reliability tests of several layers.

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace kvx_hostile {

class ReplayServer {
 public:
  // `answer` is written to every connection. `hold_open`: keep the connection
  // open after the answer until Stop (a stalled peer). `chunk`: write in
  // pieces of this size with a short pause between them (0: all at once).
  explicit ReplayServer(std::string answer, bool hold_open = false, size_t chunk = 0)
      : m_Answer(std::move(answer)), m_HoldOpen(hold_open), m_Chunk(chunk) {}
  ~ReplayServer() { Stop(); }
  ReplayServer(const ReplayServer&) = delete;
  ReplayServer& operator=(const ReplayServer&) = delete;

  // Listens on 127.0.0.1 at a port of the system's choosing; the port, or 0.
  int Start() {
    uint16_t port = 0;
    m_Listener = kvx_test::raw::ListenOnLoopback(&port);
    if (m_Listener < 0) return 0;
    m_Port = port;
    m_Thread = std::thread([this] { Serve(); });
    return m_Port;
  }

  // Ends the server and every connection it holds; idempotent.
  void Stop() {
    m_Stopping.store(true);
    if (m_Thread.joinable()) m_Thread.join();
    if (m_Listener >= 0) kvx_test::raw::Close(m_Listener);
    m_Listener = -1;
  }

  int Port() const { return m_Port; }
  int Connections() const { return m_Connections.load(); }
  // True once an answer has been fully written to some connection.
  bool Answered() const { return m_Answered.load(); }

 private:
  // Waits up to `ms` for `fd` to be readable (or writable); false when
  // stopping.
  bool Wait(int fd, bool writable, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!m_Stopping.load()) {
      bool ready = writable ? kvx_test::raw::WaitWritable(fd, 2) : kvx_test::raw::WaitReadable(fd, 2);
      if (ready) return true;
      if (std::chrono::steady_clock::now() > end) return false;
    }
    return false;
  }

  // One thread per connection, so that a client holding one connection idle
  // (a liveness tunnel) does not keep the next from being answered.
  void Serve() {
    std::vector<std::thread> connections;
    while (Wait(m_Listener, false, 1 << 30)) {
      int connection = kvx_test::raw::Accept(m_Listener);
      if (connection < 0) continue;
      ++m_Connections;
      connections.emplace_back([this, connection] { Handle(connection); });
    }
    for (std::thread& thread : connections) thread.join();
  }

  void Handle(int connection) {
    Answer(connection);
    if (m_HoldOpen) {
      // Drain until the client leaves or we stop; never answer more.
      char sink[4096];
      while (Wait(connection, false, 1 << 30)) {
        if (kvx_test::raw::Receive(connection, sink, sizeof(sink)) <= 0) break;
      }
    }
    kvx_test::raw::Close(connection);
  }

  void Answer(int connection) {
    // The request head: up to an empty line, at most 64 KiB, within 5 s.
    std::string head;
    char buffer[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
      if (!Wait(connection, false, 5000)) return;
      long count = kvx_test::raw::Receive(connection, buffer, sizeof(buffer));
      if (count <= 0) return;
      head.append(buffer, static_cast<size_t>(count));
    }
    size_t sent = 0;
    while (sent < m_Answer.size()) {
      if (!Wait(connection, true, 10000)) return;
      size_t piece = m_Answer.size() - sent;
      if (m_Chunk && piece > m_Chunk) piece = m_Chunk;
      long count = kvx_test::raw::Send(connection, m_Answer.data() + sent, piece);
      if (count <= 0) return;
      sent += static_cast<size_t>(count);
      if (m_Chunk) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_Answered.store(true);
  }

  std::string m_Answer;
  bool m_HoldOpen;
  size_t m_Chunk;
  int m_Listener = -1;
  int m_Port = 0;
  std::thread m_Thread;
  std::atomic<bool> m_Stopping{false};
  std::atomic<int> m_Connections{0};
  std::atomic<bool> m_Answered{false};
};

}  // namespace kvx_hostile
