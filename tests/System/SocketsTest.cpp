// Sockets over real loopback connections, through the portable classes only:
// connect, read and write results, timeouts, cancel from another thread,
// descriptor ownership, UDP. Every wait in here is bounded. What only one
// platform's layer does is tested in System/<platform>/.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackSockets.h"
#include "NptDataBuffer.h"
#include "NptSockets.h"
#include "NptStreams.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

using kvx_test::ElapsedMs;
using namespace kvx_sockets_test;

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

// The last bytes before the peer's close come before the end of the stream,
// whether the reader already waits when they arrive (its wait is woken by
// them, and by the close right behind) or finds both waiting, and whatever
// size it reads with.
TEST(SocketStreams, BytesBeforeThePeersCloseComeBeforeTheEnd) {
  for (bool waiting : {true, false}) {
    for (NPT_Size chunk : {1u, 3u, 64u}) {
      Listener listener;
      Connection c = Connect(listener);
      NPT_InputStreamReference in;
      NPT_OutputStreamReference out;
      ASSERT_EQ(NPT_SUCCESS, c.client->GetInputStream(in));
      ASSERT_EQ(NPT_SUCCESS, c.peer->GetOutputStream(out));
      char buffer[64];
      // A first wait readies what later waits block on.
      ASSERT_EQ(NPT_SUCCESS, c.client->SetReadTimeout(20));
      ASSERT_EQ(NPT_ERROR_TIMEOUT, in->Read(buffer, sizeof(buffer)));
      ASSERT_EQ(NPT_SUCCESS, c.client->SetReadTimeout(10000));

      std::string received;
      NPT_Result end = NPT_SUCCESS;
      auto read_to_end = [&] {
        for (int calls = 0; calls < 10 && end == NPT_SUCCESS; ++calls) {
          NPT_Size count = 0;
          end = in->Read(buffer, chunk, &count);
          received.append(buffer, count);
        }
      };
      std::thread reader;
      if (waiting) reader = std::thread(read_to_end);
      if (waiting) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ASSERT_EQ(NPT_SUCCESS, out->WriteFully("abc", 3));
      out.Release();
      c.peer.reset();
      if (waiting) {
        reader.join();
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        read_to_end();
      }
      EXPECT_EQ("abc", received) << "waiting=" << waiting << " chunk=" << chunk;
      EXPECT_EQ(NPT_ERROR_EOS, end) << "waiting=" << waiting << " chunk=" << chunk;
    }
  }
}

TEST(SocketStreams, ZeroByteWriteIsConnectionReset) {
  Listener listener;
  Connection c = Connect(listener);
  NPT_OutputStreamReference out;
  ASSERT_EQ(NPT_SUCCESS, c.client->GetOutputStream(out));
  ASSERT_EQ(NPT_SUCCESS, c.client->SetWriteTimeout(1000));
  EXPECT_EQ(NPT_ERROR_CONNECTION_RESET, out->Write("x", 0));
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

TEST(TcpServerSocket, APortSomethingListensOnIsInUseWhateverTheReuseFlag) {
  Listener listener;
  for (bool reuse : {false, true}) {
    NPT_TcpServerSocket second;
    EXPECT_EQ(NPT_ERROR_ADDRESS_IN_USE, second.Bind(listener.address, reuse)) << reuse;
  }
}

TEST(AdoptedSocket, ConnectedTcpDescriptorReportsAddresses) {
  Listener listener;
  int fd = kvx_test::raw::ConnectToLoopback(listener.address.GetPort());
  ASSERT_GE(fd, 0);
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
