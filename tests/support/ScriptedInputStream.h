#pragma once
// An input stream whose answers the test scripts, for the parsers and stream
// adapters over it. It needs the runtime's stream interface (the including
// test links the runtime); TestSupport.h stays free of it.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "NptStreams.h"

namespace kvx_test {

// Hands out m_Data in reads of at most the next size of m_Chunks (cycled; an
// empty list serves whole requests, an entry of 0 counts as 1), then
// m_EndResult for ever. Records how far it was read (m_Position), how often
// (m_Calls) and, unless m_RecordRequests is false (no allocation per read),
// every size asked for (m_Requests). Every field may be changed between reads.
class ScriptedInputStream : public NPT_InputStream {
 public:
  explicit ScriptedInputStream(std::string data = std::string(), std::vector<NPT_Size> chunks = {},
                               NPT_Result end_result = NPT_ERROR_EOS)
      : m_Data(std::move(data)), m_Chunks(std::move(chunks)), m_EndResult(end_result) {}

  NPT_Result Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read = nullptr) override {
    if (bytes_read) *bytes_read = 0;
    ++m_Calls;
    if (m_RecordRequests) m_Requests.push_back(bytes_to_read);
    if (bytes_to_read == 0) return NPT_SUCCESS;
    if (m_ZeroReads > 0) {
      --m_ZeroReads;
      return NPT_SUCCESS;
    }
    if (m_FailAt != SIZE_MAX && m_Position == m_FailAt) {
      m_FailAt = SIZE_MAX;
      return m_FailWith;
    }
    if (m_Position >= m_Data.size()) return m_EndResult;
    size_t count = std::min<size_t>(bytes_to_read, m_Data.size() - m_Position);
    if (!m_Chunks.empty()) {
      size_t chunk = std::max<size_t>(m_Chunks[m_ChunkIndex++ % m_Chunks.size()], 1);
      count = std::min(count, chunk);
    }
    if (m_FailAt != SIZE_MAX && m_Position + count > m_FailAt) count = m_FailAt - m_Position;
    std::memcpy(buffer, m_Data.data() + m_Position, count);
    m_Position += count;
    if (bytes_read) *bytes_read = static_cast<NPT_Size>(count);
    return NPT_SUCCESS;
  }
  // Moves within the data when m_Seekable; NPT_ERROR_NOT_SUPPORTED otherwise.
  NPT_Result Seek(NPT_Position offset) override {
    if (!m_Seekable) return NPT_ERROR_NOT_SUPPORTED;
    if (offset > m_Data.size()) return NPT_ERROR_OUT_OF_RANGE;
    m_Position = static_cast<size_t>(offset);
    return NPT_SUCCESS;
  }
  NPT_Result Tell(NPT_Position& offset) override {
    offset = m_Position;
    return m_TellResult;
  }
  NPT_Result GetSize(NPT_LargeSize& size) override {
    size = m_ReportedSize ? m_ReportedSize : m_Data.size();
    return m_SizeResult;
  }
  NPT_Result GetAvailable(NPT_LargeSize& available) override {
    available = m_ReportedAvailable ? m_ReportedAvailable : m_Data.size() - m_Position;
    return m_AvailableResult;
  }

  // The read that starts at `at` fails once with `result`; the read before it
  // stops short of `at`.
  void FailAt(size_t at, NPT_Result result) {
    m_FailAt = at;
    m_FailWith = result;
  }

  std::string m_Data;
  std::vector<NPT_Size> m_Chunks;
  NPT_Result m_EndResult;
  size_t m_ChunkIndex = 0;
  size_t m_Position = 0;  // bytes handed out so far
  int m_ZeroReads = 0;    // reads that succeed with 0 bytes before any data
  size_t m_FailAt = SIZE_MAX;
  NPT_Result m_FailWith = NPT_FAILURE;
  bool m_Seekable = false;
  NPT_Result m_TellResult = NPT_SUCCESS;
  NPT_Result m_SizeResult = NPT_SUCCESS;
  NPT_Result m_AvailableResult = NPT_SUCCESS;
  NPT_LargeSize m_ReportedSize = 0;       // 0: the data's size
  NPT_LargeSize m_ReportedAvailable = 0;  // 0: what is left of the data
  int m_Calls = 0;
  bool m_RecordRequests = true;
  std::vector<NPT_Size> m_Requests;
};

}  // namespace kvx_test
