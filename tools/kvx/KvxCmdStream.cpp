// `kvx stream`: frames from a list of URLs, or from the first app found with
// a given name.
#include "KvxCli.h"
#include "KvxDiscovery.h"
#include "KvxStreamSession.h"
#include "KvxUSBController.h"
#include "TestPattern.h"

#include <cstdio>
#include <memory>

namespace kvx_cli {
namespace {

const char kUsage[] =
    "usage: kvx stream (--url URL... [--handle H] | --device NAME) [--frames N] [--seconds S]\n"
    "                  [--out DIR] [--client NAME] [--size WxH]\n"
    "\n"
    "Streams frames from the first URL that answers (handle 0, the default, is\n"
    "plain TCP; another handle tunnels to that USB device), or from the first app\n"
    "discovery finds with the device name NAME. Ctrl-C stops cleanly.\n"
    "\n"
    "  --url URL...    one or more http URLs, tried in order\n"
    "  --handle H      usbmux device handle for the URLs (default 0: TCP)\n"
    "  --device NAME   find the app by name (waits up to 10 s)\n"
    "  --frames N      stop after N frames\n"
    "  --seconds S     stop after S seconds\n"
    "  --out DIR       save frames: JPEG as .jpg; raw frames as .ppm/.pam with --size,\n"
    "                  else as .raw\n"
    "  --client NAME   client name sent to the app (default kvx)\n"
    "  --size WxH      dimensions of raw image/rgb and image/rgba frames\n";

constexpr double kDiscoverySeconds = 10;

}  // namespace

int RunStream(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  const std::vector<OptionSpec> setups = {{"--url", true, true},      {"--handle", true, false},
                                         {"--device", true, false},  {"--frames", true, false},
                                         {"--seconds", true, false}, {"--out", true, false},
                                         {"--client", true, false},  {"--size", true, false}};
  if (!ParseArgs(args, setups, &parsed, &error)) return Fail("stream", kExitUsage, error);
  if (parsed.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (parsed.Has("--url") == parsed.Has("--device")) {
    return Fail("stream", kExitUsage, "give either --url URL... or --device NAME");
  }
  if (parsed.Has("--handle") && !parsed.Has("--url")) return Fail("stream", kExitUsage, "--handle goes with --url");
  StreamOptions options;
  uint64_t number = 0;
  if (parsed.Has("--handle")) {
    if (!ParseUnsigned(parsed.Get("--handle"), 0, 0x7FFFFFFF, &number)) {
      return Fail("stream", kExitUsage, "--handle needs a whole number from 0 to 2147483647");
    }
    options.handle = static_cast<int32_t>(number);
  }
  if (parsed.Has("--frames")) {
    if (!ParseUnsigned(parsed.Get("--frames"), 1, UINT64_C(1000000000), &options.max_frames)) {
      return Fail("stream", kExitUsage, "--frames needs a positive whole number");
    }
  }
  if (parsed.Has("--seconds") && !ParseSeconds(parsed.Get("--seconds"), 1e6, &options.max_seconds)) {
    return Fail("stream", kExitUsage, "--seconds needs a positive number");
  }
  if (parsed.Has("--size") &&
      !kvx_sim::ParseSize(parsed.Get("--size").c_str(), &options.width, &options.height)) {
    return Fail("stream", kExitUsage, "--size needs WIDTHxHEIGHT, e.g. 640x480");
  }
  options.out_dir = parsed.Get("--out");
  options.client = parsed.Get("--client", "kvx");
  InstallInterruptHandler();

  std::unique_ptr<KVX_USBController> controller;
  AppWatcher watcher;
  if (parsed.Has("--url")) {
    options.urls = parsed.All("--url");
    for (const std::string& text : options.urls) {
      NPT_HttpUrl url(text.c_str());
      if (!url.IsValid()) return Fail("stream", kExitUsage, "bad URL '" + text + "' (expected http://HOST[:PORT]/PATH)");
    }
  } else {
    const std::string name = parsed.Get("--device");
    controller.reset(new KVX_USBController());
    controller->SetDelegate(&watcher);
    FoundApp app;
    if (!watcher.WaitFor(name, kDiscoverySeconds, &app)) {
      controller.reset();
      if (g_Interrupted.load()) return Fail("stream", kExitFailure, "interrupted");
      return Fail("stream", kExitFailure, "error: no device named \"" + name + "\" found within 10 s");
    }
    // After the core's attach texts, which end without a line break.
    std::printf("\nfound \"%s\" at %s (handle %d)\n", app.name.c_str(), app.url.c_str(), app.handle);
    std::fflush(stdout);
    options.urls.push_back(app.url);
    options.handle = app.handle;
  }

  StreamStats stats;
  const bool started = RunStreamSession(options, &stats, &error);
  controller.reset();
  if (!started) return Fail("stream", kExitFailure, "error: " + error);
  if (!stats.connected) {
    return Fail("stream", kExitFailure, "error: could not stream from " + options.urls.front() +
                                            (options.urls.size() > 1 ? " or the other URLs" : ""));
  }
  std::printf("stream summary: %llu frames (%s) in %.2f s, %.1f fps, %s, %zu saved%s\n",
              static_cast<unsigned long long>(stats.frames),
              stats.content_type.empty() ? "no type" : stats.content_type.c_str(), stats.seconds,
              stats.FramesPerSecond(), FormatMegabytes(stats.bytes).c_str(), stats.saved.size(),
              stats.interrupted ? ", interrupted" : (stats.ended_by_peer ? ", stream ended" : ""));
  std::fflush(stdout);
  if (stats.save_failures > 0) return Fail("stream", kExitFailure, "error: cannot write frames to " + options.out_dir);
  if (stats.frames == 0) return Fail("stream", kExitFailure, "error: no frame received");
  return kExitOk;
}

}  // namespace kvx_cli
