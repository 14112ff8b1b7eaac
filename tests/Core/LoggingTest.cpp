// Log manager, loggers, record formats and handlers, each test on its own
// manager instance so that the process's default manager is left alone.
// (Configuration through NPT_LOG_CONFIG is tested in tests/extra/logging.)

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "NptDataBuffer.h"
#include "NptFile.h"
#include "NptLogHandlers.h"
#include "NptLogHttpConfigurator.h"
#include "NptLogging.h"
#include "NptSockets.h"
#include "NptStreams.h"
#include "NptSystem.h"
#include "NptTime.h"
#include "TestSupport.h"

namespace {

// Keeps every record delivered to it (messages and levels).
class CollectingHandler : public NPT_LogHandler {
 public:
  explicit CollectingHandler(std::vector<std::string>* messages, std::vector<int>* levels = nullptr)
      : m_Messages(messages), m_Levels(levels) {}
  void Log(const NPT_LogRecord& record) override {
    m_Messages->push_back(record.m_Message);
    if (m_Levels) m_Levels->push_back(record.m_Level);
  }

 private:
  std::vector<std::string>* m_Messages;
  std::vector<int>* m_Levels;
};

NPT_LogRecord MakeRecord(int level, const char* message) {
  NPT_LogRecord record;
  record.m_LoggerName = "npt.test";
  record.m_Level = level;
  record.m_Message = message;
  record.m_TimeStamp = NPT_TimeStamp((NPT_Int64)1700000000 * 1000000000 + 123456789);
  record.m_SourceFile = "/src/dir/File.cpp";
  record.m_SourceLine = 42;
  record.m_SourceFunction = "Class::Method";
  record.m_ThreadId = 77;
  return record;
}

std::string FormatText(const NPT_LogRecord& record, bool colors, NPT_Flags filter) {
  NPT_MemoryStream stream;
  NPT_Log::FormatRecordToStream(record, stream, colors, filter);
  const NPT_DataBuffer& buffer = stream.GetBuffer();
  return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

std::string TempPath(const char* name) {
  static kvx_test::TemporaryDirectory s_Directory("kvx-logging");
  return s_Directory.File(name);
}

std::string ReadFile(const std::string& path) {
  NPT_String data;
  if (NPT_FAILED(NPT_File::Load(path.c_str(), data))) return std::string();
  return std::string(data.GetChars(), data.GetLength());
}

}  // namespace

// ---------------------------------------------------------------------------
// Levels, words and function names
// ---------------------------------------------------------------------------

TEST(LogLevels, NamesAndValues) {
  struct Case {
    const char* text;
    int level;
  } cases[] = {{"FATAL", 700}, {"SEVERE", 600}, {"WARNING", 500}, {"INFO", 400}, {"FINE", 300},
               {"FINER", 200}, {"FINEST", 100}, {"ALL", 0},        {"OFF", 32767}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.level, NPT_Log::GetLogLevel(c.text)) << c.text;
    EXPECT_STREQ(c.text, NPT_Log::GetLogLevelName(c.level)) << c.level;
  }
  EXPECT_STREQ("", NPT_Log::GetLogLevelName(450));
  EXPECT_STREQ("", NPT_Log::GetLogLevelName(-1));
  EXPECT_EQ(-1, NPT_Log::GetLogLevel("fine"));
  EXPECT_EQ(-1, NPT_Log::GetLogLevel(nullptr));
}

TEST(LogLevels, ParseLevelValue) {
  struct Case {
    const char* text;
    int level;
  } cases[] = {{"SEVERE", 600}, {"FATAL", 700}, {"450", 450}, {"0", 0},    {"OFF", 32767}, {"40000", 40000},
               {"-5", -1},      {"fine", -1},   {"abc", -1},  {"12x", -1}, {"", -1},       {" FINE", -1}};
  for (const Case& c : cases) EXPECT_EQ(c.level, NPT_Log::ParseLevelValue(c.text)) << "'" << c.text << "'";
}

TEST(LogLevels, TrueAndFalseWords) {
  for (const char* word : {"true", "TRUE", "Yes", "on", "1"}) {
    EXPECT_TRUE(NPT_Log::IsTrueWord(word)) << word;
    EXPECT_FALSE(NPT_Log::IsFalseWord(word)) << word;
  }
  for (const char* word : {"false", "No", "OFF", "0"}) {
    EXPECT_TRUE(NPT_Log::IsFalseWord(word)) << word;
    EXPECT_FALSE(NPT_Log::IsTrueWord(word)) << word;
  }
  for (const char* word : {"maybe", "", "2", "truex"}) {
    EXPECT_FALSE(NPT_Log::IsTrueWord(word)) << word;
    EXPECT_FALSE(NPT_Log::IsFalseWord(word)) << word;
  }
}

namespace {
struct Reducer {
  std::string Name() const {
    char name[128];
    NPT_Log::GetFunctionName(NPT_LOG_FUNCTION, name, sizeof(name));
    return name;
  }
};
}  // namespace

