// The controller (and a device stream) while the daemon misbehaves, through
// the real usbmux client library: the event connection kicked, the daemon
// gone and back, and the daemon absent when the process first subscribes.
// What the library does in each case (reconnect at once, reconnect once a
// second in the TCP form, never connect when absent at start) is its own
// behaviour; what is checked is that kvx reports exactly the removals and
// rediscoveries that follow from it, stays responsive, and leaks nothing.

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DaemonFaults.h"
#include "KvxUSBMuxEvents.h"
#include "TestSupport.h"

namespace kvx_daemon_faults {
namespace {

using kvx_discovery_test::Found;
using kvx_discovery_test::RecordingDelegate;
using kvx_discovery_test::Removed;
using kvx_discovery_test::Report;
using kvx_discovery_test::WaitUntil;
using kvx_sim::AppSimConfig;
using kvx_sim::AppSimulator;

// The reports [from, from + count) of `delegate`, in arrival order.
std::vector<Report> Slice(const RecordingDelegate& delegate, size_t from, size_t count) {
  std::vector<Report> all = delegate.Reports();
  if (all.size() < from + count) return {};
  return std::vector<Report>(all.begin() + static_cast<long>(from), all.begin() + static_cast<long>(from + count));
}

// `reports` holds exactly `expected`, in any order across devices, but for
// each device its port 8099 before its port 8100 (the order of the registry).
void ExpectSameReports(std::vector<Report> reports, const std::vector<Report>& expected, const std::string& what) {
  ASSERT_EQ(reports.size(), expected.size()) << what;
  auto position = [&](const Report& r) {
    for (size_t i = 0; i < reports.size(); ++i)
      if (reports[i] == r) return static_cast<long>(i);
    return -1L;
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_GE(position(expected[i]), 0) << what << ": missing " << expected[i];
    // Expected lists name each device's two ports next to each other.
    if (i % 2 == 1) {
      EXPECT_LT(position(expected[i - 1]), position(expected[i])) << what << ": " << expected[i];
    }
  }
}

class DaemonEventFaults : public DaemonFaultTest {
 protected:
  // Two devices, each with its app answering on both ports, announced.
  void AttachTwoAnnouncedDevices(RecordingDelegate& delegate) {
    AppSimConfig alpha = Named("Alpha");
    alpha.frame_count = 0;  // endless streams, for the tests that stream
    alpha.frame_size = 64 * 1024;
    alpha.frames_per_second = 100;
    alpha.frame_content_type = "image/rgba";
    AppSimulator& alpha_app = StartApp(alpha);
    AppSimulator& beta_app = StartApp(Named("Beta"));
    NewController(delegate);
    m_Alpha = static_cast<int>(AttachWithApp("alpha", alpha_app));
    m_Beta = static_cast<int>(AttachWithApp("beta", beta_app));
    ASSERT_NE(m_Alpha, 0);
    ASSERT_NE(m_Beta, 0);
    ASSERT_TRUE(delegate.WaitForCount(4, 30000)) << delegate.Count();
    ExpectSameReports(Slice(delegate, 0, 4), AllFound(), "first discovery");
  }
  std::vector<Report> AllFound() const {
    return {Found("Alpha", m_Alpha, "http://alpha:8099/"), Found("Alpha", m_Alpha, "http://alpha:8100/"),
            Found("Beta", m_Beta, "http://beta:8099/"), Found("Beta", m_Beta, "http://beta:8100/")};
  }
  static std::vector<Report> AllRemoved() {
    return {Removed("http://alpha:8099/"), Removed("http://alpha:8100/"), Removed("http://beta:8099/"),
            Removed("http://beta:8100/")};
  }

