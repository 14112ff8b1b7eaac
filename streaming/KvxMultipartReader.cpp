// The device stream's multipart/x-mixed-replace reader: boundary extraction,
// part header rules and frame delivery (KVX_Device::ExtractParts,
// ExtractBoundary, ReadBody), over KVX_MultipartLineReader.

#include "KvxMultipartReader.h"

#include <cstring>

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
// Initial capacity of the frame store, and the least it grows by.
const NPT_Size kFrameStoreInitialSize = 16384;
// Largest declared frame length reserved up front (a 4K RGBA frame is 33 MB).
const NPT_Size kFrameStoreDirectReserveLimit = 64 * 1024 * 1024;
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
|   KVX_MultipartLineReader
+---------------------------------------------------------------------*/
KVX_MultipartLineReader::KVX_MultipartLineReader(NPT_InputStream& source)
    : m_Source(source), m_Offset(0), m_Valid(0), m_Eos(false) {}

NPT_Result KVX_MultipartLineReader::Fill() {
  m_Offset = 0;
  m_Valid = 0;
  if (m_Eos) return NPT_ERROR_EOS;
  NPT_Size count = 0;
  NPT_Result result = m_Source.Read(m_Buffer, sizeof(m_Buffer), &count);
  if (result == NPT_ERROR_EOS) m_Eos = true;
  if (NPT_FAILED(result)) return result;
  // A source that succeeds without a byte would make the caller spin.
  if (count == 0) return NPT_ERROR_INTERNAL;
  m_Valid = count;
  return NPT_SUCCESS;
}

NPT_Result KVX_MultipartLineReader::ReadLine(char* line, NPT_Size size, NPT_Size& length) {
  length = 0;
  if (line == nullptr || size == 0) return NPT_ERROR_INVALID_PARAMETERS;
  const NPT_Size capacity = size - 1;
  NPT_Size stored = 0;
  NPT_Result result = NPT_SUCCESS;
  for (bool done = false; !done;) {
    while (m_Offset != m_Valid) {
      char c = static_cast<char>(m_Buffer[m_Offset++]);
      if (c == '\r') continue;
      if (c == '\n') {
        done = true;
        break;
      }
      if (stored == capacity) {
        result = NPT_ERROR_NOT_ENOUGH_SPACE;
        done = true;
        break;
      }
      line[stored++] = c;
    }
    if (done) break;
    result = Fill();
    if (NPT_FAILED(result)) break;
  }
  line[stored] = '\0';
  length = stored;
  // The end of the stream closes a last line that has no LF.
  if (result == NPT_ERROR_EOS && stored) return NPT_SUCCESS;
  return result;
}

NPT_Result KVX_MultipartLineReader::ReadSome(NPT_Byte* data, NPT_Size size, NPT_Size& count) {
  count = 0;
  if (m_Offset != m_Valid) {
    NPT_Size buffered = m_Valid - m_Offset;
    count = size < buffered ? size : buffered;
    std::memcpy(data, m_Buffer + m_Offset, count);
    m_Offset += count;
    return NPT_SUCCESS;
  }
  if (m_Eos) return NPT_ERROR_EOS;
  NPT_Result result = m_Source.Read(data, size, &count);
  if (result == NPT_ERROR_EOS) m_Eos = true;
  if (NPT_FAILED(result)) {
    count = 0;
    return result;
  }
  if (count == 0) return NPT_ERROR_INTERNAL;
  return NPT_SUCCESS;
}

