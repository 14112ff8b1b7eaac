// The device stream's multipart reader over in-memory sources: boundary
// extraction, the part layout it accepts and rejects, the results that end a
// stream, abort check points, chunking independence and the body reading
// rules (no byte past a body, no truncated frame, bounded frame size).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "KvxDevice.h"
#include "KvxMultipartReader.h"
#include "NptBufferedStreams.h"
#include "NptHttp.h"
#include "ScriptedInputStream.h"

namespace {

// The shared scripted source, in reads of at most `chunk` bytes.
struct ScriptedSource : kvx_test::ScriptedInputStream {
  ScriptedSource(std::string data, size_t chunk, NPT_Result end_result = NPT_ERROR_EOS)
      : ScriptedInputStream(std::move(data), {static_cast<NPT_Size>(chunk)}, end_result) {}
  size_t Position() const { return m_Position; }
};

struct Frame {
  std::string type;
  std::string data;
  bool operator==(const Frame& other) const { return type == other.type && data == other.data; }
};

std::ostream& operator<<(std::ostream& out, const Frame& frame) {
  return out << "{" << frame.type << ", " << frame.data.size() << " bytes}";
}

class Recorder : public KVX_DeviceDelegate {
 public:
  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) override {
    frames.push_back(Frame{content_type, std::string(reinterpret_cast<const char*>(data), size)});
    pointers.push_back(data);
    if (abort_after && frames.size() == abort_after) device->Abort();
  }
  void OnConnection() override { ++connections; }
  void OnDisconnection() override { ++disconnections; }

  std::vector<Frame> frames;
  std::vector<const NPT_Byte*> pointers;
  int connections = 0;
  int disconnections = 0;
  size_t abort_after = 0;
  KVX_Device* device = nullptr;
};

// A device stream that is never started: the reader's owner.
class ReaderHarness {
 public:
  ReaderHarness() : m_Device(NPT_List<NPT_HttpUrl>(), 0) {
    m_Recorder.device = &m_Device;
    m_Device.SetDelegate(&m_Recorder);
  }

  NPT_Result Read(const std::string& input, size_t chunk = 1 << 20, const char* boundary = "frame",
                  NPT_Result end_result = NPT_ERROR_EOS) {
    m_Source = new ScriptedSource(input, chunk, end_result);
    m_Stream = m_Source;
    return m_Device.ReadBody(m_Stream, NPT_String(boundary));
  }

  KVX_Device& Device() { return m_Device; }
  Recorder& Frames() { return m_Recorder; }
  ScriptedSource* Source() { return m_Source; }

 private:
  KVX_Device m_Device;
  Recorder m_Recorder;
  NPT_InputStreamReference m_Stream;   // kept so the source can be inspected
  ScriptedSource* m_Source = nullptr;  // owned by m_Stream
};

std::string Part(const std::string& body, const std::string& type = "image/jpeg") {
  return "--frame\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body + "\r\n";
}

std::string Binary(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xff);
  return data;
}

/*----------------------------------------------------------------------
|   ExtractParts / ExtractBoundary
+---------------------------------------------------------------------*/
TEST(MultipartReaderTest, ExtractPartsTakesTheFirstTwoPieces) {
  struct Case {
    const char* line;
    const char* separator;
    NPT_Result result;
    const char* first;
    const char* second;
  } cases[] = {
      {"a:b", ":", NPT_SUCCESS, "a", "b"},
      {"a:b:c", ":", NPT_SUCCESS, "a", "b"},
      {":", ":", NPT_SUCCESS, "", ""},
      {"name:", ":", NPT_SUCCESS, "name", ""},
      {"a;;b", ";;", NPT_SUCCESS, "a", "b"},
      {"no separator", ":", NPT_ERROR_INVALID_PARAMETERS, "keep1", "keep2"},
      {"", ":", NPT_ERROR_INVALID_PARAMETERS, "keep1", "keep2"},
  };
  for (const Case& c : cases) {
    NPT_String first("keep1");
    NPT_String second("keep2");
    EXPECT_EQ(KVX_Device::ExtractParts(c.line, c.separator, first, second), c.result) << c.line;
    EXPECT_STREQ(first.GetChars(), c.first) << c.line;
    EXPECT_STREQ(second.GetChars(), c.second) << c.line;
  }
}

