// `kvx view`: placeholder until the relay is in.
#include "KvxCli.h"

namespace kvx_cli {

int RunView(const std::vector<std::string>&) { return Fail("view", kExitFailure, "error: not available yet"); }

}  // namespace kvx_cli
