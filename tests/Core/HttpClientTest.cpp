// The HTTP client against a real peer: Python's standard http.server, started
// on a free loopback port with the handler script tests/Core/http_test_server.py
// and stopped when the suite ends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "NptHttp.h"
#include "NptSockets.h"
#include "TestSupport.h"

extern char** environ;

namespace {

class PythonHttpServer {
 public:
  // Starts the server and waits (at most 15 s) for the port it prints.
  bool Start() {
    const char* python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    std::string script = kvx_test::SourcePath("tests/Core/http_test_server.py");
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0) return false;
    if (pipe2(from_child, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    char* argv[] = {const_cast<char*>(python), const_cast<char*>(script.c_str()), nullptr};
    int spawned = posix_spawnp(&m_Pid, python, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(to_child[0]);
    close(from_child[1]);
    m_Stdin = to_child[1];
    int out = from_child[0];
    if (spawned != 0) {
      m_Pid = -1;
      close(out);
      return false;
    }
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd pfd = {out, POLLIN, 0};
      if (poll(&pfd, 1, 200) <= 0) continue;
      char buffer[64];
      ssize_t count = read(out, buffer, sizeof(buffer));
      if (count <= 0) break;
      line.append(buffer, (size_t)count);
    }
    close(out);
    m_Port = (NPT_UInt16)atoi(line.c_str());
    return m_Port != 0;
  }

  // Closing stdin asks the server to end; it is killed if it has not after 3 s.
  void Stop() {
    if (m_Stdin >= 0) close(m_Stdin);
    m_Stdin = -1;
    if (m_Pid <= 0) return;
    for (int i = 0; i < 30; ++i) {
      if (waitpid(m_Pid, nullptr, WNOHANG) == m_Pid) {
        m_Pid = -1;
        return;
      }
      usleep(100000);
    }
    kill(m_Pid, SIGKILL);
    waitpid(m_Pid, nullptr, 0);
    m_Pid = -1;
  }

  NPT_UInt16 Port() const { return m_Port; }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_Port) + path; }

 private:
  pid_t m_Pid = -1;
  int m_Stdin = -1;
  NPT_UInt16 m_Port = 0;
};

std::string ReadBody(NPT_HttpResponse& response, NPT_Result& end) {
  std::string body;
  end = NPT_SUCCESS;
  NPT_HttpEntity* entity = response.GetEntity();
  if (entity == nullptr) return body;
  NPT_InputStreamReference stream;
  end = entity->GetInputStream(stream);
  if (NPT_FAILED(end)) return body;
  char buffer[256];
  for (;;) {
    NPT_Size count = 0;
    end = stream->Read(buffer, sizeof(buffer), &count);
    if (NPT_FAILED(end)) return body;
    body.append(buffer, count);
  }
}

struct Exchange {
  NPT_Result result = NPT_FAILURE;
  NPT_HttpResponse* response = nullptr;
  ~Exchange() { delete response; }
};

class HttpClientAgainstPython : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_Server = new PythonHttpServer();
    s_Started = s_Server->Start();
  }
  static void TearDownTestSuite() {
    s_Server->Stop();
    delete s_Server;
    s_Server = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(s_Started) << "python3 http.server did not start";
    m_Client.SetTimeouts(20000, 30000, 20000);
  }

  void Send(Exchange& exchange, const std::string& path, const char* method = "GET") {
    NPT_HttpRequest request(s_Server->Url(path).c_str(), method, "HTTP/1.0");
    exchange.result = m_Client.SendRequest(request, exchange.response);
  }

  static PythonHttpServer* s_Server;
  static bool s_Started;
  NPT_HttpClient m_Client;
};

PythonHttpServer* HttpClientAgainstPython::s_Server = nullptr;
bool HttpClientAgainstPython::s_Started = false;

}  // namespace

TEST_F(HttpClientAgainstPython, OkWithContentLength) {
  Exchange exchange;
  Send(exchange, "/ok");
  ASSERT_EQ(NPT_SUCCESS, exchange.result);
  ASSERT_NE(nullptr, exchange.response);
  EXPECT_EQ(200, exchange.response->GetStatusCode());
  NPT_HttpEntity* entity = exchange.response->GetEntity();
  ASSERT_NE(nullptr, entity);
  EXPECT_TRUE(entity->ContentLengthIsKnown());
  EXPECT_EQ(11u, entity->GetContentLength());
  EXPECT_STREQ("text/plain", entity->GetContentType().GetChars());
  NPT_Result end;
  EXPECT_EQ("hello world", ReadBody(*exchange.response, end));
  EXPECT_EQ(NPT_ERROR_EOS, end);
}

