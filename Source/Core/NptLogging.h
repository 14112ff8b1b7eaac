#pragma once
// Logging entry points used by every runtime source file, and the check macros.
//
// Each source file names its logger once:
//     NPT_SET_LOCAL_LOGGER("npt.sockets.bsd")
// and then logs with NPT_LOG_WARNING("text %d", value) and friends, or checks a
// step with NPT_CHECK_WARNING(step) (returns the step's failure unchanged after
// logging "NPT_CHECK failed, result=%d (%s) [%s]").
//
// The macros test the logger's level before formatting anything, so a disabled
// level costs one call that compares two integers. Emitting a record never
// changes an operation's result.

#include <atomic>
#include <cstdarg>

#include "NptList.h"
#include "NptResults.h"
#include "NptStrings.h"
#include "NptThreads.h"
#include "NptTime.h"
#include "NptTypes.h"

#define NPT_LOG_LEVEL_FATAL 700
#define NPT_LOG_LEVEL_SEVERE 600
#define NPT_LOG_LEVEL_WARNING 500
#define NPT_LOG_LEVEL_INFO 400
#define NPT_LOG_LEVEL_FINE 300
#define NPT_LOG_LEVEL_FINER 200
#define NPT_LOG_LEVEL_FINEST 100
#define NPT_LOG_LEVEL_ALL 0
#define NPT_LOG_LEVEL_OFF 32767

class NPT_Logger;
class NPT_LogManager;
class NPT_OutputStream;
class NPT_HttpLoggerConfigurator;

// One emitted message, as handed to every handler on the logger's chain. The
// texts belong to the code that emits the record and live only during delivery.
struct NPT_LogRecord {
  const char* m_LoggerName;
  int m_Level;
  const char* m_Message;
  NPT_TimeStamp m_TimeStamp;
  const char* m_SourceFile;
  unsigned int m_SourceLine;
  const char* m_SourceFunction;
  unsigned long m_ThreadId;
};

// Level names, record formats and the small parsers the configuration uses.
class NPT_Log {
 public:
  // Parts a text record may omit (the console and file handlers' ".filter").
  enum {
    FORMAT_FILTER_NO_SOURCE = 1,
    FORMAT_FILTER_NO_TIMESTAMP = 2,
    FORMAT_FILTER_NO_FUNCTION_NAME = 4,
    FORMAT_FILTER_NO_LOGGER_NAME = 8,
    FORMAT_FILTER_NO_SOURCEPATH = 16,
    FORMAT_FILTER_NO_THREAD_ID = 32
  };

  // The name of one of the seven named levels or OFF; "" for any other value.
  static const char* GetLogLevelName(int level);
  // The level of a name (exact case, "ALL" and "OFF" included), else -1.
  static int GetLogLevel(const char* name);
  // A ".level" value: a level name, else a decimal integer (the whole text).
  // -1 when it is neither or negative.
  static int ParseLevelValue(const char* value);
  // "true", "yes", "on", "1" (any case).
  static bool IsTrueWord(const char* value);
  // "false", "no", "off", "0" (any case).
  static bool IsFalseWord(const char* value);

  // Reduces a compiler's full function signature to "Class::Method" (or the
  // plain function name): return type, parameters, qualifiers and template
  // bindings are dropped. Writes at most size - 1 characters and a NUL; a text
  // it cannot make sense of is copied as far as it fits.
  static void GetFunctionName(const char* signature, char* name, NPT_Size size);

  // The text form of a record (console and file handlers), parts omitted as
  // the filter bits say; ANSI colours around the level name when asked.
  static void FormatRecordToStream(const NPT_LogRecord& record, NPT_OutputStream& stream, bool use_colors,
                                   NPT_Flags filter);
  // The network form of a record (TCP and UDP handlers), without a NUL.
  static NPT_String FormatRecordForNetwork(const NPT_LogRecord& record);
};

