// HTTP message model: headers, entity, requests and responses with their
// parsing and emission, and the chunked transfer coding.
#include "NptHttp.h"

#include "NptLogging.h"

NPT_SET_LOCAL_LOGGER("npt.http")

namespace {

const char kCrLf[] = "\r\n";

// Writes the whole text; an empty text writes nothing.
NPT_Result WriteText(NPT_OutputStream& stream, const NPT_String& text) {
  if (text.IsEmpty()) return NPT_SUCCESS;
  return stream.WriteFully(text.GetChars(), text.GetLength());
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

/*----------------------------------------------------------------------
|   NPT_HttpHeader
+---------------------------------------------------------------------*/
NPT_Result NPT_HttpHeader::Emit(NPT_OutputStream& stream) const {
  NPT_Result result = WriteText(stream, m_Name);
  if (NPT_SUCCEEDED(result)) result = stream.WriteFully(": ", 2);
  if (NPT_SUCCEEDED(result)) result = WriteText(stream, m_Value);
  if (NPT_SUCCEEDED(result)) result = stream.WriteFully(kCrLf, 2);
  if (NPT_FAILED(result)) return result;
  NPT_LOG_FINEST("header %s: %s", m_Name.GetChars(), m_Value.GetChars());
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_HttpHeaders
+---------------------------------------------------------------------*/
NPT_HttpHeaders::~NPT_HttpHeaders() { m_Headers.Apply(NPT_ObjectDeleter()); }

NPT_HttpHeader* NPT_HttpHeaders::GetHeader(const char* name) const {
  if (name == nullptr) return nullptr;
  for (NPT_List<NPT_HttpHeader*>::Iterator it = m_Headers.GetFirstItem(); it; ++it) {
    if ((*it)->GetName().Compare(name, true) == 0) return *it;
  }
  return nullptr;
}

const NPT_String* NPT_HttpHeaders::GetHeaderValue(const char* name) const {
  NPT_HttpHeader* header = GetHeader(name);
  return header ? &header->GetValue() : nullptr;
}

NPT_Result NPT_HttpHeaders::AddHeader(const char* name, const char* value) {
  NPT_HttpHeader* header = new (std::nothrow) NPT_HttpHeader(name, value);
  if (header == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
  NPT_Result result = m_Headers.Add(header);
  if (NPT_FAILED(result)) delete header;
  return result;
}

NPT_Result NPT_HttpHeaders::SetHeader(const char* name, const char* value, bool replace) {
  NPT_HttpHeader* header = GetHeader(name);
  if (header == nullptr) return AddHeader(name, value);
  if (replace) header->SetValue(value);
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpHeaders::RemoveHeader(const char* name) {
  bool removed = false;
  NPT_List<NPT_HttpHeader*>::Iterator it = m_Headers.GetFirstItem();
  while (it) {
    NPT_List<NPT_HttpHeader*>::Iterator next = it;
    ++next;
    if (name && (*it)->GetName().Compare(name, true) == 0) {
      delete *it;
      m_Headers.Erase(it);
      removed = true;
    }
    it = next;
  }
  return removed ? NPT_SUCCESS : NPT_ERROR_NO_SUCH_ITEM;
}

NPT_Result NPT_HttpHeaders::Clear() {
  m_Headers.Apply(NPT_ObjectDeleter());
  return m_Headers.Clear();
}

NPT_Result NPT_HttpHeaders::Parse(NPT_BufferedInputStream& stream) {
  NPT_String header_name;
  NPT_String header_value;
  bool header_pending = false;
  NPT_Cardinal line_count = 0;
  NPT_LargeSize block_size = 0;
  NPT_Result result = NPT_SUCCESS;
  NPT_String line;

  for (;;) {
    NPT_Result read = stream.ReadWholeLine(line, NPT_HTTP_PROTOCOL_MAX_LINE_LENGTH, false);
    if (read == NPT_ERROR_NOT_ENOUGH_SPACE) {
      // The rest of the line is still in the stream: carrying on would hand
      // header text to the body reader as if it were body data.
      NPT_LOG_WARNING("header line too long");
      result = read;
      break;
    }
    if (NPT_FAILED(read)) {
      // Only the empty line ends a block: one that the end of the stream (or
      // a read error) cuts short may have lost any part of its last header.
      NPT_LOG_FINE("header block cut short (%d)", read);
      result = read;
      break;
    }
    if (line.IsEmpty()) break;

    ++line_count;
    block_size += line.GetLength() + 2;
    if (line_count > NPT_HTTP_PROTOCOL_MAX_HEADER_LINES || block_size > NPT_HTTP_PROTOCOL_MAX_HEADER_BLOCK_SIZE) {
      NPT_LOG_WARNING("header block too large (%u lines)", (unsigned int)line_count);
      result = NPT_ERROR_OUT_OF_RANGE;
      break;
    }

    if (header_pending && (line[0] == ' ' || line[0] == '\t')) {
      // Folded value: joined without a separator.
      header_value.Append(line.GetChars() + 1, line.GetLength() - 1);
      continue;
    }

    if (header_pending) {
      header_value.Trim();
      AddHeader(header_name, header_value);
      NPT_LOG_FINEST("header - %s: %s", header_name.GetChars(), header_value.GetChars());
      header_pending = false;
    }

    int colon = line.Find(':');
    if (colon > 0) {
      header_name = line.Left((NPT_Size)colon);
      const char* value = line.GetChars() + colon + 1;
      while (*value == ' ' || *value == '\t') ++value;
      header_value = value;
      header_pending = true;
    }
  }

  if (header_pending && NPT_SUCCEEDED(result)) {
    header_value.Trim();
    AddHeader(header_name, header_value);
    NPT_LOG_FINEST("header %s: %s", header_name.GetChars(), header_value.GetChars());
  }
  return result;
}

NPT_Result NPT_HttpHeaders::Emit(NPT_OutputStream& stream) const {
  for (NPT_List<NPT_HttpHeader*>::Iterator it = m_Headers.GetFirstItem(); it; ++it) {
    NPT_Result result = (*it)->Emit(stream);
    if (NPT_FAILED(result)) return result;
  }
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_HttpEntity
+---------------------------------------------------------------------*/
NPT_HttpEntity::NPT_HttpEntity() : m_ContentLength(0), m_ContentLengthIsKnown(false) {}

NPT_HttpEntity::NPT_HttpEntity(const NPT_HttpHeaders& headers) : m_ContentLength(0), m_ContentLengthIsKnown(false) {
  SetFromHeaders(headers);
}

NPT_HttpEntity::~NPT_HttpEntity() {}

NPT_Result NPT_HttpEntity::SetFromHeaders(const NPT_HttpHeaders& headers) {
  const NPT_String* value = headers.GetHeaderValue(NPT_HTTP_HEADER_CONTENT_LENGTH);
  if (value) {
    NPT_UInt64 length = 0;
    value->ToInteger64(length, true);  // a value that does not read leaves 0
    m_ContentLength = length;
    m_ContentLengthIsKnown = true;
  }
  value = headers.GetHeaderValue(NPT_HTTP_HEADER_CONTENT_TYPE);
  if (value) m_ContentType = *value;
  value = headers.GetHeaderValue(NPT_HTTP_HEADER_CONTENT_ENCODING);
  if (value) m_ContentEncoding = *value;
  value = headers.GetHeaderValue(NPT_HTTP_HEADER_TRANSFER_ENCODING);
  if (value) m_TransferEncoding = *value;
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpEntity::GetInputStream(NPT_InputStreamReference& stream) const {
  stream.Release();
  if (m_InputStream.IsNull()) return NPT_RESULT_FAILURE;
  stream = m_InputStream;
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpEntity::SetInputStream(const NPT_InputStreamReference& stream, bool update_content_length) {
  m_InputStream = stream;
  if (update_content_length && !m_InputStream.IsNull()) {
    NPT_LargeSize size = 0;
    if (NPT_SUCCEEDED(m_InputStream->GetSize(size))) {
      m_ContentLength = size;
      m_ContentLengthIsKnown = true;
    }
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpEntity::SetInputStream(const void* data, NPT_Size size) {
  NPT_MemoryStream* memory = new (std::nothrow) NPT_MemoryStream(data, size);
  if (memory == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
  return SetInputStream(NPT_InputStreamReference(memory), true);
}

NPT_Result NPT_HttpEntity::SetInputStream(const char* string) {
  if (string == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  NPT_Size length = 0;
  while (string[length]) ++length;
  return SetInputStream(string, length);
}

NPT_Result NPT_HttpEntity::SetInputStream(const NPT_String& string) {
  return SetInputStream(string.GetChars(), string.GetLength());
}

NPT_Result NPT_HttpEntity::SetContentLength(NPT_LargeSize length) {
  m_ContentLength = length;
  m_ContentLengthIsKnown = true;
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpEntity::SetContentType(const char* type) {
  m_ContentType = type;
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpEntity::SetContentEncoding(const char* encoding) {
  m_ContentEncoding = encoding;
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpEntity::SetTransferEncoding(const char* encoding) {
  m_TransferEncoding = encoding;
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_HttpMessage
+---------------------------------------------------------------------*/
NPT_HttpMessage::NPT_HttpMessage(const char* protocol) : m_Protocol(protocol), m_Entity(nullptr) {}

NPT_HttpMessage::~NPT_HttpMessage() { delete m_Entity; }

NPT_Result NPT_HttpMessage::ParseHeaders(NPT_BufferedInputStream& stream) { return m_Headers.Parse(stream); }

NPT_Result NPT_HttpMessage::SetEntity(NPT_HttpEntity* entity) {
  if (entity != m_Entity) {
    delete m_Entity;
    m_Entity = entity;
  }
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_HttpRequest
+---------------------------------------------------------------------*/
NPT_HttpRequest::NPT_HttpRequest(const NPT_HttpUrl& url, const char* method, const char* protocol)
    : NPT_HttpMessage(protocol), m_Url(url), m_Method(method) {}

NPT_HttpRequest::NPT_HttpRequest(const char* url, const char* method, const char* protocol)
    : NPT_HttpMessage(protocol), m_Url(url), m_Method(method) {}

NPT_HttpRequest::~NPT_HttpRequest() {}

NPT_Result NPT_HttpRequest::SetUrl(const char* url) {
  m_Url = NPT_HttpUrl(url);
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpRequest::SetUrl(const NPT_Url& url) {
  m_Url = NPT_HttpUrl(url);
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpRequest::Emit(NPT_OutputStream& stream, bool use_proxy) const {
  NPT_String target = use_proxy ? m_Url.ToString(false) : m_Url.ToRequestString(false);
  NPT_Result result = WriteText(stream, m_Method);
  if (NPT_SUCCEEDED(result)) result = stream.WriteFully(" ", 1);
  if (NPT_SUCCEEDED(result)) result = WriteText(stream, target);
  if (NPT_SUCCEEDED(result)) result = stream.WriteFully(" ", 1);
  if (NPT_SUCCEEDED(result)) result = WriteText(stream, m_Protocol);
  if (NPT_SUCCEEDED(result)) result = stream.WriteFully(kCrLf, 2);
  if (NPT_SUCCEEDED(result)) result = m_Headers.Emit(stream);
  if (NPT_SUCCEEDED(result)) result = stream.WriteFully(kCrLf, 2);
  return result;
}

NPT_Result NPT_HttpRequest::Parse(NPT_BufferedInputStream& stream, const NPT_SocketAddress* local_address,
                                  NPT_HttpRequest*& request) {
  request = nullptr;

  // A request line the end of the stream cuts short is no request.
  NPT_String line;
  NPT_Result read = stream.ReadWholeLine(line, NPT_HTTP_PROTOCOL_MAX_LINE_LENGTH);
  if (NPT_FAILED(read)) {
    NPT_LOG_FINER("NPT_CHECK failed, result=%d (%s) [%s]", read, NPT_ResultName(read),
                  "(stream.ReadLine(line, NPT_HTTP_PROTOCOL_MAX_LINE_LENGTH))");
    return read;
  }
  NPT_LOG_FINEST("http request: %s", line.GetChars());

  int first_space = line.Find(' ');
  if (first_space < 0) return NPT_ERROR_HTTP_INVALID_REQUEST_LINE;
  int second_space = line.Find(' ', (NPT_Ordinal)first_space + 1);
  if (second_space < 0) return NPT_ERROR_HTTP_INVALID_REQUEST_LINE;

  NPT_String method = line.Left((NPT_Size)first_space);
  NPT_String target = line.SubString((NPT_Ordinal)first_space + 1, (NPT_Size)(second_space - first_space - 1));
  NPT_String protocol = line.SubString((NPT_Ordinal)second_space + 1);

  bool absolute = target.StartsWith("http://", true);
  if (absolute) {
    request = new (std::nothrow) NPT_HttpRequest(target.GetChars(), method, protocol);
  } else {
    request = new (std::nothrow) NPT_HttpRequest(NPT_HttpUrl(), method, protocol);
  }
  if (request == nullptr) return NPT_ERROR_OUT_OF_MEMORY;

  // The host of a relative target comes from the headers, so they are read
  // before the URL is completed.
  NPT_Result result = request->ParseHeaders(stream);
  if (NPT_FAILED(result)) {
    delete request;
    request = nullptr;
    return result;
  }

  if (!absolute) {
    NPT_HttpUrl& url = request->m_Url;
    url.SetScheme("http");
    url.SetPathPlus(target);
    url.SetPort(NPT_HTTP_DEFAULT_PORT);
    const NPT_String* host = request->GetHeaders().GetHeaderValue(NPT_HTTP_HEADER_HOST);
    if (host) {
      url.SetHost(*host);
    } else if (local_address) {
      url.SetHost(local_address->ToString());
    } else {
      url.SetHost("localhost");
    }
  }
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_HttpResponse
+---------------------------------------------------------------------*/
NPT_HttpResponse::NPT_HttpResponse(NPT_Int32 status_code, const char* reason_phrase, const char* protocol)
    : NPT_HttpMessage(protocol), m_StatusCode(status_code), m_ReasonPhrase(reason_phrase) {}

NPT_HttpResponse::~NPT_HttpResponse() {}

NPT_Result NPT_HttpResponse::SetStatus(NPT_Int32 status_code, const char* reason_phrase, const char* protocol) {
  m_StatusCode = status_code;
  m_ReasonPhrase = reason_phrase;
  if (protocol) m_Protocol = protocol;
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpResponse::Emit(NPT_OutputStream& stream) const {
  NPT_String status = NPT_String::FromInteger(m_StatusCode);
  NPT_Result result = WriteText(stream, m_Protocol);
  if (NPT_SUCCEEDED(result)) result = stream.WriteFully(" ", 1);
  if (NPT_SUCCEEDED(result)) result = WriteText(stream, status);
  if (NPT_SUCCEEDED(result)) result = stream.WriteFully(" ", 1);
  if (NPT_SUCCEEDED(result)) result = WriteText(stream, m_ReasonPhrase);
  if (NPT_SUCCEEDED(result)) result = stream.WriteFully(kCrLf, 2);
  if (NPT_SUCCEEDED(result)) result = m_Headers.Emit(stream);
  if (NPT_SUCCEEDED(result)) result = stream.WriteFully(kCrLf, 2);
  return result;
}

NPT_Result NPT_HttpResponse::Parse(NPT_BufferedInputStream& stream, NPT_HttpResponse*& response, bool reuse) {
  if (!reuse) response = nullptr;

  // A status line the end of the stream cuts short is no response.
  NPT_String line;
  NPT_Result read = stream.ReadWholeLine(line, NPT_HTTP_PROTOCOL_MAX_LINE_LENGTH);
  if (NPT_FAILED(read)) {
    NPT_LOG_FINE("NPT_CHECK failed, result=%d (%s) [%s]", read, NPT_ResultName(read),
                 "(stream.ReadLine(line, NPT_HTTP_PROTOCOL_MAX_LINE_LENGTH))");
    return read;
  }
  NPT_LOG_FINER("http response: %s", line.GetChars());

  // "PROTOCOL SP three-character-code SP reason"
  int first_space = line.Find(' ');
  if (first_space < 0) return NPT_ERROR_HTTP_INVALID_RESPONSE_LINE;
  int second_space = line.Find(' ', (NPT_Ordinal)first_space + 1);
  if (second_space < 0 || second_space != first_space + 4) return NPT_ERROR_HTTP_INVALID_RESPONSE_LINE;

  NPT_String protocol = line.Left((NPT_Size)first_space);
  NPT_UInt32 status_code = 0;
  line.SubString((NPT_Ordinal)first_space + 1, 3).ToInteger32(status_code, true);
  NPT_String reason_phrase = line.SubString((NPT_Ordinal)second_space + 1);

  if (reuse && response) {
    response->SetStatus((NPT_Int32)status_code, reason_phrase, protocol);
    // The final response carries only its own headers; an interim response's
    // headers would otherwise accumulate without bound.
    response->GetHeaders().Clear();
  } else {
    response = new (std::nothrow) NPT_HttpResponse((NPT_Int32)status_code, reason_phrase, protocol);
    if (response == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
  }

  NPT_Result result = response->ParseHeaders(stream);
  if (NPT_FAILED(result)) {
    delete response;
    response = nullptr;
    return result;
  }
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_HttpChunkedInputStream
+---------------------------------------------------------------------*/
NPT_HttpChunkedInputStream::NPT_HttpChunkedInputStream(const NPT_BufferedInputStreamReference& source)
    : m_Source(source), m_CurrentChunkSize(0), m_Eos(false) {}

NPT_HttpChunkedInputStream::~NPT_HttpChunkedInputStream() {}

NPT_Result NPT_HttpChunkedInputStream::Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read) {
  if (bytes_read) *bytes_read = 0;
  if (m_Eos) return NPT_ERROR_EOS;
  if (bytes_to_read == 0) return NPT_SUCCESS;
  if (m_Source.IsNull()) return NPT_ERROR_INVALID_STATE;

  if (m_CurrentChunkSize == 0) {
    m_Source->SetBufferSize(NPT_HTTP_CHUNK_LINE_MAX_LENGTH);
    NPT_String line;
    NPT_Result result = m_Source->ReadLine(line, NPT_HTTP_CHUNK_LINE_MAX_LENGTH);
    if (NPT_FAILED(result)) return result;
    if (line.IsEmpty()) {
      NPT_LOG_WARNING("empty chunk size line");
      return NPT_ERROR_INVALID_FORMAT;
    }

    NPT_UInt32 size = 0;
    for (const char* c = line.GetChars(); *c && *c != '\r' && *c != '\n' && *c != ' ' && *c != ';'; ++c) {
      int digit = HexDigitValue(*c);
      // A size beyond the counter would wrap and desynchronise the framing.
      if (digit < 0 || size > 0x0FFFFFFFu) {
        NPT_LOG_WARNING("invalid chunk size format (%s)", line.GetChars());
        return NPT_ERROR_INVALID_FORMAT;
      }
      size = (size << 4) | (NPT_UInt32)digit;
    }
    NPT_LOG_FINEST("start of chunk, size=%d", (int)size);

    if (size == 0) {
      NPT_LOG_FINEST("end of chunked stream, reading trailers");
      do {
        result = m_Source->ReadLine(line, NPT_HTTP_CHUNK_LINE_MAX_LENGTH);
        if (NPT_FAILED(result)) return result;
      } while (!line.IsEmpty());
      m_Eos = true;
      NPT_LOG_FINEST("end of chunked stream, done");
      return NPT_ERROR_EOS;
    }
    m_CurrentChunkSize = size;
    // Chunk data goes straight from the connection to the caller's buffer.
    m_Source->SetBufferSize(0);
  }

  NPT_Size chunk_bytes = bytes_to_read < m_CurrentChunkSize ? bytes_to_read : m_CurrentChunkSize;
  NPT_Size count = 0;
  NPT_Result result = m_Source->Read(buffer, chunk_bytes, &count);
  if (NPT_FAILED(result)) return result;
  m_CurrentChunkSize -= count;

  if (m_CurrentChunkSize == 0) {
    NPT_LOG_FINEST("reading end of chunk");
    char end[2];
    result = m_Source->ReadFully(end, 2);
    if (NPT_FAILED(result)) return result;
    if (end[0] != '\r' || end[1] != '\n') {
      NPT_LOG_WARNING("invalid end of chunk (expected \\r\\n)");
      return NPT_ERROR_INVALID_FORMAT;
    }
  }

  if (bytes_read) *bytes_read = count;
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpChunkedInputStream::Seek(NPT_Position) { return NPT_ERROR_NOT_SUPPORTED; }

NPT_Result NPT_HttpChunkedInputStream::Tell(NPT_Position& offset) {
  offset = 0;
  return NPT_ERROR_NOT_SUPPORTED;
}

NPT_Result NPT_HttpChunkedInputStream::GetSize(NPT_LargeSize& size) {
  if (m_Source.IsNull()) {
    size = 0;
    return NPT_ERROR_INVALID_STATE;
  }
  return m_Source->GetSize(size);
}

NPT_Result NPT_HttpChunkedInputStream::GetAvailable(NPT_LargeSize& available) {
  if (m_Source.IsNull()) {
    available = 0;
    return NPT_ERROR_INVALID_STATE;
  }
  return m_Source->GetAvailable(available);
}

/*----------------------------------------------------------------------
|   NPT_HttpChunkedOutputStream
+---------------------------------------------------------------------*/
NPT_HttpChunkedOutputStream::NPT_HttpChunkedOutputStream(NPT_OutputStream& stream) : m_Stream(stream) {}

NPT_HttpChunkedOutputStream::~NPT_HttpChunkedOutputStream() { m_Stream.WriteFully("0\r\n\r\n", 5); }

NPT_Result NPT_HttpChunkedOutputStream::Write(const void* buffer, NPT_Size bytes_to_write, NPT_Size* bytes_written) {
  if (bytes_written) *bytes_written = 0;
  // An empty chunk would end the body.
  if (bytes_to_write == 0) return NPT_SUCCESS;

  static const char kHex[] = "0123456789ABCDEF";
  char size_line[12];
  char digits[8];
  NPT_Size digit_count = 0;
  for (NPT_Size value = bytes_to_write; value; value >>= 4) digits[digit_count++] = kHex[value & 0xF];
  NPT_Size length = 0;
  while (digit_count) size_line[length++] = digits[--digit_count];
  size_line[length++] = '\r';
  size_line[length++] = '\n';

  NPT_Result result = m_Stream.WriteFully(size_line, length);
  if (NPT_SUCCEEDED(result)) result = m_Stream.WriteFully(buffer, bytes_to_write);
  if (NPT_SUCCEEDED(result)) result = m_Stream.WriteFully(kCrLf, 2);
  if (NPT_FAILED(result)) return result;
  if (bytes_written) *bytes_written = bytes_to_write;
  return NPT_SUCCESS;
}

NPT_Result NPT_HttpChunkedOutputStream::Seek(NPT_Position) { return NPT_ERROR_NOT_SUPPORTED; }

NPT_Result NPT_HttpChunkedOutputStream::Tell(NPT_Position& offset) { return m_Stream.Tell(offset); }

NPT_Result NPT_HttpChunkedOutputStream::Flush() { return m_Stream.Flush(); }
