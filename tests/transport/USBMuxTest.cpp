// The usbmux binding over the test double of the client library: loading,
// lazy resolution, pass-through of results, and event delivery.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../doubles/usbmuxd_double/UsbmuxdDouble.h"
#include "KvxUSBMux.h"
#include "TestSupport.h"

// Reaches the binding's private state: the cached entries, and the library
// (to swap it under a binding whose lookup failed).
class KVX_USBMuxTestAccess {
 public:
  static void* Unsubscribe(KVX_USBMux& mux) { return mux.m_Unsubscribe.load(); }
  static void* Connect(KVX_USBMux& mux) { return mux.m_Connect.load(); }
  static bool HasLibrary(KVX_USBMux& mux) { return mux.m_Library != nullptr; }
  static NPT_DynamicLibrary* SwapLibrary(KVX_USBMux& mux, NPT_DynamicLibrary* library) {
    NPT_DynamicLibrary* previous = mux.m_Library;
    mux.m_Library = library;
    return previous;
  }
};

namespace {

std::string DoublePath() { return kvx_test::UsbmuxdDoublePath(); }
std::string NoUnsubscribePath() {
  return kvx_test::UsbmuxdDoubleNoUnsubscribePath();
}

using Listener = kvx_test::LoopbackListener;

bool IsOpenDescriptor(int fd) { return fcntl(fd, F_GETFD) != -1; }

class USBMuxTest : public ::testing::Test {
 protected:
  USBMuxTest() : m_Double(DoublePath()) {}
  void SetUp() override {
    ASSERT_TRUE(m_Double.IsLoaded()) << DoublePath();
    m_Double.reset();
  }
  void TearDown() override {
    if (m_Double.IsLoaded()) m_Double.reset();
  }
  KvxUsbmuxdDouble m_Double;
};

// What a subscriber saw, recorded from the library's thread.
struct Recorder {
  struct Seen {
    int kind;
    uint32_t handle;
    uint32_t product_id;
    std::string udid;
    bool on_double_thread;
    std::thread::id thread;
  };
  std::mutex mutex;
  std::vector<Seen> events;
  KvxUsbmuxdDouble* controls = nullptr;

  static void Callback(const usbmuxd_event_t* event, void* user_data) {
    Recorder* self = static_cast<Recorder*>(user_data);
    Seen seen = {event->event,
                 event->device.handle,
                 event->device.product_id,
                 std::string(event->device.udid),
                 self->controls->is_event_thread() == 1,
                 std::this_thread::get_id()};
    std::lock_guard<std::mutex> lock(self->mutex);
    self->events.push_back(seen);
  }
  std::vector<Seen> Snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
};

void IgnoreEvent(const usbmuxd_event_t*, void*) {}

TEST(USBMuxWithoutLibraryTest, EveryOperationFailsCleanly) {
  KVX_USBMux mux("/nonexistent/libusbmuxd-missing.so.6");
  EXPECT_FALSE(KVX_USBMuxTestAccess::HasLibrary(mux));
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(mux.Connect(1, 8099), NPT_RESULT_FAILURE);
    EXPECT_EQ(mux.Subscribe(&IgnoreEvent, nullptr), NPT_RESULT_FAILURE);
    EXPECT_EQ(mux.Unsubscribe(), NPT_RESULT_FAILURE);
    EXPECT_EQ(mux.Disconnect(5), NPT_RESULT_SUCCESS);
  }
}