TEST_F(HttpClientAgainstPython, ServerSeesTheAddedHeaders) {
  Exchange exchange;
  Send(exchange, "/echo");
  ASSERT_EQ(NPT_SUCCESS, exchange.result);
  NPT_Result end;
  std::string echoed = ReadBody(*exchange.response, end);
  EXPECT_NE(std::string::npos, echoed.find("GET /echo HTTP/1.0\r\n")) << echoed;
  EXPECT_NE(std::string::npos, echoed.find("Connection: close\n")) << echoed;
  EXPECT_NE(std::string::npos, echoed.find("Host: 127.0.0.1:" + std::to_string(s_Server->Port()) + "\n")) << echoed;
  EXPECT_NE(std::string::npos, echoed.find("Content-Length: 0\n")) << echoed;
}

TEST_F(HttpClientAgainstPython, ChunkedBody) {
  Exchange exchange;
  Send(exchange, "/chunked");
  ASSERT_EQ(NPT_SUCCESS, exchange.result);
  NPT_HttpEntity* entity = exchange.response->GetEntity();
  ASSERT_NE(nullptr, entity);
  EXPECT_TRUE(entity->GetTransferEncoding().IsEmpty());
  NPT_Result end;
  EXPECT_EQ("hello chunked world", ReadBody(*exchange.response, end));
  EXPECT_EQ(NPT_ERROR_EOS, end);
}

TEST_F(HttpClientAgainstPython, ContinueThenOk) {
  Exchange exchange;
  Send(exchange, "/continue");
  ASSERT_EQ(NPT_SUCCESS, exchange.result);
  EXPECT_EQ(200, exchange.response->GetStatusCode());
  EXPECT_NE(nullptr, exchange.response->GetHeaders().GetHeader("X-Final"));
  EXPECT_EQ(nullptr, exchange.response->GetHeaders().GetHeader("X-Interim"));
  NPT_Result end;
  EXPECT_EQ("after continue", ReadBody(*exchange.response, end));
}

TEST_F(HttpClientAgainstPython, RedirectsAreFollowedForGetAndHead) {
  for (int code : {301, 302, 303, 307}) {
    for (const char* method : {"GET", "HEAD"}) {
      SCOPED_TRACE(std::to_string(code) + method);
      Exchange exchange;
      NPT_HttpRequest request(s_Server->Url("/redirect/" + std::to_string(code)).c_str(), method);
      exchange.result = m_Client.SendRequest(request, exchange.response);
      ASSERT_EQ(NPT_SUCCESS, exchange.result);
      ASSERT_NE(nullptr, exchange.response);
      EXPECT_EQ(200, exchange.response->GetStatusCode());
      EXPECT_STREQ("/ok", request.GetUrl().GetPath().GetChars());
      NPT_Result end;
      EXPECT_EQ(std::string(method) == "GET" ? "hello world" : "", ReadBody(*exchange.response, end));
    }
  }
}

TEST_F(HttpClientAgainstPython, RedirectsNotFollowed) {
  struct Case {
    const char* path;
    const char* method;
    bool follow;
    NPT_Int32 status;
  };
  const Case cases[] = {
      {"/redirect/302", "GET", false, 302},   // FollowRedirect off
      {"/redirect/302", "POST", true, 302},   // only GET and HEAD follow
      {"/redirect/308", "GET", true, 308},    // not a redirect status the client knows
      {"/nolocation", "GET", true, 302},      // no usable Location
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    NPT_HttpClient::Config config;
    config.m_FollowRedirect = c.follow;
    m_Client.SetConfig(config);
    Exchange exchange;
    Send(exchange, c.path, c.method);
    ASSERT_EQ(NPT_SUCCESS, exchange.result);
    ASSERT_NE(nullptr, exchange.response);
    EXPECT_EQ(c.status, exchange.response->GetStatusCode());
    EXPECT_NE(nullptr, exchange.response->GetHeaders().GetHeader("content-length"));
  }
}

TEST_F(HttpClientAgainstPython, RedirectToUnusableLocationFailsAtConnection) {
  for (const char* path : {"/relative", "/https"}) {
    SCOPED_TRACE(path);
    Exchange exchange;
    Send(exchange, path);
    EXPECT_EQ(NPT_ERROR_HOST_UNKNOWN, exchange.result);
    EXPECT_EQ(nullptr, exchange.response);
  }
}

TEST_F(HttpClientAgainstPython, RedirectChainAllowance) {
  Exchange twenty;
  Send(twenty, "/chain/20");
  ASSERT_EQ(NPT_SUCCESS, twenty.result);
  ASSERT_NE(nullptr, twenty.response);
  EXPECT_EQ(200, twenty.response->GetStatusCode());

  // The 21st redirect ends the call with success and no response.
  Exchange twenty_one;
  Send(twenty_one, "/chain/21");
  EXPECT_EQ(NPT_SUCCESS, twenty_one.result);
  EXPECT_EQ(nullptr, twenty_one.response);
}

