#pragma once
// The web relay of `kvx view`: a small HTTP/1.0 server on the loopback
// interface only, serving the page (/ and /index.html), the live stream
// (/stream, multipart/x-mixed-replace JPEG, which browsers show natively) and
// the latest frame (/frame.jpg) from a FrameStore. At most kMaxRelayClients
// connections at once; further ones are closed.
//
// Threads: one acceptor plus one thread per connection. Listen, Port and Stop
// belong to the owner's thread; Stop wakes and joins every thread.

#include "KvxFrameStore.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kvx_cli {

constexpr int kMaxRelayClients = 16;

class ViewRelay {
 public:
  // `store` must outlive the relay.
  explicit ViewRelay(FrameStore* store) : m_Store(store) {}
  ~ViewRelay() { Stop(); }
  ViewRelay(const ViewRelay&) = delete;
  ViewRelay& operator=(const ViewRelay&) = delete;

  // Binds 127.0.0.1:port (0: a free port) and starts serving. False, with a
  // one-line *error, when the port is taken or the socket fails.
  bool Listen(uint16_t port, std::string* error);
  int Port() const { return m_Port; }

  // Stops the store, ends every connection and joins every thread.
  // Idempotent.
  void Stop();

 private:
  struct Client {
    int fd;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void AcceptLoop();
  // Joins finished connections; m_Lock held.
  void Reap();

  FrameStore* m_Store;
  int m_Listener = -1;
  int m_Port = 0;
  std::atomic<bool> m_Stopping{false};
  std::thread m_Acceptor;
  std::mutex m_Lock;
  std::list<Client> m_Clients;
};

}  // namespace kvx_cli
