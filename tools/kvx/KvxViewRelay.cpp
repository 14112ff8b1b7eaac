#include "KvxViewRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace kvx_cli {
namespace {

const char kBoundary[] = "kvxframe";

const char kPage[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>kvx view</title>\n"
    "<style>body{background:#202020;color:#ddd;font-family:sans-serif;text-align:center}"
    "img{max-width:95vw;max-height:85vh;border:1px solid #555}</style></head>\n"
    "<body><h3>kvx view</h3><img src=\"/stream\" alt=\"live stream\"></body></html>\n";

bool SendAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Serves one browser connection: one request, then the page, a frame or the
// stream until the client leaves or the relay stops.
void ServeClient(int fd, FrameStore* store) {
  std::string head;
  char buffer[2048];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
    if (head.size() > 16384 || store->Stopping() || std::chrono::steady_clock::now() > deadline) return;
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 100) <= 0) continue;
    ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return;
    head.append(buffer, static_cast<size_t>(n));
  }
  char method[16] = {0}, target[1024] = {0};
  if (std::sscanf(head.c_str(), "%15s %1023s", method, target) != 2) return;
  std::string path = target;
  path = path.substr(0, path.find('?'));
  const bool head_only = std::strcmp(method, "HEAD") == 0;
  if (std::strcmp(method, "GET") != 0 && !head_only) {
    const char reply[] = "HTTP/1.0 405 Method Not Allowed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    SendAll(fd, reply, sizeof(reply) - 1);
    return;
  }
  if (path == "/" || path == "/index.html") {
    std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                        std::to_string(sizeof(kPage) - 1) + "\r\nConnection: close\r\n\r\n";
    if (!head_only) reply += kPage;
    SendAll(fd, reply.data(), reply.size());
  } else if (path == "/frame.jpg") {
    uint64_t generation = 0;
    auto frame = store->Next(&generation, 5000);
    if (!frame) {
      const char reply[] = "HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      SendAll(fd, reply, sizeof(reply) - 1);
      return;
    }
    std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                        std::to_string(frame->size()) + "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
    if (SendAll(fd, reply.data(), reply.size()) && !head_only) SendAll(fd, frame->data(), frame->size());
  } else if (path == "/stream") {
    std::string reply = std::string("HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=") +
                        kBoundary + "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
    if (!SendAll(fd, reply.data(), reply.size()) || head_only) return;
    uint64_t generation = 0;
    while (!store->Stopping()) {
      auto frame = store->Next(&generation, 200);
      if (!frame) continue;
      std::string part = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                         std::to_string(frame->size()) + "\r\n\r\n";
      if (!SendAll(fd, part.data(), part.size()) || !SendAll(fd, frame->data(), frame->size()) ||
          !SendAll(fd, "\r\n", 2)) {
        return;
      }
    }
  } else {
    const char reply[] = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    SendAll(fd, reply, sizeof(reply) - 1);
  }
}

}  // namespace

bool ViewRelay::Listen(uint16_t port, std::string* error) {
  m_Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_Listener < 0) {
    *error = std::string("cannot create a socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  ::setsockopt(m_Listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(m_Listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(m_Listener, 16) != 0) {
    *error = errno == EADDRINUSE ? "port " + std::to_string(port) + " is in use"
                                 : "cannot listen on port " + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  socklen_t length = sizeof(address);
  ::getsockname(m_Listener, reinterpret_cast<sockaddr*>(&address), &length);
  m_Port = ntohs(address.sin_port);
  m_Acceptor = std::thread([this] { AcceptLoop(); });
  return true;
}

void ViewRelay::Stop() {
  m_Store->Stop();
  m_Stopping = true;
  if (m_Acceptor.joinable()) m_Acceptor.join();
  std::list<Client> clients;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    for (Client& client : m_Clients) ::shutdown(client.fd, SHUT_RDWR);
    clients.swap(m_Clients);
  }
  for (Client& client : clients) {
    client.thread.join();
    ::close(client.fd);
  }
  if (m_Listener >= 0) ::close(m_Listener);
  m_Listener = -1;
}

void ViewRelay::AcceptLoop() {
  while (!m_Stopping) {
    pollfd pfd{m_Listener, POLLIN, 0};
    if (::poll(&pfd, 1, 100) <= 0) continue;
    int fd = ::accept4(m_Listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> guard(m_Lock);
    Reap();
    if (static_cast<int>(m_Clients.size()) >= kMaxRelayClients) {
      ::close(fd);
      continue;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    FrameStore* store = m_Store;
    m_Clients.push_back(Client{fd, std::thread([fd, store, done] {
                                 ServeClient(fd, store);
                                 ::shutdown(fd, SHUT_RDWR);
                                 done->store(true);
                               }),
                               done});
  }
}

void ViewRelay::Reap() {
  for (auto it = m_Clients.begin(); it != m_Clients.end();) {
    if (it->done->load()) {
      it->thread.join();
      ::close(it->fd);
      it = m_Clients.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace kvx_cli
