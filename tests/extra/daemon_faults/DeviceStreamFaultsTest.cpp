// Device streams through tunnels of the real usbmux client library when the
// path to the app breaks: the device detached in the middle of a large frame,
// the app closing the tunnel mid-stream, and the app stalling mid-frame for
// longer than the stream's I/O time-out. Each must end by itself as a
// disconnection (never as an abort) with every delivered frame whole and in
// order, the frame cut short withheld, and no callback after destruction.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DaemonFaults.h"
#include "FramePattern.h"
#include "HostileCatalogue.h"
#include "KvxUSBMuxEvents.h"
#include "ReplayServer.h"
#include "TestSupport.h"

namespace kvx_daemon_faults {
namespace {

using kvx_discovery_test::RecordingDelegate;
using kvx_discovery_test::Removed;
using kvx_discovery_test::WaitUntil;
using kvx_sim::AppSimConfig;
using kvx_sim::AppSimulator;

NPT_List<NPT_HttpUrl> StreamUrl(const char* host, NPT_UInt16 port) {
  NPT_List<NPT_HttpUrl> urls;
  urls.Add(NPT_HttpUrl(host, port, "/stream"));
  return urls;
}

// The callbacks seen so far do not change for a while: nothing runs after
// destruction.
void ExpectNoFurtherCallbacks(StreamProbe& probe, RecordingDelegate* delegate) {
  const std::string events = probe.Events();
  const size_t reports = delegate ? delegate->Count() : 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(probe.Events(), events);
  if (delegate) {
    EXPECT_EQ(delegate->Count(), reports);
  }
}

class DeviceStreamFaults : public DaemonFaultTest {};

// The device is unplugged while a 6 MB RGB frame is on its way. The consumer
// holds the worker inside frame 1 until the app is blocked in the middle of a
// later frame, so the detach cuts a frame for certain.
TEST_F(DeviceStreamFaults, ADetachInTheMiddleOfALargeFrameDeliversOnlyWholeFramesAndReportsRemoval) {
  const size_t kFrameSize = 6 * 1024 * 1024;
  AppSimConfig config = Named("Big");
  config.frame_content_type = "image/rgb";
  config.frame_size = kFrameSize;
  config.frame_count = 0;
  AppSimulator& app = StartApp(config);
  RecordingDelegate delegate;
  NewController(delegate);
  const int handle = static_cast<int>(AttachWithApp("big", app));
  ASSERT_NE(handle, 0);
  ASSERT_TRUE(delegate.WaitForCount(2, 30000)) << delegate.Count();

  StreamProbe probe;
  probe.HoldAtFrame(1);
  auto device = std::make_unique<KVX_Device>(StreamUrl("big", 8099), handle);
  device->SetDelegate(&probe);
  ASSERT_EQ(device->Start("daemon-faults"), NPT_SUCCESS);
  ASSERT_TRUE(probe.WaitUntilHeld(30000)) << probe.Events();
  // The app fills every buffer on the way and then blocks mid-frame.
  uint64_t sent = app.FramesSent();
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        const uint64_t now = app.FramesSent();
        const bool still = now == sent;
        sent = now;
        return still;
      },
      20000));

  ASSERT_TRUE(g_Daemon->Detach("big"));
  const Clock::time_point detached = Clock::now();
  probe.Release();
  ASSERT_TRUE(probe.WaitForEnd(30000)) << probe.Events();
  printf("stream ended %ld ms after the detach, with %zu frames; the app had written %llu whole\n",
         ElapsedMs(detached), probe.Sizes().size(), static_cast<unsigned long long>(app.FramesSent()));
  ExpectDisconnectedWithWholeFrames(probe, kFrameSize, "detach mid-frame");
  const size_t delivered = probe.Sizes().size();
  EXPECT_GE(delivered, 2u);
  // The frame the app was writing when the tunnel went never reached it whole.
  EXPECT_LE(delivered, app.FramesSent());
  for (const std::string& type : probe.Types()) EXPECT_EQ(type, "image/rgb");

  ASSERT_TRUE(delegate.WaitForCount(4, 30000)) << delegate.Count();
  const std::vector<kvx_discovery_test::Report> reports = delegate.Reports();
  EXPECT_EQ(reports[2], Removed("http://big:8099/"));
  EXPECT_EQ(reports[3], Removed("http://big:8100/"));
  EXPECT_EQ(KVX_USBMuxEvents::GetDefault().GetDeviceCount(), 0u);

  device.reset();
  m_Controllers.clear();
  ExpectNoFurtherCallbacks(probe, &delegate);
  EXPECT_EQ(delegate.Count(), 4u);
}

