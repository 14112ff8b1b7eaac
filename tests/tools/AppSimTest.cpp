// Tests of the companion-app double: its frames, its answers to HEAD and GET,
// its quirks and misbehaviours, its request records and its shutdown. The
// clients here are plain POSIX sockets with a small multipart parser of their
// own, and curl as a client that shares no code with us.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AppSimulator.h"
#include "FramePattern.h"
#include "KvxDevice.h"
#include "TestSupport.h"

using kvx_sim::AppSimConfig;
using kvx_sim::AppSimulator;
using kvx_sim::HeaderList;
using kvx_sim::Misbehaviour;

namespace {

using Clock = std::chrono::steady_clock;

using kvx_test::ElapsedMs;

// --- a plain socket client ---------------------------------------------------

// The shared loopback client, plus reading a given amount.
struct RawClient : kvx_test::LoopbackClient {
  explicit RawClient(int port) : LoopbackClient(port) {}
  bool ReadAtLeast(std::string* out, size_t count, int timeout_ms) {
    ReadToEnd(out, timeout_ms, count);
    return out->size() >= count;
  }
};

// --- an independent parser of what the double sends -------------------------

struct Response {
  std::string status_line;
  int status = 0;
  HeaderList headers;
  std::string body;
  const std::string* Header(const std::string& name) const {
    for (const auto& h : headers) {
      if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return &h.second;
    }
    return nullptr;
  }
};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Splits a raw HTTP response; interim 1xx blocks are skipped.
bool ParseResponse(std::string raw, Response* r) {
  for (;;) {
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    std::istringstream head(raw.substr(0, end));
    std::string line;
    std::getline(head, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    r->status_line = line;
    r->status = line.size() >= 12 ? std::atoi(line.substr(9, 3).c_str()) : 0;
    r->headers.clear();
    while (std::getline(head, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t colon = line.find(':');
      if (colon == std::string::npos) return false;
      r->headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }
    raw.erase(0, end + 4);
    if (r->status / 100 != 1) break;
  }
  r->body = raw;
  return true;
}

// Decodes a chunked body; false when it is malformed or has no last chunk.
bool Dechunk(const std::string& in, std::string* out) {
  size_t p = 0;
  for (;;) {
    size_t eol = in.find("\r\n", p);
    if (eol == std::string::npos) return false;
    size_t size = std::strtoul(in.substr(p, eol - p).c_str(), nullptr, 16);
    p = eol + 2;
    if (size == 0) return in.compare(p, 2, "\r\n") == 0;
    if (in.size() < p + size + 2 || in.compare(p + size, 2, "\r\n") != 0) return false;
    out->append(in, p, size);
    p += size + 2;
  }
}

// The boundary named by a multipart content type: the "boundary" parameter,
// quotes and surrounding dashes removed.
std::string BoundaryOf(const std::string& content_type) {
  std::string lower = content_type;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t at = lower.find("boundary=");
  if (at == std::string::npos) return std::string();
  std::string value = Trim(content_type.substr(at + 9, content_type.find(';', at) - at - 9));
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  size_t b = value.find_first_not_of('-');
  size_t e = value.find_last_not_of('-');
  return b == std::string::npos ? std::string() : value.substr(b, e - b + 1);
}

struct Part {
  HeaderList headers;
  std::string body;
  const std::string* Header(const std::string& name) const {
    for (const auto& h : headers) {
      if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return &h.second;
    }
    return nullptr;
  }
};

struct Multipart {
  std::vector<Part> parts;
  bool closed = false;        // the closing delimiter was seen
  std::string error;          // why parsing stopped early, empty when it did not
  std::string partial_body;   // body bytes of a part cut short
};

// Lines end in LF with an optional CR before it. Preamble and empty lines
// between parts are skipped; every part needs a "Content-Length".
Multipart ParseMultipart(const std::string& body, const std::string& boundary) {
  Multipart m;
  const std::string delimiter = "--" + boundary;
  size_t p = 0;
  auto next_line = [&](std::string* line) {
    if (p >= body.size()) return false;
    size_t eol = body.find('\n', p);
    if (eol == std::string::npos) {
      *line = body.substr(p);
      p = body.size();
      return true;
    }
    *line = body.substr(p, eol - p);
    if (!line->empty() && line->back() == '\r') line->pop_back();
    p = eol + 1;
    return true;
  };
  std::string line;
  bool seen_delimiter = false;
  for (;;) {
    if (!next_line(&line)) return m;  // stream ended without closing delimiter
    if (line == delimiter + "--") {
      m.closed = true;
      return m;
    }
    if (line != delimiter) {
      if (line.empty() || !seen_delimiter) continue;  // separator or preamble
      m.error = "unexpected line: " + line.substr(0, 80);
      return m;
    }
    seen_delimiter = true;
    Part part;
    for (;;) {
      if (!next_line(&line)) {
        m.error = "headers cut short";
        return m;
      }
      if (line.empty()) break;
      size_t colon = line.find(':');
      if (colon == std::string::npos) {
        m.error = "header without colon: " + line;
        return m;
      }
      part.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }
    const std::string* length = part.Header("Content-Length");
    if (!length) {
      m.error = "no Content-Length";
      return m;
    }
    size_t size = std::strtoull(length->c_str(), nullptr, 10);
    if (body.size() - p < size) {
      m.partial_body = body.substr(p);
      m.error = "body cut short";
      return m;
    }
    part.body = body.substr(p, size);
    p += size;
    m.parts.push_back(std::move(part));
  }
}

// The frames of a multipart body must be frames 0, 1, 2, ... of `size` bytes.
void ExpectFramesInOrder(const Multipart& m, size_t count, size_t size,
                         const std::string& content_type) {
  ASSERT_EQ(m.parts.size(), count);
  for (size_t i = 0; i < count; ++i) {
    const Part& part = m.parts[i];
    ASSERT_EQ(part.body.size(), size) << "frame " << i;
    ASSERT_TRUE(part.Header("Content-Type"));
    EXPECT_EQ(*part.Header("Content-Type"), content_type);
    uint64_t seq = 99999;
    ASSERT_TRUE(kvx_sim::VerifyFrame(reinterpret_cast<const uint8_t*>(part.body.data()),
                                     part.body.size(), &seq))
        << "frame " << i;
    EXPECT_EQ(seq, size >= kvx_sim::kFrameSequenceBytes ? i : i % 256);
  }
}

// One request on a new connection; the whole answer up to the close.
std::string Exchange(int port, const std::string& request, int timeout_ms = 30000) {
  RawClient client(port);
  EXPECT_TRUE(client.Connected());
  EXPECT_TRUE(client.Send(request));
  std::string out;
  EXPECT_TRUE(client.ReadToEnd(&out, timeout_ms)) << "no close within " << timeout_ms << " ms";
  return out;
}

const char kGet[] = "GET / HTTP/1.0\r\n\r\n";
const char kHead[] = "HEAD / HTTP/1.0\r\n\r\n";

std::string ValidToken() {
  NPT_String token;
  KVX_Device::CreateAuthentication(token);
  return token.GetChars();
}

// --- curl ----------------------------------------------------------------------

struct CurlResult {
  int exit_code = -1;
  std::string head;
  std::string body;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

CurlResult Curl(const std::string& args) {
  kvx_test::TemporaryDirectory dir("kvx-appsim");
  CurlResult result;
  if (dir.Path().empty()) return result;
  std::string head = dir.File("head");
  std::string body = dir.File("body");
  std::string command = "curl -s --max-time 20 -D " + head + " -o " + body + " " + args;
  int status = std::system(command.c_str());
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.head = ReadFile(head);
  result.body = ReadFile(body);
  return result;
}

class AppSimTest : public ::testing::Test {
 protected:
  int StartWith(const AppSimConfig& config) {
    sim_.SetConfig(config);
    port_ = sim_.Start();
    EXPECT_GT(port_, 0);
    return port_;
  }
  void TearDown() override { sim_.Stop(); }

  AppSimulator sim_;
  int port_ = -1;
};

// --- frames ------------------------------------------------------------------------

TEST(AppSimFrames, LayoutRoundTripsAndDetectsDamage) {
  struct Case {
    uint64_t seq;
    size_t size;
    uint64_t reported;
  } cases[] = {
      {0, 1, 0},      {1, 1, 1},      {300, 1, 300 % 256}, {255, 7, 255},
      {256, 7, 0},    {7, 8, 7},      {9, 9, 9},           {1234567, 263, 1234567},
      {42, 264, 42},  {43, 265, 43},  {0xfedcba9876543210ull, 100000, 0xfedcba9876543210ull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("seq " + std::to_string(c.seq) + " size " + std::to_string(c.size));
    std::vector<uint8_t> frame = kvx_sim::MakeFrame(c.seq, c.size);
    ASSERT_EQ(frame.size(), c.size);
    uint64_t seq = 1;
    EXPECT_TRUE(kvx_sim::VerifyFrame(frame.data(), frame.size(), &seq));
    EXPECT_EQ(seq, c.reported);
    // The documented layout, byte by byte.
    uint64_t key = c.seq;
    if (c.size >= 8) {
      key = 0;
      for (int k = 0; k < 8; ++k) key ^= (c.seq >> (8 * k)) & 0xff;
    }
    for (size_t i = 0; i < c.size; ++i) {
      uint8_t expected = c.size >= 8 && i < 8 ? static_cast<uint8_t>(c.seq >> (8 * i))
                                              : static_cast<uint8_t>((key * 31 + i) & 0xff);
      ASSERT_EQ(frame[i], expected) << "byte " << i;
    }
    for (size_t at : {size_t(0), c.size / 2, c.size - 1}) {
      std::vector<uint8_t> damaged = frame;
      damaged[at] ^= 0x01;
      if (c.size == 1 || c.size == kvx_sim::kFrameSequenceBytes) {
        // No filler to check: damage shows only as another number.
        EXPECT_TRUE(kvx_sim::VerifyFrame(damaged.data(), damaged.size(), &seq));
        EXPECT_NE(seq, c.reported);
        continue;
      }
      EXPECT_FALSE(kvx_sim::VerifyFrame(damaged.data(), damaged.size(), &seq)) << "flip at " << at;
      EXPECT_EQ(seq, 0u);
    }
    if (c.size > 9) {
      // A frame shifted by one byte (a byte lost in front of it).
      EXPECT_FALSE(kvx_sim::VerifyFrame(frame.data() + 1, frame.size() - 1, nullptr));
    }
  }
  EXPECT_FALSE(kvx_sim::VerifyFrame(nullptr, 0, nullptr));
  uint8_t one = 0;
  EXPECT_FALSE(kvx_sim::VerifyFrame(&one, 0, nullptr));
}

TEST(AppSimFrames, NeighbouringFramesDifferInTheirFiller) {
  std::vector<uint8_t> a = kvx_sim::MakeFrame(5, 1000);
  std::vector<uint8_t> b = kvx_sim::MakeFrame(6, 1000);
  // Frame 6's filler under frame 5's sequence number is not a frame.
  std::memcpy(b.data(), a.data(), kvx_sim::kFrameSequenceBytes);
  EXPECT_FALSE(kvx_sim::VerifyFrame(b.data(), b.size(), nullptr));
}

// --- HEAD ----------------------------------------------------------------------------

TEST_F(AppSimTest, HeadAnswersIdentityWithExactBytes) {
  AppSimConfig config;
  config.device_name = "Bench Phone";
  config.server_name = "LumoxApp/2.1";
  StartWith(config);
  EXPECT_EQ(Exchange(port_, kHead),
            "HTTP/1.0 200 OK\r\nX-DEVICENAME: Bench Phone\r\nX-SERVER: LumoxApp/2.1\r\n"
            "Connection: close\r\n\r\n");

  config.send_device_name = false;
  sim_.SetConfig(config);
  EXPECT_EQ(Exchange(port_, kHead),
            "HTTP/1.0 200 OK\r\nX-SERVER: LumoxApp/2.1\r\nConnection: close\r\n\r\n");

  config.send_device_name = true;
  config.redirect_location = "http://127.0.0.1:9000/moved/here";
  sim_.SetConfig(config);
  EXPECT_EQ(Exchange(port_, kHead),
            "HTTP/1.0 302 Found\r\nX-DEVICENAME: Bench Phone\r\nX-SERVER: LumoxApp/2.1\r\n"
            "Location: http://127.0.0.1:9000/moved/here\r\nConnection: close\r\n\r\n");
  // GET is not redirected unless asked to.
  Response r;
  ASSERT_TRUE(ParseResponse(Exchange(port_, kGet), &r));
  EXPECT_EQ(r.status, 200);
  config.redirect_get = true;
  sim_.SetConfig(config);
  ASSERT_TRUE(ParseResponse(Exchange(port_, kGet), &r));
  EXPECT_EQ(r.status, 302);
  ASSERT_TRUE(r.Header("Location"));
  EXPECT_EQ(*r.Header("Location"), "http://127.0.0.1:9000/moved/here");
}

TEST_F(AppSimTest, CurlSeesHeadIdentity) {
  AppSimConfig config;
  config.device_name = "Curl Phone";
  StartWith(config);
  CurlResult c = Curl("-I http://127.0.0.1:" + std::to_string(port_) + "/");
  ASSERT_EQ(c.exit_code, 0);
  Response r;
  ASSERT_TRUE(ParseResponse(c.head, &r)) << c.head;
  EXPECT_EQ(r.status, 200);
  ASSERT_TRUE(r.Header("X-DEVICENAME"));
  EXPECT_EQ(*r.Header("X-DEVICENAME"), "Curl Phone");
  ASSERT_TRUE(sim_.WaitForRequests(1, 30000));
  EXPECT_EQ(sim_.Requests()[0].method, "HEAD");
}

TEST_F(AppSimTest, KeepAliveServesSeveralRequestsOnOneConnection) {
  AppSimConfig config;
  config.keep_alive = true;
  config.http_version = "HTTP/1.1";
  StartWith(config);
  RawClient client(port_);
  std::string out;
  const std::string head = "HEAD / HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string expected =
      "HTTP/1.1 200 OK\r\nX-DEVICENAME: Simulated Device\r\nX-SERVER: kvx-app-sim/1.0\r\n"
      "Content-Length: 0\r\nConnection: keep-alive\r\n\r\n";
  ASSERT_TRUE(client.Send(head));
  ASSERT_TRUE(client.ReadAtLeast(&out, expected.size(), 30000));
  ASSERT_TRUE(client.Send("HEAD / HTTP/1.1\r\nConnection: close\r\n\r\n"));
  EXPECT_TRUE(client.ReadToEnd(&out, 30000));
  EXPECT_EQ(out, expected +
                     "HTTP/1.1 200 OK\r\nX-DEVICENAME: Simulated Device\r\n"
                     "X-SERVER: kvx-app-sim/1.0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(sim_.ConnectionsAccepted(), 1u);
  EXPECT_EQ(sim_.RequestCount(), 2u);
}

// --- records -----------------------------------------------------------------------------

TEST_F(AppSimTest, RecordsRequestsWithHeadersInArrivalOrder) {
  StartWith(AppSimConfig());
  const std::string head =
      "GET /stream?x=1 HTTP/1.0\r\nX-LUMOX-AUTH: abc\r\nAccept: image/jpeg;image/rgba;image/rgb\r\n"
      "X-LUMOX-CLIENT:\r\nConnection: close\r\nHost: 127.0.0.1:8099\r\nContent-Length: 0\r\n\r\n";
  Exchange(port_, head);
  Exchange(port_, "HEAD / HTTP/1.0\nHost: lf-only\n\n");
  ASSERT_TRUE(sim_.WaitForRequests(2, 30000));
  std::vector<kvx_sim::RequestRecord> records = sim_.Requests();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].method, "GET");
  EXPECT_EQ(records[0].target, "/stream?x=1");
  EXPECT_EQ(records[0].version, "HTTP/1.0");
  EXPECT_EQ(records[0].raw_head, head);
  EXPECT_EQ(records[0].status, 200);
  EXPECT_FALSE(records[0].auth_ok);
  HeaderList expected = {{"X-LUMOX-AUTH", "abc"},
                         {"Accept", "image/jpeg;image/rgba;image/rgb"},
                         {"X-LUMOX-CLIENT", ""},
                         {"Connection", "close"},
                         {"Host", "127.0.0.1:8099"},
                         {"Content-Length", "0"}};
  EXPECT_EQ(records[0].headers, expected);
  EXPECT_EQ(records[1].method, "HEAD");
  EXPECT_EQ(records[1].headers, (HeaderList{{"Host", "lf-only"}}));
  EXPECT_TRUE(sim_.WaitForConnectionsOpen(0, 30000));
  EXPECT_EQ(sim_.ConnectionsAccepted(), 2u);
}

TEST_F(AppSimTest, RefusesBadAndOversizedRequests) {
  StartWith(AppSimConfig());
  std::string many_headers = "GET / HTTP/1.0\r\n";
  for (int i = 0; i < 101; ++i) many_headers += "X-H" + std::to_string(i) + ": v\r\n";
  many_headers += "\r\n";
  struct Case {
    std::string request;
    const char* status_line;
  } cases[] = {
      {"GARBAGE\r\n\r\n", "HTTP/1.0 400 Bad Request"},
      {"GET  / HTTP/1.0\r\n\r\n", "HTTP/1.0 400 Bad Request"},
      {"GET / FTP/1.0\r\n\r\n", "HTTP/1.0 400 Bad Request"},
      {"GET / HTTP/1.0\r\nNoColon\r\n\r\n", "HTTP/1.0 400 Bad Request"},
      {"GET / HTTP/1.0\r\nBad Name: x\r\n\r\n", "HTTP/1.0 400 Bad Request"},
      {"GET / HTTP/1.0\r\n: empty name\r\n\r\n", "HTTP/1.0 400 Bad Request"},
      {"POST / HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.0 405 Method Not Allowed"},
      {"get / HTTP/1.0\r\n\r\n", "HTTP/1.0 405 Method Not Allowed"},
      {"GET / HTTP/1.0\r\nContent-Length: 1x\r\n\r\n", "HTTP/1.0 400 Bad Request"},
      {"GET / HTTP/1.0\r\nContent-Length: 99999999999999999999999\r\n\r\n",
       "HTTP/1.0 413 Payload Too Large"},
      {"GET / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.0 501 Not Implemented"},
      {"GET / HTTP/1.0\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n",
       "HTTP/1.0 431 Request Header Fields Too Large"},
      {many_headers, "HTTP/1.0 431 Request Header Fields Too Large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 40));
    std::string answer = Exchange(port_, c.request);
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), c.status_line);
  }
  // A request that never completes its head costs nothing but its connection.
  RawClient partial(port_);
  ASSERT_TRUE(partial.Send("GET / HTTP/1.0\r\nHost: x\r\n"));
  EXPECT_TRUE(partial.QuietFor(200));
  EXPECT_TRUE(sim_.WaitForConnectionsOpen(1, 30000));
}

// --- GET streams ---------------------------------------------------------------------------

TEST_F(AppSimTest, StreamHasExactWireLayout) {
  AppSimConfig config;
  config.frame_size = 10;
  config.frame_count = 2;
  StartWith(config);
  auto frame = [](uint64_t seq) {
    std::vector<uint8_t> f = kvx_sim::MakeFrame(seq, 10);
    return std::string(f.begin(), f.end());
  };
  EXPECT_EQ(Exchange(port_, kGet),
            "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=frame\r\n"
            "Cache-Control: no-cache\r\nConnection: close\r\n\r\n"
            "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 10\r\n\r\n" +
                frame(0) +
                "\r\n--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 10\r\n\r\n" +
                frame(1) + "\r\n--frame--\r\n");
  EXPECT_EQ(sim_.FramesSent(), 2u);
}

TEST_F(AppSimTest, StreamsFramesInOrderForEveryTypeAndSize) {
  struct Case {
    const char* type;
    size_t size;
    uint64_t count;
  } cases[] = {
      {"image/jpeg", 1, 300}, {"image/rgb", 7, 20},       {"image/rgba", 8, 20},
      {"image/jpeg", 4096, 50}, {"image/rgba", 3 << 20, 3}, {"text/whatever; x=1", 100, 5},
  };
  StartWith(AppSimConfig());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " size " + std::to_string(c.size));
    AppSimConfig config;
    config.frame_content_type = c.type;
    config.frame_size = c.size;
    config.frame_count = c.count;
    config.boundary = "b0undary";
    sim_.SetConfig(config);
    Response r;
    ASSERT_TRUE(ParseResponse(Exchange(port_, kGet), &r));
    ASSERT_EQ(r.status, 200);
    ASSERT_TRUE(r.Header("Content-Type"));
    Multipart m = ParseMultipart(r.body, BoundaryOf(*r.Header("Content-Type")));
    EXPECT_EQ(m.error, "");
    EXPECT_TRUE(m.closed);
    ExpectFramesInOrder(m, c.count, c.size, c.type);
  }
}

TEST_F(AppSimTest, ServesFortyMegabyteFrames) {
  AppSimConfig config;
  config.frame_size = 40u << 20;
  config.frame_count = 1;
  config.frame_content_type = "image/rgba";
  StartWith(config);
  Response r;
  ASSERT_TRUE(ParseResponse(Exchange(port_, kGet, 60000), &r));
  Multipart m = ParseMultipart(r.body, "frame");
  EXPECT_TRUE(m.closed);
  ExpectFramesInOrder(m, 1, 40u << 20, "image/rgba");
}

TEST_F(AppSimTest, CurlReceivesTheStream) {
  AppSimConfig config;
  config.frame_size = 1 << 20;
  config.frame_count = 4;
  config.frame_content_type = "image/rgb";
  StartWith(config);
  CurlResult c = Curl("http://127.0.0.1:" + std::to_string(port_) + "/live");
  ASSERT_EQ(c.exit_code, 0);
  Response r;
  ASSERT_TRUE(ParseResponse(c.head, &r)) << c.head;
  ASSERT_TRUE(r.Header("Content-Type"));
  EXPECT_EQ(*r.Header("Content-Type"), "multipart/x-mixed-replace; boundary=frame");
  Multipart m = ParseMultipart(c.body, "frame");
  EXPECT_TRUE(m.closed);
  ExpectFramesInOrder(m, 4, 1 << 20, "image/rgb");
  ASSERT_TRUE(sim_.WaitForRequests(1, 30000));
  EXPECT_EQ(sim_.Requests()[0].target, "/live");
}

TEST_F(AppSimTest, CurlDecodesChunkedStream) {
  AppSimConfig config;
  config.frame_size = 5000;
  config.frame_count = 6;
  config.quirks.chunked = true;
  StartWith(config);
  CurlResult c = Curl("http://127.0.0.1:" + std::to_string(port_) + "/");
  ASSERT_EQ(c.exit_code, 0);
  Response r;
  ASSERT_TRUE(ParseResponse(c.head, &r));
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  ASSERT_TRUE(r.Header("Transfer-Encoding"));
  Multipart m = ParseMultipart(c.body, "frame");
  EXPECT_TRUE(m.closed);
  ExpectFramesInOrder(m, 6, 5000, "image/jpeg");
  // The raw body is one chunk per write and ends with the last-chunk marker.
  Response raw;
  ASSERT_TRUE(ParseResponse(Exchange(port_, kGet), &raw));
  std::string decoded;
  ASSERT_TRUE(Dechunk(raw.body, &decoded));
  EXPECT_EQ(decoded, c.body);
}

TEST_F(AppSimTest, PacesFramesAtTheConfiguredRate) {
  AppSimConfig config;
  config.frame_size = 64;
  config.frame_count = 11;
  config.frames_per_second = 50;  // frame 10 is due at 200 ms
  StartWith(config);
  auto start = Clock::now();
  Response r;
  ASSERT_TRUE(ParseResponse(Exchange(port_, kGet), &r));
  long long took = ElapsedMs(start);
  EXPECT_GE(took, 190);
  EXPECT_LT(took, 15000);  // only against a hang
  ExpectFramesInOrder(ParseMultipart(r.body, "frame"), 11, 64, "image/jpeg");
}

TEST_F(AppSimTest, FrameSourceSuppliesBytesAndTypesAndEndsTheStream) {
  AppSimConfig config;
  config.frame_count = 0;  // endless: the source ends it
  config.frame_source = [](uint64_t seq, std::vector<uint8_t>& frame, std::string& type) {
    if (seq == 3) return false;
    frame.assign(seq + 1, static_cast<uint8_t>('a' + seq));
    if (seq == 1) type = "image/rgb";
    return true;
  };
  StartWith(config);
  Response r;
  ASSERT_TRUE(ParseResponse(Exchange(port_, kGet), &r));
  Multipart m = ParseMultipart(r.body, "frame");
  EXPECT_TRUE(m.closed);
  ASSERT_EQ(m.parts.size(), 3u);
  EXPECT_EQ(m.parts[0].body, "a");
  EXPECT_EQ(m.parts[1].body, "bb");
  EXPECT_EQ(m.parts[2].body, "ccc");
  EXPECT_EQ(*m.parts[0].Header("Content-Type"), "image/jpeg");
  EXPECT_EQ(*m.parts[1].Header("Content-Type"), "image/rgb");
}

// --- quirks -----------------------------------------------------------------------------------

TEST_F(AppSimTest, QuirksChangeExactlyWhatTheyPromise) {
  struct Case {
    const char* name;
    void (*apply)(kvx_sim::StreamQuirks*);
    const char* content_type;  // response Content-Type
    const char* body_prefix;   // start of the body (up to the first frame bytes)
    const char* body_between;  // text between frame 0's bytes and frame 1's delimiter
    const char* body_suffix;   // end of the body
  } cases[] = {
      {"plain", [](kvx_sim::StreamQuirks*) {}, "multipart/x-mixed-replace; boundary=frame",
       "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 4\r\n\r\n", "\r\n--frame\r\n",
       "\r\n--frame--\r\n"},
      {"dashes", [](kvx_sim::StreamQuirks* q) { q->boundary_leading_dashes = true; },
       "multipart/x-mixed-replace; boundary=--frame", "--frame\r\n", "\r\n--frame\r\n",
       "\r\n--frame--\r\n"},
      {"quoted", [](kvx_sim::StreamQuirks* q) { q->boundary_quoted = true; },
       "multipart/x-mixed-replace; boundary=\"frame\"", "--frame\r\n", "\r\n--frame\r\n",
       "--frame--\r\n"},
      {"spaces", [](kvx_sim::StreamQuirks* q) { q->extra_spaces = true; },
       "multipart/x-mixed-replace ;   boundary=frame",
       "--frame\r\nContent-Type:   image/jpeg  \r\nContent-Length:   4\r\n\r\n", "\r\n--frame\r\n",
       "--frame--\r\n"},
      {"swapped", [](kvx_sim::StreamQuirks* q) { q->length_before_type = true; },
       "multipart/x-mixed-replace; boundary=frame",
       "--frame\r\nContent-Length: 4\r\nContent-Type: image/jpeg\r\n\r\n", "\r\n--frame\r\n",
       "--frame--\r\n"},
      {"upper", [](kvx_sim::StreamQuirks* q) { q->upper_case_types = true; },
       "MULTIPART/X-MIXED-REPLACE; Boundary=frame",
       "--frame\r\nContent-Type: IMAGE/JPEG\r\nContent-Length: 4\r\n\r\n", "\r\n--frame\r\n",
       "--frame--\r\n"},
      {"empty lines", [](kvx_sim::StreamQuirks* q) { q->empty_lines_between_parts = 2; },
       "multipart/x-mixed-replace; boundary=frame", "--frame\r\n", "\r\n\r\n\r\n--frame\r\n",
       "\r\n\r\n\r\n--frame--\r\n"},
      {"bare lf", [](kvx_sim::StreamQuirks* q) { q->bare_lf = true; },
       "multipart/x-mixed-replace; boundary=frame",
       "--frame\nContent-Type: image/jpeg\nContent-Length: 4\n\n", "\n--frame\n", "\n--frame--\n"},
      {"preamble", [](kvx_sim::StreamQuirks* q) { q->preamble = "hello\r\n--frame \r\n\r\n"; },
       "multipart/x-mixed-replace; boundary=frame", "hello\r\n--frame \r\n\r\n--frame\r\n",
       "\r\n--frame\r\n", "--frame--\r\n"},
      {"no closing", [](kvx_sim::StreamQuirks* q) { q->closing_delimiter = false; },
       "multipart/x-mixed-replace; boundary=frame", "--frame\r\n", "\r\n--frame\r\n", "\r\n"},
      {"third header", [](kvx_sim::StreamQuirks* q) { q->extra_part_header = "X-Time: 17"; },
       "multipart/x-mixed-replace; boundary=frame",
       "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 4\r\nX-Time: 17\r\n\r\n",
       "\r\n--frame\r\n", "--frame--\r\n"},
  };
  StartWith(AppSimConfig());
  const std::string f0 = [] {
    auto f = kvx_sim::MakeFrame(0, 4);
    return std::string(f.begin(), f.end());
  }();
  const std::string f1 = [] {
    auto f = kvx_sim::MakeFrame(1, 4);
    return std::string(f.begin(), f.end());
  }();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AppSimConfig config;
    config.frame_size = 4;
    config.frame_count = 2;
    c.apply(&config.quirks);
    sim_.SetConfig(config);
    Response r;
    ASSERT_TRUE(ParseResponse(Exchange(port_, kGet), &r));
    ASSERT_TRUE(r.Header("Content-Type"));
    EXPECT_EQ(*r.Header("Content-Type"), c.content_type);
    const std::string& b = r.body;
    EXPECT_EQ(b.compare(0, std::strlen(c.body_prefix), c.body_prefix), 0) << b;
    size_t at0 = b.find(f0);
    ASSERT_NE(at0, std::string::npos);
    EXPECT_EQ(b.compare(at0 + 4, std::strlen(c.body_between), c.body_between), 0) << b;
    size_t at1 = b.find(f1, at0 + 4);
    ASSERT_NE(at1, std::string::npos);
    std::string suffix = c.body_suffix;
    ASSERT_GE(b.size(), suffix.size());
    EXPECT_EQ(b.substr(b.size() - suffix.size()), suffix) << b;
    if (config.quirks.bare_lf) {
      EXPECT_EQ(b.find('\r'), std::string::npos);
    }
    // Whatever the quirk, the parts themselves stay intact.
    Multipart m = ParseMultipart(b, BoundaryOf(*r.Header("Content-Type")));
    ASSERT_EQ(m.parts.size(), 2u) << m.error;
    EXPECT_EQ(m.parts[0].body, f0);
    EXPECT_EQ(m.parts[1].body, f1);
    EXPECT_EQ(m.closed, config.quirks.closing_delimiter);
  }
}