// The default instance loaded the first installed library when kvx was
// loaded (before this test ran), or runs without one.
TEST(USBMuxDefaultTest, LoadedAtStartUpFromTheFirstNameThatLoads) {
  const char* const names[] = {"libusbmuxd-2.0.so.6", "libusbmuxd.so.6", "libusbmuxd.so.4"};
  KVX_USBMux& mux = KVX_USBMux::GetDefault();
  EXPECT_EQ(&mux, &KVX_USBMux::GetDefault());

  bool resident[3];
  for (int i = 0; i < 3; ++i) {
    void* handle = dlopen(names[i], RTLD_LAZY | RTLD_NOLOAD);
    resident[i] = handle != nullptr;
    if (handle) dlclose(handle);
  }
  int first_available = -1;
  for (int i = 0; i < 3 && first_available < 0; ++i) {
    void* handle = dlopen(names[i], RTLD_LAZY);
    if (handle) {
      first_available = i;
      dlclose(handle);
    }
  }
  EXPECT_EQ(KVX_USBMuxTestAccess::HasLibrary(mux), first_available >= 0);
  if (first_available >= 0) {
    EXPECT_TRUE(resident[first_available]) << names[first_available];
  }

  // Point the real library at a socket that does not exist so that no daemon
  // on this machine is reached: it then fails with its own result, -ENOENT.
  setenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/kvx-usbmuxd", 1);
  EXPECT_EQ(mux.Connect(12345, 8099), first_available >= 0 ? -ENOENT : NPT_RESULT_FAILURE);
  unsetenv("USBMUXD_SOCKET_ADDRESS");
  EXPECT_EQ(mux.Disconnect(-1), NPT_RESULT_SUCCESS);
}

TEST_F(USBMuxTest, ConnectHandsHandleAndPortUnchangedAndReturnsTheTunnel) {
  Listener app;
  ASSERT_TRUE(app.IsOpen());
  m_Double.attach(7, 0x1291, "device-7");
  m_Double.map_port(7, 8100, app.Port());

  KVX_USBMux mux(DoublePath().c_str());
  int fd = mux.Connect(7, 8100);
  ASSERT_GT(fd, 0);
  EXPECT_EQ(m_Double.last_connect_handle(), 7u);
  EXPECT_EQ(m_Double.last_connect_port(), 8100);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);

  int peer = app.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_EQ(write(fd, "ping", 4), 4);
  char buffer[8] = {0};
  ASSERT_EQ(read(peer, buffer, sizeof(buffer)), 4);
  EXPECT_STREQ(buffer, "ping");

  // Disconnect leaves the tunnel to its owner: still open and usable.
  EXPECT_EQ(mux.Disconnect(fd), NPT_RESULT_SUCCESS);
  ASSERT_TRUE(IsOpenDescriptor(fd));
  EXPECT_EQ(write(fd, "pong", 4), 4);
  close(fd);
}

TEST_F(USBMuxTest, LibraryFailuresPassThroughUnchanged) {
  Listener app;
  ASSERT_TRUE(app.IsOpen());
  m_Double.attach(3, 0x1292, "device-3");
  m_Double.map_port(3, 8099, app.Port());

  KVX_USBMux mux(DoublePath().c_str());
  struct Case {
    int handle;
    uint16_t port;
    int forced;
    int expected;
  } cases[] = {
      {99, 8099, 0, -ENODEV},       // unknown device
      {3, 8100, 0, -ECONNREFUSED},  // nothing mapped at that port
      {3, 8099, -EBADF, -EBADF},    // the library's own failure
  };
  for (const Case& c : cases) {
    m_Double.set_connect_result(c.forced);
    EXPECT_EQ(mux.Connect(c.handle, c.port), c.expected) << c.handle << ":" << c.port;
  }
  m_Double.set_connect_result(0);

  // A mapped port whose listener has gone: the refusal comes back as is.
  uint16_t gone_port = 0;
  {
    Listener gone;
    ASSERT_TRUE(gone.IsOpen());
    gone_port = gone.Port();
  }
  m_Double.map_port(3, 8101, gone_port);
  EXPECT_EQ(mux.Connect(3, 8101), -ECONNREFUSED);
}

TEST_F(USBMuxTest, DisconnectReturnsZeroAndClosesNothing) {
  KVX_USBMux mux(DoublePath().c_str());
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const int arguments[] = {-1, 0, 1 << 20, pipe_fds[0], pipe_fds[1]};
  for (int fd : arguments) EXPECT_EQ(mux.Disconnect(fd), NPT_RESULT_SUCCESS) << fd;
  EXPECT_TRUE(IsOpenDescriptor(pipe_fds[0]));
  EXPECT_EQ(write(pipe_fds[1], "x", 1), 1);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  EXPECT_EQ(m_Double.connect_count(), 0);
}