TEST(LogFunctionName, ReducesSignatures) {
  struct Case {
    const char* signature;
    const char* name;
  } cases[] = {
      {"virtual NPT_Result NPT_BsdSocket::Connect(const NPT_SocketAddress&, NPT_Timeout)", "NPT_BsdSocket::Connect"},
      {"int main()", "main"},
      {"plain", "plain"},
      {"", ""},
      {"NPT_Result NPT_List<T>::Add(const T&) [with T = int]", "NPT_List<T>::Add"},
      {"std::map<int, int> Foo::Get() const", "Foo::Get"},
      {"Foo::Foo(int)", "Foo::Foo"},
      {"void Foo::operator()()", "Foo::operator()"},
      {"void {anonymous}::Foo::Bar(int (*)(int))", "{anonymous}::Foo::Bar"},
      {"void (anonymous namespace)::Foo::Bar(int)", "(anonymous namespace)::Foo::Bar"},
      {"unbalanced)", "unbalanced)"},
      {"((((", "(((("},
  };
  for (const Case& c : cases) {
    char name[128];
    NPT_Log::GetFunctionName(c.signature, name, sizeof(name));
    EXPECT_STREQ(c.name, name) << c.signature;
  }
  EXPECT_TRUE(Reducer().Name().find("Reducer::Name") != std::string::npos) << Reducer().Name();
  EXPECT_EQ(std::string::npos, Reducer().Name().find('('));

  char small[5];
  NPT_Log::GetFunctionName("void NPT_Thing::Do()", small, sizeof(small));
  EXPECT_STREQ("NPT_", small);
  NPT_Log::GetFunctionName(nullptr, small, sizeof(small));
  EXPECT_STREQ("", small);
}

// ---------------------------------------------------------------------------
// Properties and sources
// ---------------------------------------------------------------------------

TEST(LogConfig, ParsesPropertiesLines) {
  NPT_LogManager manager;
  const char text[] =
      "# comment = ignored\n"
      "a.level = FINE\r\n"
      "\tb.handlers=ConsoleHandler , FileHandler\t;c.forward=no\r"
      "no equal sign\n"
      "d = x = y\n"
      " # not a comment = kept\n"
      "a.level=SEVERE\n"
      "=empty key";
  ASSERT_EQ(NPT_SUCCESS, manager.ParseConfig(text, sizeof(text) - 1));
  struct Entry {
    const char* key;
    const char* value;
  } expected[] = {{"a.level", "SEVERE"}, {"b.handlers", "ConsoleHandler , FileHandler"}, {"c.forward", "no"},
                  {"d", "x = y"},        {"# not a comment", "kept"},                   {"", "empty key"}};
  const NPT_List<NPT_LogConfigEntry>& config = manager.GetConfig();
  ASSERT_EQ(sizeof(expected) / sizeof(expected[0]), config.GetItemCount());
  NPT_List<NPT_LogConfigEntry>::Iterator entry = config.GetFirstItem();
  for (const Entry& e : expected) {
    EXPECT_STREQ(e.key, entry->m_Key.GetChars());
    EXPECT_STREQ(e.value, entry->m_Value.GetChars());
    ++entry;
  }
  ASSERT_NE(nullptr, manager.GetConfigValue("a", ".level"));
  EXPECT_STREQ("SEVERE", manager.GetConfigValue("a", ".level")->GetChars());
  EXPECT_EQ(nullptr, manager.GetConfigValue("A", ".level"));
  EXPECT_EQ(nullptr, manager.GetConfigValue("a", ".lev"));
}

TEST(LogConfig, NulEndsALine) {
  NPT_LogManager manager;
  const char text[] = "a=1\0b=2";
  ASSERT_EQ(NPT_SUCCESS, manager.ParseConfig(text, sizeof(text) - 1));
  ASSERT_NE(nullptr, manager.GetConfigValue("a", ""));
  EXPECT_STREQ("1", manager.GetConfigValue("a", "")->GetChars());
  ASSERT_NE(nullptr, manager.GetConfigValue("b", ""));
  EXPECT_STREQ("2", manager.GetConfigValue("b", "")->GetChars());
}

TEST(LogConfig, SourcesAreProcessedOneByOneAndBadOnesSkipped) {
  std::string path = TempPath("sources.properties");
  ASSERT_EQ(NPT_SUCCESS, NPT_File::Save(path.c_str(), NPT_String("from.file=1\nshared=file\n")));
  NPT_LogManager manager;
  std::string sources = "plist:first=1;shared=plist | bogus:thing | file:/nonexistent/dir/x.properties |  file:" +
                        path + " |plist:second = 2| http:port=notanumber";
  ASSERT_EQ(NPT_SUCCESS, manager.Configure(sources.c_str()));
  NPT_File::Remove(path.c_str());
  EXPECT_TRUE(manager.IsConfigured());
  struct Expect {
    const char* key;
    const char* value;
  } expected[] = {{"first", "1"}, {"from.file", "1"}, {"shared", "file"}, {"second", "2"}, {".handlers", "ConsoleHandler"}};
  for (const Expect& e : expected) {
    const NPT_String* value = manager.GetConfigValue(e.key, "");
    ASSERT_NE(nullptr, value) << e.key;
    EXPECT_STREQ(e.value, value->GetChars()) << e.key;
  }
  EXPECT_EQ(NPT_ERROR_INVALID_SYNTAX, manager.ParseConfigSource("bogus:thing"));
  // Configuration runs once.
  EXPECT_EQ(NPT_SUCCESS, manager.Configure("plist:third=3"));
  EXPECT_EQ(nullptr, manager.GetConfigValue("third", ""));
}

TEST(LogConfig, UnreadableConfigurationLeavesDefaults) {
  NPT_LogManager manager;
  ASSERT_EQ(NPT_SUCCESS, manager.Configure("file:/nonexistent/npt-logging.properties"));
  NPT_Logger* root = manager.GetRootLogger();
  ASSERT_NE(nullptr, root);
  EXPECT_EQ(NPT_LOG_LEVEL_OFF, root->GetLevel());
  EXPECT_EQ(1u, root->GetHandlers().GetItemCount());
  NPT_Logger* logger = manager.GetLogger("npt.http");
  ASSERT_NE(nullptr, logger);
  EXPECT_EQ(NPT_LOG_LEVEL_OFF, logger->GetLevel());
  EXPECT_TRUE(logger->IsLevelInherited());
  EXPECT_EQ(root, logger->GetParent());
  EXPECT_EQ(0u, logger->GetHandlers().GetItemCount());
  EXPECT_EQ(logger, manager.GetLogger("npt.http"));
  EXPECT_NE(logger, manager.GetLogger("NPT.HTTP"));
  EXPECT_EQ(root, manager.GetLogger(""));
}

