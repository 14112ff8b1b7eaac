// POSIX platform layer under the thread classes: the event object the shared
// variable is built on, and the reseeding of the random generator per thread.

#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "../../../Source/System/Posix/NptPosixThreads.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

using kvx_test::ElapsedMs;

TEST(PosixEvent, AutoResetSignalWithoutWaiterStaysPendingForOneWait) {
  NPT_PosixEvent event(false, false);
  EXPECT_EQ(NPT_ERROR_TIMEOUT, event.Wait(0));
  EXPECT_EQ(NPT_SUCCESS, event.Signal());
  EXPECT_EQ(NPT_SUCCESS, event.Signal());  // a signalled event does not count signals
  EXPECT_EQ(NPT_SUCCESS, event.Wait(0));
  EXPECT_EQ(NPT_ERROR_TIMEOUT, event.Wait(0));

  NPT_PosixEvent initially(false, true);
  EXPECT_EQ(NPT_SUCCESS, initially.Wait(0));
  EXPECT_EQ(NPT_ERROR_TIMEOUT, initially.Wait(0));

  EXPECT_EQ(NPT_SUCCESS, event.Signal());
  EXPECT_EQ(NPT_SUCCESS, event.Reset());
  EXPECT_EQ(NPT_ERROR_TIMEOUT, event.Wait(0));
}

TEST(PosixEvent, ManualResetReleasesEveryWaitUntilReset) {
  NPT_PosixEvent event(true, false);
  std::vector<std::thread> waiters;
  std::atomic<int> released{0};
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(5000) == NPT_SUCCESS) released.fetch_add(1);
    });
  }
  event.Signal();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(3, released.load());
  EXPECT_EQ(NPT_SUCCESS, event.Wait(0));
  EXPECT_EQ(NPT_SUCCESS, event.Wait(0));
  event.Reset();
  EXPECT_EQ(NPT_ERROR_TIMEOUT, event.Wait(0));
}

TEST(PosixEvent, OneSignalReleasesExactlyOneOfTwoWaiters) {
  NPT_PosixEvent event(false, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(30000) == NPT_SUCCESS) released.fetch_add(1);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  event.Signal();
  // Whether or not both were blocked yet, one signal is one release.
  Clock::time_point start = Clock::now();
  while (released.load() == 0 && ElapsedMs(start) < 20000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(1, released.load());
  event.Signal();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(2, released.load());
  EXPECT_EQ(NPT_ERROR_TIMEOUT, event.Wait(0)) << "both signals were consumed";
}

TEST(PosixEvent, TimedWaitRunsForTheTimeout) {
  NPT_PosixEvent event(false, false);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(NPT_ERROR_TIMEOUT, event.Wait(100));
  long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 99);
  EXPECT_LT(elapsed, 30000);  // hang guard
}

TEST(PosixThread, RandomSeedIsLow32BitsOfTimePlusThreadId) {
  struct Case {
    NPT_UInt64 now_ns;
    unsigned long thread_id;
    unsigned int seed;
  } cases[] = {
      {0, 0, 0},
      {1000000, 7, 1000007},
      {0x100000005ull, 7, 12},        // high bits dropped
      {0xFFFFFFFFull, 2, 1},          // the sum wraps
      {0xABCD00000000ull + 5, 100, 105},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.seed, NPT_PosixThread::RandomSeed(c.now_ns, c.thread_id)) << c.now_ns << " + " << c.thread_id;
  }
}

NPT_UInt64 WallClockMs() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (NPT_UInt64)now.tv_sec * 1000u + (NPT_UInt64)(now.tv_nsec / 1000000L);
}

// Records the first rand() of the thread and when it ran.
struct RandTarget : NPT_Runnable {
  std::atomic<int> first{-1};
  std::atomic<NPT_Thread::ThreadId> id{0};
  std::atomic<NPT_UInt64> after_ms{0};
  void Run() override {
    first.store(rand());
    id.store(NPT_Thread::GetCurrentThreadId());
    after_ms.store(WallClockMs());
  }
};

TEST(PosixThread, EveryRuntimeThreadReseedsTheGeneratorWhenItStarts) {
  // Without a reseed the thread would continue this known sequence.
  srand(12345);
  rand();
  const int continued = rand();
  srand(12345);
  rand();

  RandTarget target;
  const NPT_UInt64 before_ms = WallClockMs();
  NPT_Thread thread(target);
  ASSERT_EQ(NPT_SUCCESS, thread.Start());
  ASSERT_EQ(NPT_SUCCESS, thread.Wait(5000));
  ASSERT_NE(-1, target.first.load());
  EXPECT_NE(continued, target.first.load());

  // The value is the first of the sequence seeded with the time stamp of some
  // millisecond while the thread started, plus its thread id.
  ASSERT_LT(target.after_ms.load() - before_ms, 60000u);
  bool matched = false;
  for (NPT_UInt64 ms = before_ms; ms <= target.after_ms.load() && !matched; ++ms) {
    srand(NPT_PosixThread::RandomSeed(ms * 1000000u, target.id.load()));
    matched = rand() == target.first.load();
  }
  EXPECT_TRUE(matched);
}

}  // namespace
