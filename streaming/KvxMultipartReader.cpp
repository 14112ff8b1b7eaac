// The device stream's multipart/x-mixed-replace reader: boundary extraction,
// part header rules and frame delivery (KVX_Device::ExtractParts,
// ExtractBoundary, ReadBody), over KVX_MultipartReader.

#include "KvxMultipartReader.h"

#include <cstring>
#include <new>

#include "KvxDevice.h"
#include "NptBufferedStreams.h"
#include "NptUtils.h"

namespace {

const char kTrimmed[] = "\r\n\t ";
const char kMultipartType[] = "multipart/x-mixed-replace";
const char kBoundaryParameter[] = "boundary=";
const NPT_Size kBoundaryParameterLength = sizeof(kBoundaryParameter) - 1;
const char kContentType[] = "Content-Type";
const char kContentLength[] = "Content-Length";
const char* const kFrameTypes[] = {"image/jpeg", "image/rgba", "image/rgb"};
// Largest declared frame length made room for up front (a 4K RGBA frame is
// 33 MB).
const size_t kStoreDirectReserveLimit = 64 * 1024 * 1024;
// Longest accepted frame content type (the three types above) plus its NUL.
const NPT_Size kContentTypeBufferSize = 16;

bool IsTrimmed(char c) { return c == '\r' || c == '\n' || c == '\t' || c == ' '; }

// `line` (of `length` characters) equals `text` byte for byte.
bool LineEquals(const char* line, NPT_Size length, const NPT_String& text) {
  return length == text.GetLength() && std::memcmp(line, text.GetChars(), length) == 0;
}

// `name` (of `length` characters, not NUL-terminated) begins with `prefix`,
// letter case ignored.
bool NameStartsWith(const char* name, NPT_Size length, const char* prefix) {
  NPT_Size prefix_length = static_cast<NPT_Size>(std::strlen(prefix));
  return length >= prefix_length && NPT_String::CompareN(name, prefix, prefix_length, true) == 0;
}

}  // namespace

/*----------------------------------------------------------------------
|   KVX_MultipartReader
+---------------------------------------------------------------------*/
KVX_MultipartReader::KVX_MultipartReader(NPT_InputStream& source, NPT_Size max_frame)
    : m_Source(source),
      m_MaxFrame(max_frame),
      m_Data(nullptr),
      m_Capacity(0),
      m_Begin(0),
      m_Scan(0),
      m_End(0),
      m_Eos(false) {}

KVX_MultipartReader::~KVX_MultipartReader() { delete[] m_Data; }

NPT_Result KVX_MultipartReader::MakeRoom(size_t capacity) {
  NPT_Result result = NPT_SUCCESS;
  const size_t live = m_End - m_Begin;
  if (capacity > m_Capacity) {
    NPT_Byte* data = new (std::nothrow) NPT_Byte[capacity];
    if (data == nullptr) {
      result = NPT_ERROR_OUT_OF_MEMORY;
    } else {
      if (live) std::memcpy(data, m_Data + m_Begin, live);
      delete[] m_Data;
      m_Data = data;
      m_Capacity = capacity;
    }
  } else if (m_Begin != 0 && live != 0) {
    std::memmove(m_Data, m_Data + m_Begin, live);
  }
  if (NPT_SUCCEEDED(result)) {
    m_Scan -= m_Begin;
    m_End = live;
    m_Begin = 0;
  }
  return result;
}

NPT_Result KVX_MultipartReader::Receive(size_t wanted) {
  if (m_Eos) return NPT_ERROR_EOS;
  size_t room = m_Capacity - m_End;
  if (wanted < room) room = wanted;
  // Callers make room first; a read of nothing would tell nothing.
  if (room == 0) return NPT_ERROR_INTERNAL;
  const NPT_Size ask = room > 0xFFFFFFFFu ? NPT_Size(0xFFFFFFFFu) : static_cast<NPT_Size>(room);
  NPT_Size count = 0;
  NPT_Result result = m_Source.Read(m_Data + m_End, ask, &count);
  if (result == NPT_ERROR_EOS) m_Eos = true;
  if (NPT_FAILED(result)) return result;
  // A source that succeeds without a byte would make the caller spin.
  if (count == 0 || count > ask) return NPT_ERROR_INTERNAL;
  m_End += count;
  return NPT_SUCCESS;
}