TEST_F(AppSimTest, InterimContinueAndOverriddenContentType) {
  AppSimConfig config;
  config.frame_count = 1;
  config.frame_size = 3;
  config.quirks.interim_continue = true;
  config.content_type_override = "multipart/x-mixed-replace; charset=x; boundary=frame";
  config.extra_response_headers = {{"X-Extra", "1"}};
  StartWith(config);
  std::string raw = Exchange(port_, kGet);
  EXPECT_EQ(raw.compare(0, 25, "HTTP/1.1 100 Continue\r\n\r\n"), 0);
  Response r;
  ASSERT_TRUE(ParseResponse(raw, &r));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(*r.Header("Content-Type"), "multipart/x-mixed-replace; charset=x; boundary=frame");
  ASSERT_TRUE(r.Header("X-Extra"));
}

// --- misbehaviours ------------------------------------------------------------------------------

TEST_F(AppSimTest, StatusMisbehavioursAnswerEveryRequest) {
  struct Case {
    Misbehaviour mis;
    const char* status_line;
  } cases[] = {{Misbehaviour::kStatus404, "HTTP/1.0 404 Not Found"},
               {Misbehaviour::kStatus500, "HTTP/1.0 500 Internal Server Error"}};
  StartWith(AppSimConfig());
  for (const Case& c : cases) {
    AppSimConfig config;
    config.misbehaviour = c.mis;
    sim_.SetConfig(config);
    for (const char* request : {kHead, kGet}) {
      SCOPED_TRACE(std::string(c.status_line) + " " + request);
      Response r;
      ASSERT_TRUE(ParseResponse(Exchange(port_, request), &r));
      EXPECT_EQ(r.status_line, c.status_line);
      EXPECT_EQ(r.Header("X-DEVICENAME"), nullptr);
      EXPECT_EQ(r.body.size(), std::stoul(*r.Header("Content-Length")));
    }
  }
  AppSimConfig config;
  config.accepted_path = "/stream";
  sim_.SetConfig(config);
  Response r;
  ASSERT_TRUE(ParseResponse(Exchange(port_, kGet), &r));
  EXPECT_EQ(r.status, 404);
  ASSERT_TRUE(ParseResponse(Exchange(port_, "GET /stream HTTP/1.0\r\n\r\n"), &r));
  EXPECT_EQ(r.status, 200);
}

