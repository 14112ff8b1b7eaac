// `kvx list`: discovery on the host's daemon, one line per event.
#include "KvxCli.h"
#include "KvxUSBController.h"

#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define fdopen _fdopen
#else
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace kvx_cli {
namespace {

const char kUsage[] =
    "usage: kvx list [--seconds S] [--json]\n"
    "\n"
    "Watches the USB daemon (USBMUXD_SOCKET_ADDRESS selects another one) and\n"
    "prints one line per companion app found or removed, as it happens, until\n"
    "S seconds have passed or Ctrl-C.\n"
    "\n"
    "  --seconds S   stop after S seconds\n"
    "  --json        one JSON object per line: {\"event\":\"found\",\"name\":...,\n"
    "                \"handle\":...,\"url\":...} or {\"event\":\"removed\",\"url\":...}\n";

// Prints events as they come; runs on the controller's threads with its lock
// held, so it only formats and writes.
class Printer : public KVX_USBControllerDelegate {
 public:
  Printer(bool json, FILE* out) : m_Json(json), m_Out(out) {}

  void OnDeviceFound(const char* name, NPT_Int32 handle, const char* url) override {
    const std::string n = name ? name : "", u = url ? url : "";
    if (m_Json) {
      std::fprintf(m_Out, "{\"event\":\"found\",\"name\":\"%s\",\"handle\":%d,\"url\":\"%s\"}\n", JsonEscape(n).c_str(),
                  handle, JsonEscape(u).c_str());
    } else {
      std::fprintf(m_Out, "found    \"%s\"  handle %d  %s\n", n.c_str(), handle, u.c_str());
    }
    std::fflush(m_Out);
  }

  void OnDeviceRemoved(const char* url) override {
    const std::string u = url ? url : "";
    if (m_Json) {
      std::fprintf(m_Out, "{\"event\":\"removed\",\"url\":\"%s\"}\n", JsonEscape(u).c_str());
    } else {
      std::fprintf(m_Out, "removed  %s\n", u.c_str());
    }
    std::fflush(m_Out);
  }

 private:
  bool m_Json;
  FILE* m_Out;
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
  // The core prints a text of its own for every attach event on standard
  // output, without a line break; it would break the one-line-per-event
  // contract, so the events get the original standard output and everything
  // else printed to it goes to standard error.
  std::fflush(stdout);
  int events_fd = ::dup(1);
  FILE* out = events_fd >= 0 ? ::fdopen(events_fd, "w") : nullptr;
  if (!out || ::dup2(2, 1) < 0) return Fail("list", kExitFailure, "error: cannot set up the output");
  Printer printer(parsed.Has("--json"), out);
  std::unique_ptr<KVX_USBController> controller(new KVX_USBController());
  controller->SetDelegate(&printer);
  const auto start = std::chrono::steady_clock::now();
  while (!g_Interrupted.load(std::memory_order_acquire)) {
    if (seconds > 0 && std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= seconds) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  controller.reset();
  std::fclose(out);
  return kExitOk;
}

}  // namespace kvx_cli
