// The C interface (kvx/kvx.h), used only through the header as a C program
// would: device streams against the companion-app double over loopback TCP
// (handle 0), discovery through the real usbmux client library against a
// simulated daemon of this process (its address is set before the first
// controller subscribes), refusals of null handles and of calls that would
// wait for the calling thread, and create/destroy loops that must not leak.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppSimulator.h"
#include "TestSupport.h"
#include "UsbmuxdSimulator.h"
#include "kvx/kvx.h"

namespace {

using kvx_sim::AppSimConfig;
using kvx_sim::AppSimulator;

using kvx_test::WaitUntil;

// Byte i of frame seq: differs between frames and along each frame, so a
// shifted, truncated or reused buffer shows.
uint8_t PatternByte(uint64_t seq, size_t i) { return (uint8_t)((seq * 31 + i * 7 + 1) & 0xFF); }

AppSimConfig StreamingApp(uint64_t frames, size_t size, double fps = 0) {
  AppSimConfig config;
  config.frame_count = frames;
  config.frame_size = size;
  config.frames_per_second = fps;
  config.frame_content_type = "image/rgb";
  config.frame_source = [size](uint64_t seq, std::vector<uint8_t>& frame, std::string&) {
    frame.resize(size);
    for (size_t i = 0; i < size; ++i) frame[i] = PatternByte(seq, i);
    return true;
  };
  return config;
}

// What a device's callbacks received: copies of every frame, the
// disconnections, and what a test asks a callback to do to its own device.
struct DeviceRecord {
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<std::string> types;
  std::atomic<int> disconnections{0};
  kvx_device* device = nullptr;
  // Run by on_frame on the worker (e.g. a call into the device's own API).
  std::function<void(DeviceRecord&)> on_frame_action;

  size_t FrameCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return frames.size();
  }
};

void RecordFrame(void* context, const unsigned char* data, uint64_t size, const char* content_type) {
  auto* record = static_cast<DeviceRecord*>(context);
  {
    std::lock_guard<std::mutex> lock(record->mutex);
    record->frames.emplace_back(data, data + size);
    record->types.emplace_back(content_type);
  }
  if (record->on_frame_action) record->on_frame_action(*record);
}

void RecordDisconnection(void* context) { static_cast<DeviceRecord*>(context)->disconnections++; }

std::string LoopbackUrl(int port) { return "http://127.0.0.1:" + std::to_string(port) + "/stream"; }

class CApiDevice : public ::testing::Test {
 protected:
  void TearDown() override {
    for (kvx_device* device : m_Devices) kvx_device_destroy(device);
    for (auto& app : m_Apps) app->Stop();
  }
  AppSimulator& StartApp(const AppSimConfig& config) {
    m_Apps.emplace_back(new AppSimulator(config));
    EXPECT_GT(m_Apps.back()->Start(), 0);
    return *m_Apps.back();
  }
  kvx_device* Create(const std::vector<std::string>& urls, DeviceRecord* record) {
    std::vector<const char*> texts;
    for (const auto& url : urls) texts.push_back(url.c_str());
    kvx_device* device = kvx_device_create(texts.data(), (int32_t)texts.size(), 0);
    EXPECT_NE(device, nullptr);
    if (device == nullptr) return nullptr;
    m_Devices.push_back(device);
    if (record) {
      record->device = device;
      kvx_device_set_callbacks(device, RecordFrame, RecordDisconnection, record);
    }
    return device;
  }
  std::vector<std::unique_ptr<AppSimulator>> m_Apps;
  std::vector<kvx_device*> m_Devices;
};

TEST_F(CApiDevice, EveryFrameArrivesWholeInOrderThenOneDisconnection) {
  const uint64_t kFrames = 6;
  const size_t kSize = 3000;
  AppSimulator& app = StartApp(StreamingApp(kFrames, kSize));
  DeviceRecord record;
  kvx_device* device = Create({LoopbackUrl(app.Port())}, &record);
  ASSERT_EQ(kvx_device_start(device, "c-client"), 0);
  ASSERT_TRUE(WaitUntil([&] { return record.disconnections.load() == 1; }, 30000));
  std::lock_guard<std::mutex> lock(record.mutex);
  ASSERT_EQ(record.frames.size(), kFrames);
  for (uint64_t seq = 0; seq < kFrames; ++seq) {
    ASSERT_EQ(record.frames[seq].size(), kSize);
    EXPECT_EQ(record.types[seq], "image/rgb");
    for (size_t i = 0; i < kSize; ++i) ASSERT_EQ(record.frames[seq][i], PatternByte(seq, i)) << seq << " " << i;
  }
}