TEST_F(AppSimTest, TextPlainAndMalformedPartHeader) {
  AppSimConfig config;
  config.misbehaviour = Misbehaviour::kTextPlain;
  StartWith(config);
  Response r;
  ASSERT_TRUE(ParseResponse(Exchange(port_, kGet), &r));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(*r.Header("Content-Type"), "text/plain");
  EXPECT_EQ(r.body, "This is not a frame stream.\n");

  config.misbehaviour = Misbehaviour::kMalformedPartHeader;
  config.misbehaviour_frame = 2;
  config.frame_size = 100;
  config.frame_count = 4;
  config.malformed_header_line = "Content-Length 100";
  sim_.SetConfig(config);
  ASSERT_TRUE(ParseResponse(Exchange(port_, kGet), &r));
  Multipart m = ParseMultipart(r.body, "frame");
  EXPECT_EQ(m.error, "header without colon: Content-Length 100");
  ExpectFramesInOrder(m, 2, 100, "image/jpeg");
  // The stream goes on after the bad part.
  auto f3 = kvx_sim::MakeFrame(3, 100);
  EXPECT_NE(r.body.find(std::string(f3.begin(), f3.end())), std::string::npos);
}

TEST_F(AppSimTest, CutsAndLiesProduceThePromisedBytes) {
  const size_t size = 1000;
  const std::string part1 = "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: ";
  auto frame = [&](uint64_t seq, size_t n) {
    auto f = kvx_sim::MakeFrame(seq, size);
    return std::string(f.begin(), f.begin() + static_cast<long>(n));
  };
  struct Case {
    Misbehaviour mis;
    std::string tail;   // the bytes from frame 1's delimiter to the end of the body
    bool ends_there;    // the connection closes right after the tail
  } cases[] = {
      {Misbehaviour::kCloseMidFrame, part1 + "1000\r\n\r\n" + frame(1, 500), true},
      {Misbehaviour::kLengthBigger, part1 + "1100\r\n\r\n" + frame(1, 1000), true},
      {Misbehaviour::kLengthZeroUntilClose, part1 + "0\r\n\r\n" + frame(1, 1000), true},
      {Misbehaviour::kLengthSmaller, part1 + "900\r\n\r\n" + frame(1, 1000) + "\r\n--frame\r\n",
       false},
  };
  StartWith(AppSimConfig());
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mis));
    AppSimConfig config;
    config.misbehaviour = c.mis;
    config.misbehaviour_frame = 1;
    config.frame_size = size;
    config.frame_count = 3;
    sim_.SetConfig(config);
    Response r;
    ASSERT_TRUE(ParseResponse(Exchange(port_, kGet), &r));
    size_t at = r.body.find("\r\n--frame\r\n") + 2;  // frame 1's delimiter
    ASSERT_NE(at, std::string::npos + 2);
    std::string tail = r.body.substr(at);
    if (c.ends_there) {
      EXPECT_EQ(tail, c.tail);
    } else {
      EXPECT_EQ(tail.substr(0, c.tail.size()), c.tail);
      EXPECT_EQ(tail.substr(tail.size() - 11), "--frame--\r\n");
    }
    EXPECT_EQ(r.body.substr(0, at), part1 + "1000\r\n\r\n" + frame(0, size) + "\r\n");
  }
}

