// The log manager, loggers, level names and record formats, and the entry
// points the log macros call.

#include "NptLogging.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "NptFile.h"
#include "NptLogHandlers.h"
#include "NptLogHttpConfigurator.h"
#include "NptStreams.h"
#include "NptSystem.h"

namespace {

const char* const NPT_LOG_DEFAULT_SOURCES = "file:npt-logging.properties";
const char* const NPT_LOG_CONFIG_ENV = "NPT_LOG_CONFIG";

// Formatting limits: short messages use the stack, longer ones grow a heap
// buffer to at most this many characters and are truncated beyond it.
const int NPT_LOG_STACK_BUFFER_SIZE = 512;
const int NPT_LOG_HEAP_BUFFER_MAX_SIZE = 65536;

// Set while this thread delivers a record or configures a manager. Anything a
// handler or the configuration calls (sockets, files, threads, the HTTP
// server) may log; such records are dropped rather than re-entering the
// manager, which could otherwise recurse into the same handler or wait on
// itself.
thread_local unsigned int t_InsideLogging = 0;

class InsideLoggingScope {
 public:
  InsideLoggingScope() { ++t_InsideLogging; }
  ~InsideLoggingScope() { --t_InsideLogging; }
  InsideLoggingScope(const InsideLoggingScope&) = delete;
  InsideLoggingScope& operator=(const InsideLoggingScope&) = delete;
};

struct LevelName {
  int level;
  const char* name;
};
const LevelName NPT_LOG_LEVEL_NAMES[] = {
    {NPT_LOG_LEVEL_FATAL, "FATAL"}, {NPT_LOG_LEVEL_SEVERE, "SEVERE"}, {NPT_LOG_LEVEL_WARNING, "WARNING"},
    {NPT_LOG_LEVEL_INFO, "INFO"},   {NPT_LOG_LEVEL_FINE, "FINE"},     {NPT_LOG_LEVEL_FINER, "FINER"},
    {NPT_LOG_LEVEL_FINEST, "FINEST"}, {NPT_LOG_LEVEL_ALL, "ALL"},     {NPT_LOG_LEVEL_OFF, "OFF"}};

const char* GetLevelColor(int level) {
  switch (level) {
    case NPT_LOG_LEVEL_FATAL:
    case NPT_LOG_LEVEL_SEVERE:
      return "31";
    case NPT_LOG_LEVEL_WARNING:
      return "33";
    case NPT_LOG_LEVEL_INFO:
      return "32";
    case NPT_LOG_LEVEL_FINE:
      return "34";
    case NPT_LOG_LEVEL_FINER:
      return "35";
    case NPT_LOG_LEVEL_FINEST:
      return "36";
    default:
      return nullptr;
  }
}

// The level's name, or its decimal value when it has none.
NPT_String LevelText(int level) {
  const char* name = NPT_Log::GetLogLevelName(level);
  if (name[0] != '\0') return NPT_String(name);
  return NPT_String::FromInteger(level);
}

NPT_String TimeStampText(const NPT_TimeStamp& timestamp) {
  NPT_DateTime date(timestamp, true);
  return date.ToString(NPT_DateTime::FORMAT_W3C,
                       NPT_DateTime::FLAG_EMIT_FRACTION | NPT_DateTime::FLAG_EXTENDED_PRECISION);
}

const char* OrEmpty(const char* text) { return text ? text : ""; }

}  // namespace

// ---------------------------------------------------------------------------
// NPT_Log
// ---------------------------------------------------------------------------

const char* NPT_Log::GetLogLevelName(int level) {
  for (const LevelName& entry : NPT_LOG_LEVEL_NAMES) {
    if (entry.level == level) return entry.name;
  }
  return "";
}

int NPT_Log::GetLogLevel(const char* name) {
  if (name == nullptr) return -1;
  for (const LevelName& entry : NPT_LOG_LEVEL_NAMES) {
    if (std::strcmp(entry.name, name) == 0) return entry.level;
  }
  return -1;
}

int NPT_Log::ParseLevelValue(const char* value) {
  int level = GetLogLevel(value);
  if (level >= 0) return level;
  int number = 0;
  if (NPT_FAILED(NPT_String(value).ToInteger(number, false))) return -1;
  return number >= 0 ? number : -1;
}