TEST_F(CApiDevice, UnusableUrlsAreSkippedSilentlyAndTheNextOneStreams) {
  AppSimulator& app = StartApp(StreamingApp(3, 100));
  AppSimulator refusing;  // started then stopped: its port refuses
  int closed_port = refusing.Start();
  ASSERT_GT(closed_port, 0);
  refusing.Stop();
  DeviceRecord record;
  std::vector<const char*> urls = {"not a url", nullptr, "", "ftp://127.0.0.1/x"};
  std::string refused = LoopbackUrl(closed_port), good = LoopbackUrl(app.Port());
  urls.push_back(refused.c_str());
  urls.push_back(good.c_str());
  kvx_device* device = kvx_device_create(urls.data(), (int32_t)urls.size(), 0);
  ASSERT_NE(device, nullptr);
  m_Devices.push_back(device);
  kvx_device_set_callbacks(device, RecordFrame, RecordDisconnection, &record);
  ASSERT_EQ(kvx_device_start(device, "c-client"), 0);
  ASSERT_TRUE(WaitUntil([&] { return record.disconnections.load() == 1; }, 30000));
  EXPECT_EQ(record.FrameCount(), 3u);
}

TEST_F(CApiDevice, ClientNameGoesIntoTheRequestHeaderNullReadingAsEmpty) {
  struct Case {
    const char* name;
    std::string expected;
  };
  for (const Case& c : {Case{"my host", "my host"}, Case{"", ""}, Case{nullptr, ""}, Case{"h\xC3\xA9te", "h\xC3\xA9te"}}) {
    AppSimulator& app = StartApp(StreamingApp(1, 10));
    DeviceRecord record;
    kvx_device* device = Create({LoopbackUrl(app.Port())}, &record);
    ASSERT_EQ(kvx_device_start(device, c.name), 0);
    ASSERT_TRUE(WaitUntil([&] { return record.disconnections.load() == 1; }, 30000));
    ASSERT_EQ(app.RequestCount(), 1u);
    bool seen = false;
    const kvx_sim::RequestRecord request = app.Requests()[0];
    for (const auto& header : request.headers) {
      if (header.first == "X-LUMOX-CLIENT") {
        seen = true;
        EXPECT_EQ(header.second, c.expected);
      }
    }
    EXPECT_TRUE(seen) << (c.name ? c.name : "(null)");
    EXPECT_TRUE(request.auth_ok);
  }
}

