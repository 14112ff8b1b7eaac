// `kvx view`: relays a device's stream to a local web page. The page embeds
// the relay as multipart/x-mixed-replace JPEG, which browsers show natively;
// raw frames are encoded to JPEG for it (their dimensions come from --size).
// The relay listens on the loopback interface only.
#include "KvxCli.h"
#include "KvxDevice.h"
#include "KvxDiscovery.h"
#include "KvxUSBController.h"
#include "TestPattern.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace kvx_cli {
namespace {

const char kUsage[] =
    "usage: kvx view (--device NAME | --url URL... [--handle H]) [--port P] [--size WxH]\n"
    "                [--seconds S] [--client NAME]\n"
    "\n"
    "Streams from an app and shows the live image on a web page at\n"
    "http://127.0.0.1:P/ (loopback only) until Ctrl-C or S seconds. The stream\n"
    "itself is at /stream (multipart/x-mixed-replace JPEG), the latest frame\n"
    "at /frame.jpg.\n"
    "\n"
    "  --port P     relay port (default 8090; 0 picks a free one)\n"
    "  --size WxH   dimensions of raw image/rgb and image/rgba frames\n";

const char kBoundary[] = "kvxframe";
constexpr int kMaxClients = 16;

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

// The latest frame as JPEG, shared between the device's worker and the
// relay's connections.
class FrameStore : public KVX_DeviceDelegate {
 public:
  FrameStore(int width, int height) : m_Width(width), m_Height(height) {}

  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) override {
    std::string type = content_type ? content_type : "";
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::vector<uint8_t> jpeg;
    if (type == "image/jpeg") {
      jpeg.assign(data, data + size);
    } else {
      const int channels = type == "image/rgb" ? 3 : type == "image/rgba" ? 4 : 0;
      if (channels == 0 || m_Width <= 0 ||
          size != static_cast<NPT_UInt64>(m_Width) * static_cast<NPT_UInt64>(m_Height) * channels ||
          !kvx_sim::EncodeJpeg(data, m_Width, m_Height, channels, 85, &jpeg)) {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Skipped++;
        return;
      }
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Frame = std::make_shared<const std::vector<uint8_t>>(std::move(jpeg));
    m_Generation++;
    m_Changed.notify_all();
  }
  void OnConnection() override {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Connected = true;
  }
  void OnDisconnection() override {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Ended = true;
    m_Changed.notify_all();
  }

  // Waits (up to `ms`) for a frame newer than *generation; null on time-out,
  // stop or the end of the stream.
  std::shared_ptr<const std::vector<uint8_t>> Next(uint64_t* generation, int ms) {
    std::unique_lock<std::mutex> guard(m_Lock);
    m_Changed.wait_for(guard, std::chrono::milliseconds(ms),
                       [&] { return m_Stopping || m_Ended || m_Generation > *generation; });
    if (m_Stopping || m_Generation <= *generation || !m_Frame) return nullptr;
    *generation = m_Generation;
    return m_Frame;
  }
  void Stop() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Stopping = true;
    m_Changed.notify_all();
  }
  bool Stopping() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Stopping;
  }
  void Status(bool* connected, bool* ended, uint64_t* frames, uint64_t* skipped) {
    std::lock_guard<std::mutex> guard(m_Lock);
    *connected = m_Connected;
    *ended = m_Ended;
    *frames = m_Generation;
    *skipped = m_Skipped;
  }

 private:
  const int m_Width, m_Height;
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  std::shared_ptr<const std::vector<uint8_t>> m_Frame;
  uint64_t m_Generation = 0;
  uint64_t m_Skipped = 0;
  bool m_Connected = false;
  bool m_Ended = false;
  bool m_Stopping = false;
};

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

// The relay's listener and its connections.
class Relay {
 public:
  explicit Relay(FrameStore* store) : m_Store(store) {}
  ~Relay() { Stop(); }