// ---------------------------------------------------------------------------
// Loggers
// ---------------------------------------------------------------------------

TEST(LogLoggers, ParentCreatedOnDemandAndLevelInherited) {
  NPT_LogManager manager;
  ASSERT_EQ(NPT_SUCCESS, manager.Configure("plist:npt.level=INFO;npt.handlers=NullHandler;.handlers=NullHandler"));
  NPT_Logger* sockets = manager.GetLogger("npt.sockets.bsd");
  ASSERT_NE(nullptr, sockets);
  NPT_Logger* parent = sockets->GetParent();
  ASSERT_NE(nullptr, parent);
  EXPECT_STREQ("npt", parent->GetName().GetChars());
  EXPECT_EQ(parent, manager.GetLogger("npt"));
  EXPECT_FALSE(parent->IsLevelInherited());
  EXPECT_EQ(NPT_LOG_LEVEL_INFO, parent->GetLevel());
  EXPECT_TRUE(sockets->IsLevelInherited());
  EXPECT_EQ(NPT_LOG_LEVEL_INFO, sockets->GetLevel());
  EXPECT_EQ(manager.GetRootLogger(), parent->GetParent());
  // "npt.sockets" has no entries, so no logger was made for it.
  int named_sockets = 0;
  for (NPT_List<NPT_Logger*>::Iterator i = manager.GetLoggers().GetFirstItem(); i; ++i) {
    if ((*i)->GetName() == "npt.sockets") ++named_sockets;
  }
  EXPECT_EQ(0, named_sockets);
}

TEST(LogLoggers, LevelsForwardingAndHandlers) {
  NPT_LogManager manager;
  ASSERT_EQ(NPT_SUCCESS,
            manager.Configure("plist:a.level=450;a.forward=maybe;b.forward=YES;c.level=-3;c.level=bogus;"
                              "d.handlers= NullHandler ,NoSuchHandler,\tNullHandler ,;.level=SEVERE;.handlers="));
  NPT_Logger* a = manager.GetLogger("a");
  NPT_Logger* b = manager.GetLogger("b");
  NPT_Logger* c = manager.GetLogger("c");
  NPT_Logger* d = manager.GetLogger("d");
  ASSERT_TRUE(a && b && c && d);
  EXPECT_EQ(450, a->GetLevel());
  EXPECT_FALSE(a->GetForwardToParent());
  EXPECT_TRUE(b->GetForwardToParent());
  EXPECT_EQ(NPT_LOG_LEVEL_SEVERE, b->GetLevel());
  EXPECT_TRUE(c->IsLevelInherited());
  EXPECT_EQ(NPT_LOG_LEVEL_SEVERE, c->GetLevel());
  EXPECT_EQ(2u, d->GetHandlers().GetItemCount());
  EXPECT_EQ(0u, manager.GetRootLogger()->GetHandlers().GetItemCount());

  NPT_LogHandler* handler = nullptr;
  EXPECT_EQ(NPT_ERROR_NO_SUCH_CLASS, NPT_LogHandler::Create(manager, "x", "NoSuchHandler", handler));
  EXPECT_EQ(nullptr, handler);
}

TEST(LogLoggers, RecordsPassByLevelAndForwardUpTheChain) {
  NPT_LogManager manager;
  ASSERT_EQ(NPT_SUCCESS, manager.Configure("plist:.level=FINE;.handlers=;a.level=WARNING;a.b.level=ALL;a.b.c.forward=off"));
  std::vector<std::string> root_seen, a_seen, ab_seen, abc_seen;
  std::vector<int> levels;
  NPT_Logger* root = manager.GetRootLogger();
  NPT_Logger* a = manager.GetLogger("a");
  NPT_Logger* ab = manager.GetLogger("a.b");
  NPT_Logger* abc = manager.GetLogger("a.b.c");
  ASSERT_TRUE(root && a && ab && abc);
  root->AddHandler(new CollectingHandler(&root_seen, &levels));
  a->AddHandler(new CollectingHandler(&a_seen));
  ab->AddHandler(new CollectingHandler(&ab_seen));
  abc->AddHandler(new CollectingHandler(&abc_seen));

  a->Log(NPT_LOG_LEVEL_INFO, __FILE__, __LINE__, NPT_LOG_FUNCTION, "below %s", "warning");
  a->Log(NPT_LOG_LEVEL_SEVERE, __FILE__, __LINE__, NPT_LOG_FUNCTION, "severe %d", 1);
  ab->Log(NPT_LOG_LEVEL_FINEST, __FILE__, __LINE__, NPT_LOG_FUNCTION, "finest");
  abc->Log(NPT_LOG_LEVEL_FINEST, __FILE__, __LINE__, NPT_LOG_FUNCTION, "stops at c");
  abc->Log(450, __FILE__, __LINE__, NPT_LOG_FUNCTION, "unnamed level");

  EXPECT_EQ((std::vector<std::string>{"severe 1", "finest"}), root_seen);
  EXPECT_EQ((std::vector<int>{600, 100}), levels);
  EXPECT_EQ((std::vector<std::string>{"severe 1", "finest"}), a_seen);
  EXPECT_EQ((std::vector<std::string>{"finest"}), ab_seen);
  EXPECT_EQ((std::vector<std::string>{"stops at c", "unnamed level"}), abc_seen);
}