// The app ends the tunnel mid-stream, in the middle of a frame (it writes
// half of frame 3, then closes) or at whatever point the stream has reached
// (its connections are shut down). The library relays the close; the stream
// ends as a disconnection with whole frames only.
TEST_F(DeviceStreamFaults, AnAppClosingTheTunnelMidStreamDisconnectsWithWholeFramesOnly) {
  struct Case {
    const char* name;
    kvx_sim::Misbehaviour misbehaviour;
    bool drop;         // DropConnections once a few frames arrived
    long exact_frames;  // -1: any number
  };
  const Case cases[] = {
      {"half a frame, then close", kvx_sim::Misbehaviour::kCloseMidFrame, false, 3},
      {"connections shut down", kvx_sim::Misbehaviour::kNone, true, -1},
  };
  const size_t kFrameSize = 300 * 1000;
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AppSimConfig config = Named("Closer");
    config.frame_size = kFrameSize;
    config.frame_count = 0;
    config.frames_per_second = 200;
    config.misbehaviour = c.misbehaviour;
    config.misbehaviour_frame = 3;
    AppSimulator& app = StartApp(config);
    const std::string identifier = "closer" + std::to_string(index++);
    const int handle = static_cast<int>(AttachWithApp(identifier, app));
    ASSERT_NE(handle, 0);
    StreamProbe probe;
    {
      KVX_Device device(StreamUrl(identifier.c_str(), 8100), handle);
      device.SetDelegate(&probe);
      ASSERT_EQ(device.Start("daemon-faults"), NPT_SUCCESS);
      if (c.drop) {
        ASSERT_TRUE(probe.WaitForFrames(4, 30000)) << probe.Events();
        app.DropConnections();
      }
      ASSERT_TRUE(probe.WaitForEnd(30000)) << probe.Events();
    }
    ExpectDisconnectedWithWholeFrames(probe, kFrameSize, c.name);
    if (c.exact_frames >= 0) {
      EXPECT_EQ(static_cast<long>(probe.Sizes().size()), c.exact_frames);
    }
    ExpectNoFurtherCallbacks(probe, nullptr);
    EXPECT_TRUE(g_Daemon->Detach(identifier));
  }
}

enum class Path { kTunnel, kTcp };

class StallFaults : public DaemonFaultTest, public testing::WithParamInterface<Path> {};

// The app sends two frames and half of a third, then neither sends nor
// closes. Nothing but the stream's 30 s I/O time-out can end this: the stream
// must end by itself, as a disconnection, with the two whole frames.
TEST_P(StallFaults, AnAppThatStallsMidFrameIsGivenUpAtTheIoTimeout) {
  const size_t kFrameSize = 200 * 1000;
  auto frame = [&](uint64_t seq) {
    std::vector<uint8_t> bytes = kvx_sim::MakeFrame(seq, kFrameSize);
    return std::string(bytes.begin(), bytes.end());
  };
  const std::string third = kvx_hostile::Part(frame(2));
  const std::string answer = kvx_hostile::Head() + kvx_hostile::Part(frame(0)) + kvx_hostile::Part(frame(1)) +
                             third.substr(0, third.size() / 2);
  kvx_hostile::ReplayServer app(answer, true);
  ASSERT_GT(app.Start(), 0);
  NPT_Int32 handle = 0;
  NPT_List<NPT_HttpUrl> urls;
  if (GetParam() == Path::kTunnel) {
    ASSERT_TRUE(g_Daemon->MapPort("stalled", 8099, static_cast<uint16_t>(app.Port())));
    handle = static_cast<NPT_Int32>(g_Daemon->AddDevice("stalled", 0x1292));
    ASSERT_NE(handle, 0);
    urls = StreamUrl("stalled", 8099);
  } else {
    urls = StreamUrl("127.0.0.1", static_cast<NPT_UInt16>(app.Port()));
  }
  StreamProbe probe;
  Clock::time_point last_frame;
  {
    KVX_Device device(urls, handle);
    device.SetDelegate(&probe);
    ASSERT_EQ(device.Start("daemon-faults"), NPT_SUCCESS);
    ASSERT_TRUE(probe.WaitForFrames(2, 30000)) << probe.Events();
    last_frame = Clock::now();
    ASSERT_TRUE(probe.WaitForEnd(60000)) << probe.Events();
  }
  const long waited =
      static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(probe.DisconnectedAt() - last_frame).count());
  printf("a stalled app was given up after %ld ms\n", waited);
  EXPECT_GE(waited, 29000);
  EXPECT_LT(waited, 45000);
  EXPECT_EQ(probe.Events(), "CFFD");
  ExpectDisconnectedWithWholeFrames(probe, kFrameSize, "stall");
  ExpectNoFurtherCallbacks(probe, nullptr);
  app.Stop();
}

INSTANTIATE_TEST_SUITE_P(Paths, StallFaults, testing::Values(Path::kTunnel, Path::kTcp),
                         [](const testing::TestParamInfo<Path>& info) {
                           return info.param == Path::kTunnel ? "Tunnel" : "Tcp";
                         });

}  // namespace
}  // namespace kvx_daemon_faults
