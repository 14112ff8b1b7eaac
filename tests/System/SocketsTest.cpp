// Sockets over real loopback connections: connect, read and write results,
// timeouts, cancel from another thread, descriptor ownership and numbers above
// the select limit, UDP. Every wait in here is bounded.

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "../../Source/System/Bsd/NptBsdSockets.h"
#include "NptDataBuffer.h"
#include "NptSockets.h"
#include "NptStreams.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

using kvx_test::ElapsedMs;

// A server socket listening on 127.0.0.1 at a free port.
struct Listener {
  NPT_TcpServerSocket server;
  NPT_SocketAddress address;

  explicit Listener(unsigned int backlog = 8) {
    EXPECT_EQ(NPT_SUCCESS, server.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)));
    EXPECT_EQ(NPT_SUCCESS, server.Listen(backlog));
    NPT_SocketInfo info;
    EXPECT_EQ(NPT_SUCCESS, server.GetInfo(info));
    address = NPT_SocketAddress(NPT_IpAddress::Loopback, info.local_address.GetPort());
  }
};

// A connected client and the server side of the same connection.
struct Connection {
  std::unique_ptr<NPT_TcpClientSocket> client;
  std::unique_ptr<NPT_Socket> peer;
};

Connection Connect(Listener& listener) {
  Connection connection;
  connection.client.reset(new NPT_TcpClientSocket(NPT_SOCKET_FLAG_CANCELLABLE));
  EXPECT_EQ(NPT_SUCCESS, connection.client->Connect(listener.address, 2000));
  NPT_Socket* accepted = nullptr;
  EXPECT_EQ(NPT_SUCCESS, listener.server.WaitForNewClient(accepted, 2000));
  connection.peer.reset(accepted);
  return connection;
}

// A listener whose accept queue is full, so that further connection attempts
// stay pending (the kernel drops their SYNs) until they time out.
struct StalledListener {
  Listener listener{0};
  std::vector<std::unique_ptr<NPT_TcpClientSocket>> fillers;

  bool Stall() {
    for (int i = 0; i < 16; i++) {
      fillers.emplace_back(new NPT_TcpClientSocket());
      if (fillers.back()->Connect(listener.address, 300) == NPT_ERROR_TIMEOUT) return true;
    }
    return false;
  }
};

TEST(BsdSocketErrors, MapsErrnoValues) {
  const struct {
    int error;
    NPT_Result expected;
  } cases[] = {
      {EINTR, NPT_ERROR_INTERRUPTED},
      {EAGAIN, NPT_ERROR_WOULD_BLOCK},
      {EWOULDBLOCK, NPT_ERROR_WOULD_BLOCK},
      {EINPROGRESS, NPT_ERROR_WOULD_BLOCK},
      {EADDRINUSE, NPT_ERROR_ADDRESS_IN_USE},
      {ENETDOWN, NPT_ERROR_NETWORK_DOWN},
      {ENETUNREACH, NPT_ERROR_NETWORK_UNREACHABLE},
      {ENETRESET, NPT_ERROR_CONNECTION_RESET},
      {ECONNRESET, NPT_ERROR_CONNECTION_RESET},
      {ECONNABORTED, NPT_ERROR_CONNECTION_ABORTED},
      {ETIMEDOUT, NPT_ERROR_TIMEOUT},
      {ECONNREFUSED, NPT_ERROR_CONNECTION_REFUSED},
      {EBADF, -(22000 + EBADF)},
      {EPIPE, -(22000 + EPIPE)},
      {ENOTSOCK, -(22000 + ENOTSOCK)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, NPT_BsdSocketMapErrorCode(c.error)) << "errno " << c.error;
  }
  EXPECT_STREQ("UNKNOWN", NPT_ResultName(NPT_BsdSocketMapErrorCode(ENOTSOCK)));
}

TEST(TcpClientSocket, RefusedConnectionIsReportedAsRefused) {
  // Bound but not listening: the port is ours and nobody accepts on it.
  NPT_TcpServerSocket holder;
  ASSERT_EQ(NPT_SUCCESS, holder.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)));
  NPT_SocketInfo info;
  ASSERT_EQ(NPT_SUCCESS, holder.GetInfo(info));
  NPT_TcpClientSocket client;
  EXPECT_EQ(NPT_ERROR_CONNECTION_REFUSED,
            client.Connect(NPT_SocketAddress(NPT_IpAddress::Loopback, info.local_address.GetPort()), 2000));
}