TEST_F(CApiDevice, WithoutCallbacksFramesAreDroppedAndTheRunEnds) {
  AppSimulator& app = StartApp(StreamingApp(20, 500));
  kvx_device* device = Create({LoopbackUrl(app.Port())}, nullptr);
  ASSERT_EQ(kvx_device_start(device, "x"), 0);
  ASSERT_TRUE(WaitUntil([&] { return app.FramesSent() == 20 && app.ConnectionsOpen() == 0; }, 30000));
  // Callbacks set back to null after having been set: dropped as well.
  DeviceRecord record;
  AppSimulator& second = StartApp(StreamingApp(5, 500));
  kvx_device* other = Create({LoopbackUrl(second.Port())}, &record);
  kvx_device_set_callbacks(other, nullptr, nullptr, nullptr);
  ASSERT_EQ(kvx_device_start(other, "x"), 0);
  ASSERT_TRUE(WaitUntil([&] { return second.FramesSent() == 5 && second.ConnectionsOpen() == 0; }, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(record.FrameCount(), 0u);
  EXPECT_EQ(record.disconnections.load(), 0);
}

TEST_F(CApiDevice, AbortWhileStreamingStopsFramesWithoutDisconnection) {
  AppSimulator& app = StartApp(StreamingApp(0, 2000, 200));
  DeviceRecord record;
  kvx_device* device = Create({LoopbackUrl(app.Port())}, &record);
  ASSERT_EQ(kvx_device_start(device, "x"), 0);
  ASSERT_TRUE(WaitUntil([&] { return record.FrameCount() >= 3; }, 30000));
  kvx_device_abort(device);
  ASSERT_TRUE(WaitUntil([&] { return app.ConnectionsOpen() == 0; }, 30000)) << "abort must end the connection";
  size_t after_abort = record.FrameCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LE(record.FrameCount(), after_abort + 1);
  EXPECT_EQ(record.disconnections.load(), 0);
  kvx_device_abort(device);  // again: harmless
  ASSERT_TRUE(WaitUntil([&] { return kvx_device_has_ended(device) == 1; }, 5000));
  EXPECT_STREQ(kvx_result_name(kvx_device_get_last_result(device)), "NPT_ERROR_CANCELLED");
  EXPECT_EQ(kvx_device_get_http_status(device), 200);
}

TEST_F(CApiDevice, ASecondStartIsRefusedAndStartsNoSecondRun) {
  AppSimulator& app = StartApp(StreamingApp(2, 100));
  DeviceRecord record;
  kvx_device* device = Create({LoopbackUrl(app.Port())}, &record);
  ASSERT_EQ(kvx_device_start(device, "x"), 0);
  ASSERT_TRUE(WaitUntil([&] { return record.disconnections.load() == 1; }, 30000));
  int32_t again = kvx_device_start(device, "x");
  EXPECT_NE(again, 0);
  EXPECT_STREQ(kvx_result_name(again), "NPT_ERROR_INVALID_STATE");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(app.RequestCount(), 1u);
  EXPECT_EQ(record.disconnections.load(), 1);
}

TEST_F(CApiDevice, FromItsOwnCallbackDestroyIsRefusedAndAbortWorks) {
  AppSimulator& app = StartApp(StreamingApp(0, 100, 200));
  DeviceRecord record;
  std::atomic<bool> returned{false};
  record.on_frame_action = [&](DeviceRecord& self) {
    if (returned.exchange(true)) return;
    kvx_device_destroy(self.device);  // would join this very thread: refused
    kvx_device_abort(self.device);    // never waits: allowed
  };
  kvx_device* device = Create({LoopbackUrl(app.Port())}, &record);
  ASSERT_EQ(kvx_device_start(device, "x"), 0);
  ASSERT_TRUE(WaitUntil([&] { return returned.load() && app.ConnectionsOpen() == 0; }, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_LE(record.FrameCount(), 2u);
  EXPECT_EQ(record.disconnections.load(), 0);
  // The device is still whole: TearDown destroys it from this thread.
}

TEST(CApi, NullHandlesAndBadArgumentsAreRefusedWithoutACrash) {
  EXPECT_EQ(kvx_device_create(nullptr, 1, 0), nullptr);
  const char* one[] = {"http://127.0.0.1:1/"};
  EXPECT_EQ(kvx_device_create(one, -1, 0), nullptr);
  kvx_device_set_callbacks(nullptr, RecordFrame, RecordDisconnection, nullptr);
  EXPECT_EQ(kvx_device_start(nullptr, "x"), kvx_device_start(nullptr, nullptr));
  EXPECT_STREQ(kvx_result_name(kvx_device_start(nullptr, "x")), "NPT_ERROR_INVALID_PARAMETERS");
  kvx_device_abort(nullptr);
  kvx_device_destroy(nullptr);
  kvx_controller_set_callbacks(nullptr, nullptr, nullptr, nullptr);
  EXPECT_STREQ(kvx_result_name(kvx_controller_start(nullptr)), "NPT_ERROR_INVALID_PARAMETERS");
  kvx_controller_abort(nullptr);
  kvx_controller_destroy(nullptr);
  char type[4] = "x";
  EXPECT_EQ(kvx_device_has_ended(nullptr) + kvx_device_get_last_result(nullptr) +
                kvx_device_get_http_status(nullptr) + kvx_device_get_content_type(nullptr, type, sizeof(type)),
            0);
  EXPECT_STREQ(type, "");

  // An empty list is a valid device whose run ends at once, disconnected.
  DeviceRecord record;
  kvx_device* empty = kvx_device_create(nullptr, 0, 0);
  ASSERT_NE(empty, nullptr);
  kvx_device_set_callbacks(empty, RecordFrame, RecordDisconnection, &record);
  EXPECT_EQ(kvx_device_start(empty, nullptr), 0);
  EXPECT_TRUE(WaitUntil([&] { return record.disconnections.load() == 1; }, 30000));
  EXPECT_STREQ(kvx_result_name(kvx_device_get_last_result(empty)), "FAILURE");
  kvx_device_destroy(empty);
  // Destroyed without ever being started.
  kvx_device_destroy(kvx_device_create(one, 1, 7));
}

// Latest-frame delivery through the C interface, the counters (also read
// into an older caller's shorter struct) and the frame numbers.
TEST_F(CApiDevice, LatestFrameDeliveryCountsWhatItDropsAndNumbersWhatItHandsOver) {
  const uint64_t kFrames = 40;
  const size_t kSize = 20000;
  AppSimulator& app = StartApp(StreamingApp(kFrames, kSize, 100));
  DeviceRecord record;
  std::vector<uint64_t> numbers;  // on the worker until the end
  record.on_frame_action = [&numbers](DeviceRecord& self) {
    uint64_t number = 99;
    EXPECT_EQ(kvx_device_get_frame_number(self.device, &number), 0);
    numbers.push_back(number);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  };
  kvx_device* device = Create({LoopbackUrl(app.Port())}, &record);
  EXPECT_STREQ(kvx_result_name(kvx_device_set_delivery(device, 2)), "NPT_ERROR_INVALID_PARAMETERS");
  EXPECT_STREQ(kvx_result_name(kvx_device_set_delivery(nullptr, KVX_DELIVER_LATEST_FRAME)),
               "NPT_ERROR_INVALID_PARAMETERS");
  ASSERT_EQ(kvx_device_set_delivery(device, KVX_DELIVER_LATEST_FRAME), 0);
  ASSERT_EQ(kvx_device_start(device, "latest"), 0);
  EXPECT_STREQ(kvx_result_name(kvx_device_set_delivery(device, KVX_DELIVER_EVERY_FRAME)),
               "NPT_ERROR_INVALID_STATE");
  uint64_t number = 99;
  EXPECT_STREQ(kvx_result_name(kvx_device_get_frame_number(device, &number)), "NPT_ERROR_INVALID_STATE");
  EXPECT_EQ(number, 0u);
  ASSERT_TRUE(WaitUntil([&] { return record.disconnections.load() == 1; }, 30000));

  std::lock_guard<std::mutex> lock(record.mutex);
  ASSERT_EQ(numbers.size(), record.frames.size());
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(numbers.back(), kFrames - 1);
  for (size_t k = 0; k < numbers.size(); ++k) {
    if (k > 0) {
      EXPECT_GT(numbers[k], numbers[k - 1]);
    }
    ASSERT_EQ(record.frames[k].size(), kSize);
    for (size_t i = 0; i < kSize; ++i) ASSERT_EQ(record.frames[k][i], PatternByte(numbers[k], i)) << k << " " << i;
  }
  kvx_device_stats stats;
  std::memset(&stats, 0xAB, sizeof(stats));
  stats.struct_size = sizeof(stats);
  ASSERT_EQ(kvx_device_get_stats(device, &stats), 0);
  EXPECT_EQ(stats.struct_size, sizeof(stats));
  EXPECT_EQ(stats.frames_received, kFrames);
  EXPECT_EQ(stats.frames_delivered, numbers.size());
  EXPECT_EQ(stats.frames_dropped, kFrames - numbers.size());
  EXPECT_GT(stats.frames_dropped, 0u);
  EXPECT_EQ(stats.bytes_received, kFrames * kSize);
  // An older caller knowing only the first counter: nothing past it is written.
  kvx_device_stats older;
  std::memset(&older, 0xAB, sizeof(older));
  older.struct_size = offsetof(kvx_device_stats, frames_delivered);
  ASSERT_EQ(kvx_device_get_stats(device, &older), 0);
  EXPECT_EQ(older.frames_received, kFrames);
  EXPECT_EQ(older.frames_delivered, 0xABABABABABABABABull);
  older.struct_size = offsetof(kvx_device_stats, frames_received) + 7;
  EXPECT_STREQ(kvx_result_name(kvx_device_get_stats(device, &older)), "NPT_ERROR_INVALID_PARAMETERS");
  EXPECT_STREQ(kvx_result_name(kvx_device_get_stats(nullptr, &stats)), "NPT_ERROR_INVALID_PARAMETERS");
  EXPECT_STREQ(kvx_result_name(kvx_device_get_stats(device, nullptr)), "NPT_ERROR_INVALID_PARAMETERS");
}

TEST(CApi, ResultNamesComeFromTheRuntimeAndAreNeverNull) {
  struct Case {
    int32_t result;
    const char* name;
  } cases[] = {{0, "SUCCESS"}, {-1, "FAILURE"}, {-20000, "NPT_ERROR_INVALID_PARAMETERS"},
               {-20009, "NPT_ERROR_INVALID_STATE"}, {12345, "UNKNOWN"}, {-19999, "UNKNOWN"}};
  for (const Case& c : cases) EXPECT_STREQ(kvx_result_name(c.result), c.name) << c.result;
}

TEST_F(CApiDevice, CreateStartAbortDestroyLoopLeaksNoThreadsOrDescriptors) {
  AppSimulator& app = StartApp(StreamingApp(0, 1000, 500));
  std::string url = LoopbackUrl(app.Port());
  const char* urls[] = {url.c_str()};
  DeviceRecord record;
  // Warm-up: lazily made process-wide state is not a leak.
  kvx_device* warm = kvx_device_create(urls, 1, 0);
  kvx_device_start(warm, "x");
  kvx_device_destroy(warm);
  ASSERT_TRUE(WaitUntil([&] { return app.ConnectionsOpen() == 0; }, 30000));
  int threads = kvx_test::CountThreads(), descriptors = kvx_test::CountOpenDescriptors();
  for (int i = 0; i < 300; ++i) {
    // The app double serves at most 64 connections and closes any more
    // unanswered (a run would then end by itself, with a disconnection); its
    // threads retire ours as fast as a loaded machine lets them.
    if (i % 16 == 0) {
      ASSERT_TRUE(WaitUntil([&] { return app.ConnectionsOpen() == 0; }, 30000));
    }
    kvx_device* device = kvx_device_create(urls, 1, 0);
    ASSERT_NE(device, nullptr);
    kvx_device_set_callbacks(device, RecordFrame, RecordDisconnection, &record);
    ASSERT_EQ(kvx_device_start(device, "loop"), 0);
    if (i % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    kvx_device_abort(device);
    kvx_device_destroy(device);
  }
  // The app double's threads leave a moment after they count themselves out.
  ASSERT_TRUE(WaitUntil([&] { return app.ConnectionsOpen() == 0; }, 30000));
  WaitUntil([&] { return kvx_test::CountThreads() <= threads && kvx_test::CountOpenDescriptors() <= descriptors; },
            30000);
  EXPECT_EQ(kvx_test::CountThreads(), threads);
  EXPECT_EQ(kvx_test::CountOpenDescriptors(), descriptors);
  EXPECT_EQ(record.disconnections.load(), 0) << "an aborted run never reports a disconnection";
}

// ---- discovery ----

kvx_sim::UsbmuxdSimulator* g_Daemon = nullptr;
bool g_LibraryPresent = false;

// Starts a daemon for this process and points the client library at it
// before any controller subscribes.
class DaemonEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    for (const char* name : {"libusbmuxd-2.0.so.6", "libusbmuxd.so.6"}) {
      if (void* module = dlopen(name, RTLD_NOW | RTLD_LOCAL)) {
        dlclose(module);
        g_LibraryPresent = true;
        break;
      }
    }
    if (m_Directory.Path().empty()) return;
    std::string error;
    if (!m_Daemon.Start("UNIX:" + m_Directory.File("usbmuxd"), &error)) return;
    setenv("USBMUXD_SOCKET_ADDRESS", m_Daemon.SocketAddress().c_str(), 1);
    g_Daemon = &m_Daemon;
  }
  void TearDown() override {
    g_Daemon = nullptr;
    m_Daemon.Stop();
  }

 private:
  kvx_test::TemporaryDirectory m_Directory{"kvx-capi"};
  kvx_sim::UsbmuxdSimulator m_Daemon;
};

[[maybe_unused]] ::testing::Environment* const g_Environment =
    ::testing::AddGlobalTestEnvironment(new DaemonEnvironment);

// A stream keeps why it ended, for TCP over loopback and for tunnels through
// the real usbmux client library and the simulated daemon.
TEST_F(CApiDevice, AnEndedStreamTellsWhy) {
  AppSimulator closed;  // started then stopped: its port refuses
  const int closed_port = closed.Start();
  closed.Stop();
  AppSimConfig refuses_token = StreamingApp(1, 10);
  refuses_token.require_auth = true;
  refuses_token.auth_verifier = [](const std::string&) { return false; };
  AppSimConfig not_found = StreamingApp(1, 10), html = StreamingApp(1, 10);
  not_found.misbehaviour = kvx_sim::Misbehaviour::kStatus404;
  html.content_type_override = "text/html";
  const uint32_t tunnel_device = g_Daemon ? g_Daemon->AddDevice("capi-why", 0x1290) : 0;
  struct Case {
    const char* what;
    std::string url;
    uint32_t handle;
    int32_t result;
    int32_t status;
    std::string type;
  };
  const std::vector<Case> cases = {
      {"refused", LoopbackUrl(closed_port), 0, -20402 /* CONNECTION_REFUSED */, 0, ""},
      {"404", LoopbackUrl(StartApp(not_found).Port()), 0, -1, 404, ""},
      {"403", LoopbackUrl(StartApp(refuses_token).Port()), 0, -1, 403, ""},
      {"html", LoopbackUrl(StartApp(html).Port()), 0, -20000 /* INVALID_PARAMETERS */, 200, "text/html"},
      {"ended", LoopbackUrl(StartApp(StreamingApp(2, 10)).Port()), 0, -20302 /* EOS */, 200,
       "multipart/x-mixed-replace; boundary=frame"},
      // The daemon refuses the unmapped port, and a handle it does not know.
      {"tunnel refused", "http://capi-why:8099/", tunnel_device, -(22000 + ECONNREFUSED), 0, ""},
      {"no such device", "http://capi-why:8099/", 999, -(22000 + ENODEV), 0, ""},
  };
  for (const Case& c : cases) {
    if (c.handle != 0 && (!g_LibraryPresent || tunnel_device == 0)) continue;
    const char* url = c.url.c_str();
    kvx_device* device = kvx_device_create(&url, 1, (int32_t)c.handle);
    m_Devices.push_back(device);
    DeviceRecord record;
    kvx_device_set_callbacks(device, RecordFrame, RecordDisconnection, &record);
    EXPECT_EQ(kvx_device_has_ended(device), 0) << c.what;
    ASSERT_EQ(kvx_device_start(device, "why"), 0);
    ASSERT_TRUE(WaitUntil([&] { return record.disconnections.load() == 1; }, 20000)) << c.what;
    EXPECT_EQ(kvx_device_has_ended(device), 1) << c.what;
    EXPECT_EQ(kvx_device_get_last_result(device), c.result) << c.what;
    EXPECT_EQ(kvx_device_get_http_status(device), c.status) << c.what;
    char type[16];
    EXPECT_EQ(kvx_device_get_content_type(device, type, sizeof(type)), (int32_t)c.type.size()) << c.what;
    EXPECT_EQ(std::string(type), c.type.substr(0, sizeof(type) - 1)) << c.what;
  }
}

struct DiscoveryRecord {
  std::mutex mutex;
  std::vector<std::string> events;  // "found NAME HANDLE URL" / "removed URL"
  kvx_controller* controller = nullptr;
  std::function<void()> on_found_action;

  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
};

void RecordFound(void* context, const char* name, int32_t handle, const char* url) {
  auto* record = static_cast<DiscoveryRecord*>(context);
  {
    std::lock_guard<std::mutex> lock(record->mutex);
    record->events.push_back("found " + std::string(name) + " " + std::to_string(handle) + " " + url);
  }
  if (record->on_found_action) record->on_found_action();
}

void RecordRemoved(void* context, const char* url) {
  auto* record = static_cast<DiscoveryRecord*>(context);
  std::lock_guard<std::mutex> lock(record->mutex);
  record->events.push_back("removed " + std::string(url));
}

class CApiDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!g_LibraryPresent) GTEST_SKIP() << "the usbmux client library is not installed";
    ASSERT_NE(g_Daemon, nullptr);
  }
  void TearDown() override {
    for (kvx_controller* controller : m_Controllers) kvx_controller_destroy(controller);
    for (auto& app : m_Apps) app->Stop();
  }
  int StartNamedApp(const std::string& name) {
    AppSimConfig config;
    config.device_name = name;
    m_Apps.emplace_back(new AppSimulator(config));
    int port = m_Apps.back()->Start();
    EXPECT_GT(port, 0);
    return port;
  }
  kvx_controller* Create() {
    kvx_controller* controller = kvx_controller_create();
    EXPECT_NE(controller, nullptr);
    if (controller) m_Controllers.push_back(controller);
    return controller;
  }
  std::vector<std::unique_ptr<AppSimulator>> m_Apps;
  std::vector<kvx_controller*> m_Controllers;
};

