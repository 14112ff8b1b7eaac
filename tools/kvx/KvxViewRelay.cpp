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
#include <utility>

namespace kvx_cli {
namespace {

const char kBoundary[] = "kvxframe";

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

// The page. The picture sits at its own size at the top left (so that what
// a browser shows can be compared with the frames), the panel beside it; the
// script polls /status twice a second. @DEVICE@ and @URL@ are filled in,
// escaped, when the relay is made.
const char kPage[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>kvx view</title>\n"
    "<style>body{margin:0;background:#202020;color:#ddd;font-family:sans-serif}"
    "#live{position:absolute;left:16px;top:16px;max-width:calc(100vw - 360px);max-height:calc(100vh - 32px)}"
    "#panel{position:absolute;right:16px;top:8px;width:300px;font-size:15px}"
    "#panel td{padding:3px 8px 3px 0;vertical-align:top}#panel td:first-child{color:#999}"
    "#status{margin-top:12px;font-weight:bold}</style></head>\n"
    "<body><img id=\"live\" src=\"/stream\" alt=\"live stream\">\n"
    "<div id=\"panel\"><h3>kvx view</h3><table>\n"
    "<tr><td>device</td><td id=\"device\">@DEVICE@</td></tr>\n"
    "<tr><td>url</td><td id=\"url\">@URL@</td></tr>\n"
    "<tr><td>fps</td><td id=\"fps\">-</td></tr>\n"
    "<tr><td>frames</td><td id=\"frames\">0</td></tr>\n"
    "<tr><td>frame</td><td id=\"frame\">-</td></tr>\n"
    "</table><div id=\"status\">connecting</div></div>\n"
    "<script>\n"
    "function show(id,text){document.getElementById(id).textContent=text;}\n"
    "function poll(){fetch('/status',{cache:'no-store'}).then(function(r){return r.json();}).then(function(s){\n"
    "  show('fps',s.fps.toFixed(1));show('frames',s.frames);\n"
    "  if(s.width)show('frame',s.width+'x'+s.height+' '+s.type);\n"
    "  show('status',s.state=='ended'?'stream ended: '+s.reason:s.state);\n"
    "  if(s.state!='ended')setTimeout(poll,500);\n"
    "}).catch(function(){show('status','kvx view has stopped');});}\n"
    "poll();\n"
    "</script></body></html>\n";

// Text as HTML character data.
std::string HtmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string MakePage(const std::string& device, const std::string& url) {
  std::string page = kPage;
  page.replace(page.find("@DEVICE@"), 8, device.empty() ? std::string("-") : HtmlEscape(device));
  page.replace(page.find("@URL@"), 5, HtmlEscape(url));
  return page;
}

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SendStatic(int fd, const char* reply) { SendAll(fd, reply, std::strlen(reply)); }

}  // namespace

ViewRelay::ViewRelay(FrameStore* store, StatusSource status, const std::string& device, const std::string& url)
    : m_Store(store), m_Status(std::move(status)), m_Page(MakePage(device, url)) {}

bool ViewRelay::Watched(double seconds) const {
  const int64_t last = m_LastStatusMs.load(std::memory_order_acquire);
  return last >= 0 && SteadyMs() - last <= static_cast<int64_t>(seconds * 1000);
}

void ViewRelay::Serve(int fd) {
  FrameStore* store = m_Store;
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
    SendStatic(fd, "HTTP/1.0 405 Method Not Allowed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }
  if (path == "/" || path == "/index.html") {
    std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                        std::to_string(m_Page.size()) + "\r\nConnection: close\r\n\r\n";
    if (!head_only) reply += m_Page;
    SendAll(fd, reply.data(), reply.size());
  } else if (path == "/status") {
    m_LastStatusMs.store(SteadyMs(), std::memory_order_release);
    const std::string status = m_Status();
    std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                        std::to_string(status.size()) + "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
    if (!head_only) reply += status;
    SendAll(fd, reply.data(), reply.size());
  } else if (path == "/frame.jpg") {
    uint64_t generation = 0;
    auto frame = store->Next(&generation, 5000);
    if (!frame) {
      SendStatic(fd, "HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
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
    SendStatic(fd, "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  }
}

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
    m_Clients.push_back(Client{fd, std::thread([this, fd, done] {
                                 Serve(fd);
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
