// KVX_Session through the real usbmux client library against the simulated
// daemon (the daemon fault suite's process set-up and fixture): it must keep
// to its device across a replug under a new handle, a kicked event
// connection, a daemon restart and an app restart; ignore another device with
// the same app name; deliver every frame whole and in order within each
// stream, each resumed stream from its first frame; abort and go promptly in
// every state; and leave nothing behind over many cycles.

#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DaemonFaults.h"
#include "FramePattern.h"
#include "KvxSession.h"
#include "TestSupport.h"

namespace kvx_daemon_faults {
namespace {

using kvx_discovery_test::WaitUntil;
using kvx_sim::AppSimConfig;
using kvx_sim::AppSimulator;

const size_t kFrameSize = 16 * 1024;

// One entry per report or frame, in the order the session made them.
struct Entry {
  bool frame;
  KVX_SessionStatus status;  // reports
  int64_t seq;               // frames: the pattern's number, -1 when damaged
  size_t size;
  Clock::time_point at;
};

class SessionProbe : public KVX_DeviceDelegate, public KVX_SessionListener {
 public:
  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char*) override {
    uint64_t seq = 0;
    const bool valid = kvx_sim::VerifyFrame(data, static_cast<size_t>(size), &seq);
    Add(Entry{true, KVX_SessionStatus(), valid ? static_cast<int64_t>(seq) : -1, static_cast<size_t>(size),
              Clock::now()});
  }
  void OnSessionState(const KVX_SessionStatus& status) override {
    Add(Entry{false, status, 0, 0, Clock::now()});
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Entries.clear();
  }
  std::vector<Entry> Entries() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Entries;
  }
  // Waits until the last report satisfies `done`; the index of that report.
  bool WaitForReport(const std::function<bool(const KVX_SessionStatus&)>& done, int timeout_ms, size_t from = 0) {
    return WaitUntil(
        [&] {
          std::vector<Entry> entries = Entries();
          for (size_t i = entries.size(); i > from; --i) {
            if (!entries[i - 1].frame) return done(entries[i - 1].status);
          }
          return false;
        },
        timeout_ms);
  }
  bool WaitForState(KVX_SessionState state, int timeout_ms, size_t from = 0) {
    return WaitForReport([state](const KVX_SessionStatus& s) { return s.state == state; }, timeout_ms, from);
  }
  size_t Frames() {
    size_t count = 0;
    for (const Entry& entry : Entries()) count += entry.frame ? 1 : 0;
    return count;
  }
  bool WaitForFrames(size_t count, int timeout_ms) {
    return WaitUntil([&] { return Frames() >= count; }, timeout_ms);
  }
  // The reports as "state/reason" words, e.g. "searching streaming
  // reconnecting/detached". A wait is told as its last reason: what the
  // session learns while it waits may only replace the reason with worse
  // news (a detach found to be a lost daemon), which is checked here.
  std::string States() {
    static const char* const kStates[] = {"idle", "searching", "streaming", "reconnecting", "ended"};
    static const char* const kReasons[] = {"", "/detached", "/removed", "/stream-ended", "/daemon", "/refused", "/aborted"};
    static const int kRank[] = {0, 3, 2, 1, 4, 1, 0};
    std::vector<KVX_SessionStatus> reports;
    for (const Entry& entry : Entries()) {
      if (entry.frame) continue;
      const KVX_SessionStatus& status = entry.status;
      if (!reports.empty() && reports.back().state == KVX_SESSION_STATE_RECONNECTING &&
          status.state == KVX_SESSION_STATE_RECONNECTING) {
        EXPECT_GT(kRank[status.reason], kRank[reports.back().reason]) << "a wait's reason got better";
        reports.back() = status;
        continue;
      }
      reports.push_back(status);
    }
    std::string text;
    for (const KVX_SessionStatus& status : reports) {
      text += (text.empty() ? "" : " ") + std::string(kStates[status.state]) + kReasons[status.reason];
    }
    return text;
  }

 private:
  void Add(Entry&& entry) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Entries.push_back(std::move(entry));
  }
  std::mutex m_Mutex;
  std::vector<Entry> m_Entries;
};