TEST_F(CApiDiscovery, AFoundAppIsReportedWithNameHandleAndUrlAndRemovedOnDetach) {
  int port = StartNamedApp("Phone \xC3\xA9");
  ASSERT_TRUE(g_Daemon->MapPort("capi-a", 8099, (uint16_t)port));
  DiscoveryRecord record;
  kvx_controller* controller = Create();
  kvx_controller_set_callbacks(controller, RecordFound, RecordRemoved, &record);
  EXPECT_STREQ(kvx_result_name(kvx_controller_start(controller)), "NPT_ERROR_INVALID_STATE");
  uint32_t handle = g_Daemon->AddDevice("capi-a", 0x1292);
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(WaitUntil([&] { return record.Events().size() >= 1; }, 30000));
  EXPECT_EQ(record.Events()[0], "found Phone \xC3\xA9 " + std::to_string(handle) + " http://capi-a:8099/");
  ASSERT_TRUE(g_Daemon->Detach("capi-a"));
  ASSERT_TRUE(WaitUntil([&] { return record.Events().size() >= 3; }, 30000));
  std::vector<std::string> events = record.Events();
  EXPECT_EQ(events[1], "removed http://capi-a:8099/");
  EXPECT_EQ(events[2], "removed http://capi-a:8100/");
}