// A configuration applied later reaches the loggers that exist: an explicit
// level changes, an inherited one follows its parent, handlers are replaced.
TEST(LogLoggers, ReconfigureReachesExistingLoggers) {
  NPT_LogManager manager;
  ASSERT_EQ(NPT_SUCCESS, manager.Configure("plist:.handlers=NullHandler;a.level=SEVERE"));
  NPT_Logger* root = manager.GetRootLogger();
  NPT_Logger* a = manager.GetLogger("a");
  NPT_Logger* child = manager.GetLogger("a.b");
  NPT_Logger* other = manager.GetLogger("c.d");
  ASSERT_TRUE(root && a && child && other);
  EXPECT_EQ(NPT_LOG_LEVEL_OFF, other->GetLevel());
  ASSERT_EQ(NPT_SUCCESS, manager.Reconfigure("plist:.level=FINE;.handlers=NullHandler,NullHandler;a.level=INFO"));
  EXPECT_EQ(NPT_LOG_LEVEL_FINE, root->GetLevel());
  EXPECT_EQ(NPT_LOG_LEVEL_FINE, other->GetLevel());
  EXPECT_EQ(NPT_LOG_LEVEL_INFO, a->GetLevel());
  EXPECT_EQ(NPT_LOG_LEVEL_INFO, child->GetLevel());
  EXPECT_EQ(2u, root->GetHandlers().GetItemCount());
  // Entries in force stay unless replaced.
  ASSERT_EQ(NPT_SUCCESS, manager.Reconfigure("plist:a.b.level=ALL"));
  EXPECT_EQ(NPT_LOG_LEVEL_ALL, child->GetLevel());
  EXPECT_EQ(NPT_LOG_LEVEL_INFO, a->GetLevel());
}

TEST(LogLoggers, MessageBuffersGrowAndTruncateAt65536) {
  NPT_LogManager manager;
  ASSERT_EQ(NPT_SUCCESS, manager.Configure("plist:.level=ALL;.handlers="));
  std::vector<std::string> seen;
  NPT_Logger* logger = manager.GetLogger("big");
  ASSERT_NE(nullptr, logger);
  logger->AddHandler(new CollectingHandler(&seen));
  struct Case {
    size_t length;
    size_t expected;
  } cases[] = {{0, 0},         {511, 511},     {512, 512},     {9215, 9215},   {9216, 9216},
               {26623, 26623}, {61439, 61439}, {61440, 61439}, {70000, 61439}, {200000, 61439}};
  for (const Case& c : cases) {
    std::string text(c.length, 'x');
    seen.clear();
    logger->Log(NPT_LOG_LEVEL_INFO, __FILE__, __LINE__, NPT_LOG_FUNCTION, "%s", text.c_str());
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(c.expected, seen[0].size()) << c.length;
    EXPECT_EQ(std::string(c.expected, 'x'), seen[0]);
  }
}

namespace {
// A handler that logs from inside delivery, as a handler's own sockets or
// files would; the inner record must be dropped, not deadlock or recurse.
class ReentrantHandler : public NPT_LogHandler {
 public:
  ReentrantHandler(NPT_Logger** logger, std::atomic<int>* count) : m_Logger(logger), m_Count(count) {}
  void Log(const NPT_LogRecord&) override {
    m_Count->fetch_add(1);
    (*m_Logger)->Log(NPT_LOG_LEVEL_SEVERE, __FILE__, __LINE__, NPT_LOG_FUNCTION, "from inside");
    static NPT_LoggerReference inner("npt.inner");
    EXPECT_FALSE(NPT_Log_IsEnabled(inner, NPT_LOG_LEVEL_FATAL));
  }

 private:
  NPT_Logger** m_Logger;
  std::atomic<int>* m_Count;
};
}  // namespace

TEST(LogLoggers, ConcurrentLoggingWithReentrantHandlerNeitherDeadlocksNorRecurses) {
  NPT_LogManager manager;
  ASSERT_EQ(NPT_SUCCESS, manager.Configure("plist:.level=ALL;.handlers="));
  NPT_Logger* logger = manager.GetLogger("threads");
  ASSERT_NE(nullptr, logger);
  std::atomic<int> count(0);
  logger->AddHandler(new ReentrantHandler(&logger, &count));
  const int kThreads = 4, kRecords = 200;
  std::vector<std::thread> threads;
  std::atomic<int> same_logger(0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&manager, &same_logger, logger] {
      for (int i = 0; i < kRecords; ++i) {
        if (manager.GetLogger("threads") == logger) same_logger.fetch_add(1);
        logger->Log(NPT_LOG_LEVEL_INFO, __FILE__, __LINE__, NPT_LOG_FUNCTION, "record %d", i);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(kThreads * kRecords, count.load());
  EXPECT_EQ(kThreads * kRecords, same_logger.load());
}

TEST(LogLoggers, FirstUseFromManyThreadsConfiguresOnceAndAgreesOnLoggers) {
  NPT_LogManager manager;
  const int kThreads = 6;
  std::vector<NPT_Logger*> found(kThreads * 2, nullptr);
  std::vector<std::thread> threads;
  std::atomic<bool> go(false);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      // Threads that arrive while another configures wait for it.
      found[t * 2] = manager.GetLogger("a.b.c");
      found[t * 2 + 1] = manager.GetLogger("a.b");
    });
  }
  go.store(true);
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(manager.IsConfigured());
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_NE(nullptr, found[t * 2]);
    EXPECT_EQ(found[0], found[t * 2]);
    EXPECT_EQ(found[1], found[t * 2 + 1]);
  }
  // Root, "a.b.c" and "a.b": no duplicates from racing creators.
  EXPECT_EQ(3u, manager.GetLoggers().GetItemCount());
}

