// KVX_Device against the companion-app double, over plain TCP (handle 0) and
// over usbmux tunnels (the default binding pointed at the usbmux double for
// the test): URL walk, request headers, callback order, frames byte for byte,
// abort and destruction, and the static request operations.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppSimulator.h"
#include "FramePattern.h"
#include "KvxDevice.h"
#include "KvxHttpTcpConnector.h"
#include "KvxUSBMux.h"
#include "NptDynamicLibraries.h"
#include "TestSupport.h"
#include "DefaultBindingOnDouble.h"

// Points the process's default usbmux binding at another library for a test.
namespace {

using kvx_sim::AppSimConfig;
using kvx_sim::AppSimulator;
using kvx_sim::Misbehaviour;
using Clock = std::chrono::steady_clock;

const NPT_Int32 kHandle = 7;

enum class Transport { kTcp, kTunnel };

std::string TransportName(const testing::TestParamInfo<Transport>& info) {
  return info.param == Transport::kTcp ? "Tcp" : "Tunnel";
}

// What a delegate saw, in order. Frames are checked on arrival against the
// app double's pattern and kept only as (sequence, size, type).
class Observer : public KVX_DeviceDelegate {
 public:
  struct Frame {
    uint64_t seq;
    size_t size;
    std::string type;
    bool valid;
  };

  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) override {
    uint64_t seq = 0;
    bool valid = kvx_sim::VerifyFrame(data, static_cast<size_t>(size), &seq);
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Events.push_back('F');
    m_Frames.push_back(Frame{seq, static_cast<size_t>(size), content_type, valid});
    m_Changed.notify_all();
  }
  void OnConnection() override { Record('C'); }
  void OnDisconnection() override { Record('D'); }

  // Waits (bounded) until `predicate` holds on the events; true when it did.
  template <typename Predicate>
  bool WaitFor(Predicate predicate, int timeout_ms = 20000) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return predicate(m_Events); });
  }
  bool WaitForEnd(int timeout_ms = 20000) {
    return WaitFor([](const std::string& events) { return events.find('D') != std::string::npos; }, timeout_ms);
  }
  bool WaitForFrames(size_t count, int timeout_ms = 20000) {
    return WaitFor([&](const std::string&) { return m_Frames.size() >= count; }, timeout_ms);
  }
  // "C", "F" and "D" in callback order.
  std::string Events() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Events;
  }
  std::vector<Frame> Frames() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Frames;
  }

 private:
  void Record(char event) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Events.push_back(event);
    m_Changed.notify_all();
  }

  std::mutex m_Mutex;
  std::condition_variable m_Changed;
  std::string m_Events;
  std::vector<Frame> m_Frames;
};

std::string FrameEvents(size_t count) { return "C" + std::string(count, 'F') + "D"; }

class DeviceTest : public testing::TestWithParam<Transport> {
 protected:
  void SetUp() override {
    if (GetParam() != Transport::kTunnel) return;
    ASSERT_TRUE(m_Binding.Activate());
    m_Double = m_Binding.Double();
    ASSERT_EQ(m_Double->attach(kHandle, 0x1291, "device-7"), 0);
  }

  void TearDown() override { m_Binding.Restore(); }

  NPT_Int32 Handle() const { return GetParam() == Transport::kTunnel ? kHandle : 0; }

  // A URL that reaches `app`: its loopback port over TCP; over a tunnel a
  // device port of our choosing mapped to it (the host plays no part).
  NPT_HttpUrl UrlFor(AppSimulator& app, const char* path = "/stream") {
    return UrlForPort(static_cast<NPT_UInt16>(app.Port()), path);
  }
  NPT_HttpUrl UrlForPort(NPT_UInt16 loopback_port, const char* path = "/stream") {
    if (GetParam() == Transport::kTcp) return NPT_HttpUrl("127.0.0.1", loopback_port, path);
    NPT_UInt16 device_port = m_NextDevicePort++;
    if (loopback_port) m_Double->map_port(kHandle, device_port, loopback_port);
    return NPT_HttpUrl("127.0.0.1", device_port, path);
  }
  // A URL nothing answers on: a closed loopback port, or an unmapped device port.
  NPT_HttpUrl DeadUrl() {
    if (GetParam() == Transport::kTunnel) return UrlForPort(0);
    AppSimulator closed;
    int port = closed.Start();
    closed.Stop();
    return NPT_HttpUrl("127.0.0.1", static_cast<NPT_UInt16>(port), "/stream");
  }

