#pragma once
// The log handlers: null, console, file, TCP and UDP. Each is created by
// NPT_LogHandler::Create from the configuration entries of the logger it is
// attached to, and is only ever called by the manager under its lock, so none
// of them locks. None reports a failure: a record that cannot be written is
// dropped.

#include "NptLogging.h"
#include "NptNetwork.h"
#include "NptSockets.h"
#include "NptStreams.h"
#include "NptStrings.h"

// Default peers of the network handlers.
const NPT_IpPort NPT_LOG_TCP_HANDLER_DEFAULT_PORT = 7723;
const NPT_IpPort NPT_LOG_UDP_HANDLER_DEFAULT_PORT = 7724;
// Bound on connecting to a log receiver; writes to it use the same bound, so a
// receiver that stops reading delays the logging thread by at most this much
// per record before the connection is dropped.
const NPT_Timeout NPT_LOG_TCP_HANDLER_DEFAULT_CONNECT_TIMEOUT = 5000;
// The smallest size at which a file handler recycles its file.
const NPT_UInt64 NPT_LOG_FILE_HANDLER_MIN_RECYCLE_SIZE = 1000000;

class NPT_LogNullHandler : public NPT_LogHandler {
 public:
  void Log(const NPT_LogRecord&) override {}
};

class NPT_LogConsoleHandler : public NPT_LogHandler {
 public:
  // Output bits: each set bit emits the text once on its channel.
  enum {
    OUTPUT_TO_DEBUG = 1,   // the platform's debugger channel (NPT_System::WriteDebugText)
    OUTPUT_TO_CONSOLE = 2  // standard output
  };

  NPT_LogConsoleHandler(bool use_colors, NPT_Flags outputs, NPT_Flags filter)
      : m_UseColors(use_colors), m_Outputs(outputs), m_Filter(filter) {}
  // Reads ".colors", ".outputs" and ".filter" under "<logger>.ConsoleHandler".
  static NPT_Result Create(NPT_LogManager& manager, const char* logger_name, NPT_LogHandler*& handler);

  void Log(const NPT_LogRecord& record) override;

 private:
  bool m_UseColors;
  NPT_Flags m_Outputs;
  NPT_Flags m_Filter;
};

class NPT_LogFileHandler : public NPT_LogHandler {
 public:
  // Reads ".filename", ".flush", ".append", ".filter" and ".recycle" under
  // "<logger>.FileHandler" and opens the file; an open failure is returned
  // and no handler is created.
  static NPT_Result Create(NPT_LogManager& manager, const char* logger_name, NPT_LogHandler*& handler);

  NPT_LogFileHandler(const char* filename, bool flush, bool append, NPT_Flags filter, NPT_UInt64 recycle_size);
  void Log(const NPT_LogRecord& record) override;

  // Opens the configured file (creating it; appending or truncating as
  // configured).
  NPT_Result Open(bool append);
  // The name a full file is moved to: directory, base name, "-", the local
  // date-time with "_" for ":", extension. When that name is taken (two
  // recycles within a second), "-1", "-2", ... is added after the date-time
  // so that no earlier log is overwritten.
  static NPT_String MakeRecycleName(const char* filename);

 private:
  void Recycle();

  bool m_Flush;
  bool m_Append;
  NPT_String m_Filename;
  NPT_Flags m_Filter;
  NPT_UInt64 m_RecycleSize;  // 0: never
  NPT_OutputStreamReference m_Stream;
  NPT_UInt64 m_Size;  // bytes in the open file
};

class NPT_LogTcpHandler : public NPT_LogHandler {
 public:
  // Reads ".hostname" and ".port" under "<logger>.TcpHandler". Does not
  // connect: the first record does.
  static NPT_Result Create(NPT_LogManager& manager, const char* logger_name, NPT_LogHandler*& handler);

  NPT_LogTcpHandler(const char* host, NPT_IpPort port) : m_Host(host), m_Port(port) {}
  void Log(const NPT_LogRecord& record) override;

 private:
  NPT_Result Connect();

  NPT_String m_Host;
  NPT_IpPort m_Port;
  NPT_OutputStreamReference m_Stream;
};

class NPT_LogUdpHandler : public NPT_LogHandler {
 public:
  // Reads ".hostname" and ".port" under "<logger>.UdpHandler" and resolves
  // the host once; an unresolvable host leaves the handler sending nowhere.
  static NPT_Result Create(NPT_LogManager& manager, const char* logger_name, NPT_LogHandler*& handler);

  NPT_LogUdpHandler(const char* host, NPT_IpPort port);
  void Log(const NPT_LogRecord& record) override;

 private:
  NPT_UdpSocket m_Socket;
  NPT_SocketAddress m_Target;
  bool m_Resolved;
};