// Every stream (the frames after a streaming report) starts at frame 0 and
// goes on 1, 2, ... with whole frames: none torn, duplicated or skipped
// across a resume. The number of streams that delivered frames.
int ExpectWholeStreams(const std::vector<Entry>& entries) {
  int streams = 0;
  int64_t next = -1;  // no stream yet
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    if (!entry.frame) {
      if (entry.status.state == KVX_SESSION_STATE_STREAMING) {
        next = 0;
        ++streams;
      }
      continue;
    }
    EXPECT_NE(next, -1) << "entry " << i << ": a frame before any streaming report";
    EXPECT_EQ(entry.seq, next) << "entry " << i << ", stream " << streams;
    EXPECT_EQ(entry.size, kFrameSize) << "entry " << i;
    next = entry.seq + 1;
  }
  return streams;
}

// Milliseconds from `since` to the first frame after it.
long FirstFrameAfter(const std::vector<Entry>& entries, Clock::time_point since) {
  for (const Entry& entry : entries) {
    if (entry.frame && entry.at >= since) {
      return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(entry.at - since).count());
    }
  }
  return -1;
}

long ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  }
  return -1;
}

class SessionTest : public DaemonFaultTest {
 protected:
  void TearDown() override {
    m_Session.reset();
    DaemonFaultTest::TearDown();
  }

  static AppSimConfig Streaming(const std::string& name) {
    AppSimConfig config = Named(name);
    config.frame_count = 0;
    config.frame_size = kFrameSize;
    config.frames_per_second = 50;
    config.frame_content_type = "image/rgb";
    return config;
  }
  KVX_Session& NewSession(const char* device) {
    g_Subscribed = true;
    m_Session.reset(new KVX_Session(device, "session-test"));
    m_Session->SetDelegate(&m_Probe);
    m_Session->SetListener(&m_Probe);
    EXPECT_EQ(m_Session->Start(), NPT_SUCCESS);
    return *m_Session;
  }
  // Attaches `identifier` with `app` and waits until the session streams
  // from it; the handle.
  int AttachAndStream(const std::string& identifier, AppSimulator& app) {
    const size_t from = m_Probe.Entries().size();
    const int handle = static_cast<int>(AttachWithApp(identifier, app));
    EXPECT_NE(handle, 0);
    EXPECT_TRUE(m_Probe.WaitForReport(
        [&](const KVX_SessionStatus& s) { return s.state == KVX_SESSION_STATE_STREAMING && s.handle == handle; }, 30000,
        from))
        << m_Probe.States();
    return handle;
  }

  SessionProbe m_Probe;
  std::unique_ptr<KVX_Session> m_Session;
};

TEST_F(SessionTest, AReplugUnderANewHandleResumesOnTheSameDevice) {
  AppSimulator& app = StartApp(Streaming("Alpha"));
  NewSession("Alpha");
  const int first = AttachAndStream("alpha", app);
  ASSERT_TRUE(m_Probe.WaitForFrames(10, 30000));

  for (int replug = 0; replug < 2; ++replug) {
    ASSERT_TRUE(g_Daemon->Detach("alpha"));
    ASSERT_TRUE(m_Probe.WaitForState(KVX_SESSION_STATE_RECONNECTING, 30000)) << m_Probe.States();
    const Clock::time_point attached = Clock::now();
    const int handle = AttachAndStream("alpha", app);
    EXPECT_NE(handle, first);
    const size_t frames = m_Probe.Frames();
    ASSERT_TRUE(m_Probe.WaitForFrames(frames + 5, 30000));
    printf("replug %d: first frame %ld ms after the attach (handle %d)\n", replug,
           FirstFrameAfter(m_Probe.Entries(), attached), handle);
  }
  KVX_SessionStatus status;
  m_Session->GetStatus(status);
  EXPECT_EQ(std::string(status.url.GetChars()), "http://alpha:8099/");
  EXPECT_EQ(std::string(status.identifier.GetChars()), "alpha");
  EXPECT_EQ(status.streams, 3u);
  EXPECT_EQ(m_Probe.States(),
            "searching streaming reconnecting/detached streaming reconnecting/detached streaming");
  EXPECT_EQ(ExpectWholeStreams(m_Probe.Entries()), 3);
}

