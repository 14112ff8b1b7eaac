// Threads, mutex, shared variable and atomic variable: start/wait/delete
// protocol, re-entrancy, wake-up semantics under contention.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "NptThreads.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

using kvx_test::ElapsedMs;

// Polls `condition` until it holds, or gives up after a hang guard's time.
bool Eventually(const std::function<bool()>& condition) { return kvx_test::WaitUntil(condition, 30000); }

// A target whose Run blocks until released (or 10 s pass, so a failing test
// cannot hang the suite).
struct Blocker : NPT_Runnable {
  NPT_SharedVariable release{0};
  std::atomic<int> runs{0};
  std::atomic<bool> finished{false};
  void Run() override {
    runs.fetch_add(1);
    release.WaitUntilEquals(1, 30000);
    finished.store(true);
  }
};

// ---------------------------------------------------------------- threads

TEST(Thread, StartTwiceIsRefusedWhileRunningAndAfterTheEnd) {
  Blocker target;
  NPT_Thread thread(target);
  ASSERT_EQ(NPT_SUCCESS, thread.Start());
  EXPECT_EQ(NPT_ERROR_INVALID_STATE, thread.Start());
  target.release.SetValue(1);
  ASSERT_EQ(NPT_SUCCESS, thread.Wait());
  EXPECT_EQ(NPT_ERROR_INVALID_STATE, thread.Start());
  EXPECT_EQ(1, target.runs.load());
}

TEST(Thread, WaitTimesOutWithFailureWhileRunningThenSucceedsAfterRun) {
  Blocker target;
  NPT_Thread thread(target);
  ASSERT_EQ(NPT_SUCCESS, thread.Start());

  EXPECT_EQ(NPT_RESULT_FAILURE, thread.Wait(0));
  Clock::time_point start = Clock::now();
  EXPECT_EQ(NPT_RESULT_FAILURE, thread.Wait(100));  // a failure, not NPT_ERROR_TIMEOUT
  EXPECT_GE(ElapsedMs(start), 95);
  EXPECT_FALSE(target.finished.load());

  target.release.SetValue(1);
  EXPECT_EQ(NPT_SUCCESS, thread.Wait(30000));
  EXPECT_TRUE(target.finished.load());
  // Waiting again on an ended thread keeps succeeding.
  EXPECT_EQ(NPT_SUCCESS, thread.Wait(0));
  EXPECT_EQ(NPT_SUCCESS, thread.Wait());
}

TEST(Thread, WaitOnNeverStartedThreadFailsAtOnce) {
  Blocker target;
  NPT_Thread thread(target);
  EXPECT_EQ(NPT_RESULT_FAILURE, thread.Wait(0));
  EXPECT_EQ(NPT_RESULT_FAILURE, thread.Wait(NPT_TIMEOUT_INFINITE));  // would wait for ever
  EXPECT_EQ(0, target.runs.load());
}

TEST(Thread, InterruptIsNotImplemented) {
  Blocker target;
  NPT_Thread thread(target);
  EXPECT_EQ(-20012, thread.Interrupt());
  ASSERT_EQ(NPT_SUCCESS, thread.Start());
  EXPECT_EQ(NPT_ERROR_NOT_IMPLEMENTED, thread.Interrupt());
  target.release.SetValue(1);
  EXPECT_EQ(NPT_SUCCESS, thread.Wait(30000));
}

// A subclass that is its own target.
class CountingThread : public NPT_Thread {
 public:
  explicit CountingThread(std::atomic<int>& counter) : m_Counter(counter) {}
  ~CountingThread() override { Wait(); }  // Run uses our members
  void Run() override { m_Counter.fetch_add(1); }

 private:
  std::atomic<int>& m_Counter;
};

TEST(Thread, SubclassRunsItsOwnRunAndDefaultRunDoesNothing) {
  std::atomic<int> counter{0};
  {
    CountingThread thread(counter);
    ASSERT_EQ(NPT_SUCCESS, thread.Start());
    EXPECT_EQ(NPT_SUCCESS, thread.Wait(30000));
  }
  EXPECT_EQ(1, counter.load());

  NPT_Thread plain;
  ASSERT_EQ(NPT_SUCCESS, plain.Start());
  EXPECT_EQ(NPT_SUCCESS, plain.Wait(30000));
}

