// Dispatch of the subcommands and the top-level help.
#include "KvxCli.h"

#include <signal.h>

#include <cstdio>
#include <cstring>

namespace kvx_cli {
namespace {

const char kTopUsage[] =
    "usage: kvx <command> [options]\n"
    "\n"
    "commands:\n"
    "  demo       simulate a device, find it and stream from it (the default)\n"
    "  list       report companion apps as they appear and disappear\n"
    "  stream     stream frames from URLs or from a named app\n"
    "  simulate   run simulated devices for other programs to find\n"
    "  view       show a live stream on a local web page\n"
    "\n"
    "'kvx <command> --help' describes each command.\n";

}  // namespace

int Main(int argc, char** argv) {
#if defined(SIGPIPE)
  // Writes to a peer that went away must fail with EPIPE, not end the process.
  signal(SIGPIPE, SIG_IGN);
#endif
  std::vector<std::string> args;
  for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
  const char* command = argc > 1 ? argv[1] : "demo";
  if (std::strcmp(command, "-h") == 0 || std::strcmp(command, "--help") == 0 || std::strcmp(command, "help") == 0) {
    std::fputs(kTopUsage, stdout);
    return kExitOk;
  }
  if (std::strcmp(command, "demo") == 0) return RunDemo(args);
  if (std::strcmp(command, "list") == 0) return RunList(args);
  if (std::strcmp(command, "stream") == 0) return RunStream(args);
  if (std::strcmp(command, "simulate") == 0) return RunSimulate(args);
  if (std::strcmp(command, "view") == 0) return RunView(args);
  std::fprintf(stderr, "kvx: unknown command '%s' (try 'kvx --help')\n", command);
  return kExitUsage;
}

}  // namespace kvx_cli