NPT_Result KVX_MultipartReader::ReadLine(const char*& line, NPT_Size& length) {
  line = "";
  length = 0;
  // Nothing unconsumed: the next bytes go to the front, for free.
  if (m_Scan == m_End) m_Begin = m_Scan = m_End = 0;
  m_Begin = m_Scan;
  // The line's characters are written over its raw bytes from m_Begin on,
  // without the CRs (never ahead of m_Scan).
  size_t stored = 0;
  NPT_Result result = NPT_SUCCESS;
  for (bool done = false; !done;) {
    while (m_Scan != m_End) {
      const NPT_Byte c = m_Data[m_Scan++];
      if (c == '\r') continue;
      if (c == '\n') {
        done = true;
        break;
      }
      if (stored == KVX_MULTIPART_MAX_LINE_LENGTH) {
        result = NPT_ERROR_NOT_ENOUGH_SPACE;
        done = true;
        break;
      }
      m_Data[m_Begin + stored++] = c;
    }
    if (done) break;
    // Everything scanned: only the stored characters are still needed.
    m_Scan = m_End = m_Begin + stored;
    if (m_Capacity - m_End < KVX_MULTIPART_RECEIVE_BLOCK) {
      result = MakeRoom(m_Capacity > KVX_MULTIPART_STORE_MINIMUM ? m_Capacity : KVX_MULTIPART_STORE_MINIMUM);
      if (NPT_FAILED(result)) break;
    }
    result = Receive(KVX_MULTIPART_RECEIVE_BLOCK);
    if (NPT_FAILED(result)) break;
  }
  if (stored) line = reinterpret_cast<const char*>(m_Data + m_Begin);
  length = static_cast<NPT_Size>(stored);
  // The end of the stream closes a last line that has no LF.
  if (result == NPT_ERROR_EOS && stored) result = NPT_SUCCESS;
  return result;
}

NPT_Result KVX_MultipartReader::ReadDeclared(size_t length) {
  NPT_Result result = NPT_SUCCESS;
  while (NPT_SUCCEEDED(result) && m_End - m_Begin < length) {
    if (m_Capacity - m_Begin < length) {
      // The frame does not fit behind m_Begin. A plausible length is made
      // room for in one step (growing by doubling would copy the bytes read
      // so far at every step, which for large raw frames costs more than the
      // receive itself), with a block to spare for the next part's start; a
      // larger claim grows with the data, so a lying length cannot make us
      // allocate it.
      size_t capacity = m_Capacity;
      bool move = false;
      if (length <= kStoreDirectReserveLimit) {
        move = true;
        if (length > m_Capacity) capacity = length + KVX_MULTIPART_RECEIVE_BLOCK;
      } else if (m_End == m_Capacity) {
        move = true;
        NPT_UInt64 doubled = 2 * static_cast<NPT_UInt64>(m_Capacity);
        NPT_UInt64 most = static_cast<NPT_UInt64>(length) + KVX_MULTIPART_RECEIVE_BLOCK;
        capacity = static_cast<size_t>(doubled < most ? doubled : most);
      }
      if (capacity < KVX_MULTIPART_STORE_MINIMUM) capacity = KVX_MULTIPART_STORE_MINIMUM;
      if (move) result = MakeRoom(capacity);
    }
    if (NPT_SUCCEEDED(result)) {
      const size_t missing = length - (m_End - m_Begin);
      result = Receive(missing > KVX_MULTIPART_RECEIVE_BLOCK ? missing : KVX_MULTIPART_RECEIVE_BLOCK);
    }
  }
  return result;
}