TEST(TcpClientSocket, ConnectWithTimeoutZeroWouldBlockAndPendingConnectTimesOut) {
  StalledListener stalled;
  ASSERT_TRUE(stalled.Stall());
  NPT_TcpClientSocket client;
  EXPECT_EQ(NPT_ERROR_WOULD_BLOCK, client.Connect(stalled.listener.address, 0));
  Clock::time_point start = Clock::now();
  EXPECT_EQ(NPT_ERROR_TIMEOUT, client.WaitForConnection(200));
  EXPECT_GE(ElapsedMs(start), 150);
}

TEST(TcpClientSocket, ConnectFillsInfo) {
  Listener listener;
  Connection c = Connect(listener);
  NPT_SocketInfo info;
  ASSERT_EQ(NPT_SUCCESS, c.client->GetInfo(info));
  EXPECT_EQ(listener.address, info.remote_address);
  EXPECT_EQ(NPT_IpAddress::Loopback, info.local_address.GetIpAddress());
  NPT_SocketInfo peer_info;
  ASSERT_EQ(NPT_SUCCESS, c.peer->GetInfo(peer_info));
  EXPECT_EQ(info.local_address, peer_info.remote_address);
  EXPECT_EQ(info.remote_address, peer_info.local_address);
}

TEST(SocketStreams, TransfersBytesAndReadsAtMostWhatIsAsked) {
  Listener listener;
  Connection c = Connect(listener);
  NPT_OutputStreamReference out;
  NPT_InputStreamReference in;
  ASSERT_EQ(NPT_SUCCESS, c.client->GetOutputStream(out));
  ASSERT_EQ(NPT_SUCCESS, c.peer->GetInputStream(in));
  ASSERT_EQ(NPT_SUCCESS, out->WriteFully("0123456789", 10));
  ASSERT_EQ(NPT_SUCCESS, out->Flush());

  char buffer[100] = {};
  ASSERT_EQ(NPT_SUCCESS, in->ReadFully(buffer, 4));
  EXPECT_EQ(0, std::memcmp(buffer, "0123", 4));
  NPT_LargeSize available = 0;
  EXPECT_EQ(NPT_SUCCESS, in->GetAvailable(available));
  EXPECT_EQ(6u, available);
  NPT_Size count = 0;
  ASSERT_EQ(NPT_SUCCESS, in->Read(buffer, sizeof(buffer), &count));
  EXPECT_EQ(6u, count);
  EXPECT_EQ(0, std::memcmp(buffer, "456789", 6));

  NPT_Position position = 99;
  EXPECT_EQ(NPT_ERROR_NOT_SUPPORTED, in->Seek(0));
  EXPECT_EQ(NPT_SUCCESS, in->Tell(position));
  EXPECT_EQ(0u, position);
  NPT_LargeSize size = 99;
  EXPECT_EQ(NPT_ERROR_NOT_SUPPORTED, in->GetSize(size));
  EXPECT_EQ(0u, size);
  EXPECT_EQ(NPT_ERROR_NOT_SUPPORTED, out->Seek(0));
}

TEST(SocketStreams, ReadTimeoutsOnSilentPeer) {
  Listener listener;
  Connection c = Connect(listener);
  NPT_InputStreamReference in;
  ASSERT_EQ(NPT_SUCCESS, c.client->GetInputStream(in));
  char buffer[16];
  NPT_Size count = 7;

  ASSERT_EQ(NPT_SUCCESS, c.client->SetReadTimeout(500));
  Clock::time_point start = Clock::now();
  EXPECT_EQ(NPT_ERROR_TIMEOUT, in->Read(buffer, sizeof(buffer), &count));
  long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 450);
  EXPECT_LT(elapsed, 30000);  // hang guard
  EXPECT_EQ(0u, count);

  ASSERT_EQ(NPT_SUCCESS, c.client->SetReadTimeout(0));
  EXPECT_EQ(NPT_ERROR_WOULD_BLOCK, in->Read(buffer, sizeof(buffer), &count));  // a wait would never end

  // A request for 0 bytes waits for the socket to become readable: on a
  // silent connection that is a timeout (the liveness check of idle tunnels).
  ASSERT_EQ(NPT_SUCCESS, c.client->SetReadTimeout(10));
  EXPECT_EQ(NPT_ERROR_TIMEOUT, in->Read(buffer, 0));
}