// Sleeps, then records that Run finished.
struct SlowTarget : NPT_Runnable {
  std::atomic<bool> finished{false};
  void Run() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    finished.store(true);
  }
};

TEST(Thread, DestroyingAStartedJoinableThreadWaitsForRunAndReleasesIt) {
  const int threads_before = kvx_test::CountThreads();
  std::vector<SlowTarget> targets(8);
  Clock::time_point start = Clock::now();
  {
    std::vector<NPT_Thread*> threads;
    for (SlowTarget& target : targets) {
      threads.push_back(new NPT_Thread(target));
      ASSERT_EQ(NPT_SUCCESS, threads.back()->Start());
    }
    for (NPT_Thread* thread : threads) delete thread;
  }
  EXPECT_GE(ElapsedMs(start), 95);
  for (SlowTarget& target : targets) EXPECT_TRUE(target.finished.load());
  // Joined, not merely ended: no OS thread is left behind.
  EXPECT_EQ(threads_before, kvx_test::CountThreads());
}

TEST(Thread, DestroyingAnUnstartedThreadDoesNotBlock) {
  NPT_Thread thread;  // its destructor would wait for ever for a Run that never comes
}

// Detached threads delete themselves; counts destructor calls.
std::atomic<int> g_DetachedDestroyed{0};

class DetachedThread : public NPT_Thread {
 public:
  explicit DetachedThread(NPT_SharedVariable* gate = nullptr) : NPT_Thread(true), m_Gate(gate) {}
  ~DetachedThread() override { g_DetachedDestroyed.fetch_add(1); }
  void Run() override {
    if (m_Gate) m_Gate->WaitUntilEquals(1, 30000);
    m_Work.assign(1024, 'x');  // heap memory a leak checker would see
  }

 private:
  NPT_SharedVariable* m_Gate;
  std::vector<char> m_Work;
};

TEST(Thread, DetachedThreadsDeleteThemselvesAfterRun) {
  g_DetachedDestroyed.store(0);
  const int threads_before = kvx_test::CountThreads();
  const int count = 20;
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(NPT_SUCCESS, (new DetachedThread())->Start());
  }
  EXPECT_TRUE(Eventually([&] { return g_DetachedDestroyed.load() == count; }));
  EXPECT_TRUE(Eventually([&] { return kvx_test::CountThreads() == threads_before; }));
  EXPECT_EQ(count, g_DetachedDestroyed.load());
}

TEST(Thread, DetachedThreadRefusesWaitAndSecondStart) {
  g_DetachedDestroyed.store(0);
  NPT_SharedVariable gate(0);
  DetachedThread* thread = new DetachedThread(&gate);
  ASSERT_EQ(NPT_SUCCESS, thread->Start());
  // Still blocked in Run (until the gate opens below), so the object is alive
  // and a wait that did not refuse would never end.
  EXPECT_EQ(NPT_RESULT_FAILURE, thread->Wait(NPT_TIMEOUT_INFINITE));
  EXPECT_EQ(NPT_ERROR_INVALID_STATE, thread->Start());
  gate.SetValue(1);
  // The gate lives on this stack: keep it until the thread is gone.
  EXPECT_TRUE(Eventually([&] { return g_DetachedDestroyed.load() == 1; }));
}

// A joinable thread may delete itself from its own Run without deadlocking.
class SelfDeletingThread : public NPT_Thread {
 public:
  explicit SelfDeletingThread(std::atomic<bool>& deleted) : m_Deleted(deleted) {}
  ~SelfDeletingThread() override { m_Deleted.store(true); }
  void Run() override { delete this; }

 private:
  std::atomic<bool>& m_Deleted;
};

TEST(Thread, JoinableThreadDeletedByItsOwnRunEndsCleanly) {
  const int threads_before = kvx_test::CountThreads();
  std::atomic<bool> deleted{false};
  ASSERT_EQ(NPT_SUCCESS, (new SelfDeletingThread(deleted))->Start());
  EXPECT_TRUE(Eventually([&] { return deleted.load(); }));
  EXPECT_TRUE(Eventually([&] { return kvx_test::CountThreads() == threads_before; }));
}

