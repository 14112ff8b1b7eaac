// Stream defaults (Load, ReadFully, Skip, WriteFully, WriteString, WriteLine),
// the data buffer, the memory stream and the stream-to-stream copy.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "NptStreams.h"
#include "ScriptedInputStream.h"

namespace {

// The shared scripted input, seekable within its data.
struct ScriptedInput : kvx_test::ScriptedInputStream {
  explicit ScriptedInput(std::string data) : ScriptedInputStream(std::move(data)) { m_Seekable = true; }
};

// An output stream that takes at most m_Chunk bytes per Write.
class ScriptedOutput : public NPT_OutputStream {
 public:
  NPT_Result Write(const void* buffer, NPT_Size bytes_to_write, NPT_Size* bytes_written) override {
    if (bytes_written) *bytes_written = 0;
    ++m_Calls;
    if (m_Data.size() >= m_FailAfter) return m_FailWith;
    size_t n = std::min<size_t>(bytes_to_write, m_Chunk);
    m_Data.append(static_cast<const char*>(buffer), n);
    if (bytes_written) *bytes_written = (NPT_Size)n;
    return NPT_SUCCESS;
  }
  NPT_Result Seek(NPT_Position) override { return NPT_ERROR_NOT_SUPPORTED; }
  NPT_Result Tell(NPT_Position& offset) override {
    offset = m_Data.size();
    return NPT_SUCCESS;
  }
  std::string m_Data;
  size_t m_Chunk = SIZE_MAX;
  size_t m_FailAfter = SIZE_MAX;
  NPT_Result m_FailWith = NPT_ERROR_WRITE_FAILED;
  int m_Calls = 0;
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)(i * 31 + i / 251);
  return s;
}

std::string Contents(const NPT_DataBuffer& b) {
  return std::string(reinterpret_cast<const char*>(b.GetData()), b.GetDataSize());
}

/*----------------------------------------------------------------------
|   NPT_DataBuffer
+---------------------------------------------------------------------*/
TEST(DataBufferTest, Constructors) {
  NPT_DataBuffer empty;
  EXPECT_EQ(empty.GetData(), nullptr);
  EXPECT_EQ(empty.GetBufferSize(), 0u);
  EXPECT_EQ(empty.GetDataSize(), 0u);

  NPT_DataBuffer sized(100);
  EXPECT_NE(sized.GetData(), nullptr);
  EXPECT_EQ(sized.GetBufferSize(), 100u);
  EXPECT_EQ(sized.GetDataSize(), 0u);
  EXPECT_EQ(NPT_DataBuffer(0u).GetData(), nullptr);

  char bytes[] = "hello";
  NPT_DataBuffer copied(bytes, 5, true);
  NPT_DataBuffer borrowed(bytes, 5, false);
  EXPECT_NE(copied.GetData(), reinterpret_cast<NPT_Byte*>(bytes));
  EXPECT_EQ(borrowed.GetData(), reinterpret_cast<NPT_Byte*>(bytes));
  EXPECT_EQ(copied.GetBufferSize(), 5u);
  EXPECT_EQ(borrowed.GetBufferSize(), 5u);
  EXPECT_EQ(Contents(copied), "hello");
  EXPECT_TRUE(copied == borrowed);

  // Copies are owned, sized to the data, and independent.
  NPT_DataBuffer with_room(64);
  ASSERT_EQ(with_room.SetData(reinterpret_cast<const NPT_Byte*>("abc"), 3), NPT_SUCCESS);
  NPT_DataBuffer copy(with_room);
  EXPECT_EQ(copy.GetBufferSize(), 3u);
  EXPECT_EQ(Contents(copy), "abc");
  NPT_DataBuffer assigned;
  assigned = borrowed;
  EXPECT_NE(assigned.GetData(), borrowed.GetData());
  bytes[0] = 'j';
  EXPECT_EQ(Contents(assigned), "hello");
  EXPECT_EQ(Contents(borrowed), "jello");
  EXPECT_TRUE(assigned != borrowed);
  assigned = assigned;
  EXPECT_EQ(Contents(assigned), "hello");
  EXPECT_TRUE(NPT_DataBuffer() == NPT_DataBuffer(10));
  EXPECT_FALSE(NPT_DataBuffer("ab", 2) == NPT_DataBuffer("abc", 3));
}

