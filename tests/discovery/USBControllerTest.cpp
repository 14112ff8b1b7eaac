// The USB controller over the library test double: which devices it
// registers, what a detach reports, event delivery to several controllers,
// and prompt shutdown. Probing against app doubles is proven in
// tests/extra/discovery_integration.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "DiscoveryRecorder.h"
#include "EventsOnDouble.h"
#include "KvxUSBController.h"
#include "KvxUSBMux.h"
#include "KvxUSBMuxEvents.h"
#include "TestSupport.h"

namespace {

using kvx_discovery_test::Found;
using kvx_discovery_test::MakeEvent;
using kvx_discovery_test::RecordingDelegate;
using kvx_discovery_test::Removed;
using kvx_discovery_test::Report;
using kvx_discovery_test::WaitUntil;
using Clock = std::chrono::steady_clock;


using kvx_test::ElapsedMs;

TEST(USBControllerIsValidDevice, AcceptsExactlyTheProductIdRange) {
  const struct {
    NPT_UInt32 pid;
    bool valid;
  } cases[] = {{0, false},      {0x128F, false}, {0x1290, true},      {0x1295, true},
               {0x129A, true},  {0x129B, false}, {0x11290, false},   {0xFFFFFFFF, false}};
  for (const auto& c : cases) EXPECT_EQ(KVX_USBController::IsValidDevice(c.pid), c.valid) << std::hex << c.pid;
}

class USBControllerTest : public kvx_discovery_test::EventsOnDoubleTest {
 protected:
  USBControllerTest() : EventsOnDoubleTest(3000) {}
};

TEST_F(USBControllerTest, RegistersAcceptedProductIdsAndReportsBothPortsOnDetach) {
  KVX_USBController controller(*m_Events);
  RecordingDelegate delegate;
  controller.SetDelegate(&delegate);

  const struct {
    const char* udid;
    NPT_UInt32 pid;
  } devices[] = {{"low", 0x128F}, {"first", 0x1290}, {"middle", 0x1297}, {"last", 0x129A}, {"high", 0x129B}};
  testing::internal::CaptureStdout();
  NPT_UInt32 handle = 1;
  for (const auto& d : devices) {
    usbmuxd_event_t attach = MakeEvent(KVX_USBMUX_EVENT_DEVICE_ADD, handle++, d.pid, d.udid);
    controller.NewEvent(&attach);
  }
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed,
            "Device attached: pid=128f\nDevice attached: pid=1290\nDevice attached: pid=1297\n"
            "Device attached: pid=129a\nDevice attached: pid=129b\n");
  // A host may keep its standard output to itself.
  KVX_USBController::SetConsoleOutput(false);
  testing::internal::CaptureStdout();
  usbmuxd_event_t quiet = MakeEvent(KVX_USBMUX_EVENT_DEVICE_ADD, 1, 0x1290, "first");
  controller.NewEvent(&quiet);
  KVX_USBController::SetConsoleOutput(true);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  // Nothing answers on any port: no app is ever found, yet a detach reports
  // both ports of every registered device, 8099 first.
  for (const auto& d : devices) {
    usbmuxd_event_t detach = MakeEvent(KVX_USBMUX_EVENT_DEVICE_REMOVE, 0, d.pid, d.udid);
    controller.NewEvent(&detach);
  }
  std::vector<Report> expected = {Removed("http://first:8099/"),  Removed("http://first:8100/"),
                                  Removed("http://middle:8099/"), Removed("http://middle:8100/"),
                                  Removed("http://last:8099/"),   Removed("http://last:8100/")};
  EXPECT_EQ(delegate.Reports(), expected);

  // A second detach, an unknown kind and a null event change nothing.
  usbmuxd_event_t again = MakeEvent(KVX_USBMUX_EVENT_DEVICE_REMOVE, 2, 0x1290, "first");
  controller.NewEvent(&again);
  usbmuxd_event_t paired = MakeEvent(KVX_USBMUX_EVENT_DEVICE_PAIRED, 2, 0x1290, "first");
  controller.NewEvent(&paired);
  controller.NewEvent(nullptr);
  callback(&again, nullptr);
  EXPECT_EQ(delegate.Count(), expected.size());
  controller.SetDelegate(nullptr);
}