TEST_F(AppSimTest, StallKeepsTheConnectionOpenAndStopEndsItPromptly) {
  AppSimConfig config;
  config.misbehaviour = Misbehaviour::kStallAfterFrames;
  config.misbehaviour_frame = 3;
  config.frame_size = 200;
  config.frame_count = 0;
  StartWith(config);
  RawClient client(port_);
  ASSERT_TRUE(client.Send(kGet));
  ASSERT_TRUE(sim_.WaitForStall(30000));
  std::string out;
  client.ReadToEnd(&out, 200);  // drains what was sent; must not see the end
  EXPECT_TRUE(client.QuietFor(300));
  EXPECT_EQ(sim_.FramesSent(), 3u);
  Response r;
  ASSERT_TRUE(ParseResponse(out, &r));
  Multipart m = ParseMultipart(r.body, "frame");
  EXPECT_FALSE(m.closed);
  ExpectFramesInOrder(m, 3, 200, "image/jpeg");
  EXPECT_EQ(sim_.ConnectionsOpen(), 1);

  auto start = Clock::now();
  sim_.Stop();
  EXPECT_LT(ElapsedMs(start), 15000);  // a Stop that waits for the client would hang
  EXPECT_EQ(sim_.ConnectionsOpen(), 0);
  std::string rest;
  EXPECT_TRUE(client.ReadToEnd(&rest, 30000));  // the stop closed it
  EXPECT_EQ(rest, "");
}

