// Fuzz target for the device stream's multipart reader.
//
// Input layout: byte 0 selects the operation.
// - Even: KVX_Device::ReadBody with the boundary "frame" over the remaining
//   bytes, read twice: once in chunks whose sizes come from byte 1, once in
//   one piece. Checked: the result is never success; both readings deliver
//   the same frames and end with the same result (chunking cannot matter);
//   every frame's content type is one of the three frame types (or empty,
//   for a first part without one) and its bytes occur in the input.
// - Odd: KVX_Device::ExtractBoundary over the remaining bytes as a content
//   type. Checked: success only for the multipart/x-mixed-replace type, and
//   then the boundary neither starts nor ends with "-" and occurs in the
//   input.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KvxDevice.h"
#include "NptHttp.h"
#include "support/ChoppedStream.h"

namespace {

#define FUZZ_ASSERT(_cond)                                                        \
  do {                                                                            \
    if (!(_cond)) {                                                               \
      std::fprintf(stderr, "assertion failed: %s (line %d)\n", #_cond, __LINE__); \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

// Read sizes of 1 to 23 bytes from a seeded generator; seed 0 hands out
// whatever is asked.
class ChunkSource : public ChoppedStream {
 public:
  ChunkSource(const uint8_t* data, size_t size, unsigned seed) : ChoppedStream(data, size), m_Seed(seed) {}

 protected:
  size_t NextChunk() override {
    if (!m_Seed) return ChoppedStream::NextChunk();
    m_Seed = m_Seed * 1103515245u + 12345u;
    return 1 + ((m_Seed >> 16) % 23);
  }

 private:
  unsigned m_Seed;
};

struct Frame {
  std::string type;
  std::string data;
  bool operator==(const Frame& other) const { return type == other.type && data == other.data; }
};

class Collector : public KVX_DeviceDelegate {
 public:
  Collector(const uint8_t* input, size_t size) : m_Input(reinterpret_cast<const char*>(input), size) {}
  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) override {
    FUZZ_ASSERT(size <= m_Input.size());
    Frame frame{content_type, std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(size))};
    FUZZ_ASSERT(frame.type.empty() || NPT_String::Compare(content_type, "image/jpeg", true) == 0 ||
                NPT_String::Compare(content_type, "image/rgba", true) == 0 ||
                NPT_String::Compare(content_type, "image/rgb", true) == 0);
    FUZZ_ASSERT(m_Input.find(frame.data) != std::string::npos);
    frames.push_back(frame);
  }
  std::vector<Frame> frames;

 private:
  std::string m_Input;
};

NPT_Result ReadAll(const uint8_t* data, size_t size, unsigned seed, std::vector<Frame>& frames) {
  KVX_Device device(NPT_List<NPT_HttpUrl>(), 0);
  Collector collector(data, size);
  device.SetDelegate(&collector);
  NPT_InputStreamReference stream(new ChunkSource(data, size, seed));
  NPT_Result result = device.ReadBody(stream, "frame");
  frames = collector.frames;
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  if (data[0] & 1) {
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    NPT_HttpEntity entity;
    entity.SetContentType(text.c_str());
    NPT_String boundary;
    NPT_Result result = KVX_Device::ExtractBoundary(entity, boundary);
    if (result == NPT_SUCCESS) {
      NPT_String type(entity.GetContentType());
      type.Trim("\r\n\t ");
      FUZZ_ASSERT(type.StartsWith("multipart/x-mixed-replace", true));
      FUZZ_ASSERT(boundary.IsEmpty() || (boundary[0] != '-' && boundary.GetLast() != '-'));
      FUZZ_ASSERT(text.find(boundary.GetChars()) != std::string::npos);
    } else {
      FUZZ_ASSERT(result == NPT_ERROR_INVALID_PARAMETERS);
    }
    return 0;
  }

  std::vector<Frame> chunked;
  std::vector<Frame> whole;
  NPT_Result chunked_result = ReadAll(data + 2, size - 2, 1u + data[1], chunked);
  NPT_Result whole_result = ReadAll(data + 2, size - 2, 0, whole);
  FUZZ_ASSERT(chunked_result != NPT_SUCCESS);
  FUZZ_ASSERT(chunked_result == whole_result);
  FUZZ_ASSERT(chunked == whole);
  return 0;
}
