#pragma once
// A stand-in for the companion app on a device: a loopback HTTP server that
// answers the identity probe ("HEAD") and serves a multipart/x-mixed-replace
// frame stream ("GET"), and that misbehaves on demand so that clients can be
// tested against broken peers. It is written against plain POSIX and the C++
// standard library only (not against our runtime), so that it judges our HTTP
// client independently.
//
// Threads: one accept thread, one thread per connection. Every public member is
// thread-safe. Stop wakes every thread (accept, request reads, paced waits,
// stalls, blocked writes) and joins it; it does not wait out time-outs. A
// connection thread inside a FrameSource callback is joined when the callback
// returns.
//
// One request per connection unless `keep_alive` is set; a GET stream always
// ends the connection. Request heads are limited to 16 KiB and 100 header
// lines (431), request bodies to 64 KiB (413, read and dropped otherwise);
// at most 64 connections are served at once, further ones are closed at once.
// No exception leaves this API.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kvx_sim {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// What the simulator does wrong. "Frame N" is AppSimConfig::misbehaviour_frame,
// counted from 0.
enum class Misbehaviour {
  kNone,
  kStatus404,              // every request: "404 Not Found" with a short text body
  kStatus500,              // every request: "500 Internal Server Error"
  kTextPlain,              // GET: 200 with Content-Type text/plain and a text body
  kMalformedPartHeader,    // frame N: the Content-Length line is replaced by
                           // `malformed_header_line`; the stream then goes on
  kStallAfterFrames,       // GET: after N complete frames no more bytes; the
                           // connection stays open until the client closes it,
                           // DropConnections or Stop
  kCloseMidFrame,          // frame N: headers and the first size/2 body bytes,
                           // then the connection is closed
  kLengthBigger,           // frame N: declares size + length_lie bytes, sends
                           // size bytes, then closes (the body ends early)
  kLengthSmaller,          // frame N: declares size - length_lie bytes (at
                           // least 1), sends all size bytes, the stream goes on
  kLengthZeroUntilClose,   // frame N: declares "Content-Length: 0", sends the
                           // body, then closes (the body runs to the close)
  kStallBeforeResponse,    // every request: read, recorded, never answered
  kCloseWithoutResponse,   // every request: read, recorded, connection closed
};

// Ways of writing a stream that a lenient reader may or may not accept.
struct StreamQuirks {
  bool boundary_leading_dashes = false;  // parameter "boundary=--frame"
  bool boundary_quoted = false;          // parameter "boundary=\"frame\""
  bool extra_spaces = false;             // "multipart/x-mixed-replace ;  boundary=..."
                                         // and "Content-Type:   image/jpeg  " in parts
  bool length_before_type = false;       // part headers in swapped order
  bool upper_case_types = false;         // MULTIPART/X-MIXED-REPLACE; Boundary=, IMAGE/JPEG
  int empty_lines_between_parts = 0;     // extra empty lines after each body's CR LF
  bool bare_lf = false;                  // stream lines end in LF instead of CR LF
  std::string preamble;                  // bytes sent before the first delimiter, as is
  bool closing_delimiter = true;         // "--b--" after the last frame of a finite stream
  std::string extra_part_header;         // a third header line in every part, e.g. "X-Time: 1"
  bool chunked = false;                  // body with "Transfer-Encoding: chunked"
                                         // (status line "HTTP/1.1")
  bool interim_continue = false;         // a "HTTP/1.1 100 Continue" block first
};

// Produces the bytes of frame `seq` into `frame` (resized by the callee) and may
// change `content_type` (preset to the configured one). Returning false ends the
// stream as if the frame count had been reached. Called on connection threads,
// possibly several at once.
using FrameSource =
    std::function<bool(uint64_t seq, std::vector<uint8_t>& frame, std::string& content_type)>;

// Checks an "X-LUMOX-AUTH" value. Called on connection threads.
using AuthVerifier = std::function<bool(const std::string& token)>;

struct AppSimConfig {
  // Identity answered to HEAD.
  std::string device_name = "Simulated Device";
  bool send_device_name = true;          // false: no "X-DEVICENAME" header
  std::string server_name = "kvx-app-sim/1.0";
  std::string redirect_location;         // not empty: HEAD answers 302 with this "Location"
  bool redirect_get = false;             // GET answers the same 302 too
  std::string accepted_path;             // not empty: other request targets get 404