TEST(SocketStreams, PeerCloseGivesEndOfStream) {
  Listener listener;
  Connection c = Connect(listener);
  NPT_InputStreamReference in;
  ASSERT_EQ(NPT_SUCCESS, c.client->GetInputStream(in));
  ASSERT_EQ(NPT_SUCCESS, c.client->SetReadTimeout(2000));
  c.peer.reset();
  char buffer[16];
  NPT_Size count = 7;
  EXPECT_EQ(NPT_ERROR_EOS, in->Read(buffer, sizeof(buffer), &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(NPT_ERROR_EOS, in->Read(buffer, 0));
}

TEST(SocketStreams, ZeroByteWriteIsConnectionReset) {
  Listener listener;
  Connection c = Connect(listener);
  NPT_OutputStreamReference out;
  ASSERT_EQ(NPT_SUCCESS, c.client->GetOutputStream(out));
  ASSERT_EQ(NPT_SUCCESS, c.client->SetWriteTimeout(1000));
  EXPECT_EQ(NPT_ERROR_CONNECTION_RESET, out->Write("x", 0));
}

TEST(SocketStreams, WritingToVanishedPeerFailsWithoutSignal) {
  // The default action of SIGPIPE would end this process.
  struct sigaction previous;
  struct sigaction default_action;
  std::memset(&default_action, 0, sizeof(default_action));
  default_action.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &default_action, &previous);

  Listener listener;
  Connection c = Connect(listener);
  NPT_OutputStreamReference out;
  ASSERT_EQ(NPT_SUCCESS, c.client->GetOutputStream(out));
  ASSERT_EQ(NPT_SUCCESS, c.client->SetWriteTimeout(1000));
  c.peer.reset();

  char block[4096] = {};
  NPT_Result result = NPT_SUCCESS;
  for (int i = 0; i < 200 && result == NPT_SUCCESS; i++) {
    result = out->WriteFully(block, sizeof(block));
    if (result == NPT_SUCCESS) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_NE(NPT_SUCCESS, result);
  EXPECT_TRUE(result == NPT_ERROR_CONNECTION_RESET || result == -(22000 + EPIPE)) << result;

  sigaction(SIGPIPE, &previous, nullptr);
}

TEST(SocketStreams, StreamsKeepTheConnectionAfterTheSocketIsGone) {
  Listener listener;
  Connection c = Connect(listener);
  NPT_OutputStreamReference out;
  NPT_InputStreamReference in;
  ASSERT_EQ(NPT_SUCCESS, c.client->GetOutputStream(out));
  ASSERT_EQ(NPT_SUCCESS, c.peer->GetInputStream(in));
  c.client.reset();
  c.peer.reset();
  ASSERT_EQ(NPT_SUCCESS, out->WriteFully("abc", 3));
  char buffer[3];
  ASSERT_EQ(NPT_SUCCESS, in->ReadFully(buffer, 3));
  EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));
}

