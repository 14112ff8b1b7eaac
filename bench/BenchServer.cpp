// Benchmark multipart server: POSIX sockets, one thread per connection.
#include "BenchServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kvx_bench {

namespace {
const char kBoundary[] = "kvxbenchframe";
const size_t kMinBlock = 4u << 20;
const size_t kMaxRequestHead = 16 * 1024;

// The value of `key` in a query string, or `fallback`.
uint64_t QueryValue(const std::string& query, const std::string& key, uint64_t fallback) {
  size_t at = 0;
  while (at <= query.size()) {
    size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    std::string pair = query.substr(at, end - at);
    if (pair.size() > key.size() && pair.compare(0, key.size(), key) == 0 && pair[key.size()] == '=') {
      return std::strtoull(pair.c_str() + key.size() + 1, nullptr, 10);
    }
    at = end + 1;
  }
  return fallback;
}
}  // namespace

int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

BenchServer::BenchServer() {}
BenchServer::~BenchServer() { Stop(); }

void BenchServer::AddStream(const std::string& name, const std::string& content_type, std::vector<uint8_t> frame) {
  Stream& stream = m_Streams[name];
  stream.part_header = std::string("--") + kBoundary + "\r\nContent-Type: " + content_type +
                       "\r\nContent-Length: " + std::to_string(frame.size()) + "\r\n\r\n";
  stream.frame = std::move(frame);
  size_t part = stream.part_header.size() + stream.frame.size() + 2;
  stream.parts_per_block = std::max<size_t>(1, kMinBlock / part);
  if (stream.parts_per_block > 1) {
    stream.block.reserve(part * stream.parts_per_block);
    for (uint64_t i = 0; i < stream.parts_per_block; ++i) {
      stream.block.insert(stream.block.end(), stream.part_header.begin(), stream.part_header.end());
      stream.block.insert(stream.block.end(), stream.frame.begin(), stream.frame.end());
      stream.block.push_back('\r');
      stream.block.push_back('\n');
    }
  }
}

int BenchServer::Start(uint16_t port) {
  if (m_Listener >= 0) return -1;
  if (pipe(m_WakePipe) != 0) return -1;
  m_Stopping = false;
  m_Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_Listener < 0) return -1;
  int one = 1;
  setsockopt(m_Listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(m_Listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(m_Listener, 64) != 0 ||
      getsockname(m_Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(m_Listener);
    m_Listener = -1;
    return -1;
  }
  m_Port = ntohs(address.sin_port);
  m_Acceptor = std::thread([this] { AcceptLoop(); });
  return m_Port;
}

void BenchServer::Stop() {
  if (m_Listener < 0) return;
  m_Stopping = true;
  if (write(m_WakePipe[1], "x", 1) < 0) {
  }
  shutdown(m_Listener, SHUT_RDWR);
  if (m_Acceptor.joinable()) m_Acceptor.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    for (int fd : m_Open) shutdown(fd, SHUT_RDWR);
    workers.swap(m_Workers);
  }
  for (auto& worker : workers) worker.join();
  close(m_Listener);
  m_Listener = -1;
  close(m_WakePipe[0]);
  close(m_WakePipe[1]);
  m_WakePipe[0] = m_WakePipe[1] = -1;
}

std::vector<int64_t> BenchServer::WriteTimes() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_WriteTimes;
}

void BenchServer::ClearWriteTimes() {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_WriteTimes.clear();
}

void BenchServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{m_Listener, POLLIN, 0}, {m_WakePipe[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (m_Stopping || fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(m_Listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (m_Stopping) return;
      continue;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Open.push_back(fd);
    m_Workers.emplace_back([this, fd] { Serve(fd); });
  }
}

bool BenchServer::SendAll(int fd, const void* data, size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t sent = send(fd, at, size, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    at += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

void BenchServer::Serve(int fd) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead) {
    ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    head.append(buffer, static_cast<size_t>(got));
  }
  std::string target;
  if (head.compare(0, 4, "GET ") == 0) {
    size_t end = head.find(' ', 4);
    if (end != std::string::npos) target = head.substr(4, end - 4);
  }
  std::string path = target.substr(0, target.find('?'));
  std::string query = target.find('?') == std::string::npos ? "" : target.substr(target.find('?') + 1);
  auto found = m_Streams.find(path.empty() ? "" : path.substr(1));
  if (found == m_Streams.end()) {
    SendAll(fd, "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n", 45);
  } else {
    const Stream& stream = found->second;
    uint64_t frames = QueryValue(query, "frames", 100);
    uint64_t stall = QueryValue(query, "stall", UINT64_MAX);
    uint64_t pace_ms = QueryValue(query, "pace_ms", 0);
    std::vector<uint8_t> whole_part;
    if (pace_ms > 0 && QueryValue(query, "whole", 0) == 1) {
      whole_part.assign(stream.part_header.begin(), stream.part_header.end());
      whole_part.insert(whole_part.end(), stream.frame.begin(), stream.frame.end());
      whole_part.push_back('\r');
      whole_part.push_back('\n');
    }
    std::string response = std::string("HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=") +
                           kBoundary + "\r\nCache-Control: no-cache\r\n\r\n";
    bool ok = SendAll(fd, response.data(), response.size());
    uint64_t sent = 0;
    if (stall != UINT64_MAX || pace_ms > 0 || stream.parts_per_block == 1) {
      // Frame by frame: stalls, pacing and large frames.
      while (ok && sent < frames && !m_Stopping) {
        if (sent == stall) break;
        if (pace_ms > 0) {
          pollfd wake = {m_WakePipe[0], POLLIN, 0};
          if (poll(&wake, 1, static_cast<int>(pace_ms)) != 0) break;
        }
        if (!whole_part.empty()) {
          ok = SendAll(fd, whole_part.data(), whole_part.size());
        } else {
          ok = SendAll(fd, stream.part_header.data(), stream.part_header.size()) &&
               SendAll(fd, stream.frame.data(), stream.frame.size());
        }
        if (ok && pace_ms > 0) {
          int64_t now = NowNs();
          std::lock_guard<std::mutex> lock(m_Lock);
          m_WriteTimes.push_back(now);
        }
        ok = ok && (!whole_part.empty() || SendAll(fd, "\r\n", 2));
        ++sent;
      }
    } else {
      while (ok && frames - sent >= stream.parts_per_block && !m_Stopping) {
        ok = SendAll(fd, stream.block.data(), stream.block.size());
        sent += stream.parts_per_block;
      }
      size_t part = stream.block.size() / stream.parts_per_block;
      if (ok && sent < frames) ok = SendAll(fd, stream.block.data(), part * (frames - sent));
      sent = frames;
    }
    if (ok && sent == stall) {
      // Half a part header, then hold the connection until the peer leaves.
      SendAll(fd, stream.part_header.data(), stream.part_header.size() / 2);
      ++m_Stalled;
      pollfd fds[2] = {{fd, POLLIN | POLLRDHUP, 0}, {m_WakePipe[0], POLLIN, 0}};
      while (poll(fds, 2, -1) < 0 && errno == EINTR) {
      }
      --m_Stalled;
    } else if (ok) {
      std::string close_line = std::string("--") + kBoundary + "--\r\n";
      SendAll(fd, close_line.data(), close_line.size());
    }
  }
  shutdown(fd, SHUT_WR);
  // Let the reader take the last bytes before the descriptor goes.
  pollfd drain = {fd, POLLIN, 0};
  poll(&drain, 1, 1000);
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Open.erase(std::remove(m_Open.begin(), m_Open.end(), fd), m_Open.end());
  close(fd);
}

}  // namespace kvx_bench