bool NPT_Log::IsTrueWord(const char* value) {
  if (value == nullptr) return false;
  return NPT_String::Compare(value, "true", true) == 0 || NPT_String::Compare(value, "yes", true) == 0 ||
         NPT_String::Compare(value, "on", true) == 0 || NPT_String::Compare(value, "1") == 0;
}

bool NPT_Log::IsFalseWord(const char* value) {
  if (value == nullptr) return false;
  return NPT_String::Compare(value, "false", true) == 0 || NPT_String::Compare(value, "no", true) == 0 ||
         NPT_String::Compare(value, "off", true) == 0 || NPT_String::Compare(value, "0") == 0;
}

void NPT_Log::GetFunctionName(const char* signature, char* name, NPT_Size size) {
  if (name == nullptr || size == 0) return;
  name[0] = '\0';
  if (signature == nullptr) return;

  // Template bindings come last, after the qualifiers: "... [with T = int]".
  NPT_Size end = (NPT_Size)std::strlen(signature);
  const char* with = std::strstr(signature, " [with ");
  if (with) end = (NPT_Size)(with - signature);

  // The parameter list is the last balanced "(...)"; anything after it is
  // qualifiers. Searching from the end keeps "(anonymous namespace)::" and
  // "operator()" intact.
  NPT_Size start = 0;
  NPT_Size name_end = end;
  NPT_Size close = end;
  while (close > 0 && signature[close - 1] != ')') --close;
  if (close > 0) {
    int depth = 0;
    NPT_Size i = close;  // one past the ')'
    bool balanced = false;
    while (i > 0) {
      char c = signature[--i];
      if (c == ')') {
        ++depth;
      } else if (c == '(') {
        if (--depth == 0) {
          balanced = true;
          break;
        }
      }
    }
    if (balanced) {
      name_end = i;
      // The name starts after the last space outside template brackets and
      // parentheses (the return type ends there; "(anonymous namespace)"
      // belongs to the name).
      int angle = 0;
      int paren = 0;
      NPT_Size j = name_end;
      while (j > 0) {
        char c = signature[j - 1];
        if (c == '>') {
          ++angle;
        } else if (c == '<') {
          if (angle > 0) --angle;
        } else if (c == ')') {
          ++paren;
        } else if (c == '(') {
          if (paren > 0) --paren;
        } else if (c == ' ' && angle == 0 && paren == 0) {
          break;
        }
        --j;
      }
      start = j;
    }
  }
  NPT_Size length = name_end - start;
  if (length > size - 1) length = size - 1;
  std::memcpy(name, signature + start, length);
  name[length] = '\0';
}

void NPT_Log::FormatRecordToStream(const NPT_LogRecord& record, NPT_OutputStream& stream, bool use_colors,
                                   NPT_Flags filter) {
  if ((filter & FORMAT_FILTER_NO_SOURCE) == 0) {
    const char* file = OrEmpty(record.m_SourceFile);
    if (filter & FORMAT_FILTER_NO_SOURCEPATH) {
      for (const char* c = file; *c; ++c) {
        if (*c == '\\' || *c == '/') file = c + 1;
      }
    }
    stream.WriteString(file);
    stream.WriteString("(");
    stream.WriteString(NPT_String::FromIntegerU(record.m_SourceLine));
    stream.WriteString("): ");
  }
  if ((filter & FORMAT_FILTER_NO_LOGGER_NAME) == 0) {
    stream.WriteString("[");
    stream.WriteString(OrEmpty(record.m_LoggerName));
    stream.WriteString("] ");
  }
  if ((filter & FORMAT_FILTER_NO_TIMESTAMP) == 0) {
    stream.WriteString(TimeStampText(record.m_TimeStamp));
    stream.WriteString(" ");
  }
  if ((filter & FORMAT_FILTER_NO_FUNCTION_NAME) == 0) {
    stream.WriteString("[");
    stream.WriteString(OrEmpty(record.m_SourceFunction));
    stream.WriteString("] ");
  }
  if ((filter & FORMAT_FILTER_NO_THREAD_ID) == 0) {
    stream.WriteString("(");
    stream.WriteString(NPT_String::FromIntegerU(record.m_ThreadId));
    stream.WriteString(") ");
  }
  const char* color = use_colors ? GetLevelColor(record.m_Level) : nullptr;
  if (color) {
    stream.WriteString("\033[");
    stream.WriteString(color);
    stream.WriteString(";1m");
  }
  stream.WriteString(LevelText(record.m_Level));
  if (color) stream.WriteString("\033[0m");
  stream.WriteString(": ");
  stream.WriteString(OrEmpty(record.m_Message));
  stream.WriteString("\r\n");
}

