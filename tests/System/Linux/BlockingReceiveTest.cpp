// Stream reads that may wait block inside recv (the OS receive time-out
// bounds them; a cancel shuts reading down to end them). What must hold:
// cancel ends such a read at once on TCP and on adopted local sockets, with
// or without a full shutdown; the time-out follows every SetReadTimeout;
// a zero time-out never waits; and once a read has made the socket blocking,
// writes still honour their own time-out instead of blocking; and signals
// that interrupt a wait neither end it early nor stretch it. Every wait in
// here is bounded.

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "NptSockets.h"
#include "NptStreams.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

using kvx_test::ElapsedMs;

// One end of a connected pair wrapped in our socket, the other end a raw
// descriptor (TCP over 127.0.0.1, or a local socket pair as a usbmux tunnel
// hands over).
struct Pair {
  std::unique_ptr<NPT_Socket> ours;
  std::unique_ptr<NPT_TcpServerSocket> listener;
  std::unique_ptr<NPT_Socket> peer_socket;
  int peer = -1;
  ~Pair() {
    if (peer >= 0) close(peer);
  }
};

std::unique_ptr<Pair> MakePair(bool local) {
  std::unique_ptr<Pair> pair(new Pair);
  if (local) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return nullptr;
    pair->ours.reset(new NPT_TcpClientSocket(fds[0], 0));
    pair->peer = fds[1];
    return pair;
  }
  pair->listener.reset(new NPT_TcpServerSocket());
  if (pair->listener->Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)) != NPT_SUCCESS) return nullptr;
  if (pair->listener->Listen(4) != NPT_SUCCESS) return nullptr;
  NPT_SocketInfo info;
  pair->listener->GetInfo(info);
  NPT_TcpClientSocket* client = new NPT_TcpClientSocket();
  pair->ours.reset(client);
  if (client->Connect(NPT_SocketAddress(NPT_IpAddress::Loopback, info.local_address.GetPort()), 2000) != NPT_SUCCESS) {
    return nullptr;
  }
  NPT_Socket* accepted = nullptr;
  if (pair->listener->WaitForNewClient(accepted, 2000) != NPT_SUCCESS) return nullptr;
  pair->peer_socket.reset(accepted);
  return pair;
}

// Runs `operation` on a thread; if it has not returned within `limit_ms`,
// cancels `socket` so that the test ends anyway, and reports the hang.
template <typename Operation>
NPT_Result Bounded(NPT_Socket& socket, int limit_ms, Operation operation, bool* hung) {
  std::packaged_task<NPT_Result()> task(operation);
  std::future<NPT_Result> done = task.get_future();
  std::thread worker(std::move(task));
  *hung = done.wait_for(std::chrono::milliseconds(limit_ms)) != std::future_status::ready;
  if (*hung) socket.Cancel(true);
  worker.join();
  return done.get();
}

