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

#include "NptResults.h"
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
