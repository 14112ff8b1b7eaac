// KVX_HttpTcpConnector and KVX_USBClientSocket over loopback TCP and over the
// test double of the usbmux client library: routing by handle, the one-entry
// connection cache, could-not-connect results, and Abort from another thread.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../doubles/usbmuxd_double/UsbmuxdDouble.h"
#include "KvxHttpTcpConnector.h"
#include "KvxUSBClientSocket.h"
#include "KvxUSBMux.h"
#include "NptHttp.h"
#include "NptStreams.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

const NPT_Int32 kHandle = 7;
const NPT_UInt16 kAppPort = 8100;

std::string DoublePath() { return kvx_test::UsbmuxdDoublePath(); }

using kvx_test::ElapsedMs;

using Listener = kvx_test::LoopbackListener;

// A port on which nothing listens (bound, then closed).
NPT_UInt16 ClosedPort() {
  Listener listener;
  return listener.Port();
}

// Reads exactly `size` bytes from a peer descriptor (hang guard: 20 s).
std::string ReadPeer(int fd, size_t size) {
  std::string data;
  while (data.size() < size) {
    if (!kvx_test::raw::WaitReadable(fd, 20000)) break;
    char buffer[256];
    long got = kvx_test::raw::Receive(fd, buffer, std::min(sizeof(buffer), size - data.size()));
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  return data;
}

// True when the peer sees end of stream (or a reset) within `timeout_ms`.
bool PeerSeesEnd(int fd, int timeout_ms) {
  if (!kvx_test::raw::WaitReadable(fd, timeout_ms)) return false;
  char byte;
  return kvx_test::raw::Receive(fd, &byte, 1) <= 0;
}

// Both directions work: the client's bytes reach the peer and back.
void ExpectExchange(NPT_InputStreamReference& input, NPT_OutputStreamReference& output, int peer) {
  ASSERT_FALSE(input.IsNull());
  ASSERT_FALSE(output.IsNull());
  ASSERT_EQ(NPT_SUCCESS, output->WriteFully("ping", 4));
  EXPECT_EQ("ping", ReadPeer(peer, 4));
  ASSERT_EQ(4, kvx_test::raw::Send(peer, "pong", 4));
  char buffer[4];
  ASSERT_EQ(NPT_SUCCESS, input->ReadFully(buffer, 4));
  EXPECT_EQ(0, std::memcmp(buffer, "pong", 4));
}

class ConnectorTest : public ::testing::Test {
 protected:
  ConnectorTest() : m_Double(DoublePath()), m_Mux(DoublePath().c_str()) {}
  void SetUp() override {
    ASSERT_TRUE(m_Double.IsLoaded()) << DoublePath();
    m_Double.reset();
    ASSERT_TRUE(m_App.IsOpen());
    m_Double.attach(kHandle, 0x1291, "device-7");
    m_Double.map_port(kHandle, kAppPort, m_App.Port());
  }
  void TearDown() override {
    if (m_Double.IsLoaded()) m_Double.reset();
  }

  NPT_Result Connect(KVX_HttpTcpConnector& connector, const char* host, NPT_UInt16 port,
                     NPT_Timeout io_timeout = 30000) {
    return connector.Connect(host, port, false, 20000, io_timeout, 20000, m_Input, m_Output);
  }

  KvxUsbmuxdDouble m_Double;
  KVX_USBMux m_Mux;
  Listener m_App;  // the app behind kAppPort on device kHandle, and a TCP server
  NPT_InputStreamReference m_Input;
  NPT_OutputStreamReference m_Output;
};

TEST_F(ConnectorTest, HandleZeroConnectsOverTcpToTheUrlsHostAndPort) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    KVX_HttpTcpConnector connector(0, m_Mux);
    ASSERT_EQ(NPT_SUCCESS, Connect(connector, host, m_App.Port()));
    int peer = m_App.Accept();
    ASSERT_GE(peer, 0);
    ExpectExchange(m_Input, m_Output, peer);
  }
  EXPECT_EQ(0, m_Double.connect_count());
}