NPT_String NPT_Log::FormatRecordForNetwork(const NPT_LogRecord& record) {
  const char* message = OrEmpty(record.m_Message);
  NPT_String text("Logger: ");
  text += OrEmpty(record.m_LoggerName);
  text += "\r\nLevel: ";
  text += LevelText(record.m_Level);
  text += "\r\nSource-File: ";
  text += OrEmpty(record.m_SourceFile);
  text += "\r\nSource-Function: ";
  text += OrEmpty(record.m_SourceFunction);
  text += "\r\nSource-Line: ";
  text += NPT_String::FromIntegerU(record.m_SourceLine);
  text += "\r\nThread-Id: ";
  text += NPT_String::FromIntegerU(record.m_ThreadId);
  text += "\r\nTimeStamp: ";
  text += TimeStampText(record.m_TimeStamp);
  text += "\r\nContent-Length: ";
  text += NPT_String::FromIntegerU(std::strlen(message));
  text += "\r\n\r\n";
  text += message;
  return text;
}

// ---------------------------------------------------------------------------
// NPT_Logger
// ---------------------------------------------------------------------------

NPT_Logger::NPT_Logger(NPT_LogManager& manager, const char* name)
    : m_Manager(manager),
      m_Name(name),
      m_Level(NPT_LOG_LEVEL_OFF),
      m_LevelIsInherited(true),
      m_ForwardToParent(true),
      m_Parent(nullptr) {}

NPT_Logger::~NPT_Logger() { DeleteHandlers(); }