TEST_F(USBControllerTest, IdentifiersAreExactAndAFullLengthIdentifierIsReadWithinTheRecord) {
  KVX_USBController controller(*m_Events);
  RecordingDelegate delegate;
  controller.SetDelegate(&delegate);
  testing::internal::CaptureStdout();
  usbmuxd_event_t attach = MakeEvent(KVX_USBMUX_EVENT_DEVICE_ADD, 1, 0x1290, "Dev");
  controller.NewEvent(&attach);
  // The record's identifier array filled to the last byte, no terminator.
  usbmuxd_event_t full = MakeEvent(KVX_USBMUX_EVENT_DEVICE_ADD, 2, 0x1290, "");
  memset(full.device.udid, 'x', sizeof(full.device.udid));
  controller.NewEvent(&full);
  testing::internal::GetCapturedStdout();

  usbmuxd_event_t other_case = MakeEvent(KVX_USBMUX_EVENT_DEVICE_REMOVE, 1, 0x1290, "dev");
  controller.NewEvent(&other_case);
  EXPECT_EQ(delegate.Count(), 0u);
  controller.NewEvent(&full);  // attach again: already known
  full.event = KVX_USBMUX_EVENT_DEVICE_REMOVE;
  controller.NewEvent(&full);
  std::string forty_four(sizeof(full.device.udid), 'x');
  std::vector<Report> expected = {Removed("http://" + forty_four + ":8099/"),
                                  Removed("http://" + forty_four + ":8100/")};
  EXPECT_EQ(delegate.Reports(), expected);
  controller.SetDelegate(nullptr);
}

TEST_F(USBControllerTest, EventsReachEveryLiveControllerOnTheLibraryThreadAndNoneAfterDestruction) {
  RecordingDelegate first_delegate, second_delegate, late_delegate;
  std::unique_ptr<KVX_USBController> first(new KVX_USBController(*m_Events));
  first->SetDelegate(&first_delegate);
  KVX_USBController second(*m_Events);
  second.SetDelegate(&second_delegate);

  testing::internal::CaptureStdout();
  m_Double->attach(7, 0x1290, "shared");
  m_Double->attach(8, 0x1291, "gone");
  Idle();
  m_Double->detach(8);
  Idle();
  std::vector<Report> expected = {Removed("http://gone:8099/"), Removed("http://gone:8100/")};
  EXPECT_EQ(first_delegate.Reports(), expected);
  EXPECT_EQ(second_delegate.Reports(), expected);

  // Destroying one controller silences neither the other nor a later one; a
  // later one learns of the devices already attached.
  first.reset();
  KVX_USBController late(*m_Events);
  late.SetDelegate(&late_delegate);
  m_Double->detach(7);
  Idle();
  testing::internal::GetCapturedStdout();
  expected.push_back(Removed("http://shared:8099/"));
  expected.push_back(Removed("http://shared:8100/"));
  EXPECT_EQ(second_delegate.Reports(), expected);
  EXPECT_EQ(late_delegate.Reports(), std::vector<Report>({Removed("http://shared:8099/"), Removed("http://shared:8100/")}));
  EXPECT_EQ(first_delegate.Count(), 2u);
  EXPECT_EQ(m_Double->subscribe_count(), 1);
  second.SetDelegate(nullptr);
  late.SetDelegate(nullptr);
}

