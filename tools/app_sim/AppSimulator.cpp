// App simulator: loopback sockets (AppSimSockets.h) and std::thread; see
// AppSimulator.h.
#include "AppSimulator.h"

#include "AppSimSockets.h"
#include "FramePattern.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace kvx_sim {

// Defined in AppSimAuth.cpp: the library's token check.
bool VerifyTokenWithLibrary(const std::string& token);

namespace {

// Bounds on what a client may send: a request head larger than this, or with
// more header lines, is refused; request bodies are read and dropped up to
// kMaxRequestBody bytes.
constexpr size_t kMaxRequestHead = 16 * 1024;
constexpr size_t kMaxRequestHeaders = 100;
constexpr size_t kMaxRequestBody = 64 * 1024;
constexpr int kMaxConnections = 64;
// How long a closing connection waits for the client's end of the stream, so
// that unread request bytes do not turn the close into a reset that would
// destroy response bytes still in flight.
constexpr int kLingerMs = 1000;
// Frames up to this size are written together with their part headers.
constexpr size_t kCoalesceLimit = 64 * 1024;

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string ToUpper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    default: return "Status";
  }
}

const std::string* FindHeader(const HeaderList& headers, const char* name) {
  for (const auto& h : headers) {
    if (EqualsNoCase(h.first, name)) return &h.second;
  }
  return nullptr;
}

enum class Wait { kReady, kWoken, kTimeout, kError };
constexpr bool kReadable = false;  // WaitFor's argument
constexpr bool kWritable = true;

}  // namespace

struct AppSimulator::Connection {
  int fd = -1;          // guarded by mutex_; closed by the connection's thread
  bool idle = true;     // guarded by mutex_: waiting for the first byte of a request
  bool done = false;    // guarded by mutex_: the thread has left its body
  std::thread thread;
};

// One connection's work, on its own thread.
class AppSimulator::Session {
 public:
  Session(AppSimulator* sim, Connection* conn, int fd)
      : sim_(sim), conn_(conn), fd_(fd), wake_(sim->wake_read_) {}

  void Run() {
    for (;;) {
      RequestRecord record;
      int status = 0;
      if (!ReadRequest(&record, &status)) break;
      AppSimConfig config;
      {
        std::lock_guard<std::mutex> lock(sim_->mutex_);
        config = sim_->config_;
      }
      const std::string* token = FindHeader(record.headers, "X-LUMOX-AUTH");
      if (token && status == 0) {
        record.auth_ok = config.auth_verifier ? config.auth_verifier(*token)
                                              : VerifyTokenWithLibrary(*token);
      }
      // Recorded before answering, so that tests see requests whose answer
      // stalls or streams for a long time.
      {
        std::lock_guard<std::mutex> lock(sim_->mutex_);
        index_ = sim_->requests_.size();
        sim_->requests_.push_back(std::move(record));
      }
      sim_->changed_.notify_all();
      bool keep = false;
      if (status == 0) {
        keep = Answer(config);
      } else {
        SetStatus(status);
        Respond(config, status, HeaderList(), std::string(Reason(status)) + "\n", false);
      }
      if (!keep) break;
    }
    Linger();
  }

 private:
  // --- waiting and raw I/O -------------------------------------------------

  Wait WaitFor(bool writable, int timeout_ms) {
    net::PollResult n = net::Poll(fd_, !writable, writable, wake_, timeout_ms);
    if (n == net::PollResult::kError) return Wait::kError;
    if (n == net::PollResult::kWoken || sim_->stopping_.load(std::memory_order_acquire)) return Wait::kWoken;
    if (n == net::PollResult::kTimeout) return Wait::kTimeout;
    return Wait::kReady;  // readable, writable, hang-up or error: the next call tells
  }

  bool Sleep(int timeout_ms) {
    net::PollResult n = net::Poll(-1, false, false, wake_, timeout_ms);
    return n == net::PollResult::kTimeout && !sim_->stopping_.load(std::memory_order_acquire);
  }

