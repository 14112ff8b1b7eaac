// Dispatch of the subcommands and the top-level help.
#include "KvxCli.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kvx/kvx.h"

namespace kvx_cli {
namespace {

const char kTopUsage[] =
    "usage: kvx [-v] <command> [options]\n"
    "\n"
    "commands:\n"
    "  demo       simulate a device, find it and stream from it\n"
    "  list       report companion apps as they appear and disappear\n"
    "  stream     stream frames from URLs or from a named app\n"
    "  simulate   run simulated devices for other programs to find\n"
    "  view       show a live stream on a local web page\n"
    "\n"
    "  -v, --verbose   the library's log records (level FINE and above) on\n"
    "                  standard error; NPT_LOG_CONFIG, when set, still applies\n"
    "  --version       the version of libkvx in use\n"
    "\n"
    "'kvx <command> --help' describes each command.\n";

// The library's records of level FINE and above on standard error (the
// console handler's debug channel), then whatever NPT_LOG_CONFIG asks for on
// top, so that a configuration of one's own still wins.
void EnableLibraryLog() {
  std::string sources = "plist:.level=FINE;.handlers=ConsoleHandler;.ConsoleHandler.outputs=1";
  if (const char* own = std::getenv("NPT_LOG_CONFIG")) sources += std::string("|") + own;
  kvx_configure_logging(sources.c_str());
}

}  // namespace

int Main(int argc, char** argv) {
#if defined(SIGPIPE)
  // Writes to a peer that went away must fail with EPIPE, not end the process.
  signal(SIGPIPE, SIG_IGN);
#endif
  // Standard output carries the commands' own lines (events, summaries);
  // the library's console lines would interleave with them.
  kvx_set_console_output(0);
  std::vector<std::string> words;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-v") == 0 || std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else {
      words.push_back(argv[i]);
    }
  }
  if (verbose) EnableLibraryLog();
  if (words.empty()) {
    std::fputs(kTopUsage, stdout);
    return kExitOk;
  }
  const std::string command = words.front();
  const std::vector<std::string> args(words.begin() + 1, words.end());
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kTopUsage, stdout);
    return kExitOk;
  }
  // After the -v sweep above, so that -v keeps meaning verbose. The library's
  // version, not the one this program was built with: that is what runs.
  if (command == "--version") {
    std::printf("kvx %s\n", kvx_version());
    return kExitOk;
  }
  if (command == "demo") return RunDemo(args);
  if (command == "list") return RunList(args);
  if (command == "stream") return RunStream(args);
  if (command == "simulate") return RunSimulate(args);
  if (command == "view") return RunView(args);
  std::fprintf(stderr, "kvx: unknown command '%s' (try 'kvx --help')\n", command.c_str());
  return kExitUsage;
}

}  // namespace kvx_cli