// Cancel from another thread must wake each kind of blocked operation, each
// waiting without a time limit: a missed wake-up hangs the test.
TEST(SocketCancel, WakesReadBlockedWithoutLimit) {
  for (bool shutdown : {true, false}) {
    Listener listener;
    Connection c = Connect(listener);
    NPT_InputStreamReference in;
    ASSERT_EQ(NPT_SUCCESS, c.client->GetInputStream(in));
    ASSERT_EQ(NPT_SUCCESS, c.client->SetReadTimeout(NPT_TIMEOUT_INFINITE));

    std::atomic<NPT_Result> result(NPT_SUCCESS);
    std::atomic<bool> done(false);
    std::thread reader([&] {
      char buffer[16];
      result = in->Read(buffer, sizeof(buffer));
      done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done);
    EXPECT_EQ(NPT_SUCCESS, c.client->Cancel(shutdown));
    reader.join();  // without the wake-up, a join that never ends
    EXPECT_EQ(NPT_ERROR_CANCELLED, result.load()) << "shutdown=" << shutdown;

    // Later operations on the socket and its streams are cancelled too.
    char buffer[4];
    EXPECT_EQ(NPT_ERROR_CANCELLED, in->Read(buffer, sizeof(buffer)));
    NPT_OutputStreamReference out;
    ASSERT_EQ(NPT_SUCCESS, c.client->GetOutputStream(out));
    EXPECT_EQ(NPT_ERROR_CANCELLED, out->Write("x", 1));
    EXPECT_EQ(NPT_ERROR_CANCELLED, c.client->Connect(listener.address, 100));
  }
}

TEST(SocketCancel, WakesBlockedAccept) {
  Listener listener;
  std::atomic<NPT_Result> result(NPT_SUCCESS);
  NPT_Socket* client = reinterpret_cast<NPT_Socket*>(1);
  std::thread acceptor([&] { result = listener.server.WaitForNewClient(client, NPT_TIMEOUT_INFINITE); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(NPT_SUCCESS, listener.server.Cancel(false));
  acceptor.join();
  EXPECT_EQ(NPT_ERROR_CANCELLED, result.load());
  EXPECT_EQ(nullptr, client);
}

TEST(SocketCancel, WakesBlockedConnect) {
  StalledListener stalled;
  ASSERT_TRUE(stalled.Stall());
  NPT_TcpClientSocket client(NPT_SOCKET_FLAG_CANCELLABLE);
  std::atomic<NPT_Result> result(NPT_SUCCESS);
  std::thread connector([&] { result = client.Connect(stalled.listener.address, NPT_TIMEOUT_INFINITE); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(NPT_SUCCESS, client.Cancel(true));
  connector.join();
  EXPECT_EQ(NPT_ERROR_CANCELLED, result.load());
}

TEST(SocketCancel, ClosesTheDescriptorEvenWhileStreamsAreHeld) {
  Listener listener;
  Connection c = Connect(listener);
  NPT_InputStreamReference in;
  ASSERT_EQ(NPT_SUCCESS, c.client->GetInputStream(in));
  ASSERT_EQ(NPT_SUCCESS, c.peer->SetReadTimeout(2000));
  NPT_InputStreamReference peer_in;
  ASSERT_EQ(NPT_SUCCESS, c.peer->GetInputStream(peer_in));

  int before = kvx_test::CountOpenDescriptors();
  EXPECT_EQ(NPT_SUCCESS, c.client->Cancel(false));
  EXPECT_EQ(before - 1, kvx_test::CountOpenDescriptors());
  // The peer sees the connection end.
  char buffer[4];
  EXPECT_EQ(NPT_ERROR_EOS, peer_in->Read(buffer, sizeof(buffer)));
  // The freed number goes to the next open; releasing the last holders of the
  // cancelled socket must not close it a second time (that would close this).
  int reused = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reused, 0);
  EXPECT_EQ(NPT_SUCCESS, c.client->Cancel(true));
  in.Release();
  c.client.reset();
  EXPECT_NE(-1, fcntl(reused, F_GETFD));
  close(reused);
}

TEST(TcpServerSocket, WaitForNewClientListensFirstAndTimesOut) {
  NPT_TcpServerSocket server;
  ASSERT_EQ(NPT_SUCCESS, server.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)));
  NPT_Socket* client = nullptr;
  EXPECT_EQ(NPT_ERROR_WOULD_BLOCK, server.WaitForNewClient(client, 0));
  Clock::time_point start = Clock::now();
  EXPECT_EQ(NPT_ERROR_TIMEOUT, server.WaitForNewClient(client, 100));
  EXPECT_GE(ElapsedMs(start), 80);
  EXPECT_EQ(nullptr, client);

  // It listens now (backlog 20), so a client gets through.
  NPT_SocketInfo info;
  ASSERT_EQ(NPT_SUCCESS, server.GetInfo(info));
  NPT_TcpClientSocket connecting;
  ASSERT_EQ(NPT_SUCCESS, connecting.Connect(NPT_SocketAddress(NPT_IpAddress::Loopback, info.local_address.GetPort()),
                                            2000));
  ASSERT_EQ(NPT_SUCCESS, server.WaitForNewClient(client, 2000));
  ASSERT_NE(nullptr, client);
  delete client;
}

TEST(TcpServerSocket, BindHonoursTheReuseFlag) {
  NPT_SocketAddress address;
  {
    // A port something listens on is in use whatever the flag.
    Listener listener;
    address = listener.address;
    for (bool reuse : {false, true}) {
      NPT_TcpServerSocket second;
      EXPECT_EQ(NPT_ERROR_ADDRESS_IN_USE, second.Bind(address, reuse)) << reuse;
    }
    // The server's end closes first, so the connection lingers on this port.
    Connection connection = Connect(listener);
    connection.peer.reset();
    connection.client.reset();
  }
  NPT_TcpServerSocket strict;
  EXPECT_EQ(NPT_ERROR_ADDRESS_IN_USE, strict.Bind(address, false));
  NPT_TcpServerSocket reusing;
  EXPECT_EQ(NPT_SUCCESS, reusing.Bind(address, true));
}

TEST(AdoptedSocket, LocalStreamSocketWorksAndClosesOnce) {
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  auto socket = std::unique_ptr<NPT_TcpClientSocket>(new NPT_TcpClientSocket(pair[0], 0));
  EXPECT_NE(0, fcntl(pair[0], F_GETFL) & O_NONBLOCK);
  NPT_SocketInfo info;
  EXPECT_EQ(NPT_SUCCESS, socket->GetInfo(info));
  EXPECT_EQ(0u, info.remote_address.GetPort());

  NPT_InputStreamReference in;
  NPT_OutputStreamReference out;
  ASSERT_EQ(NPT_SUCCESS, socket->GetInputStream(in));
  ASSERT_EQ(NPT_SUCCESS, socket->GetOutputStream(out));
  ASSERT_EQ(NPT_SUCCESS, out->WriteFully("ping", 4));
  // A local socket has no delayed sending; flushing it is not an error.
  EXPECT_EQ(NPT_SUCCESS, out->Flush());
  char buffer[8] = {};
  ASSERT_EQ(4, read(pair[1], buffer, sizeof(buffer)));
  ASSERT_EQ(4, write(pair[1], "pong", 4));
  ASSERT_EQ(NPT_SUCCESS, socket->SetReadTimeout(1000));
  ASSERT_EQ(NPT_SUCCESS, in->ReadFully(buffer, 4));
  EXPECT_EQ(0, std::memcmp(buffer, "pong", 4));

  // The descriptor stays open while a stream holds it, and closes with the last.
  socket.reset();
  out.Release();
  EXPECT_NE(-1, fcntl(pair[0], F_GETFD));
  in.Release();
  EXPECT_EQ(-1, fcntl(pair[0], F_GETFD));
  close(pair[1]);
}

TEST(AdoptedSocket, ConnectedTcpDescriptorReportsAddresses) {
  Listener listener;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  struct sockaddr_in inet;
  std::memset(&inet, 0, sizeof(inet));
  inet.sin_family = AF_INET;
  inet.sin_port = htons(listener.address.GetPort());
  inet.sin_addr.s_addr = htonl(0x7F000001);
  ASSERT_EQ(0, ::connect(fd, (struct sockaddr*)&inet, sizeof(inet)));
  NPT_TcpClientSocket adopted(fd, 0);
  NPT_SocketInfo info;
  ASSERT_EQ(NPT_SUCCESS, adopted.GetInfo(info));
  EXPECT_EQ(listener.address, info.remote_address);
  EXPECT_NE(0u, info.local_address.GetPort());
}

TEST(AdoptedSocket, WithoutDescriptorStreamsAreInvalidState) {
  NPT_TcpClientSocket socket(-1, 0);
  NPT_InputStreamReference in(new NPT_MemoryStream(4));
  EXPECT_EQ(NPT_ERROR_INVALID_STATE, socket.GetInputStream(in));
  EXPECT_TRUE(in.IsNull());
  NPT_OutputStreamReference out(new NPT_MemoryStream(4));
  EXPECT_EQ(NPT_ERROR_INVALID_STATE, socket.GetOutputStream(out));
  EXPECT_TRUE(out.IsNull());
}

// select() cannot watch descriptor numbers from 1024 on; the waits must.
TEST(SocketDescriptors, NumbersAboveSelectLimitWork) {
  struct rlimit limit;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
  struct rlimit saved = limit;
  if (limit.rlim_cur < 1200) {
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1200) GTEST_SKIP() << "hard descriptor limit too low";
    limit.rlim_cur = 1200;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
  }
  std::vector<int> fillers;
  for (;;) {
    int fd = dup(0);
    ASSERT_GE(fd, 0);
    fillers.push_back(fd);
    if (fd >= 1030) break;
  }

  {
    Listener listener;
    Connection c = Connect(listener);
    int probe = dup(0);
    EXPECT_GT(probe, 1024);
    close(probe);
    NPT_InputStreamReference in;
    NPT_OutputStreamReference out;
    ASSERT_EQ(NPT_SUCCESS, c.client->GetInputStream(in));
    ASSERT_EQ(NPT_SUCCESS, c.peer->GetOutputStream(out));
    ASSERT_EQ(NPT_SUCCESS, c.client->SetReadTimeout(100));
    char buffer[8];
    EXPECT_EQ(NPT_ERROR_TIMEOUT, in->Read(buffer, sizeof(buffer)));
    ASSERT_EQ(NPT_SUCCESS, out->WriteFully("high", 4));
    ASSERT_EQ(NPT_SUCCESS, c.client->SetReadTimeout(2000));
    ASSERT_EQ(NPT_SUCCESS, in->ReadFully(buffer, 4));
    EXPECT_EQ(0, std::memcmp(buffer, "high", 4));
  }

  for (int fd : fillers) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(SocketDescriptors, NoLeakOverManyConnections) {
  Listener listener;
  // A first round creates the listener's lasting wake-up descriptor.
  Connect(listener);
  int before = kvx_test::CountOpenDescriptors();
  for (int i = 0; i < 1000; i++) {
    Connection c = Connect(listener);
    ASSERT_TRUE(c.peer != nullptr) << "cycle " << i;
    NPT_InputStreamReference in;
    ASSERT_EQ(NPT_SUCCESS, c.peer->GetInputStream(in));
    if (i % 2) {
      // Half of them cancel while a stream is held.
      c.client->Cancel(true);
    }
  }
  EXPECT_EQ(before, kvx_test::CountOpenDescriptors());
}

TEST(UdpSocket, SendAndReceiveOnLoopback) {
  NPT_UdpSocket receiver;
  ASSERT_EQ(NPT_SUCCESS, receiver.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)));
  NPT_SocketInfo receiver_info;
  ASSERT_EQ(NPT_SUCCESS, receiver.GetInfo(receiver_info));
  ASSERT_EQ(NPT_SUCCESS, receiver.SetReadTimeout(2000));

  NPT_UdpSocket sender;
  ASSERT_EQ(NPT_SUCCESS, sender.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)));
  NPT_SocketInfo sender_info;
  ASSERT_EQ(NPT_SUCCESS, sender.GetInfo(sender_info));

  NPT_DataBuffer packet((const NPT_Byte*)"datagram", 8, true);
  NPT_SocketAddress target(NPT_IpAddress::Loopback, receiver_info.local_address.GetPort());
  ASSERT_EQ(NPT_SUCCESS, sender.Send(packet, &target));

  NPT_DataBuffer received;
  NPT_SocketAddress from;
  ASSERT_EQ(NPT_SUCCESS, receiver.Receive(received, &from));
  ASSERT_EQ(8u, received.GetDataSize());
  EXPECT_EQ(0, std::memcmp(received.GetData(), "datagram", 8));
  EXPECT_EQ(sender_info.local_address, from);

  // Connected form: default peer, no address.
  ASSERT_EQ(NPT_SUCCESS, sender.Connect(target, 0));
  NPT_DataBuffer second((const NPT_Byte*)"second", 6, true);
  ASSERT_EQ(NPT_SUCCESS, sender.Send(second));
  NPT_DataBuffer small(64);
  ASSERT_EQ(NPT_SUCCESS, receiver.Receive(small));
  ASSERT_EQ(6u, small.GetDataSize());
  EXPECT_EQ(0, std::memcmp(small.GetData(), "second", 6));

  ASSERT_EQ(NPT_SUCCESS, receiver.SetReadTimeout(50));
  EXPECT_EQ(NPT_ERROR_TIMEOUT, receiver.Receive(small));
  ASSERT_EQ(NPT_SUCCESS, receiver.SetReadTimeout(0));
  EXPECT_EQ(NPT_ERROR_WOULD_BLOCK, receiver.Receive(small));
}

TEST(UdpMulticastSocket, SettingsOnLoopback) {
  NPT_UdpMulticastSocket socket;
  EXPECT_EQ(NPT_SUCCESS, socket.SetTimeToLive(1));
  EXPECT_EQ(NPT_SUCCESS, socket.SetInterface(NPT_IpAddress::Loopback));
  // Not a multicast group: the OS refuses with a mapped error.
  EXPECT_NE(NPT_SUCCESS, socket.JoinGroup(NPT_IpAddress(10, 0, 0, 1), NPT_IpAddress::Loopback));
}

}  // namespace