  // Binds 127.0.0.1:port. False, with *error, when the port is taken.
  bool Listen(uint16_t port, std::string* error) {
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
  int Port() const { return m_Port; }

  // Ends every connection and joins every thread.
  void Stop() {
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

 private:
  struct Client {
    int fd;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void AcceptLoop() {
    while (!m_Stopping) {
      pollfd pfd{m_Listener, POLLIN, 0};
      if (::poll(&pfd, 1, 100) <= 0) continue;
      int fd = ::accept4(m_Listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> guard(m_Lock);
      Reap();
      if (static_cast<int>(m_Clients.size()) >= kMaxClients) {
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
  // Joins finished connections; m_Lock held.
  void Reap() {
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

  FrameStore* m_Store;
  int m_Listener = -1;
  int m_Port = 0;
  std::atomic<bool> m_Stopping{false};
  std::thread m_Acceptor;
  std::mutex m_Lock;
  std::list<Client> m_Clients;
};

}  // namespace

int RunView(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  const std::vector<OptionSpec> setups = {{"--url", true, true},     {"--handle", true, false},
                                         {"--device", true, false}, {"--port", true, false},
                                         {"--size", true, false},   {"--seconds", true, false},
                                         {"--client", true, false}};
  if (!ParseArgs(args, setups, &parsed, &error)) return Fail("view", kExitUsage, error);
  if (parsed.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (parsed.Has("--url") == parsed.Has("--device")) {
    return Fail("view", kExitUsage, "give either --url URL... or --device NAME");
  }
  if (parsed.Has("--handle") && !parsed.Has("--url")) return Fail("view", kExitUsage, "--handle goes with --url");
  uint64_t number = 0;
  int32_t handle = 0;
  if (parsed.Has("--handle")) {
    if (!ParseUnsigned(parsed.Get("--handle"), 0, 0x7FFFFFFF, &number)) {
      return Fail("view", kExitUsage, "--handle needs a whole number from 0 to 2147483647");
    }
    handle = static_cast<int32_t>(number);
  }
  uint64_t port = 8090;
  if (parsed.Has("--port") && !ParseUnsigned(parsed.Get("--port"), 0, 65535, &port)) {
    return Fail("view", kExitUsage, "--port needs a number from 0 to 65535");
  }
  int width = 0, height = 0;
  if (parsed.Has("--size") && !kvx_sim::ParseSize(parsed.Get("--size").c_str(), &width, &height)) {
    return Fail("view", kExitUsage, "--size needs WIDTHxHEIGHT, e.g. 640x480");
  }
  double seconds = 0;
  if (parsed.Has("--seconds") && !ParseSeconds(parsed.Get("--seconds"), 1e7, &seconds)) {
    return Fail("view", kExitUsage, "--seconds needs a positive number");
  }
  NPT_List<NPT_HttpUrl> urls;
  for (const std::string& text : parsed.All("--url")) {
    NPT_HttpUrl url(text.c_str());
    if (!url.IsValid()) return Fail("view", kExitUsage, "bad URL '" + text + "' (expected http://HOST[:PORT]/PATH)");
    urls.Add(url);
  }
  InstallInterruptHandler();

  FrameStore store(width, height);
  Relay relay(&store);
  if (!relay.Listen(static_cast<uint16_t>(port), &error)) return Fail("view", kExitFailure, "error: " + error);

  std::unique_ptr<KVX_USBController> controller;
  AppWatcher watcher;
  if (parsed.Has("--device")) {
    const std::string name = parsed.Get("--device");
    controller.reset(new KVX_USBController());
    controller->SetDelegate(&watcher);
    FoundApp app;
    if (!watcher.WaitFor(name, 10, &app)) {
      controller.reset();
      if (g_Interrupted.load()) return Fail("view", kExitFailure, "interrupted");
      return Fail("view", kExitFailure, "error: no device named \"" + name + "\" found within 10 s");
    }
    urls.Add(NPT_HttpUrl(app.url.c_str()));
    handle = app.handle;
  }

  std::unique_ptr<KVX_Device> device(new KVX_Device(urls, handle));
  device->SetDelegate(&store);
  if (NPT_FAILED(device->Start(parsed.Get("--client", "kvx-view").c_str()))) {
    return Fail("view", kExitFailure, "error: cannot start the stream");
  }
  std::printf("kvx view: open http://127.0.0.1:%d/ in a browser (Ctrl-C to stop)\n", relay.Port());
  std::fflush(stdout);

  const auto start = std::chrono::steady_clock::now();
  bool connected = false, ended = false;
  uint64_t frames = 0, skipped = 0;
  while (!g_Interrupted.load(std::memory_order_acquire)) {
    store.Status(&connected, &ended, &frames, &skipped);
    if (ended) break;
    if (seconds > 0 && std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= seconds) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  device->Abort();
  device.reset();
  relay.Stop();
  controller.reset();
  store.Status(&connected, &ended, &frames, &skipped);
  std::printf("kvx view: relayed %llu frames%s\n", static_cast<unsigned long long>(frames),
              skipped ? (", skipped " + std::to_string(skipped) + " raw frames without --size").c_str() : "");
  if (!connected) return Fail("view", kExitFailure, "error: could not stream from the app");
  return kExitOk;
}

}  // namespace kvx_cli