TEST(LogLoggers, DefaultManagerIsOffWithoutConfiguration) {
  // This executable runs without NPT_LOG_CONFIG and without a properties file.
  if (std::getenv("NPT_LOG_CONFIG")) GTEST_SKIP() << "NPT_LOG_CONFIG is set";
  static NPT_LoggerReference reference("npt.test.default");
  for (int level : {NPT_LOG_LEVEL_FATAL, NPT_LOG_LEVEL_FINEST}) EXPECT_FALSE(NPT_Log_IsEnabled(reference, level));
  ASSERT_NE(nullptr, reference.m_Logger.load());
  EXPECT_EQ(NPT_LOG_LEVEL_OFF, reference.m_Logger.load()->GetLevel());
}

// ---------------------------------------------------------------------------
// Record formats
// ---------------------------------------------------------------------------

TEST(LogFormat, TextRecordParts) {
  NPT_LogRecord record = MakeRecord(NPT_LOG_LEVEL_WARNING, "hello");
  std::string full = FormatText(record, false, 0);
  NPT_String stamp = NPT_DateTime(record.m_TimeStamp, true)
                         .ToString(NPT_DateTime::FORMAT_W3C,
                                   NPT_DateTime::FLAG_EMIT_FRACTION | NPT_DateTime::FLAG_EXTENDED_PRECISION);
  ASSERT_NE(std::string::npos, std::string(stamp.GetChars()).find(".123456789"));
  EXPECT_EQ(std::string("/src/dir/File.cpp(42): [npt.test] ") + stamp.GetChars() +
                " [Class::Method] (77) WARNING: hello\r\n",
            full);
  struct Case {
    NPT_Flags filter;
    const char* text;
  } cases[] = {
      {63, "WARNING: hello\r\n"},
      {63 & ~1, "File.cpp(42): WARNING: hello\r\n"},
      {63 & ~1 & ~16, "/src/dir/File.cpp(42): WARNING: hello\r\n"},
      {63 & ~8, "[npt.test] WARNING: hello\r\n"},
      {63 & ~4, "[Class::Method] WARNING: hello\r\n"},
      {63 & ~32, "(77) WARNING: hello\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, FormatText(record, false, c.filter)) << c.filter;

  record.m_SourceFile = "C:\\src\\Win.cpp";
  EXPECT_EQ("Win.cpp(42): WARNING: hello\r\n", FormatText(record, false, 63 & ~1));
  record.m_Level = 450;
  EXPECT_EQ("450: hello\r\n", FormatText(record, false, 63));
}

TEST(LogFormat, ColoursAroundLevelNames) {
  struct Case {
    int level;
    const char* text;
  } cases[] = {{NPT_LOG_LEVEL_FATAL, "\033[31;1mFATAL\033[0m: m\r\n"},
               {NPT_LOG_LEVEL_SEVERE, "\033[31;1mSEVERE\033[0m: m\r\n"},
               {NPT_LOG_LEVEL_WARNING, "\033[33;1mWARNING\033[0m: m\r\n"},
               {NPT_LOG_LEVEL_INFO, "\033[32;1mINFO\033[0m: m\r\n"},
               {NPT_LOG_LEVEL_FINE, "\033[34;1mFINE\033[0m: m\r\n"},
               {NPT_LOG_LEVEL_FINER, "\033[35;1mFINER\033[0m: m\r\n"},
               {NPT_LOG_LEVEL_FINEST, "\033[36;1mFINEST\033[0m: m\r\n"},
               {NPT_LOG_LEVEL_ALL, "ALL: m\r\n"},
               {450, "450: m\r\n"}};
  for (const Case& c : cases) EXPECT_EQ(c.text, FormatText(MakeRecord(c.level, "m"), true, 63)) << c.level;
}

TEST(LogFormat, NetworkRecord) {
  NPT_LogRecord record = MakeRecord(NPT_LOG_LEVEL_INFO, "h\xc3\xa9llo");
  NPT_String stamp = NPT_DateTime(record.m_TimeStamp, true)
                         .ToString(NPT_DateTime::FORMAT_W3C,
                                   NPT_DateTime::FLAG_EMIT_FRACTION | NPT_DateTime::FLAG_EXTENDED_PRECISION);
  std::string expected = std::string(
                             "Logger: npt.test\r\nLevel: INFO\r\nSource-File: /src/dir/File.cpp\r\n"
                             "Source-Function: Class::Method\r\nSource-Line: 42\r\nThread-Id: 77\r\nTimeStamp: ") +
                         stamp.GetChars() + "\r\nContent-Length: 6\r\n\r\nh\xc3\xa9llo";
  EXPECT_EQ(expected, std::string(NPT_Log::FormatRecordForNetwork(record).GetChars()));
  record.m_Level = 450;
  EXPECT_NE(std::string::npos, std::string(NPT_Log::FormatRecordForNetwork(record).GetChars()).find("\r\nLevel: 450\r\n"));
}

// ---------------------------------------------------------------------------
// Handlers
// ---------------------------------------------------------------------------

TEST(LogHandlers, ConsolePrintsFilteredRecordsToStandardOutput) {
  NPT_LogManager manager;
  ASSERT_EQ(NPT_SUCCESS, manager.Configure("plist:.level=FINE;.ConsoleHandler.filter=63;"
                                           "loud.handlers=ConsoleHandler;loud.forward=false;"
                                           "loud.ConsoleHandler.outputs=3;loud.ConsoleHandler.filter=31;"
                                           "loud.ConsoleHandler.colors=on"));
  NPT_Logger* logger = manager.GetLogger("npt.console");
  NPT_Logger* loud = manager.GetLogger("loud");
  ASSERT_TRUE(logger && loud);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  logger->Log(NPT_LOG_LEVEL_FINE, "f.cpp", 1, "F", "visible %d", 1);
  logger->Log(NPT_LOG_LEVEL_FINER, "f.cpp", 2, "F", "hidden");
  loud->Log(NPT_LOG_LEVEL_INFO, "f.cpp", 3, "F", "twice");
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ("FINE: visible 1\r\n(" + std::to_string(NPT_Thread::GetCurrentThreadId()) +
                ") \033[32;1mINFO\033[0m: twice\r\n",
            out);
#if defined(_WIN32)
  // The debugger channel is OutputDebugString there, not standard error.
  EXPECT_EQ("", err);
#else
  EXPECT_EQ("(" + std::to_string(NPT_Thread::GetCurrentThreadId()) + ") \033[32;1mINFO\033[0m: twice\r\n", err);
#endif
}

TEST(LogHandlers, FileHandlerWritesAppendsAndTruncates) {
  std::string path = TempPath("file-handler.log");
  NPT_File::Remove(path.c_str());
  ASSERT_EQ(NPT_SUCCESS, NPT_File::Save(path.c_str(), NPT_String("existing\n")));
  {
    NPT_LogManager manager;
    std::string sources = "plist:.level=ALL;.handlers=FileHandler;.FileHandler.filter=63;.FileHandler.flush=yes;"
                          ".FileHandler.filename=" + path;
    ASSERT_EQ(NPT_SUCCESS, manager.Configure(sources.c_str()));
    ASSERT_EQ(1u, manager.GetRootLogger()->GetHandlers().GetItemCount());
    manager.GetLogger("x")->Log(NPT_LOG_LEVEL_INFO, "f.cpp", 1, "F", "appended");
    EXPECT_EQ("existing\nINFO: appended\r\n", ReadFile(path));
  }
  {
    NPT_LogManager manager;
    std::string sources = "plist:.level=ALL;.handlers=FileHandler;.FileHandler.filter=63;.FileHandler.append=off;"
                          ".FileHandler.colors=on;.FileHandler.filename=" + path;
    ASSERT_EQ(NPT_SUCCESS, manager.Configure(sources.c_str()));
    manager.GetLogger("x")->Log(NPT_LOG_LEVEL_SEVERE, "f.cpp", 1, "F", "fresh");
  }
  // No colours in files, whatever the configuration says.
  EXPECT_EQ("SEVERE: fresh\r\n", ReadFile(path));
  NPT_File::Remove(path.c_str());
}

TEST(LogHandlers, FileHandlerThatCannotOpenIsNotAttached) {
  NPT_LogManager manager;
  ASSERT_EQ(NPT_SUCCESS,
            manager.Configure("plist:.handlers=FileHandler,NullHandler;.FileHandler.filename=/nonexistent/dir/x.log"));
  ASSERT_EQ(1u, manager.GetRootLogger()->GetHandlers().GetItemCount());
  NPT_LogHandler* handler = nullptr;
  EXPECT_NE(NPT_SUCCESS, NPT_LogHandler::Create(manager, "", "FileHandler", handler));
  EXPECT_EQ(nullptr, handler);
}

TEST(LogHandlers, FileHandlerRecyclesAtOneMillionBytes) {
  std::string dir = TempPath("recycle");
  NPT_File::Remove(dir.c_str(), true);
  ASSERT_EQ(NPT_SUCCESS, NPT_File::CreateDir(dir.c_str()));
  std::string path = dir + "/app.log";
  NPT_LogManager manager;
  std::string sources = "plist:.level=ALL;.handlers=FileHandler;.FileHandler.filter=63;.FileHandler.recycle=500;"
                        ".FileHandler.filename=" + path;
  ASSERT_EQ(NPT_SUCCESS, manager.Configure(sources.c_str()));
  NPT_Logger* logger = manager.GetLogger("x");
  ASSERT_NE(nullptr, logger);
  // Each record is "INFO: " + 988 characters + CR LF = 996 bytes.
  const size_t kRecordSize = 996;
  std::string payload(988, 'r');
  const int kRecords = 2100;  // a little over two files' worth
  for (int i = 0; i < kRecords; ++i) logger->Log(NPT_LOG_LEVEL_INFO, "f.cpp", 1, "F", "%s", payload.c_str());
  manager.GetRootLogger()->DeleteHandlers();  // closes the current file

  NPT_List<NPT_String> entries;
  ASSERT_EQ(NPT_SUCCESS, NPT_File::ListDir(dir.c_str(), entries));
  ASSERT_EQ(3u, entries.GetItemCount());
  size_t total = 0;
  int recycled = 0;
  for (NPT_List<NPT_String>::Iterator i = entries.GetFirstItem(); i; ++i) {
    std::string name = i->GetChars();
    NPT_LargeSize size = 0;
    ASSERT_EQ(NPT_SUCCESS, NPT_File::GetSize((dir + "/" + name).c_str(), size));
    total += size;
    if (name == "app.log") {
      EXPECT_LT(size, 1000000u);
    } else {
      ++recycled;
      // "app-YYYY-MM-DDTHH_MM_SS<zone>[-n].log": the first recycled file keeps
      // the plain name, a second one in the same second gets a counter.
      EXPECT_EQ(0u, name.find("app-")) << name;
      EXPECT_EQ(name.size() - 4, name.rfind(".log")) << name;
      EXPECT_EQ(std::string::npos, name.find(':')) << name;
      EXPECT_GT(size, 1000000u) << name;
      EXPECT_LE(size, 1000000u + kRecordSize) << name;
    }
  }
  EXPECT_EQ(2, recycled);
  EXPECT_EQ(kRecords * kRecordSize, total);  // nothing lost, nothing overwritten
  NPT_File::Remove(dir.c_str(), true);
}

TEST(LogHandlers, RecycleNameKeepsDirectoryAndExtension) {
  std::string name = NPT_LogFileHandler::MakeRecycleName("/some/dir/npt.http.log").GetChars();
  EXPECT_EQ(0u, name.find(std::string("/some/dir") + NPT_FilePath::Separator + "npt.http-")) << name;
  EXPECT_EQ(name.size() - 4, name.rfind(".log")) << name;
  EXPECT_EQ(std::string::npos, name.find(':')) << name;
  std::string bare = NPT_LogFileHandler::MakeRecycleName("plain").GetChars();
  EXPECT_EQ(0u, bare.find("plain-")) << bare;
  EXPECT_EQ(std::string::npos, bare.find('/')) << bare;
}

namespace {
// Splits a stream of network records; keeps what it read past a record for
// the next call.
class NetworkRecordReader {
 public:
  explicit NetworkRecordReader(NPT_InputStream& input) : m_Input(input) {}
  // The next whole record, or "" when the stream ends or times out first.
  std::string Next() {
    char buffer[4096];
    for (;;) {
      size_t header_end = m_Data.find("\r\n\r\n");
      size_t length_at = m_Data.find("Content-Length: ");
      if (header_end != std::string::npos && length_at != std::string::npos && length_at < header_end) {
        size_t length = std::strtoul(m_Data.c_str() + length_at + 16, nullptr, 10);
        if (m_Data.size() >= header_end + 4 + length) {
          std::string record = m_Data.substr(0, header_end + 4 + length);
          m_Data.erase(0, header_end + 4 + length);
          return record;
        }
      }
      NPT_Size read = 0;
      if (NPT_FAILED(m_Input.Read(buffer, sizeof(buffer), &read))) return std::string();
      m_Data.append(buffer, read);
    }
  }

 private:
  NPT_InputStream& m_Input;
  std::string m_Data;
};
}  // namespace

TEST(LogHandlers, TcpHandlerDeliversToLoopbackReceiverAndReconnects) {
  NPT_TcpServerSocket server;
  ASSERT_EQ(NPT_SUCCESS, server.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)));
  ASSERT_EQ(NPT_SUCCESS, server.Listen(4));
  NPT_SocketInfo info;
  ASSERT_EQ(NPT_SUCCESS, server.GetInfo(info));
  unsigned int port = info.local_address.GetPort();

  NPT_LogManager manager;
  std::string sources = "plist:net.level=ALL;net.handlers=TcpHandler;net.TcpHandler.hostname=127.0.0.1;"
                        "net.TcpHandler.port=" + std::to_string(port);
  ASSERT_EQ(NPT_SUCCESS, manager.Configure(sources.c_str()));
  NPT_Logger* logger = manager.GetLogger("net");
  ASSERT_NE(nullptr, logger);

  for (int round = 0; round < 2; ++round) {
    logger->Log(NPT_LOG_LEVEL_WARNING, "net.cpp", 10, "Net::Send", "first %d", round);
    logger->Log(NPT_LOG_LEVEL_FINE, "net.cpp", 11, "Net::Send", "second %d", round);
    NPT_Socket* client = nullptr;
    ASSERT_EQ(NPT_SUCCESS, server.WaitForNewClient(client, 5000));
    NPT_InputStreamReference input;
    ASSERT_EQ(NPT_SUCCESS, client->GetInputStream(input));
    client->SetReadTimeout(30000);
    // Records logged after the handler reconnected (the tail of the previous
    // round) may come first on the new connection.
    NetworkRecordReader reader(*input);
    std::vector<std::string> records;
    for (int i = 0; i < 30 && records.size() < 2; ++i) {
      std::string record = reader.Next();
      ASSERT_FALSE(record.empty());
      if (record.find("into the void") == std::string::npos) records.push_back(record);
    }
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(0u, records[0].find("Logger: net\r\nLevel: WARNING\r\nSource-File: net.cpp\r\n"
                                  "Source-Function: Net::Send\r\nSource-Line: 10\r\nThread-Id: "));
    EXPECT_EQ(std::string("\r\nContent-Length: 7\r\n\r\nfirst ") + std::to_string(round),
              records[0].substr(records[0].size() - 30));
    EXPECT_NE(std::string::npos, records[1].find("Level: FINE\r\n"));
    EXPECT_EQ("second " + std::to_string(round), records[1].substr(records[1].size() - 8));
    // The receiver goes away; the handler notices on a later write and
    // reconnects for the next round.
    input = nullptr;
    delete client;
    for (int i = 0; i < 20; ++i) logger->Log(NPT_LOG_LEVEL_INFO, "net.cpp", 12, "F", "into the void %d", i);
  }
}