TEST(MultipartReaderTest, ExtractBoundaryAcceptsOnlyAFirstBoundaryParameterOfTheMixedReplaceType) {
  struct Case {
    const char* content_type;
    NPT_Result result;
    const char* boundary;
  } cases[] = {
      {"multipart/x-mixed-replace; boundary=--frame", NPT_SUCCESS, "frame"},
      {"multipart/x-mixed-replace;boundary=frame", NPT_SUCCESS, "frame"},
      {"MULTIPART/X-MIXED-REPLACE; Boundary=frame", NPT_SUCCESS, "frame"},
      {" multipart/x-mixed-replace\t;\t boundary=frame--", NPT_SUCCESS, "frame"},
      {"multipart/x-mixed-replace; boundary=-a-b-", NPT_SUCCESS, "a-b"},
      {"multipart/x-mixed-replace; boundary=\"frame\"", NPT_SUCCESS, "\"frame\""},
      {"multipart/x-mixed-replace; boundary=frame ", NPT_SUCCESS, "frame "},
      {"multipart/x-mixed-replace; boundary=frame; charset=x", NPT_SUCCESS, "frame"},
      {"multipart/x-mixed-replace; boundary=", NPT_SUCCESS, ""},
      {"multipart/x-mixed-replace; boundary=---", NPT_SUCCESS, ""},
      {"multipart/x-mixed-replace; charset=x; boundary=frame", NPT_ERROR_INVALID_PARAMETERS, ""},
      {"multipart/x-mixed-replace; boundary", NPT_ERROR_INVALID_PARAMETERS, ""},
      {"multipart/x-mixed-replace; bound", NPT_ERROR_INVALID_PARAMETERS, ""},
      {"multipart/x-mixed-replace", NPT_ERROR_INVALID_PARAMETERS, ""},
      {"multipart/mixed; boundary=frame", NPT_ERROR_INVALID_PARAMETERS, ""},
      {"image/jpeg", NPT_ERROR_INVALID_PARAMETERS, ""},
      {"text/plain; charset=utf-8", NPT_ERROR_INVALID_PARAMETERS, ""},
      {"", NPT_ERROR_INVALID_PARAMETERS, ""},
  };
  for (const Case& c : cases) {
    NPT_HttpEntity entity;
    entity.SetContentType(c.content_type);
    NPT_String boundary("stale");
    EXPECT_EQ(KVX_Device::ExtractBoundary(entity, boundary), c.result) << c.content_type;
    if (c.result == NPT_SUCCESS) EXPECT_STREQ(boundary.GetChars(), c.boundary) << c.content_type;
    else EXPECT_NE(boundary, "stale") << c.content_type;
  }
}

/*----------------------------------------------------------------------
|   ReadBody: accepted layouts
+---------------------------------------------------------------------*/
TEST(MultipartReaderTest, OneFiveByteFrameThenClosingDelimiter) {
  ReaderHarness reader;
  EXPECT_EQ(reader.Read("--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 5\r\n\r\nABCDE\r\n--frame--\r\n"),
            NPT_ERROR_EOS);
  ASSERT_EQ(reader.Frames().frames.size(), 1u);
  EXPECT_EQ(reader.Frames().frames[0], (Frame{"image/jpeg", "ABCDE"}));
}