TEST_F(ConnectorTest, NonZeroHandleIgnoresTheHostAndTunnelsToThePort) {
  for (const char* host : {"device-7-identifier", "10.1.2.3", "localhost"}) {
    SCOPED_TRACE(host);
    KVX_HttpTcpConnector connector(kHandle, m_Mux);
    ASSERT_EQ(NPT_SUCCESS, Connect(connector, host, kAppPort));
    EXPECT_EQ(static_cast<uint32_t>(kHandle), m_Double.last_connect_handle());
    EXPECT_EQ(kAppPort, m_Double.last_connect_port());
    int peer = m_App.Accept();
    ASSERT_GE(peer, 0);
    ExpectExchange(m_Input, m_Output, peer);
  }
  EXPECT_EQ(3, m_Double.connect_count());
}

// Each step: (host, port, expect a new connection). The cache holds one
// connection, keyed by the exact host text and the port.
struct CacheStep {
  const char* host;
  bool other_port;
  bool expect_new;
};

TEST_F(ConnectorTest, CacheReusesOnlyTheSameHostAndPort) {
  Listener other;
  ASSERT_TRUE(other.IsOpen());
  const CacheStep steps[] = {
      {"localhost", false, true},  {"localhost", false, false}, {"LOCALHOST", false, true},
      {"LOCALHOST", false, false}, {"localhost", false, true},  {"localhost", true, true},
      {"localhost", true, false},  {"localhost", false, true},
  };
  KVX_HttpTcpConnector connector(0, m_Mux);
  NPT_InputStream* previous = nullptr;
  for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
    const CacheStep& step = steps[i];
    SCOPED_TRACE(i);
    Listener& server = step.other_port ? other : m_App;
    ASSERT_EQ(NPT_SUCCESS, Connect(connector, step.host, server.Port()));
    EXPECT_EQ(step.expect_new, server.HasPending(step.expect_new ? 20000 : 100));
    EXPECT_EQ(step.expect_new, m_Input.AsPointer() != previous);
    if (step.expect_new) {
      int peer = server.Accept();
      ASSERT_GE(peer, 0);
      ExpectExchange(m_Input, m_Output, peer);
    }
    previous = m_Input.AsPointer();
  }
}

TEST_F(ConnectorTest, TunnelCacheIsKeyedByHostTextToo) {
  KVX_HttpTcpConnector connector(kHandle, m_Mux);
  ASSERT_EQ(NPT_SUCCESS, Connect(connector, "device", kAppPort));
  ASSERT_EQ(NPT_SUCCESS, Connect(connector, "device", kAppPort));
  EXPECT_EQ(1, m_Double.connect_count());
  ASSERT_EQ(NPT_SUCCESS, Connect(connector, "Device", kAppPort));
  EXPECT_EQ(2, m_Double.connect_count());
}

// (handle, port, forced library result, host, expected result) for connections
// that cannot be made. The stream references are cleared in every case.
struct FailureCase {
  NPT_Int32 handle;
  bool unmapped_port;
  int forced_result;
  const char* host;
  NPT_Result expected;
};