TEST(LogHandlers, TcpHandlerWithoutReceiverDropsRecordsPromptly) {
  // Find a loopback port nobody listens on.
  unsigned int port = 0;
  {
    NPT_TcpServerSocket probe;
    ASSERT_EQ(NPT_SUCCESS, probe.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)));
    NPT_SocketInfo info;
    ASSERT_EQ(NPT_SUCCESS, probe.GetInfo(info));
    port = info.local_address.GetPort();
  }
  NPT_LogManager manager;
  std::string sources = "plist:.level=ALL;.handlers=TcpHandler;.TcpHandler.hostname=127.0.0.1;.TcpHandler.port=" +
                        std::to_string(port);
  ASSERT_EQ(NPT_SUCCESS, manager.Configure(sources.c_str()));
  NPT_TimeStamp before, after;
  NPT_System::GetCurrentTimeStamp(before);
  for (int i = 0; i < 5; ++i) manager.GetLogger("x")->Log(NPT_LOG_LEVEL_SEVERE, "f", 1, "F", "lost");
  NPT_System::GetCurrentTimeStamp(after);
  EXPECT_LT((after - before).ToMillis(), 20000);  // each waiting its 5 s connect time-out would take 25 s
}

TEST(LogHandlers, UdpHandlerSendsOneDatagramPerRecord) {
  NPT_UdpSocket receiver;
  ASSERT_EQ(NPT_SUCCESS, receiver.Bind(NPT_SocketAddress(NPT_IpAddress::Loopback, 0)));
  ASSERT_EQ(NPT_SUCCESS, receiver.SetReadTimeout(30000));
  NPT_SocketInfo info;
  ASSERT_EQ(NPT_SUCCESS, receiver.GetInfo(info));

  NPT_LogManager manager;
  std::string sources = "plist:udp.level=INFO;udp.handlers=UdpHandler;udp.UdpHandler.hostname=127.0.0.1;"
                        "udp.UdpHandler.port=" + std::to_string(info.local_address.GetPort());
  ASSERT_EQ(NPT_SUCCESS, manager.Configure(sources.c_str()));
  NPT_Logger* logger = manager.GetLogger("udp");
  ASSERT_NE(nullptr, logger);
  logger->Log(NPT_LOG_LEVEL_FINE, "u.cpp", 1, "U", "filtered out");
  logger->Log(NPT_LOG_LEVEL_INFO, "u.cpp", 2, "U", "datagram %d", 1);
  logger->Log(NPT_LOG_LEVEL_SEVERE, "u.cpp", 3, "U", "datagram %d", 2);
  for (int i = 1; i <= 2; ++i) {
    NPT_DataBuffer packet(70000);
    ASSERT_EQ(NPT_SUCCESS, receiver.Receive(packet));
    std::string text(reinterpret_cast<const char*>(packet.GetData()), packet.GetDataSize());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ('\0', text.back());
    text.pop_back();
    EXPECT_EQ(0u, text.find("Logger: udp\r\nLevel: " + std::string(i == 1 ? "INFO" : "SEVERE") + "\r\n")) << text;
    EXPECT_EQ("\r\nContent-Length: 10\r\n\r\ndatagram " + std::to_string(i), text.substr(text.size() - 34)) << text;
  }
}