TEST(BlockingReceive, CancelEndsAReadBlockedInTheKernelAtOnce) {
  for (bool local : {false, true}) {
    for (bool shutdown : {false, true}) {
      for (NPT_Timeout timeout : {NPT_TIMEOUT_INFINITE, NPT_Timeout(60000)}) {
        SCOPED_TRACE((local ? std::string("local") : std::string("tcp")) + " shutdown=" + std::to_string(shutdown) +
                     " timeout=" + std::to_string(timeout));
        std::unique_ptr<Pair> pair = MakePair(local);
        ASSERT_TRUE(pair);
        NPT_InputStreamReference in;
        ASSERT_EQ(NPT_SUCCESS, pair->ours->GetInputStream(in));
        ASSERT_EQ(NPT_SUCCESS, pair->ours->SetReadTimeout(timeout));
        // A first read with data makes the socket blocking.
        if (local) {
          ASSERT_EQ(1, write(pair->peer, "a", 1));
        } else {
          NPT_OutputStreamReference peer_out;
          ASSERT_EQ(NPT_SUCCESS, pair->peer_socket->GetOutputStream(peer_out));
          ASSERT_EQ(NPT_SUCCESS, peer_out->WriteFully("a", 1));
        }
        char byte = 0;
        ASSERT_EQ(NPT_SUCCESS, in->ReadFully(&byte, 1));

        std::atomic<NPT_Result> result(NPT_SUCCESS);
        std::atomic<bool> done(false);
        std::thread reader([&] {
          char buffer[16];
          result = in->Read(buffer, sizeof(buffer));
          done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(done);
        EXPECT_EQ(NPT_SUCCESS, pair->ours->Cancel(shutdown));
        // Hang guard far below the read's own time-out.
        const bool woken = kvx_test::WaitUntil([&] { return done.load(); }, 20000);
        if (!woken) {
          // Not woken: end the read from the peer's side so the test ends.
          if (local) ::shutdown(pair->peer, SHUT_RDWR);
          else pair->peer_socket->Cancel(true);
        }
        reader.join();
        EXPECT_TRUE(woken) << "the cancel did not end the read";
        EXPECT_EQ(NPT_ERROR_CANCELLED, result.load());
      }
    }
  }
}

TEST(BlockingReceive, TimeOutFollowsEverySetReadTimeout) {
  for (bool local : {false, true}) {
    SCOPED_TRACE(local ? "local" : "tcp");
    std::unique_ptr<Pair> pair = MakePair(local);
    ASSERT_TRUE(pair);
    NPT_InputStreamReference in;
    ASSERT_EQ(NPT_SUCCESS, pair->ours->GetInputStream(in));
    // Data that arrives during a wait is returned by it; the long time-out
    // it armed must not outlive the next SetReadTimeout.
    ASSERT_EQ(NPT_SUCCESS, pair->ours->SetReadTimeout(60000));
    std::thread writer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (local) {
        ssize_t ignored = write(pair->peer, "xyz", 3);
        (void)ignored;
      } else {
        NPT_OutputStreamReference out;
        if (pair->peer_socket->GetOutputStream(out) == NPT_SUCCESS) out->WriteFully("xyz", 3);
      }
    });
    char data[3];
    EXPECT_EQ(NPT_SUCCESS, in->ReadFully(data, 3));
    writer.join();
    EXPECT_EQ(std::string(data, 3), "xyz");

    // A stale longer time-out shows as a hang (the guard is far below the
    // 60 s armed above), a stale shorter one as an early return.
    const struct {
      NPT_Timeout timeout;
      NPT_Result result;
      long at_least_ms;
    } steps[] = {
        {40, NPT_ERROR_TIMEOUT, 30},
        {0, NPT_ERROR_WOULD_BLOCK, 0},
        {400, NPT_ERROR_TIMEOUT, 350},
    };
    for (const auto& step : steps) {
      ASSERT_EQ(NPT_SUCCESS, pair->ours->SetReadTimeout(step.timeout));
      char buffer[8];
      Clock::time_point start = Clock::now();
      bool hung = false;
      NPT_Result result = Bounded(*pair->ours, 20000, [&] { return in->Read(buffer, sizeof(buffer)); }, &hung);
      ASSERT_FALSE(hung) << "timeout " << step.timeout;
      EXPECT_EQ(step.result, result) << "timeout " << step.timeout;
      EXPECT_GE(ElapsedMs(start), step.at_least_ms) << "timeout " << step.timeout;
    }
  }
}

TEST(BlockingReceive, WritesKeepTheirTimeOutOnceReadsBlock) {
  for (bool local : {false, true}) {
    SCOPED_TRACE(local ? "local" : "tcp");
    std::unique_ptr<Pair> pair = MakePair(local);
    ASSERT_TRUE(pair);
    NPT_InputStreamReference in;
    NPT_OutputStreamReference out;
    ASSERT_EQ(NPT_SUCCESS, pair->ours->GetInputStream(in));
    ASSERT_EQ(NPT_SUCCESS, pair->ours->GetOutputStream(out));
    ASSERT_EQ(NPT_SUCCESS, pair->ours->SetReadTimeout(50));
    char buffer[4];
    ASSERT_EQ(NPT_ERROR_TIMEOUT, in->Read(buffer, sizeof(buffer)));
    // The peer reads nothing: writing fills both buffers; then a write that
    // may not wait says so at once, and one with a time-out times out.
    std::vector<char> block(65536, 'w');
    for (NPT_Timeout timeout : {NPT_Timeout(0), NPT_Timeout(200)}) {
      ASSERT_EQ(NPT_SUCCESS, pair->ours->SetWriteTimeout(timeout));
      bool hung = false;
      NPT_Result result = Bounded(*pair->ours, 20000,
                                  [&] {
                                    for (int i = 0; i < 4096; ++i) {
                                      NPT_Result r = out->Write(block.data(), (NPT_Size)block.size());
                                      if (NPT_FAILED(r)) return r;
                                    }
                                    return NPT_SUCCESS;
                                  },
                                  &hung);
      ASSERT_FALSE(hung) << "a write with time-out " << timeout << " blocked";
      EXPECT_EQ(timeout == 0 ? NPT_ERROR_WOULD_BLOCK : NPT_ERROR_TIMEOUT, result);
    }
  }
}