TEST(DataBufferTest, GrowthAndLimits) {
  NPT_DataBuffer b(100);
  ASSERT_EQ(b.Reserve(100), NPT_SUCCESS);
  EXPECT_EQ(b.GetBufferSize(), 100u);
  ASSERT_EQ(b.Reserve(150), NPT_SUCCESS);
  EXPECT_EQ(b.GetBufferSize(), 200u) << "doubles";
  ASSERT_EQ(b.Reserve(1000), NPT_SUCCESS);
  EXPECT_EQ(b.GetBufferSize(), 1000u) << "or takes the size when larger";

  ASSERT_EQ(b.SetData(reinterpret_cast<const NPT_Byte*>("0123456789"), 10), NPT_SUCCESS);
  EXPECT_EQ(b.SetBufferSize(9), NPT_ERROR_INVALID_PARAMETERS);
  ASSERT_EQ(b.SetBufferSize(10), NPT_SUCCESS);
  EXPECT_EQ(Contents(b), "0123456789");
  ASSERT_EQ(b.SetDataSize(25), NPT_SUCCESS);
  EXPECT_EQ(b.GetBufferSize(), 25u) << "SetDataSize grows to the exact size";
  EXPECT_EQ(Contents(b).substr(0, 10), "0123456789");
  ASSERT_EQ(b.SetDataSize(4), NPT_SUCCESS);
  EXPECT_EQ(b.GetBufferSize(), 25u);

  // SetData from inside its own storage (overlapping ranges).
  ASSERT_EQ(b.SetDataSize(10), NPT_SUCCESS);
  ASSERT_EQ(b.SetData(b.GetData() + 2, 5), NPT_SUCCESS);
  EXPECT_EQ(Contents(b), "23456");
  EXPECT_EQ(b.GetBufferSize(), 25u);
  // Growing past the capacity reallocates to exactly the size.
  const std::string big = Pattern(40);
  ASSERT_EQ(b.SetData(reinterpret_cast<const NPT_Byte*>(big.data()), 40), NPT_SUCCESS);
  EXPECT_EQ(Contents(b), big);
  EXPECT_EQ(b.GetBufferSize(), 40u);

  ASSERT_EQ(b.Clear(), NPT_SUCCESS);
  EXPECT_EQ(b.GetData(), nullptr);
  EXPECT_EQ(b.GetBufferSize(), 0u);
  EXPECT_EQ(b.GetDataSize(), 0u);
}

