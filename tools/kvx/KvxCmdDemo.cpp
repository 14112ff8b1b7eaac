// `kvx demo`: a simulated daemon with one device whose app serves a moving
// test pattern; the real client library is pointed at it, discovery finds the
// app, and frames are streamed over the tunnel, verified and saved.
#include "KvxCli.h"
#include "KvxDiscovery.h"
#include "KvxFrameFiles.h"
#include "KvxImage.h"
#include "KvxStreamSession.h"
#include "KvxUSBController.h"
#include "SimulatedHost.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kvx_cli {
namespace {

const char kUsage[] =
    "usage: kvx demo [--frames N] [--out DIR]\n"
    "\n"
    "Starts a simulated USB daemon with one device whose companion app serves a\n"
    "moving test pattern as JPEG at 30 frames a second, finds the app through\n"
    "discovery, streams N frames from it over the USB tunnel, verifies them,\n"
    "saves a few as JPEG files and a contact sheet of them in DIR.\n"
    "\n"
    "  --frames N   frames to stream (1..100000, default 150)\n"
    "  --out DIR    where to write the frames (default demo-out)\n";

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kSavedFrames = 6;
constexpr double kDiscoverySeconds = 15;

const char* kDeviceName = "Demo Device";
const char* kDeviceId = "kvxdemo-device-1";

// A private directory for the daemon's socket, removed at the end.
class SocketDirectory {
 public:
  SocketDirectory() {
    char pattern[] = "/tmp/kvx-demo-XXXXXX";
    if (::mkdtemp(pattern)) m_Dir = pattern;
  }
  ~SocketDirectory() {
    if (m_Dir.empty()) return;
    ::unlink(SocketPath().c_str());
    ::rmdir(m_Dir.c_str());
  }
  bool Ok() const { return !m_Dir.empty(); }
  std::string SocketPath() const { return m_Dir + "/usbmuxd.sock"; }

 private:
  std::string m_Dir;
};

}  // namespace

