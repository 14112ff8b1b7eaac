// Default operations of the stream interfaces, the stream-to-stream copy and
// the memory stream.

#include "NptStreams.h"

#include <cstring>
#include <new>

namespace {
// Largest amount Load accepts into one buffer.
const NPT_Size kMaxLoadSize = 0x40000000;
// Chunk Load asks for when the stream cannot tell what is available.
const NPT_Size kLoadChunkSize = 4096;
// The copy's transfer block.
const NPT_Size kCopyBlockSize = 65536;
}  // namespace

/*----------------------------------------------------------------------
|   NPT_InputStream
+---------------------------------------------------------------------*/
NPT_Result NPT_InputStream::Load(NPT_DataBuffer& buffer, NPT_Size max_read) {
  buffer.SetDataSize(0);
  if (max_read > kMaxLoadSize) return NPT_ERROR_INVALID_PARAMETERS;

  // With a known size the target is that size (lowered to max_read); without
  // one it is max_read, and 0 means read to the end.
  NPT_LargeSize target = 0;
  NPT_LargeSize size = 0;
  if (NPT_SUCCEEDED(GetSize(size))) {
    target = size;
    if (max_read && max_read < target) target = max_read;
    if (target > kMaxLoadSize) return NPT_ERROR_OUT_OF_RANGE;
  } else {
    target = max_read;
  }
  if (target) {
    NPT_Result result = buffer.Reserve((NPT_Size)target);
    if (NPT_FAILED(result)) return result;
  }

  NPT_Size total = 0;
  NPT_Result result;
  do {
    NPT_LargeSize available = 0;
    NPT_LargeSize chunk;
    if (NPT_FAILED(GetAvailable(available)) || available == 0) {
      chunk = kLoadChunkSize;
    } else {
      chunk = available;
    }
    if (target && total + chunk > target) chunk = target - total;
    if (chunk == 0) break;
    if (total + chunk > kMaxLoadSize) {
      buffer.SetDataSize(0);
      buffer.SetBufferSize(0);
      return NPT_ERROR_OUT_OF_RANGE;
    }
    result = buffer.Reserve(total + (NPT_Size)chunk);
    if (NPT_FAILED(result)) return result;

    NPT_Size bytes_read = 0;
    result = Read(buffer.UseData() + total, (NPT_Size)chunk, &bytes_read);
    if (NPT_SUCCEEDED(result) && bytes_read) {
      total += bytes_read;
      buffer.SetDataSize(total);
    }
  } while (NPT_SUCCEEDED(result) && (target == 0 || total < target));

  return result == NPT_ERROR_EOS ? NPT_SUCCESS : result;
}

