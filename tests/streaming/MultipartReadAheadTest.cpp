// The multipart line reader with read-ahead (as the device stream uses it):
// the same lines, bodies and results as the reader that never reads past a
// body, whatever the source's chunking, and fewer reads of the source for
// small frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "KvxMultipartReader.h"
#include "NptStreams.h"

namespace {

// Serves `data` in pieces of at most `chunk` bytes, then `end_result`;
// counts the reads that were asked for.
class ChunkedSource : public NPT_InputStream {
 public:
  ChunkedSource(std::string data, size_t chunk, NPT_Result end_result = NPT_ERROR_EOS)
      : m_Data(std::move(data)), m_Chunk(chunk), m_EndResult(end_result) {}

  NPT_Result Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read) override {
    if (bytes_read) *bytes_read = 0;
    ++m_Reads;
    if (m_Position == m_Data.size()) return m_EndResult;
    size_t count = std::min<size_t>({bytes_to_read, m_Chunk, m_Data.size() - m_Position});
    std::memcpy(buffer, m_Data.data() + m_Position, count);
    m_Position += count;
    if (bytes_read) *bytes_read = static_cast<NPT_Size>(count);
    return NPT_SUCCESS;
  }
  NPT_Result Seek(NPT_Position) override { return NPT_ERROR_NOT_SUPPORTED; }
  NPT_Result Tell(NPT_Position& offset) override {
    offset = m_Position;
    return NPT_SUCCESS;
  }
  NPT_Result GetSize(NPT_LargeSize& size) override {
    size = m_Data.size();
    return NPT_SUCCESS;
  }
  NPT_Result GetAvailable(NPT_LargeSize& available) override {
    available = m_Data.size() - m_Position;
    return NPT_SUCCESS;
  }

  size_t m_Reads = 0;

 private:
  std::string m_Data;
  size_t m_Chunk;
  NPT_Result m_EndResult;
  size_t m_Position = 0;
};

std::string Body(size_t size, unsigned seed) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 131 + seed * 17) ^ (i >> 9));
  return body;
}

std::string Stored(const NPT_MemoryStream& store) {
  return std::string(reinterpret_cast<const char*>(store.GetBuffer().GetData()), store.GetBuffer().GetDataSize());
}

// What a reader saw of a "header line, body" sequence: every line and body
// in order, then the result that ended it.
struct Transcript {
  std::vector<std::string> items;
  NPT_Result end = NPT_SUCCESS;
  bool operator==(const Transcript& other) const { return items == other.items && end == other.end; }
};

Transcript ReadAll(NPT_InputStream& source, NPT_Size read_ahead, const std::vector<size_t>& lengths) {
  KVX_MultipartLineReader reader(source, read_ahead);
  NPT_MemoryStream store(16);
  char line[KVX_MULTIPART_LINE_BUFFER_SIZE];
  Transcript transcript;
  for (size_t length : lengths) {
    NPT_Size line_length = 0;
    transcript.end = reader.ReadLine(line, sizeof(line), line_length);
    if (NPT_FAILED(transcript.end)) return transcript;
    transcript.items.emplace_back(line, line_length);
    transcript.end = reader.ReadFrame(store, length);
    if (NPT_FAILED(transcript.end)) return transcript;
    transcript.items.push_back(Stored(store));
  }
  NPT_Size line_length = 0;
  transcript.end = reader.ReadLine(line, sizeof(line), line_length);
  if (NPT_SUCCEEDED(transcript.end)) transcript.items.emplace_back(line, line_length);
  return transcript;
}

// Bodies on both sides of the read-ahead size and of the line buffer, and a
// tail line, split at chunk sizes from one byte to more than everything.
TEST(MultipartReadAheadTest, LinesAndBodiesMatchTheReaderThatNeverReadsPastABody) {
  const std::vector<size_t> lengths = {1, 4095, 4096, 4097, 65535, 65536, 65537, 200000, 3, 70000};
  for (size_t chunk : {size_t(1), size_t(7), size_t(4096), size_t(65536), size_t(1) << 22}) {
    // Chunks of one byte over 600 KB are slow to replay; the short ones run
    // over the first parts only.
    std::vector<size_t> used = chunk < 4096 ? std::vector<size_t>(lengths.begin(), lengths.begin() + 5) : lengths;
    std::string text;
    for (size_t i = 0; i < used.size(); ++i) text += "part " + std::to_string(i) + "\r\n" + Body(used[i], i);
    text += "tail\r\n";
    ChunkedSource plain_source(text, chunk);
    ChunkedSource ahead_source(text, chunk);
    Transcript plain = ReadAll(plain_source, 0, used);
    Transcript ahead = ReadAll(ahead_source, KVX_MULTIPART_READ_AHEAD_SIZE, used);
    ASSERT_EQ(plain.items.size(), 2 * used.size() + 1) << chunk;
    EXPECT_EQ(plain.items.back(), "tail");
    for (size_t i = 0; i < used.size(); ++i) EXPECT_EQ(plain.items[2 * i + 1], Body(used[i], i)) << chunk << " " << i;
    EXPECT_TRUE(ahead == plain) << "chunk " << chunk;
  }
}

