// The Windows platform layer where it differs from Linux: Windows Sockets
// error codes, waits woken by a cancel from another thread, and files named
// by UTF-8 paths that the OS takes in wide form.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "../../../Source/System/Win32/NptBsdSocketFd.h"
#include "NptFile.h"
#include "NptSockets.h"
#include "NptStreams.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(Win32Sockets, ErrorCodesMapAsOnTheWire) {
  const struct {
    int code;
    NPT_Result expected;
  } cases[] = {
      {10004, NPT_ERROR_INTERRUPTED},       {10035, NPT_ERROR_WOULD_BLOCK},
      {10036, NPT_ERROR_WOULD_BLOCK},       {10048, NPT_ERROR_ADDRESS_IN_USE},
      {10050, NPT_ERROR_NETWORK_DOWN},      {10051, NPT_ERROR_NETWORK_UNREACHABLE},
      {10052, NPT_ERROR_CONNECTION_RESET},  {10054, NPT_ERROR_CONNECTION_RESET},
      {10053, NPT_ERROR_CONNECTION_ABORTED}, {10060, NPT_ERROR_TIMEOUT},
      {10061, NPT_ERROR_CONNECTION_REFUSED}, {10038, -32038},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, NPT_BsdSocketMapErrorCode(c.code)) << c.code;
}

// A connected pair on loopback: `client` connected to a socket accepted by
// `server`, which the caller owns.
void Connect(NPT_TcpServerSocket& server, NPT_TcpClientSocket& client, NPT_Socket*& accepted) {
  ASSERT_EQ(NPT_SUCCESS, server.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)));
  ASSERT_EQ(NPT_SUCCESS, server.Listen(1));
  NPT_SocketInfo info;
  server.GetInfo(info);
  ASSERT_EQ(NPT_SUCCESS, client.Connect(NPT_SocketAddress(NPT_IpAddress::Loopback, info.local_address.GetPort()), 10000));
  ASSERT_EQ(NPT_SUCCESS, server.WaitForNewClient(accepted, 10000));
}

TEST(Win32Sockets, ReadTimesOutThenCancelWakesABlockedReadAtOnce) {
  NPT_TcpServerSocket server;
  NPT_TcpClientSocket client;
  NPT_Socket* accepted = nullptr;
  Connect(server, client, accepted);
  ASSERT_NE(nullptr, accepted);
  NPT_InputStreamReference input;
  ASSERT_EQ(NPT_SUCCESS, client.GetInputStream(input));
  char byte = 0;
  NPT_Size read = 0;

  client.SetReadTimeout(0);
  EXPECT_EQ(NPT_ERROR_WOULD_BLOCK, input->Read(&byte, 1, &read));
  client.SetReadTimeout(300);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(NPT_ERROR_TIMEOUT, input->Read(&byte, 1, &read));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));

  client.SetReadTimeout(NPT_TIMEOUT_INFINITE);
  NPT_Result result = NPT_SUCCESS;
  std::thread reader([&] { result = input->Read(&byte, 1, &read); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  start = Clock::now();
  client.Cancel();
  reader.join();
  EXPECT_EQ(NPT_ERROR_CANCELLED, result);
  // Generous: a miss would be a hang, not a slow wake-up.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(NPT_ERROR_CANCELLED, input->Read(&byte, 1, &read));
  delete accepted;
}

TEST(Win32Sockets, ConnectToAClosedPortIsRefused) {
  NPT_TcpServerSocket server;
  ASSERT_EQ(NPT_SUCCESS, server.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)));
  NPT_SocketInfo info;
  server.GetInfo(info);
  const NPT_IpPort port = info.local_address.GetPort();
  server.Cancel();  // bound, never listening: nobody accepts on the port
  NPT_TcpClientSocket client;
  EXPECT_EQ(NPT_ERROR_CONNECTION_REFUSED, client.Connect(NPT_SocketAddress(NPT_IpAddress::Loopback, port), 10000));
}

// Windows: a bind without the reuse flag takes the port exclusively, so a
// socket that asks to share it (SO_REUSEADDR, which on Windows would let it
// bind a port in use) is kept out; with the flag no option is set, as
// Windows already binds over connections that linger on a port.
TEST(Win32Sockets, BindWithoutReuseTakesThePortExclusively) {
  for (bool reuse : {false, true}) {
    NPT_TcpServerSocket server;
    ASSERT_EQ(NPT_SUCCESS, server.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0), reuse));
    NPT_SocketInfo info;
    server.GetInfo(info);
    SOCKET intruder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, intruder);
    BOOL on = TRUE;
    ASSERT_EQ(0, setsockopt(intruder, SOL_SOCKET, SO_REUSEADDR, (const char*)&on, sizeof(on)));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(info.local_address.GetPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int bound = bind(intruder, (sockaddr*)&address, sizeof(address));
    const int error = WSAGetLastError();
    closesocket(intruder);
    if (!reuse) {
      EXPECT_NE(0, bound);
      // Windows says "access denied" to a port held exclusively.
      EXPECT_TRUE(error == WSAEADDRINUSE || error == WSAEACCES) << error;
    }
  }
}

TEST(Win32Files, Utf8PathsRoundTrip) {
  kvx_test::TemporaryDirectory temporary("kvx-win32");
  ASSERT_FALSE(temporary.Path().empty());
  const std::string dir = temporary.File("w\xC3\xA9");
  const std::string path = dir + "/sub/f\xC3\xBC.txt";
  ASSERT_EQ(NPT_SUCCESS, NPT_File::CreateDir((dir + "/sub").c_str(), true));
  ASSERT_EQ(NPT_SUCCESS, NPT_File::Save(path.c_str(), NPT_String("hello")));
  NPT_String data;
  ASSERT_EQ(NPT_SUCCESS, NPT_File::Load(path.c_str(), data));
  EXPECT_STREQ("hello", data.GetChars());
  NPT_List<NPT_String> entries;
  ASSERT_EQ(NPT_SUCCESS, NPT_File::ListDir((dir + "/sub").c_str(), entries));
  ASSERT_EQ(1u, entries.GetItemCount());
  EXPECT_STREQ("f\xC3\xBC.txt", entries.GetFirstItem()->GetChars());
  EXPECT_EQ(NPT_SUCCESS, NPT_File::Rename(path.c_str(), (dir + "/moved.txt").c_str()));
  EXPECT_FALSE(NPT_File::Exists(path.c_str()));
  EXPECT_EQ(NPT_SUCCESS, NPT_File::Remove(dir.c_str(), true));
  EXPECT_FALSE(NPT_File::Exists(dir.c_str()));
}

}  // namespace
