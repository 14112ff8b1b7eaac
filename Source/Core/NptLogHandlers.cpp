// The five log handlers and their creation from configuration entries.

#include "NptLogHandlers.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "NptDataBuffer.h"
#include "NptFile.h"
#include "NptSystem.h"
#include "NptTime.h"

namespace {

// "<logger><handler suffix><key>" looked up in the manager's entries.
const NPT_String* HandlerValue(NPT_LogManager& manager, const char* logger_name, const char* handler_suffix,
                               const char* key) {
  NPT_String prefix(logger_name);
  prefix += handler_suffix;
  return manager.GetConfigValue(prefix, key);
}

// An unsigned value, or `fallback` when absent or unparsable.
NPT_UInt32 HandlerFlags(NPT_LogManager& manager, const char* logger_name, const char* handler_suffix,
                        const char* key, NPT_UInt32 fallback) {
  const NPT_String* value = HandlerValue(manager, logger_name, handler_suffix, key);
  if (value == nullptr) return fallback;
  NPT_UInt32 number = 0;
  if (NPT_FAILED(value->ToInteger32(number, true))) return fallback;
  return number;
}

void ReadHostAndPort(NPT_LogManager& manager, const char* logger_name, const char* handler_suffix,
                     NPT_String& host, NPT_IpPort& port, NPT_IpPort default_port) {
  const NPT_String* host_value = HandlerValue(manager, logger_name, handler_suffix, ".hostname");
  host = (host_value && !host_value->IsEmpty()) ? *host_value : NPT_String("localhost");
  port = default_port;
  const NPT_String* port_value = HandlerValue(manager, logger_name, handler_suffix, ".port");
  NPT_UInt32 number = 0;
  if (port_value && NPT_SUCCEEDED(port_value->ToInteger32(number, true)) && number > 0 && number <= 0xFFFF) {
    port = (NPT_IpPort)number;
  }
}

}  // namespace

