// Windows build: the commands that need the simulated host (UNIX sockets) or
// the viewer's server exist on Linux only; here they say so.
#include <cstdio>

#include "KvxCli.h"

namespace kvx_cli {
namespace {

int LinuxOnly(const char* command) {
  return Fail(command, kExitUsage, "not available on Windows (it runs on Linux only); use 'kvx list' or 'kvx stream'");
}

}  // namespace

int RunDemo(const std::vector<std::string>&) { return LinuxOnly("demo"); }
int RunSimulate(const std::vector<std::string>&) { return LinuxOnly("simulate"); }
int RunView(const std::vector<std::string>&) { return LinuxOnly("view"); }

}  // namespace kvx_cli