  DefaultBindingOnDouble m_Binding;
  KvxUsbmuxdDouble* m_Double = nullptr;
  NPT_UInt16 m_NextDevicePort = 8099;
};

AppSimConfig Stream(size_t frame_size, uint64_t frame_count, const char* type = "image/jpeg") {
  AppSimConfig config;
  config.frame_size = frame_size;
  config.frame_count = frame_count;
  config.frame_content_type = type;
  config.require_auth = true;
  return config;
}

NPT_List<NPT_HttpUrl> List(std::initializer_list<NPT_HttpUrl> urls) {
  NPT_List<NPT_HttpUrl> list;
  for (const NPT_HttpUrl& url : urls) list.Add(url);
  return list;
}

// Expects frames 0..count-1 of `size` bytes and `type`, intact and in order.
void ExpectFrames(const std::vector<Observer::Frame>& frames, size_t count, size_t size, const std::string& type) {
  ASSERT_EQ(frames.size(), count);
  for (size_t i = 0; i < count; ++i) {
    EXPECT_TRUE(frames[i].valid) << "frame " << i;
    EXPECT_EQ(frames[i].size, size) << "frame " << i;
    EXPECT_EQ(frames[i].type, type) << "frame " << i;
    EXPECT_EQ(frames[i].seq, size < 8 ? i % 256 : i) << "frame " << i;
  }
}

/*----------------------------------------------------------------------
|   streaming
+---------------------------------------------------------------------*/
TEST_P(DeviceTest, FramesArriveCompleteInOrderForEveryTypeAndSize) {
  struct Case {
    size_t size;
    uint64_t count;
    const char* type;
  } cases[] = {
      {1, 3, "image/jpeg"},       {7, 3, "image/rgba"},     {8, 2, "image/rgb"},     {4095, 3, "image/jpeg"},
      {4096, 3, "IMAGE/RGBA"},    {4097, 3, "image/rgb"},   {16385, 4, "image/jpeg"}, {100000, 5, "image/rgba"},
      {1 << 20, 3, "image/rgb"},  {40u << 20, 2, "image/jpeg"},
  };
  for (const Case& c : cases) {
    AppSimulator app(Stream(c.size, c.count, c.type));
    ASSERT_GT(app.Start(), 0);
    Observer observer;
    {
      KVX_Device device(List({UrlFor(app)}), Handle());
      device.SetDelegate(&observer);
      ASSERT_EQ(device.Start("viewer"), NPT_SUCCESS);
      ASSERT_TRUE(observer.WaitForEnd(60000)) << c.size;
      // Counted as they came, kept after the run.
      KVX_DeviceStats stats;
      device.GetStats(stats);
      EXPECT_EQ(stats.frames_received, c.count) << c.size;
      EXPECT_EQ(stats.frames_delivered, c.count) << c.size;
      EXPECT_EQ(stats.frames_dropped, 0u) << c.size;
      EXPECT_EQ(stats.bytes_received, c.count * c.size) << c.size;
    }
    EXPECT_EQ(observer.Events(), FrameEvents(c.count)) << c.size;
    ExpectFrames(observer.Frames(), c.count, c.size, c.type);
  }
}

