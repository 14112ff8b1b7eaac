// `kvx simulate`: simulated devices in the foreground, with hot-plug commands
// on standard input.
#include "KvxCli.h"
#include "SimulatedHost.h"
#include "TestPattern.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>

namespace kvx_cli {
namespace {

const char kUsage[] =
    "usage: kvx simulate [--devices N] [--format jpeg|rgb|rgba] [--size WxH] [--fps F]\n"
    "                    [--address ADDR]\n"
    "\n"
    "Runs a simulated USB daemon with N devices (default 1), each with a companion\n"
    "app serving a moving test pattern, until 'quit', end of input or Ctrl-C. The\n"
    "first line printed is USBMUXD_SOCKET_ADDRESS=VALUE: export it where kvx or an\n"
    "application should find the simulated devices. Then one line per device:\n"
    "  device ID name=\"NAME\" handle=H\n"
    "Commands on standard input, each answered with a line 'ok ...' or 'error ...':\n"
    "  attach ID | detach ID | stall ID | resume ID | status | quit\n"
    "\n"
    "  --devices N      1..16 (default 1)\n"
    "  --format F       jpeg (default), rgb or rgba\n"
    "  --size WxH       picture size (default 640x480)\n"
    "  --fps F          frames a second per stream (default 30)\n"
    "  --address ADDR   UNIX:/path or 127.0.0.1:PORT (default: a socket in /tmp)\n";

std::string DeviceId(int n) { return "kvxsim-" + std::to_string(n); }

// One command line; the answer line.
std::string Execute(kvx_sim::SimulatedHost& host, const std::string& line, bool* quit) {
  std::istringstream in(line);
  std::string command, id, extra;
  in >> command >> id >> extra;
  std::string error;
  if (command.empty()) return "";
  if (command == "quit" || command == "exit") {
    *quit = true;
    return "ok";
  }
  if (command == "status" && id.empty()) {
    std::string text = "ok";
    for (const std::string& dev : host.Identifiers()) {
      text += " " + dev + "=" + (host.HandleOf(dev) ? std::to_string(host.HandleOf(dev)) : "detached");
    }
    return text + " frames=" + std::to_string(host.FramesSent());
  }
  if (command != "attach" && command != "detach" && command != "stall" && command != "resume") {
    return "error unknown command '" + command + "'";
  }
  if (id.empty() || !extra.empty()) return "error usage: attach ID | detach ID | stall ID | resume ID | status | quit";
  bool ok = false;
  if (command == "attach") {
    ok = host.Attach(id, &error);
    if (ok) return "ok attached " + id + " handle=" + std::to_string(host.HandleOf(id));
  } else if (command == "detach") {
    ok = host.Detach(id, &error);
  } else if (command == "stall") {
    ok = host.Stall(id, &error);
  } else if (command == "resume") {
    ok = host.Resume(id, &error);
  } else {
    return "error unknown command '" + command + "'";
  }
  return ok ? "ok " + command + " " + id : "error " + error;
}

}  // namespace

int RunSimulate(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  const std::vector<OptionSpec> setups = {{"--devices", true, false}, {"--format", true, false},
                                         {"--size", true, false},    {"--fps", true, false},
                                         {"--address", true, false}};
  if (!ParseArgs(args, setups, &parsed, &error)) return Fail("simulate", kExitUsage, error);
  if (parsed.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  uint64_t devices = 1;
  if (parsed.Has("--devices") && !ParseUnsigned(parsed.Get("--devices"), 1, 16, &devices)) {
    return Fail("simulate", kExitUsage, "--devices needs a whole number from 1 to 16");
  }
  kvx_sim::SimDeviceSpec base;
  if (parsed.Has("--format") && !kvx_sim::ParsePatternFormat(parsed.Get("--format"), &base.format)) {
    return Fail("simulate", kExitUsage, "--format needs jpeg, rgb or rgba");
  }
  if (parsed.Has("--size") && (!kvx_image::ParseSize(parsed.Get("--size").c_str(), &base.width, &base.height) ||
                               !kvx_sim::IsValidPatternSize(base.width, base.height))) {
    return Fail("simulate", kExitUsage, "--size needs WIDTHxHEIGHT from 48x32 to 8192x8192");
  }
  if (parsed.Has("--fps") && !ParseSeconds(parsed.Get("--fps"), 240, &base.fps)) {
    return Fail("simulate", kExitUsage, "--fps needs a number above 0 and up to 240");
  }
  InstallInterruptHandler();

  std::string address = parsed.Get("--address");
  std::string socket_dir;
  if (address.empty()) {
    char pattern[] = "/tmp/kvx-sim-XXXXXX";
    if (!::mkdtemp(pattern)) return Fail("simulate", kExitFailure, "error: cannot create a directory in /tmp");
    socket_dir = pattern;
    address = "UNIX:" + socket_dir + "/usbmuxd.sock";
  }
  int status = kExitOk;
  {
    kvx_sim::SimulatedHost host;
    if (!host.Start(address, &error)) {
      status = Fail("simulate", kExitFailure, "error: cannot listen on " + address + ": " + error);
    } else {
      std::printf("USBMUXD_SOCKET_ADDRESS=%s\n", host.SocketAddress().c_str());
      for (uint64_t n = 1; n <= devices && status == kExitOk; ++n) {
        kvx_sim::SimDeviceSpec setup = base;
        setup.identifier = DeviceId(static_cast<int>(n));
        setup.name = "Simulated Device " + std::to_string(n);
        setup.product_id = 0x1290 + static_cast<uint32_t>((n - 1) % 11);
        if (!host.AddDevice(setup, &error)) {
          status = Fail("simulate", kExitFailure, "error: " + error);
          break;
        }
        std::printf("device %s name=\"%s\" handle=%u\n", setup.identifier.c_str(), setup.name.c_str(),
                    host.HandleOf(setup.identifier));
      }
      std::fflush(stdout);
      // Commands, with a poll so that Ctrl-C is seen while input is idle.
      std::string pending;
      bool quit = status != kExitOk;
      while (!quit && !g_Interrupted.load(std::memory_order_acquire)) {
        pollfd pfd{0, POLLIN, 0};
        int ready = ::poll(&pfd, 1, 200);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        char buffer[4096];
        ssize_t n = ::read(0, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // end of input
        pending.append(buffer, static_cast<size_t>(n));
        size_t eol;
        while (!quit && (eol = pending.find('\n')) != std::string::npos) {
          std::string line = pending.substr(0, eol);
          pending.erase(0, eol + 1);
          if (!line.empty() && line.back() == '\r') line.pop_back();
          std::string answer = Execute(host, line, &quit);
          if (!answer.empty()) {
            std::printf("%s\n", answer.c_str());
            std::fflush(stdout);
          }
        }
        if (pending.size() > 4096) pending.clear();  // not a command anyone typed
      }
      host.Stop();
    }
  }
  if (!socket_dir.empty()) {
    ::unlink((socket_dir + "/usbmuxd.sock").c_str());
    ::rmdir(socket_dir.c_str());
  }
  return status;
}

}  // namespace kvx_cli