// ---------------------------------------------------------------------------
// HTTP configurator
// ---------------------------------------------------------------------------

namespace {
// One HTTP/1.0 exchange on loopback; the whole response, or "" on failure.
std::string HttpExchange(unsigned int port, const std::string& request) {
  NPT_TcpClientSocket socket;
  if (NPT_FAILED(socket.Connect(NPT_SocketAddress(NPT_IpAddress::Loopback, (NPT_IpPort)port), 5000))) return "";
  socket.SetReadTimeout(30000);
  socket.SetWriteTimeout(30000);
  NPT_OutputStreamReference output;
  NPT_InputStreamReference input;
  if (NPT_FAILED(socket.GetOutputStream(output)) || NPT_FAILED(socket.GetInputStream(input))) return "";
  if (NPT_FAILED(output->WriteFully(request.data(), (NPT_Size)request.size()))) return "";
  std::string response;
  char buffer[4096];
  NPT_Size read = 0;
  while (NPT_SUCCEEDED(input->Read(buffer, sizeof(buffer), &read))) response.append(buffer, read);
  return response;
}
}  // namespace

TEST(LogHttpConfigurator, ServesTheConfigurationOnLoopback) {
  NPT_LogManager manager;
  ASSERT_EQ(NPT_SUCCESS, manager.Configure("plist:web.level=FINE;web.handlers=NullHandler;note=<b>&\"x\"|http:port=0"));
  ASSERT_NE(nullptr, manager.GetHttpConfigurator());
  unsigned int port = manager.GetHttpConfigurator()->GetPort();
  ASSERT_NE(0u, port);
  ASSERT_NE(nullptr, manager.GetLogger("web"));

  std::string page = HttpExchange(port, "GET /anything/below HTTP/1.0\r\n\r\n");
  ASSERT_EQ(0u, page.find("HTTP/1.0 200 OK\r\n")) << page;
  EXPECT_NE(std::string::npos, page.find("Content-Type: text/html\r\n")) << page;
  for (const char* part : {"<li>web.level=FINE</li>", "<li>.handlers=ConsoleHandler</li>",
                           "<li>note=&lt;b&gt;&amp;&quot;x&quot;</li>", "<li>, level=32767, handlers=</li>",
                           "<li>web, level=300, handlers=</li>"}) {
    EXPECT_NE(std::string::npos, page.find(part)) << part << "\n" << page;
  }
  std::string posted = HttpExchange(port, "POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(0u, posted.find("HTTP/1.0 500 ")) << posted;
  // The manager stops its server; the port is free again afterwards.
}

TEST(LogHttpConfigurator, BadPortsAreSkipped) {
  NPT_LogManager manager;
  EXPECT_EQ(NPT_ERROR_OUT_OF_RANGE, manager.ParseConfigSource("http:port=70000"));
  EXPECT_NE(NPT_SUCCESS, manager.ParseConfigSource("http:port=x"));
  EXPECT_EQ(nullptr, manager.GetHttpConfigurator());
}
