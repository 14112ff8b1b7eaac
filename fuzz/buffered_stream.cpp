// Fuzz target for the buffered input stream: a source handing out data in
// chunk sizes chosen by the input, read through random interleavings of Read,
// both ReadLine forms (random limits, with and without break-on-CR) and
// switches between unbuffered mode and 4096-byte buffering.
//
// Input layout: byte 0 flags (bit 0: break-on-CR may be used; bit 1: start
// unbuffered), byte 1 length L of the control bytes that follow, then the
// stream's data. Control bytes are consumed cyclically for chunk sizes and
// operations.
//
// Checked on every input:
// - no line exceeds its limit, a NUL always follows it, and a failed string
//   form leaves the string empty;
// - the delivered bytes are the input's bytes in order, where the only bytes
//   missing are CR, LF, and those of lines that did not fit (one byte per
//   NPT_ERROR_NOT_ENOUGH_SPACE, the whole line for the string form);
// - without break-on-CR the results match an exact model of the input, and in
//   unbuffered mode with nothing buffered the source has given exactly what the
//   model consumed (not a byte past a line or a request);
// - draining to the end consumes the whole input.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "NptBufferedStreams.h"
#include "support/ChoppedStream.h"

namespace {

#define FUZZ_ASSERT(_cond)                                                    \
  do {                                                                        \
    if (!(_cond)) {                                                           \
      std::fprintf(stderr, "assertion failed: %s (line %d)\n", #_cond, __LINE__); \
      std::abort();                                                           \
    }                                                                         \
  } while (0)

class Control {
 public:
  Control(const uint8_t* bytes, size_t size) : m_Bytes(bytes), m_Size(size) {}
  unsigned Next() {
    if (m_Size == 0) return 0x5A ^ (unsigned)(m_Count++ * 37);
    unsigned value = m_Bytes[m_Index];
    m_Index = (m_Index + 1) % m_Size;
    return value;
  }

 private:
  const uint8_t* m_Bytes;
  size_t m_Size;
  size_t m_Index = 0;
  size_t m_Count = 0;
};

class ChunkSource : public ChoppedStream {
 public:
  ChunkSource(const uint8_t* data, size_t size, Control& control) : ChoppedStream(data, size), m_Control(control) {}

 protected:
  size_t NextChunk() override {
    unsigned c = m_Control.Next();
    return (c & 0x80) ? 4096 + (c & 0x7F) * 64 : 1 + (c % 17);
  }

 private:
  Control& m_Control;
};

class ProbedStream : public NPT_BufferedInputStream {
 public:
  using NPT_BufferedInputStream::NPT_BufferedInputStream;
  bool HasStorage() const { return m_Buffer.data != nullptr; }
};

// Matches delivered bytes against the input in order; skipped bytes other
// than CR and LF are counted as lost.
class Matcher {
 public:
  Matcher(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}
  void Deliver(const char* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      while (m_Position < m_Size && m_Data[m_Position] != (uint8_t)bytes[i]) {
        if (m_Data[m_Position] != '\r' && m_Data[m_Position] != '\n') ++m_Lost;
        ++m_Position;
      }
      FUZZ_ASSERT(m_Position < m_Size);
      ++m_Position;
    }
  }
  size_t m_Lost = 0;

 private:
  const uint8_t* m_Data;
  size_t m_Size;
  size_t m_Position = 0;
};

// Exact model of the input read without break-on-CR.
struct Model {
  const uint8_t* data;
  size_t size;
  size_t position = 0;