// Frames that grow and shrink reuse one store; none carries another's bytes.
TEST_P(DeviceTest, FramesOfChangingSizesKeepTheirOwnBytes) {
  const size_t sizes[] = {9, 70000, 12, 300000, 8, 70001, 20};
  AppSimConfig config = Stream(0, 7);
  config.quirks.bare_lf = true;
  config.quirks.empty_lines_between_parts = 2;
  config.quirks.length_before_type = true;
  config.frame_source = [&](uint64_t seq, std::vector<uint8_t>& frame, std::string&) {
    frame = kvx_sim::MakeFrame(seq, sizes[seq]);
    return true;
  };
  AppSimulator app(config);
  ASSERT_GT(app.Start(), 0);
  Observer observer;
  KVX_Device device(List({UrlFor(app)}), Handle());
  device.SetDelegate(&observer);
  ASSERT_EQ(device.Start("viewer"), NPT_SUCCESS);
  ASSERT_TRUE(observer.WaitForEnd());
  std::vector<Observer::Frame> frames = observer.Frames();
  ASSERT_EQ(frames.size(), 7u);
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_TRUE(frames[i].valid) << i;
    EXPECT_EQ(frames[i].size, sizes[i]) << i;
    EXPECT_EQ(frames[i].seq, i) << i;
  }
}

TEST_P(DeviceTest, RequestCarriesTokenAcceptAndClientHeadersInOrder) {
  for (const char* name : {"", "Viewer 2.1"}) {
    AppSimulator app(Stream(16, 1));
    ASSERT_GT(app.Start(), 0);
    Observer observer;
    NPT_HttpUrl url = UrlFor(app, "/stream?q=1");
    {
      KVX_Device device(List({url}), Handle());
      device.SetDelegate(&observer);
      ASSERT_EQ(device.Start(name), NPT_SUCCESS);
      ASSERT_TRUE(observer.WaitForEnd());
    }
    std::vector<kvx_sim::RequestRecord> requests = app.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const kvx_sim::RequestRecord& request = requests[0];
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/stream?q=1");
    EXPECT_EQ(request.version, "HTTP/1.0");
    EXPECT_TRUE(request.auth_ok);
    const std::string host = "127.0.0.1:" + std::to_string(url.GetPort());
    kvx_sim::HeaderList expected = {{"X-LUMOX-AUTH", ""},
                                    {"Accept", "image/jpeg;image/rgba;image/rgb"},
                                    {"X-LUMOX-CLIENT", name},
                                    {"Connection", "close"},
                                    {"Host", host},
                                    {"Content-Length", "0"}};
    ASSERT_EQ(request.headers.size(), expected.size()) << request.raw_head;
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(request.headers[i].first, expected[i].first) << request.raw_head;
      if (i != 0) {
        EXPECT_EQ(request.headers[i].second, expected[i].second) << request.raw_head;
      }
    }
    EXPECT_EQ(request.headers[0].second.size(), 73u);
    EXPECT_NE(request.raw_head.find("\r\nX-LUMOX-CLIENT: " + std::string(name) + "\r\n"), std::string::npos);
    EXPECT_EQ(observer.Events(), FrameEvents(1));
  }
}