TEST_F(HttpClientAgainstPython, HeadHasNoEntity) {
  Exchange exchange;
  Send(exchange, "/ok", "HEAD");
  ASSERT_EQ(NPT_SUCCESS, exchange.result);
  EXPECT_EQ(200, exchange.response->GetStatusCode());
  EXPECT_EQ(nullptr, exchange.response->GetEntity());
  EXPECT_STREQ("11", exchange.response->GetHeaders().GetHeaderValue("Content-Length")->GetChars());
}

TEST_F(HttpClientAgainstPython, GetWithEntityIsRefused) {
  NPT_HttpRequest request(s_Server->Url("/ok").c_str(), "GET");
  NPT_HttpEntity* entity = new NPT_HttpEntity();
  entity->SetInputStream("x");
  request.SetEntity(entity);
  NPT_HttpResponse* response = reinterpret_cast<NPT_HttpResponse*>(&request);
  EXPECT_EQ(NPT_ERROR_HTTP_INVALID_REQUEST, m_Client.SendRequest(request, response));
  EXPECT_EQ(nullptr, response);
}

TEST_F(HttpClientAgainstPython, PostSendsItsBody) {
  NPT_HttpRequest request(s_Server->Url("/echo").c_str(), "POST");
  NPT_HttpEntity* entity = new NPT_HttpEntity();
  entity->SetInputStream("payload");
  request.SetEntity(entity);
  Exchange exchange;
  exchange.result = m_Client.SendRequest(request, exchange.response);
  ASSERT_EQ(NPT_SUCCESS, exchange.result);
  NPT_Result end;
  EXPECT_NE(std::string::npos, ReadBody(*exchange.response, end).find("Content-Length: 7\n"));
}

TEST_F(HttpClientAgainstPython, StalledServerTimesOut) {
  // The server holds the connection until the client goes: only the
  // client's own time-out ends the exchange.
  m_Client.SetTimeouts(20000, 300, 20000);
  Exchange exchange;
  Send(exchange, "/stall");
  EXPECT_EQ(NPT_ERROR_TIMEOUT, exchange.result);
  EXPECT_EQ(nullptr, exchange.response);
}

TEST_F(HttpClientAgainstPython, AbortEndsABlockedReadPromptly) {
  struct Case {
    const char* path;
    bool during_body;
  };
  for (const Case& c : {Case{"/stall", false}, Case{"/stallbody", true}}) {
    SCOPED_TRACE(c.path);
    NPT_HttpClient client(new NPT_HttpTcpConnector(true));
    // No I/O limit and a server that holds on: only the abort ends the read.
    client.SetTimeouts(20000, NPT_TIMEOUT_INFINITE, 20000);
    std::atomic<bool> done{false}, body_begun{false};
    NPT_Result result = NPT_FAILURE;
    NPT_Result body_end = NPT_FAILURE;
    std::string body;
    std::thread worker([&] {
      NPT_HttpRequest request(s_Server->Url(c.path).c_str(), "GET");
      NPT_HttpResponse* response = nullptr;
      result = client.SendRequest(request, response);
      NPT_InputStreamReference stream;
      if (response && response->GetEntity()) response->GetEntity()->GetInputStream(stream);
      char bytes[16];
      if (!stream.IsNull() && stream->ReadFully(bytes, 2) == NPT_SUCCESS) {
        body.assign(bytes, 2);
        body_begun = true;
        body_end = stream->Read(bytes, sizeof(bytes));
      }
      delete response;
      done = true;
    });
    // Time to block in the read (the server holds on until the client goes).
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_FALSE(done.load());
    // Aborted again until the read ends: on a loaded machine an abort may
    // still come before the connection exists and find nothing to end. In
    // the body case, once the body's first bytes are in. Hang guard: the
    // server would hold on 60 s.
    EXPECT_TRUE(kvx_test::WaitUntil(
        [&] {
          if (!c.during_body || body_begun) client.Abort();
          return done.load();
        },
        30000))
        << "the abort did not end the read";
    worker.join();
    if (c.during_body) {
      EXPECT_EQ(NPT_SUCCESS, result);
      EXPECT_EQ("ab", body);
      EXPECT_EQ(NPT_ERROR_CANCELLED, body_end);
    } else {
      EXPECT_EQ(NPT_ERROR_CANCELLED, result);
    }
  }
}