// The library loses its event connection and reconnects at once: discovery
// reports the apps removed and found again, but the stream's own tunnel is
// untouched and the session keeps streaming.
TEST_F(SessionTest, AKickedEventConnectionLeavesTheStreamRunning) {
  AppSimulator& app = StartApp(Streaming("Alpha"));
  NewSession("alpha");  // by identifier
  AttachAndStream("alpha", app);
  ASSERT_TRUE(m_Probe.WaitForFrames(5, 30000));
  for (int kick = 0; kick < 2; ++kick) {
    g_Daemon->DropListenConnections();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  }
  const size_t frames = m_Probe.Frames();
  ASSERT_TRUE(m_Probe.WaitForFrames(frames + 20, 30000));
  EXPECT_EQ(m_Probe.States(), "searching streaming");
  EXPECT_EQ(ExpectWholeStreams(m_Probe.Entries()), 1);
}

TEST_F(SessionTest, ADaemonRestartIsReportedAndTheStreamResumes) {
  AppSimulator& app = StartApp(Streaming("Alpha"));
  NewSession("");  // the first app found
  AttachAndStream("alpha", app);
  ASSERT_TRUE(m_Probe.WaitForFrames(5, 30000));

  g_Daemon->StopListener();
  g_Daemon->DropAllConnections();
  ASSERT_TRUE(m_Probe.WaitForReport(
      [](const KVX_SessionStatus& s) { return s.reason == KVX_SESSION_REASON_DAEMON_LOST; }, 30000))
      << m_Probe.States();
  ASSERT_TRUE(g_Daemon->RestartListener());
  const Clock::time_point back = Clock::now();
  const size_t from = m_Probe.Entries().size();
  ASSERT_TRUE(m_Probe.WaitForState(KVX_SESSION_STATE_STREAMING, 30000, from)) << m_Probe.States();
  ASSERT_TRUE(m_Probe.WaitForFrames(m_Probe.Frames() + 5, 30000));
  printf("first frame %ld ms after the daemon came back\n", FirstFrameAfter(m_Probe.Entries(), back));
  EXPECT_EQ(m_Probe.States(), "searching streaming reconnecting/daemon streaming");
  EXPECT_EQ(ExpectWholeStreams(m_Probe.Entries()), 2);
}

// The app goes away on a device that stays attached, and comes back (on
// another loopback port behind the same device ports).
TEST_F(SessionTest, AnAppStoppedAndStartedAgainIsFollowed) {
  AppSimulator& app = StartApp(Streaming("Alpha"));
  NewSession("Alpha");
  AttachAndStream("alpha", app);
  ASSERT_TRUE(m_Probe.WaitForFrames(5, 30000));

  app.Stop();
  // The stream ends at once; discovery gives the app up after its failed
  // probes.
  ASSERT_TRUE(m_Probe.WaitForReport(
      [](const KVX_SessionStatus& s) { return s.reason == KVX_SESSION_REASON_REMOVED; }, 30000))
      << m_Probe.States();
  AppSimulator& again = StartApp(Streaming("Alpha"));
  const Clock::time_point started = Clock::now();
  const size_t from = m_Probe.Entries().size();
  ASSERT_TRUE(g_Daemon->MapPort("alpha", 8099, static_cast<uint16_t>(again.Port())));
  ASSERT_TRUE(g_Daemon->MapPort("alpha", 8100, static_cast<uint16_t>(again.Port())));
  ASSERT_TRUE(m_Probe.WaitForState(KVX_SESSION_STATE_STREAMING, 30000, from)) << m_Probe.States();
  ASSERT_TRUE(m_Probe.WaitForFrames(m_Probe.Frames() + 5, 30000));
  printf("first frame %ld ms after the app started again\n", FirstFrameAfter(m_Probe.Entries(), started));
  EXPECT_EQ(m_Probe.States(), "searching streaming reconnecting/removed streaming");
  EXPECT_EQ(ExpectWholeStreams(m_Probe.Entries()), 2);
}