TEST_F(AppSimTest, StallOrCloseInsteadOfAnAnswer) {
  AppSimConfig config;
  config.misbehaviour = Misbehaviour::kCloseWithoutResponse;
  StartWith(config);
  EXPECT_EQ(Exchange(port_, kHead), "");
  config.misbehaviour = Misbehaviour::kStallBeforeResponse;
  sim_.SetConfig(config);
  RawClient client(port_);
  ASSERT_TRUE(client.Send(kHead));
  ASSERT_TRUE(sim_.WaitForRequests(2, 30000));
  EXPECT_TRUE(client.QuietFor(300));
  EXPECT_EQ(sim_.Requests()[1].status, 0);
  // The client giving up ends the stall too.
  client.Close();
  EXPECT_TRUE(sim_.WaitForConnectionsOpen(0, 30000));
}

// --- auth -------------------------------------------------------------------------------------------

TEST_F(AppSimTest, RequiresAValidTokenWhenAsked) {
  AppSimConfig config;
  config.require_auth = true;
  StartWith(config);
  std::string good = ValidToken();
  std::string wrong_digest = good;
  wrong_digest.back() = wrong_digest.back() == '0' ? '1' : '0';
  std::string lower = good;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  struct Case {
    std::string header;  // complete header line, or empty for none
    int status;
    bool auth_ok;
  } cases[] = {
      {"", 403, false},
      {"X-LUMOX-AUTH: " + wrong_digest + "\r\n", 403, false},
      {"X-LUMOX-AUTH: " + lower + "\r\n", 403, false},
      {"X-LUMOX-AUTH: " + good.substr(0, 72) + "\r\n", 403, false},
      {"X-LUMOX-AUTH: " + good + "x\r\n", 403, false},
      {"X-LUMOX-AUTH: " + good + "\r\n", 200, true},
      {"x-lumox-auth: " + good + "\r\n", 200, true},
  };
  size_t seen = 0;
  for (const Case& c : cases) {
    for (const char* method : {"HEAD", "GET"}) {
      SCOPED_TRACE(std::string(method) + " " + c.header);
      Response r;
      ASSERT_TRUE(ParseResponse(
          Exchange(port_, std::string(method) + " / HTTP/1.0\r\n" + c.header + "\r\n"), &r));
      EXPECT_EQ(r.status, c.status);
      ASSERT_TRUE(sim_.WaitForRequests(++seen, 30000));
      kvx_sim::RequestRecord record = sim_.Requests().back();
      EXPECT_EQ(record.auth_ok, c.auth_ok);
      EXPECT_EQ(record.status, c.status);
    }
  }
  CurlResult curl = Curl("-H 'X-LUMOX-AUTH: " + good + "' http://127.0.0.1:" +
                         std::to_string(port_) + "/");
  EXPECT_EQ(curl.exit_code, 0);
  Response r;
  ASSERT_TRUE(ParseResponse(curl.head, &r));
  EXPECT_EQ(r.status, 200);
  curl = Curl("-H 'X-LUMOX-AUTH: " + wrong_digest + "' http://127.0.0.1:" +
              std::to_string(port_) + "/");
  ASSERT_TRUE(ParseResponse(curl.head, &r));
  EXPECT_EQ(r.status, 403);
}