TEST(HttpClientConnection, RefusedConnection) {
  // A port that was free a moment ago: bound, then released.
  NPT_UInt16 port = 0;
  {
    NPT_TcpServerSocket probe;
    ASSERT_EQ(NPT_SUCCESS, probe.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)));
    NPT_SocketInfo info;
    ASSERT_EQ(NPT_SUCCESS, probe.GetInfo(info));
    port = info.local_address.GetPort();
  }
  ASSERT_NE(0, port);
  NPT_HttpClient client;
  client.SetTimeouts(2000, 2000, 2000);
  NPT_HttpRequest request(("http://127.0.0.1:" + std::to_string(port) + "/").c_str(), "GET");
  NPT_HttpResponse* response = nullptr;
  EXPECT_EQ(NPT_ERROR_CONNECTION_REFUSED, client.SendRequest(request, response));
  EXPECT_EQ(nullptr, response);
}

namespace {

// A connector that records its calls and fails them, to check what the client
// passes (proxy address, secure flag, timeouts) without any network.
class RecordingConnector : public NPT_HttpClient::Connector {
 public:
  explicit RecordingConnector(int* destroyed) : m_Destroyed(destroyed) {}
  ~RecordingConnector() override { ++*m_Destroyed; }
  NPT_Result Connect(const char* hostname, NPT_UInt16 port, bool secure, NPT_Timeout connection_timeout,
                     NPT_Timeout io_timeout, NPT_Timeout resolver_timeout, NPT_InputStreamReference&,
                     NPT_OutputStreamReference&) override {
    m_Host = hostname;
    m_Port = port;
    m_Secure = secure;
    m_Timeouts = {connection_timeout, io_timeout, resolver_timeout};
    return NPT_ERROR_CONNECTION_REFUSED;
  }
  std::string m_Host;
  NPT_UInt16 m_Port = 0;
  bool m_Secure = false;
  std::vector<NPT_Timeout> m_Timeouts;
  int* m_Destroyed;
};

class FailingSelector : public NPT_HttpProxySelector {
 public:
  NPT_Result GetProxyForUrl(const NPT_HttpUrl&, NPT_HttpProxyAddress&) override { return NPT_ERROR_INTERNAL; }
};

}  // namespace

TEST(HttpClientConnection, ConnectorArgumentsProxiesAndOwnership) {
  int destroyed = 0;
  RecordingConnector* connector = new RecordingConnector(&destroyed);
  {
    NPT_HttpClient client(connector);
    client.SetTimeouts(11, 22, 33);
    NPT_HttpRequest request("http://device:8100/x", "GET");
    NPT_HttpResponse* response = nullptr;
    EXPECT_EQ(NPT_ERROR_CONNECTION_REFUSED, client.SendRequest(request, response));
    EXPECT_EQ("device", connector->m_Host);
    EXPECT_EQ(8100, connector->m_Port);
    EXPECT_FALSE(connector->m_Secure);
    EXPECT_EQ((std::vector<NPT_Timeout>{11, 22, 33}), connector->m_Timeouts);

    client.SetProxy("proxy", 3128);
    EXPECT_EQ(NPT_ERROR_CONNECTION_REFUSED, client.SendRequest(request, response));
    EXPECT_EQ("proxy", connector->m_Host);
    EXPECT_EQ(3128, connector->m_Port);

    FailingSelector failing;
    client.SetProxySelector(&failing);
    EXPECT_EQ(NPT_ERROR_INTERNAL, client.SendRequest(request, response));
    client.SetProxy(nullptr, 0);
    EXPECT_EQ(NPT_ERROR_CONNECTION_REFUSED, client.SendRequest(request, response));
    EXPECT_EQ("device", connector->m_Host);

    // Setting the same connector keeps it; another one replaces and destroys it.
    client.SetConnector(connector);
    EXPECT_EQ(0, destroyed);
    client.SetConnector(new RecordingConnector(&destroyed));
    EXPECT_EQ(1, destroyed);
    client.SetConnector(nullptr);
    EXPECT_EQ(2, destroyed);
    EXPECT_EQ(NPT_ERROR_INVALID_PARAMETERS, client.SendRequest(request, response));
    EXPECT_EQ(NPT_SUCCESS, client.Abort());
  }
  EXPECT_EQ(2, destroyed);
}

TEST(HttpClientConnection, DefaultConfiguration) {
  NPT_HttpClient client;
  EXPECT_EQ(30000, client.GetConfig().m_ConnectionTimeout);
  EXPECT_EQ(30000, client.GetConfig().m_IoTimeout);
  EXPECT_EQ(60000, client.GetConfig().m_NameResolverTimeout);
  EXPECT_TRUE(client.GetConfig().m_FollowRedirect);
}