NPT_Result KVX_MultipartReader::ReadToEnd() {
  // At most one byte past the largest frame is read: that byte is what
  // tells the frame is too large.
  const size_t most = static_cast<size_t>(m_MaxFrame) + 1;
  NPT_Result result = NPT_SUCCESS;
  for (;;) {
    const size_t have = m_End - m_Begin;
    if (have >= most) {
      result = NPT_ERROR_OUT_OF_RANGE;
      break;
    }
    if (m_End == m_Capacity) {
      NPT_UInt64 capacity = m_Capacity < KVX_MULTIPART_STORE_MINIMUM ? KVX_MULTIPART_STORE_MINIMUM
                                                                      : 2 * static_cast<NPT_UInt64>(m_Capacity);
      if (capacity > most) capacity = most;
      if (capacity < m_Capacity) capacity = m_Capacity;
      result = MakeRoom(static_cast<size_t>(capacity));
      if (NPT_FAILED(result)) break;
    }
    result = Receive(most - have);
    if (result == NPT_ERROR_EOS) result = NPT_SUCCESS;
    if (NPT_FAILED(result) || m_Eos) break;
  }
  return result;
}

NPT_Result KVX_MultipartReader::ReadFrame(NPT_UInt64 length, const NPT_Byte*& data, NPT_Size& size) {
  static const NPT_Byte kNothing = 0;
  data = nullptr;
  size = 0;
  if (length > m_MaxFrame) return NPT_ERROR_OUT_OF_RANGE;
  if (m_Scan == m_End) m_Begin = m_Scan = m_End = 0;
  m_Begin = m_Scan;
  NPT_Result result = length ? ReadDeclared(static_cast<size_t>(length)) : ReadToEnd();
  if (NPT_SUCCEEDED(result)) {
    const size_t frame = length ? static_cast<size_t>(length) : m_End - m_Begin;
    data = m_Data ? m_Data + m_Begin : &kNothing;
    size = static_cast<NPT_Size>(frame);
    m_Scan = m_Begin + frame;
  }
  return result;
}

/*----------------------------------------------------------------------
|   KVX_Device: multipart reader
+---------------------------------------------------------------------*/
NPT_Result KVX_Device::ExtractParts(NPT_String line, const char* separator, NPT_String& first, NPT_String& second) {
  NPT_List<NPT_String> pieces = line.Split(separator);
  if (pieces.GetItemCount() < 2) return NPT_ERROR_INVALID_PARAMETERS;
  NPT_List<NPT_String>::Iterator piece = pieces.GetFirstItem();
  first = *piece;
  ++piece;
  second = *piece;
  return NPT_SUCCESS;
}

NPT_Result KVX_Device::ExtractBoundary(const NPT_HttpEntity& entity, NPT_String& boundary) {
  boundary = NPT_String();
  const NPT_String& content_type = entity.GetContentType();
  if (content_type.IsEmpty()) return NPT_ERROR_INVALID_PARAMETERS;

  NPT_String media_type;
  NPT_String parameter;
  if (NPT_FAILED(ExtractParts(content_type, ";", media_type, parameter))) return NPT_ERROR_INVALID_PARAMETERS;
  media_type.Trim(kTrimmed);
  if (media_type.Compare(kMultipartType, true) != 0) return NPT_ERROR_INVALID_PARAMETERS;

  // The boundary must be the first parameter; its value is taken as sent
  // (not unquoted, trailing blanks kept) apart from the dashes at both ends.
  parameter.TrimLeft(kTrimmed);
  if (parameter.GetLength() < kBoundaryParameterLength ||
      parameter.CompareN(kBoundaryParameter, kBoundaryParameterLength, true) != 0) {
    return NPT_ERROR_INVALID_PARAMETERS;
  }
  boundary = parameter.SubString(kBoundaryParameterLength);
  boundary.Trim('-');
  return NPT_SUCCESS;
}

namespace {

// The part layout of one ReadBody call, step by step over the reader: each
// step returns the result that ends the stream, or success to go on. The
// line last read (where a delimiter is due, after the preamble and after a
// frame) stays in m_Line until the next read.
class PartParser {
 public:
  PartParser(KVX_MultipartReader& reader, const NPT_String& boundary, const std::atomic<bool>& aborted)
      : m_Reader(reader), m_Aborted(aborted), m_PartDelimiter("--") {
    m_PartDelimiter += boundary;
    m_ClosingDelimiter = m_PartDelimiter;
    m_ClosingDelimiter += "--";
    m_ContentType[0] = '\0';
  }

