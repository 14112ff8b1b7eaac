// With NPT_LOG_CONFIG naming only the logger "npt" (in two "|"-separated
// pieces), the runtime's loggers get "npt" as parent, created on demand, and
// inherit its level.

#include <gtest/gtest.h>

#include <cstdlib>

#include "NptLogging.h"
#include "TestSupport.h"

TEST(LogEnvInherit, RuntimeLoggersInheritFromNpt) {
  static NPT_LoggerReference sockets("npt.sockets.bsd");
  EXPECT_TRUE(NPT_Log_IsEnabled(sockets, NPT_LOG_LEVEL_FINER));
  EXPECT_FALSE(NPT_Log_IsEnabled(sockets, NPT_LOG_LEVEL_FINEST));
  NPT_Logger* logger = sockets.m_Logger.load();
  ASSERT_NE(nullptr, logger);
  EXPECT_TRUE(logger->IsLevelInherited());
  EXPECT_EQ(NPT_LOG_LEVEL_FINER, logger->GetLevel());
  NPT_Logger* parent = logger->GetParent();
  ASSERT_NE(nullptr, parent);
  EXPECT_STREQ("npt", parent->GetName().GetChars());
  EXPECT_EQ(1u, parent->GetHandlers().GetItemCount());
  EXPECT_EQ(NPT_LogManager::GetDefault().GetRootLogger(), parent->GetParent());
}

TEST(LogEnvInherit, BothPiecesApplyAndRootStaysOff) {
  NPT_LogManager& manager = NPT_LogManager::GetDefault();
  NPT_Logger* http = manager.GetLogger("npt.http");
  ASSERT_NE(nullptr, http);
  EXPECT_FALSE(http->GetForwardToParent());
  EXPECT_EQ(NPT_LOG_LEVEL_FINER, http->GetLevel());
  NPT_Logger* other = manager.GetLogger("other.thing");
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(NPT_LOG_LEVEL_OFF, other->GetLevel());
  EXPECT_EQ(manager.GetRootLogger(), other->GetParent());
  // The second piece replaced the root's console handler with a null one.
  EXPECT_EQ(1u, manager.GetRootLogger()->GetHandlers().GetItemCount());
  // An explicit configuration afterwards changes nothing.
  EXPECT_EQ(NPT_SUCCESS, manager.Configure("plist:npt.level=SEVERE"));
  EXPECT_EQ(NPT_LOG_LEVEL_FINER, manager.GetLogger("npt")->GetLevel());
}

const char* const kLogConfig = "plist:npt.level=FINER;npt.handlers=NullHandler | plist:.handlers=NullHandler;npt.http.forward=off";

int main(int argc, char** argv) {
  kvx_test::SetEnvironment("NPT_LOG_CONFIG", kLogConfig);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