/*----------------------------------------------------------------------
|   latest-frame delivery
+---------------------------------------------------------------------*/
// A consumer ten times slower than a paced app: each call gets the newest
// whole frame (never older than the one before the newest when the previous
// call returned), in order, the last one included; the rest are counted as
// dropped.
TEST_P(DeviceTest, LatestFrameDeliveryGivesASlowConsumerTheNewestFrames) {
  const uint64_t kFrames = 90;
  const size_t kSize = 100000;
  AppSimConfig config = Stream(kSize, kFrames, "image/rgb");
  config.frames_per_second = 60;
  AppSimulator app(config);
  ASSERT_GT(app.Start(), 0);
  struct Delivery {
    Observer::Frame frame;
    uint64_t number;
    uint64_t received_when_previous_returned;
  };
  class Slow : public Observer {
   public:
    void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* type) override {
      Observer::OnNewImage(data, size, type);
      deliveries.push_back({Frames().back(), device->GetFrameNumber(), received_at_return});
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      KVX_DeviceStats stats;
      device->GetStats(stats);
      received_at_return = stats.frames_received;
    }
    KVX_Device* device = nullptr;
    uint64_t received_at_return = 0;
    std::vector<Delivery> deliveries;  // worker only until the end
  } observer;
  KVX_Device device(List({UrlFor(app)}), Handle());
  observer.device = &device;
  device.SetDelegate(&observer);
  ASSERT_EQ(device.SetDelivery(static_cast<KVX_DeliveryMode>(2)), NPT_ERROR_INVALID_PARAMETERS);
  ASSERT_EQ(device.SetDelivery(KVX_DEVICE_LATEST_FRAME), NPT_SUCCESS);
  ASSERT_EQ(device.Start("viewer"), NPT_SUCCESS);
  EXPECT_EQ(device.SetDelivery(KVX_DEVICE_EVERY_FRAME), NPT_ERROR_INVALID_STATE);
  EXPECT_EQ(device.GetDelivery(), KVX_DEVICE_LATEST_FRAME);
  ASSERT_TRUE(observer.WaitForEnd(60000));

  std::string events = observer.Events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front(), 'C');
  EXPECT_EQ(events.back(), 'D');
  const std::vector<Delivery>& got = observer.deliveries;
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back().frame.seq, kFrames - 1) << "the last frame comes before the disconnection";
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_TRUE(got[i].frame.valid) << i;
    EXPECT_EQ(got[i].frame.size, kSize) << i;
    EXPECT_EQ(got[i].number, got[i].frame.seq) << i;
    if (i == 0) continue;
    EXPECT_GT(got[i].frame.seq, got[i - 1].frame.seq) << i;
    EXPECT_GE(got[i].frame.seq + 2, got[i].received_when_previous_returned) << i;
  }
  KVX_DeviceStats stats;
  device.GetStats(stats);
  EXPECT_EQ(stats.frames_received, kFrames);
  EXPECT_EQ(stats.frames_delivered, got.size());
  EXPECT_EQ(stats.frames_received, stats.frames_delivered + stats.frames_dropped);
  EXPECT_GT(stats.frames_dropped, 0u);
  EXPECT_EQ(stats.bytes_received, kFrames * kSize);
}

// Abort and destruction while the consumer sleeps in a call and the reader
// goes on: both return promptly, nothing follows.
TEST_P(DeviceTest, LatestFrameDeliveryStopsPromptly) {
  for (bool explicit_abort : {true, false}) {
    AppSimConfig config = Stream(50000, 0);
    config.frames_per_second = 60;
    AppSimulator app(config);
    ASSERT_GT(app.Start(), 0);
    class Slow : public Observer {
     public:
      void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* type) override {
        Observer::OnNewImage(data, size, type);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    } observer;
    auto device = std::make_unique<KVX_Device>(List({UrlFor(app)}), Handle());
    device->SetDelegate(&observer);
    ASSERT_EQ(device->SetDelivery(KVX_DEVICE_LATEST_FRAME), NPT_SUCCESS);
    ASSERT_EQ(device->Start("viewer"), NPT_SUCCESS);
    ASSERT_TRUE(observer.WaitForFrames(3));
    Clock::time_point start = Clock::now();
    if (explicit_abort) device->Abort();
    device.reset();
    // At most the call in progress (100 ms) is waited for; the bound is a
    // hang guard.
    EXPECT_LT(kvx_test::ElapsedMs(start), 15000);
    EXPECT_EQ(observer.Events().find('D'), std::string::npos);
    for (const Observer::Frame& frame : observer.Frames()) EXPECT_TRUE(frame.valid);
  }
}