TEST(MultipartReaderTest, AcceptedLayoutsDeliverEveryFrameAsSent) {
  const std::string a = Binary(300, 1);
  const std::string b = Binary(7000, 2);
  struct Case {
    const char* name;
    std::string input;
    std::vector<Frame> frames;
  } cases[] = {
      {"preamble and empty lines skipped", "junk line\r\n\r\n--frame \r\n--framex\r\n" + Part(a) + "--frame--",
       {{"image/jpeg", a}}},
      {"length before type",
       "--frame\r\nContent-Length: 3\r\nContent-Type: image/rgb\r\n\r\nxyz\r\n--frame--\r\n",
       {{"image/rgb", "xyz"}}},
      {"types in any case, delivered as sent, trimmed",
       Part("1", "IMAGE/RGB") + Part("22", " Image/Rgba\t") + Part("333", "image/JPEG") + "--frame--\r\n",
       {{"IMAGE/RGB", "1"}, {"Image/Rgba", "22"}, {"image/JPEG", "333"}}},
      {"header names are prefixes, any case, value ends at a second colon",
       "--frame\r\ncontent-typeX: image/jpeg:junk\r\nCONTENT-LENGTH-Y: 2:9\r\n\r\nok\r\n--frame--\r\n",
       {{"image/jpeg", "ok"}}},
      {"relaxed length: leading blanks, trailing text",
       "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: \t 4 bytes\r\n\r\nabcd\r\n--frame--\r\n",
       {{"image/jpeg", "abcd"}}},
      {"bare LF, several separator lines",
       "--frame\nContent-Type: image/rgba\nContent-Length: 2\n\nhi\n\n\n\r\n--frame\nContent-Type: "
       "image/rgba\nContent-Length: 1\n\n!\n--frame--",
       {{"image/rgba", "hi"}, {"image/rgba", "!"}}},
      {"CR anywhere in a line is dropped", "--fra\rme\r\r\nContent-Type: image/jpeg\r\nContent-Length: 1\r\n\r\nZ--frame--",
       {{"image/jpeg", "Z"}}},
      {"body holds delimiters and line ends unread",
       Part("\r\n--frame--\r\n--frame\r\n") + Part(b, "image/rgb") + "--frame--\r\n",
       {{"image/jpeg", "\r\n--frame--\r\n--frame\r\n"}, {"image/rgb", b}}},
      {"type kept from the previous part when both lines are lengths",
       Part("ab", "image/rgb") + "--frame\r\nContent-Length: 9\r\nContent-Length: 1\r\n\r\nc\r\n--frame--",
       {{"image/rgb", "ab"}, {"image/rgb", "c"}}},
      {"length kept from the previous part when both lines are types",
       Part("ab", "image/rgb") + "--frame\r\nContent-Type: image/jpeg\r\nContent-Type: image/rgba\r\n\r\ncd\r\n--frame--",
       {{"image/rgb", "ab"}, {"image/rgba", "cd"}}},
      {"first part with two lengths has no type yet",
       "--frame\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nxy\r\n--frame--", {{"", "xy"}}},
      {"length 0 reads to the end of the stream",
       Part("a") + "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 0\r\n\r\nrest\r\n--frame--\r\n",
       {{"image/jpeg", "a"}, {"image/jpeg", "rest\r\n--frame--\r\n"}}},
      {"length 0 at the very end is an empty frame",
       "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 0\r\n\r\n", {{"image/jpeg", ""}}},
  };
  for (const Case& c : cases) {
    // Every chunking of the source gives the same frames and result.
    for (size_t chunk : {size_t(1), size_t(2), size_t(3), size_t(7), size_t(4095), size_t(1) << 20}) {
      ReaderHarness reader;
      EXPECT_EQ(reader.Read(c.input, chunk), NPT_ERROR_EOS) << c.name << " chunk " << chunk;
      EXPECT_EQ(reader.Frames().frames, c.frames) << c.name << " chunk " << chunk;
    }
  }
}