  bool SendAll(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      long n = net::Send(fd_, p, size);
      if (n > 0) {
        p += n;
        size -= static_cast<size_t>(n);
        continue;
      }
      if (n == net::kRetry) {
        if (WaitFor(kWritable, -1) != Wait::kReady) return false;
        continue;
      }
      return false;
    }
    return true;
  }

  bool SendAll(const std::string& s) { return SendAll(s.data(), s.size()); }

  // Body bytes: raw, or as one chunk when the response is chunked.
  bool Body(const void* data, size_t size) {
    if (size == 0) return true;
    if (chunked_) {
      char head[32];
      std::snprintf(head, sizeof(head), "%zx\r\n", size);
      if (!SendAll(head, std::strlen(head))) return false;
      if (!SendAll(data, size)) return false;
      return SendAll("\r\n", 2);
    }
    return SendAll(data, size);
  }

  bool Body(const std::string& s) { return Body(s.data(), s.size()); }

  // Keeps the connection open without sending, until the client closes it,
  // the connection is dropped or the simulator stops.
  void Stall() {
    {
      std::lock_guard<std::mutex> lock(sim_->mutex_);
      sim_->stalled_ = true;
    }
    sim_->changed_.notify_all();
    char sink[4096];
    for (;;) {
      if (WaitFor(kReadable, -1) != Wait::kReady) return;
      long n = net::Recv(fd_, sink, sizeof(sink));
      if (n == 0 || n == -1) return;
    }
  }

  // Ends our direction and waits briefly for the client's end.
  void Linger() {
    net::ShutdownWrite(fd_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLingerMs);
    char sink[4096];
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return;
      if (WaitFor(kReadable, static_cast<int>(left)) != Wait::kReady) return;
      long n = net::Recv(fd_, sink, sizeof(sink));
      if (n == 0 || n == -1) return;
    }
  }

  // --- the request ----------------------------------------------------------

  // Reads one request head (and drops its body). False: the client closed,
  // failed or the simulator stops before a complete head (nothing to answer).
  // *status != 0: the request cannot be served and gets that status.
  bool ReadRequest(RequestRecord* record, int* status) {
    *status = 0;
    size_t head_end = std::string::npos;
    size_t scanned = 0;
    for (;;) {
      head_end = FindHeadEnd(&scanned);
      if (head_end != std::string::npos) break;
      if (in_.size() > kMaxRequestHead) {
        record->raw_head = in_.substr(0, kMaxRequestHead);
        *status = 431;
        return true;
      }
      if (in_.empty()) SetIdle(true);
      if (WaitFor(kReadable, -1) != Wait::kReady) return false;
      // Leaving the idle state under the lock keeps SendToIdleConnections
      // from writing into a response.
      SetIdle(false);
      char buf[4096];
      long n = net::Recv(fd_, buf, sizeof(buf));
      if (n == net::kRetry) continue;
      if (n <= 0) return false;
      in_.append(buf, static_cast<size_t>(n));
    }
    if (head_end > kMaxRequestHead) {
      record->raw_head = in_.substr(0, kMaxRequestHead);
      *status = 431;
      return true;
    }
    record->raw_head = in_.substr(0, head_end);
    in_.erase(0, head_end);
    *status = ParseHead(record->raw_head, record);
    if (*status != 0) return true;

    const std::string* length = FindHeader(record->headers, "Content-Length");
    if (FindHeader(record->headers, "Transfer-Encoding")) {
      *status = 501;
      return true;
    }
    if (length) {
      size_t body = 0;
      for (char c : *length) {
        if (c < '0' || c > '9' || body > kMaxRequestBody) {
          *status = c < '0' || c > '9' ? 400 : 413;
          return true;
        }
        body = body * 10 + static_cast<size_t>(c - '0');
      }
      if (length->empty()) *status = 400;
      if (body > kMaxRequestBody) *status = 413;
      if (*status != 0) return true;
      while (in_.size() < body) {
        if (WaitFor(kReadable, -1) != Wait::kReady) return false;
        char buf[4096];
        long n = net::Recv(fd_, buf, sizeof(buf));
        if (n == net::kRetry) continue;
        if (n <= 0) return false;
        in_.append(buf, static_cast<size_t>(n));
      }
      in_.erase(0, body);
    }
    return true;
  }

  void SetIdle(bool idle) {
    {
      std::lock_guard<std::mutex> lock(sim_->mutex_);
      if (conn_->idle == idle) return;
      conn_->idle = idle;
    }
    sim_->changed_.notify_all();
  }

  // Offset just past the empty line that ends the head in in_, or npos.
  size_t FindHeadEnd(size_t* scanned) {
    for (size_t i = *scanned; i < in_.size(); ++i) {
      if (in_[i] != '\n') continue;
      if (i >= 1 && in_[i - 1] == '\n') return i + 1;
      if (i >= 2 && in_[i - 1] == '\r' && in_[i - 2] == '\n') return i + 1;
    }
    *scanned = in_.size();
    return std::string::npos;
  }

  static int ParseHead(const std::string& head, RequestRecord* record) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < head.size()) {
      size_t end = head.find('\n', start);
      if (end == std::string::npos) end = head.size();
      std::string line = head.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      start = end + 1;
    }
    // The last line is the empty one that ends the head.
    if (lines.empty() || lines.back().size() != 0) return 400;
    lines.pop_back();
    if (lines.empty()) return 400;
    const std::string& request_line = lines[0];
    size_t sp1 = request_line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : request_line.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos || sp1 == 0 || sp2 == sp1 + 1 ||
        request_line.find(' ', sp2 + 1) != std::string::npos) {
      return 400;
    }
    record->method = request_line.substr(0, sp1);
    record->target = request_line.substr(sp1 + 1, sp2 - sp1 - 1);
    record->version = request_line.substr(sp2 + 1);
    if (record->version.compare(0, 5, "HTTP/") != 0) return 400;
    if (lines.size() - 1 > kMaxRequestHeaders) return 431;
    for (size_t i = 1; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      size_t colon = line.find(':');
      if (colon == std::string::npos || colon == 0) return 400;
      for (size_t k = 0; k < colon; ++k) {
        unsigned char c = static_cast<unsigned char>(line[k]);
        if (c <= ' ' || c >= 0x7f) return 400;
      }
      record->headers.emplace_back(line.substr(0, colon), TrimBlanks(line.substr(colon + 1)));
    }
    return 0;
  }

  // --- answers --------------------------------------------------------------

  // The status line, headers and optional body of a response that is not a
  // stream. Returns whether the connection stays open.
  bool Respond(const AppSimConfig& config, int status, const HeaderList& headers,
               const std::string& body, bool keep) {
    std::string out;
    if (config.quirks.interim_continue) out += "HTTP/1.1 100 Continue\r\n\r\n";
    out += config.http_version + " " + std::to_string(status) + " " + Reason(status) + "\r\n";
    for (const auto& h : headers) out += h.first + ": " + h.second + "\r\n";
    for (const auto& h : config.extra_response_headers) out += h.first + ": " + h.second + "\r\n";
    if (!body.empty() || keep) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += keep ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    out += "\r\n";
    out += body;
    return SendAll(out) && keep;
  }

  HeaderList Identity(const AppSimConfig& config) {
    HeaderList headers;
    if (config.send_device_name) headers.emplace_back("X-DEVICENAME", config.device_name);
    headers.emplace_back("X-SERVER", config.server_name);
    return headers;
  }

  static bool ClientWantsKeepAlive(const RequestRecord& record) {
    const std::string* connection = FindHeader(record.headers, "Connection");
    if (EqualsNoCase(record.version, "HTTP/1.1")) {
      return !(connection && EqualsNoCase(*connection, "close"));
    }
    return connection && EqualsNoCase(*connection, "keep-alive");
  }

  void SetStatus(int status) {
    {
      std::lock_guard<std::mutex> lock(sim_->mutex_);
      sim_->requests_[index_].status = status;
    }
    sim_->changed_.notify_all();
  }

  bool Answer(const AppSimConfig& config) {
    RequestRecord request;
    {
      std::lock_guard<std::mutex> lock(sim_->mutex_);
      request = sim_->requests_[index_];
    }
    const RequestRecord* record = &request;
    if (config.misbehaviour == Misbehaviour::kStallBeforeResponse) {
      Stall();
      return false;
    }
    if (config.misbehaviour == Misbehaviour::kCloseWithoutResponse) return false;

    bool keep = config.keep_alive && ClientWantsKeepAlive(*record);
    auto error = [&](int status) {
      SetStatus(status);
      return Respond(config, status, HeaderList(), std::string(Reason(status)) + "\n", keep);
    };
    bool is_head = record->method == "HEAD";
    bool is_get = record->method == "GET";
    if (!is_head && !is_get) return error(405);
    if (config.require_auth && !record->auth_ok) return error(403);
    if (config.misbehaviour == Misbehaviour::kStatus404) return error(404);
    if (config.misbehaviour == Misbehaviour::kStatus500) return error(500);
    if (!config.accepted_path.empty() && record->target != config.accepted_path) return error(404);
    if (!config.redirect_location.empty() && (is_head || config.redirect_get)) {
      HeaderList headers = Identity(config);
      headers.emplace_back("Location", config.redirect_location);
      SetStatus(302);
      return Respond(config, 302, headers, std::string(), keep);
    }
    if (is_head) {
      SetStatus(200);
      return Respond(config, 200, Identity(config), std::string(), keep);
    }
    SetStatus(200);
    if (config.misbehaviour == Misbehaviour::kTextPlain) {
      HeaderList headers;
      headers.emplace_back("Content-Type", "text/plain");
      Respond(config, 200, headers, "This is not a frame stream.\n", false);
      return false;
    }
    Stream(config);
    return false;
  }

  std::string StreamContentType(const AppSimConfig& config) {
    if (!config.content_type_override.empty()) return config.content_type_override;
    const StreamQuirks& q = config.quirks;
    std::string value = (q.boundary_leading_dashes ? "--" : "") + config.boundary;
    if (q.boundary_quoted) value = "\"" + value + "\"";
    std::string type = q.upper_case_types ? "MULTIPART/X-MIXED-REPLACE" : "multipart/x-mixed-replace";
    std::string param = q.upper_case_types ? "Boundary=" : "boundary=";
    return type + (q.extra_spaces ? " ;   " : "; ") + param + value;
  }

  void Stream(const AppSimConfig& config) {
    const StreamQuirks& q = config.quirks;
    chunked_ = q.chunked;
    std::string head;
    if (q.interim_continue) head += "HTTP/1.1 100 Continue\r\n\r\n";
    head += (chunked_ ? std::string("HTTP/1.1") : config.http_version) + " 200 OK\r\n";
    head += "Content-Type: " + StreamContentType(config) + "\r\n";
    if (chunked_) head += "Transfer-Encoding: chunked\r\n";
    for (const auto& h : config.extra_response_headers) head += h.first + ": " + h.second + "\r\n";
    head += "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
    if (!SendAll(head)) return;
    if (!Body(q.preamble)) return;

    const std::string le = q.bare_lf ? "\n" : "\r\n";
    const std::string delimiter = "--" + config.boundary;
    const Misbehaviour mis = config.misbehaviour;
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<uint8_t> frame;
    bool ended = false;  // the source or the count ended the stream
    for (uint64_t seq = 0;; ++seq) {
      if (config.frame_count != 0 && seq >= config.frame_count) {
        ended = true;
        break;
      }
      if (sim_->stopping_.load(std::memory_order_acquire)) return;
      if (config.frames_per_second > 0) {
        auto due = t0 + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seq / config.frames_per_second));
        auto now = std::chrono::steady_clock::now();
        if (due > now) {
          auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
          if (!Sleep(static_cast<int>(ms) + 1)) return;
        }
      }
      if (mis == Misbehaviour::kStallAfterFrames && seq == config.misbehaviour_frame) {
        Stall();
        return;
      }
      std::string content_type = config.frame_content_type;
      if (config.frame_source) {
        if (!config.frame_source(seq, frame, content_type)) {
          ended = true;
          break;
        }
      } else {
        frame.resize(config.frame_size == 0 ? 1 : config.frame_size);
        FillFrame(seq, frame.data(), frame.size());
      }
      const size_t size = frame.size();
      if (q.upper_case_types) content_type = ToUpper(content_type);

      uint64_t declared = size;
      size_t send_size = size;
      bool close_after = false;
      std::string length_line;
      const bool here = seq == config.misbehaviour_frame;
      if (here && mis == Misbehaviour::kCloseMidFrame) {
        send_size = size / 2;
        close_after = true;
      } else if (here && mis == Misbehaviour::kLengthBigger) {
        declared = size + config.length_lie;
        close_after = true;
      } else if (here && mis == Misbehaviour::kLengthSmaller) {
        uint64_t lie = config.length_lie < size ? config.length_lie : (size > 0 ? size - 1 : 0);
        declared = size - lie;
      } else if (here && mis == Misbehaviour::kLengthZeroUntilClose) {
        declared = 0;
        close_after = true;
      }
      std::string blank = q.extra_spaces ? "   " : " ";
      std::string type_line = "Content-Type:" + blank + content_type + (q.extra_spaces ? "  " : "");
      if (here && mis == Misbehaviour::kMalformedPartHeader) {
        length_line = config.malformed_header_line;
      } else {
        length_line = "Content-Length:" + blank + std::to_string(declared);
      }
      std::string part = delimiter + le;
      part += q.length_before_type ? length_line + le + type_line + le
                                   : type_line + le + length_line + le;
      if (!q.extra_part_header.empty()) part += q.extra_part_header + le;
      part += le;
      std::string trailer = le;
      for (int i = 0; i < q.empty_lines_between_parts; ++i) trailer += le;
      if (send_size <= kCoalesceLimit) {
        part.append(reinterpret_cast<const char*>(frame.data()), send_size);
        if (!close_after) part += trailer;
        if (!Body(part)) return;
      } else {
        if (!Body(part) || !Body(frame.data(), send_size)) return;
        if (!close_after && !Body(trailer)) return;
      }
      if (send_size == size) sim_->frames_sent_.fetch_add(1, std::memory_order_acq_rel);
      if (close_after) return;
    }
    if (ended && q.closing_delimiter && !Body(delimiter + "--" + le)) return;
    if (chunked_) SendAll("0\r\n\r\n", 5);
  }

  AppSimulator* sim_;
  Connection* conn_;
  int fd_;
  int wake_;
  bool chunked_ = false;
  size_t index_ = 0;  // this request's record in sim_->requests_
  std::string in_;
};