/*----------------------------------------------------------------------
|   the URL walk
+---------------------------------------------------------------------*/
TEST_P(DeviceTest, UnopenableUrlIsTriedTwiceThenTheNextOneStreams) {
  AppSimulator app(Stream(100, 2));
  ASSERT_GT(app.Start(), 0);
  Observer observer;
  {
    KVX_Device device(List({DeadUrl(), UrlFor(app)}), Handle());
    device.SetDelegate(&observer);
    ASSERT_EQ(device.Start("viewer"), NPT_SUCCESS);
    ASSERT_TRUE(observer.WaitForEnd());
  }
  EXPECT_EQ(observer.Events(), FrameEvents(2));
  ExpectFrames(observer.Frames(), 2, 100, "image/jpeg");
  EXPECT_EQ(app.RequestCount(), 1u);
  if (GetParam() == Transport::kTunnel) {
    // Two tunnel attempts for the dead port, one for the good one.
    EXPECT_EQ(m_Double->connect_count(), 3);
    EXPECT_EQ(m_Double->last_connect_handle(), static_cast<uint32_t>(kHandle));
  }
}

TEST_P(DeviceTest, UrlsAnswering404And500AreSkippedEachOnItsOwnConnection) {
  AppSimConfig missing = Stream(10, 1);
  missing.misbehaviour = Misbehaviour::kStatus404;
  missing.keep_alive = true;  // a reused connection would show as one accept
  AppSimConfig failing = missing;
  failing.misbehaviour = Misbehaviour::kStatus500;
  AppSimulator app404(missing), app500(failing), app(Stream(10, 2, "image/rgb"));
  ASSERT_GT(app404.Start(), 0);
  ASSERT_GT(app500.Start(), 0);
  ASSERT_GT(app.Start(), 0);
  Observer observer;
  {
    KVX_Device device(List({UrlFor(app404), UrlFor(app500), UrlFor(app)}), Handle());
    device.SetDelegate(&observer);
    ASSERT_EQ(device.Start("viewer"), NPT_SUCCESS);
    ASSERT_TRUE(observer.WaitForEnd());
  }
  EXPECT_EQ(observer.Events(), FrameEvents(2));
  ExpectFrames(observer.Frames(), 2, 10, "image/rgb");
  for (AppSimulator* sim : {&app404, &app500, &app}) {
    EXPECT_EQ(sim->RequestCount(), 1u);
    EXPECT_EQ(sim->ConnectionsAccepted(), 1u);
  }
}

TEST_P(DeviceTest, NoUrlAnsweringGivesOnlyDisconnection) {
  AppSimConfig failing = Stream(10, 1);
  failing.misbehaviour = Misbehaviour::kStatus500;
  AppSimulator app(failing);
  ASSERT_GT(app.Start(), 0);
  for (bool empty : {true, false}) {
    Observer observer;
    {
      KVX_Device device(empty ? NPT_List<NPT_HttpUrl>() : List({UrlFor(app), DeadUrl()}), Handle());
      device.SetDelegate(&observer);
      ASSERT_EQ(device.Start("viewer"), NPT_SUCCESS);
      ASSERT_TRUE(observer.WaitForEnd());
    }
    EXPECT_EQ(observer.Events(), "D");
  }
}

TEST_P(DeviceTest, StreamsThatAreNotFramesEndAfterTheConnection) {
  struct Case {
    const char* name;
    Misbehaviour misbehaviour;
    std::string content_type;
    size_t frames;
  } cases[] = {
      {"text/plain", Misbehaviour::kTextPlain, "", 0},
      {"no boundary", Misbehaviour::kNone, "multipart/x-mixed-replace", 0},
      {"empty boundary", Misbehaviour::kNone, "multipart/x-mixed-replace; boundary=--", 0},
      {"malformed third part", Misbehaviour::kMalformedPartHeader, "", 2},
      {"connection closed mid-frame", Misbehaviour::kCloseMidFrame, "", 2},
      {"declared length bigger than sent", Misbehaviour::kLengthBigger, "", 2},
  };
  for (const Case& c : cases) {
    AppSimConfig config = Stream(5000, 5);
    config.misbehaviour = c.misbehaviour;
    config.misbehaviour_frame = 2;
    config.content_type_override = c.content_type;
    AppSimulator app(config);
    ASSERT_GT(app.Start(), 0);
    Observer observer;
    {
      KVX_Device device(List({UrlFor(app)}), Handle());
      device.SetDelegate(&observer);
      ASSERT_EQ(device.Start("viewer"), NPT_SUCCESS);
      ASSERT_TRUE(observer.WaitForEnd()) << c.name;
    }
    EXPECT_EQ(observer.Events(), FrameEvents(c.frames)) << c.name;
    ExpectFrames(observer.Frames(), c.frames, 5000, "image/jpeg");
  }
}

