// A host that loads kvx at run time (as a managed runtime does) and exits
// while streams it never destroyed are still opening tunnels through the
// default usbmux binding: the exit must be clean, for the library stays
// usable until the process is gone.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kvx/kvx.h"

namespace {

// Set in the child that exits with streams still running.
bool g_Exiting = false;

// The host keeps its streams until it exits, as a managed runtime holds its
// objects: a stream whose walk ends during the exit is then still reachable,
// and the leak check sees nothing the host dropped.
kvx_device* g_Devices[4] = {};

// Runs among the loader's finalisers, after the exit handlers that kvx
// registered when it was loaded: the streams keep running meanwhile.
__attribute__((destructor)) void LingerAfterExitHandlers() {
  if (g_Exiting) std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

[[noreturn]] void ExitWhileStreamsConnect() {
  g_Exiting = true;
  // No daemon behind this address: every tunnel fails at once, so each
  // stream walks its URLs inside the usbmux library.
  setenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/kvx-binding-exit.sock", 1);
  void* kvx = dlopen(KVX_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
  if (kvx == nullptr) std::exit(3);
  auto create = reinterpret_cast<decltype(&kvx_device_create)>(dlsym(kvx, "kvx_device_create"));
  auto start = reinterpret_cast<decltype(&kvx_device_start)>(dlsym(kvx, "kvx_device_start"));
  if (create == nullptr || start == nullptr) std::exit(4);
  const std::vector<const char*> urls(20000, "http://device:8099/");
  for (kvx_device*& device : g_Devices) {
    device = create(urls.data(), (int32_t)urls.size(), 1);
    start(device, "exit");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::exit(0);
}

TEST(BindingExit, StreamsStillConnectingDoNotCrashTheExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int round = 0; round < 3; ++round) {
    EXPECT_EXIT(ExitWhileStreamsConnect(), testing::ExitedWithCode(0), "") << "round " << round;
  }
}

}  // namespace
