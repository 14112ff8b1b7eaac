// The HTTP server against peers that share no code with it: a small HTTP/1.1
// client of the test's own (the requests a common command-line client sends,
// and a strict reading of the response) for the canned answers, handlers, HEAD,
// request bodies and chunked responses; raw loopback bytes for what no client
// sends (malformed and oversized requests, silent clients). Every server runs
// its Loop on a thread, listens on 127.0.0.1 with a port chosen by the OS, and
// is aborted and joined at the end of the test.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "NptHttpServer.h"
#include "NptUri.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kNotFound[] =
    "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1><p>The requested URL was not found "
    "on this server.</p></html>";
const char kForbidden[] =
    "<html><head><title>403 Forbidden</title></head><body><h1>Forbidden</h1><p>Access to this URL is "
    "forbidden.</p></html>";
const char kInternalError[] =
    "<html><head><title>500 Internal Error</title></head><body><h1>Internal Error</h1><p>The server encountered "
    "an unexpected condition which prevented it from fulfilling the request.</p></html>";

// Runs a server's Loop on a thread; the destructor aborts and joins it.
class RunningServer {
 public:
  explicit RunningServer(NPT_HttpServer& server) : m_Server(server) {
    EXPECT_EQ(NPT_SUCCESS, m_Server.Bind());
    EXPECT_NE(0, m_Server.GetPort());
    m_Thread = std::thread([this] {
      m_Result = m_Server.Loop();
      m_Done = true;
    });
  }
  ~RunningServer() { Stop(); }
  void Stop() {
    if (!m_Thread.joinable()) return;
    m_Server.Abort();
    m_Thread.join();
    EXPECT_EQ(NPT_ERROR_TERMINATED, m_Result.load());
  }
  // Waits for the loop to end by itself, at most `ms`.
  bool WaitDone(int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!m_Done && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return m_Done;
  }
  NPT_UInt16 Port() const { return m_Server.GetPort(); }

 private:
  NPT_HttpServer& m_Server;
  std::thread m_Thread;
  std::atomic<NPT_Result> m_Result{NPT_SUCCESS};
  std::atomic<bool> m_Done{false};
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return (char)std::tolower(c); });
  return text;
}

// Decodes a chunked body; false unless it is well formed up to its last
// chunk and ends there.
bool Dechunk(const std::string& wire, std::string* body) {
  size_t at = 0;
  for (;;) {
    size_t eol = wire.find("\r\n", at);
    if (eol == std::string::npos || eol == at) return false;
    const std::string digits = wire.substr(at, std::min(eol, wire.find(';', at)) - at);
    if (digits.empty() || digits.size() > 8 ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isxdigit(c) != 0; })) {
      return false;
    }
    const size_t size = std::stoul(digits, nullptr, 16);
    at = eol + 2;
    if (size == 0) return wire.compare(at, std::string::npos, "\r\n") == 0;
    if (wire.size() < at + size + 2 || wire.compare(at + size, 2, "\r\n") != 0) return false;
    body->append(wire, at, size);
    at += size + 2;
  }
}

// What the client saw. `complete`: a status line, a head and the whole body
// its framing announced (the length, the chunks, or up to the end), before the
// server closed; `closed`: the server ended (or reset) the connection.
struct Exchange {
  bool complete = false;
  bool closed = false;
  std::string response;  // as received
  std::string head;      // status line and header lines, each ending in CRLF
  std::string body;      // chunks decoded
};

