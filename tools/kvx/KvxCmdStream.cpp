// `kvx stream`: frames from a list of URLs, or from the first app found with
// a given name.
#include "KvxCli.h"
#include "KvxDiagnosis.h"
#include "KvxImage.h"
#include "KvxSource.h"
#include "KvxStreamSession.h"

#include <cstdio>

namespace kvx_cli {
namespace {

const char kUsage[] =
    "usage: kvx stream (--url URL... [--handle H] | --device NAME [--follow]) [--frames N]\n"
    "                  [--seconds S] [--out DIR] [--client NAME] [--size WxH]\n"
    "\n"
    "Streams frames from the first URL that answers (handle 0, the default, is\n"
    "plain TCP; another handle tunnels to that USB device), or from the first app\n"
    "discovery finds with the device name NAME. With --follow it keeps going\n"
    "across unplug and replug, app and daemon restarts: each change (searching,\n"
    "streaming, reconnecting and why) is one line on standard output, and frames\n"
    "are counted across resumes. Ctrl-C stops cleanly. The exit status is 1 when\n"
    "the frames or the time asked for were not delivered, with the reason on\n"
    "standard error.\n"
    "\n"
    "  --url URL...    one or more http URLs, tried in order\n"
    "  --handle H      usbmux device handle for the URLs (default 0: TCP)\n"
    "  --device NAME   find the app by name, letter case ignored (waits up to 10 s),\n"
    "                  or by device identifier\n"
    "  --follow        with --device: wait for the device as long as it takes and\n"
    "                  resume whenever it is back; --frames N counts in total\n"
    "  --frames N      stop after N frames\n"
    "  --seconds S     stop after S seconds\n"
    "  --out DIR       save frames: JPEG as .jpg; raw frames as .ppm/.pam with --size,\n"
    "                  else as .raw\n"
    "  --client NAME   client name sent to the app (default kvx)\n"
    "  --size WxH      dimensions of raw image/rgb and image/rgba frames\n";

// "the app sent none in 1.5 s" and the like, for a run without frames.
std::string DescribeTime(const StreamStats& stats) {
  char text[64];
  std::snprintf(text, sizeof(text), "the app sent none in %.1f s", stats.run_seconds);
  return text;
}

// The end of a followed stream: the summary, and whether what was asked for
// came (a run without --frames or --seconds ends only when interrupted).
int FollowSummary(const StreamOptions& options, const StreamStats& stats) {
  std::printf("stream summary: %llu frames (%s) in %u streams, %s%s\n", static_cast<unsigned long long>(stats.frames),
              stats.content_type.empty() ? "no type" : stats.content_type.c_str(), stats.streams,
              FormatMegabytes(stats.bytes).c_str(), stats.interrupted ? ", interrupted" : "");
  std::fflush(stdout);
  if (stats.save_failures > 0) return Fail("stream", kExitFailure, "error: cannot write frames to " + options.out_dir);
  const bool delivered = (options.max_frames == 0 || stats.frames >= options.max_frames) &&
                         (options.max_seconds <= 0 || stats.run_seconds >= options.max_seconds);
  if (!delivered) {
    return Fail("stream", kExitFailure,
                "interrupted after " + std::to_string(stats.frames) +
                    (options.max_frames ? " of " + std::to_string(options.max_frames) : std::string()) + " frames");
  }
  return kExitOk;
}

}  // namespace

int RunStream(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  std::vector<OptionSpec> setups = StreamSource::Options();
  setups.insert(setups.end(), {{"--frames", true, false},
                               {"--seconds", true, false},
                               {"--out", true, false},
                               {"--client", true, false},
                               {"--size", true, false}});
  if (!ParseArgs(args, setups, &parsed, &error)) return Fail("stream", kExitUsage, error);
  if (parsed.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  StreamSource source;
  if (!source.Parse(parsed, &error)) return Fail("stream", kExitUsage, error);
  StreamOptions options;
  if (parsed.Has("--frames")) {
    if (!ParseUnsigned(parsed.Get("--frames"), 1, UINT64_C(1000000000), &options.max_frames)) {
      return Fail("stream", kExitUsage, "--frames needs a positive whole number");
    }
  }
  if (parsed.Has("--seconds") && !ParseSeconds(parsed.Get("--seconds"), 1e6, &options.max_seconds)) {
    return Fail("stream", kExitUsage, "--seconds needs a positive number");
  }
  if (parsed.Has("--size") &&
      !kvx_image::ParseSize(parsed.Get("--size").c_str(), &options.width, &options.height)) {
    return Fail("stream", kExitUsage, "--size needs WIDTHxHEIGHT, e.g. 640x480");
  }
  options.out_dir = parsed.Get("--out");
  options.client = parsed.Get("--client", "kvx");
  InstallInterruptHandler();

  const int resolved = source.Resolve("stream");
  if (resolved != kExitOk) return resolved;
  options.urls = source.Urls();
  options.handle = source.Handle();
  if (source.Follow()) options.follow = source.DeviceName();

  StreamStats stats;
  const bool started = RunStreamSession(options, &stats, &error);
  if (!started) return Fail("stream", kExitFailure, "error: " + error);
  if (source.Follow()) return FollowSummary(options, stats);
  if (!stats.connected || !IsImageStream(stats.outcome)) {
    // The reason belongs to the last URL tried.
    return Fail("stream", kExitFailure,
                "error: could not stream from " + options.urls.back() + ": " + DescribeRefusal(stats.outcome));
  }
  // A stream that ended by itself, seen through discovery: the device went.
  const bool detached = stats.ended_by_peer && source.AppRemoved(1.5);
  source.StopDiscovery();
  std::printf("stream summary: %llu frames (%s) in %.2f s, %.1f fps, %s, %zu saved%s\n",
              static_cast<unsigned long long>(stats.frames),
              stats.content_type.empty() ? "no type" : stats.content_type.c_str(), stats.seconds,
              stats.FramesPerSecond(), FormatMegabytes(stats.bytes).c_str(), stats.saved.size(),
              stats.interrupted ? ", interrupted" : (stats.ended_by_peer ? ", stream ended" : ""));
  std::fflush(stdout);
  if (stats.save_failures > 0) return Fail("stream", kExitFailure, "error: cannot write frames to " + options.out_dir);
  const std::string count = std::to_string(stats.frames) +
                            (options.max_frames ? " of " + std::to_string(options.max_frames) : std::string()) +
                            " frames";
  // An app that ends the stream right after the last frame asked for has
  // delivered what was asked: only an end before that is a failure.
  const bool all_frames = options.max_frames != 0 && stats.frames >= options.max_frames;
  if (stats.ended_by_peer && !all_frames) {
    return Fail("stream", kExitFailure,
                "error: " + (detached ? std::string("device detached") : DescribeEnd(stats.outcome)) + " after " +
                    count);
  }
  if (stats.frames == 0) return Fail("stream", kExitFailure, "error: no frame received (" + DescribeTime(stats) + ")");
  // Ctrl-C ends an open-ended stream as asked; it cuts a counted or timed one
  // short.
  const bool delivered = (options.max_frames == 0 || stats.frames >= options.max_frames) &&
                         (options.max_seconds <= 0 || stats.run_seconds >= options.max_seconds);
  if (!delivered) return Fail("stream", kExitFailure, "interrupted after " + count);
  return kExitOk;
}

}  // namespace kvx_cli