// --- AppSimulator -------------------------------------------------------------

AppSimulator::AppSimulator() = default;

AppSimulator::AppSimulator(AppSimConfig config) : config_(std::move(config)) {}

AppSimulator::~AppSimulator() { Stop(); }

void AppSimulator::SetConfig(AppSimConfig config) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_ = std::move(config);
}

AppSimConfig AppSimulator::GetConfig() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

int AppSimulator::Start(uint16_t port) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return -1;
  int fds[2];
  if (!net::MakeWakePair(fds)) return -1;
  uint16_t bound = 0;
  int fd = net::ListenOnLoopback(port, &bound);
  if (fd < 0) {
    net::Close(fds[0]);
    net::Close(fds[1]);
    return -1;
  }
  listen_fd_ = fd;
  wake_read_ = fds[0];
  wake_write_ = fds[1];
  stopping_.store(false, std::memory_order_release);
  stalled_ = false;
  running_ = true;
  port_.store(bound, std::memory_order_release);
  acceptor_ = std::thread(&AppSimulator::AcceptLoop, this);
  return port_.load(std::memory_order_acquire);
}

void AppSimulator::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    running_ = false;
  }
  // The wake pipe is never drained: one byte keeps it readable for every
  // thread polling it, now and later.
  stopping_.store(true, std::memory_order_release);
  net::Wake(wake_write_);
  acceptor_.join();
  std::list<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& c : connections) c->thread.join();
  net::Close(listen_fd_);
  net::Close(wake_read_);
  net::Close(wake_write_);
  listen_fd_ = wake_read_ = wake_write_ = -1;
  port_.store(-1, std::memory_order_release);
  changed_.notify_all();
}