  NPT_Result Line(NPT_Size max, std::string& line) {
    line.clear();
    for (;;) {
      if (position == size) return line.empty() ? NPT_ERROR_EOS : NPT_SUCCESS;
      char c = (char)data[position++];
      if (c == '\r') continue;
      if (c == '\n') return NPT_SUCCESS;
      if (line.size() == max - 1) return NPT_ERROR_NOT_ENOUGH_SPACE;
      line += c;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool may_break_on_cr = data[0] & 1;
  const bool start_unbuffered = data[0] & 2;
  size_t control_size = data[1];
  if (control_size > size - 2) control_size = size - 2;
  Control control(data + 2, control_size);
  const uint8_t* input = data + 2 + control_size;
  const size_t input_size = size - 2 - control_size;

  ChunkSource* source = new ChunkSource(input, input_size, control);
  NPT_InputStreamReference reference(source);
  ProbedStream stream(reference, start_unbuffered ? 0 : 4096);
  Matcher matcher(input, input_size);
  Model model{input, input_size};
  size_t allowed_loss = 0;
  bool ended = false;

  for (int step = 0; step < 4000 && !ended; ++step) {
    unsigned op = control.Next();
    unsigned arg = control.Next();
    switch (op % 8) {
      case 0:
        FUZZ_ASSERT(stream.SetBufferSize(0) == NPT_SUCCESS);
        break;
      case 1:
        FUZZ_ASSERT(stream.SetBufferSize(4096) == NPT_SUCCESS);
        break;
      case 2:
      case 3: {
        NPT_Size wanted = 1 + arg % 64;
        std::vector<char> out(wanted);
        NPT_Size n = 12345;
        NPT_Result result = stream.Read(out.data(), wanted, &n);
        if (result == NPT_ERROR_EOS) {
          FUZZ_ASSERT(n == 0);
          ended = true;
          break;
        }
        FUZZ_ASSERT(result == NPT_SUCCESS);
        FUZZ_ASSERT(n >= 1 && n <= wanted);
        matcher.Deliver(out.data(), n);
        if (!may_break_on_cr) {
          FUZZ_ASSERT(model.position + n <= input_size);
          FUZZ_ASSERT(std::memcmp(out.data(), input + model.position, n) == 0);
          model.position += n;
        }
        break;
      }
      default: {
        NPT_Size max = 1 + arg % 40;
        bool break_on_cr = may_break_on_cr && (arg & 0x80);
        bool string_form = (op % 8) == 7;
        std::string line;
        NPT_Result result;
        if (string_form) {
          NPT_String s("previous contents");
          result = stream.ReadLine(s, max, break_on_cr);
          FUZZ_ASSERT(s.GetLength() <= max - 1);
          if (NPT_FAILED(result)) FUZZ_ASSERT(s.IsEmpty() && s.GetChars()[0] == '\0');
          line.assign(s.GetChars(), s.GetLength());
        } else {
          // Exactly `max` bytes, so that any write past the array is caught.
          std::vector<char> buffer(max, 'x');
          NPT_Size n = 12345;
          result = stream.ReadLine(buffer.data(), max, &n, break_on_cr);
          FUZZ_ASSERT(n <= max - 1);
          FUZZ_ASSERT(buffer[n] == '\0');
          FUZZ_ASSERT(std::memchr(buffer.data(), '\n', n) == nullptr);
          line.assign(buffer.data(), n);
        }
        FUZZ_ASSERT(line.find('\n') == std::string::npos);
        FUZZ_ASSERT(result == NPT_SUCCESS || result == NPT_ERROR_EOS || result == NPT_ERROR_NOT_ENOUGH_SPACE);
        if (!break_on_cr) FUZZ_ASSERT(line.find('\r') == std::string::npos);
        // A line that did not fit loses the byte that did not fit; the string
        // form also drops the characters stored before it.
        if (result == NPT_ERROR_NOT_ENOUGH_SPACE) allowed_loss += string_form ? max : 1;
        if (!may_break_on_cr) {
          std::string expected;
          NPT_Result expected_result = model.Line(max, expected);
          FUZZ_ASSERT(result == expected_result);
          if (!string_form || NPT_SUCCEEDED(result)) FUZZ_ASSERT(line == expected);
        }
        if (result == NPT_ERROR_EOS) {
          FUZZ_ASSERT(line.empty());
          ended = true;
          break;
        }
        matcher.Deliver(line.data(), line.size());
        break;
      }
    }
    FUZZ_ASSERT(matcher.m_Lost <= allowed_loss);
    if (!may_break_on_cr && !stream.HasStorage() && !ended) FUZZ_ASSERT(source->Offset() == model.position);
  }

  // Drain: everything left comes out and the whole input is consumed.
  if (!ended) {
    char out[4096];
    NPT_Size n = 0;
    NPT_Result result;
    int guard = 0;
    while ((result = stream.Read(out, sizeof(out), &n)) == NPT_SUCCESS) {
      FUZZ_ASSERT(n >= 1);
      matcher.Deliver(out, n);
      FUZZ_ASSERT(++guard < 1000000);
    }
    FUZZ_ASSERT(result == NPT_ERROR_EOS);
  }
  FUZZ_ASSERT(matcher.m_Lost <= allowed_loss);
  FUZZ_ASSERT(source->Offset() == input_size);
  return 0;
}