  // Lines up to the first delimiter line (part or closing).
  NPT_Result ReadPreamble() {
    NPT_Result result = NPT_SUCCESS;
    for (;;) {
      if (Aborted()) {
        result = NPT_ERROR_EOS;
        break;
      }
      result = ReadLine();
      if (NPT_FAILED(result) || IsDelimiter(m_ClosingDelimiter) || IsDelimiter(m_PartDelimiter)) break;
    }
    if (NPT_SUCCEEDED(result) && Aborted()) result = NPT_ERROR_EOS;
    return result;
  }

  // The delimiter due in m_Line, the two header lines and the empty line.
  NPT_Result ReadPartHeaders() {
    NPT_Result result = NPT_SUCCESS;
    if (IsDelimiter(m_ClosingDelimiter)) {
      result = NPT_ERROR_EOS;
    } else if (!IsDelimiter(m_PartDelimiter)) {
      result = NPT_ERROR_INVALID_SYNTAX;
    }
    for (int header = 0; header < 2 && NPT_SUCCEEDED(result); ++header) {
      result = ReadLine();
      if (NPT_SUCCEEDED(result)) result = ApplyHeader();
    }
    // Two "Content-Type" lines in the first part leave no length to read by.
    if (NPT_SUCCEEDED(result) && !m_LengthSet) result = NPT_ERROR_INVALID_SYNTAX;
    if (NPT_SUCCEEDED(result)) result = ReadLine();
    if (NPT_SUCCEEDED(result) && m_LineLength != 0) result = NPT_ERROR_INVALID_SYNTAX;
    return result;
  }

  // The body the headers announced; valid until the next step.
  NPT_Result ReadFrame(const NPT_Byte*& data, NPT_Size& size) {
    return m_Reader.ReadFrame(m_ContentLength, data, size);
  }
  const char* ContentType() const { return m_ContentType; }

  // After a frame: the empty lines up to the next delimiter, which is left
  // in m_Line.
  NPT_Result ReadSeparator() {
    NPT_Result result = Aborted() ? NPT_ERROR_EOS : NPT_SUCCESS;
    while (NPT_SUCCEEDED(result)) {
      result = ReadLine();
      if (NPT_SUCCEEDED(result) && Aborted()) result = NPT_ERROR_EOS;
      if (NPT_SUCCEEDED(result) && m_LineLength != 0) break;
    }
    return result;
  }

 private:
  bool Aborted() const { return m_Aborted.load(std::memory_order_acquire); }
  NPT_Result ReadLine() { return m_Reader.ReadLine(m_Line, m_LineLength); }
  bool IsDelimiter(const NPT_String& delimiter) const { return LineEquals(m_Line, m_LineLength, delimiter); }

  // Name: up to the first ":" (not trimmed); value: up to the next ":".
  NPT_Result ApplyHeader() {
    NPT_Result result = NPT_SUCCESS;
    const char* colon = static_cast<const char*>(std::memchr(m_Line, ':', m_LineLength));
    const NPT_Size name_length = colon ? static_cast<NPT_Size>(colon - m_Line) : 0;
    const char* value = colon ? colon + 1 : nullptr;
    const char* value_end = m_Line + m_LineLength;
    if (colon) {
      const char* next_colon = static_cast<const char*>(std::memchr(value, ':', value_end - value));
      if (next_colon) value_end = next_colon;
    }
    if (colon == nullptr) {
      result = NPT_ERROR_INVALID_PARAMETERS;
    } else if (NameStartsWith(m_Line, name_length, kContentType)) {
      while (value != value_end && IsTrimmed(*value)) ++value;
      while (value_end != value && IsTrimmed(value_end[-1])) --value_end;
      const NPT_Size value_length = static_cast<NPT_Size>(value_end - value);
      bool supported = false;
      for (const char* type : kFrameTypes) {
        if (value_length == std::strlen(type) && NPT_String::CompareN(value, type, value_length, true) == 0) {
          supported = true;
        }
      }
      if (supported) {
        std::memcpy(m_ContentType, value, value_length);
        m_ContentType[value_length] = '\0';
      } else {
        result = NPT_ERROR_INVALID_SYNTAX;
      }
    } else if (NameStartsWith(m_Line, name_length, kContentLength)) {
      // The parser wants a NUL-terminated text; the line in the store has none.
      const NPT_Size value_length = static_cast<NPT_Size>(value_end - value);
      std::memcpy(m_Number, value, value_length);
      m_Number[value_length] = '\0';
      result = NPT_ParseInteger64(m_Number, m_ContentLength, true);
      if (NPT_SUCCEEDED(result)) m_LengthSet = true;
    } else {
      result = NPT_ERROR_INVALID_SYNTAX;
    }
    return result;
  }

