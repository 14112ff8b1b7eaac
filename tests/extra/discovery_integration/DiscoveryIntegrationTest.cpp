// KVX_USBController driven by the real usbmux client library (the binding's
// default instance, loaded by file name) against the simulated daemon, with
// companion-app doubles behind the simulated device ports. The daemon address
// is set in main, before the first subscription; each test runs in its own
// process.

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "AppSimulator.h"
#include "DiscoveryRecorder.h"
#include "KvxDevice.h"
#include "KvxUSBController.h"
#include "KvxUSBMuxEvents.h"
#include "TestSupport.h"
#include "UsbmuxdSimulator.h"

namespace {

using kvx_discovery_test::Found;
using kvx_discovery_test::RecordingDelegate;
using kvx_discovery_test::Removed;
using kvx_discovery_test::Report;
using kvx_discovery_test::WaitUntil;
using kvx_sim::AppSimConfig;
using kvx_sim::AppSimulator;
using kvx_sim::UsbmuxdSimulator;
using Clock = std::chrono::steady_clock;

UsbmuxdSimulator* g_Daemon = nullptr;

// Captures standard output (the controller prints a line per attach) for its
// lifetime, and gives it back even when an assertion leaves the test early.
// Failure messages written meanwhile went into the capture too: once the test
// has failed, what was captured is echoed on standard error.
class StdoutCapture {
 public:
  StdoutCapture() { testing::internal::CaptureStdout(); }
  ~StdoutCapture() {
    if (!m_Taken) Take();
  }
  std::string Take() {
    m_Taken = true;
    std::string captured = testing::internal::GetCapturedStdout();
    if (testing::Test::HasFailure()) std::fputs(captured.c_str(), stderr);
    return captured;
  }

 private:
  bool m_Taken = false;
};
bool g_LibraryPresent = false;

using kvx_test::ElapsedMs;

class DiscoveryIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!g_LibraryPresent) GTEST_SKIP() << "the usbmux client library is not installed";
    ASSERT_NE(g_Daemon, nullptr);
  }
  void TearDown() override {
    // Controllers first (they hold tunnels), then the apps.
    m_Controllers.clear();
    for (auto& app : m_Apps) app->Stop();
  }

  AppSimulator& StartApp(const AppSimConfig& config) {
    m_Apps.emplace_back(new AppSimulator(config));
    EXPECT_GT(m_Apps.back()->Start(), 0);
    return *m_Apps.back();
  }
  KVX_USBController& NewController(RecordingDelegate& delegate) {
    m_Controllers.emplace_back(new KVX_USBController());
    m_Controllers.back()->SetDelegate(&delegate);
    return *m_Controllers.back();
  }
  static AppSimConfig Named(const std::string& name) {
    AppSimConfig config;
    config.device_name = name;
    config.require_auth = true;  // the probe must sign its request
    return config;
  }

  std::vector<std::unique_ptr<AppSimulator>> m_Apps;
  std::vector<std::unique_ptr<KVX_USBController>> m_Controllers;
};

