// `kvx list`: discovery on the host's daemon, one line per event.
#include "KvxCli.h"
#include "KvxDiagnosis.h"
#include "KvxProgress.h"
#include "KvxUSBController.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace kvx_cli {
namespace {

const char kUsage[] =
    "usage: kvx list [--seconds S] [--json]\n"
    "\n"
    "Watches the USB daemon (USBMUXD_SOCKET_ADDRESS selects another one) and\n"
    "prints one line per companion app found or removed, as it happens, until\n"
    "S seconds have passed or Ctrl-C; a status line on standard error shows what\n"
    "is watched. Fails at once (status 1) when the daemon cannot be reached.\n"
    "\n"
    "  --seconds S   stop after S seconds\n"
    "  --json        one JSON object per line: {\"event\":\"found\",\"name\":...,\n"
    "                \"handle\":...,\"url\":...} or {\"event\":\"removed\",\"url\":...}\n";

// Prints events as they come; runs on the controller's threads with its lock
// held, so it only formats and writes.
class Printer : public KVX_USBControllerDelegate {
 public:
  Printer(bool json, ProgressLine* progress) : m_Json(json), m_Progress(progress) {}

  void OnDeviceFound(const char* name, NPT_Int32 handle, const char* url) override {
    const std::string n = name ? name : "", u = url ? url : "";
    if (m_Json) {
      Print("{\"event\":\"found\",\"name\":\"" + JsonEscape(n) + "\",\"handle\":" + std::to_string(handle) +
            ",\"url\":\"" + JsonEscape(u) + "\"}");
    } else {
      Print("found    \"" + n + "\"  handle " + std::to_string(handle) + "  " + u);
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Present.insert(u);
  }

  void OnDeviceRemoved(const char* url) override {
    const std::string u = url ? url : "";
    if (m_Json) {
      Print("{\"event\":\"removed\",\"url\":\"" + JsonEscape(u) + "\"}");
    } else {
      Print("removed  " + u);
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Present.erase(u);
  }

  size_t Present() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Present.size();
  }

 private:
  void Print(const std::string& line) { m_Progress->Print(stdout, line); }

  const bool m_Json;
  ProgressLine* m_Progress;
  std::mutex m_Lock;
  std::set<std::string> m_Present;  // URLs found and not removed since
};

}  // namespace

int RunList(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {{"--seconds", true, false}, {"--json", false, false}}, &parsed, &error)) {
    return Fail("list", kExitUsage, error);
  }
  if (parsed.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  double seconds = 0;
  if (parsed.Has("--seconds") && !ParseSeconds(parsed.Get("--seconds"), 1e7, &seconds)) {
    return Fail("list", kExitUsage, "--seconds needs a positive number");
  }
  InstallInterruptHandler();
  ProgressLine progress(5.0);
  Printer printer(parsed.Has("--json"), &progress);
  std::unique_ptr<KVX_USBController> controller(new KVX_USBController());
  controller->SetDelegate(&printer);
  const std::string problem = DaemonProblem(*controller);
  if (!problem.empty()) {
    controller.reset();
    return Fail("list", kExitFailure, "error: " + problem);
  }
  const std::string address = controller->GetDaemonAddress().GetChars();
  KVX_USBControllerState state = controller->GetState();
  const auto start = std::chrono::steady_clock::now();
  while (!g_Interrupted.load(std::memory_order_acquire)) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > 0 && elapsed >= seconds) break;
    // The daemon may go away and come back while we watch.
    const KVX_USBControllerState now = controller->GetState();
    if (now != state && now == KVX_USB_DAEMON_UNREACHABLE) {
      progress.Print(stderr, "kvx list: lost the USB daemon at " + address + " (" +
                                 DescribeResult(controller->GetDaemonFailure()) + "); waiting for it");
    } else if (now != state && now == KVX_USB_CONNECTED) {
      progress.Print(stderr, "kvx list: the USB daemon at " + address + " answers again");
    }
    state = now;
    progress.Update("watching " + address + ": " + std::to_string(printer.Present()) + " apps, " +
                    std::to_string(static_cast<int>(elapsed)) + " s" +
                    (state == KVX_USB_CONNECTED ? "" : ", daemon unreachable"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  controller.reset();
  progress.Finish();
  return kExitOk;
}

}  // namespace kvx_cli
