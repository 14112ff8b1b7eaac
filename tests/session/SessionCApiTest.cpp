// kvx_session_* through libkvx, as an application uses it, against the
// simulated daemon and the real usbmux client library: a replug is followed
// through the callbacks and the getters, a destroy from the session's own
// callback is refused, and after the abort and the destroy nothing is called.

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "DaemonFaults.h"
#include "kvx/kvx.h"

namespace kvx_daemon_faults {
namespace {

using kvx_discovery_test::WaitUntil;

struct Recorder {
  std::mutex mutex;
  // Set once kvx_session_abort has returned: no frame callback may start
  // after it.
  std::atomic<bool> abort_returned{false};
  std::atomic<int> frames_after_abort{0};
  std::vector<std::string> states;  // "state reason url handle"
  size_t frames = 0;
  kvx_session* session = nullptr;
  bool destroy_refused = false;

  size_t Frames() {
    std::lock_guard<std::mutex> lock(mutex);
    return frames;
  }
  // A wait ("3 ...") is told as its last reason (worse news may replace
  // it while the session waits).
  std::vector<std::string> States() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> told;
    for (const std::string& state : states) {
      if (!told.empty() && told.back()[0] == '3' && state[0] == '3') {
        told.back() = state;
      } else {
        told.push_back(state);
      }
    }
    return told;
  }
  bool Last(const std::string& prefix) {
    std::vector<std::string> all = States();
    return !all.empty() && all.back().compare(0, prefix.size(), prefix) == 0;
  }
};

void OnFrame(void* context, const unsigned char*, uint64_t, const char*) {
  Recorder* recorder = static_cast<Recorder*>(context);
  if (recorder->abort_returned.load()) recorder->frames_after_abort++;
  std::lock_guard<std::mutex> lock(recorder->mutex);
  recorder->frames++;
}

void OnState(void* context, int32_t state, int32_t reason, const char* url, int32_t handle, int32_t status) {
  Recorder* recorder = static_cast<Recorder*>(context);
  if (state == KVX_SESSION_STREAMING && recorder->session != nullptr) {
    // Would wait for this very thread: refused, and the session goes on.
    kvx_session_destroy(recorder->session);
    recorder->destroy_refused = kvx_session_get_state(recorder->session) == KVX_SESSION_STREAMING;
  }
  std::lock_guard<std::mutex> lock(recorder->mutex);
  recorder->states.push_back(std::to_string(state) + " " + std::to_string(reason) + " " + url + " " +
                             std::to_string(handle) + " " + std::to_string(status));
}

class SessionCApi : public DaemonFaultTest {};

TEST_F(SessionCApi, FollowsAReplugAndStopsCalling) {
  EXPECT_EQ(kvx_session_get_state(nullptr), KVX_SESSION_IDLE);
  EXPECT_NE(kvx_session_start(nullptr), 0);
  kvx_session_abort(nullptr);
  kvx_session_destroy(nullptr);

  kvx_sim::AppSimConfig config = Named("Phone");
  config.frame_count = 0;
  config.frames_per_second = 50;
  kvx_sim::AppSimulator& app = StartApp(config);
  g_Subscribed = true;
  Recorder recorder;
  kvx_session* session = kvx_session_create("phone", "capi-test");
  ASSERT_NE(session, nullptr);
  recorder.session = session;
  kvx_session_set_callbacks(session, OnFrame, OnState, &recorder);
  EXPECT_EQ(kvx_session_set_delivery(session, 7), NPT_ERROR_INVALID_PARAMETERS);
  ASSERT_EQ(kvx_session_set_delivery(session, KVX_DELIVER_LATEST_FRAME), 0);
  ASSERT_EQ(kvx_session_start(session), 0);
  EXPECT_EQ(kvx_session_start(session), NPT_ERROR_INVALID_STATE);
  EXPECT_EQ(kvx_session_set_delivery(session, KVX_DELIVER_EVERY_FRAME), NPT_ERROR_INVALID_STATE);

  const int first = static_cast<int>(AttachWithApp("phone-1", app));
  ASSERT_TRUE(WaitUntil([&] { return recorder.Frames() >= 5; }, 30000));
  const size_t first_stream = recorder.Frames();
  ASSERT_TRUE(g_Daemon->Detach("phone-1"));
  ASSERT_TRUE(WaitUntil([&] { return recorder.Last("3 1 "); }, 30000));
  const int second = static_cast<int>(AttachWithApp("phone-1", app));
  ASSERT_TRUE(WaitUntil([&] { return recorder.Last("2 0 "); }, 30000));
  const size_t frames = recorder.Frames();
  ASSERT_TRUE(WaitUntil([&] { return recorder.Frames() >= frames + 5; }, 30000));

  // The counters add up across the resume: at least every frame seen, and
  // more than the first stream had.
  const size_t seen = recorder.Frames();
  kvx_device_stats stats;
  memset(&stats, 0, sizeof(stats));
  stats.struct_size = sizeof(stats);
  ASSERT_EQ(kvx_session_get_stats(session, &stats), 0);
  EXPECT_GE(stats.frames_delivered, seen);
  EXPECT_GT(stats.frames_delivered, first_stream + 4);
  EXPECT_GE(stats.frames_received, stats.frames_delivered + stats.frames_dropped);
  EXPECT_EQ(stats.bytes_received, stats.frames_received * config.frame_size);

  EXPECT_TRUE(recorder.destroy_refused);
  EXPECT_EQ(kvx_session_get_state(session), KVX_SESSION_STREAMING);
  EXPECT_EQ(kvx_session_get_reason(session), KVX_SESSION_NO_REASON);
  EXPECT_EQ(kvx_session_get_handle(session), second);
  char text[8];
  EXPECT_EQ(kvx_session_get_url(session, text, sizeof(text)), (int32_t)strlen("http://phone-1:8099/"));
  EXPECT_STREQ(text, "http://");
  char device[32];
  kvx_session_get_device(session, device, sizeof(device));
  EXPECT_STREQ(device, "phone-1");

  kvx_session_abort(session);
  recorder.abort_returned = true;
  kvx_session_destroy(session);
  recorder.session = nullptr;
  const std::vector<std::string> states = recorder.States();
  const std::string url = " http://phone-1:8099/ ";
  EXPECT_EQ(states, std::vector<std::string>({"1 0  0 0", "2 0" + url + std::to_string(first) + " 0",
                                              "3 1" + url + std::to_string(first) + " 0",
                                              "2 0" + url + std::to_string(second) + " 0",
                                              "4 6" + url + std::to_string(second) + " 0"}));
  EXPECT_EQ(recorder.frames_after_abort.load(), 0);
  const size_t calls = recorder.states.size();  // the session's threads are joined
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(recorder.states.size(), calls) << "a call after the destroy";
}

}  // namespace
}  // namespace kvx_daemon_faults
