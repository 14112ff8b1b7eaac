// `kvx`: find companion apps on USB devices and stream from them; `kvx demo`
// does both against a built-in simulated device.
#include "KvxCli.h"

int main(int argc, char** argv) { return kvx_cli::Main(argc, argv); }
