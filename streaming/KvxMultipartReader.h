#pragma once
// The byte-level half of the device stream's multipart reader: line and frame
// body reading over one input stream, for KVX_Device::ReadBody. Kept apart so
// that tests can drive the body rules with a small frame limit.
//
// One buffer, the frame store, is also the receive buffer. Reads take large
// blocks (KVX_MULTIPART_RECEIVE_BLOCK, or what the frame still lacks when
// that is more) straight into it; part header lines are parsed where they
// landed and a frame body is handed out as a pointer into it, so a body is
// never copied. Only the bytes not yet consumed (the next part's start) are
// ever moved, to the front of the store, and only when what comes next would
// not fit behind them. A read returns as soon as the source has something,
// so a frame is complete the moment its last byte has arrived: nothing waits
// for the next part.
//
// Reading ahead takes bytes past a body (and, at the end, past the closing
// delimiter) from the source: only for a source that nothing reads after this
// reader, such as the device stream's response.
//
// Once the store has grown to the largest frame (plus one block), reading
// frames allocates nothing. One thread at a time; nothing here locks.

#include <cstddef>

#include "NptResults.h"
#include "NptStreams.h"
#include "NptTypes.h"

// Largest frame the reader delivers (the frame size the delegate gets must
// stay clear of the sign bit of 32 bits).
const NPT_Size KVX_MULTIPART_MAX_FRAME_SIZE = 0x7FFFFFFF;
// A line holds at most this many characters (CRs not counted).
const NPT_Size KVX_MULTIPART_MAX_LINE_LENGTH = 4095;
// What one read asks for at least, when the store has the room.
const NPT_Size KVX_MULTIPART_RECEIVE_BLOCK = 65536;
// The store's size before any frame made it grow: a few blocks, so that the
// unconsumed bytes are moved to the front only every few blocks.
const NPT_Size KVX_MULTIPART_STORE_MINIMUM = 4 * KVX_MULTIPART_RECEIVE_BLOCK;

class KVX_MultipartReader {
 public:
  // `source` is not owned and must outlive the reader. When it is a buffered
  // stream, it should be in unbuffered mode (buffer size 0) so that each read
  // goes straight to its own source. `max_frame` bounds every frame.
  explicit KVX_MultipartReader(NPT_InputStream& source, NPT_Size max_frame = KVX_MULTIPART_MAX_FRAME_SIZE);
  ~KVX_MultipartReader();
  KVX_MultipartReader(const KVX_MultipartReader&) = delete;
  KVX_MultipartReader& operator=(const KVX_MultipartReader&) = delete;

  // Reads one line: LF ends it, every CR is dropped, the line end is not part
  // of it. `line` points to its `length` characters in the store (not
  // NUL-terminated), valid until the next call. Results:
  // NPT_ERROR_NOT_ENOUGH_SPACE when more than KVX_MULTIPART_MAX_LINE_LENGTH
  // characters come before the LF (found as soon as they are in, without
  // another read); NPT_ERROR_EOS at the end with nothing stored (a last line
  // without LF is returned with success first); the source's failure
  // otherwise, also after part of a line (NPT_ERROR_INTERNAL for a read that
  // succeeds without a byte).
  NPT_Result ReadLine(const char*& line, NPT_Size& length);

  // Reads one frame body; `data` points to its `size` bytes in the store,
  // valid and unchanged until the next call.
  // - `length` > 0: exactly `length` bytes, returned as soon as they are in.
  //   A stream that ends or fails first gives the read's result
  //   (NPT_ERROR_EOS when it ended): a truncated body is never a frame.
  // - `length` 0: everything up to the end of the stream (success at the
  //   end); any other read failure is returned.
  // A frame larger than `max_frame` (a `length` above it, or an open-ended
  // body that grows past it) gives NPT_ERROR_OUT_OF_RANGE, before anything is
  // read or allocated for a declared length. NPT_ERROR_OUT_OF_MEMORY when the
  // store cannot grow. On failure `data` is null and `size` 0.
  NPT_Result ReadFrame(NPT_UInt64 length, const NPT_Byte*& data, NPT_Size& size);

  // The store's capacity in bytes (0 before the first read).
  size_t GetStoreSize() const { return m_Capacity; }

 private:
  // Appends what the source gives (one read of at most `wanted` bytes, cut to
  // the room left) after m_End. NPT_ERROR_EOS for good once the source ended.
  NPT_Result Receive(size_t wanted);
  // Moves the unconsumed bytes [m_Begin, m_End) to the front of the store,
  // first growing it to `capacity` when that is more than it has.
  NPT_Result MakeRoom(size_t capacity);
  // The two kinds of body, from m_Begin on; the frame is [m_Begin, m_End).
  NPT_Result ReadDeclared(size_t length);
  NPT_Result ReadToEnd();

  NPT_InputStream& m_Source;
  const NPT_Size m_MaxFrame;
  NPT_Byte* m_Data;
  size_t m_Capacity;
  // [m_Begin, m_End) holds bytes received and not yet consumed: the current
  // line or frame starts at m_Begin, m_Scan is the first byte not looked at.
  size_t m_Begin;
  size_t m_Scan;
  size_t m_End;
  bool m_Eos;
};