// Receives records. Handlers swallow their own failures: a record that cannot
// be written is dropped. The manager serialises every call to a handler.
class NPT_LogHandler {
 public:
  virtual ~NPT_LogHandler() {}
  virtual void Log(const NPT_LogRecord& record) = 0;
  // A descriptive text; empty for every handler the runtime has.
  virtual NPT_String ToString() { return NPT_String(); }

  // Creates the handler named `handler_name` ("NullHandler", "ConsoleHandler",
  // "FileHandler", "TcpHandler", "UdpHandler") for the logger `logger_name`,
  // configured from the manager's entries. `handler` is reset first.
  // NPT_ERROR_NO_SUCH_CLASS for an unknown name; a file handler whose file
  // cannot be opened gives the open's failure.
  static NPT_Result Create(NPT_LogManager& manager, const char* logger_name, const char* handler_name,
                           NPT_LogHandler*& handler);
};

// A named logger. Created only by its manager; lives as long as the manager.
class NPT_Logger {
 public:
  NPT_Logger(NPT_LogManager& manager, const char* name);
  ~NPT_Logger();
  NPT_Logger(const NPT_Logger&) = delete;
  NPT_Logger& operator=(const NPT_Logger&) = delete;

  // Formats and delivers a record to this logger's handlers and, while
  // forwarding is on, to those of its ancestors. Nothing happens when the
  // level is below the logger's level, when logging is disabled, or when the
  // calling thread is itself inside record delivery or configuration (so a
  // handler's own sockets and files never log into the manager recursively).
  void Log(int level, const char* source_file, unsigned int source_line, const char* source_function,
           const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 6, 7)))
#endif
      ;
  void LogV(int level, const char* source_file, unsigned int source_line, const char* source_function,
            const char* format, va_list args);

  // Takes ownership.
  NPT_Result AddHandler(NPT_LogHandler* handler);
  NPT_Result DeleteHandlers();

  const NPT_String& GetName() const { return m_Name; }
  int GetLevel() const { return m_Level.load(std::memory_order_relaxed); }
  bool IsLevelInherited() const { return m_LevelIsInherited; }
  bool GetForwardToParent() const { return m_ForwardToParent; }
  NPT_Logger* GetParent() const { return m_Parent; }
  const NPT_List<NPT_LogHandler*>& GetHandlers() const { return m_Handlers; }

 private:
  friend class NPT_LogManager;

  NPT_LogManager& m_Manager;
  NPT_String m_Name;
  std::atomic<int> m_Level;
  bool m_LevelIsInherited;
  bool m_ForwardToParent;
  NPT_List<NPT_LogHandler*> m_Handlers;
  NPT_Logger* m_Parent;
};

struct NPT_LogConfigEntry {
  NPT_String m_Key;
  NPT_String m_Value;
};

// The loggers of a process and their configuration. The runtime uses the one
// returned by GetDefault; other instances exist for tests. Thread-safe: logger
// creation, configuration and record delivery serialise on the manager's lock.
class NPT_LogManager {
 public:
  // The process's manager, built on first use and never destroyed (detached
  // threads may still log while the process exits).
  static NPT_LogManager& GetDefault();

  NPT_LogManager();
  ~NPT_LogManager();
  NPT_LogManager(const NPT_LogManager&) = delete;
  NPT_LogManager& operator=(const NPT_LogManager&) = delete;

  // Runs once: later calls succeed at once. `sources` is a "|"-separated list
  // of "file:<path>", "plist:<properties>" and "http:port=<n>" pieces; null
  // means "file:npt-logging.properties"; the environment variable
  // NPT_LOG_CONFIG, when set, replaces either. Unreadable or unknown pieces
  // are skipped. Always succeeds.
  NPT_Result Configure(const char* sources = nullptr);
  // Applies `sources` (the same syntax; the environment is not consulted) on
  // top of the entries in force, configuring first when needed, then
  // configures every existing logger again: its level, its handlers (new
  // ones replace the old) and its forwarding; a level still inherited follows
  // its parent's. Records emitted meanwhile by other threads are dropped.
  // Always succeeds.
  NPT_Result Reconfigure(const char* sources);
  // The logger of that name (exact case), created and configured on first
  // use; configures the manager first when needed (a caller arriving while
  // another thread configures waits for it). Null while logging is disabled
  // and for a call from inside record delivery or configuration.
  NPT_Logger* GetLogger(const char* name);

