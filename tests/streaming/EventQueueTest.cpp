// KVX_EventQueue: admission limits, the droppable-kind rule, FIFO order with
// intact records, timed Pop, and producers and consumers on several threads.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "KvxEventQueue.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

KVX_Event MakeEvent(NPT_Int32 kind, NPT_UInt32 a, NPT_UInt32 b) {
  KVX_Event event;
  event.kind = static_cast<KVX_EventType>(kind);
  std::memcpy(event.payload, &a, 4);
  std::memcpy(event.payload + 4, &b, 4);
  return event;
}

NPT_UInt32 PayloadWord(const KVX_Event& event, int index) {
  NPT_UInt32 word;
  std::memcpy(&word, event.payload + 4 * index, 4);
  return word;
}

using kvx_test::ElapsedMs;

TEST(EventQueue, WithoutLimitsAcceptsEveryKind) {
  KVX_EventQueue queue(0, 0);
  for (NPT_UInt32 i = 0; i < 3000; ++i) {
    NPT_Cardinal count = 0;
    ASSERT_EQ(NPT_SUCCESS, queue.Push(MakeEvent(static_cast<NPT_Int32>(i % 3), i, 0), &count)) << i;
    ASSERT_EQ(i + 1, count);
  }
}

// (events already queued, kind pushed, expected result) on a (1000, 100) queue.
struct AdmissionCase {
  NPT_UInt32 queued;
  NPT_Int32 kind;
  NPT_Result expected;
};

TEST(EventQueue, AdmissionLimitsOfADeviceQueue) {
  const AdmissionCase cases[] = {
      {0, 1, NPT_SUCCESS},           {99, 1, NPT_SUCCESS},          {100, 1, NPT_RESULT_FAILURE},
      {100, 2, NPT_SUCCESS},         {100, 0, NPT_SUCCESS},         {500, 1, NPT_RESULT_FAILURE},
      {999, 2, NPT_SUCCESS},         {999, 1, NPT_RESULT_FAILURE},  {1000, 2, NPT_RESULT_FAILURE},
      {1000, 0, NPT_RESULT_FAILURE}, {1000, 1, NPT_RESULT_FAILURE}, {1000, -7, NPT_RESULT_FAILURE},
  };
  for (const AdmissionCase& c : cases) {
    KVX_EventQueue queue(1000, 100);
    for (NPT_UInt32 i = 0; i < c.queued; ++i) {
      ASSERT_EQ(NPT_SUCCESS, queue.Push(MakeEvent(2, i, 0)));
    }
    NPT_Cardinal count = 12345;
    EXPECT_EQ(c.expected, queue.Push(MakeEvent(c.kind, 0xABCD, 0), &count))
        << "queued " << c.queued << " kind " << c.kind;
    // A refused event leaves the queue as it was.
    NPT_UInt32 expected_size = c.queued + (c.expected == NPT_SUCCESS ? 1 : 0);
    if (c.expected == NPT_SUCCESS) {
      EXPECT_EQ(expected_size, count);
    }
    NPT_UInt32 drained = 0;
    KVX_Event event;
    while (queue.Pop(event, 0) == NPT_SUCCESS) ++drained;
    EXPECT_EQ(expected_size, drained) << "queued " << c.queued << " kind " << c.kind;
  }
}

TEST(EventQueue, DropLimitAloneRefusesOnlyDroppableEvents) {
  KVX_EventQueue queue(0, 2);
  EXPECT_EQ(NPT_SUCCESS, queue.Push(MakeEvent(1, 0, 0)));
  EXPECT_EQ(NPT_SUCCESS, queue.Push(MakeEvent(1, 1, 0)));
  EXPECT_EQ(NPT_RESULT_FAILURE, queue.Push(MakeEvent(1, 2, 0)));
  for (NPT_UInt32 i = 0; i < 50; ++i) EXPECT_EQ(NPT_SUCCESS, queue.Push(MakeEvent(3, i, 0)));
  // Room again once consumers drain below the limit.
  KVX_Event event;
  for (int i = 0; i < 51; ++i) ASSERT_EQ(NPT_SUCCESS, queue.Pop(event, 0));
  EXPECT_EQ(NPT_SUCCESS, queue.Push(MakeEvent(1, 3, 0)));
}

TEST(EventQueue, EventsComeOutInOrderWithEveryByteIntact) {
  KVX_EventQueue queue(1000, 100);
  std::vector<KVX_Event> pushed;
  for (int i = 0; i < 50; ++i) {
    KVX_Event event;
    std::memset(&event, 0, sizeof(event));
    event.kind = static_cast<KVX_EventType>(i * 7 + 2);
    for (int b = 0; b < 8; ++b) event.payload[b] = static_cast<NPT_UInt8>(i * 31 + b * 17 + 0x80);
    pushed.push_back(event);
    ASSERT_EQ(NPT_SUCCESS, queue.Push(event));
  }
  for (size_t i = 0; i < pushed.size(); ++i) {
    KVX_Event event;
    std::memset(&event, 0xEE, sizeof(event));
    NPT_Cardinal left = 999;
    ASSERT_EQ(NPT_SUCCESS, queue.Pop(event, i % 2 ? 0 : 100, &left));
    EXPECT_EQ(0, std::memcmp(&pushed[i], &event, sizeof(event))) << i;
    EXPECT_EQ(pushed.size() - i - 1, left);
  }
}

TEST(EventQueue, PopOnEmptyQueueWithoutWaitingFailsAtOnce) {
  KVX_EventQueue queue(1000, 100);
  KVX_Event event;
  NPT_Cardinal count = 77;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(NPT_ERROR_LIST_EMPTY, queue.Pop(event, 0, &count));
  EXPECT_LT(ElapsedMs(start), 10000) << "a Pop that may not wait waited";
  EXPECT_EQ(0u, count);
}