// --- connections and shutdown -------------------------------------------------------------------------

TEST_F(AppSimTest, IdleConnectionsCanBePokedAndDropped) {
  StartWith(AppSimConfig());
  RawClient idle(port_);
  RawClient busy(port_);
  ASSERT_TRUE(sim_.WaitForConnectionsOpen(2, 30000));
  ASSERT_TRUE(sim_.WaitForIdleConnections(2, 30000));
  ASSERT_TRUE(busy.Send("GET / HTTP/1.0\r\n"));  // a head begun: no longer idle
  ASSERT_TRUE(sim_.WaitForIdleConnections(1, 30000));
  EXPECT_EQ(sim_.SendToIdleConnections("!"), 1);
  std::string got;
  ASSERT_TRUE(idle.ReadAtLeast(&got, 1, 30000));
  EXPECT_EQ(got, "!");
  EXPECT_TRUE(busy.QuietFor(100));
  sim_.DropConnections();
  got.clear();
  EXPECT_TRUE(idle.ReadToEnd(&got, 30000));
  EXPECT_TRUE(busy.ReadToEnd(&got, 30000));
  EXPECT_EQ(got, "");
  EXPECT_TRUE(sim_.WaitForConnectionsOpen(0, 30000));
  // The server still accepts after dropping.
  EXPECT_NE(Exchange(port_, kHead).find("200 OK"), std::string::npos);
}

