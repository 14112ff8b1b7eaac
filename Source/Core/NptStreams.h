#pragma once
// Byte streams: the input and output interfaces every stream of the runtime
// implements (sockets, memory, buffered readers), their default operations, and
// the stream-to-stream copy.
//
// Result conventions every stream keeps:
// - Read of 0 bytes succeeds at once with a count of 0.
// - A Read that delivers no byte because the data is exhausted returns
//   NPT_ERROR_EOS; a Read that delivers at least one byte succeeds even if it
//   met the end on the way.
// - The out counts of Read and Write may be null; when given they are set on
//   every return.
// Streams are shared through NPT_Reference and live as long as their last
// reference. No stream locks: one thread uses a stream at a time.

#include "NptDataBuffer.h"
#include "NptReferences.h"
#include "NptResults.h"
#include "NptTypes.h"

class NPT_DataBuffer;

class NPT_InputStream {
 public:
  virtual ~NPT_InputStream() {}

  // Reads the rest of the stream, or at most max_read bytes (0 = no limit),
  // into `buffer`, replacing its data. Limits: max_read above 1 GiB gives
  // NPT_ERROR_INVALID_PARAMETERS; a stream size or a running total above 1 GiB
  // gives NPT_ERROR_OUT_OF_RANGE. Reaching the end is success.
  virtual NPT_Result Load(NPT_DataBuffer& buffer, NPT_Size max_read = 0);
  virtual NPT_Result Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read = nullptr) = 0;
  // Reads exactly bytes_to_read bytes. A stream that ends early gives
  // NPT_ERROR_EOS (what was read stays in the buffer); a Read that succeeds
  // without delivering a byte gives NPT_ERROR_INTERNAL.
  virtual NPT_Result ReadFully(void* buffer, NPT_Size bytes_to_read);
  virtual NPT_Result Seek(NPT_Position offset) = 0;
  // Tell, then Seek forward by `count`; the first failure is returned.
  virtual NPT_Result Skip(NPT_Size count);
  virtual NPT_Result Tell(NPT_Position& offset) = 0;
  virtual NPT_Result GetSize(NPT_LargeSize& size) = 0;
  virtual NPT_Result GetAvailable(NPT_LargeSize& available) = 0;
  // Kept for the interface's layout; returns success and no stream overrides it.
  virtual NPT_Result Reserved() { return NPT_SUCCESS; }
};

class NPT_OutputStream {
 public:
  virtual ~NPT_OutputStream() {}

  virtual NPT_Result Write(const void* buffer, NPT_Size bytes_to_write, NPT_Size* bytes_written = nullptr) = 0;
  // Writes exactly bytes_to_write bytes; a failing Write's result is returned,
  // a Write that succeeds without taking a byte gives NPT_ERROR_INTERNAL.
  virtual NPT_Result WriteFully(const void* buffer, NPT_Size bytes_to_write);
  // A null or empty text succeeds without writing.
  virtual NPT_Result WriteString(const char* string_buffer);
  // The text followed by CR LF.
  virtual NPT_Result WriteLine(const char* line_buffer);
  virtual NPT_Result Seek(NPT_Position offset) = 0;
  virtual NPT_Result Tell(NPT_Position& offset) = 0;
  virtual NPT_Result Flush() { return NPT_SUCCESS; }
};

// Base of an object that is an input stream and an output stream at once with
// independent positions: each face forwards Seek and Tell to its own pair.
class NPT_DelegatingInputStream : public NPT_InputStream {
 public:
  NPT_Result Seek(NPT_Position offset) override { return InputSeek(offset); }
  NPT_Result Tell(NPT_Position& offset) override { return InputTell(offset); }

 protected:
  virtual NPT_Result InputSeek(NPT_Position offset) = 0;
  virtual NPT_Result InputTell(NPT_Position& offset) = 0;
};

class NPT_DelegatingOutputStream : public NPT_OutputStream {
 public:
  NPT_Result Seek(NPT_Position offset) override { return OutputSeek(offset); }
  NPT_Result Tell(NPT_Position& offset) override { return OutputTell(offset); }

 protected:
  virtual NPT_Result OutputSeek(NPT_Position offset) = 0;
  virtual NPT_Result OutputTell(NPT_Position& offset) = 0;
};

typedef NPT_Reference<NPT_InputStream> NPT_InputStreamReference;
typedef NPT_Reference<NPT_OutputStream> NPT_OutputStreamReference;

// Copies from `from` to `to`. A non-zero `offset` is first applied with Seek
// on the input; `size` 0 copies until the input ends, otherwise at most `size`
// bytes. Bytes move through one 64 KiB block allocated per call. The end of the
// input is success, also when fewer than `size` bytes were copied; `bytes_written`
// (optional) tells how many reached the output. Any other read error, and any
// write error, is returned.
NPT_Result NPT_StreamToStreamCopy(NPT_InputStream& from, NPT_OutputStream& to, NPT_Position offset = 0,
                                  NPT_LargeSize size = 0, NPT_LargeSize* bytes_written = nullptr);

// An in-memory stream that is readable and writable at once: writes append at
// the write offset (growing the storage by doubling), reads consume from the
// read offset. Seek and Tell are per face: use the stream through an
// NPT_InputStream& or NPT_OutputStream& to pick one.

class NPT_MemoryStream : public NPT_DelegatingInputStream, public NPT_DelegatingOutputStream {
 public:
  // Storage of `initial_capacity` bytes allocated up front; no data.
  explicit NPT_MemoryStream(NPT_Size initial_capacity = 0);
  // An owned copy of `size` bytes; both offsets at 0.
  NPT_MemoryStream(const void* data, NPT_Size size);
  ~NPT_MemoryStream() override {}

  // Input face.
  NPT_Result Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read = nullptr) override;
  NPT_Result GetSize(NPT_LargeSize& size) override;
  NPT_Result GetAvailable(NPT_LargeSize& available) override;

  // Output face. Fails only when the storage cannot grow.
  NPT_Result Write(const void* buffer, NPT_Size bytes_to_write, NPT_Size* bytes_written = nullptr) override;

  // The data written so far (GetData/GetDataSize); valid until the next Write
  // or SetDataSize.
  const NPT_DataBuffer& GetBuffer() const { return m_Buffer; }
  // Sets the amount of data (growing to exactly `size` if needed; new bytes are
  // not initialised) and pulls both offsets down to `size` where beyond it.
  // SetDataSize(0) empties the stream and keeps its storage.
  NPT_Result SetDataSize(NPT_Size size);

 protected:
  // A position beyond the data size (or above 32 bits) is NPT_ERROR_OUT_OF_RANGE.
  NPT_Result InputSeek(NPT_Position offset) override;
  NPT_Result InputTell(NPT_Position& offset) override;
  NPT_Result OutputSeek(NPT_Position offset) override;
  NPT_Result OutputTell(NPT_Position& offset) override;

 private:
  NPT_DataBuffer m_Buffer;
  NPT_Size m_ReadOffset;
  NPT_Size m_WriteOffset;
};

typedef NPT_Reference<NPT_MemoryStream> NPT_MemoryStreamReference;