TEST_F(SessionTest, AnotherDeviceWithTheSameAppNameIsNotTaken) {
  AppSimulator& twin = StartApp(Streaming("Twin"));
  AppSimulator& other = StartApp(Streaming("Twin"));
  NewSession("twin");
  const int handle = AttachAndStream("alpha", twin);
  ASSERT_TRUE(m_Probe.WaitForFrames(5, 30000));
  ASSERT_NE(AttachWithApp("beta", other), 0u);

  ASSERT_TRUE(g_Daemon->Detach("alpha"));
  ASSERT_TRUE(m_Probe.WaitForState(KVX_SESSION_STATE_RECONNECTING, 30000)) << m_Probe.States();
  // Long enough for discovery to have found beta's app (a pass a second).
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  EXPECT_EQ(m_Probe.States(), "searching streaming reconnecting/detached");
  EXPECT_EQ(other.FramesSent(), 0u);
  EXPECT_GT(other.RequestCount(), 0u) << "beta's app was never probed: the wait proves nothing";

  const int again = AttachAndStream("alpha", twin);
  EXPECT_NE(again, handle);
  KVX_SessionStatus status;
  m_Session->GetStatus(status);
  EXPECT_EQ(std::string(status.url.GetChars()), "http://alpha:8099/");
  EXPECT_EQ(other.FramesSent(), 0u);
}