TEST_F(ConnectorTest, ConnectionsThatCannotBeMade) {
  const FailureCase cases[] = {
      {kHandle, true, 0, "device", NPT_ERROR_INVALID_PARAMETERS},      // no app on the port
      {kHandle, false, -19, "device", NPT_ERROR_INVALID_PARAMETERS},   // device gone
      {kHandle, false, -111, "device", NPT_ERROR_INVALID_PARAMETERS},  // refused
      {99, false, 0, "device", NPT_ERROR_INVALID_PARAMETERS},          // unknown handle
      {0, true, 0, "127.0.0.1", NPT_ERROR_INVALID_PARAMETERS},         // TCP refused
      {0, false, 0, "", NPT_ERROR_HOST_UNKNOWN},                       // TCP name does not resolve
  };
  const NPT_UInt16 closed = ClosedPort();
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "handle " << c.handle << " forced " << c.forced_result << " host '"
                                    << c.host << "'");
    m_Double.set_connect_result(c.forced_result);
    // Start from a working connection so the out-parameters hold something.
    KVX_HttpTcpConnector good(0, m_Mux);
    ASSERT_EQ(NPT_SUCCESS, Connect(good, "127.0.0.1", m_App.Port()));
    ASSERT_GE(m_App.Accept(), 0);

    KVX_HttpTcpConnector connector(c.handle, m_Mux);
    NPT_UInt16 port = c.unmapped_port ? (c.handle == 0 ? closed : NPT_UInt16(8099)) : kAppPort;
    if (c.handle == 0 && !c.unmapped_port) port = m_App.Port();
    EXPECT_EQ(c.expected, Connect(connector, c.host, port));
    EXPECT_TRUE(m_Input.IsNull());
    EXPECT_TRUE(m_Output.IsNull());
  }
  m_Double.set_connect_result(0);
}

TEST_F(ConnectorTest, FailedConnectKeepsThePreviousCacheUsable) {
  KVX_HttpTcpConnector connector(kHandle, m_Mux);
  ASSERT_EQ(NPT_SUCCESS, Connect(connector, "device", kAppPort));
  int peer = m_App.Accept();
  ASSERT_GE(peer, 0);
  NPT_InputStream* cached = m_Input.AsPointer();
  EXPECT_EQ(NPT_ERROR_INVALID_PARAMETERS, Connect(connector, "device", 8099));
  ASSERT_EQ(NPT_SUCCESS, Connect(connector, "device", kAppPort));
  EXPECT_EQ(cached, m_Input.AsPointer());
  EXPECT_EQ(2, m_Double.connect_count());
  ExpectExchange(m_Input, m_Output, peer);
}

TEST_F(ConnectorTest, AbortOnAFreshConnectorSucceedsAndChangesNothing) {
  for (NPT_Int32 handle : {0, kHandle}) {
    KVX_HttpTcpConnector connector(handle, m_Mux);
    EXPECT_EQ(NPT_SUCCESS, connector.Abort());
    EXPECT_EQ(NPT_SUCCESS, connector.Abort());
    EXPECT_EQ(0, m_Double.connect_count());
    EXPECT_FALSE(m_App.HasPending(50));
    // The connector still works afterwards.
    ASSERT_EQ(NPT_SUCCESS, Connect(connector, "127.0.0.1", handle ? kAppPort : m_App.Port()));
    int peer = m_App.Accept();
    ASSERT_GE(peer, 0);
    ExpectExchange(m_Input, m_Output, peer);
  }
}

TEST_F(ConnectorTest, TunnelStaysOpenWhileAStreamOutlivesItsSocket) {
  int fd = m_Mux.Connect(kHandle, kAppPort);
  ASSERT_GT(fd, 0);
  int peer = m_App.Accept();
  ASSERT_GE(peer, 0);
  NPT_InputStreamReference input;
  {
    std::unique_ptr<KVX_USBClientSocket> socket(new KVX_USBClientSocket(fd, 0));
    ASSERT_EQ(NPT_SUCCESS, socket->GetInputStream(input));
  }
  EXPECT_FALSE(PeerSeesEnd(peer, 100));
  ASSERT_EQ(5, kvx_test::raw::Send(peer, "still", 5));
  char buffer[5];
  ASSERT_EQ(NPT_SUCCESS, input->ReadFully(buffer, 5));
  EXPECT_EQ(0, std::memcmp(buffer, "still", 5));
  // The last holder closes the tunnel.
  input.Release();
  EXPECT_TRUE(PeerSeesEnd(peer, 20000));
  EXPECT_FALSE(kvx_test::raw::IsOpen(fd));
}

