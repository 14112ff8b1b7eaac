#pragma once
// The byte-level half of the device stream's multipart reader: line reading
// and frame body reading over one input stream, shared by
// KVX_Device::ReadBody. Kept apart so that tests can drive the body rules with
// a small frame limit.
//
// Lines come from a 4096-byte buffer of our own that is filled from the
// source; a frame body is taken first from what that buffer still holds and
// then read by the source straight into the frame store, asking for no more
// than the body's remaining bytes. So the source never gives up a byte past a
// body, and once the frame store has grown to the largest frame, reading a
// frame allocates nothing.
//
// One thread at a time; nothing here locks.

#include "NptResults.h"
#include "NptStreams.h"
#include "NptTypes.h"

// Largest frame the store can hold: its offsets are 32-bit and must stay
// clear of the sign bit.
const NPT_Size KVX_MULTIPART_MAX_FRAME_SIZE = 0x7FFFFFFF;
// Size of the line buffer; a line holds at most one character less.
const NPT_Size KVX_MULTIPART_LINE_BUFFER_SIZE = 4096;

class KVX_MultipartLineReader {
 public:
  // `source` is not owned and must outlive the reader. When it is a buffered
  // stream, it must be in unbuffered mode (buffer size 0) so that each read
  // is passed straight to its own source.
  explicit KVX_MultipartLineReader(NPT_InputStream& source);
  KVX_MultipartLineReader(const KVX_MultipartLineReader&) = delete;
  KVX_MultipartLineReader& operator=(const KVX_MultipartLineReader&) = delete;

  // Reads one line into `line` (`size` bytes, NUL-terminated afterwards):
  // LF ends it, every CR is dropped, the line end is not stored. `length` gets
  // the characters stored. Results: NPT_ERROR_NOT_ENOUGH_SPACE when more than
  // size - 1 characters come before the LF (the first one that did not fit is
  // consumed); NPT_ERROR_EOS at the end with nothing stored (a last line
  // without LF is returned with success first); the source's failure
  // otherwise, also after part of a line.
  NPT_Result ReadLine(char* line, NPT_Size size, NPT_Size& length);

  // Replaces the content of `store` with one frame body.
  // - `length` > 0: exactly `length` bytes. A stream that ends or fails first
  //   gives the read's result (NPT_ERROR_EOS when it ended): a truncated body
  //   is never a frame.
  // - `length` 0: everything up to the end of the stream (success at the end);
  //   any other read failure is returned.
  // A frame larger than `max_size` (a `length` above it, or an open-ended body
  // that grows past it) gives NPT_ERROR_OUT_OF_RANGE, before anything is
  // allocated for a declared length. The store grows by doubling as bytes
  // arrive, never ahead of them by more than its current size.
  NPT_Result ReadFrame(NPT_MemoryStream& store, NPT_UInt64 length,
                       NPT_Size max_size = KVX_MULTIPART_MAX_FRAME_SIZE);

 private:
  // Refills the empty buffer; NPT_ERROR_EOS for good once the source ended.
  NPT_Result Fill();
  // Up to `size` bytes: buffered ones first, otherwise one read of the
  // source straight into `data`.
  NPT_Result ReadSome(NPT_Byte* data, NPT_Size size, NPT_Size& count);

  NPT_InputStream& m_Source;
  NPT_Size m_Offset;
  NPT_Size m_Valid;
  bool m_Eos;
  NPT_Byte m_Buffer[KVX_MULTIPART_LINE_BUFFER_SIZE];
};
