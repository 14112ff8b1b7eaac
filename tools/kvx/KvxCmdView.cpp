// `kvx view`: relays a device's stream to a local web page (KvxViewRelay),
// through the latest-frame store that encodes raw frames to JPEG for it
// (their dimensions come from --size). The relay listens on the loopback
// interface only.
#include "KvxCli.h"
#include "KvxDevice.h"
#include "KvxFrameStore.h"
#include "KvxImage.h"
#include "KvxSource.h"
#include "KvxViewRelay.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace kvx_cli {
namespace {

const char kUsage[] =
    "usage: kvx view (--device NAME | --url URL... [--handle H]) [--port P] [--size WxH]\n"
    "                [--seconds S] [--client NAME]\n"
    "\n"
    "Streams from an app and shows the live image on a web page at\n"
    "http://127.0.0.1:P/ (loopback only) until Ctrl-C or S seconds. The stream\n"
    "itself is at /stream (multipart/x-mixed-replace JPEG), the latest frame\n"
    "at /frame.jpg.\n"
    "\n"
    "  --url URL...    one or more http URLs, tried in order\n"
    "  --handle H      usbmux device handle for the URLs (default 0: TCP)\n"
    "  --device NAME   find the app by name (waits up to 10 s)\n"
    "  --port P        relay port (default 8090; 0 picks a free one)\n"
    "  --size WxH      dimensions of raw image/rgb and image/rgba frames\n"
    "  --seconds S     stop after S seconds\n"
    "  --client NAME   client name sent to the app (default kvx-view)\n";

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

  FrameStore store(width, height);
  ViewRelay relay(&store);
  if (!relay.Listen(static_cast<uint16_t>(port), &error)) return Fail("view", kExitFailure, "error: " + error);

  const int resolved = source.Resolve("view");
  if (resolved != kExitOk) return resolved;
  NPT_List<NPT_HttpUrl> urls;
  for (const std::string& text : source.Urls()) urls.Add(NPT_HttpUrl(text.c_str()));

  std::unique_ptr<KVX_Device> device(new KVX_Device(urls, source.Handle()));
  device->SetDelegate(&store);
  if (NPT_FAILED(device->Start(parsed.Get("--client", "kvx-view").c_str()))) {
    return Fail("view", kExitFailure, "error: cannot start the stream");
  }
  std::printf("kvx view: open http://127.0.0.1:%d/ in a browser (Ctrl-C to stop)\n", relay.Port());
  std::fflush(stdout);

  const auto start = std::chrono::steady_clock::now();
  bool connected = false, ended = false;
  uint64_t frames = 0, skipped = 0;
  while (!g_Interrupted.load(std::memory_order_acquire)) {
    store.Status(&connected, &ended, &frames, &skipped);
    if (ended) break;
    if (seconds > 0 && std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= seconds) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  device->Abort();
  device.reset();
  relay.Stop();
  source.StopDiscovery();
  store.Status(&connected, &ended, &frames, &skipped);
  std::printf("kvx view: relayed %llu frames%s\n", static_cast<unsigned long long>(frames),
              skipped ? (", skipped " + std::to_string(skipped) + " raw frames without --size").c_str() : "");
  if (!connected) return Fail("view", kExitFailure, "error: could not stream from the app");
  return kExitOk;
}

}  // namespace kvx_cli