  bool IsConfigured() const { return m_Configured.load(std::memory_order_acquire); }
  bool IsEnabled() const { return m_Enabled.load(std::memory_order_relaxed); }

  // Configuration entries. Callers other than the manager itself must hold
  // the lock (GetLock) while reading them on a configured manager.
  // Replaces the value of the entry with that key, else appends one.
  NPT_Result SetConfigValue(const char* key, const char* value);
  // The value of the entry "<prefix><suffix>", or null.
  const NPT_String* GetConfigValue(const char* prefix, const char* suffix) const;
  // Properties text: lines cut at CR, LF and ";"; "#" starts a comment line;
  // "key = value" with both sides trimmed of spaces and tabs; lines without
  // "=" are ignored. The text may hold any bytes (a NUL ends a line).
  NPT_Result ParseConfig(const char* text, NPT_Size size);
  // One piece of a sources text (already trimmed). NPT_ERROR_INVALID_SYNTAX
  // for an unknown kind of source.
  NPT_Result ParseConfigSource(const NPT_String& source);
  const NPT_List<NPT_LogConfigEntry>& GetConfig() const { return m_Config; }
  const NPT_List<NPT_Logger*>& GetLoggers() const { return m_Loggers; }
  NPT_Logger* GetRootLogger() const { return m_Root; }
  NPT_Mutex& GetLock() { return m_Lock; }
  // The configurator an "http:port=" source started (the first one that
  // could bind), or null. Owned by the manager; stopped when it is destroyed.
  NPT_HttpLoggerConfigurator* GetHttpConfigurator() const { return m_HttpConfigurator; }

  // Hands a record to the logger's chain of handlers under the lock.
  void Deliver(NPT_Logger& logger, const NPT_LogRecord& record);

  // True while the calling thread is delivering a record or configuring a
  // manager: logging from such a thread is dropped instead of recursing.
  static bool IsThreadInsideLogging();

 private:
  NPT_Logger* FindLogger(const char* name);
  NPT_Logger* CreateLogger(const char* name);
  bool HasLoggerConfig(const char* name) const;
  NPT_Result ConfigureLogger(NPT_Logger& logger);
  // Parses every "|"-separated piece of `sources`; lock held.
  void ParseSources(const NPT_String& sources);

  std::atomic<bool> m_Configured;
  std::atomic<bool> m_Enabled;
  NPT_List<NPT_LogConfigEntry> m_Config;
  NPT_List<NPT_Logger*> m_Loggers;
  NPT_Logger* m_Root;
  NPT_HttpLoggerConfigurator* m_HttpConfigurator;
  NPT_Mutex m_Lock;
};

// A per-file handle on a named logger, looked up lazily on first use and
// cached. Safe to use from several threads: the cache is published atomically.
struct NPT_LoggerReference {
  constexpr explicit NPT_LoggerReference(const char* name) : m_Name(name), m_Logger(nullptr) {}
  const char* m_Name;
  std::atomic<NPT_Logger*> m_Logger;
};

// The narrow entry points between the macros and the log manager.
// NPT_Log_IsEnabled looks the logger up (first use) and tells whether a record
// of that level would pass it. NPT_Log_Emit formats and delivers the record.
bool NPT_Log_IsEnabled(NPT_LoggerReference& logger, int level);
void NPT_Log_Emit(NPT_LoggerReference& logger, int level, const char* source_file, unsigned int source_line,
                  const char* source_function, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 6, 7)))
#endif
    ;

// The full signature; the log layer reduces it to "Class::Method" for records.
#if defined(__GNUC__)
#define NPT_LOG_FUNCTION __PRETTY_FUNCTION__
#else
#define NPT_LOG_FUNCTION __FUNCTION__
#endif