std::atomic<int> g_Signals(0);
void CountSignal(int) { g_Signals.fetch_add(1); }

// A host whose threads receive signals (profilers, managed runtimes,
// debuggers) must still see each wait end at its time-out: a wait that starts
// over at every signal never ends while they keep coming, and one that fails
// at a signal breaks the stream. The handler is installed without SA_RESTART,
// as such hosts do.
TEST(BlockingReceive, SignalsNeitherEndNorStretchAWait) {
  struct sigaction action, previous;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = CountSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(0, sigaction(SIGUSR2, &action, &previous));

  enum Operation { kRead, kZeroByteRead, kWrite };
  const struct {
    Operation operation;
    bool local;
    const char* name;
  } cases[] = {
      {kRead, false, "read in recv, tcp"},       {kRead, true, "read in recv, local"},
      {kZeroByteRead, false, "read in poll"},    {kWrite, false, "write in poll, tcp"},
      {kWrite, true, "write in poll, local"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Pair> pair = MakePair(c.local);
    ASSERT_TRUE(pair);
    NPT_InputStreamReference in;
    NPT_OutputStreamReference out;
    ASSERT_EQ(NPT_SUCCESS, pair->ours->GetInputStream(in));
    ASSERT_EQ(NPT_SUCCESS, pair->ours->GetOutputStream(out));
    std::vector<char> block(65536, 'w');
    if (c.operation == kWrite) {
      // The peer reads nothing: fill both buffers so the next write must wait.
      ASSERT_EQ(NPT_SUCCESS, pair->ours->SetWriteTimeout(0));
      NPT_Result filled = NPT_SUCCESS;
      for (int i = 0; i < 4096 && filled == NPT_SUCCESS; ++i) filled = out->Write(block.data(), (NPT_Size)block.size());
      ASSERT_EQ(NPT_ERROR_WOULD_BLOCK, filled);
    }
    ASSERT_EQ(NPT_SUCCESS, pair->ours->SetReadTimeout(300));
    ASSERT_EQ(NPT_SUCCESS, pair->ours->SetWriteTimeout(300));

    std::atomic<bool> started(false), done(false);
    std::atomic<NPT_Result> result(NPT_SUCCESS);
    pthread_t reader_id;
    std::thread reader([&] {
      reader_id = pthread_self();
      started = true;
      char buffer[16];
      if (c.operation == kRead) result = in->Read(buffer, sizeof(buffer));
      if (c.operation == kZeroByteRead) result = in->Read(buffer, 0);
      if (c.operation == kWrite) result = out->Write(block.data(), (NPT_Size)block.size());
      done = true;
    });
    while (!started) std::this_thread::yield();
    // A signal every 20 ms for as long as the wait lasts, up to a hang guard
    // far beyond the 300 ms time-out.
    const int before = g_Signals.load();
    Clock::time_point start = Clock::now();
    while (!done && ElapsedMs(start) < 20000) {
      pthread_kill(reader_id, SIGUSR2);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool ended_under_signals = done.load();
    if (!ended_under_signals) pair->ours->Cancel(true);
    reader.join();
    EXPECT_TRUE(ended_under_signals) << "the time-out never came while signals arrived";
    EXPECT_EQ(NPT_ERROR_TIMEOUT, result.load());
    EXPECT_GT(g_Signals.load(), before) << "no signal reached the waiting thread";
  }
  sigaction(SIGUSR2, &previous, nullptr);
}

}  // namespace