NPT_Result NPT_LogHandler::Create(NPT_LogManager& manager, const char* logger_name, const char* handler_name,
                                  NPT_LogHandler*& handler) {
  handler = nullptr;
  if (handler_name == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  if (std::strcmp(handler_name, "NullHandler") == 0) {
    handler = new (std::nothrow) NPT_LogNullHandler();
    return handler ? NPT_SUCCESS : NPT_ERROR_OUT_OF_MEMORY;
  }
  if (std::strcmp(handler_name, "FileHandler") == 0) {
    return NPT_LogFileHandler::Create(manager, logger_name, handler);
  }
  if (std::strcmp(handler_name, "ConsoleHandler") == 0) {
    return NPT_LogConsoleHandler::Create(manager, logger_name, handler);
  }
  if (std::strcmp(handler_name, "TcpHandler") == 0) {
    return NPT_LogTcpHandler::Create(manager, logger_name, handler);
  }
  if (std::strcmp(handler_name, "UdpHandler") == 0) {
    return NPT_LogUdpHandler::Create(manager, logger_name, handler);
  }
  return NPT_ERROR_NO_SUCH_CLASS;
}

// ---------------------------------------------------------------------------
// Console
// ---------------------------------------------------------------------------

NPT_Result NPT_LogConsoleHandler::Create(NPT_LogManager& manager, const char* logger_name,
                                         NPT_LogHandler*& handler) {
  handler = nullptr;
  bool use_colors = false;
  const NPT_String* colors = HandlerValue(manager, logger_name, ".ConsoleHandler", ".colors");
  if (colors) {
    if (NPT_Log::IsTrueWord(*colors)) use_colors = true;
    else if (NPT_Log::IsFalseWord(*colors)) use_colors = false;
  }
  NPT_Flags outputs = HandlerFlags(manager, logger_name, ".ConsoleHandler", ".outputs", OUTPUT_TO_CONSOLE);
  NPT_Flags filter = HandlerFlags(manager, logger_name, ".ConsoleHandler", ".filter", 0);
  handler = new (std::nothrow) NPT_LogConsoleHandler(use_colors, outputs, filter);
  return handler ? NPT_SUCCESS : NPT_ERROR_OUT_OF_MEMORY;
}

void NPT_LogConsoleHandler::Log(const NPT_LogRecord& record) {
  NPT_MemoryStream text(4096);
  NPT_Log::FormatRecordToStream(record, text, m_UseColors, m_Filter);
  text.Write("\0", 1);
  const char* chars = reinterpret_cast<const char*>(text.GetBuffer().GetData());
  if (chars == nullptr) return;
  // Each channel gets the whole line at once and is flushed, so records from
  // this process stay whole and in order beside other output.
  if (m_Outputs & OUTPUT_TO_DEBUG) NPT_System::WriteDebugText(chars);
  if (m_Outputs & OUTPUT_TO_CONSOLE) {
    std::fputs(chars, stdout);
    std::fflush(stdout);
  }
}

// ---------------------------------------------------------------------------
// File
// ---------------------------------------------------------------------------

NPT_Result NPT_LogFileHandler::Create(NPT_LogManager& manager, const char* logger_name, NPT_LogHandler*& handler) {
  handler = nullptr;
  const char* suffix = ".FileHandler";
  NPT_String filename;
  const NPT_String* filename_value = HandlerValue(manager, logger_name, suffix, ".filename");
  if (filename_value && !filename_value->IsEmpty()) {
    filename = *filename_value;
  } else if (logger_name == nullptr || logger_name[0] == '\0') {
    filename = "_npt.log";
  } else {
    filename = NPT_String(logger_name) + ".log";
  }
  const NPT_String* flush_value = HandlerValue(manager, logger_name, suffix, ".flush");
  bool flush = flush_value && NPT_Log::IsTrueWord(*flush_value);
  const NPT_String* append_value = HandlerValue(manager, logger_name, suffix, ".append");
  bool append = !(append_value && NPT_Log::IsFalseWord(*append_value));
  NPT_Flags filter = HandlerFlags(manager, logger_name, suffix, ".filter", 0);
  NPT_UInt64 recycle = 0;
  const NPT_String* recycle_value = HandlerValue(manager, logger_name, suffix, ".recycle");
  if (recycle_value) {
    if (NPT_FAILED(recycle_value->ToInteger64(recycle, true)) || recycle < NPT_LOG_FILE_HANDLER_MIN_RECYCLE_SIZE) {
      recycle = NPT_LOG_FILE_HANDLER_MIN_RECYCLE_SIZE;
    }
  }

  NPT_LogFileHandler* file_handler =
      new (std::nothrow) NPT_LogFileHandler(filename, flush, append, filter, recycle);
  if (file_handler == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
  NPT_Result result = file_handler->Open(append);
  if (NPT_FAILED(result)) {
    delete file_handler;
    return result;
  }
  handler = file_handler;
  return NPT_SUCCESS;
}

NPT_LogFileHandler::NPT_LogFileHandler(const char* filename, bool flush, bool append, NPT_Flags filter,
                                       NPT_UInt64 recycle_size)
    : m_Flush(flush),
      m_Append(append),
      m_Filename(filename),
      m_Filter(filter),
      m_RecycleSize(recycle_size),
      m_Size(0) {}

NPT_Result NPT_LogFileHandler::Open(bool append) {
  m_Stream = nullptr;
  m_Size = 0;
  NPT_File file(m_Filename);
  NPT_Flags mode = NPT_FILE_OPEN_MODE_WRITE | NPT_FILE_OPEN_MODE_CREATE |
                   (append ? NPT_FILE_OPEN_MODE_APPEND : NPT_FILE_OPEN_MODE_TRUNCATE);
  NPT_Result result = file.Open(mode);
  if (NPT_FAILED(result)) return result;
  NPT_OutputStreamReference stream;
  result = file.GetOutputStream(stream);
  if (NPT_FAILED(result)) return result;
  if (append) {
    NPT_LargeSize size = 0;
    if (NPT_SUCCEEDED(file.GetSize(size))) {
      stream->Seek(size);
      m_Size = size;
    }
  }
  m_Stream = stream;
  return NPT_SUCCESS;
}

NPT_String NPT_LogFileHandler::MakeRecycleName(const char* filename) {
  NPT_TimeStamp now;
  NPT_System::GetCurrentTimeStamp(now);
  NPT_String date = NPT_DateTime(now, true).ToString(NPT_DateTime::FORMAT_W3C, 0);
  date.Replace(':', '_');
  NPT_String directory = NPT_FilePath::DirName(filename);
  NPT_String base = NPT_FilePath::BaseName(filename, false);
  NPT_String extension = NPT_FilePath::FileExtension(filename);
  NPT_String name = NPT_FilePath::Create(directory, base + "-" + date + extension);
  for (unsigned int counter = 1; NPT_File::Exists(name) && counter < 1000; ++counter) {
    name = NPT_FilePath::Create(directory, base + "-" + date + "-" + NPT_String::FromIntegerU(counter) + extension);
  }
  return name;
}

void NPT_LogFileHandler::Recycle() {
  // Release the stream first so that the file is closed before it moves.
  m_Stream = nullptr;
  m_Size = 0;
  NPT_File::Rename(m_Filename, MakeRecycleName(m_Filename));
}

void NPT_LogFileHandler::Log(const NPT_LogRecord& record) {
  if (m_RecycleSize != 0 && !m_Stream.IsNull() && m_Size > m_RecycleSize) Recycle();
  if (m_Stream.IsNull()) {
    // After a recycle the configured name no longer exists, so this starts a
    // new file; after a failed write the file is continued or restarted as
    // configured.
    if (NPT_FAILED(Open(m_Append))) return;
  }
  NPT_MemoryStream text(4096);
  NPT_Log::FormatRecordToStream(record, text, false, m_Filter);
  const NPT_DataBuffer& buffer = text.GetBuffer();
  if (NPT_FAILED(m_Stream->WriteFully(buffer.GetData(), buffer.GetDataSize()))) {
    m_Stream = nullptr;
    return;
  }
  m_Size += buffer.GetDataSize();
  if (m_Flush) m_Stream->Flush();
}

// ---------------------------------------------------------------------------
// TCP
// ---------------------------------------------------------------------------

NPT_Result NPT_LogTcpHandler::Create(NPT_LogManager& manager, const char* logger_name, NPT_LogHandler*& handler) {
  handler = nullptr;
  NPT_String host;
  NPT_IpPort port = 0;
  ReadHostAndPort(manager, logger_name, ".TcpHandler", host, port, NPT_LOG_TCP_HANDLER_DEFAULT_PORT);
  handler = new (std::nothrow) NPT_LogTcpHandler(host, port);
  return handler ? NPT_SUCCESS : NPT_ERROR_OUT_OF_MEMORY;
}

NPT_Result NPT_LogTcpHandler::Connect() {
  m_Stream = nullptr;
  NPT_IpAddress address;
  NPT_Result result = address.ResolveName(m_Host, NPT_LOG_TCP_HANDLER_DEFAULT_CONNECT_TIMEOUT);
  if (NPT_FAILED(result)) return result;
  NPT_TcpClientSocket socket;
  result = socket.Connect(NPT_SocketAddress(address, m_Port), NPT_LOG_TCP_HANDLER_DEFAULT_CONNECT_TIMEOUT);
  if (NPT_FAILED(result)) return result;
  // A receiver that stops reading must not hold the logging thread (and with
  // it every thread waiting on the manager) for longer than a connect would.
  socket.SetWriteTimeout(NPT_LOG_TCP_HANDLER_DEFAULT_CONNECT_TIMEOUT);
  // The stream keeps the connection open after the socket object is gone.
  return socket.GetOutputStream(m_Stream);
}

void NPT_LogTcpHandler::Log(const NPT_LogRecord& record) {
  if (m_Stream.IsNull() && NPT_FAILED(Connect())) return;
  NPT_String text = NPT_Log::FormatRecordForNetwork(record);
  if (NPT_FAILED(m_Stream->WriteFully(text.GetChars(), text.GetLength()))) m_Stream = nullptr;
}

// ---------------------------------------------------------------------------
// UDP
// ---------------------------------------------------------------------------

NPT_Result NPT_LogUdpHandler::Create(NPT_LogManager& manager, const char* logger_name, NPT_LogHandler*& handler) {
  handler = nullptr;
  NPT_String host;
  NPT_IpPort port = 0;
  ReadHostAndPort(manager, logger_name, ".UdpHandler", host, port, NPT_LOG_UDP_HANDLER_DEFAULT_PORT);
  handler = new (std::nothrow) NPT_LogUdpHandler(host, port);
  return handler ? NPT_SUCCESS : NPT_ERROR_OUT_OF_MEMORY;
}

NPT_LogUdpHandler::NPT_LogUdpHandler(const char* host, NPT_IpPort port) : m_Resolved(false) {
  NPT_IpAddress address;
  if (NPT_SUCCEEDED(address.ResolveName(host, NPT_LOG_TCP_HANDLER_DEFAULT_CONNECT_TIMEOUT))) {
    m_Target = NPT_SocketAddress(address, port);
    m_Resolved = true;
  }
}

void NPT_LogUdpHandler::Log(const NPT_LogRecord& record) {
  if (!m_Resolved) return;
  NPT_String text = NPT_Log::FormatRecordForNetwork(record);
  // One datagram, terminating NUL included.
  NPT_DataBuffer packet(text.GetChars(), text.GetLength() + 1, false);
  m_Socket.Send(packet, &m_Target);
}