// A missing entry is not remembered as missing: the lookup is made again on
// the next call, which succeeds once a library that has the entry is there.
TEST(USBMuxMissingSymbolTest, WorksWithoutUnsubscribeAndRetriesTheLookup) {
  KvxUsbmuxdDouble controls(NoUnsubscribePath());
  ASSERT_TRUE(controls.IsLoaded());
  controls.reset();
  Listener app;
  ASSERT_TRUE(app.IsOpen());
  controls.attach(4, 0x1293, "device-4");
  controls.map_port(4, 8099, app.Port());

  {
    KVX_USBMux mux(NoUnsubscribePath().c_str());
    int fd = mux.Connect(4, 8099);
    EXPECT_GT(fd, 0);
    if (fd > 0) close(fd);
    EXPECT_NE(KVX_USBMuxTestAccess::Connect(mux), nullptr);

    Recorder recorder;
    recorder.controls = &controls;
    EXPECT_EQ(mux.Subscribe(&Recorder::Callback, &recorder), 0);
    EXPECT_EQ(controls.wait_idle(20000), 0);
    EXPECT_EQ(recorder.Snapshot().size(), 1u);

    EXPECT_EQ(mux.Unsubscribe(), NPT_RESULT_FAILURE);
    EXPECT_EQ(KVX_USBMuxTestAccess::Unsubscribe(mux), nullptr);
    EXPECT_EQ(mux.Unsubscribe(), NPT_RESULT_FAILURE);

    // Put the full double under the binding: the next call looks again.
    KvxUsbmuxdDouble full(DoublePath());
    ASSERT_TRUE(full.IsLoaded());
    full.reset();
    NPT_DynamicLibrary* library = nullptr;
    ASSERT_EQ(NPT_DynamicLibrary::Load(DoublePath().c_str(), 0, library), NPT_SUCCESS);
    NPT_DynamicLibrary* previous = KVX_USBMuxTestAccess::SwapLibrary(mux, library);
    EXPECT_EQ(mux.Unsubscribe(), -EINVAL);  // reached the library: no subscription there
    EXPECT_EQ(full.unsubscribe_count(), 1);
    EXPECT_NE(KVX_USBMuxTestAccess::Unsubscribe(mux), nullptr);

    controls.reset();  // stops the first double's event thread
    KVX_USBMuxTestAccess::SwapLibrary(mux, previous);
    library->Unload();
    delete library;
  }
  // The subscribed binding kept its reference on the module; drop it so that
  // later tests in this process find the module as they expect.
  void* kept = dlopen(NoUnsubscribePath().c_str(), RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(kept, nullptr);
  dlclose(kept);
  dlclose(kept);
}

TEST_F(USBMuxTest, ConcurrentFirstConnectsResolveOnce) {
  Listener app;
  ASSERT_TRUE(app.IsOpen());
  m_Double.attach(5, 0x1294, "device-5");
  m_Double.map_port(5, 8100, app.Port());

  const int kThreads = 16;
  for (int round = 0; round < 5; ++round) {
    KVX_USBMux mux(DoublePath().c_str());  // fresh: nothing resolved yet
    std::atomic<bool> go(false);
    std::atomic<int> ready(0);
    std::vector<int> results(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        ready.fetch_add(1);
        while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
        results[i] = mux.Connect(5, 8100);
      });
    }
    while (ready.load() < kThreads) std::this_thread::yield();
    go.store(true, std::memory_order_release);
    for (std::thread& thread : threads) thread.join();

    for (int fd : results) {
      EXPECT_GT(fd, 0);
      if (fd > 0) close(fd);
    }
    for (int i = 0; i < kThreads; ++i) {
      ASSERT_GE(app.Accept(), 0);
    }
  }
  EXPECT_EQ(m_Double.connect_count(), 5 * kThreads);
  EXPECT_EQ(m_Double.last_connect_port(), 8100);
}