// The controller runs from creation on: callbacks set after an app was found
// hear it all the same, once, on the dispatcher.
TEST_F(CApiDiscovery, CallbacksSetLateHearTheAppsAlreadyFoundOnce) {
  int port = StartNamedApp("Early");
  ASSERT_TRUE(g_Daemon->MapPort("capi-b", 8099, (uint16_t)port));
  kvx_controller* controller = Create();
  uint32_t handle = g_Daemon->AddDevice("capi-b", 0x1290);
  ASSERT_NE(handle, 0u);
  // The probe's HTTP connection is closed, its kept tunnel stays: the app is
  // announced (or about to be).
  ASSERT_TRUE(WaitUntil([&] { return m_Apps[0]->RequestCount() >= 1 && m_Apps[0]->ConnectionsOpen() == 1; }, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  DiscoveryRecord record;
  kvx_controller_set_callbacks(controller, RecordFound, RecordRemoved, &record);
  ASSERT_TRUE(WaitUntil([&] { return record.Events().size() >= 1; }, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));  // two more passes
  ASSERT_TRUE(g_Daemon->Detach("capi-b"));
  ASSERT_TRUE(WaitUntil([&] { return record.Events().size() >= 3; }, 30000));
  std::vector<std::string> expected = {"found Early " + std::to_string(handle) + " http://capi-b:8099/",
                                       "removed http://capi-b:8099/", "removed http://capi-b:8100/"};
  EXPECT_EQ(record.Events(), expected);
}

// Once kvx_controller_abort has returned no on_found runs, not even for apps
// found before and still queued behind a slow callback.
TEST_F(CApiDiscovery, NoFoundNotificationRunsAfterAbortReturns) {
  ASSERT_TRUE(g_Daemon->MapPort("capi-q", 8099, (uint16_t)StartNamedApp("Held")));
  ASSERT_TRUE(g_Daemon->MapPort("capi-q", 8100, (uint16_t)StartNamedApp("Queued")));
  DiscoveryRecord record;
  std::atomic<bool> release{false}, abort_returned{false};
  std::atomic<int> found_after_abort{0};
  record.on_found_action = [&] {
    if (abort_returned) ++found_after_abort;
    WaitUntil([&] { return release.load(); }, 30000);
  };
  kvx_controller* controller = Create();
  kvx_controller_set_callbacks(controller, RecordFound, RecordRemoved, &record);
  ASSERT_NE(g_Daemon->AddDevice("capi-q", 0x1290), 0u);
  // The first app's notification is held; the second one's queues behind it
  // within the same pass.
  ASSERT_TRUE(WaitUntil([&] { return record.Events().size() >= 1; }, 30000));
  ASSERT_TRUE(WaitUntil([&] { return m_Apps[1]->RequestCount() >= 1; }, 30000));
  std::thread aborter([&] {
    kvx_controller_abort(controller);
    abort_returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  release = true;
  aborter.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(found_after_abort.load(), 0);
  EXPECT_EQ(record.Events().size(), 1u);
}

TEST_F(CApiDiscovery, AbortAndDestroyFromACallbackAreRefusedInsteadOfHanging) {
  int port = StartNamedApp("Self");
  ASSERT_TRUE(g_Daemon->MapPort("capi-c", 8099, (uint16_t)port));
  DiscoveryRecord record;
  std::atomic<bool> returned{false};
  kvx_controller* controller = Create();
  record.controller = controller;
  record.on_found_action = [&] {
    kvx_controller_abort(record.controller);
    kvx_controller_destroy(record.controller);
    // Replacing the callbacks from inside one is allowed.
    kvx_controller_set_callbacks(record.controller, RecordFound, RecordRemoved, &record);
    returned = true;
  };
  kvx_controller_set_callbacks(controller, RecordFound, RecordRemoved, &record);
  ASSERT_NE(g_Daemon->AddDevice("capi-c", 0x1290), 0u);
  ASSERT_TRUE(WaitUntil([&] { return returned.load(); }, 30000));
  ASSERT_TRUE(g_Daemon->Detach("capi-c"));
  // The controller still works: the detach is reported.
  ASSERT_TRUE(WaitUntil([&] { return record.Events().size() >= 3; }, 30000));
  kvx_controller_abort(controller);
  kvx_controller_abort(controller);  // later calls return at once
}

TEST_F(CApiDiscovery, DestroyWhileDetachEventsArriveNeverReachesADeletedBridge) {
  int port = StartNamedApp("Churn");
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    int n = 0;
    while (!stop.load()) {
      std::string id = "capi-churn-" + std::to_string(n++ % 4);
      g_Daemon->MapPort(id, 8099, (uint16_t)port);
      g_Daemon->AddDevice(id, 0x1290);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      g_Daemon->Detach(id);
    }
  });
  int threads_before = 0;
  for (int i = 0; i < 40; ++i) {
    DiscoveryRecord record;
    kvx_controller* controller = kvx_controller_create();
    ASSERT_NE(controller, nullptr);
    kvx_controller_set_callbacks(controller, RecordFound, RecordRemoved, &record);
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 5));
    if (i % 2) kvx_controller_abort(controller);
    kvx_controller_destroy(controller);  // record goes out of scope right after
    if (i == 0) threads_before = kvx_test::CountThreads();
  }
  stop = true;
  churn.join();
  EXPECT_LE(kvx_test::CountThreads(), threads_before + 1);
}

}  // namespace