int RunDemo(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {{"--frames", true, false}, {"--out", true, false}}, &parsed, &error)) {
    return Fail("demo", kExitUsage, error);
  }
  if (parsed.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  uint64_t frames = 150;
  if (parsed.Has("--frames") && !ParseUnsigned(parsed.Get("--frames"), 1, 100000, &frames)) {
    return Fail("demo", kExitUsage, "--frames needs a whole number from 1 to 100000");
  }
  const std::string out_dir = parsed.Get("--out", "demo-out");
  if (!MakeDirectories(out_dir)) return Fail("demo", kExitFailure, "error: cannot create directory " + out_dir);
  InstallInterruptHandler();

  // The simulated host, and the client library pointed at it before anything
  // of ours talks to a daemon.
  SocketDirectory socket_dir;
  if (!socket_dir.Ok()) return Fail("demo", kExitFailure, "error: cannot create a directory in /tmp");
  kvx_sim::SimulatedHost host;
  if (!host.Start("UNIX:" + socket_dir.SocketPath(), &error)) {
    return Fail("demo", kExitFailure, "error: cannot start the simulated daemon: " + error);
  }
  kvx_sim::SimDeviceSpec setup;
  setup.identifier = kDeviceId;
  setup.name = kDeviceName;
  setup.product_id = 0x1292;
  setup.width = kWidth;
  setup.height = kHeight;
  setup.fps = 30;
  const std::string address = host.SocketAddress();
  ::setenv("USBMUXD_SOCKET_ADDRESS", address.c_str(), 1);
  std::printf("kvx demo: simulated daemon at %s\n", address.c_str());
  std::fflush(stdout);

  const auto discovery_start = std::chrono::steady_clock::now();
  AppWatcher watcher;
  std::unique_ptr<KVX_USBController> controller(new KVX_USBController());
  controller->SetDelegate(&watcher);
  if (!host.AddDevice(setup, &error)) {
    return Fail("demo", kExitFailure, "error: cannot attach the simulated device: " + error);
  }
  std::printf("kvx demo: attached \"%s\" (%s), waiting for discovery...\n", kDeviceName, kDeviceId);
  std::fflush(stdout);

  FoundApp app;
  if (!watcher.WaitFor(kDeviceName, kDiscoverySeconds, &app)) {
    controller.reset();
    if (g_Interrupted.load()) return Fail("demo", kExitFailure, "interrupted");
    return Fail("demo", kExitFailure,
                "error: no device found within 15 s (is libusbmuxd-2.0.so.6 installed?)");
  }
  const double discovery_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - discovery_start).count();
  std::printf("kvx demo: found \"%s\" at %s (handle %d) after %.2f s\n", app.name.c_str(), app.url.c_str(),
              app.handle, discovery_seconds);
  std::fflush(stdout);

  StreamOptions options;
  options.urls.push_back(app.url);
  options.handle = app.handle;
  options.client = "kvx-demo";
  options.max_frames = frames;
  options.out_dir = out_dir;
  options.save_every = frames >= kSavedFrames ? frames / kSavedFrames : 1;
  options.save_limit = kSavedFrames;
  options.width = kWidth;
  options.height = kHeight;
  options.verify_pattern = true;
  StreamStats stats;
  bool started = RunStreamSession(options, &stats, &error);
  controller.reset();
  host.Stop();
  if (!started) return Fail("demo", kExitFailure, "error: " + error);

  // The contact sheet, from the saved files as written.
  std::vector<RgbImage> images;
  for (const std::string& path : stats.saved) {
    std::vector<uint8_t> jpeg;
    RgbImage image;
    if (ReadFile(path, &jpeg) &&
        kvx_image::DecodeJpeg(jpeg.data(), jpeg.size(), &image.pixels, &image.width, &image.height)) {
      images.push_back(std::move(image));
    }
  }
  const std::string sheet = out_dir + "/contact-sheet.jpg";
  std::string sheet_error;
  const bool sheet_ok = WriteContactSheet(images, 3, 320, sheet, &sheet_error);

  std::printf("\nkvx demo summary\n");
  std::printf("  device            %s (handle %d)\n", app.name.c_str(), app.handle);
  std::printf("  url               %s\n", app.url.c_str());
  std::printf("  time to discovery %.2f s\n", discovery_seconds);
  std::printf("  frames            %llu of %llu (%llu verified)\n", static_cast<unsigned long long>(stats.frames),
              static_cast<unsigned long long>(frames), static_cast<unsigned long long>(stats.verified));
  std::printf("  rate              %.1f fps\n", stats.FramesPerSecond());
  std::printf("  bytes             %llu (%s)\n", static_cast<unsigned long long>(stats.bytes),
              FormatMegabytes(stats.bytes).c_str());
  std::printf("  saved             %zu frames and %s in %s\n", stats.saved.size(),
              sheet_ok ? "contact-sheet.jpg" : "no contact sheet", out_dir.c_str());
  std::fflush(stdout);

  if (stats.interrupted) return Fail("demo", kExitFailure, "interrupted");
  if (!stats.connected) return Fail("demo", kExitFailure, "error: the app did not accept the stream");
  if (stats.frames < frames) {
    return Fail("demo", kExitFailure,
                "error: the stream ended after " + std::to_string(stats.frames) + " of " + std::to_string(frames) +
                    " frames");
  }
  if (stats.verify_failures > 0) {
    return Fail("demo", kExitFailure,
                "error: " + std::to_string(stats.verify_failures) + " frames failed verification (" +
                    stats.first_failure + ")");
  }
  if (!sheet_ok) return Fail("demo", kExitFailure, "error: " + sheet_error);
  if (stats.save_failures > 0) return Fail("demo", kExitFailure, "error: cannot write frames to " + out_dir);
  return kExitOk;
}

}  // namespace kvx_cli