TEST(Thread, CurrentThreadIdDiffersBetweenThreadsAndIsStable) {
  NPT_Thread::ThreadId main_id = NPT_Thread::GetCurrentThreadId();
  EXPECT_EQ(main_id, NPT_Thread::GetCurrentThreadId());
  EXPECT_NE(0u, main_id);
  std::atomic<NPT_Thread::ThreadId> other_id{0};
  struct IdTarget : NPT_Runnable {
    std::atomic<NPT_Thread::ThreadId>* out;
    void Run() override { out->store(NPT_Thread::GetCurrentThreadId()); }
  } target;
  target.out = &other_id;
  NPT_Thread thread(target);
  ASSERT_EQ(NPT_SUCCESS, thread.Start());
  ASSERT_EQ(NPT_SUCCESS, thread.Wait(30000));
  EXPECT_NE(0u, other_id.load());
  EXPECT_NE(main_id, other_id.load());
}

// ---------------------------------------------------------------- mutex

TEST(Mutex, OwnerMayLockAgainAndOthersWaitUntilEveryUnlock) {
  NPT_Mutex mutex;
  ASSERT_EQ(NPT_SUCCESS, mutex.Lock());
  ASSERT_EQ(NPT_SUCCESS, mutex.Lock());

  std::atomic<bool> acquired{false};
  std::thread other([&] {
    EXPECT_EQ(NPT_SUCCESS, mutex.Lock());
    acquired.store(true);
    EXPECT_EQ(NPT_SUCCESS, mutex.Unlock());
  });

  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(acquired.load());
  EXPECT_EQ(NPT_SUCCESS, mutex.Unlock());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(acquired.load()) << "released after one of two unlocks";
  EXPECT_EQ(NPT_SUCCESS, mutex.Unlock());
  EXPECT_TRUE(Eventually([&] { return acquired.load(); }));
  other.join();
}

TEST(Mutex, AutoLockNestsAndExcludesOtherThreads) {
  NPT_Mutex mutex;
  long counter = 0;  // deliberately plain: the mutex is what protects it
  const int threads = 4, rounds = 5000;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < rounds; ++i) {
        NPT_AutoLock outer(mutex);
        NPT_AutoLock inner(mutex);
        ++counter;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ((long)threads * rounds, counter);
  // Every AutoLock unlocked on scope exit: another thread can take it now.
  std::thread probe([&] {
    EXPECT_EQ(NPT_SUCCESS, mutex.Lock());
    mutex.Unlock();
  });
  probe.join();
}

// ---------------------------------------------------------------- shared variable

TEST(SharedVariable, WaitForTheCurrentConditionSucceedsAtOnce) {
  NPT_SharedVariable variable(7);
  EXPECT_EQ(7, variable.GetValue());
  EXPECT_EQ(NPT_SUCCESS, variable.WaitUntilEquals(7, 0));
  EXPECT_EQ(NPT_SUCCESS, variable.WaitWhileEquals(8, 0));
  EXPECT_EQ(NPT_ERROR_TIMEOUT, variable.WaitUntilEquals(8, 0));
  EXPECT_EQ(NPT_ERROR_TIMEOUT, variable.WaitWhileEquals(7, 0));
}

TEST(SharedVariable, UnchangedValueTimesOutAfterTheTimeout) {
  NPT_SharedVariable variable(0);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(NPT_ERROR_TIMEOUT, variable.WaitUntilEquals(1, 100));
  long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 95);
  EXPECT_LT(elapsed, 30000);  // hang guard
}