TEST(DataBufferTest, BorrowedStorageNeverReallocates) {
  NPT_Byte storage[8];
  NPT_DataBuffer b(16);
  ASSERT_EQ(b.SetBuffer(storage, sizeof(storage)), NPT_SUCCESS);
  EXPECT_EQ(b.UseData(), storage);
  EXPECT_EQ(b.GetBufferSize(), 8u);
  EXPECT_EQ(b.GetDataSize(), 0u);
  EXPECT_EQ(b.SetBufferSize(16), NPT_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(b.Reserve(9), NPT_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(b.SetDataSize(9), NPT_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(b.SetData(storage, 9), NPT_ERROR_INVALID_STATE);
  ASSERT_EQ(b.SetData(reinterpret_cast<const NPT_Byte*>("abcdefgh"), 8), NPT_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(storage), 8), "abcdefgh");
  ASSERT_EQ(b.SetDataSize(3), NPT_SUCCESS);
  EXPECT_EQ(b.GetDataSize(), 3u);
  ASSERT_EQ(b.Clear(), NPT_SUCCESS);  // must not free the borrowed storage
  EXPECT_EQ(b.GetData(), nullptr);
  ASSERT_EQ(b.Reserve(4), NPT_SUCCESS) << "owned again after Clear";
}

/*----------------------------------------------------------------------
|   NPT_MemoryStream
+---------------------------------------------------------------------*/
TEST(MemoryStreamTest, GrowsByDoublingAndSetDataSizeZeroResets) {
  NPT_MemoryStream stream(16384);
  EXPECT_EQ(stream.GetBuffer().GetBufferSize(), 16384u);
  const std::string data = Pattern(20000);
  NPT_Size written = 0;
  ASSERT_EQ(stream.Write(data.data(), 20000, &written), NPT_SUCCESS);
  EXPECT_EQ(written, 20000u);
  EXPECT_EQ(stream.GetBuffer().GetBufferSize(), 32768u);
  EXPECT_EQ(Contents(stream.GetBuffer()), data);

  char out[100];
  NPT_Size n = 0;
  ASSERT_EQ(stream.Read(out, 100, &n), NPT_SUCCESS);
  ASSERT_EQ(stream.SetDataSize(0), NPT_SUCCESS);
  NPT_Position position = 1;
  ASSERT_EQ(static_cast<NPT_InputStream&>(stream).Tell(position), NPT_SUCCESS);
  EXPECT_EQ(position, 0u);
  ASSERT_EQ(static_cast<NPT_OutputStream&>(stream).Tell(position), NPT_SUCCESS);
  EXPECT_EQ(position, 0u);
  EXPECT_EQ(stream.GetBuffer().GetDataSize(), 0u);
  EXPECT_EQ(stream.GetBuffer().GetBufferSize(), 32768u) << "storage kept for the next frame";
  EXPECT_EQ(stream.Read(out, 100, &n), NPT_ERROR_EOS);
  ASSERT_EQ(stream.Write("xy", 2), NPT_SUCCESS);
  EXPECT_EQ(Contents(stream.GetBuffer()), "xy");
}

TEST(MemoryStreamTest, ReadResultsAndIndependentOffsets) {
  NPT_MemoryStream stream("abcdef", 6);
  NPT_InputStream& in = stream;
  NPT_OutputStream& out = stream;
  char buf[10];
  NPT_Size n = 99;
  EXPECT_EQ(stream.Read(buf, 0, &n), NPT_SUCCESS);
  EXPECT_EQ(n, 0u);
  ASSERT_EQ(stream.Read(buf, 4, &n), NPT_SUCCESS);
  EXPECT_EQ(std::string(buf, n), "abcd");
  NPT_LargeSize size = 0, available = 0;
  ASSERT_EQ(stream.GetSize(size), NPT_SUCCESS);
  ASSERT_EQ(stream.GetAvailable(available), NPT_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(available, 2u);
  ASSERT_EQ(stream.Read(buf, 10, &n), NPT_SUCCESS);
  EXPECT_EQ(std::string(buf, n), "ef");
  EXPECT_EQ(stream.Read(buf, 10, &n), NPT_ERROR_EOS);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(stream.Read(buf, 10, nullptr), NPT_ERROR_EOS);

  // The write offset of a stream made from bytes starts at 0: writes overwrite.
  ASSERT_EQ(stream.Write("XY", 2), NPT_SUCCESS);
  EXPECT_EQ(Contents(stream.GetBuffer()), "XYcdef");
  ASSERT_EQ(out.Seek(6), NPT_SUCCESS);
  ASSERT_EQ(out.WriteString("gh"), NPT_SUCCESS);
  EXPECT_EQ(Contents(stream.GetBuffer()), "XYcdefgh");
  ASSERT_EQ(in.Seek(1), NPT_SUCCESS);
  ASSERT_EQ(in.Skip(2), NPT_SUCCESS);
  ASSERT_EQ(stream.Read(buf, 2, &n), NPT_SUCCESS);
  EXPECT_EQ(std::string(buf, n), "de");
  NPT_Position position = 0;
  ASSERT_EQ(out.Tell(position), NPT_SUCCESS);
  EXPECT_EQ(position, 8u);

  // Shrinking pulls both offsets down.
  ASSERT_EQ(stream.SetDataSize(3), NPT_SUCCESS);
  ASSERT_EQ(in.Tell(position), NPT_SUCCESS);
  EXPECT_EQ(position, 3u);
  ASSERT_EQ(out.Tell(position), NPT_SUCCESS);
  EXPECT_EQ(position, 3u);
}

TEST(MemoryStreamTest, SeekLimits) {
  NPT_MemoryStream stream("0123456789", 10);
  struct {
    NPT_Position position;
    NPT_Result result;
  } cases[] = {{0, NPT_SUCCESS},
               {10, NPT_SUCCESS},
               {11, NPT_ERROR_OUT_OF_RANGE},
               {0x100000000ull, NPT_ERROR_OUT_OF_RANGE},
               {0x100000005ull, NPT_ERROR_OUT_OF_RANGE}};
  for (auto& c : cases) {
    EXPECT_EQ(static_cast<NPT_InputStream&>(stream).Seek(c.position), c.result) << c.position;
    EXPECT_EQ(static_cast<NPT_OutputStream&>(stream).Seek(c.position), c.result) << c.position;
  }
  NPT_Position position = 0;
  ASSERT_EQ(static_cast<NPT_InputStream&>(stream).Tell(position), NPT_SUCCESS);
  EXPECT_EQ(position, 10u) << "a refused seek leaves the offset";
}

TEST(MemoryStreamTest, SharedThroughReferencesOfEitherFace) {
  NPT_MemoryStreamReference memory(new NPT_MemoryStream(16));
  NPT_InputStreamReference in = memory;
  NPT_OutputStreamReference out = memory;
  memory.Release();
  ASSERT_EQ(out->WriteLine("line"), NPT_SUCCESS);
  char buf[8];
  ASSERT_EQ(in->ReadFully(buf, 6), NPT_SUCCESS);
  EXPECT_EQ(std::string(buf, 6), "line\r\n");
}

/*----------------------------------------------------------------------
|   Default input operations
+---------------------------------------------------------------------*/
TEST(InputStreamDefaultsTest, ReadFully) {
  ScriptedInput in("abcdefgh");
  in.m_Chunks = {3};
  char buf[16];
  EXPECT_EQ(in.ReadFully(buf, 0), NPT_SUCCESS);
  ASSERT_EQ(in.ReadFully(buf, 7), NPT_SUCCESS);
  EXPECT_EQ(std::string(buf, 7), "abcdefg");
  EXPECT_EQ(in.ReadFully(buf, 2), NPT_ERROR_EOS) << "ends early";

  ScriptedInput zero("abc");
  zero.m_ZeroReads = 1;
  EXPECT_EQ(zero.ReadFully(buf, 2), NPT_ERROR_INTERNAL);

  ScriptedInput failing("abc");
  failing.m_FailAt = 1;
  failing.m_FailWith = NPT_ERROR_TIMEOUT;
  EXPECT_EQ(failing.ReadFully(buf, 3), NPT_ERROR_TIMEOUT);
}

TEST(InputStreamDefaultsTest, SkipIsTellThenSeek) {
  ScriptedInput in("abcdefgh");
  ASSERT_EQ(in.Skip(3), NPT_SUCCESS);
  EXPECT_EQ(in.m_Position, 3u);
  EXPECT_EQ(in.Skip(6), NPT_ERROR_OUT_OF_RANGE);
  in.m_TellResult = NPT_ERROR_NOT_SUPPORTED;
  EXPECT_EQ(in.Skip(1), NPT_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(in.m_Position, 3u);
}

TEST(InputStreamDefaultsTest, LoadWholeAndLimited) {
  const std::string data = Pattern(10000);
  {
    NPT_MemoryStream in(data.data(), (NPT_Size)data.size());
    NPT_DataBuffer buffer("old", 3);
    ASSERT_EQ(in.Load(buffer), NPT_SUCCESS);
    EXPECT_EQ(Contents(buffer), data);
  }
  {
    NPT_MemoryStream in(data.data(), (NPT_Size)data.size());
    NPT_DataBuffer buffer;
    ASSERT_EQ(in.Load(buffer, 1234), NPT_SUCCESS);
    EXPECT_EQ(Contents(buffer), data.substr(0, 1234));
  }
  {
    // Size and availability unknown: chunks of 4096 until the end.
    ScriptedInput in(data);
    in.m_SizeResult = NPT_ERROR_NOT_SUPPORTED;
    in.m_AvailableResult = NPT_ERROR_NOT_SUPPORTED;
    in.m_Chunks = {1000};
    NPT_DataBuffer buffer;
    ASSERT_EQ(in.Load(buffer), NPT_SUCCESS);
    EXPECT_EQ(Contents(buffer), data);
    for (NPT_Size r : in.m_Requests) EXPECT_LE(r, 4096u);
  }
  {
    // Size unknown, a limit: the limit is the target.
    ScriptedInput in(data);
    in.m_SizeResult = NPT_ERROR_NOT_SUPPORTED;
    NPT_DataBuffer buffer;
    ASSERT_EQ(in.Load(buffer, 5000), NPT_SUCCESS);
    EXPECT_EQ(Contents(buffer), data.substr(0, 5000));
    EXPECT_EQ(in.m_Position, 5000u) << "nothing read past the limit";
  }
  {
    // A reported size larger than the data: the end is success.
    ScriptedInput in("short");
    in.m_ReportedSize = 100;
    NPT_DataBuffer buffer;
    ASSERT_EQ(in.Load(buffer), NPT_SUCCESS);
    EXPECT_EQ(Contents(buffer), "short");
  }
  {
    ScriptedInput in(data);
    in.m_FailAt = 10;
    in.m_FailWith = NPT_ERROR_TIMEOUT;
    in.m_Chunks = {7};
    NPT_DataBuffer buffer;
    EXPECT_EQ(in.Load(buffer), NPT_ERROR_TIMEOUT);
    EXPECT_EQ(buffer.GetDataSize(), 10u);
  }
}

TEST(InputStreamDefaultsTest, LoadLimits) {
  NPT_DataBuffer buffer("abc", 3);
  ScriptedInput in("abc");
  EXPECT_EQ(in.Load(buffer, 0x40000001), NPT_ERROR_INVALID_PARAMETERS);
  EXPECT_EQ(buffer.GetDataSize(), 0u);
  EXPECT_EQ(in.Load(buffer, 0x40000000), NPT_SUCCESS) << "1 GiB itself is allowed; target is the size";
  EXPECT_EQ(Contents(buffer), "abc");

  ScriptedInput huge("abc");
  huge.m_ReportedSize = 0x40000001;
  EXPECT_EQ(huge.Load(buffer), NPT_ERROR_OUT_OF_RANGE);
  EXPECT_EQ(huge.m_Requests.size(), 0u);

  // No known size and more available than 1 GiB: refused before reading.
  ScriptedInput flood("abc");
  flood.m_SizeResult = NPT_ERROR_NOT_SUPPORTED;
  flood.m_ReportedAvailable = 0x40000001;
  EXPECT_EQ(flood.Load(buffer), NPT_ERROR_OUT_OF_RANGE);
  EXPECT_EQ(buffer.GetBufferSize(), 0u);
  EXPECT_EQ(flood.m_Requests.size(), 0u);
}

/*----------------------------------------------------------------------
|   Default output operations
+---------------------------------------------------------------------*/
TEST(OutputStreamDefaultsTest, WriteFullyStringAndLine) {
  ScriptedOutput out;
  out.m_Chunk = 2;
  EXPECT_EQ(out.WriteFully("x", 0), NPT_SUCCESS);
  ASSERT_EQ(out.WriteFully("abcde", 5), NPT_SUCCESS);
  EXPECT_EQ(out.m_Data, "abcde");
  EXPECT_EQ(out.m_Calls, 3);
  ASSERT_EQ(out.WriteString(nullptr), NPT_SUCCESS);
  ASSERT_EQ(out.WriteString(""), NPT_SUCCESS);
  EXPECT_EQ(out.m_Calls, 3) << "nothing written for a null or empty text";
  ASSERT_EQ(out.WriteLine("Host: x"), NPT_SUCCESS);
  ASSERT_EQ(out.WriteLine(""), NPT_SUCCESS);
  EXPECT_EQ(out.m_Data, "abcdeHost: x\r\n\r\n");
  EXPECT_EQ(out.Flush(), NPT_SUCCESS);

  ScriptedOutput stuck;
  stuck.m_Chunk = 0;
  EXPECT_EQ(stuck.WriteFully("a", 1), NPT_ERROR_INTERNAL);

  ScriptedOutput failing;
  failing.m_FailAfter = 3;
  EXPECT_EQ(failing.WriteLine("abc"), NPT_ERROR_WRITE_FAILED);
  EXPECT_EQ(failing.m_Data, "abc") << "no line end after a failed text";
  ScriptedOutput failing_early;
  failing_early.m_FailAfter = 0;
  EXPECT_EQ(failing_early.WriteLine("abc"), NPT_ERROR_WRITE_FAILED);
  EXPECT_EQ(failing_early.m_Calls, 1);
}

/*----------------------------------------------------------------------
|   NPT_StreamToStreamCopy
+---------------------------------------------------------------------*/
TEST(StreamToStreamCopyTest, WholeSizedAndOffset) {
  const std::string data = Pattern(200000);
  struct {
    NPT_Position offset;
    NPT_LargeSize size;
    size_t expected_begin;
    size_t expected_count;
  } cases[] = {
      {0, 0, 0, 200000},       // until the end
      {0, 70000, 0, 70000},    // exact size over two blocks
      {0, 300000, 0, 200000},  // more than the input holds: success, smaller count
      {1000, 0, 1000, 199000}, {1000, 5, 1000, 5}, {200000, 0, 200000, 0},
  };
  for (auto& c : cases) {
    ScriptedInput in(data);
    in.m_Chunks = {30000};
    in.m_ZeroReads = 2;  // zero-byte reads are read again
    NPT_MemoryStream out(16384);
    NPT_LargeSize written = 77;
    ASSERT_EQ(NPT_StreamToStreamCopy(in, out, c.offset, c.size, &written), NPT_SUCCESS) << c.size;
    EXPECT_EQ(written, c.expected_count);
    EXPECT_EQ(Contents(out.GetBuffer()), data.substr(c.expected_begin, c.expected_count));
    for (NPT_Size r : in.m_Requests) EXPECT_LE(r, 65536u);
    if (c.size && c.size <= data.size() - c.offset) {
      EXPECT_EQ(in.m_Position, c.offset + c.size) << "not a byte past the size";
    }
  }
}

TEST(StreamToStreamCopyTest, Failures) {
  NPT_LargeSize written = 77;
  {
    ScriptedInput in("abc");
    NPT_MemoryStream out;
    EXPECT_EQ(NPT_StreamToStreamCopy(in, out, 4, 0, &written), NPT_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(written, 0u);
  }
  {
    ScriptedInput in(Pattern(100));
    in.m_Chunks = {10};
    in.m_FailAt = 30;
    in.m_FailWith = NPT_ERROR_CONNECTION_RESET;
    NPT_MemoryStream out;
    EXPECT_EQ(NPT_StreamToStreamCopy(in, out, 0, 0, &written), NPT_ERROR_CONNECTION_RESET);
    EXPECT_EQ(written, 30u);
  }
  {
    ScriptedInput in(Pattern(100));
    ScriptedOutput out;
    out.m_Chunk = 7;  // partial writes are completed
    out.m_FailAfter = 50;
    EXPECT_EQ(NPT_StreamToStreamCopy(in, out, 0, 0, &written), NPT_ERROR_WRITE_FAILED);
    EXPECT_EQ(written, out.m_Data.size());
    EXPECT_GE(written, 50u);
  }
  {
    ScriptedInput in("abc");
    ScriptedOutput out;
    out.m_Chunk = 0;
    EXPECT_EQ(NPT_StreamToStreamCopy(in, out, 0, 0, nullptr), NPT_ERROR_INTERNAL);
  }
}

}  // namespace
