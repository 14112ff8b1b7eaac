// Buffered input stream: line reading, unbuffered mode, buffer resizing, peek.
// The source used here hands out data in chosen chunk sizes and records how
// many bytes were taken from it, which is how the tests prove that unbuffered
// mode never consumes a byte past the line or the request.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "NptBufferedStreams.h"
#include "ScriptedInputStream.h"

namespace {

using kvx_test::ScriptedInputStream;

// Exposes the buffer state, to check lazy allocation and release.
class ProbedStream : public NPT_BufferedInputStream {
 public:
  using NPT_BufferedInputStream::NPT_BufferedInputStream;
  bool HasStorage() const { return m_Buffer.data != nullptr; }
  NPT_Size Buffered() const { return m_Buffer.valid - m_Buffer.offset; }
};

struct Fixture {
  explicit Fixture(const std::string& data, NPT_Size buffer_size = 4096, std::vector<NPT_Size> chunks = {})
      : source(new ScriptedInputStream(data, std::move(chunks))), ref(source), stream(ref, buffer_size) {}
  ScriptedInputStream* source;
  NPT_InputStreamReference ref;
  ProbedStream stream;
};

struct Line {
  NPT_Result result;
  std::string text;
};

std::vector<Line> ReadAllLines(NPT_BufferedInputStream& stream, NPT_Size max, bool break_on_cr, bool string_form) {
  std::vector<Line> lines;
  for (int guard = 0; guard < 1000; ++guard) {
    Line line;
    if (string_form) {
      NPT_String s("garbage");
      line.result = stream.ReadLine(s, max, break_on_cr);
      line.text = s.GetChars();
      if (NPT_FAILED(line.result)) {
        EXPECT_TRUE(s.IsEmpty());
      }
    } else {
      std::vector<char> buffer(max + 1, 'x');
      NPT_Size count = 12345;
      line.result = stream.ReadLine(buffer.data(), max, &count, break_on_cr);
      line.text.assign(buffer.data(), count);
      EXPECT_EQ(buffer[count], '\0');
      EXPECT_EQ(buffer[max], 'x') << "wrote past the array";
    }
    lines.push_back(line);
    if (line.result == NPT_ERROR_EOS) break;
  }
  return lines;
}

std::string Describe(const std::vector<Line>& lines) {
  std::string out;
  for (auto& l : lines) out += "[" + std::to_string(l.result) + ":" + l.text + "]";
  return out;
}

const NPT_Result OK = NPT_SUCCESS;
const NPT_Result EOS = NPT_ERROR_EOS;
const NPT_Result NES = NPT_ERROR_NOT_ENOUGH_SPACE;

struct LineCase {
  const char* name;
  std::string input;
  NPT_Size max;
  bool break_on_cr;
  std::vector<Line> expected;
};

const std::vector<LineCase>& LineCases() {
  static const std::vector<LineCase> cases = {
      {"crlf_and_lf", "abc\r\ndef\n", 64, false, {{OK, "abc"}, {OK, "def"}, {EOS, ""}}},
      {"break_on_cr_drops_following_lf", "abc\r\ndef", 64, true, {{OK, "abc"}, {OK, "def"}, {EOS, ""}}},
      {"lone_cr_breaks", "abc\rdef\r", 64, true, {{OK, "abc"}, {OK, "def"}, {EOS, ""}}},
      {"lone_cr_dropped_without_break", "ab\rc\r\n", 64, false, {{OK, "abc"}, {EOS, ""}}},
      {"last_line_without_terminator", "abc\ndef", 64, false, {{OK, "abc"}, {OK, "def"}, {EOS, ""}}},
      {"empty_lines_kept", "\n\r\n\nx\n", 64, false, {{OK, ""}, {OK, ""}, {OK, ""}, {OK, "x"}, {EOS, ""}}},
      {"empty_input", "", 64, false, {{EOS, ""}}},
      {"only_lf_after_cr_dropped", "abc\r\n\ndef", 64, true, {{OK, "abc"}, {OK, ""}, {OK, "def"}, {EOS, ""}}},
      {"cr_cr_lf_with_break", "a\r\r\nb", 64, true, {{OK, "a"}, {OK, ""}, {OK, "b"}, {EOS, ""}}},
      {"exactly_size_minus_one_fits", "abcd\nxy\n", 5, false, {{OK, "abcd"}, {OK, "xy"}, {EOS, ""}}},
      {"one_more_is_not_enough_space", "abcde\nxy\n", 5, false, {{NES, "abcd"}, {OK, ""}, {OK, "xy"}, {EOS, ""}}},
      {"size_one_holds_only_nul", "\na\n", 1, false, {{OK, ""}, {NES, ""}, {OK, ""}, {EOS, ""}}},
  };
  return cases;
}

// Expected results of the string form: a failed line leaves the string empty.
std::vector<Line> StringForm(std::vector<Line> lines) {
  for (auto& l : lines)
    if (NPT_FAILED(l.result)) l.text.clear();
  return lines;
}

TEST(BufferedInputStreamTest, ReadLineTableInEveryModeAndChunking) {
  const std::vector<std::vector<NPT_Size>> chunkings = {{}, {1}, {2}, {3, 1, 5}, {7}};
  const NPT_Size buffer_sizes[] = {4096, 1, 2, 3, 0};
  for (const auto& c : LineCases()) {
    for (const auto& chunks : chunkings) {
      for (NPT_Size buffer_size : buffer_sizes) {
        for (bool string_form : {false, true}) {
          // In unbuffered mode the flag left by a CR is not consulted, so
          // break-on-CR cases with CR LF are checked in buffered mode only.
          if (buffer_size == 0 && c.break_on_cr) continue;
          Fixture f(c.input, buffer_size, chunks);
          auto lines = ReadAllLines(f.stream, c.max, c.break_on_cr, string_form);
          auto expected = string_form ? StringForm(c.expected) : c.expected;
          EXPECT_EQ(Describe(lines), Describe(expected))
              << c.name << " buffer " << buffer_size << " chunks " << chunks.size() << " string " << string_form;
          if (buffer_size == 0) {
            EXPECT_FALSE(f.stream.HasStorage()) << c.name;
          }
        }
      }
    }
  }
}

TEST(BufferedInputStreamTest, UnbufferedBreakOnCrDoesNotConsultTheFlag) {
  // Unbuffered: the LF after a CR that ended a line becomes an empty line.
  Fixture f("abc\r\ndef", 0);
  auto lines = ReadAllLines(f.stream, 64, true, false);
  EXPECT_EQ(Describe(lines), Describe({{OK, "abc"}, {OK, ""}, {OK, "def"}, {EOS, ""}}));
}

TEST(BufferedInputStreamTest, LfAfterCrIsDroppedByTheNextRead) {
  for (NPT_Size buffer_size : {4096u, 0u, 1u}) {
    Fixture f("abc\r\ndef", buffer_size);
    char line[16];
    ASSERT_EQ(f.stream.ReadLine(line, sizeof(line), nullptr, true), NPT_SUCCESS);
    EXPECT_STREQ(line, "abc");
    char out[16] = {};
    NPT_Size n = 0;
    ASSERT_EQ(f.stream.ReadFully(out, 3), NPT_SUCCESS) << buffer_size;
    EXPECT_EQ(std::string(out, 3), "def") << buffer_size;
    EXPECT_EQ(f.stream.Read(out, 4, &n), NPT_ERROR_EOS);
    EXPECT_EQ(n, 0u);
  }
}

TEST(BufferedInputStreamTest, ByteAfterCrThatIsNotLfIsKeptByRead) {
  Fixture f("abc\rxyz", 4096);
  char line[16];
  ASSERT_EQ(f.stream.ReadLine(line, sizeof(line), nullptr, true), NPT_SUCCESS);
  char out[8] = {};
  NPT_Size n = 0;
  ASSERT_EQ(f.stream.Read(out, 1, &n), NPT_SUCCESS);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(out[0], 'x');
  ASSERT_EQ(f.stream.Read(out, 8, &n), NPT_SUCCESS);
  EXPECT_EQ(std::string(out, n), "yz");
}

TEST(BufferedInputStreamTest, ByteReadWhileDroppingLfIsNotLostOnALaterError) {
  // The skip byte is the last buffered one; the refill then fails. The byte
  // is reported as data and the error comes on the next call.
  Fixture f("abc\rx", 4096);
  f.source->FailAt(5, NPT_ERROR_TIMEOUT);
  char line[16];
  ASSERT_EQ(f.stream.ReadLine(line, sizeof(line), nullptr, true), NPT_SUCCESS);
  char out[8] = {};
  NPT_Size n = 0;
  EXPECT_EQ(f.stream.Read(out, 8, &n), NPT_SUCCESS);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(out[0], 'x');
  // A source that is still failing reports it on the next call.
  f.source->FailAt(5, NPT_ERROR_TIMEOUT);
  EXPECT_EQ(f.stream.Read(out, 8, &n), NPT_ERROR_TIMEOUT);
  EXPECT_EQ(n, 0u);
}

TEST(BufferedInputStreamTest, ReadLineParameterErrors) {
  Fixture f("abc\n");
  NPT_Size count = 99;
  EXPECT_EQ(f.stream.ReadLine(nullptr, 10, &count), NPT_ERROR_INVALID_PARAMETERS);
  EXPECT_EQ(count, 0u);
  char line[4];
  count = 99;
  EXPECT_EQ(f.stream.ReadLine(line, 0, &count), NPT_ERROR_INVALID_PARAMETERS);
  EXPECT_EQ(count, 0u);
  NPT_String s("keep?");
  EXPECT_EQ(f.stream.ReadLine(s, 0), NPT_ERROR_INVALID_PARAMETERS);
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_EQ(f.source->m_Position, 0u) << "nothing may be consumed";
}

TEST(BufferedInputStreamTest, SourceErrorEndsTheLine) {
  for (NPT_Size buffer_size : {4096u, 0u}) {
    Fixture f("abcdef\n", buffer_size, {2});
    f.source->FailAt(4, NPT_ERROR_TIMEOUT);
    NPT_String s;
    EXPECT_EQ(f.stream.ReadLine(s), NPT_ERROR_TIMEOUT) << buffer_size;
    EXPECT_TRUE(s.IsEmpty());
    // The error was not the end: the rest is still readable.
    EXPECT_EQ(f.stream.ReadLine(s), NPT_SUCCESS);
    EXPECT_EQ(s, "ef");
  }
}

// A source that succeeds without a byte breaks its contract; in every mode the
// reader says so at once instead of asking again for ever.
TEST(BufferedInputStreamTest, SourceThatSucceedsWithoutBytesIsAnInternalError) {
  for (NPT_Size buffer_size : {4096u, 0u}) {
    for (bool line : {true, false}) {
      if (buffer_size == 0 && !line) continue;  // an unbuffered Read is the source's own
      Fixture f("abc\n", buffer_size);
      f.source->m_ZeroReads = 100000;
      f.source->m_RecordRequests = false;
      char buffer[8];
      NPT_Result result = line ? f.stream.ReadLine(buffer, sizeof(buffer)) : f.stream.Read(buffer, sizeof(buffer));
      EXPECT_EQ(result, NPT_ERROR_INTERNAL) << buffer_size << " " << line;
      EXPECT_EQ(f.source->m_Calls, 1) << buffer_size << " " << line;
    }
  }
}

// A valid multi-line input delivered in two pieces split at every offset (and
// in single bytes) reads the same in every mode.
TEST(BufferedInputStreamTest, SplitAtEveryOffset) {
  const std::string input = "GET / HTTP/1.1\r\nHost: a\r\n\r\nbody\nlast";
  const std::vector<Line> expected = {{OK, "GET / HTTP/1.1"}, {OK, "Host: a"}, {OK, ""},
                                      {OK, "body"},          {OK, "last"},    {EOS, ""}};
  for (NPT_Size split = 1; split <= input.size(); ++split) {
    for (NPT_Size buffer_size : {4096u, 0u, 5u}) {
      Fixture f(input, buffer_size, {split, (NPT_Size)input.size()});
      auto lines = ReadAllLines(f.stream, 64, false, true);
      EXPECT_EQ(Describe(lines), Describe(expected)) << "split " << split << " buffer " << buffer_size;
    }
  }
}

TEST(BufferedInputStreamTest, UnbufferedReadLineTakesNothingPastTheLine) {
  const std::string input = "header one\r\nsecond\nBODYBYTES";
  Fixture f(input, 0);
  NPT_String s;
  ASSERT_EQ(f.stream.ReadLine(s), NPT_SUCCESS);
  EXPECT_EQ(s, "header one");
  EXPECT_EQ(f.source->m_Position, 12u);
  ASSERT_EQ(f.stream.ReadLine(s), NPT_SUCCESS);
  EXPECT_EQ(s, "second");
  EXPECT_EQ(f.source->m_Position, 19u);
  for (NPT_Size r : f.source->m_Requests) EXPECT_EQ(r, 1u);
  // Read in unbuffered mode passes the whole request to the source.
  char body[32];
  NPT_Size n = 0;
  ASSERT_EQ(f.stream.Read(body, 4, &n), NPT_SUCCESS);
  EXPECT_EQ(std::string(body, n), "BODY");
  EXPECT_EQ(f.source->m_Requests.back(), 4u);
  EXPECT_EQ(f.source->m_Position, 23u);
}

TEST(BufferedInputStreamTest, SwitchingToUnbufferedServesBufferedBytesThenTheSource) {
  const std::string input = "part header\r\n\r\n0123456789ABCDEFtail\nnext\n";
  Fixture f(input, 4096, {20});  // the first fill takes 20 bytes
  NPT_String s;
  ASSERT_EQ(f.stream.ReadLine(s), NPT_SUCCESS);
  ASSERT_EQ(f.stream.ReadLine(s), NPT_SUCCESS);
  EXPECT_TRUE(s.IsEmpty());
  ASSERT_EQ(f.source->m_Position, 20u);
  ASSERT_EQ(f.stream.Buffered(), 5u);

  ASSERT_EQ(f.stream.SetBufferSize(0), NPT_SUCCESS);
  EXPECT_TRUE(f.stream.HasStorage()) << "shrinking without force keeps the unread bytes";
  char body[16];
  NPT_Size n = 0;
  ASSERT_EQ(f.stream.Read(body, 16, &n), NPT_SUCCESS);
  EXPECT_EQ(std::string(body, n), "01234") << "only the buffered bytes, fewer than asked";
  EXPECT_EQ(f.source->m_Position, 20u);
  ASSERT_EQ(f.stream.Read(body, 11, &n), NPT_SUCCESS);
  EXPECT_EQ(std::string(body, n), "56789ABCDEF");
  EXPECT_EQ(f.source->m_Position, 31u) << "not one byte past the request";
  EXPECT_FALSE(f.stream.HasStorage());

  // Restoring 4096 restores buffered line reading.
  ASSERT_EQ(f.stream.SetBufferSize(4096), NPT_SUCCESS);
  f.source->m_Chunks.clear();
  ASSERT_EQ(f.stream.ReadLine(s), NPT_SUCCESS);
  EXPECT_EQ(s, "tail");
  EXPECT_EQ(f.source->m_Position, input.size()) << "buffered again: the fill took the rest";
  ASSERT_EQ(f.stream.ReadLine(s), NPT_SUCCESS);
  EXPECT_EQ(s, "next");
  EXPECT_EQ(f.stream.ReadLine(s), NPT_ERROR_EOS);
}

TEST(BufferedInputStreamTest, CopyOfAFrameInUnbufferedModeTakesExactlyTheFrame) {
  std::string frame(100000, '\0');
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = (char)(i * 7);
  const std::string input = "Content-Length: 100000\r\n\r\n" + frame + "\r\n--boundary\r\n";
  Fixture f(input, 4096, {1000, 3, 70000});
  NPT_String s;
  ASSERT_EQ(f.stream.ReadLine(s), NPT_SUCCESS);
  ASSERT_EQ(f.stream.ReadLine(s), NPT_SUCCESS);
  ASSERT_EQ(f.stream.SetBufferSize(0), NPT_SUCCESS);
  NPT_MemoryStream memory(16384);
  NPT_LargeSize written = 0;
  ASSERT_EQ(NPT_StreamToStreamCopy(f.stream, memory, 0, frame.size(), &written), NPT_SUCCESS);
  EXPECT_EQ(written, frame.size());
  ASSERT_EQ(memory.GetBuffer().GetDataSize(), frame.size());
  EXPECT_EQ(0, memcmp(memory.GetBuffer().GetData(), frame.data(), frame.size()));
  EXPECT_EQ(f.source->m_Position, 26 + frame.size()) << "not one byte past the frame";
  ASSERT_EQ(f.stream.SetBufferSize(4096), NPT_SUCCESS);
  ASSERT_EQ(f.stream.ReadLine(s), NPT_SUCCESS);
  EXPECT_TRUE(s.IsEmpty());
  ASSERT_EQ(f.stream.ReadLine(s), NPT_SUCCESS);
  EXPECT_EQ(s, "--boundary");
}

TEST(BufferedInputStreamTest, ReadServesBufferedBytesBeforeRefilling) {
  Fixture f("abcdefghij", 4, {100});
  char out[16];
  NPT_Size n = 0;
  ASSERT_EQ(f.stream.Read(out, 3, &n), NPT_SUCCESS);
  EXPECT_EQ(std::string(out, n), "abc");
  ASSERT_EQ(f.stream.Read(out, 10, &n), NPT_SUCCESS);
  EXPECT_EQ(std::string(out, n), "d");
  ASSERT_EQ(f.stream.Read(out, 10, &n), NPT_SUCCESS);
  EXPECT_EQ(std::string(out, n), "efgh");
  for (NPT_Size r : f.source->m_Requests) EXPECT_EQ(r, 4u);
  EXPECT_EQ(f.stream.Read(out, 0, &n), NPT_SUCCESS);
  EXPECT_EQ(n, 0u);
}

TEST(BufferedInputStreamTest, EndOfStreamIsStickyAndDoesNotTouchTheSource) {
  Fixture f("ab", 4096);
  char out[8];
  NPT_Size n = 0;
  ASSERT_EQ(f.stream.Read(out, 8, &n), NPT_SUCCESS);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(f.stream.Read(out, 8, &n), NPT_ERROR_EOS);
  int calls = f.source->m_Calls;
  f.source->m_Data += "more";  // the source would have more now
  EXPECT_EQ(f.stream.Read(out, 8, &n), NPT_ERROR_EOS);
  NPT_String s;
  EXPECT_EQ(f.stream.ReadLine(s), NPT_ERROR_EOS);
  EXPECT_EQ(f.source->m_Calls, calls);
}

TEST(BufferedInputStreamTest, StorageIsAllocatedLazily) {
  Fixture f("abc\n", 4096);
  EXPECT_FALSE(f.stream.HasStorage());
  NPT_LargeSize available = 0;
  EXPECT_EQ(f.stream.GetAvailable(available), NPT_SUCCESS);
  EXPECT_FALSE(f.stream.HasStorage());
  NPT_String s;
  ASSERT_EQ(f.stream.ReadLine(s), NPT_SUCCESS);
  EXPECT_TRUE(f.stream.HasStorage());
}

TEST(BufferedInputStreamTest, SetBufferSizeMovesUnreadBytes) {
  Fixture f("0123456789", 4, {100});
  char out[16];
  NPT_Size n = 0;
  ASSERT_EQ(f.stream.Read(out, 1, &n), NPT_SUCCESS);  // buffer holds 123
  // Growing replaces the storage and keeps the unread bytes.
  ASSERT_EQ(f.stream.SetBufferSize(8), NPT_SUCCESS);
  EXPECT_EQ(f.stream.Buffered(), 3u);
  // Forcing a size smaller than the unread bytes is refused and changes nothing.
  EXPECT_EQ(f.stream.SetBufferSize(2, true), NPT_ERROR_INVALID_PARAMETERS);
  EXPECT_EQ(f.stream.Buffered(), 3u);
  // Forcing a smaller size that holds them works.
  ASSERT_EQ(f.stream.SetBufferSize(3, true), NPT_SUCCESS);
  ASSERT_EQ(f.stream.Read(out, 16, &n), NPT_SUCCESS);
  EXPECT_EQ(std::string(out, n), "123");
  ASSERT_EQ(f.stream.Read(out, 16, &n), NPT_SUCCESS);
  EXPECT_EQ(std::string(out, n), "456");
  EXPECT_EQ(f.source->m_Requests.back(), 3u);
}

TEST(BufferedInputStreamTest, PeekDoesNotConsume) {
  for (NPT_Size buffer_size : {4096u, 0u, 4u}) {
    Fixture f("abcdefgh", buffer_size, {3});
    char out[16];
    NPT_Size n = 0;
    ASSERT_EQ(f.stream.Peek(out, 2, &n), NPT_SUCCESS);
    EXPECT_EQ(std::string(out, n), "ab");
    ASSERT_EQ(f.stream.Read(out, 1, &n), NPT_SUCCESS);
    EXPECT_EQ(std::string(out, n), "a");
    // Asking more than buffered appends to what is there.
    ASSERT_EQ(f.stream.Peek(out, 4, &n), NPT_SUCCESS);
    EXPECT_EQ(std::string(out, n), "bcde");
    std::string all;
    while (f.stream.Read(out, 16, &n) == NPT_SUCCESS) all.append(out, n);
    EXPECT_EQ(all, "bcdefgh") << buffer_size;
    EXPECT_EQ(f.stream.Peek(out, 4, &n), NPT_ERROR_EOS);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(f.stream.Peek(out, 0, &n), NPT_SUCCESS);
  }
}

TEST(BufferedInputStreamTest, AvailableSizeSeekTell) {
  Fixture f("abcdefgh", 4, {100});
  char out[2];
  NPT_Size n = 0;
  ASSERT_EQ(f.stream.Read(out, 1, &n), NPT_SUCCESS);
  NPT_LargeSize available = 0;
  ASSERT_EQ(f.stream.GetAvailable(available), NPT_SUCCESS);
  EXPECT_EQ(available, 3u + 4u);
  f.source->m_AvailableResult = NPT_ERROR_TIMEOUT;
  ASSERT_EQ(f.stream.GetAvailable(available), NPT_SUCCESS);
  EXPECT_EQ(available, 3u);
  char rest[3];
  ASSERT_EQ(f.stream.ReadFully(rest, 3), NPT_SUCCESS);
  EXPECT_EQ(f.stream.GetAvailable(available), NPT_ERROR_TIMEOUT);
  EXPECT_EQ(available, 0u);

  NPT_LargeSize size = 0;
  EXPECT_EQ(f.stream.GetSize(size), NPT_SUCCESS);
  EXPECT_EQ(size, 8u);
  NPT_Position position = 77;
  EXPECT_EQ(f.stream.Tell(position), NPT_ERROR_NOT_IMPLEMENTED);
  EXPECT_EQ(position, 0u);
  EXPECT_EQ(f.stream.Seek(0), NPT_ERROR_NOT_IMPLEMENTED);
  EXPECT_EQ(f.stream.Skip(1), NPT_ERROR_NOT_IMPLEMENTED);
}

// Random chunking, buffer sizes (switched between 0 and 4096 on the way) and
// interleaving of Read and ReadLine, against a model of the same input:
// Read hands over the next bytes as they are; ReadLine drops CR, ends at LF,
// and on a full array consumes the byte that did not fit.
TEST(BufferedInputStreamTest, RandomInterleavingMatchesAModel) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 400; ++round) {
    std::string input;
    int len = rng() % 300;
    for (int i = 0; i < len; ++i) {
      int k = rng() % 10;
      input += k == 0 ? '\n' : k == 1 ? '\r' : (char)('a' + rng() % 26);
    }
    std::vector<NPT_Size> chunks;
    for (int i = 0; i < 5; ++i) chunks.push_back(1 + rng() % 9);
    Fixture f(input, rng() % 2 ? 4096 : 1 + rng() % 7, chunks);
    size_t p = 0;  // model position
    for (int step = 0; step < 2000; ++step) {
      int op = rng() % 5;
      if (op == 0) {
        ASSERT_EQ(f.stream.SetBufferSize(rng() % 2 ? 0 : 4096), NPT_SUCCESS);
        continue;
      }
      if (op <= 2) {
        char out[16];
        NPT_Size n = 0;
        NPT_Result r = f.stream.Read(out, 1 + rng() % 16, &n);
        if (p == input.size()) {
          ASSERT_EQ(r, NPT_ERROR_EOS);
          ASSERT_EQ(n, 0u);
          break;
        }
        ASSERT_EQ(r, NPT_SUCCESS);
        ASSERT_GE(n, 1u);
        ASSERT_EQ(std::string(out, n), input.substr(p, n)) << "round " << round;
        p += n;
      } else {
        NPT_Size max = 1 + rng() % 30;
        std::string expected;
        NPT_Result expected_result = NPT_SUCCESS;
        for (;;) {
          if (p == input.size()) {
            if (expected.empty()) expected_result = NPT_ERROR_EOS;
            break;
          }
          char c = input[p++];
          if (c == '\r') continue;
          if (c == '\n') break;
          if (expected.size() == max - 1) {
            expected_result = NPT_ERROR_NOT_ENOUGH_SPACE;
            break;
          }
          expected += c;
        }
        std::vector<char> line(max);
        NPT_Size n = 0;
        NPT_Result r = f.stream.ReadLine(line.data(), max, &n, false);
        ASSERT_EQ(r, expected_result) << "round " << round;
        ASSERT_EQ(std::string(line.data(), n), expected) << "round " << round;
        if (r == NPT_ERROR_EOS) break;
      }
    }
    // In unbuffered mode with nothing buffered, the source gave exactly what
    // the model consumed.
    if (!f.stream.HasStorage() && p < input.size()) {
      EXPECT_EQ(f.source->m_Position, p) << "round " << round;
    }
  }
}

}  // namespace