// "Content-Length: 0": everything up to the close is the frame.
TEST_P(DeviceTest, LengthZeroFrameRunsToTheEndOfTheStream) {
  AppSimConfig config = Stream(3000, 3);
  config.misbehaviour = Misbehaviour::kLengthZeroUntilClose;
  config.misbehaviour_frame = 1;
  AppSimulator app(config);
  ASSERT_GT(app.Start(), 0);
  Observer observer;
  {
    KVX_Device device(List({UrlFor(app)}), Handle());
    device.SetDelegate(&observer);
    ASSERT_EQ(device.Start("viewer"), NPT_SUCCESS);
    ASSERT_TRUE(observer.WaitForEnd());
  }
  EXPECT_EQ(observer.Events(), FrameEvents(2));
  std::vector<Observer::Frame> frames = observer.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].valid);
  EXPECT_GE(frames[1].size, 3000u);
}

/*----------------------------------------------------------------------
|   lifecycle
+---------------------------------------------------------------------*/
TEST_P(DeviceTest, AbortWhileStreamingEndsWithoutDisconnectionAndPromptly) {
  struct Case {
    const char* name;
    Misbehaviour misbehaviour;
    bool explicit_abort;
  } cases[] = {
      {"flowing, Abort then destroy", Misbehaviour::kNone, true},
      {"flowing, destroy only", Misbehaviour::kNone, false},
      {"stalled read, Abort then destroy", Misbehaviour::kStallAfterFrames, true},
      {"stalled read, destroy only", Misbehaviour::kStallAfterFrames, false},
  };
  for (const Case& c : cases) {
    AppSimConfig config = Stream(20000, 0);
    config.misbehaviour = c.misbehaviour;
    config.misbehaviour_frame = 3;
    AppSimulator app(config);
    ASSERT_GT(app.Start(), 0);
    Observer observer;
    auto device = std::make_unique<KVX_Device>(List({UrlFor(app)}), Handle());
    device->SetDelegate(&observer);
    ASSERT_EQ(device->Start("viewer"), NPT_SUCCESS);
    ASSERT_TRUE(observer.WaitForFrames(3)) << c.name;
    if (c.misbehaviour == Misbehaviour::kStallAfterFrames) {
      ASSERT_TRUE(app.WaitForStall(30000)) << c.name;
    }
    Clock::time_point start = Clock::now();
    if (c.explicit_abort) device->Abort();
    device.reset();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    // Not the 30 s I/O time-out of the stalled read.
    EXPECT_LT(elapsed, 15000) << c.name;
    std::string events = observer.Events();
    EXPECT_EQ(events.find('D'), std::string::npos) << c.name;
    EXPECT_EQ(events[0], 'C') << c.name;
    for (const Observer::Frame& frame : observer.Frames()) EXPECT_TRUE(frame.valid) << c.name;
  }
}

TEST_P(DeviceTest, SecondStartIsRefusedAndCallsNothing) {
  AppSimulator app(Stream(10, 1));
  ASSERT_GT(app.Start(), 0);
  Observer observer;
  KVX_Device device(List({UrlFor(app)}), Handle());
  device.SetDelegate(&observer);
  ASSERT_EQ(device.Start("viewer"), NPT_SUCCESS);
  ASSERT_TRUE(observer.WaitForEnd());
  EXPECT_EQ(device.Start("again"), NPT_ERROR_INVALID_STATE);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(observer.Events(), FrameEvents(1));
  EXPECT_EQ(app.RequestCount(), 1u);
}