TEST(SharedVariable, SettingTheSameValueWakesNobodyAndADifferentOneDoes) {
  NPT_SharedVariable variable(5);
  std::atomic<NPT_Result> result{1};
  std::thread waiter([&] { result.store(variable.WaitWhileEquals(5, 300)); });
  for (int i = 0; i < 10; ++i) {
    variable.SetValue(5);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  waiter.join();
  EXPECT_EQ(NPT_ERROR_TIMEOUT, result.load());

  result.store(1);
  std::thread woken([&] { result.store(variable.WaitWhileEquals(5, 60000)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Clock::time_point start = Clock::now();
  variable.SetValue(6);
  woken.join();
  EXPECT_EQ(NPT_SUCCESS, result.load());
  EXPECT_LT(ElapsedMs(start), 30000) << "the change did not wake the waiter";
  EXPECT_EQ(6, variable.GetValue());
}

TEST(SharedVariable, TimeoutAppliesToEachWaitNotToTheWholeCall) {
  NPT_SharedVariable variable(0);
  std::atomic<NPT_Result> result{1};
  Clock::time_point start = Clock::now();
  // Waits 300 ms at most for each change; changes come every 30 ms for 600 ms
  // without meeting the condition, then it is met.
  std::thread waiter([&] { result.store(variable.WaitUntilEquals(100, 300)); });
  for (int i = 1; i <= 20; ++i) {
    variable.SetValue(i);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  variable.SetValue(100);
  waiter.join();
  EXPECT_EQ(NPT_SUCCESS, result.load());
  EXPECT_GE(ElapsedMs(start), 300) << "the whole call outlasted one timeout";
}

TEST(SharedVariable, PingPongLosesNoWakeUp) {
  // Each side waits for the other's change; a lost wake-up shows up as a
  // timeout instead of a hang.
  NPT_SharedVariable turn(0);
  const int rounds = 2000;
  std::atomic<int> failures{0};
  std::thread pong([&] {
    for (int i = 0; i < rounds; ++i) {
      if (turn.WaitUntilEquals(1, 30000) != NPT_SUCCESS) {
        failures.fetch_add(1);
        return;
      }
      turn.SetValue(0);
    }
  });
  for (int i = 0; i < rounds; ++i) {
    if (turn.WaitUntilEquals(0, 30000) != NPT_SUCCESS) {
      failures.fetch_add(1);
      break;
    }
    turn.SetValue(1);
  }
  pong.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(NPT_SUCCESS, turn.WaitUntilEquals(0, 30000));
}

TEST(SharedVariable, ConsumerSeesTheLastOfManyConcurrentChanges) {
  NPT_SharedVariable progress(0);
  NPT_Mutex lock;
  int produced = 0;
  const int producers = 4, items = 500;
  std::atomic<NPT_Result> result{1};
  std::thread consumer([&] { result.store(progress.WaitUntilEquals(producers * items, 30000)); });
  std::vector<std::thread> workers;
  for (int p = 0; p < producers; ++p) {
    workers.emplace_back([&] {
      for (int i = 0; i < items; ++i) {
        NPT_AutoLock guard(lock);
        progress.SetValue(++produced);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  consumer.join();
  EXPECT_EQ(NPT_SUCCESS, result.load());
  EXPECT_EQ(producers * items, progress.GetValue());
}

TEST(SharedVariable, SeveralWaitersForDifferentValuesAreEachReleased) {
  // A baton passed round a ring: thread i waits for i and hands on to i + 1.
  // Every thread waits on the same variable at once, for a different value.
  NPT_SharedVariable baton(-1);
  const int ring = 4, laps = 200;
  std::atomic<int> failures{0};
  std::vector<std::thread> runners;
  for (int i = 0; i < ring; ++i) {
    runners.emplace_back([&, i] {
      for (int lap = 0; lap < laps; ++lap) {
        if (baton.WaitUntilEquals(lap * ring + i, 30000) != NPT_SUCCESS) {
          failures.fetch_add(1);
          return;
        }
        baton.SetValue(lap * ring + i + 1);
      }
    });
  }
  baton.SetValue(0);
  for (std::thread& runner : runners) runner.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(ring * laps, baton.GetValue());
}

// ---------------------------------------------------------------- atomic variable

TEST(AtomicVariable, IncrementAndDecrementReturnTheNewValue) {
  NPT_AtomicVariable variable(0);
  EXPECT_EQ(1, variable.Increment());
  EXPECT_EQ(0, variable.Decrement());
  EXPECT_EQ(-1, variable.Decrement());
  variable.SetValue(41);
  EXPECT_EQ(41, variable.GetValue());
  EXPECT_EQ(42, variable.Increment());
  NPT_AtomicVariable initial(9);
  EXPECT_EQ(9, initial.GetValue());
}

TEST(AtomicVariable, ConcurrentUpdatesAreNotLost) {
  NPT_AtomicVariable variable(0);
  const int threads = 4, rounds = 20000;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i) {
        if (t % 2 == 0) {
          variable.Increment();
          variable.Increment();
        } else {
          variable.Decrement();
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(threads / 2 * rounds, variable.GetValue());
}

}  // namespace
