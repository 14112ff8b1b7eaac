// With NPT_LOG_CONFIG set to "plist:.level=FINE;.handlers=ConsoleHandler",
// every runtime logger prints FINE and above to standard output.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "NptDynamicLibraries.h"
#include "NptFile.h"
#include "NptLogging.h"
#include "NptNetwork.h"
#include "NptSockets.h"
#include "TestSupport.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(LogEnvConsole, EveryRuntimeLoggerIsAtFine) {
  NPT_LogManager& manager = NPT_LogManager::GetDefault();
  for (const char* name : {"npt.http", "npt.sockets.bsd", "npt.threads.posix", "npt.file",
                           "npt.posix.dynamic-libraries"}) {
    NPT_Logger* logger = manager.GetLogger(name);
    ASSERT_NE(nullptr, logger) << name;
    EXPECT_EQ(NPT_LOG_LEVEL_FINE, logger->GetLevel()) << name;
    EXPECT_EQ(manager.GetRootLogger(), logger->GetParent()) << name;
  }
  ASSERT_EQ(1u, manager.GetRootLogger()->GetHandlers().GetItemCount());
}

TEST(LogEnvConsole, RuntimeRecordsReachStandardOutput) {
  testing::internal::CaptureStdout();
  {
    NPT_UdpSocket socket;
    // Logs FINE "connecting to ..." and, when sending, FINEST lines that must
    // stay below the configured level.
    EXPECT_EQ(NPT_SUCCESS, socket.Connect(NPT_SocketAddress(NPT_IpAddress::Loopback, 9)));
  }
  NPT_String data;
  EXPECT_NE(NPT_SUCCESS, NPT_File::Load("/nonexistent/kvx/file", data));
  NPT_DynamicLibrary* library = nullptr;
  EXPECT_NE(NPT_SUCCESS, NPT_DynamicLibrary::Load("libkvx-no-such-library.so", 0, library));
  std::string out = testing::internal::GetCapturedStdout();

  EXPECT_TRUE(Contains(out, "[npt.sockets.bsd] ")) << out;
  EXPECT_TRUE(Contains(out, " FINE: connecting to 7f000001, port 9\r\n")) << out;
  EXPECT_TRUE(Contains(out, "[npt.file] ")) << out;
  EXPECT_TRUE(Contains(out, " FINE: NPT_CHECK failed, result=")) << out;
#if defined(_WIN32)
  EXPECT_TRUE(Contains(out, "[npt.win32.dynamic-libraries] ")) << out;
#else
  EXPECT_TRUE(Contains(out, "[npt.posix.dynamic-libraries] ")) << out;
#endif
  EXPECT_TRUE(Contains(out, " FINE: loading library libkvx-no-such-library.so")) << out;
  EXPECT_FALSE(Contains(out, "FINEST")) << out;
  EXPECT_FALSE(Contains(out, "FINER")) << out;
  // Function names are reduced to "Class::Method".
  EXPECT_TRUE(Contains(out, "::Connect] ")) << out;
  EXPECT_FALSE(Contains(out, "NPT_Result ")) << out;
}

const char* const kLogConfig = "plist:.level=FINE;.handlers=ConsoleHandler";

int main(int argc, char** argv) {
  kvx_test::SetEnvironment("NPT_LOG_CONFIG", kLogConfig);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