  int m_Alpha = 0;
  int m_Beta = 0;
};

// The daemon closes the event connection and keeps accepting: the library
// reports every device detached, reconnects at once and reports them attached
// again. The apps must be reported removed and found again under the same
// URLs and handles, and nothing else; after a few kicks the process holds no
// descriptor of ours more than before (the library leaves one socket behind
// per kick, counted apart).
TEST_F(DaemonEventFaults, AKickedEventConnectionReportsRemovalThenRediscoveryAndLeaksNothingOfOurs) {
  RecordingDelegate delegate;
  AttachTwoAnnouncedDevices(delegate);
  const int port = DaemonPort();
  ASSERT_GT(port, 0);
  // Steady state: one kept tunnel per app, one event connection.
  ASSERT_TRUE(WaitUntil([] { return g_Daemon->ActiveTunnels() == 4 && g_Daemon->ActiveListeners() == 1; }, 30000));
  // A stream through its own tunnel runs across the kicks: the event
  // connection has nothing to do with it.
  NPT_List<NPT_HttpUrl> urls;
  urls.Add(NPT_HttpUrl("alpha", 8099, "/stream"));
  StreamProbe probe;
  auto device = std::make_unique<KVX_Device>(urls, m_Alpha);
  device->SetDelegate(&probe);
  ASSERT_EQ(device->Start("daemon-faults"), NPT_SUCCESS);
  ASSERT_TRUE(probe.WaitForFrames(3, 30000)) << probe.Events();
  ASSERT_TRUE(WaitUntil([] { return g_Daemon->ActiveTunnels() == 5; }, 30000));
  const int descriptors = kvx_test::CountOpenDescriptors();
  const int abandoned = CountHalfClosedSocketsTo(port);

  const int kKicks = 3;
  for (int kick = 0; kick < kKicks; ++kick) {
    const size_t base = delegate.Count();
    const Clock::time_point start = Clock::now();
    g_Daemon->DropListenConnections();
    ASSERT_TRUE(delegate.WaitForCount(base + 8, 30000)) << "kick " << kick << ": " << delegate.Count() - base;
    const std::string what = "kick " + std::to_string(kick);
    ExpectSameReports(Slice(delegate, base, 4), AllRemoved(), what + " removals");
    ExpectSameReports(Slice(delegate, base + 4, 4), AllFound(), what + " rediscovery");
    printf("kick %d: removed and found again in %ld ms\n", kick, ElapsedMs(start));
    ASSERT_TRUE(WaitUntil([] { return g_Daemon->ActiveTunnels() == 5 && g_Daemon->ActiveListeners() == 1; }, 30000))
        << what << ": " << g_Daemon->ActiveTunnels() << " tunnels";
  }
  // Two more passes: nothing further to report, and the stream still runs.
  const size_t frames = probe.Sizes().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(delegate.Count(), 4u + 8u * kKicks);
  EXPECT_GT(probe.Sizes().size(), frames + 10) << probe.Events().size();
  EXPECT_EQ(probe.Events().find('D'), std::string::npos);

  int library = 0, ours = 0;
  const bool settled = WaitUntil(
      [&] {
        library = CountHalfClosedSocketsTo(port) - abandoned;
        ours = kvx_test::CountOpenDescriptors() - library;
        return ours <= descriptors;
      },
      3000);
  EXPECT_TRUE(settled) << ours << " descriptors not left by the library, " << descriptors << " before";
  EXPECT_LE(library, kKicks) << "abandoned event connections";
  printf("after %d kicks: %d event connections left open by the client library, %d descriptors otherwise (%d before)\n",
         kKicks, library, ours, descriptors);

  device.reset();
  EXPECT_EQ(probe.Events().find('D'), std::string::npos) << "an aborted stream reports no disconnection";
  std::vector<int64_t> sequences = probe.Sequences();
  for (size_t i = 0; i < sequences.size(); ++i) EXPECT_EQ(sequences[i], static_cast<int64_t>(i));

  // The fan-out's own list of attached devices went through the same removals
  // and attaches: a controller created now hears both devices once.
  EXPECT_EQ(KVX_USBMuxEvents::GetDefault().GetDeviceCount(), 2u);
  RecordingDelegate late;
  NewController(late);
  ASSERT_TRUE(late.WaitForCount(4, 30000)) << late.Count();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ExpectSameReports(late.Reports(), AllFound(), "controller created after the kicks");
}

// The daemon goes away (listener closed, every connection dropped) and comes
// back on the same address 2.5 s later. A stream running through a tunnel
// ends as a disconnection with whole frames only; the controller reports
// every app removed, finds them all again after the restart, and a new stream
// works.
TEST_F(DaemonEventFaults, ADaemonRestartEndsStreamsCleanlyAndTheAppsAreFoundAgain) {
  RecordingDelegate delegate;
  AttachTwoAnnouncedDevices(delegate);
  NPT_List<NPT_HttpUrl> urls;
  urls.Add(NPT_HttpUrl("alpha", 8099, "/stream"));
  StreamProbe probe;
  auto device = std::make_unique<KVX_Device>(urls, m_Alpha);
  device->SetDelegate(&probe);
  ASSERT_EQ(device->Start("daemon-faults"), NPT_SUCCESS);
  ASSERT_TRUE(probe.WaitForFrames(5, 30000)) << probe.Events();

  g_Daemon->StopListener();
  g_Daemon->DropAllConnections();
  const Clock::time_point gone = Clock::now();
  ASSERT_TRUE(probe.WaitForEnd(30000)) << probe.Events();
  // Not at the 30 s I/O time-out (a generous bound below it).
  EXPECT_LT(ElapsedMs(gone), 15000);
  ExpectDisconnectedWithWholeFrames(probe, 64 * 1024, "stream through the lost daemon");
  device.reset();
  ASSERT_TRUE(delegate.WaitForCount(8, 30000)) << delegate.Count();
  ExpectSameReports(Slice(delegate, 4, 4), AllRemoved(), "daemon gone");

  // A stream started while the daemon is away cannot open its tunnel: it
  // ends at once as a disconnection, without a connection.
  StreamProbe orphan;
  const Clock::time_point started = Clock::now();
  {
    KVX_Device lost(urls, m_Alpha);
    lost.SetDelegate(&orphan);
    ASSERT_EQ(lost.Start("daemon-faults"), NPT_SUCCESS);
    EXPECT_TRUE(orphan.WaitForEnd(30000));
  }
  EXPECT_EQ(orphan.Events(), "D");
  EXPECT_LT(ElapsedMs(started), 15000);

  std::this_thread::sleep_for(std::chrono::milliseconds(2500) - (Clock::now() - gone));
  EXPECT_EQ(delegate.Count(), 8u) << "nothing while the daemon is away";
  ASSERT_TRUE(g_Daemon->RestartListener());
  const Clock::time_point back = Clock::now();
  ASSERT_TRUE(delegate.WaitForCount(12, 30000)) << delegate.Count();
  printf("apps found again %ld ms after the daemon came back\n", ElapsedMs(back));
  ExpectSameReports(Slice(delegate, 8, 4), AllFound(), "daemon back");
  EXPECT_EQ(KVX_USBMuxEvents::GetDefault().GetDeviceCount(), 2u);

  StreamProbe again;
  device = std::make_unique<KVX_Device>(urls, m_Alpha);
  device->SetDelegate(&again);
  ASSERT_EQ(device->Start("daemon-faults"), NPT_SUCCESS);
  EXPECT_TRUE(again.WaitForFrames(3, 30000)) << again.Events();
  device.reset();
  std::vector<int64_t> sequences = again.Sequences();
  for (size_t i = 0; i < sequences.size(); ++i) EXPECT_EQ(sequences[i], static_cast<int64_t>(i));
  EXPECT_EQ(delegate.Count(), 12u);
}

// No daemon when the process subscribes for the first time. In the TCP form
// the client library then never connects (it waits for the daemon's usual
// socket file to appear instead). Controllers must still run, report nothing,
// abort and go promptly and leave no thread or descriptor behind; and a
// daemon that shows up later must not upset anything.
TEST_F(DaemonEventFaults, ADaemonAbsentAtTheFirstSubscriptionLeavesControllersSilentPromptAndLeakFree) {
  if (g_Subscribed) GTEST_SKIP() << "needs a process that has not subscribed yet (run it alone)";
  g_Daemon->StopListener();
  RecordingDelegate delegate;
  {
    // The first subscription starts the library's event thread, which lives
    // as long as the process: not counted below.
    g_Subscribed = true;
    KVX_USBController first;
    first.SetDelegate(&delegate);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  }
  const int descriptors = kvx_test::CountOpenDescriptors();
  const int threads = kvx_test::CountThreads();
  for (int round = 0; round < 3; ++round) {
    const Clock::time_point created = Clock::now();
    auto controller = std::make_unique<KVX_USBController>();
    controller->SetDelegate(&delegate);
    EXPECT_LT(ElapsedMs(created), 15000) << "construction, round " << round;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const Clock::time_point stopping = Clock::now();
    EXPECT_EQ(controller->Abort(), NPT_SUCCESS);
    const long aborted = ElapsedMs(stopping);
    controller.reset();
    const long destroyed = ElapsedMs(stopping);
    // Hang bounds; the figures are printed below.
    EXPECT_LT(aborted, 15000) << "round " << round;
    EXPECT_LT(destroyed, 15000) << "round " << round;
    printf("round %d: abort %ld ms, abort and destruction %ld ms\n", round, aborted, destroyed);
  }
  EXPECT_EQ(delegate.Count(), 0u);
  EXPECT_TRUE(WaitUntil(
      [&] { return kvx_test::CountOpenDescriptors() <= descriptors && kvx_test::CountThreads() <= threads; }, 30000))
      << kvx_test::CountOpenDescriptors() << " descriptors (" << descriptors << " before), "
      << kvx_test::CountThreads() << " threads (" << threads << " before)";

  // The daemon appears, with a device and its app.
  ASSERT_TRUE(g_Daemon->RestartListener());
  AppSimulator& app = StartApp(Named("Late"));
  const int handle = static_cast<int>(AttachWithApp("late", app));
  ASSERT_NE(handle, 0);
  RecordingDelegate late;
  NewController(late);
  bool heard = late.WaitForCount(2, 5000);
  // Connections alone do not tell: the controllers ask the daemon whether it
  // answers over connections of their own.
  const bool connected = g_Daemon->ActiveListeners() != 0;
  // A library that connected gets the time a loaded machine may need.
  if (!heard && connected) heard = late.WaitForCount(2, 30000);
  if (!connected) {
    // What the library does in this form: it never comes.
    EXPECT_FALSE(heard);
    EXPECT_EQ(late.Count(), 0u);
    printf("the client library did not connect to the daemon that appeared later\n");
  } else {
    // A library that polls instead would find it: then the usual reports.
    ASSERT_TRUE(heard);
    EXPECT_EQ(late.Reports(), std::vector<Report>({Found("Late", handle, "http://late:8099/"),
                                                   Found("Late", handle, "http://late:8100/")}));
  }
  const Clock::time_point stopping = Clock::now();
  m_Controllers.clear();
  EXPECT_LT(ElapsedMs(stopping), 15000) << "destruction after the daemon appeared";
}

}  // namespace
}  // namespace kvx_daemon_faults
