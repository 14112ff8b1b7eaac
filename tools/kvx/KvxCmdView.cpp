// `kvx view`: relays a device's stream to a local web page (KvxViewRelay),
// through the latest-frame store that encodes raw frames to JPEG for it
// (their dimensions come from --size). The relay listens on the loopback
// interface only.
#include "KvxCli.h"
#include "KvxDiagnosis.h"
#include "KvxDevice.h"
#include "KvxFrameStore.h"
#include "KvxImage.h"
#include "KvxProgress.h"
#include "KvxSource.h"
#include "KvxViewRelay.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kvx_cli {
namespace {

const char kUsage[] =
    "usage: kvx view (--device NAME [--follow] | --url URL... [--handle H]) [--port P]\n"
    "                [--size WxH] [--seconds S] [--client NAME]\n"
    "\n"
    "Streams from an app and shows the live image on a web page at\n"
    "http://127.0.0.1:P/ (loopback only), with the device, the rate and the frame\n"
    "size beside it, until Ctrl-C or S seconds. The stream itself is at /stream\n"
    "(multipart/x-mixed-replace JPEG), the latest frame at /frame.jpg, the page's\n"
    "figures at /status. Raw frames need --size unless their length fits exactly\n"
    "one usual picture size. The exit status is 1 when the stream ends before\n"
    "that, with the reason on standard error. With --follow the page stays up\n"
    "across unplug and replug, app and daemon restarts, and shows what the\n"
    "session is doing; each change is also one line on standard output.\n"
    "\n"
    "  --url URL...    one or more http URLs, tried in order\n"
    "  --handle H      usbmux device handle for the URLs (default 0: TCP)\n"
    "  --device NAME   find the app by name, letter case ignored (waits up to 10 s),\n"
    "                  or by device identifier\n"
    "  --follow        with --device: wait for the device as long as it takes and\n"
    "                  resume whenever it is back\n"
    "  --port P        relay port (default 8090; 0 picks a free one)\n"
    "  --size WxH      dimensions of raw image/rgb and image/rgba frames\n"
    "  --seconds S     stop after S seconds\n"
    "  --client NAME   client name sent to the app (default kvx-view)\n";

// What the page's status line says: streaming until the run ends, then why.
// Written by the command's thread, read by the relay's connections.
class ViewState {
 public:
  void End(const std::string& reason) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Ended = true;
    m_Reason = reason;
  }

  // Following: what the session does, shown instead of the stream's state.
  void Follow(const std::string& state) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Following = state;
  }

  std::string Json(const FrameInfo& info) {
    std::lock_guard<std::mutex> guard(m_Lock);
    const std::string state = m_Ended                ? "ended"
                              : !m_Following.empty() ? m_Following
                              : info.connected       ? "streaming"
                                                     : "connecting";
    char fps[32];
    std::snprintf(fps, sizeof(fps), "%.1f", info.fps);
    return std::string("{\"state\":\"") + JsonEscape(state) + "\",\"reason\":\"" + JsonEscape(m_Reason) +
           "\",\"frames\":" + std::to_string(info.frames) + ",\"fps\":" + fps +
           ",\"width\":" + std::to_string(info.width) + ",\"height\":" + std::to_string(info.height) +
           ",\"type\":\"" + JsonEscape(info.type) + "\",\"bytes\":" + std::to_string(info.bytes) + "}";
  }

 private:
  std::mutex m_Lock;
  bool m_Ended = false;
  std::string m_Reason;
  std::string m_Following;
};

// Tells the page what a followed session does, beside the lines.
class FollowedView : public FollowedDevice {
 public:
  explicit FollowedView(ViewState* state) : m_State(state) {}
  void OnSessionState(const KVX_SessionStatus& status) override {
    m_State->Follow(Describe(status, std::string()));
    FollowedDevice::OnSessionState(status);
  }

 private:
  ViewState* m_State;
};

}  // namespace

