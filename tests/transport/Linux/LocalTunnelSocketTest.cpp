// The tunnel socket over the kind of socket the distribution's usbmux client
// library hands out on Linux: a local (Unix-domain) stream socket.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "KvxUSBClientSocket.h"
#include "NptStreams.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using kvx_test::ElapsedMs;

std::string ReadPeer(int fd, size_t size) {
  std::string data;
  while (data.size() < size) {
    if (!kvx_test::raw::WaitReadable(fd, 20000)) break;
    char buffer[256];
    ssize_t got = read(fd, buffer, size - data.size() < sizeof(buffer) ? size - data.size() : sizeof(buffer));
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  return data;
}

// The real client library hands out local (Unix-domain) stream sockets: the
// tunnel socket must work on those as on TCP, with its timeouts.
TEST(USBClientSocket, AdoptsALocalStreamSocketWithTimeouts) {
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
  KVX_USBClientSocket socket(pair[0], 0);
  EXPECT_TRUE(fcntl(pair[0], F_GETFL) & O_NONBLOCK);
  NPT_SocketInfo info;
  EXPECT_EQ(NPT_SUCCESS, socket.GetInfo(info));
  NPT_InputStreamReference input;
  NPT_OutputStreamReference output;
  ASSERT_EQ(NPT_SUCCESS, socket.GetInputStream(input));
  ASSERT_EQ(NPT_SUCCESS, socket.GetOutputStream(output));
  ASSERT_EQ(NPT_SUCCESS, socket.SetReadTimeout(50));
  char byte;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(NPT_ERROR_TIMEOUT, input->Read(&byte, 1));
  EXPECT_GE(ElapsedMs(start), 40);
  ASSERT_EQ(NPT_SUCCESS, output->WriteFully("ab", 2));
  EXPECT_EQ("ab", ReadPeer(pair[1], 2));
  ASSERT_EQ(1, write(pair[1], "c", 1));
  ASSERT_EQ(NPT_SUCCESS, input->ReadFully(&byte, 1));
  EXPECT_EQ('c', byte);
  close(pair[1]);
}

}  // namespace
