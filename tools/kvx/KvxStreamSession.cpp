#include "KvxStreamSession.h"

#include "KvxCli.h"
#include "KvxDevice.h"
#include "KvxFrameFiles.h"
#include "KvxImage.h"
#include "KvxProgress.h"
#include "KvxSource.h"
#include "TestPattern.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

namespace kvx_cli {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The device's delegate. Callbacks run on the device's worker; the owner
// reads the state under m_Lock.
class Session : public KVX_DeviceDelegate {
 public:
  Session(const StreamOptions& options, StreamStats* stats) : m_Options(options), m_Stats(stats), m_Start(Clock::now()) {}

  void OnConnection() override {
    std::lock_guard<std::mutex> guard(m_Lock);
    // A followed device's next stream numbers its frames afresh.
    m_HaveSeq = false;
    if (m_Stats->connected) return;
    m_Stats->connected = true;
    m_Stats->connect_seconds = SecondsSince(m_Start);
    m_Changed.notify_all();
  }

  void OnDisconnection() override {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Stats->ended_by_peer = true;
    m_Changed.notify_all();
  }

  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) override {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Options.max_frames && m_Stats->frames >= m_Options.max_frames) return;  // the abort is on its way
    const uint64_t index = m_Stats->frames;
    const Clock::time_point now = Clock::now();
    if (index == 0) {
      m_First = now;
      m_Stats->content_type = content_type ? content_type : "";
    }
    m_Stats->frames++;
    m_Stats->bytes += size;
    m_Stats->seconds = std::chrono::duration<double>(now - m_First).count();
    if (m_Options.verify_pattern) Verify(index, data, static_cast<size_t>(size));
    if (!m_Options.out_dir.empty() && index % m_Options.save_every == 0 &&
        (m_Options.save_limit == 0 || m_Stats->saved.size() < m_Options.save_limit)) {
      std::string path = SaveFrame(m_Options.out_dir, index, content_type ? content_type : "", data,
                                   static_cast<size_t>(size), m_Options.width, m_Options.height);
      if (path.empty()) {
        m_Stats->save_failures++;
      } else {
        m_Stats->saved.push_back(path);
      }
    }
    m_Changed.notify_all();
  }

  // Waits up to `ms` for a change; returns with the lock released.
  void WaitForChange(int ms) {
    std::unique_lock<std::mutex> guard(m_Lock);
    m_Changed.wait_for(guard, std::chrono::milliseconds(ms));
  }

  StreamStats Snapshot() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return *m_Stats;
  }

 private:
  void Verify(uint64_t index, const NPT_Byte* data, size_t size) {
    std::vector<uint8_t> rgb;
    int w = 0, h = 0;
    uint32_t seq = 0;
    std::string failure;
    if (!kvx_image::DecodeJpeg(data, size, &rgb, &w, &h)) {
      failure = "not a JPEG picture";
    } else if (w != m_Options.width || h != m_Options.height) {
      failure = "picture of " + std::to_string(w) + "x" + std::to_string(h);
    } else if (!kvx_sim::ReadPatternSequence(rgb.data(), w, h, 3, &seq)) {
      failure = "no readable frame number";
    } else if (m_HaveSeq && seq <= m_LastSeq) {
      failure = "frame number " + std::to_string(seq) + " after " + std::to_string(m_LastSeq);
    }
    if (failure.empty()) {
      m_Stats->verified++;
      m_LastSeq = seq;
      m_HaveSeq = true;
    } else {
      if (m_Stats->verify_failures == 0) m_Stats->first_failure = "frame " + std::to_string(index) + ": " + failure;
      m_Stats->verify_failures++;
    }
  }

  const StreamOptions& m_Options;
  StreamStats* m_Stats;  // guarded by m_Lock while the device runs
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  Clock::time_point m_Start;
  Clock::time_point m_First;
  uint32_t m_LastSeq = 0;
  bool m_HaveSeq = false;
};

}  // namespace

double StreamStats::FramesPerSecond() const {
  return frames > 1 && seconds > 0 ? static_cast<double>(frames - 1) / seconds : 0;
}

bool RunStreamSession(const StreamOptions& options, StreamStats* stats, std::string* error) {
  *stats = StreamStats();
  const bool following = !options.follow.empty();
  if (!following && options.urls.empty()) {
    *error = "no URL to stream from";
    return false;
  }
  NPT_List<NPT_HttpUrl> urls;
  for (const std::string& text : options.urls) {
    NPT_HttpUrl url(text.c_str());
    if (!url.IsValid()) {
      *error = "bad URL '" + text + "' (expected http://HOST[:PORT]/PATH)";
      return false;
    }
    urls.Add(url);
  }
  if (!options.out_dir.empty() && !MakeDirectories(options.out_dir)) {
    *error = "cannot create directory " + options.out_dir;
    return false;
  }

  Session session(options, stats);
  ProgressLine progress(1.0);
  std::unique_ptr<KVX_Device> device;
  FollowedDevice followed;
  const Clock::time_point start = Clock::now();
  if (following) {
    if (!followed.Start(options.follow, options.client, &session, options.progress ? &progress : nullptr)) {
      *error = "cannot start the session";
      return false;
    }
  } else {
    device.reset(new KVX_Device(urls, options.handle));
    device->SetDelegate(&session);
    if (NPT_FAILED(device->Start(options.client.c_str()))) {
      *error = "cannot start the stream";
      return false;
    }
  }
  RateMeter rate;
  for (;;) {
    session.WaitForChange(100);
    StreamStats now = session.Snapshot();
    bool stop = false;
    if (g_Interrupted.load(std::memory_order_acquire)) {
      stop = true;
      stats->interrupted = true;  // written before the worker ends; read after
    }
    if (now.ended_by_peer) break;
    if (options.max_frames && now.frames >= options.max_frames) stop = true;
    if (options.max_seconds > 0 && SecondsSince(start) >= options.max_seconds) stop = true;
    rate.Update(now.frames, now.bytes);
    // From the connection on, or once the wait for it is worth telling.
    if (options.progress && (now.connected || SecondsSince(start) >= kStallSeconds)) {
      progress.Update(FormatStreamProgress(now.frames, now.bytes, rate));
    }
    if (stop) {
      if (device) device->Abort();
      break;
    }
  }
  bool interrupted = stats->interrupted;
  if (following) {
    // Joined: no callback after this.
    stats->streams = followed.Status().streams;
    followed.Stop();
  } else {
    // Joined first: no callback after this, and the outcome is final.
    device->Wait(NPT_TIMEOUT_INFINITE);
    device->GetOutcome(stats->outcome);
    device.reset();
  }
  stats->interrupted = interrupted;
  stats->run_seconds = SecondsSince(start);
  if (options.progress && stats->frames > 0) {
    rate.Update(stats->frames, stats->bytes);
    progress.Update(FormatStreamProgress(stats->frames, stats->bytes, rate), true);
  }
  progress.Finish();
  return true;
}

}  // namespace kvx_cli