TEST_F(USBControllerTest, ControllersComingAndGoingWhileEventsFlowNeverMissOrOutliveTheirEvents) {
  std::atomic<bool> stop(false);
  testing::internal::CaptureStdout();
  std::thread churn([&] {
    for (uint32_t i = 1; !stop.load(); ++i) {
      std::string udid = "churn" + std::to_string(i % 4);
      m_Double->attach(i, 0x1290, udid.c_str());
      m_Double->detach(i);
    }
  });
  for (int i = 0; i < 20; ++i) {
    RecordingDelegate delegate;
    {
      KVX_USBController controller(*m_Events);
      controller.SetDelegate(&delegate);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Once destroyed, no event is in progress: every detach reported both of
    // its URLs, none was torn by the destruction (and nothing came after).
    size_t count = delegate.Count();
    EXPECT_EQ(count % 2, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(delegate.Count(), count);
  }
  stop = true;
  churn.join();
  Idle();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(m_Events->GetSubscriberCount(), 0u);
}

// Abort and the destructor end the one-second pause between passes at once.
// Twenty of each in a row: waiting out the pause would take 20 s or more,
// while ending it at once takes far less even on a loaded machine.
TEST_F(USBControllerTest, AbortAndTheDestructorEndThePauseAtOnce) {
  Clock::time_point start = Clock::now();
  for (int i = 0; i < 20; ++i) {
    KVX_USBController controller(*m_Events);
    EXPECT_EQ(controller.Start(), NPT_ERROR_INVALID_STATE);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the worker is in its pause now
    EXPECT_EQ(controller.Abort(), NPT_SUCCESS);
    EXPECT_EQ(controller.Abort(), NPT_SUCCESS);  // returns at once
  }
  const long aborts = ElapsedMs(start);
  start = Clock::now();
  for (int i = 0; i < 20; ++i) {
    KVX_USBController controller(*m_Events);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const long destructions = ElapsedMs(start);
  printf("20 aborts: %ld ms, 20 destructions: %ld ms (20 x 20 ms of it sleeping)\n", aborts, destructions);
  EXPECT_LT(aborts, 15000);
  EXPECT_LT(destructions, 15000);
}

// A "Location" value becomes the app's URL only when it names an http URL,
// relative ones resolved against the URL probed; anything else keeps it.
TEST(USBControllerResolveLocation, ResolvesReferencesAndKeepsTheUrlForAnythingElse) {
  const NPT_HttpUrl base("http://dev:8099/app/probe?q=1");
  const struct {
    const char* location;
    const char* resolved;  // null: refused, the URL is kept
  } cases[] = {
      {"http://dev:9000/moved", "http://dev:9000/moved"},
      {"HTTP://dev/", "http://dev/"},
      {"//other:9001/x?y#z", "http://other:9001/x?y#z"},
      {"/moved", "http://dev:8099/moved"},
      {"moved?a=b", "http://dev:8099/app/moved?a=b"},
      {"../up/./here", "http://dev:8099/up/here"},
      {"../../../..", "http://dev:8099/"},
      {"sub/..", "http://dev:8099/app/"},
      {"?other", "http://dev:8099/app/probe?other"},
      {"#part", "http://dev:8099/app/probe?q=1#part"},
      {"", nullptr},
      {"https://dev:9000/", nullptr},
      {"ftp://dev/", nullptr},
      {"mailto:x@y", nullptr},
      {"http://", nullptr},
      {"http:///path", nullptr},
      {"http://dev:0/", nullptr},
      {"http://dev:99999/", nullptr},
      {"/with space", nullptr},
      {"/tab\there", nullptr},
      {"/\xC3\xA9", nullptr},
  };
  for (const auto& c : cases) {
    NPT_HttpUrl url("http://kept:1/");
    EXPECT_EQ(KVX_USBController::ResolveLocation(base, c.location, url), c.resolved != nullptr) << c.location;
    EXPECT_STREQ(url.ToString(true).GetChars(), c.resolved ? c.resolved : "http://kept:1/") << c.location;
  }
  NPT_HttpUrl url = base;
  EXPECT_FALSE(KVX_USBController::ResolveLocation(base, nullptr, url));
}

TEST(USBControllerWithoutLibrary, RunsAndReportsNothing) {
  KVX_USBMux mux("/nonexistent/libusbmuxd-missing.so");
  KVX_USBMuxEvents events(mux);
  RecordingDelegate delegate;
  testing::internal::CaptureStdout();
  {
    KVX_USBController controller(events);
    controller.SetDelegate(&delegate);
    usbmuxd_event_t attach = MakeEvent(KVX_USBMUX_EVENT_DEVICE_ADD, 1, 0x1290, "dev");
    controller.NewEvent(&attach);
    // Probes fail to open tunnels (no library): counted, never reported.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    KVX_USBController::DeviceAppInfo app(NPT_HttpUrl("dev", 8099, "/"));
    EXPECT_EQ(controller.PingApp(1, app), NPT_RESULT_FAILURE);
    EXPECT_TRUE(app.socket.IsNull());
    EXPECT_EQ(controller.GetState(), KVX_USB_NO_LIBRARY);
    controller.Abort();
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(delegate.Count(), 0u);
}

}  // namespace