int RunView(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  std::vector<OptionSpec> setups = StreamSource::Options();
  setups.insert(setups.end(), {{"--port", true, false},
                               {"--size", true, false},
                               {"--seconds", true, false},
                               {"--client", true, false}});
  if (!ParseArgs(args, setups, &parsed, &error)) return Fail("view", kExitUsage, error);
  if (parsed.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  StreamSource source;
  if (!source.Parse(parsed, &error)) return Fail("view", kExitUsage, error);
  uint64_t port = 8090;
  if (parsed.Has("--port") && !ParseUnsigned(parsed.Get("--port"), 0, 65535, &port)) {
    return Fail("view", kExitUsage, "--port needs a number from 0 to 65535");
  }
  int width = 0, height = 0;
  if (parsed.Has("--size") && !kvx_image::ParseSize(parsed.Get("--size").c_str(), &width, &height)) {
    return Fail("view", kExitUsage, "--size needs WIDTHxHEIGHT, e.g. 640x480");
  }
  double seconds = 0;
  if (parsed.Has("--seconds") && !ParseSeconds(parsed.Get("--seconds"), 1e7, &seconds)) {
    return Fail("view", kExitUsage, "--seconds needs a positive number");
  }
  InstallInterruptHandler();

  const int resolved = source.Resolve("view");
  if (resolved != kExitOk) return resolved;
  NPT_List<NPT_HttpUrl> urls;
  for (const std::string& text : source.Urls()) urls.Add(NPT_HttpUrl(text.c_str()));

  FrameStore store(width, height);
  ViewState state;
  ViewRelay relay(
      &store, [&] { return state.Json(store.Info()); }, source.Follow() ? source.DeviceName() : source.App().name,
      source.Follow() ? std::string("(followed)") : source.Urls().front());
  if (!relay.Listen(static_cast<uint16_t>(port), &error)) return Fail("view", kExitFailure, "error: " + error);

  const std::string client = parsed.Get("--client", "kvx-view");
  ProgressLine progress(5.0);
  std::unique_ptr<KVX_Device> device;
  FollowedView followed(&state);
  if (source.Follow()) {
    if (!followed.Start(source.DeviceName(), client, &store, &progress)) {
      return Fail("view", kExitFailure, "error: cannot start the session");
    }
  } else {
    device.reset(new KVX_Device(urls, source.Handle()));
    device->SetDelegate(&store);
    if (NPT_FAILED(device->Start(client.c_str()))) return Fail("view", kExitFailure, "error: cannot start the stream");
  }
  progress.Print(stdout, "kvx view: open http://127.0.0.1:" + std::to_string(relay.Port()) +
                             "/ in a browser (Ctrl-C to stop)");

  const auto start = std::chrono::steady_clock::now();
  RateMeter rate;
  FrameInfo info;
  bool noticed = false;
  for (;;) {
    info = store.Info();
    if (!info.size_notice.empty() && !noticed) {
      progress.Print(stdout, "kvx view: " + info.size_notice);
      noticed = true;
    }
    if (info.ended || !info.size_problem.empty() || g_Interrupted.load(std::memory_order_acquire)) break;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > 0 && elapsed >= seconds) break;
    rate.Update(info.frames, info.bytes);
    if (info.connected || elapsed >= kStallSeconds) {
      progress.Update(FormatStreamProgress(info.frames, info.bytes, rate) +
                      (info.width ? "  " + std::to_string(info.width) + "x" + std::to_string(info.height) + " " +
                                        info.type
                                  : std::string()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const bool by_itself = info.ended || !info.size_problem.empty();
  KVX_DeviceOutcome outcome;
  if (device) {
    device->Abort();
    device->Wait(NPT_TIMEOUT_INFINITE);
    device->GetOutcome(outcome);
    device.reset();
  }
  // Joined: the store is called no more.
  followed.Stop();
  progress.Finish();

  // Why the run ended, for this line, the exit status and the page. A
  // followed device ends only when asked to (or on a frame size problem).
  std::string failure;
  if (!info.size_problem.empty()) {
    failure = info.size_problem;
  } else if (source.Follow()) {
  } else if (!info.connected || !IsImageStream(outcome)) {
    failure = "could not stream from " + source.Urls().back() + ": " + DescribeRefusal(outcome);
  } else if (by_itself) {
    failure = (source.AppRemoved(1.5) ? std::string("device detached") : DescribeEnd(outcome)) + " after " +
              std::to_string(info.frames) + " frames";
  }
  state.End(failure.empty() ? "stopped" : failure);
  // An open page gets to show why before the relay goes.
  if (!failure.empty() && relay.Watched(3)) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  relay.Stop();
  source.StopDiscovery();
  std::printf("kvx view: relayed %llu frames%s\n", static_cast<unsigned long long>(info.frames),
              info.skipped ? (", skipped " + std::to_string(info.skipped) + " raw frames not of --size").c_str() : "");
  std::fflush(stdout);
  if (!failure.empty()) return Fail("view", kExitFailure, "error: " + failure);
  return kExitOk;
}

}  // namespace kvx_cli
