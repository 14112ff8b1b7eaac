// NPT_BufferedInputStream: buffered reads and line reading over a source stream.

#include "NptBufferedStreams.h"

#include <cstring>
#include <new>

NPT_BufferedInputStream::NPT_BufferedInputStream(const NPT_InputStreamReference& source, NPT_Size buffer_size)
    : m_Source(source), m_SkipNewline(false), m_Eos(false) {
  // The storage is allocated at the first fill: a stream switched to
  // unbuffered mode before its first read never allocates one.
  m_Buffer.data = nullptr;
  m_Buffer.offset = 0;
  m_Buffer.valid = 0;
  m_Buffer.size = buffer_size;
}

NPT_BufferedInputStream::~NPT_BufferedInputStream() {
  delete[] m_Buffer.data;
  m_Source.Release();
}

NPT_Result NPT_BufferedInputStream::SetBufferSize(NPT_Size size, bool force) {
  if (m_Buffer.data != nullptr && (m_Buffer.size < size || force)) {
    NPT_Size unread = m_Buffer.valid - m_Buffer.offset;
    // Forcing a buffer too small for what is still unread would lose bytes.
    if (unread > size) return NPT_ERROR_INVALID_PARAMETERS;
    NPT_Byte* storage = nullptr;
    if (size) {
      storage = new (std::nothrow) NPT_Byte[size];
      if (storage == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
      if (unread) std::memcpy(storage, m_Buffer.data + m_Buffer.offset, unread);
    }
    delete[] m_Buffer.data;
    m_Buffer.data = storage;
    m_Buffer.offset = 0;
    m_Buffer.valid = unread;
  }
  m_Buffer.size = size;
  return NPT_SUCCESS;
}

NPT_Result NPT_BufferedInputStream::FillBuffer() {
  if (m_Eos) return NPT_ERROR_EOS;
  if (m_Source.IsNull()) return NPT_ERROR_INVALID_STATE;
  if (m_Buffer.size == 0) return NPT_ERROR_INVALID_STATE;
  if (m_Buffer.data == nullptr) {
    m_Buffer.data = new (std::nothrow) NPT_Byte[m_Buffer.size];
    if (m_Buffer.data == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
  }
  m_Buffer.offset = 0;
  m_Buffer.valid = 0;
  NPT_Size bytes_read = 0;
  NPT_Result result = m_Source->Read(m_Buffer.data, m_Buffer.size, &bytes_read);
  // A source that succeeds without a byte would have line reading ask again
  // for ever; as in unbuffered mode, that is the source's fault, reported.
  if (NPT_SUCCEEDED(result) && bytes_read == 0) return NPT_ERROR_INTERNAL;
  if (NPT_SUCCEEDED(result)) m_Buffer.valid = bytes_read;
  return result;
}

NPT_Result NPT_BufferedInputStream::ReleaseBuffer() {
  delete[] m_Buffer.data;
  m_Buffer.data = nullptr;
  m_Buffer.offset = 0;
  m_Buffer.valid = 0;
  return NPT_SUCCESS;
}

NPT_Result NPT_BufferedInputStream::Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read) {
  if (bytes_read) *bytes_read = 0;
  if (bytes_to_read == 0) return NPT_SUCCESS;

  NPT_Byte* cursor = static_cast<NPT_Byte*>(buffer);
  NPT_Size total = 0;
  NPT_Result result = NPT_SUCCESS;

  // The previous line ended at a CR: drop the LF that may follow it.
  if (m_SkipNewline) {
    m_SkipNewline = false;
    NPT_Byte c = 0;
    NPT_Size one = 0;
    result = Read(&c, 1, &one);
    if (NPT_FAILED(result)) return result;
    if (one == 1 && c != '\n') {
      *cursor++ = c;
      --bytes_to_read;
      total = 1;
    }
  }

  NPT_Size buffered = m_Buffer.valid - m_Buffer.offset;
  if (bytes_to_read > buffered) {
    if (buffered) {
      // Serve what is buffered only; the caller asks again for the rest.
      bytes_to_read = buffered;
    } else if (m_Buffer.size == 0) {
      // Unbuffered: the whole request goes to the source, so that nothing
      // past it is taken.
      if (m_Buffer.data) ReleaseBuffer();
      if (m_Source.IsNull()) {
        result = NPT_ERROR_INVALID_STATE;
      } else {
        NPT_Size direct = 0;
        result = m_Source->Read(cursor, bytes_to_read, &direct);
        if (NPT_SUCCEEDED(result)) total += direct;
      }
      bytes_to_read = 0;
    } else {
      result = FillBuffer();
      if (NPT_FAILED(result)) {
        bytes_to_read = 0;
      } else if (bytes_to_read > m_Buffer.valid) {
        bytes_to_read = m_Buffer.valid;
      }
    }
  }

  if (bytes_to_read) {
    std::memcpy(cursor, m_Buffer.data + m_Buffer.offset, bytes_to_read);
    m_Buffer.offset += bytes_to_read;
    total += bytes_to_read;
  }

  if (bytes_read) *bytes_read = total;
  if (result == NPT_ERROR_EOS) m_Eos = true;
  // A byte already handed over (the one read while dropping an LF) must be
  // reported as data; the error comes back on the next call.
  if (NPT_FAILED(result) && total) return NPT_SUCCESS;
  return result;
}

NPT_Result NPT_BufferedInputStream::ReadLine(char* buffer, NPT_Size size, NPT_Size* chars_read, bool break_on_cr) {
  return ReadLineInto(buffer, size, chars_read, break_on_cr, nullptr);
}

NPT_Result NPT_BufferedInputStream::ReadLineInto(char* buffer, NPT_Size size, NPT_Size* chars_read, bool break_on_cr,
                                                 bool* terminated) {
  if (chars_read) *chars_read = 0;
  if (terminated) *terminated = false;
  if (buffer == nullptr || size == 0) return NPT_ERROR_INVALID_PARAMETERS;

  const NPT_Size capacity = size - 1;
  NPT_Size stored = 0;
  bool ended_at_cr = false;
  bool ended = false;  // at a terminator
  // Only the single LF right after a CR that ended the previous line is dropped.
  bool skip_lf = m_SkipNewline;
  NPT_Result result = NPT_SUCCESS;

  for (;;) {
    bool done = false;
    while (m_Buffer.offset != m_Buffer.valid) {
      NPT_Byte c = m_Buffer.data[m_Buffer.offset++];
      if (c == '\r') {
        if (break_on_cr) {
          ended_at_cr = true;
          ended = true;
          done = true;
          break;
        }
      } else if (c == '\n') {
        if (skip_lf && stored == 0) {
          skip_lf = false;
          continue;
        }
        ended = true;
        done = true;
        break;
      } else {
        if (stored == capacity) {
          result = NPT_ERROR_NOT_ENOUGH_SPACE;
          done = true;
          break;
        }
        buffer[stored++] = (char)c;
      }
    }
    if (done) break;

    if (m_Buffer.size == 0 && !m_Eos) {
      // Unbuffered: one byte at a time, so that nothing past the line is
      // taken from the source.
      if (m_Buffer.data) ReleaseBuffer();
      if (m_Source.IsNull()) {
        result = NPT_ERROR_INVALID_STATE;
        break;
      }
      for (;;) {
        NPT_Byte c = 0;
        NPT_Size one = 0;
        result = m_Source->Read(&c, 1, &one);
        if (NPT_FAILED(result)) break;
        // A source that succeeds without a byte would make this spin.
        if (one == 0) {
          result = NPT_ERROR_INTERNAL;
          break;
        }
        if (c == '\r') {
          if (break_on_cr) {
            ended_at_cr = true;
            ended = true;
            break;
          }
        } else if (c == '\n') {
          ended = true;
          break;
        } else {
          if (stored == capacity) {
            result = NPT_ERROR_NOT_ENOUGH_SPACE;
            break;
          }
          buffer[stored++] = (char)c;
        }
      }
      break;
    }

    result = FillBuffer();
    if (NPT_FAILED(result)) break;
  }

  m_SkipNewline = ended_at_cr;
  buffer[stored] = '\0';
  if (chars_read) *chars_read = stored;
  if (terminated) *terminated = ended;
  if (result == NPT_ERROR_EOS) {
    m_Eos = true;
    if (stored) return NPT_SUCCESS;
  }
  return result;
}

// Reads into the string's own storage; on failure the string is left empty.
template <typename LineReader>
static NPT_Result ReadLineIntoString(NPT_String& line, NPT_Size max_chars, LineReader read) {
  line.SetLength(0);
  if (max_chars == 0) return NPT_ERROR_INVALID_PARAMETERS;
  NPT_Result result = line.Reserve(max_chars);
  if (NPT_FAILED(result)) return result;
  char* chars = line.UseChars();
  if (chars == nullptr) return NPT_ERROR_OUT_OF_MEMORY;

  NPT_Size count = 0;
  result = read(chars, max_chars, &count);
  if (NPT_FAILED(result)) {
    // The characters written into the reserved storage are not part of the
    // string; drop them so that it reads as empty everywhere.
    line.SetLength(0);
    return result;
  }
  line.SetLength(count);
  return NPT_SUCCESS;
}

NPT_Result NPT_BufferedInputStream::ReadLine(NPT_String& line, NPT_Size max_chars, bool break_on_cr) {
  return ReadLineIntoString(line, max_chars, [&](char* chars, NPT_Size size, NPT_Size* count) {
    return ReadLine(chars, size, count, break_on_cr);
  });
}

NPT_Result NPT_BufferedInputStream::ReadWholeLine(NPT_String& line, NPT_Size max_chars, bool break_on_cr) {
  return ReadLineIntoString(line, max_chars, [&](char* chars, NPT_Size size, NPT_Size* count) {
    bool terminated = false;
    NPT_Result result = ReadLineInto(chars, size, count, break_on_cr, &terminated);
    if (NPT_SUCCEEDED(result) && !terminated) result = NPT_ERROR_EOS;
    return result;
  });
}

NPT_Result NPT_BufferedInputStream::Peek(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read) {
  if (bytes_read) *bytes_read = 0;
  if (bytes_to_read == 0) return NPT_SUCCESS;

  NPT_Result result = NPT_SUCCESS;
  const NPT_Size fill_size = m_Buffer.size ? m_Buffer.size : NPT_BUFFERED_BYTE_STREAM_DEFAULT_SIZE;
  NPT_Size buffered = m_Buffer.valid - m_Buffer.offset;
  if (buffered < bytes_to_read && buffered < fill_size && !m_Eos) {
    if (m_Source.IsNull()) return NPT_ERROR_INVALID_STATE;
    // Make room for fill_size bytes with the unread ones at the start, then
    // append to them: nothing buffered is lost and the mode is unchanged.
    NPT_Size capacity = fill_size;
    if (m_Buffer.data == nullptr || m_Buffer.offset != 0 || capacity > m_Buffer.size) {
      NPT_Byte* storage = new (std::nothrow) NPT_Byte[capacity];
      if (storage == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
      if (buffered) std::memcpy(storage, m_Buffer.data + m_Buffer.offset, buffered);
      delete[] m_Buffer.data;
      m_Buffer.data = storage;
      m_Buffer.offset = 0;
      m_Buffer.valid = buffered;
    }
    NPT_Size more = 0;
    result = m_Source->Read(m_Buffer.data + m_Buffer.valid, capacity - m_Buffer.valid, &more);
    if (NPT_SUCCEEDED(result)) m_Buffer.valid += more;
    buffered = m_Buffer.valid - m_Buffer.offset;
  }

  NPT_Size count = bytes_to_read < buffered ? bytes_to_read : buffered;
  if (count) std::memcpy(buffer, m_Buffer.data + m_Buffer.offset, count);
  if (bytes_read) *bytes_read = count;
  // Nothing buffered after the end was seen: the end, as Read reports it.
  if (count == 0 && m_Eos && NPT_SUCCEEDED(result)) result = NPT_ERROR_EOS;
  if (result == NPT_ERROR_EOS) m_Eos = true;
  if (NPT_FAILED(result) && count) return NPT_SUCCESS;
  return result;
}

NPT_Result NPT_BufferedInputStream::Seek(NPT_Position /*offset*/) { return NPT_ERROR_NOT_IMPLEMENTED; }

NPT_Result NPT_BufferedInputStream::Tell(NPT_Position& offset) {
  offset = 0;
  return NPT_ERROR_NOT_IMPLEMENTED;
}

NPT_Result NPT_BufferedInputStream::GetSize(NPT_LargeSize& size) {
  size = 0;
  if (m_Source.IsNull()) return NPT_ERROR_INVALID_STATE;
  return m_Source->GetSize(size);
}

NPT_Result NPT_BufferedInputStream::GetAvailable(NPT_LargeSize& available) {
  available = 0;
  NPT_Size buffered = m_Buffer.valid - m_Buffer.offset;
  NPT_LargeSize from_source = 0;
  NPT_Result result = m_Source.IsNull() ? NPT_ERROR_INVALID_STATE : m_Source->GetAvailable(from_source);
  if (NPT_SUCCEEDED(result)) {
    available = buffered + from_source;
    return NPT_SUCCESS;
  }
  available = buffered;
  return buffered ? NPT_SUCCESS : result;
}
