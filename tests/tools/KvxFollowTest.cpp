// `kvx stream --device NAME --follow` against `kvx simulate`: it keeps going
// across a replug, prints each state change on one line, and counts frames
// across the resume.

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"

namespace {

using kvx_test::Process;

TEST(KvxFollow, StreamKeepsGoingAcrossAReplugAndCountsFramesInTotal) {
  const std::string kvx = kvx_test::BuildPath("tools/kvx/kvx");
  {
    Process usage({kvx, "stream", "--url", "http://127.0.0.1:1/", "--follow"});
    EXPECT_EQ(usage.Wait(20000), 2);
    EXPECT_EQ(usage.Stderr(), "kvx stream: --follow goes with --device\n");
  }
  Process sim({kvx, "simulate", "--size", "64x48", "--fps", "30"});
  const std::string address = sim.WaitForLine("USBMUXD_SOCKET_ADDRESS=", 10000);
  ASSERT_NE(address, "") << sim.Stderr();
  Process stream({kvx, "stream", "--device", "simulated device 1", "--follow", "--frames", "120"}, {address});
  stream.CloseInput();
  ASSERT_NE(stream.WaitForLine("streaming from http://kvxsim-1:8099/ (handle 1)", 20000), "") << stream.Stdout();
  ASSERT_TRUE(stream.WaitForStderr("frames ", 10000));
  sim.Write("detach kvxsim-1\n");
  ASSERT_NE(stream.WaitForLine("reconnecting (device detached)", 20000), "") << stream.Stdout();
  sim.Write("attach kvxsim-1\n");
  ASSERT_NE(stream.WaitForLine("streaming from http://kvxsim-1:8099/ (handle 2)", 20000), "") << stream.Stdout();
  ASSERT_EQ(stream.Wait(30000), 0) << stream.Stdout() << stream.Stderr();
  // A wait is told as its last reason: on a loaded machine the detach may
  // be learnt only after "reconnecting (stream ended)" was printed.
  std::string told;
  size_t start = 0, end;
  while ((end = stream.Stdout().find('\n', start)) != std::string::npos) {
    const std::string line = stream.Stdout().substr(start, end + 1 - start);
    start = end + 1;
    const size_t last = told.rfind('\n', told.size() >= 2 ? told.size() - 2 : 0);
    const size_t from = told.empty() ? 0 : last == std::string::npos ? 0 : last + 1;
    if (line.compare(0, 12, "reconnecting") == 0 && told.compare(from, 12, "reconnecting") == 0) told.resize(from);
    told += line;
  }
  const std::string lines =
      "searching for \"simulated device 1\"\n"
      "streaming from http://kvxsim-1:8099/ (handle 1)\n"
      "reconnecting (device detached)\n"
      "streaming from http://kvxsim-1:8099/ (handle 2)\n"
      "ended (aborted)\n"
      "stream summary: 120 frames (image/jpeg) in 2 streams, ";
  EXPECT_EQ(told.substr(0, lines.size()), lines) << stream.Stdout();
  sim.CloseInput();
  EXPECT_EQ(sim.Wait(30000), 0) << sim.Stderr();
}

}  // namespace