TEST_F(USBMuxTest, EventsArriveOnTheLibraryThreadWithTheRecordLayout) {
  const std::string long_udid(50, 'a');
  m_Double.attach(1, 0x1291, "00008030-001A2B3C4D5E6F70");  // before: replayed

  KVX_USBMux mux(DoublePath().c_str());
  Recorder recorder;
  recorder.controls = &m_Double;
  ASSERT_EQ(mux.Subscribe(&Recorder::Callback, &recorder), 0);
  ASSERT_EQ(m_Double.wait_idle(20000), 0);
  m_Double.attach(2, 0x12A8, long_udid.c_str());
  ASSERT_EQ(m_Double.detach(1), 0);
  EXPECT_EQ(m_Double.detach(77), -ENODEV);
  ASSERT_EQ(m_Double.wait_idle(20000), 0);

  std::vector<Recorder::Seen> seen = recorder.Snapshot();
  ASSERT_EQ(seen.size(), 3u);
  struct Expected {
    int kind;
    uint32_t handle;
    uint32_t product_id;
    std::string udid;
  } expected[] = {
      {KVX_USBMUX_EVENT_DEVICE_ADD, 1, 0x1291, "00008030-001A2B3C4D5E6F70"},
      {KVX_USBMUX_EVENT_DEVICE_ADD, 2, 0x12A8, std::string(43, 'a')},
      {KVX_USBMUX_EVENT_DEVICE_REMOVE, 1, 0x1291, "00008030-001A2B3C4D5E6F70"},
  };
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].kind, expected[i].kind);
    EXPECT_EQ(seen[i].handle, expected[i].handle);
    EXPECT_EQ(seen[i].product_id, expected[i].product_id);
    EXPECT_EQ(seen[i].udid, expected[i].udid);
    EXPECT_TRUE(seen[i].on_double_thread);
    EXPECT_NE(seen[i].thread, std::this_thread::get_id());
  }

  // Unsubscribing reports the devices still known as removed, on the caller's
  // thread, and nothing arrives afterwards.
  ASSERT_EQ(mux.Unsubscribe(), 0);
  seen = recorder.Snapshot();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[3].kind, KVX_USBMUX_EVENT_DEVICE_REMOVE);
  EXPECT_EQ(seen[3].handle, 2u);
  EXPECT_FALSE(seen[3].on_double_thread);
  EXPECT_EQ(seen[3].thread, std::this_thread::get_id());
  m_Double.attach(6, 0x1295, "device-6");
  ASSERT_EQ(m_Double.wait_idle(20000), 0);
  EXPECT_EQ(recorder.Snapshot().size(), 4u);
  EXPECT_EQ(m_Double.subscribe_count(), 1);
  EXPECT_EQ(m_Double.unsubscribe_count(), 1);
}

// A binding unloads its library when destroyed, unless it subscribed: the
// library's event thread then keeps running and its code must stay mapped.
TEST(USBMuxUnloadTest, UnloadsOnDestructionUnlessSubscribed) {
  const std::string path = NoUnsubscribePath();
  auto resident = [&path] {
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
  };
  ASSERT_FALSE(resident()) << "another holder keeps the double loaded";
  // Some loaders never unmap (a thread-sanitizer runtime keeps instrumented
  // modules); residency then says nothing about unloading.
  void* probe = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(probe, nullptr) << path;
  dlclose(probe);
  if (resident()) GTEST_SKIP() << "this loader keeps closed modules mapped";
  {
    KVX_USBMux mux(path.c_str());
    EXPECT_EQ(mux.Connect(1, 8099), -ENODEV);
    EXPECT_TRUE(resident());
  }
  EXPECT_FALSE(resident());

  {
    KVX_USBMux mux(path.c_str());
    EXPECT_EQ(mux.Subscribe(&IgnoreEvent, nullptr), 0);
  }
  ASSERT_TRUE(resident());
  // Stop the thread the subscription started and let the module go.
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  auto reset = reinterpret_cast<void (*)(void)>(dlsym(handle, "kvx_double_reset"));
  ASSERT_NE(reset, nullptr);
  reset();
  dlclose(handle);  // our NOLOAD reference
  dlclose(handle);  // the reference the subscribed binding kept
  EXPECT_FALSE(resident());
}

}  // namespace