  KVX_MultipartReader& m_Reader;
  const std::atomic<bool>& m_Aborted;
  NPT_String m_PartDelimiter;
  NPT_String m_ClosingDelimiter;
  const char* m_Line = "";
  NPT_Size m_LineLength = 0;
  // Kept from part to part: a part may set either one twice.
  char m_ContentType[kContentTypeBufferSize];
  NPT_UInt64 m_ContentLength = 0;
  bool m_LengthSet = false;
  char m_Number[KVX_MULTIPART_MAX_LINE_LENGTH + 1];
};

}  // namespace

// The part layout accepted, line by line:
//   preamble lines (skipped) up to the first delimiter line "--boundary";
//   exactly two header lines, "Content-Type" (one of the three frame types,
//   any letter case) and "Content-Length", in either order; an empty line;
//   the body; any number of empty lines; the next delimiter, or the closing
//   delimiter "--boundary--".
// Results (first violation wins, nothing is resynchronised):
//   NPT_ERROR_EOS             closing delimiter, or the aborted flag seen
//   the read's result         a line or body read failed (end of stream,
//                             time-out, connection aborted, a line over 4095
//                             characters: NPT_ERROR_NOT_ENOUGH_SPACE)
//   NPT_ERROR_INVALID_SYNTAX  another line where a delimiter is due; an
//                             unsupported content type or header name; a
//                             non-empty line after the headers; a first part
//                             whose headers set no length
//   NPT_ERROR_INVALID_PARAMETERS  a header line without ":", or a length
//                             that does not read as a number
//   NPT_ERROR_OVERFLOW        a length that does not fit 64 bits
//   NPT_ERROR_OUT_OF_RANGE    a frame that cannot fit the frame store
// The aborted flag is checked before every preamble line, after the preamble,
// after every frame and after every line between a body and the next
// delimiter.
NPT_Result KVX_Device::ReadBody(const NPT_InputStreamReference& stream, const NPT_String& boundary) {
  if (stream.IsNull()) return NPT_ERROR_INVALID_PARAMETERS;

  // A buffered stream (the response's) is switched to unbuffered mode so that
  // its remaining buffered bytes come first and then every read goes straight
  // to the connection, into the frame store.
  NPT_BufferedInputStream* shared = dynamic_cast<NPT_BufferedInputStream*>(stream.AsPointer());
  if (shared) shared->SetBufferSize(0);
  KVX_MultipartReader reader(*stream);
  PartParser parts(reader, boundary, m_Aborted);

  NPT_Result result = parts.ReadPreamble();
  while (NPT_SUCCEEDED(result)) {
    const NPT_Byte* frame = nullptr;
    NPT_Size size = 0;
    result = parts.ReadPartHeaders();
    if (NPT_SUCCEEDED(result)) result = parts.ReadFrame(frame, size);
    if (NPT_SUCCEEDED(result)) {
      HandFrame(frame, size, parts.ContentType());
      result = parts.ReadSeparator();
    }
  }

  if (shared) shared->SetBufferSize(NPT_BUFFERED_BYTE_STREAM_DEFAULT_SIZE);
  return result;
}