TEST_F(DiscoveryIntegration, AcceptedProductIdsRegisterAndDetachReportsBothPortsInOrder) {
  RecordingDelegate delegate;
  StdoutCapture capture;
  NewController(delegate);
  const std::vector<std::pair<std::string, uint32_t>> devices = {
      {"pid-128f", 0x128F}, {"pid-1290", 0x1290}, {"pid-1297", 0x1297}, {"pid-129a", 0x129A}, {"pid-129b", 0x129B}};
  for (const auto& d : devices) {
    ASSERT_NE(g_Daemon->AddDevice(d.first, d.second), 0u);
    // One at a time, so the printed lines come in this order.
    ASSERT_TRUE(WaitUntil([&] { return KVX_USBMuxEvents::GetDefault().GetDeviceCount() == (NPT_Cardinal)g_Daemon->DeviceCount(); },
                          5000));
  }
  for (const auto& d : devices) ASSERT_TRUE(g_Daemon->Detach(d.first));
  ASSERT_TRUE(delegate.WaitForCount(6, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::string printed = capture.Take();
  EXPECT_EQ(printed,
            "Device attached: pid=128f\nDevice attached: pid=1290\nDevice attached: pid=1297\n"
            "Device attached: pid=129a\nDevice attached: pid=129b\n");
  std::vector<Report> expected = {Removed("http://pid-1290:8099/"), Removed("http://pid-1290:8100/"),
                                  Removed("http://pid-1297:8099/"), Removed("http://pid-1297:8100/"),
                                  Removed("http://pid-129a:8099/"), Removed("http://pid-129a:8100/")};
  EXPECT_EQ(delegate.Reports(), expected);
}

TEST_F(DiscoveryIntegration, AnAppWithANameIsFoundOnceKeepsItsTunnelAndTheFirstHandleWins) {
  AppSimulator& app = StartApp(Named("Alpha"));
  ASSERT_TRUE(g_Daemon->MapPort("alpha", 8099, (uint16_t)app.Port()));
  RecordingDelegate delegate;
  StdoutCapture capture;
  KVX_USBController& controller = NewController(delegate);
  uint32_t handle = g_Daemon->AddDevice("alpha", 0x1291);
  ASSERT_NE(handle, 0u);
  // A second attach for the identifier, with another handle, changes nothing.
  // Sent once the real one has reached the controller (the fan-out counts a
  // device just before it delivers the event).
  ASSERT_TRUE(WaitUntil([] { return KVX_USBMuxEvents::GetDefault().GetDeviceCount() == 1; }, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  usbmuxd_event_t again = kvx_discovery_test::MakeEvent(KVX_USBMUX_EVENT_DEVICE_ADD, handle + 100, 0x1291, "alpha");
  controller.NewEvent(&again);

  ASSERT_TRUE(delegate.WaitForCount(1, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two more passes
  EXPECT_EQ(delegate.Reports(), std::vector<Report>({Found("Alpha", (int)handle, "http://alpha:8099/")}));
  ASSERT_EQ(app.RequestCount(), 1u) << "the kept tunnel must make further HTTP requests unnecessary";
  kvx_sim::RequestRecord request = app.Requests()[0];
  EXPECT_EQ(request.method, "HEAD");
  EXPECT_EQ(request.version, "HTTP/1.0");
  EXPECT_TRUE(request.auth_ok);
  bool accept = false, client = false;
  for (const auto& h : request.headers) {
    accept = accept || (h.first == "Accept" && h.second == "image/jpeg;image/rgba;image/rgb");
    client = client || h.first == "X-LUMOX-CLIENT";
  }
  EXPECT_TRUE(accept);
  EXPECT_FALSE(client);

  ASSERT_TRUE(g_Daemon->Detach("alpha"));
  ASSERT_TRUE(delegate.WaitForCount(3, 30000));
  capture.Take();
  EXPECT_EQ(delegate.Reports()[1], Removed("http://alpha:8099/"));
  EXPECT_EQ(delegate.Reports()[2], Removed("http://alpha:8100/"));
}

TEST_F(DiscoveryIntegration, ARedirectedAppIsFoundAndRemovedUnderItsNewUrl) {
  AppSimConfig moved = Named("Beta");
  moved.redirect_location = "http://beta:9000/moved";
  AppSimulator& first = StartApp(moved);
  AppSimulator& second = StartApp(Named("Beta"));
  ASSERT_TRUE(g_Daemon->MapPort("beta", 8099, (uint16_t)first.Port()));
  ASSERT_TRUE(g_Daemon->MapPort("beta", 9000, (uint16_t)second.Port()));
  RecordingDelegate delegate;
  StdoutCapture capture;
  NewController(delegate);
  uint32_t handle = g_Daemon->AddDevice("beta", 0x1290);
  ASSERT_TRUE(delegate.WaitForCount(1, 30000));
  EXPECT_EQ(delegate.Reports()[0], Found("Beta", (int)handle, "http://beta:9000/moved"));

  // Losing the tunnel kept on 8099: the next tunnel goes to the new port.
  first.DropConnections();
  ASSERT_TRUE(second.WaitForRequests(1, 30000));
  EXPECT_EQ(second.Requests()[0].target, "/moved");

  ASSERT_TRUE(g_Daemon->Detach("beta"));
  ASSERT_TRUE(delegate.WaitForCount(3, 30000));
  capture.Take();
  EXPECT_EQ(delegate.Reports(), std::vector<Report>({Found("Beta", (int)handle, "http://beta:9000/moved"),
                                                     Removed("http://beta:9000/moved"), Removed("http://beta:8100/")}));
}

// Redirects that are relative or malformed: a relative one is resolved
// against the URL probed, anything that is no http URL keeps the URL. Each
// app is found and removed under the URL the table gives.
TEST_F(DiscoveryIntegration, RedirectsNeverReplaceAGoodUrlWithABadOne) {
  const struct {
    const char* device;
    uint16_t port;
    const char* location;
    const char* url;
  } cases[] = {
      {"rel-a", 8099, "/moved?x=1", "http://rel-a:8099/moved?x=1"},
      {"rel-a", 8100, "elsewhere", "http://rel-a:8100/elsewhere"},
      {"rel-b", 8099, "::not a url::", "http://rel-b:8099/"},
      {"rel-b", 8100, "ftp://rel-b/", "http://rel-b:8100/"},
  };
  for (const auto& c : cases) {
    AppSimConfig config = Named(c.location);
    config.redirect_location = c.location;
    ASSERT_TRUE(g_Daemon->MapPort(c.device, c.port, (uint16_t)StartApp(config).Port()));
  }
  RecordingDelegate delegate;
  StdoutCapture capture;
  NewController(delegate);
  const uint32_t handle_a = g_Daemon->AddDevice("rel-a", 0x1290), handle_b = g_Daemon->AddDevice("rel-b", 0x1290);
  ASSERT_TRUE(delegate.WaitForCount(4, 30000)) << delegate.Count();
  ASSERT_TRUE(g_Daemon->Detach("rel-a"));
  ASSERT_TRUE(g_Daemon->Detach("rel-b"));
  ASSERT_TRUE(delegate.WaitForCount(8, 30000));
  capture.Take();
  std::vector<Report> reports = delegate.Reports();
  for (const auto& c : cases) {
    const int handle = (int)(std::string(c.device) == "rel-a" ? handle_a : handle_b);
    EXPECT_EQ(std::count(reports.begin(), reports.end(), Found(c.location, handle, c.url)), 1) << c.location;
    EXPECT_EQ(std::count(reports.begin(), reports.end(), Removed(c.url)), 1) << c.location;
  }
}

// Discovery runs from construction on; a delegate set only after an app was
// announced hears it all the same, once, and the removal after it.
TEST_F(DiscoveryIntegration, ADelegateSetLateHearsTheAppsAlreadyAnnouncedOnce) {
  AppSimulator& app = StartApp(Named("Early"));
  ASSERT_TRUE(g_Daemon->MapPort("early", 8099, (uint16_t)app.Port()));
  StdoutCapture capture;
  m_Controllers.emplace_back(new KVX_USBController());
  uint32_t handle = g_Daemon->AddDevice("early", 0x1290);
  ASSERT_TRUE(app.WaitForRequests(1, 30000));
  // The probe's HTTP connection is closed, only its kept tunnel stays: the
  // worker has taken the app as announced (or is about to).
  ASSERT_TRUE(WaitUntil([&] { return app.ConnectionsOpen() == 1; }, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  RecordingDelegate delegate;
  m_Controllers.back()->SetDelegate(&delegate);
  ASSERT_TRUE(delegate.WaitForCount(1, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));  // two more passes
  ASSERT_TRUE(g_Daemon->Detach("early"));
  ASSERT_TRUE(delegate.WaitForCount(3, 30000));
  capture.Take();
  EXPECT_EQ(delegate.Reports(), std::vector<Report>({Found("Early", (int)handle, "http://early:8099/"),
                                                     Removed("http://early:8099/"), Removed("http://early:8100/")}));
}

// A host that closed its standard input gets its tunnels on descriptor 0:
// a probe keeps it like any other, a stream request uses it, both close it.
TEST_F(DiscoveryIntegration, DescriptorZeroIsATunnelLikeAnyOther) {
  AppSimulator& app = StartApp(Named("Zero"));
  ASSERT_TRUE(g_Daemon->MapPort("zero", 8099, (uint16_t)app.Port()));
  StdoutCapture capture;
  RecordingDelegate delegate;
  KVX_USBController& controller = NewController(delegate);
  // Not an accepted product id: the worker leaves it alone, the test probes.
  const NPT_Int32 handle = (NPT_Int32)g_Daemon->AddDevice("zero", 0x1000);
  ASSERT_NE(handle, 0);
  // The worker's first daemon check opens a short connection of its own,
  // which would take descriptor 0 if it came after the close; the next one
  // is seconds away.
  ASSERT_TRUE(WaitUntil([&] { return controller.GetState() == KVX_USB_CONNECTED; }, 5000));
  ASSERT_EQ(close(0), 0);  // this test runs in a process of its own
  {
    KVX_USBController::DeviceAppInfo info(NPT_HttpUrl("zero", 8099, "/"));
    EXPECT_EQ(controller.PingApp(handle, info), NPT_SUCCESS);
    EXPECT_FALSE(info.socket.IsNull());
    EXPECT_EQ(info.name, "Zero");
    EXPECT_EQ(fcntl(0, F_GETFD), 0) << "the kept tunnel";
  }
  EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 left open";

  {
    NPT_List<NPT_HttpUrl> urls;
    urls.Add(NPT_HttpUrl("zero", 8099, "/stream"));
    NPT_HttpClient client;
    NPT_HttpResponse* response = nullptr;
    EXPECT_EQ(KVX_Device::SendRequest(urls, client, &response, nullptr, handle, "zero"), NPT_SUCCESS);
    EXPECT_EQ(fcntl(0, F_GETFD), 0) << "the stream's tunnel";
    delete response;
  }
  EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 left open";
}

TEST_F(DiscoveryIntegration, AnAppThatStopsAnsweringIsRemovedOnTheFourthFailureAndFoundAgain) {
  AppSimulator& app = StartApp(Named("Gamma"));
  uint16_t port = (uint16_t)app.Port();
  ASSERT_TRUE(g_Daemon->MapPort("gamma", 8099, port));
  RecordingDelegate delegate;
  StdoutCapture capture;
  NewController(delegate);
  uint32_t handle = g_Daemon->AddDevice("gamma", 0x1290);
  ASSERT_TRUE(delegate.WaitForCount(1, 30000));

  app.Stop();  // closes the kept tunnel, then refuses every new one
  Clock::time_point stopped = Clock::now();
  ASSERT_TRUE(delegate.WaitForCount(2, 30000));
  // Four failed passes, one second apart: the first right away.
  EXPECT_GE(ElapsedMs(stopped), 2500);
  EXPECT_EQ(delegate.Reports()[1], Removed("http://gamma:8099/"));

  ASSERT_EQ(app.Start(port), port);
  ASSERT_TRUE(delegate.WaitForCount(3, 30000));
  capture.Take();
  EXPECT_EQ(delegate.Reports()[2], Found("Gamma", (int)handle, "http://gamma:8099/"));
}

TEST_F(DiscoveryIntegration, AppsAnswering404OrWithoutANameAreNeverAnnounced) {
  AppSimConfig missing = Named("Delta");
  missing.misbehaviour = kvx_sim::Misbehaviour::kStatus404;
  AppSimConfig anonymous = Named("Delta");
  anonymous.send_device_name = false;
  AppSimulator& not_found = StartApp(missing);
  AppSimulator& nameless = StartApp(anonymous);
  ASSERT_TRUE(g_Daemon->MapPort("delta", 8099, (uint16_t)not_found.Port()));
  ASSERT_TRUE(g_Daemon->MapPort("delta", 8100, (uint16_t)nameless.Port()));
  RecordingDelegate delegate;
  StdoutCapture capture;
  NewController(delegate);
  ASSERT_NE(g_Daemon->AddDevice("delta", 0x1290), 0u);

  // The 404 app is asked again on every pass (no tunnel is kept for it); the
  // nameless one answers once and keeps its tunnel.
  ASSERT_TRUE(not_found.WaitForRequests(3, 30000));
  EXPECT_EQ(nameless.RequestCount(), 1u);
  EXPECT_EQ(delegate.Count(), 0u);
  ASSERT_TRUE(g_Daemon->Detach("delta"));
  ASSERT_TRUE(delegate.WaitForCount(2, 30000));
  capture.Take();
  EXPECT_EQ(delegate.Reports(), std::vector<Report>({Removed("http://delta:8099/"), Removed("http://delta:8100/")}));
}

TEST_F(DiscoveryIntegration, DataOrACloseOnTheIdleTunnelLeadsToAFreshProbe) {
  AppSimulator& app = StartApp(Named("Epsilon"));
  ASSERT_TRUE(g_Daemon->MapPort("epsilon", 8099, (uint16_t)app.Port()));
  RecordingDelegate delegate;
  StdoutCapture capture;
  NewController(delegate);
  ASSERT_NE(g_Daemon->AddDevice("epsilon", 0x1290), 0u);
  ASSERT_TRUE(delegate.WaitForCount(1, 30000));
  ASSERT_TRUE(app.WaitForIdleConnections(1, 30000));

  EXPECT_EQ(app.SendToIdleConnections("x"), 1);
  ASSERT_TRUE(app.WaitForRequests(2, 30000));
  ASSERT_TRUE(app.WaitForIdleConnections(1, 30000));
  app.DropConnections();
  ASSERT_TRUE(app.WaitForRequests(3, 30000));
  capture.Take();
  // One failed probe each time: still announced, nothing reported.
  EXPECT_EQ(delegate.Count(), 1u);
}

TEST_F(DiscoveryIntegration, AbortReturnsPromptlyAfterThePassInProgress) {
  AppSimConfig stalled = Named("Zeta");
  stalled.misbehaviour = kvx_sim::Misbehaviour::kStallBeforeResponse;
  AppSimulator& app = StartApp(stalled);
  ASSERT_TRUE(g_Daemon->MapPort("zeta", 8099, (uint16_t)app.Port()));
  RecordingDelegate delegate;
  StdoutCapture capture;
  KVX_USBController& controller = NewController(delegate);
  ASSERT_NE(g_Daemon->AddDevice("zeta", 0x1290), 0u);
  ASSERT_TRUE(app.WaitForStall(30000));  // a probe is waiting for its answer
  Clock::time_point start = Clock::now();
  controller.Abort();
  long elapsed = ElapsedMs(start);
  capture.Take();
  // The probe's 1000 ms I/O time-out, plus 8100's refused tunnel; not the
  // pause. Bounded here only against a hang; the figure is printed.
  printf("abort during a stalled probe returned after %ld ms\n", elapsed);
  EXPECT_LT(elapsed, 15000);
  EXPECT_EQ(delegate.Count(), 0u);
}

TEST_F(DiscoveryIntegration, FailedProbesLeakNoDescriptor) {
  AppSimConfig missing = Named("Eta");
  missing.misbehaviour = kvx_sim::Misbehaviour::kStatus404;
  AppSimulator& app = StartApp(missing);
  ASSERT_TRUE(g_Daemon->MapPort("eta", 8099, (uint16_t)app.Port()));
  RecordingDelegate delegate;
  StdoutCapture capture;
  KVX_USBController& controller = NewController(delegate);
  // Not an accepted product id: the worker leaves it alone, the test probes.
  uint32_t handle = g_Daemon->AddDevice("eta", 0x1000);
  ASSERT_NE(handle, 0u);
  KVX_USBController::DeviceAppInfo warmup(NPT_HttpUrl("eta", 8099, "/"));
  controller.PingApp((NPT_Int32)handle, warmup);

  int before = kvx_test::CountOpenDescriptors();
  for (int i = 0; i < 100; ++i) {
    KVX_USBController::DeviceAppInfo info(NPT_HttpUrl("eta", i % 2 ? 8099 : 8100, "/"));
    EXPECT_EQ(controller.PingApp((NPT_Int32)handle, info), NPT_RESULT_FAILURE);
    EXPECT_TRUE(info.socket.IsNull());
  }
  // The app's side closes as the probe's side does; give the relays a moment.
  EXPECT_TRUE(WaitUntil([&] { return kvx_test::CountOpenDescriptors() <= before; }, 30000))
      << kvx_test::CountOpenDescriptors() << " open, " << before << " before";
  EXPECT_GE(app.RequestCount(), 50u);
  capture.Take();
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (const char* name : {"libusbmuxd-2.0.so.6", "libusbmuxd.so.6"}) {
    if (void* module = dlopen(name, RTLD_NOW | RTLD_LOCAL)) {
      dlclose(module);
      g_LibraryPresent = true;
      break;
    }
  }
  // A daemon of our own per process, reached only through the variable the
  // client library reads when it connects: set before the first subscription.
  kvx_test::TemporaryDirectory directory("kvx-discovery");
  if (directory.Path().empty()) return 2;
  std::string address = "UNIX:" + directory.File("usbmuxd");
  UsbmuxdSimulator daemon;
  std::string error;
  if (!daemon.Start(address, &error)) {
    fprintf(stderr, "simulated daemon: %s\n", error.c_str());
    return 2;
  }
  setenv("USBMUXD_SOCKET_ADDRESS", daemon.SocketAddress().c_str(), 1);
  g_Daemon = &daemon;
  int result = RUN_ALL_TESTS();
  g_Daemon = nullptr;
  daemon.Stop();
  return result;
}
