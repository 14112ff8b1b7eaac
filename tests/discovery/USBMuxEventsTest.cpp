// The usbmux event fan-out over the library test double: one library
// subscription shared by every subscriber, replay to late subscribers, and
// removal that never races a callback in progress.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DiscoveryRecorder.h"
#include "EventsOnDouble.h"
#include "KvxUSBMux.h"
#include "KvxUSBMuxEvents.h"
#include "TestSupport.h"

namespace {

using kvx_discovery_test::WaitUntil;


struct Seen {
  int kind;
  std::string udid;
};

// Records the events one subscriber receives; an optional hook runs inside
// the callback.
class EventLog {
 public:
  static void Callback(const usbmuxd_event_t* event, void* user_data) {
    EventLog* self = static_cast<EventLog*>(user_data);
    {
      std::lock_guard<std::mutex> lock(self->m_Mutex);
      self->m_Seen.push_back({event->event, event->device.udid});
    }
    if (self->hook) self->hook();
  }
  std::vector<Seen> Events() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Seen;
  }
  size_t Count() const { return Events().size(); }
  std::string Summary() const {
    std::string s;
    for (const Seen& e : Events()) s += (e.kind == 1 ? "+" : "-") + e.udid + " ";
    return s;
  }
  std::function<void()> hook;

 private:
  mutable std::mutex m_Mutex;
  std::vector<Seen> m_Seen;
};

class USBMuxEventsTest : public kvx_discovery_test::EventsOnDoubleTest {
 protected:
  USBMuxEventsTest() : EventsOnDoubleTest(2000) {}
};

TEST_F(USBMuxEventsTest, SubscribersShareOneSubscriptionAndLateOnesGetCurrentDevices) {
  EventLog a, b;
  ASSERT_EQ(m_Events->AddSubscriber(&EventLog::Callback, &a), NPT_SUCCESS);
  m_Double->attach(1, 0x1290, "one");
  m_Double->attach(2, 0x1291, "two");
  m_Double->detach(2);
  Idle();
  EXPECT_EQ(a.Summary(), "+one +two -two ");
  EXPECT_EQ(m_Events->GetDeviceCount(), 1u);

  // The replay happens before AddSubscriber returns, on this thread.
  ASSERT_EQ(m_Events->AddSubscriber(&EventLog::Callback, &b), NPT_SUCCESS);
  EXPECT_EQ(b.Summary(), "+one ");

  m_Double->attach(3, 0x1292, "three");
  Idle();
  EXPECT_EQ(a.Summary(), "+one +two -two +three ");
  EXPECT_EQ(b.Summary(), "+one +three ");

  // Leaving silences only the one that left; a later subscriber still hears.
  ASSERT_EQ(m_Events->RemoveSubscriber(&EventLog::Callback, &a), NPT_SUCCESS);
  EXPECT_EQ(m_Events->RemoveSubscriber(&EventLog::Callback, &a), NPT_ERROR_NO_SUCH_ITEM);
  m_Double->detach(1);
  Idle();
  EXPECT_EQ(a.Summary(), "+one +two -two +three ");
  EXPECT_EQ(b.Summary(), "+one +three -one ");
  EventLog c;
  ASSERT_EQ(m_Events->AddSubscriber(&EventLog::Callback, &c), NPT_SUCCESS);
  EXPECT_EQ(c.Summary(), "+three ");

  EXPECT_EQ(m_Double->subscribe_count(), 1);
  EXPECT_EQ(m_Double->unsubscribe_count(), 0);
  EXPECT_EQ(m_Events->GetSubscriberCount(), 2u);
  m_Events->RemoveSubscriber(&EventLog::Callback, &b);
  m_Events->RemoveSubscriber(&EventLog::Callback, &c);
}

TEST_F(USBMuxEventsTest, RemoveWaitsForTheCallbackInProgressAndNothingArrivesAfter) {
  std::mutex gate;
  std::unique_lock<std::mutex> closed(gate, std::defer_lock);
  std::atomic<bool> inside(false);
  EventLog log;
  log.hook = [&] {
    inside = true;
    std::lock_guard<std::mutex> wait(gate);  // blocks until the test opens the gate
  };
  ASSERT_EQ(m_Events->AddSubscriber(&EventLog::Callback, &log), NPT_SUCCESS);
  // Closed only now: this thread holds no lock of the test's while it calls
  // into the library.
  closed.lock();
  m_Double->attach(1, 0x1290, "one");
  ASSERT_TRUE(WaitUntil([&] { return inside.load(); }, 30000));

  // Another subscriber can join while the first one's callback is blocked:
  // the fan-out holds none of its locks around a callback.
  EventLog other;
  std::atomic<bool> joined(false);
  std::thread joiner([&] {
    m_Events->AddSubscriber(&EventLog::Callback, &other);
    joined = true;
  });
  EXPECT_TRUE(WaitUntil([&] { return joined.load(); }, 30000));
  joiner.join();
  EXPECT_EQ(other.Summary(), "+one ");

  std::atomic<bool> removed(false);
  std::thread remover([&] {
    m_Events->RemoveSubscriber(&EventLog::Callback, &log);
    removed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(removed.load()) << "RemoveSubscriber returned while the callback was still running";
  closed.unlock();
  remover.join();
  EXPECT_TRUE(removed.load());

  size_t before = log.Count();
  m_Double->attach(2, 0x1290, "two");
  Idle();
  EXPECT_EQ(log.Count(), before);
  EXPECT_EQ(other.Summary(), "+one +two ");
  m_Events->RemoveSubscriber(&EventLog::Callback, &other);
}

TEST_F(USBMuxEventsTest, ASubscriberMayLeaveFromInsideItsOwnCallback) {
  EventLog log;
  KVX_USBMuxEvents* events = m_Events.get();
  log.hook = [&] { events->RemoveSubscriber(&EventLog::Callback, &log); };
  ASSERT_EQ(m_Events->AddSubscriber(&EventLog::Callback, &log), NPT_SUCCESS);
  m_Double->attach(1, 0x1290, "one");
  m_Double->attach(2, 0x1290, "two");
  Idle();
  EXPECT_EQ(log.Summary(), "+one ");
  EXPECT_EQ(m_Events->GetSubscriberCount(), 0u);
}

TEST(USBMuxEventsWithoutLibrary, SubscribersAreKeptAndHearNothing) {
  KVX_USBMux mux("/nonexistent/libusbmuxd-missing.so");
  KVX_USBMuxEvents events(mux);
  EventLog log;
  EXPECT_EQ(events.AddSubscriber(&EventLog::Callback, &log), NPT_RESULT_FAILURE);
  EXPECT_EQ(events.GetSubscriberCount(), 1u);
  EXPECT_EQ(events.AddSubscriber(nullptr, &log), NPT_ERROR_INVALID_PARAMETERS);
  EXPECT_EQ(events.RemoveSubscriber(&EventLog::Callback, &log), NPT_SUCCESS);
  EXPECT_EQ(log.Count(), 0u);
}

}  // namespace