// Failures and the end of the stream in the middle of a body or a line give
// the same results with read-ahead, and a truncated body is never a frame.
TEST(MultipartReadAheadTest, EndsAndFailuresGiveTheSameResults) {
  struct Case {
    size_t cut;            // bytes of the input served before the end
    NPT_Result end_result; // what the source says after them
  } cases[] = {
      {3, NPT_ERROR_EOS},       {8, NPT_ERROR_EOS},           {100, NPT_ERROR_EOS},
      {5000, NPT_ERROR_TIMEOUT}, {70000, NPT_ERROR_CONNECTION_RESET}, {100012, NPT_ERROR_EOS},
  };
  const std::vector<size_t> lengths = {100000, 20};
  const std::string input = "first\r\n" + Body(100000, 1) + "second\r\n" + Body(20, 2);
  for (const Case& c : cases) {
    for (size_t chunk : {size_t(1000), size_t(1) << 20}) {
      ChunkedSource plain_source(input.substr(0, c.cut), chunk, c.end_result);
      ChunkedSource ahead_source(input.substr(0, c.cut), chunk, c.end_result);
      Transcript plain = ReadAll(plain_source, 0, lengths);
      Transcript ahead = ReadAll(ahead_source, KVX_MULTIPART_READ_AHEAD_SIZE, lengths);
      EXPECT_EQ(plain.end, c.end_result) << c.cut;
      EXPECT_TRUE(ahead == plain) << "cut " << c.cut << " chunk " << chunk << ": " << ahead.end << " vs " << plain.end;
      for (size_t i = 1; i < ahead.items.size(); i += 2) EXPECT_EQ(ahead.items[i].size(), lengths[i / 2]) << c.cut;
    }
  }
  // An open-ended body runs to the end of the stream and is bounded by the
  // frame limit in the same way.
  for (size_t available : {size_t(0), size_t(10), size_t(11), size_t(70000)}) {
    ChunkedSource source(Body(available, 5), 4096);
    KVX_MultipartLineReader reader(source, KVX_MULTIPART_READ_AHEAD_SIZE);
    NPT_MemoryStream store(4);
    NPT_Result result = reader.ReadFrame(store, 0, 10);
    EXPECT_EQ(result, available <= 10 ? NPT_SUCCESS : NPT_ERROR_OUT_OF_RANGE) << available;
    if (available <= 10) EXPECT_EQ(Stored(store), Body(available, 5));
    else EXPECT_EQ(store.GetBuffer().GetDataSize(), 0u);
  }
}

// The point of reading ahead: a run of small parts (larger than the line
// buffer) from a source that hands over everything asked costs about one read
// per read-ahead buffer, where the reader that stops at every body needs two
// per part.
TEST(MultipartReadAheadTest, SmallPartsTakeFewerReads) {
  const size_t kParts = 100;
  const size_t kBody = 5000;
  std::string input;
  std::vector<size_t> lengths(kParts, kBody);
  for (size_t i = 0; i < kParts; ++i) input += "--b\r\n" + Body(kBody, i);
  ChunkedSource plain_source(input, 1 << 20);
  ChunkedSource ahead_source(input, 1 << 20);
  Transcript plain = ReadAll(plain_source, 0, lengths);
  Transcript ahead = ReadAll(ahead_source, KVX_MULTIPART_READ_AHEAD_SIZE, lengths);
  ASSERT_TRUE(ahead == plain);
  EXPECT_EQ(ahead.end, NPT_ERROR_EOS);
  EXPECT_GE(plain_source.m_Reads, 2 * kParts);
  EXPECT_LE(ahead_source.m_Reads, input.size() / KVX_MULTIPART_READ_AHEAD_SIZE + 2);
}

}  // namespace