/*----------------------------------------------------------------------
|   ReadBody: results that end a stream
+---------------------------------------------------------------------*/
TEST(MultipartReaderTest, ViolationsEndTheStreamWithTheirResultKeepingEarlierFrames) {
  const std::string good = Part("ok");
  struct Case {
    const char* name;
    std::string input;
    NPT_Result result;
    size_t frames;
  } cases[] = {
      {"empty stream", "", NPT_ERROR_EOS, 0},
      {"preamble only", "a\r\nb\r\n", NPT_ERROR_EOS, 0},
      {"closing delimiter first", "--frame--\r\n" + good, NPT_ERROR_EOS, 0},
      {"text where a delimiter is due", good + "garbage\r\n" + good, NPT_ERROR_INVALID_SYNTAX, 1},
      {"delimiter with a trailing blank after a body", good + "--frame \r\n" + good, NPT_ERROR_INVALID_SYNTAX, 1},
      {"delimiter in another case after a body", good + "--FRAME\r\n" + good, NPT_ERROR_INVALID_SYNTAX, 1},
      {"unsupported type", good + Part("x", "image/png"), NPT_ERROR_INVALID_SYNTAX, 1},
      {"third header line",
       "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 1\r\nX-Time: 1\r\n\r\nx\r\n",
       NPT_ERROR_INVALID_SYNTAX, 0},
      {"single header line", "--frame\r\nContent-Type: image/jpeg\r\n\r\nx\r\n", NPT_ERROR_INVALID_PARAMETERS, 0},
      {"other header name", "--frame\r\nContent-Type: image/jpeg\r\nX-Length: 1\r\n\r\nx\r\n",
       NPT_ERROR_INVALID_SYNTAX, 0},
      {"name with a leading blank", "--frame\r\n Content-Type: image/jpeg\r\nContent-Length: 1\r\n\r\nx\r\n",
       NPT_ERROR_INVALID_SYNTAX, 0},
      {"header without colon", "--frame\r\nContent-Length 1\r\nContent-Type: image/jpeg\r\n\r\nx",
       NPT_ERROR_INVALID_PARAMETERS, 0},
      {"length not a number", "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: abc\r\n\r\nx",
       NPT_ERROR_INVALID_PARAMETERS, 0},
      {"negative length", "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: -1\r\n\r\nx",
       NPT_ERROR_INVALID_PARAMETERS, 0},
      {"length beyond 64 bits",
       "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 99999999999999999999999\r\n\r\nx",
       NPT_ERROR_OVERFLOW, 0},
      {"length value cut at a second colon", "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: :5\r\n\r\nx",
       NPT_ERROR_INVALID_PARAMETERS, 0},
      {"first part with two types and no length",
       "--frame\r\nContent-Type: image/jpeg\r\nContent-Type: image/jpeg\r\n\r\nx\r\n--frame--",
       NPT_ERROR_INVALID_SYNTAX, 0},
      {"no empty line after the headers", "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 1\r\nx\r\n",
       NPT_ERROR_INVALID_SYNTAX, 0},
      {"stream ends in the headers", "--frame\r\nContent-Type: image/jpeg\r\n", NPT_ERROR_EOS, 0},
      {"stream ends after a body", good, NPT_ERROR_EOS, 1},
      {"header line of 5000 characters", "--frame\r\nContent-Type: " + std::string(5000, 'j') + "\r\n",
       NPT_ERROR_NOT_ENOUGH_SPACE, 0},
      {"preamble line of 4096 characters", std::string(4096, 'p') + "\r\n" + good, NPT_ERROR_NOT_ENOUGH_SPACE, 0},
      {"preamble line of 4095 characters is fine", std::string(4095, 'p') + "\r\n" + good + "--frame--",
       NPT_ERROR_EOS, 1},
      {"length of 2^31 cannot fit",
       "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 2147483648\r\n\r\nabc", NPT_ERROR_OUT_OF_RANGE, 0},
      {"length of 2^64-1 cannot fit",
       "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 18446744073709551615\r\n\r\nabc",
       NPT_ERROR_OUT_OF_RANGE, 0},
      {"body cut short is no frame", good + "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 10\r\n\r\nabc",
       NPT_ERROR_EOS, 1},
      {"largest length with a short body allocates nothing ahead",
       "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 2147483647\r\n\r\nabc", NPT_ERROR_EOS, 0},
  };
  for (const Case& c : cases) {
    for (size_t chunk : {size_t(1), size_t(5), size_t(1) << 20}) {
      ReaderHarness reader;
      EXPECT_EQ(reader.Read(c.input, chunk), c.result) << c.name << " chunk " << chunk;
      EXPECT_EQ(reader.Frames().frames.size(), c.frames) << c.name << " chunk " << chunk;
    }
  }
}

