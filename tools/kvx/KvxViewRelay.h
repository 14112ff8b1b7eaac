#pragma once
// The web relay of `kvx view`: a small HTTP/1.0 server on the loopback
// interface only, serving the page (/ and /index.html: the live picture at its
// own size, and beside it the device, the URL, the current fps, the frame
// count, size and type, and a status line), the live stream (/stream,
// multipart/x-mixed-replace JPEG, which browsers show natively), the latest
// frame (/frame.jpg) from a FrameStore, and the status the page polls
// (/status, one JSON object). At most kMaxRelayClients connections at once;
// further ones are closed.
//
// Threads: one acceptor plus one thread per connection. Listen, Port and Stop
// belong to the owner's thread; Stop wakes and joins every thread.

#include "KvxFrameStore.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kvx_cli {

constexpr int kMaxRelayClients = 16;

class ViewRelay {
 public:
  // Gives the JSON object /status answers; called on connection threads.
  using StatusSource = std::function<std::string()>;

  // `store` must outlive the relay. `device` and `url` head the page (a
  // device name may be empty: streams from a URL have none).
  ViewRelay(FrameStore* store, StatusSource status, const std::string& device, const std::string& url);
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

  // Whether a page asked for the status within the last `seconds`: someone is
  // watching.
  bool Watched(double seconds) const;

 private:
  struct Client {
    int fd;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void AcceptLoop();
  // One browser connection: one request, then the page, the status, a frame
  // or the stream until the client leaves or the relay stops.
  void Serve(int fd);
  // Joins finished connections; m_Lock held.
  void Reap();

  FrameStore* m_Store;
  const StatusSource m_Status;
  const std::string m_Page;
  std::atomic<int64_t> m_LastStatusMs{-1};  // steady clock, milliseconds
  int m_Listener = -1;
  int m_Port = 0;
  std::atomic<bool> m_Stopping{false};
  std::thread m_Acceptor;
  std::mutex m_Lock;
  std::list<Client> m_Clients;
};

}  // namespace kvx_cli