// The kernel thread id of every notification, beside what it reported.
struct ThreadRecord {
  std::mutex mutex;
  std::vector<pid_t> tids;
  DiscoveryRecord record;
  void Note() {
    std::lock_guard<std::mutex> lock(mutex);
    tids.push_back((pid_t)syscall(SYS_gettid));
  }
};

// Every controller notification, a detach's removals included, runs on one
// thread that kvx_controller_destroy joins. A thread of the usbmux client
// library (its event thread lives as long as the process) would outlive the
// destroy; a managed runtime that entered it would wait for it at exit.
TEST_F(CApiDiscovery, ADetachIsHeardInOrderOnAThreadThatDestroyJoins) {
  int port = StartNamedApp("Joined");
  ASSERT_TRUE(g_Daemon->MapPort("capi-j", 8099, (uint16_t)port));
  ThreadRecord seen;
  kvx_found_callback on_found = [](void* context, const char* name, int32_t handle, const char* url) {
    static_cast<ThreadRecord*>(context)->Note();
    RecordFound(&static_cast<ThreadRecord*>(context)->record, name, handle, url);
  };
  kvx_removed_callback on_removed = [](void* context, const char* url) {
    static_cast<ThreadRecord*>(context)->Note();
    RecordRemoved(&static_cast<ThreadRecord*>(context)->record, url);
  };
  kvx_controller* controller = kvx_controller_create();
  ASSERT_NE(controller, nullptr);
  kvx_controller_set_callbacks(controller, on_found, on_removed, &seen);
  uint32_t handle = g_Daemon->AddDevice("capi-j", 0x1291);
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(WaitUntil([&] { return seen.record.Events().size() >= 1; }, 30000));
  ASSERT_TRUE(g_Daemon->Detach("capi-j"));
  ASSERT_TRUE(WaitUntil([&] { return seen.record.Events().size() >= 3; }, 30000));
  kvx_controller_destroy(controller);
  std::vector<std::string> expected = {"found Joined " + std::to_string(handle) + " http://capi-j:8099/",
                                       "removed http://capi-j:8099/", "removed http://capi-j:8100/"};
  EXPECT_EQ(seen.record.Events(), expected);
  std::lock_guard<std::mutex> lock(seen.mutex);
  ASSERT_EQ(seen.tids.size(), 3u);
  const pid_t self = (pid_t)syscall(SYS_gettid);
  for (pid_t tid : seen.tids) {
    EXPECT_EQ(tid, seen.tids[0]) << "one dispatcher thread for every notification";
    EXPECT_NE(tid, self);
  }
  // Joined by the destroy: the task is gone from this process.
  std::string task = "/proc/self/task/" + std::to_string(seen.tids[0]);
  EXPECT_NE(access(task.c_str(), F_OK), 0) << "the thread that ran the removals outlives the controller";
}