TEST(MultipartReaderTest, AReadFailureIsReturnedAsIs) {
  struct Case {
    std::string input;
    size_t frames;
  } cases[] = {
      {"", 0},                                                                    // preamble
      {"--frame\r\nContent-Type: image/jpeg\r\nContent-Len", 0},                   // mid-header
      {"--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 9\r\n\r\nab", 0},  // mid-body
      {"--frame\r\nContent-Type: image/jpeg\r\nContent-Length: 0\r\n\r\nab", 0},  // open-ended body
      {Part("xy") + "\r\n", 1},                                                   // separator lines
  };
  for (const Case& c : cases) {
    ReaderHarness reader;
    EXPECT_EQ(reader.Read(c.input, 3, "frame", NPT_ERROR_CONNECTION_RESET), NPT_ERROR_CONNECTION_RESET) << c.input;
    EXPECT_EQ(reader.Frames().frames.size(), c.frames) << c.input;
  }
}

/*----------------------------------------------------------------------
|   ReadBody: abort check points and the frame store
+---------------------------------------------------------------------*/
TEST(MultipartReaderTest, AbortBeforeReadingReadsNothing) {
  ReaderHarness reader;
  reader.Device().Abort();
  EXPECT_EQ(reader.Read(Part("x") + "--frame--"), NPT_ERROR_EOS);
  EXPECT_TRUE(reader.Frames().frames.empty());
  EXPECT_EQ(reader.Source()->Position(), 0u);
}

TEST(MultipartReaderTest, AbortDuringAFrameEndsTheStreamAfterIt) {
  for (size_t abort_after : {size_t(1), size_t(2)}) {
    ReaderHarness reader;
    reader.Frames().abort_after = abort_after;
    EXPECT_EQ(reader.Read(Part("a") + Part("b") + Part("c") + "--frame--", 1), NPT_ERROR_EOS);
    EXPECT_EQ(reader.Frames().frames.size(), abort_after);
  }
}

// Frames of every size around the receive block and the store's first size,
// so that the unconsumed bytes are moved to the front and the store grows,
// at any chunking; every frame lies in one store.
TEST(MultipartReaderTest, FramesShareOneStoreWhateverTheirSizesAndChunking) {
  const size_t sizes[] = {40000, 1, 65536, 65535, 65537, 40000, 200000, 3, 300000, 100000, 40000, 262149};
  std::string input = "preamble\r\n";
  for (size_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); ++i) input += Part(Binary(sizes[i], i), "image/rgba");
  for (size_t chunk : {size_t(997), size_t(65536), size_t(1) << 22}) {
    ReaderHarness reader;
    EXPECT_EQ(reader.Read(input + "--frame--", chunk), NPT_ERROR_EOS) << chunk;
    const Recorder& frames = reader.Frames();
    ASSERT_EQ(frames.frames.size(), sizeof(sizes) / sizeof(sizes[0])) << chunk;
    for (size_t i = 0; i < frames.frames.size(); ++i) {
      EXPECT_EQ(frames.frames[i].data, Binary(sizes[i], i)) << chunk << " frame " << i;
    }
    // The store grew for the first frame larger than it, which then came
    // first in it; every later frame is in that store.
    for (size_t i = 8; i < frames.pointers.size(); ++i) {
      EXPECT_GE(frames.pointers[i], frames.pointers[8]) << chunk << " frame " << i;
      EXPECT_LE(frames.pointers[i] + sizes[i], frames.pointers[8] + sizes[8] + KVX_MULTIPART_RECEIVE_BLOCK)
          << chunk << " frame " << i;
    }
  }
}