NPT_Result KVX_MultipartLineReader::ReadFrame(NPT_MemoryStream& store, NPT_UInt64 length, NPT_Size max_size) {
  NPT_Result result = store.SetDataSize(0);
  if (NPT_FAILED(result)) return result;
  if (length > max_size) return NPT_ERROR_OUT_OF_RANGE;

  const bool bounded = length != 0;
  const NPT_Size limit = bounded ? static_cast<NPT_Size>(length) : max_size;
  if (limit == 0) return NPT_SUCCESS;
  // The store's data size is the room being filled; its storage is written in
  // place (the store owns it, and nothing else holds it during the read).
  NPT_Size capacity = store.GetBuffer().GetBufferSize();
  NPT_Size room = capacity < limit ? capacity : limit;
  NPT_Size written = 0;
  result = store.SetDataSize(room);
  if (NPT_FAILED(result)) return result;

  for (;;) {
    if (bounded && written == limit) break;
    if (written == room) {
      if (room == limit) {
        // An open-ended body has filled the largest frame: it fits only if
        // the stream ends right here.
        NPT_Byte extra = 0;
        NPT_Size count = 0;
        result = ReadSome(&extra, 1, count);
        if (result == NPT_ERROR_EOS) break;
        store.SetDataSize(0);
        return NPT_FAILED(result) ? result : NPT_ERROR_OUT_OF_RANGE;
      }
      // A declared length of a plausible size is reserved in one step: growing
      // by doubling would copy the bytes read so far at every step, which for
      // large raw frames costs more CPU than the receive itself. Larger claims
      // still grow with the data, so a lying length cannot make us allocate it.
      NPT_UInt64 grown = 2 * static_cast<NPT_UInt64>(room);
      if (bounded && limit <= kFrameStoreDirectReserveLimit) grown = limit;
      if (grown < kFrameStoreInitialSize) grown = kFrameStoreInitialSize;
      if (grown > limit) grown = limit;
      room = static_cast<NPT_Size>(grown);
      result = store.SetDataSize(room);
      if (NPT_FAILED(result)) {
        store.SetDataSize(0);
        return result;
      }
    }
    NPT_Byte* data = const_cast<NPT_DataBuffer&>(store.GetBuffer()).UseData();
    NPT_Size count = 0;
    result = ReadSome(data + written, room - written, count);
    if (NPT_FAILED(result)) {
      if (result == NPT_ERROR_EOS && !bounded) break;
      store.SetDataSize(0);
      return result;
    }
    written += count;
  }
  return store.SetDataSize(written);
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
  // to the connection; the line buffer lives in the line reader.
  NPT_BufferedInputStream* shared = dynamic_cast<NPT_BufferedInputStream*>(stream.AsPointer());
  if (shared) shared->SetBufferSize(0);
  KVX_MultipartLineReader reader(*stream);
  NPT_MemoryStream store(kFrameStoreInitialSize);

  NPT_String part_delimiter("--");
  part_delimiter += boundary;
  NPT_String closing_delimiter(part_delimiter);
  closing_delimiter += "--";

  char line[KVX_MULTIPART_LINE_BUFFER_SIZE];
  NPT_Size line_length = 0;
  char content_type[kContentTypeBufferSize] = {0};
  NPT_UInt64 content_length = 0;
  bool length_set = false;
  char number[KVX_MULTIPART_LINE_BUFFER_SIZE];

  NPT_Result result = NPT_SUCCESS;
  // Preamble.
  for (;;) {
    if (m_Aborted.load(std::memory_order_acquire)) {
      result = NPT_ERROR_EOS;
      goto end;
    }
    result = reader.ReadLine(line, sizeof(line), line_length);
    if (NPT_FAILED(result)) goto end;
    if (LineEquals(line, line_length, closing_delimiter) || LineEquals(line, line_length, part_delimiter)) break;
  }
  if (m_Aborted.load(std::memory_order_acquire)) {
    result = NPT_ERROR_EOS;
    goto end;
  }

  for (;;) {
    // `line` is where a delimiter is due.
    if (LineEquals(line, line_length, closing_delimiter)) {
      result = NPT_ERROR_EOS;
      goto end;
    }
    if (!LineEquals(line, line_length, part_delimiter)) {
      result = NPT_ERROR_INVALID_SYNTAX;
      goto end;
    }

    for (int header = 0; header < 2; ++header) {
      result = reader.ReadLine(line, sizeof(line), line_length);
      if (NPT_FAILED(result)) goto end;
      // Name: up to the first ":" (not trimmed); value: up to the next ":".
      const char* colon = static_cast<const char*>(std::memchr(line, ':', line_length));
      if (colon == nullptr) {
        result = NPT_ERROR_INVALID_PARAMETERS;
        goto end;
      }
      const NPT_Size name_length = static_cast<NPT_Size>(colon - line);
      const char* value = colon + 1;
      const char* value_end = line + line_length;
      const char* next_colon = static_cast<const char*>(std::memchr(value, ':', value_end - value));
      if (next_colon) value_end = next_colon;

      if (NameStartsWith(line, name_length, kContentType)) {
        while (value != value_end && IsTrimmed(*value)) ++value;
        while (value_end != value && IsTrimmed(value_end[-1])) --value_end;
        const NPT_Size value_length = static_cast<NPT_Size>(value_end - value);
        bool supported = false;
        for (const char* type : kFrameTypes) {
          if (value_length == std::strlen(type) && NPT_String::CompareN(value, type, value_length, true) == 0) {
            supported = true;
          }
        }
        if (!supported) {
          result = NPT_ERROR_INVALID_SYNTAX;
          goto end;
        }
        std::memcpy(content_type, value, value_length);
        content_type[value_length] = '\0';
      } else if (NameStartsWith(line, name_length, kContentLength)) {
        const NPT_Size value_length = static_cast<NPT_Size>(value_end - value);
        std::memcpy(number, value, value_length);
        number[value_length] = '\0';
        result = NPT_ParseInteger64(number, content_length, true);
        if (NPT_FAILED(result)) goto end;
        length_set = true;
      } else {
        result = NPT_ERROR_INVALID_SYNTAX;
        goto end;
      }
    }
    // Two "Content-Type" lines in the first part leave no length to read by.
    if (!length_set) {
      result = NPT_ERROR_INVALID_SYNTAX;
      goto end;
    }

    result = reader.ReadLine(line, sizeof(line), line_length);
    if (NPT_FAILED(result)) goto end;
    if (line_length != 0) {
      result = NPT_ERROR_INVALID_SYNTAX;
      goto end;
    }

    result = reader.ReadFrame(store, content_length);
    if (NPT_FAILED(result)) goto end;
    HandFrame(store.GetBuffer().GetData(), store.GetBuffer().GetDataSize(), content_type);

    if (m_Aborted.load(std::memory_order_acquire)) {
      result = NPT_ERROR_EOS;
      goto end;
    }
    do {
      result = reader.ReadLine(line, sizeof(line), line_length);
      if (NPT_FAILED(result)) goto end;
      if (m_Aborted.load(std::memory_order_acquire)) {
        result = NPT_ERROR_EOS;
        goto end;
      }
    } while (line_length == 0);
  }

end:
  if (shared) shared->SetBufferSize(NPT_BUFFERED_BYTE_STREAM_DEFAULT_SIZE);
  return result;
}