TEST_F(AppSimTest, StopIsPromptWithIdleAndBlockedClientsAndReleasesEverything) {
  const int threads_before = kvx_test::CountThreads();
  const int fds_before = kvx_test::CountOpenDescriptors();
  AppSimConfig config;
  config.frame_size = 4 << 20;
  config.frame_count = 0;  // endless; the client never reads, so the writer blocks
  StartWith(config);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<RawClient>(port_));
  ASSERT_TRUE(clients[0]->Send(kGet));
  ASSERT_TRUE(clients[1]->Send("GET / HTTP/1.0\r\nX-Half: "));
  ASSERT_TRUE(sim_.WaitForConnectionsOpen(3, 30000));
  ASSERT_TRUE(sim_.WaitForRequests(1, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the writer fill the buffers
  EXPECT_EQ(kvx_test::CountThreads(), threads_before + 4);  // acceptor + one per connection

  auto start = Clock::now();
  sim_.Stop();
  EXPECT_LT(ElapsedMs(start), 15000);  // a Stop that waits for the client would hang
  EXPECT_EQ(sim_.ConnectionsOpen(), 0);
  EXPECT_EQ(sim_.Port(), -1);
  // Joined threads may still be listed for a moment after the join returns.
  EXPECT_TRUE(kvx_test::WaitUntil([&] { return kvx_test::CountThreads() <= threads_before; }, 5000));
  EXPECT_EQ(kvx_test::CountThreads(), threads_before);
  clients.clear();
  EXPECT_EQ(kvx_test::CountOpenDescriptors(), fds_before);
  sim_.Stop();  // idempotent

  // And it starts again.
  EXPECT_GT(sim_.Start(), 0);
  EXPECT_EQ(sim_.Start(), -1);  // already running
  EXPECT_NE(Exchange(sim_.Port(), kHead).find("200 OK"), std::string::npos);
}

}  // namespace