// A controller tells whether it reaches the daemon, and when that changes:
// here the daemon's socket goes away and comes back.
TEST_F(CApiDiscovery, TheStateFollowsTheDaemonGoingAndComingBack) {
  struct States {
    std::mutex mutex;
    std::vector<int32_t> seen;
  } states;
  kvx_controller* controller = Create();
  kvx_controller_set_state_callback(
      controller,
      [](void* context, int32_t state) {
        auto* record = static_cast<States*>(context);
        std::lock_guard<std::mutex> lock(record->mutex);
        record->seen.push_back(state);
      },
      &states);
  EXPECT_STREQ(kvx_controller_get_daemon_address(controller), g_Daemon->SocketAddress().c_str());
  ASSERT_TRUE(WaitUntil([&] { return kvx_controller_get_state(controller) == KVX_CONTROLLER_CONNECTED; }, 8000));
  g_Daemon->StopListener();
  EXPECT_TRUE(WaitUntil([&] { return kvx_controller_get_state(controller) == KVX_CONTROLLER_DAEMON_UNREACHABLE; },
                        15000));
  EXPECT_EQ(kvx_controller_get_daemon_error(controller), -(22000 + ENOENT)) << "no socket file at the address";
  std::string error;
  ASSERT_TRUE(g_Daemon->RestartListener(&error)) << error;
  EXPECT_TRUE(WaitUntil([&] { return kvx_controller_get_state(controller) == KVX_CONTROLLER_CONNECTED; }, 8000));
  EXPECT_EQ(kvx_controller_get_daemon_error(controller), 0);
  EXPECT_TRUE(WaitUntil([&] { std::lock_guard<std::mutex> lock(states.mutex); return states.seen.size() >= 2; },
                        5000));
  std::lock_guard<std::mutex> lock(states.mutex);
  const std::vector<int32_t> tail(states.seen.end() - 2, states.seen.end());
  EXPECT_EQ(tail, (std::vector<int32_t>{KVX_CONTROLLER_DAEMON_UNREACHABLE, KVX_CONTROLLER_CONNECTED}));
}