// One request on a fresh connection, as a command-line client sends it
// (HTTP/1.1, Host, User-Agent, Accept; a form content type with a body), and
// the response read until the server closes (30 s: a hang guard).
Exchange Request(NPT_UInt16 port, const std::string& path, const std::string& method = "GET",
                 const std::string& body = "", bool chunked = false) {
  Exchange x;
  kvx_test::LoopbackClient client(port);
  if (!client.Connected()) return x;
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\nUser-Agent: kvx-test\r\nAccept: */*\r\n";
  if (chunked) {
    std::ostringstream size;
    size << std::hex << body.size();
    request += "Transfer-Encoding: chunked\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + size.str() +
               "\r\n" + body + "\r\n0\r\n\r\n";
  } else if (method == "POST") {
    request += "Content-Length: " + std::to_string(body.size()) +
               "\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + body;
  } else {
    request += "\r\n";
  }
  client.Send(request);  // a server that stops reading early still answers (or closes)
  x.closed = client.ReadToEnd(&x.response, 30000);
  size_t end = x.response.find("\r\n\r\n");
  if (!x.closed || end == std::string::npos || x.response.compare(0, 7, "HTTP/1.") != 0) return x;
  x.head = x.response.substr(0, end + 2);
  std::string wire = x.response.substr(end + 4);
  std::string head = Lower(x.head);
  const size_t length = head.find("\r\ncontent-length:");
  if (method == "HEAD") {
    x.complete = wire.empty();
  } else if (head.find("\r\ntransfer-encoding: chunked\r\n") != std::string::npos) {
    x.complete = Dechunk(wire, &x.body);
  } else if (length != std::string::npos) {
    // The announced length, exactly: a shorter body is a cut response.
    const size_t value = length + 17;
    x.body = wire;
    x.complete = std::to_string(wire.size()) == head.substr(value + 1, head.find("\r\n", value) - value - 1) &&
                 head[value] == ' ';
  } else {
    x.body = wire;
    x.complete = true;
  }
  return x;
}

std::string Body(const std::string& response) {
  size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// The shared loopback client; ReadAll gives what arrived until the peer
// closed (`closed`) or `ms` passed.
struct RawClient : kvx_test::LoopbackClient {
  explicit RawClient(NPT_UInt16 port) : LoopbackClient(port) {}
  std::string ReadAll(int ms, bool* closed) {
    std::string data;
    *closed = ReadToEnd(&data, ms);
    return data;
  }
};

// A handler whose answer is chosen by the test; records what it saw.
class ScriptedHandler : public NPT_HttpRequestHandler {
 public:
  explicit ScriptedHandler(NPT_Result result = NPT_SUCCESS, std::string body = "handled")
      : m_Result(result), m_Body(std::move(body)) {}
  NPT_Result SetupResponse(NPT_HttpRequest& request, const NPT_HttpRequestContext& context,
                           NPT_HttpResponse& response) override {
    ++m_Calls;
    // The test thread reads these once the response has come; the socket in between is
    // no synchronisation a race detector can see.
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Method = request.GetMethod().GetChars();
    m_Remote = context.GetRemoteAddress().GetIpAddress().ToString().GetChars();
    if (request.GetEntity()) {
      NPT_InputStreamReference body;
      request.GetEntity()->GetInputStream(body);
      NPT_DataBuffer data;
      if (!body.IsNull()) {
        NPT_LargeSize length = request.GetEntity()->GetContentLength();
        body->Load(data, static_cast<NPT_Size>(length));
      }
      m_RequestBody.assign(reinterpret_cast<const char*>(data.GetData()), data.GetDataSize());
    }
    response.GetHeaders().SetHeader("X-Handler", "yes");
    if (m_ReplaceEntity) response.SetEntity(new NPT_HttpEntity());
    response.GetEntity()->SetInputStream(m_Body.c_str());
    response.GetEntity()->SetContentType("text/plain");
    if (m_Chunked) response.GetEntity()->SetTransferEncoding(NPT_HTTP_TRANSFER_ENCODING_CHUNKED);
    return m_Result;
  }

  NPT_Result m_Result;
  std::string m_Body;
  bool m_Chunked = false;
  bool m_ReplaceEntity = false;  // the handler's own entity instead of the one it was given
  std::string Method() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Method;
  }
  std::string Remote() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Remote;
  }
  std::string RequestBody() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_RequestBody;
  }

  std::atomic<int> m_Calls{0};

 private:
  std::mutex m_Lock;
  std::string m_Method, m_Remote, m_RequestBody;
};

TEST(HttpServerTest, UnknownPathGetsTheNotFoundPage) {
  NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
  RunningServer running(server);
  Exchange r = Request(running.Port(), "/nothing/here");
  ASSERT_TRUE(r.complete) << r.response;
  const std::string& head = r.head;
  EXPECT_EQ(0u, head.find("HTTP/1.0 404 Not Found\r\n")) << head;
  EXPECT_NE(std::string::npos, head.find("Content-Length: " + std::to_string(strlen(kNotFound)) + "\r\n")) << head;
  EXPECT_NE(std::string::npos, head.find("Content-Type: text/html\r\n")) << head;
  EXPECT_NE(std::string::npos, head.find("Server: NPT/1.0.2\r\n")) << head;
  EXPECT_NE(std::string::npos, head.find("Connection: close\r\n")) << head;
  EXPECT_EQ(kNotFound, r.body);
}

TEST(HttpServerTest, HeadGetsHeadersOnly) {
  NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
  ScriptedHandler handler(NPT_SUCCESS, "twelve bytes");
  server.AddRequestHandler(&handler, "/page");
  RunningServer running(server);

  Exchange r = Request(running.Port(), "/page", "HEAD");
  ASSERT_TRUE(r.complete) << r.response;
  EXPECT_EQ(0u, r.head.find("HTTP/1.0 200 OK\r\n")) << r.head;
  EXPECT_NE(std::string::npos, r.head.find("Content-Length: 12\r\n")) << r.head;
  EXPECT_EQ("HEAD", handler.Method());

  // On the wire: the head, then the connection closes without a body byte.
  for (const char* path : {"/page", "/missing"}) {
    SCOPED_TRACE(path);
    RawClient client(running.Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(std::string("HEAD ") + path + " HTTP/1.0\r\n\r\n"));
    bool closed = false;
    std::string response = client.ReadAll(20000, &closed);
    EXPECT_TRUE(closed);
    ASSERT_NE(std::string::npos, response.find("\r\n\r\n")) << response;
    EXPECT_EQ("", Body(response));
  }
}

// Registration table against requested paths: which handler (or 404) answers.
TEST(HttpServerTest, HandlersAreFoundByPath) {
  NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
  ScriptedHandler exact(NPT_SUCCESS, "exact");
  ScriptedHandler tree(NPT_SUCCESS, "tree");
  ScriptedHandler root(NPT_SUCCESS, "root");
  server.AddRequestHandler(&exact, "/exact");
  server.AddRequestHandler(&tree, "/tree", true);
  server.AddRequestHandler(&root, "/", true);
  RunningServer running(server);

  struct Case {
    const char* path;
    const char* body;
  } cases[] = {
      {"/exact", "exact"}, {"/exact/child", "root"}, {"/tree", "tree"},     {"/tree/a/b", "tree"},
      {"/", "root"},       {"/other?x=1", "root"},   {"/%65xact", "exact"},  // matched after percent-decoding
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Exchange r = Request(running.Port(), c.path);
    ASSERT_TRUE(r.complete) << r.response;
    EXPECT_EQ(0u, r.head.find("HTTP/1.0 200 OK\r\n")) << r.head;
    EXPECT_NE(std::string::npos, r.head.find("X-Handler: yes\r\n"));
    EXPECT_EQ(c.body, r.body);
  }
  EXPECT_EQ("127.0.0.1", root.Remote());

  // Without the catch-all, a path no entry covers is 404 and a handler
  // without children answers only its own path.
  NPT_HttpServer narrow(NPT_IpAddress::Loopback, 0);
  ScriptedHandler only_root;
  narrow.AddRequestHandler(&only_root, "/");
  RunningServer running_narrow(narrow);
  EXPECT_EQ(0u, Request(running_narrow.Port(), "/").head.find("HTTP/1.0 200 OK"));
  EXPECT_EQ(0u, Request(running_narrow.Port(), "/a").head.find("HTTP/1.0 404 Not Found"));
  EXPECT_EQ(1, only_root.m_Calls.load());
}

// What a handler's SetupResponse result turns into. A handler that failed
// may have replaced the entity and set headers and encodings: none of it
// reaches the canned answer.
TEST(HttpServerTest, HandlerResultsSelectTheAnswer) {
  struct Case {
    NPT_Result result;
    bool replace;
    const char* status_line;
    const char* body;
  } cases[] = {
      {NPT_SUCCESS, false, "HTTP/1.0 200 OK\r\n", "handled"},
      {NPT_SUCCESS, true, "HTTP/1.0 200 OK\r\n", "handled"},
      {NPT_ERROR_PERMISSION_DENIED, false, "HTTP/1.0 403 Forbidden\r\n", kForbidden},
      {NPT_ERROR_PERMISSION_DENIED, true, "HTTP/1.0 403 Forbidden\r\n", kForbidden},
      {NPT_ERROR_NO_SUCH_ITEM, true, "HTTP/1.0 404 Not Found\r\n", kNotFound},
      {NPT_RESULT_FAILURE, false, "HTTP/1.0 500 Internal Error\r\n", kInternalError},
      {NPT_ERROR_OUT_OF_MEMORY, true, "HTTP/1.0 500 Internal Error\r\n", kInternalError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(NPT_ResultName(c.result)) + (c.replace ? " replaced" : ""));
    NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
    ScriptedHandler handler(c.result);
    handler.m_ReplaceEntity = c.replace;
    handler.m_Chunked = c.result != NPT_SUCCESS;
    server.AddRequestHandler(&handler, "/", true);
    RunningServer running(server);
    Exchange r = Request(running.Port(), "/x");
    ASSERT_TRUE(r.complete) << r.response;
    EXPECT_EQ(0u, r.head.find(c.status_line)) << r.head;
    EXPECT_EQ(c.body, r.body);
    EXPECT_NE(std::string::npos, r.head.find("Content-Length: " + std::to_string(strlen(c.body)) + "\r\n"));
    // The canned answers do not carry what the handler had set.
    EXPECT_EQ(c.result == NPT_SUCCESS, r.head.find("X-Handler") != std::string::npos);
    EXPECT_EQ(std::string::npos, r.head.find("Transfer-Encoding"));
  }
}

TEST(HttpServerTest, TerminatedHandlerAnswersThenEndsTheLoop) {
  NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
  ScriptedHandler handler(NPT_ERROR_TERMINATED, "bye");
  server.AddRequestHandler(&handler, "/stop");
  RunningServer running(server);
  Exchange r = Request(running.Port(), "/stop");
  ASSERT_TRUE(r.complete) << r.response;
  EXPECT_EQ(0u, r.head.find("HTTP/1.0 200 OK\r\n"));
  EXPECT_EQ("bye", r.body);
  EXPECT_TRUE(running.WaitDone(30000));
}

TEST(HttpServerTest, RequestBodiesAndChunkedResponses) {
  NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
  ScriptedHandler handler(NPT_SUCCESS, std::string(20000, 'z'));
  handler.m_Chunked = true;
  server.AddRequestHandler(&handler, "/post");
  RunningServer running(server);

  Exchange r = Request(running.Port(), "/post", "POST", "name=value&x=y");
  ASSERT_TRUE(r.complete) << r.response;
  EXPECT_EQ("POST", handler.Method());
  EXPECT_EQ("name=value&x=y", handler.RequestBody());
  EXPECT_NE(std::string::npos, r.head.find("Transfer-Encoding: chunked\r\n"));
  EXPECT_EQ(std::string(20000, 'z'), r.body);  // complete: the chunks decoded up to the last one
  r = Request(running.Port(), "/post", "POST", "chunked body", true);
  ASSERT_TRUE(r.complete) << r.response;
  EXPECT_EQ(std::string(20000, 'z'), r.body);
  EXPECT_EQ("chunked body", handler.RequestBody());
}

// Bad input: each of these gets no response, and the server goes on serving.
TEST(HttpServerTest, MalformedRequestsGetNoResponse) {
  NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
  ScriptedHandler handler;
  server.AddRequestHandler(&handler, "/", true);
  RunningServer running(server);

  std::string many_headers = "GET / HTTP/1.0\r\n";
  for (int i = 0; i < 150; ++i) many_headers += "X-H" + std::to_string(i) + ": v\r\n";
  many_headers += "\r\n";
  const std::string inputs[] = {
      "GET /\r\n\r\n",                                         // no second space
      "GARBAGE\r\n\r\n",                                       // no space at all
      "GET /" + std::string(9000, 'a') + " HTTP/1.0\r\n\r\n",  // request line over the limit
      many_headers,                                            // header block over the limit
  };
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input.substr(0, 20));
    RawClient client(running.Port());
    ASSERT_TRUE(client.Connected());
    client.Send(input);
    bool closed = false;
    std::string response = client.ReadAll(20000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ("", response);
  }
  // A client sees the overlong request line as an empty (or reset) reply.
  Exchange r = Request(running.Port(), "/" + std::string(9000, 'b'));
  EXPECT_TRUE(r.closed);
  EXPECT_EQ("", r.response);
  EXPECT_EQ(0, handler.m_Calls.load());

  EXPECT_EQ("handled", Request(running.Port(), "/after").body);
}

TEST(HttpServerTest, SilentClientIsDroppedAtTheIoTimeout) {
  NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
  server.SetTimeouts(NPT_TIMEOUT_INFINITE, 300);
  ScriptedHandler handler;
  server.AddRequestHandler(&handler, "/", true);
  RunningServer running(server);

  RawClient silent(running.Port());
  ASSERT_TRUE(silent.Connected());
  RawClient slow(running.Port());
  ASSERT_TRUE(slow.Connected());
  slow.Send("GET / HT");  // never finishes its line
  auto start = Clock::now();
  Exchange r = Request(running.Port(), "/next");
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_TRUE(r.complete) << r.response;
  EXPECT_EQ("handled", r.body);
  EXPECT_GE(elapsed, 500);  // both were waited out, one after the other
  bool closed = false;
  EXPECT_EQ("", silent.ReadAll(20000, &closed));
  EXPECT_TRUE(closed);
}

// A client that sends its head a byte at a time, each well within the I/O
// time-out, is dropped at the head deadline, and the next client is served.
TEST(HttpServerTest, TricklingClientIsDroppedAtTheHeadDeadline) {
  NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
  NPT_HttpServer::Config config = server.GetConfig();
  config.m_IoTimeout = 20000;
  config.m_HeadTimeout = 500;
  ASSERT_EQ(NPT_SUCCESS, server.SetConfig(config));
  ScriptedHandler handler;
  server.AddRequestHandler(&handler, "/", true);
  RunningServer running(server);

  RawClient slow(running.Port());
  ASSERT_TRUE(slow.Connected());
  std::atomic<bool> stop(false);
  std::thread trickle([&] {
    slow.Send("GET / HTTP/1.0\r\n");
    while (!stop && slow.Send("X")) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  });
  std::string answer;
  bool closed = slow.ReadToEnd(&answer, 30000);  // hang guard: the trickle never ends by itself
  stop = true;
  trickle.join();
  EXPECT_TRUE(closed) << "the server kept reading the trickle";
  EXPECT_EQ("", answer);
  EXPECT_EQ(0, handler.m_Calls.load());
  EXPECT_EQ("handled", Request(running.Port(), "/next").body);
}

TEST(HttpServerTest, AbortEndsTheLoopPromptly) {
  // While waiting for a client without limit.
  {
    NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
    RunningServer running(server);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    running.Stop();  // returns only once the loop has ended
  }
  // While serving a client that sends nothing, with no I/O limit.
  {
    NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
    server.SetTimeouts(NPT_TIMEOUT_INFINITE, NPT_TIMEOUT_INFINITE);
    RunningServer running(server);
    RawClient silent(running.Port());
    ASSERT_TRUE(silent.Connected());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    running.Stop();
  }
  // Before the loop starts: WaitForNewClient reports the end at once.
  NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
  server.Abort();
  NPT_InputStreamReference input;
  NPT_OutputStreamReference output;
  EXPECT_EQ(NPT_ERROR_TERMINATED, server.WaitForNewClient(input, output, nullptr));
  EXPECT_EQ(NPT_ERROR_TERMINATED, server.Loop());
}

TEST(HttpServerTest, ServingReleasesEveryDescriptor) {
  int baseline = kvx_test::CountOpenDescriptors();
  {
    NPT_HttpServer server(NPT_IpAddress::Loopback, 0);
    ScriptedHandler handler;
    server.AddRequestHandler(&handler, "/", true);
    RunningServer running(server);
    for (int i = 0; i < 5; ++i) EXPECT_EQ("handled", Request(running.Port(), "/r").body);
    RawClient bad(running.Port());
    bad.Send("BAD\r\n\r\n");
    bool closed = false;
    bad.ReadAll(20000, &closed);
    EXPECT_TRUE(closed);
  }
  EXPECT_EQ(baseline, kvx_test::CountOpenDescriptors());
}

// The response writer on its own: exact bytes for a response without entity
// and one whose headers the caller already set.
TEST(HttpResponderTest, SendResponseHeadersCompletesTheHead) {
  NPT_MemoryStream* sink = new NPT_MemoryStream();
  NPT_OutputStreamReference output(static_cast<NPT_OutputStream*>(sink));
  NPT_InputStreamReference input(static_cast<NPT_InputStream*>(new NPT_MemoryStream()));
  NPT_HttpResponder responder(input, output);

  NPT_HttpResponse bare(204, "No Content", NPT_HTTP_PROTOCOL_1_1);
  ASSERT_EQ(NPT_SUCCESS, responder.SendResponseHeaders(bare));
  std::string wire(reinterpret_cast<const char*>(sink->GetBuffer().GetData()), sink->GetBuffer().GetDataSize());
  EXPECT_EQ("HTTP/1.1 204 No Content\r\nServer: NPT/1.0.2\r\nContent-Length: 0\r\n\r\n", wire);

  sink->SetDataSize(0);
  NPT_HttpResponse own(200, "OK", NPT_HTTP_PROTOCOL_1_0);
  own.GetHeaders().SetHeader("Server", "mine");
  own.GetHeaders().SetHeader("Connection", "keep-alive");
  own.GetHeaders().SetHeader("Content-Length", "999");
  NPT_HttpEntity* entity = new NPT_HttpEntity();
  entity->SetInputStream("abc");
  entity->SetContentType("text/plain");
  own.SetEntity(entity);
  ASSERT_EQ(NPT_SUCCESS, responder.SendResponseHeaders(own));
  wire.assign(reinterpret_cast<const char*>(sink->GetBuffer().GetData()), sink->GetBuffer().GetDataSize());
  EXPECT_EQ(
      "HTTP/1.0 200 OK\r\nServer: mine\r\nConnection: keep-alive\r\nContent-Length: 3\r\n"
      "Content-Type: text/plain\r\n\r\n",
      wire);
}

}  // namespace
