// Fuzz target for the chunked decoder over a buffered stream.
//
// Input layout: byte 0 selects the source's read size (1 + byte % 64) and
// byte 1 the caller's read size (1 + byte); the rest is the encoded body.
//
// Checked on every input:
// - every successful Read delivers between 1 and the asked number of bytes;
// - the decoded total never exceeds the encoded size;
// - once the stream has ended (EOS) it stays ended;
// - re-encoding the decoded bytes with the chunked encoder and decoding that
//   again gives the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "NptHttp.h"
#include "support/ChoppedStream.h"

namespace {


// Decodes until the stream ends or fails.
std::string Decode(const uint8_t* data, size_t size, NPT_Size step, NPT_Size read_size) {
  NPT_InputStreamReference source(new ChoppedStream(data, size, step));
  NPT_BufferedInputStreamReference buffered(new NPT_BufferedInputStream(source));
  NPT_HttpChunkedInputStream stream(buffered);
  std::string out;
  char buffer[257];
  for (;;) {
    NPT_Size count = 12345;
    NPT_Result result = stream.Read(buffer, read_size, &count);
    if (NPT_FAILED(result)) {
      if (count != 0) abort();
      if (result == NPT_ERROR_EOS) {
        if (NPT_SUCCEEDED(stream.Read(buffer, read_size, &count))) abort();
      }
      break;
    }
    if (count == 0 || count > read_size) abort();
    out.append(buffer, count);
    if (out.size() > size) abort();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 256 * 1024) return 0;
  NPT_Size step = 1 + data[0] % 64;
  NPT_Size read_size = 1 + data[1];
  std::string decoded = Decode(data + 2, size - 2, step, read_size);

  NPT_MemoryStream encoded;
  {
    NPT_HttpChunkedOutputStream chunked(encoded);
    for (size_t offset = 0; offset < decoded.size(); offset += read_size) {
      size_t count = decoded.size() - offset < read_size ? decoded.size() - offset : read_size;
      if (NPT_FAILED(chunked.WriteFully(decoded.data() + offset, (NPT_Size)count))) abort();
    }
  }
  const NPT_DataBuffer& wire = encoded.GetBuffer();
  std::string again = Decode(wire.GetData(), wire.GetDataSize(), step, read_size);
  if (again != decoded) abort();
  return 0;
}