#define NPT_SET_LOCAL_LOGGER(_name) static NPT_LoggerReference _NPT_LocalLogger(_name);

#define NPT_LOG_LL(_logger, _level, ...)                                                             \
  do {                                                                                               \
    if (NPT_Log_IsEnabled((_logger), (_level))) {                                                    \
      NPT_Log_Emit((_logger), (_level), __FILE__, (unsigned int)__LINE__, NPT_LOG_FUNCTION, __VA_ARGS__); \
    }                                                                                                \
  } while (0)

#define NPT_LOG_L(_level, ...) NPT_LOG_LL(_NPT_LocalLogger, (_level), __VA_ARGS__)
#define NPT_LOG_FATAL(...) NPT_LOG_L(NPT_LOG_LEVEL_FATAL, __VA_ARGS__)
#define NPT_LOG_SEVERE(...) NPT_LOG_L(NPT_LOG_LEVEL_SEVERE, __VA_ARGS__)
#define NPT_LOG_WARNING(...) NPT_LOG_L(NPT_LOG_LEVEL_WARNING, __VA_ARGS__)
#define NPT_LOG_INFO(...) NPT_LOG_L(NPT_LOG_LEVEL_INFO, __VA_ARGS__)
#define NPT_LOG_FINE(...) NPT_LOG_L(NPT_LOG_LEVEL_FINE, __VA_ARGS__)
#define NPT_LOG_FINER(...) NPT_LOG_L(NPT_LOG_LEVEL_FINER, __VA_ARGS__)
#define NPT_LOG_FINEST(...) NPT_LOG_L(NPT_LOG_LEVEL_FINEST, __VA_ARGS__)

// Check family: evaluate once; on failure log at the given level to the file's
// logger and return the same code.
#define NPT_CHECK_LL(_logger, _level, _expression)                                                       \
  do {                                                                                                   \
    NPT_Result _npt_result = (_expression);                                                              \
    if (_npt_result != NPT_SUCCESS) {                                                                    \
      NPT_LOG_LL((_logger), (_level), "NPT_CHECK failed, result=%d (%s) [%s]", (int)_npt_result,        \
                 NPT_ResultName(_npt_result), #_expression);                                             \
      return _npt_result;                                                                                \
    }                                                                                                    \
  } while (0)

#define NPT_CHECK_L(_level, _expression) NPT_CHECK_LL(_NPT_LocalLogger, (_level), _expression)
#define NPT_CHECK(_expression) NPT_CHECK_L(NPT_LOG_LEVEL_WARNING, _expression)
#define NPT_CHECK_FATAL(_expression) NPT_CHECK_L(NPT_LOG_LEVEL_FATAL, _expression)
#define NPT_CHECK_SEVERE(_expression) NPT_CHECK_L(NPT_LOG_LEVEL_SEVERE, _expression)
#define NPT_CHECK_WARNING(_expression) NPT_CHECK_L(NPT_LOG_LEVEL_WARNING, _expression)
#define NPT_CHECK_INFO(_expression) NPT_CHECK_L(NPT_LOG_LEVEL_INFO, _expression)
#define NPT_CHECK_FINE(_expression) NPT_CHECK_L(NPT_LOG_LEVEL_FINE, _expression)
#define NPT_CHECK_FINER(_expression) NPT_CHECK_L(NPT_LOG_LEVEL_FINER, _expression)
#define NPT_CHECK_FINEST(_expression) NPT_CHECK_L(NPT_LOG_LEVEL_FINEST, _expression)

// For inline code in headers, which has no file logger: returns without a record.
#define NPT_CHECK_NOLOG(_expression)                 \
  do {                                               \
    NPT_Result _npt_result = (_expression);          \
    if (_npt_result != NPT_SUCCESS) return _npt_result; \
  } while (0)

#define NPT_CHECK_POINTER(_pointer)                                  \
  do {                                                               \
    if ((_pointer) == nullptr) return NPT_ERROR_INVALID_PARAMETERS;  \
  } while (0)