// Abort and destruction return promptly in every state, the last report is
// "ended (aborted)", and nothing is called afterwards.
TEST_F(SessionTest, AbortAndDestructionArePromptInEveryState) {
  struct Case {
    const char* name;
    // Brings the session (created unstarted when `start` is false) into the
    // state; returns the state the session must report then.
    std::function<KVX_SessionState()> setup;
    bool start;
  };
  // Each case's device, detached after it so that the next session cannot
  // find it.
  std::vector<std::string> attached;
  auto attach_app = [&attached, this](AppSimConfig config) {
    AppSimulator& app = StartApp(config);
    const std::string identifier = "abort-" + std::to_string(attached.size());
    EXPECT_NE(AttachWithApp(identifier, app), 0u);
    attached.push_back(identifier);
    return identifier;
  };
  const std::vector<Case> cases = {
      {"idle", []() { return KVX_SESSION_STATE_IDLE; }, false},
      {"searching", []() { return KVX_SESSION_STATE_SEARCHING; }, true},
      {"streaming",
       [&]() {
         attach_app(Streaming("Abort"));
         EXPECT_TRUE(m_Probe.WaitForFrames(1, 30000));
         return KVX_SESSION_STATE_STREAMING;
       },
       true},
      {"reconnecting",
       [&]() {
         const std::string identifier = attach_app(Streaming("Abort"));
         EXPECT_TRUE(m_Probe.WaitForFrames(1, 30000));
         g_Daemon->Detach(identifier);
         EXPECT_TRUE(m_Probe.WaitForState(KVX_SESSION_STATE_RECONNECTING, 30000));
         return KVX_SESSION_STATE_RECONNECTING;
       },
       true},
      {"refused (404)",
       [&]() {
         // Found through a redirect to a path the app then refuses.
         AppSimConfig config = Streaming("Abort");
         config.accepted_path = "/";
         config.redirect_location = "/missing";
         attach_app(config);
         EXPECT_TRUE(m_Probe.WaitForReport(
             [](const KVX_SessionStatus& s) { return s.reason == KVX_SESSION_REASON_REFUSED && s.http_status == 404; },
             30000))
             << m_Probe.States();
         return KVX_SESSION_STATE_SEARCHING;
       },
       true},
      {"retrying (200 that is no image stream)",
       [&]() {
         AppSimConfig config = Streaming("Abort");
         config.misbehaviour = kvx_sim::Misbehaviour::kTextPlain;
         attach_app(config);
         // Found, tried and retried a few times by now.
         std::this_thread::sleep_for(std::chrono::milliseconds(4000));
         return KVX_SESSION_STATE_SEARCHING;
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_Probe.Clear();
    g_Subscribed = true;
    m_Session.reset(new KVX_Session("Abort", "session-test"));
    m_Session->SetDelegate(&m_Probe);
    m_Session->SetListener(&m_Probe);
    if (c.start) {
      ASSERT_EQ(m_Session->Start(), NPT_SUCCESS);
      ASSERT_TRUE(m_Probe.WaitForState(KVX_SESSION_STATE_SEARCHING, 30000));
    }
    const KVX_SessionState state = c.setup();
    KVX_SessionStatus status;
    m_Session->GetStatus(status);
    EXPECT_EQ(status.state, state) << m_Probe.States();

    const Clock::time_point stopping = Clock::now();
    m_Session->Abort();
    const long aborted = ElapsedMs(stopping);
    m_Session.reset();
    const long destroyed = ElapsedMs(stopping);
    printf("%s: abort %ld ms, abort and destruction %ld ms\n", c.name, aborted, destroyed);
    EXPECT_LT(aborted, 100);
    // A hang bound; the figures are printed above.
    EXPECT_LT(destroyed, 5000);
    const std::vector<Entry> entries = m_Probe.Entries();
    if (c.start) {
      ASSERT_FALSE(entries.empty());
      EXPECT_EQ(entries.back().frame, false);
      EXPECT_EQ(entries.back().status.state, KVX_SESSION_STATE_ENDED);
      EXPECT_EQ(entries.back().status.reason, KVX_SESSION_REASON_ABORTED);
    } else {
      EXPECT_TRUE(entries.empty());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(m_Probe.Entries().size(), entries.size()) << "a callback after destruction";
    for (const std::string& identifier : attached) g_Daemon->Detach(identifier);
  }
}

// A hundred detach/attach cycles: every one resumes, and the process holds no
// more threads, descriptors or memory at the end than after the first few.
TEST_F(SessionTest, AHundredReplugsLeaveNoThreadDescriptorOrMemoryBehind) {
  AppSimulator& app = StartApp(Streaming("Alpha"));
  NewSession("Alpha");
  AttachAndStream("alpha", app);
  const int kCycles = 100, kWarmUp = 5;
  int threads = 0, descriptors = 0;
  long resident = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    if (cycle == kWarmUp) {
      threads = kvx_test::CountThreads();
      descriptors = kvx_test::CountOpenDescriptors();
      resident = ResidentKilobytes();
    }
    const size_t from = m_Probe.Entries().size();
    ASSERT_TRUE(g_Daemon->Detach("alpha"));
    ASSERT_TRUE(m_Probe.WaitForState(KVX_SESSION_STATE_RECONNECTING, 30000, from)) << "cycle " << cycle;
    AttachAndStream("alpha", app);
    ASSERT_TRUE(m_Probe.WaitForFrames(m_Probe.Frames() + 1, 30000)) << "cycle " << cycle;
  }
  EXPECT_EQ(ExpectWholeStreams(m_Probe.Entries()), kCycles + 1);
  // The last stream's threads (device, app connection, daemon relay) are
  // those of the first: counts settle to where they were.
  EXPECT_TRUE(WaitUntil(
      [&] { return kvx_test::CountThreads() <= threads && kvx_test::CountOpenDescriptors() <= descriptors; },
      10000))
      << kvx_test::CountThreads() << " threads (" << threads << "), " << kvx_test::CountOpenDescriptors()
      << " descriptors (" << descriptors << ")";
  const long grown = ResidentKilobytes() - resident;
  printf("after %d cycles: %d threads, %d descriptors, resident memory %+ld KiB since cycle %d\n", kCycles,
         kvx_test::CountThreads(), kvx_test::CountOpenDescriptors(), grown, kWarmUp);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers keep freed memory aside (ASan's quarantine alone is
  // 256 MB): resident memory says nothing there; LeakSanitizer checks leaks.
  (void)grown;
#else
  // Some allocator slack, far below what a leaked stream per cycle holds.
  EXPECT_LT(grown, 4096);
#endif
}

}  // namespace
}  // namespace kvx_daemon_faults