TEST(EventQueue, TimedPopRunsOutAfterItsTimeout) {
  KVX_EventQueue queue(1000, 100);
  KVX_Event event;
  NPT_Cardinal count = 77;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(NPT_ERROR_TIMEOUT, queue.Pop(event, 50, &count));
  long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 45);
  EXPECT_LT(elapsed, 10000) << "the timeout did not end the wait";
  EXPECT_EQ(0u, count);
  // A stale wake-up left behind by a non-waiting Pop costs a turn, not a lost
  // timeout: the queue is empty again, so the wait still runs out.
  ASSERT_EQ(NPT_SUCCESS, queue.Push(MakeEvent(2, 1, 0)));
  ASSERT_EQ(NPT_SUCCESS, queue.Pop(event, 0));
  EXPECT_EQ(NPT_ERROR_TIMEOUT, queue.Pop(event, 30));
}

TEST(EventQueue, WaitingConsumerGetsAnEventPushedLater) {
  KVX_EventQueue queue(1000, 100);
  std::atomic<bool> started(false);
  NPT_Result result = NPT_FAILURE;
  KVX_Event received;
  std::memset(&received, 0, sizeof(received));
  NPT_Cardinal left = 55;
  long waited = 0;
  std::thread consumer([&] {
    started = true;
    Clock::time_point start = Clock::now();
    result = queue.Pop(received, NPT_TIMEOUT_INFINITE, &left);
    waited = ElapsedMs(start);
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  Clock::time_point pushed_at = Clock::now();
  ASSERT_EQ(NPT_SUCCESS, queue.Push(MakeEvent(5, 0xDEADBEEF, 42)));
  consumer.join();
  EXPECT_LT(ElapsedMs(pushed_at), 10000) << "the push did not wake the consumer";
  EXPECT_GE(waited, 40);
  EXPECT_EQ(NPT_SUCCESS, result);
  EXPECT_EQ(5, received.kind);
  EXPECT_EQ(0xDEADBEEFu, PayloadWord(received, 0));
  EXPECT_EQ(42u, PayloadWord(received, 1));
  EXPECT_EQ(0u, left);
}

// Two consumers asleep on an empty queue, then two events pushed at once:
// both must get one. The signal is raised only on the empty-to-one step, so
// the first waiter to wake must leave it raised while events remain.
TEST(EventQueue, EveryWaitingConsumerIsServedWhenSeveralEventsArrive) {
  for (int round = 0; round < 20; ++round) {
    KVX_EventQueue queue(0, 0);
    std::atomic<int> waiting(0);
    NPT_Result results[2] = {NPT_FAILURE, NPT_FAILURE};
    std::thread consumers[2];
    for (int i = 0; i < 2; ++i) {
      consumers[i] = std::thread([&, i] {
        KVX_Event event;
        ++waiting;
        results[i] = queue.Pop(event, 2000);
      });
    }
    while (waiting < 2) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(NPT_SUCCESS, queue.Push(MakeEvent(2, 1, 0)));
    ASSERT_EQ(NPT_SUCCESS, queue.Push(MakeEvent(2, 2, 0)));
    for (std::thread& consumer : consumers) consumer.join();
    EXPECT_EQ(NPT_SUCCESS, results[0]) << "round " << round;
    EXPECT_EQ(NPT_SUCCESS, results[1]) << "round " << round;
  }
}

// Producers push numbered events into a small bounded queue (retrying while
// it is full); consumers with timed waits take them. Every event arrives
// exactly once and each producer's events arrive in the order pushed.
TEST(EventQueue, ProducersAndConsumersOnSeveralThreads) {
  const int kProducers = 3;
  const int kConsumers = 3;
  const NPT_UInt32 kPerProducer = 3000;
  KVX_EventQueue queue(64, 0);
  std::atomic<int> producers_done(0);
  std::vector<std::vector<NPT_UInt32>> seen(kConsumers * kProducers);

  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (NPT_UInt32 i = 0; i < kPerProducer; ++i) {
        while (queue.Push(MakeEvent(2, static_cast<NPT_UInt32>(p), i)) != NPT_SUCCESS) std::this_thread::yield();
      }
      ++producers_done;
    });
  }
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&, c] {
      KVX_Event event;
      auto record = [&] {
        NPT_UInt32 producer = PayloadWord(event, 0);
        if (producer < static_cast<NPT_UInt32>(kProducers)) seen[c * kProducers + producer].push_back(PayloadWord(event, 1));
      };
      for (;;) {
        NPT_Result result = queue.Pop(event, 20);
        if (result == NPT_SUCCESS) {
          record();
        } else if (result != NPT_ERROR_TIMEOUT) {
          ADD_FAILURE() << "Pop gave " << result;
          return;
        } else if (producers_done == kProducers) {
          // Everything has been pushed: drain without waiting, then stop.
          if (queue.Pop(event, 0) != NPT_SUCCESS) return;
          record();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int p = 0; p < kProducers; ++p) {
    std::vector<int> times(kPerProducer, 0);
    for (int c = 0; c < kConsumers; ++c) {
      const std::vector<NPT_UInt32>& got = seen[c * kProducers + p];
      for (size_t k = 0; k < got.size(); ++k) {
        ASSERT_LT(got[k], kPerProducer);
        ++times[got[k]];
        // One consumer sees a producer's events in increasing order.
        if (k > 0) {
          EXPECT_LT(got[k - 1], got[k]) << "producer " << p << " consumer " << c;
        }
      }
    }
    for (NPT_UInt32 i = 0; i < kPerProducer; ++i) {
      ASSERT_EQ(1, times[i]) << "producer " << p << " event " << i;
    }
  }
}

}  // namespace