NPT_Result NPT_InputStream::ReadFully(void* buffer, NPT_Size bytes_to_read) {
  NPT_Byte* cursor = static_cast<NPT_Byte*>(buffer);
  while (bytes_to_read) {
    NPT_Size bytes_read = 0;
    NPT_Result result = Read(cursor, bytes_to_read, &bytes_read);
    if (NPT_FAILED(result)) return result;
    // A stream that succeeds without progress would otherwise spin forever.
    if (bytes_read == 0) return NPT_ERROR_INTERNAL;
    cursor += bytes_read;
    bytes_to_read -= bytes_read;
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_InputStream::Skip(NPT_Size count) {
  NPT_Position position = 0;
  NPT_Result result = Tell(position);
  if (NPT_FAILED(result)) return result;
  return Seek(position + count);
}

/*----------------------------------------------------------------------
|   NPT_OutputStream
+---------------------------------------------------------------------*/
NPT_Result NPT_OutputStream::WriteFully(const void* buffer, NPT_Size bytes_to_write) {
  const NPT_Byte* cursor = static_cast<const NPT_Byte*>(buffer);
  while (bytes_to_write) {
    NPT_Size bytes_written = 0;
    NPT_Result result = Write(cursor, bytes_to_write, &bytes_written);
    if (NPT_FAILED(result)) return result;
    if (bytes_written == 0) return NPT_ERROR_INTERNAL;
    cursor += bytes_written;
    bytes_to_write -= bytes_written;
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_OutputStream::WriteString(const char* string_buffer) {
  if (string_buffer == nullptr || string_buffer[0] == '\0') return NPT_SUCCESS;
  return WriteFully(string_buffer, (NPT_Size)std::strlen(string_buffer));
}

NPT_Result NPT_OutputStream::WriteLine(const char* line_buffer) {
  NPT_Result result = WriteString(line_buffer);
  if (NPT_FAILED(result)) return result;
  return WriteFully("\r\n", 2);
}

/*----------------------------------------------------------------------
|   NPT_StreamToStreamCopy
+---------------------------------------------------------------------*/
NPT_Result NPT_StreamToStreamCopy(NPT_InputStream& from, NPT_OutputStream& to, NPT_Position offset,
                                  NPT_LargeSize size, NPT_LargeSize* bytes_written) {
  if (bytes_written) *bytes_written = 0;
  if (offset) {
    NPT_Result result = from.Seek(offset);
    if (NPT_FAILED(result)) return result;
  }

  NPT_Byte* block = new (std::nothrow) NPT_Byte[kCopyBlockSize];
  if (block == nullptr) return NPT_ERROR_OUT_OF_MEMORY;

  NPT_LargeSize transferred = 0;
  NPT_Result result;
  for (;;) {
    NPT_Size chunk = kCopyBlockSize;
    if (size && size - transferred < chunk) chunk = (NPT_Size)(size - transferred);

    NPT_Size bytes_read = 0;
    result = from.Read(block, chunk, &bytes_read);
    if (NPT_FAILED(result)) break;
    if (bytes_read == 0) continue;

    NPT_Size done = 0;
    while (done < bytes_read) {
      NPT_Size written = 0;
      NPT_Result write_result = to.Write(block + done, bytes_read - done, &written);
      if (NPT_SUCCEEDED(write_result) && written == 0) write_result = NPT_ERROR_INTERNAL;
      if (NPT_FAILED(write_result)) {
        delete[] block;
        return write_result;
      }
      if (bytes_written) *bytes_written += written;
      done += written;
    }

    if (size) {
      transferred += bytes_read;
      if (transferred >= size) break;
    }
  }
  delete[] block;

  return result == NPT_ERROR_EOS ? NPT_SUCCESS : result;
}

/*----------------------------------------------------------------------
|   NPT_MemoryStream
+---------------------------------------------------------------------*/
NPT_MemoryStream::NPT_MemoryStream(NPT_Size initial_capacity)
    : m_Buffer(initial_capacity), m_ReadOffset(0), m_WriteOffset(0) {}

NPT_MemoryStream::NPT_MemoryStream(const void* data, NPT_Size size)
    : m_Buffer(data, size, true), m_ReadOffset(0), m_WriteOffset(0) {}

NPT_Result NPT_MemoryStream::Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read) {
  if (bytes_read) *bytes_read = 0;
  if (bytes_to_read == 0) return NPT_SUCCESS;

  NPT_Size available = m_Buffer.GetDataSize() - m_ReadOffset;
  if (bytes_to_read > available) bytes_to_read = available;
  if (bytes_to_read) {
    std::memcpy(buffer, m_Buffer.GetData() + m_ReadOffset, bytes_to_read);
    m_ReadOffset += bytes_to_read;
  }
  if (bytes_read) *bytes_read = bytes_to_read;
  return bytes_to_read ? NPT_SUCCESS : NPT_ERROR_EOS;
}

NPT_Result NPT_MemoryStream::GetSize(NPT_LargeSize& size) {
  size = m_Buffer.GetDataSize();
  return NPT_SUCCESS;
}

NPT_Result NPT_MemoryStream::GetAvailable(NPT_LargeSize& available) {
  available = m_Buffer.GetDataSize() - m_ReadOffset;
  return NPT_SUCCESS;
}

NPT_Result NPT_MemoryStream::Write(const void* buffer, NPT_Size bytes_to_write, NPT_Size* bytes_written) {
  if (bytes_written) *bytes_written = 0;
  // The offsets are 32-bit: a write that would pass 4 GiB cannot be held.
  if (bytes_to_write > 0xFFFFFFFFu - m_WriteOffset) return NPT_ERROR_OUT_OF_RANGE;
  NPT_Result result = m_Buffer.Reserve(m_WriteOffset + bytes_to_write);
  if (NPT_FAILED(result)) return result;

  if (bytes_to_write) std::memcpy(m_Buffer.UseData() + m_WriteOffset, buffer, bytes_to_write);
  m_WriteOffset += bytes_to_write;
  if (m_WriteOffset > m_Buffer.GetDataSize()) m_Buffer.SetDataSize(m_WriteOffset);
  if (bytes_written) *bytes_written = bytes_to_write;
  return NPT_SUCCESS;
}

NPT_Result NPT_MemoryStream::SetDataSize(NPT_Size size) {
  NPT_Result result = m_Buffer.SetDataSize(size);
  if (NPT_FAILED(result)) return result;
  if (m_ReadOffset > size) m_ReadOffset = size;
  if (m_WriteOffset > size) m_WriteOffset = size;
  return NPT_SUCCESS;
}

NPT_Result NPT_MemoryStream::InputSeek(NPT_Position offset) {
  if ((offset >> 32) != 0 || offset > m_Buffer.GetDataSize()) return NPT_ERROR_OUT_OF_RANGE;
  m_ReadOffset = (NPT_Size)offset;
  return NPT_SUCCESS;
}

NPT_Result NPT_MemoryStream::InputTell(NPT_Position& offset) {
  offset = m_ReadOffset;
  return NPT_SUCCESS;
}

NPT_Result NPT_MemoryStream::OutputSeek(NPT_Position offset) {
  if ((offset >> 32) != 0 || offset > m_Buffer.GetDataSize()) return NPT_ERROR_OUT_OF_RANGE;
  m_WriteOffset = (NPT_Size)offset;
  return NPT_SUCCESS;
}

NPT_Result NPT_MemoryStream::OutputTell(NPT_Position& offset) {
  offset = m_WriteOffset;
  return NPT_SUCCESS;
}