TEST_F(ConnectorTest, AbortEndsABlockedReadPromptlyOverTcpAndTunnel) {
  for (NPT_Int32 handle : {0, kHandle}) {
    SCOPED_TRACE(handle);
    KVX_HttpTcpConnector connector(handle, m_Mux);
    ASSERT_EQ(NPT_SUCCESS, Connect(connector, "127.0.0.1", handle ? kAppPort : m_App.Port(), 30000));
    int peer = m_App.Accept();
    ASSERT_GE(peer, 0);
    std::atomic<bool> reading(false);
    NPT_Result result = NPT_SUCCESS;
    Clock::time_point ended;
    NPT_InputStreamReference input = m_Input;
    std::thread reader([&] {
      char byte;
      reading = true;
      result = input->Read(&byte, 1);
      ended = Clock::now();
    });
    while (!reading) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Clock::time_point aborted = Clock::now();
    EXPECT_EQ(NPT_SUCCESS, connector.Abort());
    reader.join();
    // Far below the read's 30 s time-out: the abort ended it.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ended - aborted).count(), 15000);
    EXPECT_TRUE(NPT_FAILED(result)) << result;
    // The peer learns that the connection is gone.
    EXPECT_TRUE(PeerSeesEnd(peer, 20000));
  }
}

TEST_F(ConnectorTest, ConnectAfterAbortOpensANewConnection) {
  for (NPT_Int32 handle : {0, kHandle}) {
    SCOPED_TRACE(handle);
    NPT_UInt16 port = handle ? kAppPort : m_App.Port();
    KVX_HttpTcpConnector connector(handle, m_Mux);
    ASSERT_EQ(NPT_SUCCESS, Connect(connector, "127.0.0.1", port));
    ASSERT_GE(m_App.Accept(), 0);
    NPT_InputStreamReference cancelled = m_Input;
    EXPECT_EQ(NPT_SUCCESS, connector.Abort());
    char byte;
    EXPECT_EQ(NPT_ERROR_CANCELLED, cancelled->Read(&byte, 1));

    ASSERT_EQ(NPT_SUCCESS, Connect(connector, "127.0.0.1", port));
    EXPECT_NE(cancelled.AsPointer(), m_Input.AsPointer());
    int peer = m_App.Accept();
    ASSERT_GE(peer, 0);
    ExpectExchange(m_Input, m_Output, peer);
    // The new connection is cached again.
    NPT_InputStream* fresh = m_Input.AsPointer();
    ASSERT_EQ(NPT_SUCCESS, Connect(connector, "127.0.0.1", port));
    EXPECT_EQ(fresh, m_Input.AsPointer());
  }
  EXPECT_EQ(2, m_Double.connect_count());
}

// The owner thread connects and exchanges over and over (switching ports so
// new connections are made) while another thread aborts at random moments.
// Every Connect ends with success, cancellation or could-not-connect, nothing
// blocks past its timeout, and the sanitizers see no race on the socket.
TEST_F(ConnectorTest, AbortRacingConnectAndIoIsSafe) {
  for (NPT_Int32 handle : {0, kHandle}) {
    SCOPED_TRACE(handle);
    Listener second;
    ASSERT_TRUE(second.IsOpen());
    m_Double.map_port(kHandle, 8099, second.Port());
    std::atomic<bool> stop(false);
    // Accepts and drops connections on both listeners.
    std::thread acceptor([&] {
      while (!stop) {
        for (Listener* l : {&m_App, &second}) {
          if (l->HasPending(5)) l->Accept();
        }
      }
    });
    std::thread aborter;
    {
      KVX_HttpTcpConnector connector(handle, m_Mux);
      aborter = std::thread([&] {
        unsigned int delay = 1;
        while (!stop) {
          connector.Abort();
          std::this_thread::sleep_for(std::chrono::microseconds(delay));
          delay = delay * 7 % 997 + 1;
        }
      });
      Clock::time_point start = Clock::now();
      for (int i = 0; i < 200; ++i) {
        NPT_UInt16 port = handle ? (i % 3 ? kAppPort : NPT_UInt16(8099)) : (i % 3 ? m_App.Port() : second.Port());
        NPT_InputStreamReference input;
        NPT_OutputStreamReference output;
        NPT_Result result = connector.Connect("127.0.0.1", port, false, 20000, 20000, 20000, input, output);
        ASSERT_TRUE(result == NPT_SUCCESS || result == NPT_ERROR_CANCELLED || result == NPT_ERROR_INVALID_PARAMETERS)
            << result;
        if (result == NPT_SUCCESS) output->Write("x", 1);
      }
      EXPECT_LT(ElapsedMs(start), 60000);
      stop = true;
      aborter.join();
    }
    acceptor.join();
  }
}