  // Authentication: without a verifier the library's token check is used.
  bool require_auth = false;             // missing or failing token: 403
  AuthVerifier auth_verifier;

  std::string http_version = "HTTP/1.0"; // status line protocol
  bool keep_alive = false;               // serve further requests after HEAD and errors
  HeaderList extra_response_headers;     // appended to every response's headers

  // The frame stream.
  std::string frame_content_type = "image/jpeg";  // any text
  size_t frame_size = 1024;              // 1 byte up to tens of megabytes
  uint64_t frame_count = 10;             // 0: endless
  double frames_per_second = 0;          // 0: as fast as the client reads
  FrameSource frame_source;              // empty: FillFrame payloads
  std::string boundary = "frame";        // delimiter lines are "--" + boundary
  std::string content_type_override;     // not empty: the response's Content-Type, as is
  StreamQuirks quirks;

  Misbehaviour misbehaviour = Misbehaviour::kNone;
  uint64_t misbehaviour_frame = 0;
  uint64_t length_lie = 100;
  std::string malformed_header_line = "Content-Length 1024";
};

// One request as received.
struct RequestRecord {
  std::string method;
  std::string target;
  std::string version;
  HeaderList headers;        // in arrival order, names and values as sent (value
                             // without the blanks after the colon and before CR LF)
  std::string raw_head;      // the request head bytes, up to and including the empty line
  bool auth_ok = false;      // a token was present and verified
  int status = 0;            // status code answered (0: none)
};

class AppSimulator {
 public:
  AppSimulator();
  explicit AppSimulator(AppSimConfig config);
  ~AppSimulator();  // Stop
  AppSimulator(const AppSimulator&) = delete;
  AppSimulator& operator=(const AppSimulator&) = delete;

  // Replaces the configuration; requests read after this call use the new one.
  void SetConfig(AppSimConfig config);
  AppSimConfig GetConfig() const;

  // Listens on 127.0.0.1 (port 0 picks a free port). Returns the bound port,
  // or -1 (already running, socket errors).
  int Start(uint16_t port = 0);
  // Wakes and joins every thread, closes every socket. Idempotent; may be
  // called while clients are connected, mid-write or in a stall.
  void Stop();
  int Port() const { return port_.load(std::memory_order_acquire); }

  // Shuts down every open connection (the app going away, or closing an idle
  // connection). The server keeps accepting.
  void DropConnections();
  // Writes `bytes` on every connection that is waiting for its first request
  // byte (an idle liveness connection). Returns how many got them.
  int SendToIdleConnections(const std::string& bytes);

  // Observations for tests.
  std::vector<RequestRecord> Requests() const;
  size_t RequestCount() const;
  int ConnectionsOpen() const { return open_.load(std::memory_order_acquire); }
  uint64_t ConnectionsAccepted() const { return accepted_.load(std::memory_order_acquire); }
  uint64_t FramesSent() const { return frames_sent_.load(std::memory_order_acquire); }
  // Wait (bounded) until at least `count` requests were recorded / exactly
  // `count` connections are open / some connection has stalled since Start
  // (kStallAfterFrames, kStallBeforeResponse). True on success.
  bool WaitForRequests(size_t count, int timeout_ms) const;
  bool WaitForConnectionsOpen(int count, int timeout_ms) const;
  bool WaitForStall(int timeout_ms) const;
  // Wait (bounded) until exactly `count` connections wait for the first byte
  // of a request (the ones SendToIdleConnections would write to).
  bool WaitForIdleConnections(int count, int timeout_ms) const;

 private:
  struct Connection;
  class Session;
  friend class Session;

  void AcceptLoop();
  void ReapFinished(std::vector<std::unique_ptr<Connection>>* finished);
  void Notify();

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  AppSimConfig config_;
  std::vector<RequestRecord> requests_;
  std::list<std::unique_ptr<Connection>> connections_;
  int listen_fd_ = -1;
  int wake_read_ = -1;
  int wake_write_ = -1;
  bool running_ = false;
  bool stalled_ = false;
  std::thread acceptor_;
  std::atomic<int> port_{-1};
  std::atomic<bool> stopping_{false};
  std::atomic<int> open_{0};
  std::atomic<uint64_t> accepted_{0};
  std::atomic<uint64_t> frames_sent_{0};
};

}  // namespace kvx_sim