// A Start refused while an Abort is ending the run (from a callback, or as
// the host disposes) leaves the Abort in force: no disconnection follows.
TEST_P(DeviceTest, ARefusedStartDoesNotUndoAnAbort) {
  AppSimulator app(Stream(1000, 0));
  ASSERT_GT(app.Start(), 0);
  class Held : public Observer {
   public:
    void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* type) override {
      Observer::OnNewImage(data, size, type);
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::atomic<bool> release{false};
  } observer;
  {
    KVX_Device device(List({UrlFor(app)}), Handle());
    device.SetDelegate(&observer);
    ASSERT_EQ(device.Start("viewer"), NPT_SUCCESS);
    ASSERT_TRUE(observer.WaitForFrames(1));
    device.Abort();
    EXPECT_EQ(device.Start("again"), NPT_ERROR_INVALID_STATE);
    observer.release = true;
    // The worker goes on by itself (the destructor would set the flag again).
    EXPECT_FALSE(observer.WaitForEnd(500));
  }
  EXPECT_EQ(observer.Events(), "CF");
}

TEST_P(DeviceTest, DestroyingANeverStartedDeviceReturnsAtOnce) {
  Observer observer;
  {
    KVX_Device device(List({DeadUrl()}), Handle());
    device.SetDelegate(&observer);
    device.Abort();
  }
  EXPECT_EQ(observer.Events(), "");
}

INSTANTIATE_TEST_SUITE_P(Transports, DeviceTest, testing::Values(Transport::kTcp, Transport::kTunnel),
                         TransportName);

/*----------------------------------------------------------------------
|   request operations
+---------------------------------------------------------------------*/
// A connector that fails every Connect with a chosen result.
class FailingConnector : public NPT_HttpClient::Connector {
 public:
  FailingConnector(NPT_Result result, int& attempts) : m_Result(result), m_Attempts(attempts) {}
  NPT_Result Connect(const char*, NPT_UInt16, bool, NPT_Timeout, NPT_Timeout, NPT_Timeout,
                     NPT_InputStreamReference& input, NPT_OutputStreamReference& output) override {
    input = nullptr;
    output = nullptr;
    ++m_Attempts;
    return m_Result;
  }

 private:
  NPT_Result m_Result;
  int& m_Attempts;
};

TEST(DeviceRequestTest, RetriesOnceOnAFreshConnectorOnlyWhenNoConnectionAndNotAborted) {
  struct Case {
    NPT_Result first;
    bool aborted;
    NPT_Result result;
    size_t requests;
  } cases[] = {
      {NPT_ERROR_INVALID_PARAMETERS, false, NPT_SUCCESS, 1},
      {NPT_ERROR_INVALID_PARAMETERS, true, NPT_ERROR_INVALID_PARAMETERS, 0},
      {NPT_ERROR_CONNECTION_REFUSED, false, NPT_ERROR_CONNECTION_REFUSED, 0},
      {NPT_ERROR_TIMEOUT, false, NPT_ERROR_TIMEOUT, 0},
  };
  for (const Case& c : cases) {
    AppSimConfig config;
    config.require_auth = true;
    AppSimulator app(config);
    ASSERT_GT(app.Start(), 0);
    int attempts = 0;
    NPT_HttpClient client(new FailingConnector(c.first, attempts));
    NPT_HttpRequest request(NPT_HttpUrl("127.0.0.1", static_cast<NPT_UInt16>(app.Port()), "/"),
                            NPT_HTTP_METHOD_HEAD);
    std::atomic<bool> aborted(c.aborted);
    NPT_HttpResponse* response = nullptr;
    EXPECT_EQ(KVX_Device::SendRequest(request, client, &response, &aborted, 0, nullptr), c.result) << c.first;
    EXPECT_EQ(attempts, 1) << c.first;
    EXPECT_EQ(app.RequestCount(), c.requests) << c.first;
    if (c.requests) {
      ASSERT_NE(response, nullptr);
      EXPECT_EQ(response->GetStatusCode(), 200);
      // The probe form sends no client header and keeps the caller's timeouts.
      std::vector<kvx_sim::RequestRecord> requests = app.Requests();
      EXPECT_TRUE(requests[0].auth_ok);
      for (const auto& header : requests[0].headers) EXPECT_NE(header.first, "X-LUMOX-CLIENT");
      EXPECT_EQ(client.GetConfig().m_ConnectionTimeout, 30000);
    }
    delete response;
  }
}

