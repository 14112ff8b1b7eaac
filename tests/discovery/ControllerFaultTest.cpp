// The USB controller under lifecycle faults, over the library test double
// with an attached device whose app port leads to a loopback app: a thousand
// constructions aborted and destroyed at random moments (during the attach
// replay, a probe, or the pause) leak no descriptor or thread and call no
// delegate after destruction; and probing still finds the app afterwards.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "../doubles/usbmuxd_double/UsbmuxdDouble.h"
#include "../hostile/ReplayServer.h"
#include "DiscoveryRecorder.h"
#include "KvxUSBController.h"
#include "KvxUSBMux.h"
#include "KvxUSBMuxEvents.h"
#include "TestSupport.h"

namespace {

using kvx_discovery_test::RecordingDelegate;
using kvx_discovery_test::WaitUntil;
using Clock = std::chrono::steady_clock;

const int kIterations = 1000;
// A guard against a hang, not a speed target (rounds that each waited out the
// one-second pause would take 1000 s); generous for instrumented builds on a
// loaded machine.
const long kRoundsTimeLimitMs = 100000;

using kvx_test::ElapsedMs;

TEST(ControllerFaultTest, CreateAbortDestroyRacesLeakNothingAndCallNothingAfterwards) {
  const std::string path = kvx_test::UsbmuxdDoublePath();
  KvxUsbmuxdDouble double_library(path);
  ASSERT_TRUE(double_library.IsLoaded());
  double_library.reset();
  // The app: answers every probe with its name and keeps the tunnel open, as
  // the liveness check expects, until the controller closes it.
  kvx_hostile::ReplayServer app("HTTP/1.0 200 OK\r\nX-DEVICENAME: Racer\r\nContent-Length: 0\r\n\r\n", true);
  ASSERT_GT(app.Start(), 0);
  std::unique_ptr<KVX_USBMux> mux(new KVX_USBMux(path.c_str()));
  std::unique_ptr<KVX_USBMuxEvents> events(new KVX_USBMuxEvents(*mux));
  testing::internal::CaptureStdout();
  ASSERT_EQ(double_library.attach(5, 0x1293, "racer"), 0);
  ASSERT_EQ(double_library.map_port(5, 8099, static_cast<uint16_t>(app.Port())), 0);

  // Once, so that process-wide state created on first use is not counted.
  {
    KVX_USBController controller(*events);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const int descriptors = kvx_test::CountOpenDescriptors();
  const int threads = kvx_test::CountThreads();
  std::mt19937 random(7);
  Clock::time_point start = Clock::now();
  int found_runs = 0;
  for (int i = 0; i < kIterations; ++i) {
    RecordingDelegate delegate;
    const int delay_us = static_cast<int>(random() % 4000);
    const bool explicit_abort = random() % 2 == 0;
    {
      KVX_USBController controller(*events);
      controller.SetDelegate(&delegate);
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
      if (explicit_abort) {
        ASSERT_EQ(controller.Abort(), NPT_SUCCESS);
      }
    }
    const size_t count = delegate.Count();
    if (count) ++found_runs;
    // Destruction waited for everything: no report may follow.
    std::this_thread::yield();
    ASSERT_EQ(delegate.Count(), count) << i;
  }
  Clock::time_point settle = Clock::now();
  while ((kvx_test::CountOpenDescriptors() > descriptors || kvx_test::CountThreads() > threads) &&
         ElapsedMs(settle) < 30000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_LE(kvx_test::CountOpenDescriptors(), descriptors);
  EXPECT_LE(kvx_test::CountThreads(), threads);
  EXPECT_LT(ElapsedMs(start), kRoundsTimeLimitMs);

  // After all that churn a controller left running still finds the app.
  {
    RecordingDelegate delegate;
    KVX_USBController controller(*events);
    controller.SetDelegate(&delegate);
    EXPECT_TRUE(WaitUntil([&] { return delegate.Count() >= 1; }, 30000));
    std::vector<kvx_discovery_test::Report> reports = delegate.Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_TRUE(reports[0].found);
    EXPECT_EQ(reports[0].handle, 5);
    controller.SetDelegate(nullptr);
  }
  testing::internal::GetCapturedStdout();
  events.reset();
  double_library.reset();
  mux.reset();
  RecordProperty("runs_with_reports", found_runs);
}

}  // namespace