NPT_Result NPT_Logger::AddHandler(NPT_LogHandler* handler) {
  if (handler == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  return m_Handlers.Add(handler);
}

NPT_Result NPT_Logger::DeleteHandlers() {
  for (NPT_List<NPT_LogHandler*>::Iterator i = m_Handlers.GetFirstItem(); i; ++i) delete *i;
  m_Handlers.Clear();
  return NPT_SUCCESS;
}

void NPT_Logger::Log(int level, const char* source_file, unsigned int source_line, const char* source_function,
                     const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(level, source_file, source_line, source_function, format, args);
  va_end(args);
}

void NPT_Logger::LogV(int level, const char* source_file, unsigned int source_line, const char* source_function,
                      const char* format, va_list args) {
  if (!m_Manager.IsEnabled() || level < GetLevel() || NPT_LogManager::IsThreadInsideLogging()) return;
  if (format == nullptr) format = "";

  char stack_buffer[NPT_LOG_STACK_BUFFER_SIZE];
  char* heap_buffer = nullptr;
  const char* message = stack_buffer;
  int buffer_size = NPT_LOG_STACK_BUFFER_SIZE;
  va_list attempt;
  va_copy(attempt, args);
  int length = std::vsnprintf(stack_buffer, sizeof(stack_buffer), format, attempt);
  va_end(attempt);
  if (length < 0) stack_buffer[0] = '\0';
  while (length >= buffer_size) {
    int next_size = (buffer_size + 4096) * 2;
    if (next_size > NPT_LOG_HEAP_BUFFER_MAX_SIZE) break;  // keep the truncated text
    char* next_buffer = new (std::nothrow) char[next_size];
    if (next_buffer == nullptr) break;
    va_copy(attempt, args);
    length = std::vsnprintf(next_buffer, next_size, format, attempt);
    va_end(attempt);
    if (length < 0) {
      delete[] next_buffer;
      break;
    }
    delete[] heap_buffer;
    heap_buffer = next_buffer;
    message = heap_buffer;
    buffer_size = next_size;
  }

  char function_name[256];
  NPT_Log::GetFunctionName(source_function, function_name, sizeof(function_name));

  NPT_LogRecord record;
  record.m_LoggerName = m_Name.GetChars();
  record.m_Level = level;
  record.m_Message = message;
  NPT_System::GetCurrentTimeStamp(record.m_TimeStamp);
  record.m_SourceFile = OrEmpty(source_file);
  record.m_SourceLine = source_line;
  record.m_SourceFunction = function_name;
  record.m_ThreadId = NPT_Thread::GetCurrentThreadId();

  m_Manager.Deliver(*this, record);
  delete[] heap_buffer;
}

// ---------------------------------------------------------------------------
// NPT_LogManager
// ---------------------------------------------------------------------------

NPT_LogManager& NPT_LogManager::GetDefault() {
  // Never destroyed: runtime threads that outlive static destruction may
  // still log, and cached logger pointers must stay valid.
  static NPT_LogManager* const manager = new NPT_LogManager();
  return *manager;
}

NPT_LogManager::NPT_LogManager()
    : m_Configured(false), m_Enabled(true), m_Root(nullptr), m_HttpConfigurator(nullptr) {}

NPT_LogManager::~NPT_LogManager() {
  // First, since its thread reads the loggers.
  delete m_HttpConfigurator;
  for (NPT_List<NPT_Logger*>::Iterator i = m_Loggers.GetFirstItem(); i; ++i) delete *i;
}

bool NPT_LogManager::IsThreadInsideLogging() { return t_InsideLogging != 0; }

NPT_Result NPT_LogManager::SetConfigValue(const char* key, const char* value) {
  for (NPT_List<NPT_LogConfigEntry>::Iterator i = m_Config.GetFirstItem(); i; ++i) {
    if (i->m_Key == OrEmpty(key)) {
      i->m_Value = value;
      return NPT_SUCCESS;
    }
  }
  NPT_LogConfigEntry entry;
  entry.m_Key = key;
  entry.m_Value = value;
  return m_Config.Add(entry);
}

const NPT_String* NPT_LogManager::GetConfigValue(const char* prefix, const char* suffix) const {
  NPT_Size prefix_length = (NPT_Size)std::strlen(OrEmpty(prefix));
  NPT_Size suffix_length = (NPT_Size)std::strlen(OrEmpty(suffix));
  for (NPT_List<NPT_LogConfigEntry>::Iterator i = m_Config.GetFirstItem(); i; ++i) {
    const NPT_String& key = i->m_Key;
    if (key.GetLength() == prefix_length + suffix_length &&
        std::memcmp(key.GetChars(), OrEmpty(prefix), prefix_length) == 0 &&
        std::memcmp(key.GetChars() + prefix_length, OrEmpty(suffix), suffix_length) == 0) {
      return &i->m_Value;
    }
  }
  return nullptr;
}

NPT_Result NPT_LogManager::ParseConfig(const char* text, NPT_Size size) {
  if (text == nullptr) return size ? NPT_ERROR_INVALID_PARAMETERS : NPT_SUCCESS;
  NPT_Size line_start = 0;
  for (NPT_Size i = 0; i <= size; ++i) {
    char c = i < size ? text[i] : '\0';
    if (i < size && c != '\r' && c != '\n' && c != ';' && c != '\0') continue;
    const char* line = text + line_start;
    NPT_Size line_length = i - line_start;
    line_start = i + 1;
    if (line_length == 0 || line[0] == '#') continue;
    const char* equal = static_cast<const char*>(std::memchr(line, '=', line_length));
    if (equal == nullptr) continue;
    NPT_String key(line, (NPT_Size)(equal - line));
    NPT_String value(equal + 1, (NPT_Size)(line + line_length - equal - 1));
    key.Trim(" \t");
    value.Trim(" \t");
    NPT_Result result = SetConfigValue(key, value);
    if (NPT_FAILED(result)) return result;
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_LogManager::ParseConfigSource(const NPT_String& source) {
  if (source.StartsWith("file:")) {
    NPT_String data;
    NPT_Result result = NPT_File::Load(source.GetChars() + 5, data);
    if (NPT_FAILED(result)) return result;
    return ParseConfig(data.GetChars(), data.GetLength());
  }
  if (source.StartsWith("plist:")) {
    return ParseConfig(source.GetChars() + 6, source.GetLength() - 6);
  }
  if (source.StartsWith("http:port=")) {
    unsigned int port = 0;
    NPT_Result result = NPT_String(source.GetChars() + 10).ToInteger(port, true);
    if (NPT_FAILED(result)) return result;
    if (port > 0xFFFF) return NPT_ERROR_OUT_OF_RANGE;
    if (m_HttpConfigurator) return NPT_ERROR_INVALID_STATE;
    NPT_HttpLoggerConfigurator* configurator = new (std::nothrow) NPT_HttpLoggerConfigurator(*this, (NPT_IpPort)port);
    if (configurator == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
    result = configurator->Start();
    if (NPT_FAILED(result)) {
      delete configurator;
      return result;
    }
    m_HttpConfigurator = configurator;
    return NPT_SUCCESS;
  }
  return NPT_ERROR_INVALID_SYNTAX;
}

NPT_Result NPT_LogManager::Configure(const char* sources) {
  if (IsConfigured()) return NPT_SUCCESS;
  NPT_AutoLock lock(m_Lock);
  if (IsConfigured()) return NPT_SUCCESS;

  // Nothing that configuring calls (file reads, the HTTP server) may log into
  // a half-built manager: other threads see logging disabled, this one is
  // marked as inside logging.
  InsideLoggingScope inside;
  bool was_enabled = m_Enabled.exchange(false);

  SetConfigValue(".handlers", "ConsoleHandler");

  NPT_String text(sources ? sources : NPT_LOG_DEFAULT_SOURCES);
  const char* environment = std::getenv(NPT_LOG_CONFIG_ENV);
  if (environment) text = environment;
  ParseSources(text);

  m_Root = new NPT_Logger(*this, "");
  m_Root->m_LevelIsInherited = false;
  ConfigureLogger(*m_Root);
  m_Loggers.Add(m_Root);

  m_Configured.store(true, std::memory_order_release);
  m_Enabled.store(was_enabled);
  return NPT_SUCCESS;
}
NPT_Result NPT_LogManager::Reconfigure(const char* sources) {
  if (!IsConfigured()) Configure(nullptr);
  NPT_AutoLock lock(m_Lock);
  InsideLoggingScope inside;
  bool was_enabled = m_Enabled.exchange(false);
  ParseSources(NPT_String(sources));
  // Parents come before their children in the list (CreateLogger adds a
  // logger after its ancestors), so an inherited level is settled in order.
  for (NPT_List<NPT_Logger*>::Iterator i = m_Loggers.GetFirstItem(); i; ++i) {
    NPT_Logger& logger = **i;
    ConfigureLogger(logger);
    if (logger.m_LevelIsInherited && logger.m_Parent) {
      logger.m_Level.store(logger.m_Parent->GetLevel(), std::memory_order_relaxed);
    }
  }
  m_Enabled.store(was_enabled);
  return NPT_SUCCESS;
}

void NPT_LogManager::ParseSources(const NPT_String& sources) {
  const char* piece = sources.GetChars();
  for (;;) {
    const char* separator = std::strchr(piece, '|');
    NPT_Size length = separator ? (NPT_Size)(separator - piece) : (NPT_Size)std::strlen(piece);
    NPT_String source(piece, length);
    source.Trim(" \t");
    // A source that cannot be read or understood leaves the others in force.
    if (!source.IsEmpty()) ParseConfigSource(source);
    if (separator == nullptr) break;
    piece = separator + 1;
  }
}

NPT_Logger* NPT_LogManager::GetLogger(const char* name) {
  if (IsThreadInsideLogging()) return nullptr;
  // A thread arriving while another configures waits for the configuration
  // (on the lock) rather than losing its records.
  if (!IsConfigured()) Configure(nullptr);
  if (!IsEnabled()) return nullptr;
  NPT_AutoLock lock(m_Lock);
  if (!IsEnabled()) return nullptr;
  return CreateLogger(OrEmpty(name));
}

NPT_Logger* NPT_LogManager::FindLogger(const char* name) {
  for (NPT_List<NPT_Logger*>::Iterator i = m_Loggers.GetFirstItem(); i; ++i) {
    if ((*i)->m_Name == name) return *i;
  }
  return nullptr;
}

bool NPT_LogManager::HasLoggerConfig(const char* name) const {
  return GetConfigValue(name, ".level") || GetConfigValue(name, ".handlers") || GetConfigValue(name, ".forward");
}

// Called with the lock held. Ancestors are created under the same (re-entrant)
// lock, so two threads can never create the same logger twice.
NPT_Logger* NPT_LogManager::CreateLogger(const char* name) {
  NPT_Logger* logger = FindLogger(name);
  if (logger) return logger;

  logger = new (std::nothrow) NPT_Logger(*this, name);
  if (logger == nullptr) return nullptr;
  ConfigureLogger(*logger);

  NPT_Logger* parent = nullptr;
  NPT_String ancestor(name);
  for (;;) {
    int dot = ancestor.ReverseFind('.');
    if (dot < 0) break;
    ancestor = ancestor.Left((NPT_Size)dot);
    parent = FindLogger(ancestor);
    if (parent) break;
    if (HasLoggerConfig(ancestor)) {
      parent = CreateLogger(ancestor);
      if (parent) break;
    }
  }
  if (parent == nullptr) parent = m_Root;
  logger->m_Parent = parent;
  // Ancestors have resolved their own levels already, so the parent's level
  // is that of the nearest ancestor that sets one.
  if (logger->m_LevelIsInherited && parent) logger->m_Level.store(parent->GetLevel(), std::memory_order_relaxed);

  if (NPT_FAILED(m_Loggers.Add(logger))) {
    delete logger;
    return nullptr;
  }
  return logger;
}

NPT_Result NPT_LogManager::ConfigureLogger(NPT_Logger& logger) {
  const char* name = logger.m_Name.GetChars();

  const NPT_String* level = GetConfigValue(name, ".level");
  if (level) {
    int value = NPT_Log::ParseLevelValue(*level);
    if (value >= 0) {
      logger.m_Level.store(value, std::memory_order_relaxed);
      logger.m_LevelIsInherited = false;
    }
  }

  logger.DeleteHandlers();
  const NPT_String* handlers = GetConfigValue(name, ".handlers");
  if (handlers) {
    const char* start = handlers->GetChars();
    for (;;) {
      const char* comma = std::strchr(start, ',');
      NPT_String handler_name(start, comma ? (NPT_Size)(comma - start) : (NPT_Size)std::strlen(start));
      handler_name.Trim(" \t");
      NPT_LogHandler* handler = nullptr;
      if (!handler_name.IsEmpty() && NPT_SUCCEEDED(NPT_LogHandler::Create(*this, name, handler_name, handler))) {
        if (NPT_FAILED(logger.AddHandler(handler))) delete handler;
      }
      if (comma == nullptr) break;
      start = comma + 1;
    }
  }

  const NPT_String* forward = GetConfigValue(name, ".forward");
  if (forward && !NPT_Log::IsTrueWord(*forward)) logger.m_ForwardToParent = false;
  return NPT_SUCCESS;
}

void NPT_LogManager::Deliver(NPT_Logger& logger, const NPT_LogRecord& record) {
  NPT_AutoLock lock(m_Lock);
  InsideLoggingScope inside;
  for (NPT_Logger* current = &logger; current; current = current->m_Parent) {
    for (NPT_List<NPT_LogHandler*>::Iterator i = current->m_Handlers.GetFirstItem(); i; ++i) (*i)->Log(record);
    if (!current->m_ForwardToParent) break;
  }
}

// ---------------------------------------------------------------------------
// Entry points of the log macros
// ---------------------------------------------------------------------------

bool NPT_Log_IsEnabled(NPT_LoggerReference& reference, int level) {
  NPT_Logger* logger = reference.m_Logger.load(std::memory_order_acquire);
  if (logger == nullptr) {
    logger = NPT_LogManager::GetDefault().GetLogger(reference.m_Name);
    if (logger == nullptr) return false;
    reference.m_Logger.store(logger, std::memory_order_release);
  }
  if (level < logger->GetLevel()) return false;
  return !NPT_LogManager::IsThreadInsideLogging();
}

void NPT_Log_Emit(NPT_LoggerReference& reference, int level, const char* source_file, unsigned int source_line,
                  const char* source_function, const char* format, ...) {
  NPT_Logger* logger = reference.m_Logger.load(std::memory_order_acquire);
  if (logger == nullptr) return;
  va_list args;
  va_start(args, format);
  logger->LogV(level, source_file, source_line, source_function, format, args);
  va_end(args);
}