// Reads a request header block from a peer (up to the empty line), within
// the hang guard of ReadPeer per byte; what was read, possibly incomplete.
std::string ReadRequestHead(int fd) {
  std::string data;
  while (data.find("\r\n\r\n") == std::string::npos && data.size() < 65536) {
    std::string more = ReadPeer(fd, 1);
    if (more.empty()) break;
    data += more;
  }
  return data;
}

// The HTTP client drives a whole exchange through a tunnel: the URL's host is
// only a name, the device port decides where the request goes.
TEST_F(ConnectorTest, HttpClientExchangesThroughATunnel) {
  std::string request_head;
  std::thread app([&] {
    int peer = m_App.Accept();
    if (peer < 0) return;
    request_head = ReadRequestHead(peer);
    const char reply[] = "HTTP/1.0 200 OK\r\nX-DEVICENAME: Pad\r\nContent-Length: 0\r\n\r\n";
    if (kvx_test::raw::Send(peer, reply, sizeof(reply) - 1) < 0) return;
  });
  NPT_HttpClient client(new KVX_HttpTcpConnector(kHandle, m_Mux));
  NPT_HttpRequest request("http://device-7:8100/identity", NPT_HTTP_METHOD_HEAD);
  NPT_HttpResponse* response = nullptr;
  NPT_Result result = client.SendRequest(request, response);
  app.join();
  ASSERT_EQ(NPT_SUCCESS, result);
  ASSERT_NE(nullptr, response);
  EXPECT_EQ(200, response->GetStatusCode());
  const NPT_String* name = response->GetHeaders().GetHeaderValue("X-DEVICENAME");
  ASSERT_NE(nullptr, name);
  EXPECT_STREQ("Pad", name->GetChars());
  delete response;
  EXPECT_EQ(0u, request_head.find("HEAD /identity HTTP/1.0\r\n")) << request_head;
  EXPECT_EQ(kAppPort, m_Double.last_connect_port());
}

// A device stream's abort: the application thread aborts the client while the
// worker waits for an answer that never comes. The worker is free at once,
// not after the 30-second I/O timeout.
TEST_F(ConnectorTest, HttpClientAbortEndsAStalledExchangePromptly) {
  std::atomic<bool> request_seen(false);
  std::atomic<bool> done(false);
  std::thread app([&] {
    int peer = m_App.Accept();
    if (peer < 0) return;
    ReadRequestHead(peer);
    request_seen = true;
    PeerSeesEnd(peer, 20000);  // never answers; waits for the client to go
    done = true;
  });
  NPT_HttpClient client(new KVX_HttpTcpConnector(kHandle, m_Mux));
  client.SetTimeouts(30000, 30000, 30000);
  NPT_Result result = NPT_SUCCESS;
  Clock::time_point ended;
  std::thread worker([&] {
    NPT_HttpRequest request("http://device-7:8100/stream", NPT_HTTP_METHOD_GET);
    NPT_HttpResponse* response = nullptr;
    result = client.SendRequest(request, response);
    ended = Clock::now();
    delete response;
  });
  Clock::time_point wait_start = Clock::now();
  while (!request_seen && ElapsedMs(wait_start) < 20000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(request_seen.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Clock::time_point aborted = Clock::now();
  EXPECT_EQ(NPT_SUCCESS, client.Abort());
  worker.join();
  app.join();
  // Far below the client's 30 s time-outs: the abort ended the exchange.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ended - aborted).count(), 15000);
  EXPECT_TRUE(NPT_FAILED(result)) << result;
  EXPECT_TRUE(done.load());
}

}  // namespace
