// The Linux socket layer where it is its own: errno mapping, no SIGPIPE,
// descriptor numbers (reuse after a cancel, numbers above the select limit)
// and adopted local stream sockets. Every wait in here is bounded.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "../../../Source/System/Bsd/NptBsdSocketFd.h"
#include "../LoopbackSockets.h"
#include "NptSockets.h"
#include "NptStreams.h"
#include "TestSupport.h"

namespace {

using namespace kvx_sockets_test;

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

// Linux: the reuse flag is SO_REUSEADDR, which lets a socket bind over
// connections that linger on the port; without it they keep the port taken.
TEST(TcpServerSocket, BindHonoursTheReuseFlag) {
  NPT_SocketAddress address;
  {
    Listener listener;
    address = listener.address;
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

}  // namespace