// A slow callback holds up only its controller's later notifications: the
// usbmux event thread queues the detach and moves on, so another
// controller hears the same detach meanwhile.
TEST_F(CApiDiscovery, ASlowCallbackDoesNotHoldUpTheUsbmuxEventThread) {
  int port = StartNamedApp("Slow");
  ASSERT_TRUE(g_Daemon->MapPort("capi-s", 8099, (uint16_t)port));
  DiscoveryRecord slow, quick;
  std::atomic<bool> release{false};
  slow.on_found_action = [&] { WaitUntil([&] { return release.load(); }, 60000); };
  kvx_controller* blocked = Create();
  kvx_controller* other = Create();
  kvx_controller_set_callbacks(blocked, RecordFound, RecordRemoved, &slow);
  kvx_controller_set_callbacks(other, RecordFound, RecordRemoved, &quick);
  ASSERT_NE(g_Daemon->AddDevice("capi-s", 0x1290), 0u);
  ASSERT_TRUE(WaitUntil([&] { return slow.Events().size() >= 1 && quick.Events().size() >= 1; }, 30000));
  ASSERT_TRUE(g_Daemon->Detach("capi-s"));
  // Well before the slow callback is released (it waits for the release).
  EXPECT_TRUE(WaitUntil([&] { return quick.Events().size() >= 3; }, 30000))
      << "a detach waited for another controller's callback";
  EXPECT_EQ(slow.Events().size(), 1u);
  release = true;
  ASSERT_TRUE(WaitUntil([&] { return slow.Events().size() >= 3; }, 30000));
  EXPECT_EQ(slow.Events()[1], "removed http://capi-s:8099/");
}