// An app that writes each part (the CR LF ending the previous body, the
// delimiter, the headers, the body) at its own pace: every frame is handed
// over once its last byte is in, without waiting for a byte of the next
// part, and after one read of the source per frame.
TEST(MultipartReaderTest, APacedAppsFramesArriveInOneReadEachWithoutWaitingForTheNext) {
  // Serves no byte past the end of the part it is in.
  struct PacedSource : ScriptedSource {
    PacedSource(std::string data, std::vector<size_t> ends) : ScriptedSource(std::move(data), 1 << 30), m_Ends(ends) {}
    NPT_Result Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read) override {
      size_t end = m_Data.size();
      for (size_t part_end : m_Ends) {
        if (part_end > m_Position) {
          end = part_end;
          break;
        }
      }
      if (m_Position < end) bytes_to_read = static_cast<NPT_Size>(std::min<size_t>(bytes_to_read, end - m_Position));
      return ScriptedSource::Read(buffer, bytes_to_read, bytes_read);
    }
    std::vector<size_t> m_Ends;
  };
  // Each part's bytes, the first part's delimiter included, fill at most one
  // receive block.
  const size_t sizes[] = {1, 51200, 300, 65536 - 64, 7, 51200};
  std::string input;
  std::vector<size_t> ends;
  for (size_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); ++i) {
    std::string part = Part(Binary(sizes[i], i), "image/jpeg");
    input += part.substr(0, part.size() - 2);  // the body's CR LF comes with the next part
    ends.push_back(input.size());
    input += "\r\n";
  }
  input += "--frame--\r\n";

  KVX_Device device(NPT_List<NPT_HttpUrl>(), 0);
  PacedSource* source = new PacedSource(input, ends);
  struct Arrivals : Recorder {
    void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) override {
      Recorder::OnNewImage(data, size, content_type);
      positions.push_back(source->Position());
      reads.push_back(source->m_Calls);
    }
    PacedSource* source = nullptr;
    std::vector<size_t> positions;
    std::vector<int> reads;
  } arrivals;
  arrivals.source = source;
  device.SetDelegate(&arrivals);
  NPT_InputStreamReference stream(source);
  EXPECT_EQ(device.ReadBody(stream, "frame"), NPT_ERROR_EOS);
  ASSERT_EQ(arrivals.frames.size(), sizeof(sizes) / sizeof(sizes[0]));
  for (size_t i = 0; i < arrivals.frames.size(); ++i) {
    EXPECT_EQ(arrivals.frames[i].data, Binary(sizes[i], i)) << i;
    EXPECT_EQ(arrivals.positions[i], ends[i]) << "frame " << i << " waited for the next part";
    EXPECT_EQ(arrivals.reads[i], static_cast<int>(i + 1)) << "reads up to frame " << i;
  }
}

TEST(MultipartReaderTest, WithoutDelegateFramesAreReadAndDropped) {
  KVX_Device device(NPT_List<NPT_HttpUrl>(), 0);
  NPT_InputStreamReference stream(new ScriptedSource(Part("abc") + Part("de") + "--frame--", 2));
  EXPECT_EQ(device.ReadBody(stream, "frame"), NPT_ERROR_EOS);
  EXPECT_EQ(device.ReadBody(NPT_InputStreamReference(), "frame"), NPT_ERROR_INVALID_PARAMETERS);
}

// The response's stream is itself buffered: bytes it already holds come
// first, then the connection is read through it.
TEST(MultipartReaderTest, ASharedBufferedStreamIsReadFromWhatItHolds) {
  const std::string input = "HEAD\r\n" + Part(Binary(10000, 3), "image/rgb") + "--frame--\r\n";
  for (NPT_Size buffer_size : {NPT_Size(0), NPT_Size(4096)}) {
    ScriptedSource* source = new ScriptedSource(input, 777);
    NPT_BufferedInputStream* buffered = new NPT_BufferedInputStream(NPT_InputStreamReference(source), 4096);
    NPT_InputStreamReference stream(buffered);
    NPT_String head;
    ASSERT_EQ(buffered->ReadLine(head), NPT_SUCCESS);
    ASSERT_EQ(head, "HEAD");
    buffered->SetBufferSize(buffer_size);

    KVX_Device device(NPT_List<NPT_HttpUrl>(), 0);
    Recorder recorder;
    device.SetDelegate(&recorder);
    EXPECT_EQ(device.ReadBody(stream, "frame"), NPT_ERROR_EOS);
    ASSERT_EQ(recorder.frames.size(), 1u);
    EXPECT_EQ(recorder.frames[0], (Frame{"image/rgb", Binary(10000, 3)}));
  }
}

/*----------------------------------------------------------------------
|   KVX_MultipartReader: body rules
+---------------------------------------------------------------------*/
std::string Bytes(const NPT_Byte* data, NPT_Size size) { return std::string(reinterpret_cast<const char*>(data), size); }

