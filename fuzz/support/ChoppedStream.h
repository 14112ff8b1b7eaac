#pragma once
// An input stream over fuzz input that hands out at most `step` bytes per
// read, so that parsers are exercised at every chunking of their input.
// Targets that draw each read's size from the input override NextChunk.

#include <cstdint>
#include <cstring>

#include "NptStreams.h"

class ChoppedStream : public NPT_InputStream {
 public:
  ChoppedStream(const uint8_t* data, size_t size, NPT_Size step = 0xFFFFFFFF)
      : m_Data(data), m_Size(size), m_Step(step) {}
  NPT_Result Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read) override {
    if (bytes_read) *bytes_read = 0;
    if (bytes_to_read == 0) return NPT_SUCCESS;
    if (m_Offset >= m_Size) return NPT_ERROR_EOS;
    const size_t chunk = NextChunk();
    size_t count = bytes_to_read < chunk ? bytes_to_read : chunk;
    if (count > m_Size - m_Offset) count = m_Size - m_Offset;
    memcpy(buffer, m_Data + m_Offset, count);
    m_Offset += count;
    if (bytes_read) *bytes_read = (NPT_Size)count;
    return NPT_SUCCESS;
  }
  // Bytes handed out so far.
  size_t Offset() const { return m_Offset; }
  NPT_Result Seek(NPT_Position) override { return NPT_ERROR_NOT_SUPPORTED; }
  NPT_Result Tell(NPT_Position& offset) override {
    offset = m_Offset;
    return NPT_SUCCESS;
  }
  NPT_Result GetSize(NPT_LargeSize& size) override {
    size = m_Size;
    return NPT_SUCCESS;
  }
  NPT_Result GetAvailable(NPT_LargeSize& available) override {
    available = m_Size - m_Offset;
    return NPT_SUCCESS;
  }

 protected:
  // The most bytes the next read may hand out; asked once per read that
  // delivers something.
  virtual size_t NextChunk() { return m_Step; }

 private:
  const uint8_t* m_Data;
  size_t m_Size;
  size_t m_Offset = 0;
  NPT_Size m_Step;
};