TEST(DeviceRequestTest, UrlFormSetsStreamTimeoutsAndResetsTheResponse) {
  AppSimulator app(Stream(10, 1));
  ASSERT_GT(app.Start(), 0);
  NPT_HttpClient client(new KVX_HttpTcpConnector(0));
  NPT_HttpResponse* response = reinterpret_cast<NPT_HttpResponse*>(0x1);
  EXPECT_EQ(KVX_Device::SendRequest(NPT_HttpUrl("127.0.0.1", static_cast<NPT_UInt16>(app.Port()), "/s"), client,
                                    &response, nullptr, 0, "name"),
            NPT_SUCCESS);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->GetStatusCode(), 200);
  delete response;
  EXPECT_EQ(client.GetConfig().m_ConnectionTimeout, 1000);
  EXPECT_EQ(client.GetConfig().m_IoTimeout, 30000);
  EXPECT_EQ(client.GetConfig().m_NameResolverTimeout, 30000);
  EXPECT_TRUE(client.GetConfig().m_FollowRedirect);
}

TEST(DeviceRequestTest, ListFormReturnsFailureWhenExhausted) {
  NPT_HttpClient client;
  NPT_HttpResponse* response = nullptr;
  EXPECT_EQ(KVX_Device::SendRequest(NPT_List<NPT_HttpUrl>(), client, &response, nullptr, 0, "x"),
            NPT_RESULT_FAILURE);
  EXPECT_EQ(response, nullptr);
}

TEST(DeviceRequestTest, IsConnectionKeepAliveFollowsProtocolAndConnectionHeader) {
  struct Case {
    const char* protocol;
    const char* connection;  // null: no header
    bool keep_alive;
  } cases[] = {
      {"HTTP/1.0", nullptr, false},     {"HTTP/1.0", "KEEP-ALIVE", true}, {"http/1.0", "keep-alive", true},
      {"HTTP/1.0", "close", false},     {"HTTP/1.1", nullptr, true},      {"HTTP/1.1", "CLOSE", false},
      {"HTTP/1.1", "keep-alive", true}, {"HTTP/1.1", "upgrade", true},    {"HTTP/2.0", nullptr, false},
      {"HTTP/2.0", "keep-alive", false}, {"", nullptr, false},
  };
  for (const Case& c : cases) {
    NPT_HttpResponse response(200, "OK", c.protocol);
    if (c.connection) response.GetHeaders().SetHeader("Connection", c.connection);
    EXPECT_EQ(KVX_Device::IsConnectionKeepAlive(response), c.keep_alive)
        << c.protocol << " " << (c.connection ? c.connection : "(none)");
  }
}

TEST(DeviceRequestTest, AddEventAppliesTheQueueLimits) {
  KVX_Device device(NPT_List<NPT_HttpUrl>(), 0);
  KVX_Event droppable = {KVX_EVENT_TYPE_DROPPABLE, {0}};
  KVX_Event plain = {KVX_EVENT_TYPE_NONE, {0}};
  for (int i = 0; i < 100; ++i) ASSERT_EQ(device.AddEvent(droppable), NPT_SUCCESS) << i;
  EXPECT_EQ(device.AddEvent(droppable), NPT_RESULT_FAILURE);
  for (int i = 100; i < 1000; ++i) ASSERT_EQ(device.AddEvent(plain), NPT_SUCCESS) << i;
  EXPECT_EQ(device.AddEvent(plain), NPT_RESULT_FAILURE);
}

}  // namespace