// A body is received straight into the store in reads of a block, or of what
// it still lacks when that is more, and the bytes past it are the next line.
TEST(MultipartReaderBodyTest, ABodyIsReadInLargeBlocksAndWhatFollowsItIsKept) {
  // Reads of a source that hands over whole requests: the line with what
  // fits in the same block, the rest of the body (and what follows it when
  // it lacked less than a block), the next line if still missing, the end.
  struct Case {
    size_t body;
    int reads;
  } cases[] = {{1, 2}, {100, 2}, {4000, 2}, {65530, 3}, {65536, 3}, {100000, 3}, {300000, 4}};
  for (const Case& c : cases) {
    const std::string body = Binary(c.body, 9);
    const std::string input = "line\r\n" + body + "NEXT PART\r\n";
    for (size_t chunk : {size_t(1000), size_t(1) << 22}) {
      ScriptedSource source(input, chunk);
      KVX_MultipartReader reader(source);
      const char* line = nullptr;
      NPT_Size length = 0;
      ASSERT_EQ(reader.ReadLine(line, length), NPT_SUCCESS);
      ASSERT_EQ(std::string(line, length), "line");
      const NPT_Byte* data = nullptr;
      NPT_Size size = 0;
      ASSERT_EQ(reader.ReadFrame(c.body, data, size), NPT_SUCCESS) << c.body;
      EXPECT_EQ(Bytes(data, size), body) << c.body;
      ASSERT_EQ(reader.ReadLine(line, length), NPT_SUCCESS);
      EXPECT_EQ(std::string(line, length), "NEXT PART");
      EXPECT_EQ(reader.ReadLine(line, length), NPT_ERROR_EOS);
      if (chunk > input.size()) {
        EXPECT_EQ(source.m_Calls, c.reads) << c.body;
        EXPECT_GE(source.m_Requests[1], std::min<size_t>(KVX_MULTIPART_RECEIVE_BLOCK, c.body)) << c.body;
      }
    }
  }
}

TEST(MultipartReaderBodyTest, AnOpenEndedBodyIsBoundedByTheFrameLimit) {
  struct Case {
    size_t available;
    NPT_Size limit;
    NPT_Result result;
  } cases[] = {
      {0, 10, NPT_SUCCESS},
      {9, 10, NPT_SUCCESS},
      {10, 10, NPT_SUCCESS},
      {11, 10, NPT_ERROR_OUT_OF_RANGE},
      {100000, 65536, NPT_ERROR_OUT_OF_RANGE},
      {65536, 65536, NPT_SUCCESS},
      {600000, 600000, NPT_SUCCESS},
  };
  for (const Case& c : cases) {
    const std::string body = Binary(c.available, 4);
    ScriptedSource source(body, 1000);
    KVX_MultipartReader reader(source, c.limit);
    const NPT_Byte* data = nullptr;
    NPT_Size size = 0;
    EXPECT_EQ(reader.ReadFrame(0, data, size), c.result) << c.available << "/" << c.limit;
    if (c.result == NPT_SUCCESS) EXPECT_EQ(Bytes(data, size), body);
    else EXPECT_EQ(size, 0u);
    // A declared length above the limit is refused before any read.
    ScriptedSource untouched(body, 1000);
    KVX_MultipartReader declared(untouched, c.limit);
    EXPECT_EQ(declared.ReadFrame(NPT_UInt64(c.limit) + 1, data, size), NPT_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(untouched.Position(), 0u);
    EXPECT_EQ(declared.GetStoreSize(), 0u);
  }
}

TEST(MultipartReaderBodyTest, StoreGrowsWithTheDataNotWithTheDeclaredLength) {
  ScriptedSource source("abc", 1000);
  KVX_MultipartReader reader(source);
  const NPT_Byte* data = nullptr;
  NPT_Size size = 0;
  EXPECT_EQ(reader.ReadFrame(KVX_MULTIPART_MAX_FRAME_SIZE, data, size), NPT_ERROR_EOS);
  EXPECT_LE(reader.GetStoreSize(), KVX_MULTIPART_STORE_MINIMUM);
  EXPECT_EQ(size, 0u);
}

}  // namespace