void AppSimulator::ReapFinished(std::vector<std::unique_ptr<Connection>>* finished) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->done) {
      finished->push_back(std::move(*it));
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void AppSimulator::AcceptLoop() {
  for (;;) {
    std::vector<std::unique_ptr<Connection>> finished;
    ReapFinished(&finished);
    for (auto& c : finished) c->thread.join();

    net::PollResult n = net::Poll(listen_fd_, true, false, wake_read_, 200);
    if (stopping_.load(std::memory_order_acquire) || n == net::PollResult::kWoken) return;
    if (n != net::PollResult::kReady) continue;
    int fd = net::Accept(listen_fd_);
    if (fd < 0) continue;
    if (open_.load(std::memory_order_acquire) >= kMaxConnections) {
      net::Close(fd);
      continue;
    }
    auto conn = std::make_unique<Connection>();
    Connection* raw = conn.get();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      raw->fd = fd;
      open_.fetch_add(1, std::memory_order_acq_rel);
      accepted_.fetch_add(1, std::memory_order_acq_rel);
      connections_.push_back(std::move(conn));
      raw->thread = std::thread([this, raw, fd] {
        Session session(this, raw, fd);
        session.Run();
        {
          std::lock_guard<std::mutex> lock(mutex_);
          net::Close(raw->fd);
          raw->fd = -1;
          raw->done = true;
          open_.fetch_sub(1, std::memory_order_acq_rel);
        }
        changed_.notify_all();
      });
    }
    changed_.notify_all();
  }
}

void AppSimulator::DropConnections() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& c : connections_) {
    if (c->fd >= 0) net::ShutdownBoth(c->fd);
  }
}

int AppSimulator::SendToIdleConnections(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  int sent = 0;
  for (auto& c : connections_) {
    if (c->fd >= 0 && c->idle && !c->done) {
      long n = net::Send(c->fd, bytes.data(), bytes.size());
      if (n == static_cast<long>(bytes.size())) ++sent;
    }
  }
  return sent;
}

std::vector<RequestRecord> AppSimulator::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t AppSimulator::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

bool AppSimulator::WaitForRequests(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return requests_.size() >= count; });
}

bool AppSimulator::WaitForConnectionsOpen(int count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return open_.load(std::memory_order_acquire) == count;
  });
}

bool AppSimulator::WaitForIdleConnections(int count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    int idle = 0;
    for (const auto& c : connections_) {
      if (c->fd >= 0 && c->idle && !c->done) ++idle;
    }
    return idle == count;
  });
}

bool AppSimulator::WaitForStall(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return stalled_; });
}

}  // namespace kvx_sim
