#pragma once
// NPT_BufferedInputStream: a buffering reader over another input stream, with
// line reading. The storage is allocated at the first fill. A buffer size of 0
// is unbuffered mode: bytes still buffered are served first, then Read passes
// the caller's whole request to the source and ReadLine takes the source one
// byte at a time, so that not a byte past the line or the request is consumed.
// Lines end at CR LF, at a lone LF, and (with break_on_cr) at a lone CR; the
// terminator is never stored. After a line ended at a CR, an LF that follows
// is dropped by the next ReadLine or Read.
// Once the source has reported its end, later fills return NPT_ERROR_EOS
// without asking the source again. A source read that succeeds without a
// byte is NPT_ERROR_INTERNAL wherever this stream reads for itself (fills
// and unbuffered line reading).

#include "NptResults.h"
#include "NptStreams.h"
#include "NptStrings.h"
#include "NptTypes.h"

#define NPT_BUFFERED_BYTE_STREAM_DEFAULT_SIZE 4096

class NPT_BufferedInputStream : public NPT_InputStream {
 public:
  NPT_BufferedInputStream(const NPT_InputStreamReference& source,
                          NPT_Size buffer_size = NPT_BUFFERED_BYTE_STREAM_DEFAULT_SIZE);
  ~NPT_BufferedInputStream() override;

  NPT_Result Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read = nullptr) override;
  // Not supported: NPT_ERROR_NOT_IMPLEMENTED (Tell also reports position 0).
  NPT_Result Seek(NPT_Position offset) override;
  NPT_Result Tell(NPT_Position& offset) override;
  // The source's size.
  NPT_Result GetSize(NPT_LargeSize& size) override;
  // Buffered bytes plus what the source has available. If the source fails,
  // the buffered count, with success only when it is not 0.
  NPT_Result GetAvailable(NPT_LargeSize& available) override;

  // Reads one line into `buffer` of `size` bytes: at most size - 1 characters,
  // always followed by a NUL. `chars_read` (optional) gets the number stored.
  // Results: NPT_ERROR_INVALID_PARAMETERS for a null buffer or size 0;
  // NPT_ERROR_NOT_ENOUGH_SPACE when the line is longer (the first character
  // that did not fit is consumed); NPT_ERROR_EOS at the end with nothing
  // stored (a last line without terminator is returned with success first);
  // the source's error otherwise.
  virtual NPT_Result ReadLine(char* buffer, NPT_Size size, NPT_Size* chars_read = nullptr, bool break_on_cr = false);
  // The same into `line`, at most max_chars - 1 characters. On failure `line`
  // is empty.
  virtual NPT_Result ReadLine(NPT_String& line, NPT_Size max_chars = 4096, bool break_on_cr = false);
  // As ReadLine into `line`, for protocols whose lines must be complete: a
  // last line that the end of the stream cuts short before its terminator is
  // NPT_ERROR_EOS (its characters are consumed; `line` is empty).
  NPT_Result ReadWholeLine(NPT_String& line, NPT_Size max_chars, bool break_on_cr = false);
  // Sets the buffer size (0 = unbuffered mode). Existing storage is replaced
  // when growing or when `force` is set, unread bytes moving to its start;
  // shrinking without force keeps the storage, whose unread bytes are still
  // served first. A forced size smaller than the unread bytes is refused with
  // NPT_ERROR_INVALID_PARAMETERS and changes nothing.
  virtual NPT_Result SetBufferSize(NPT_Size size, bool force = false);
  // Copies up to bytes_to_read buffered bytes without consuming them, filling
  // the buffer (4096 bytes in unbuffered mode) when it holds fewer than asked.
  virtual NPT_Result Peek(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read = nullptr);

 protected:
  // ReadLine (char form); `terminated` (optional) tells whether the line
  // ended at its terminator rather than at the end of the stream.
  NPT_Result ReadLineInto(char* buffer, NPT_Size size, NPT_Size* chars_read, bool break_on_cr, bool* terminated);
  // Refills an empty buffer from the source.
  virtual NPT_Result FillBuffer();
  // Frees the storage; nothing buffered afterwards.
  virtual NPT_Result ReleaseBuffer();

  NPT_InputStreamReference m_Source;
  bool m_SkipNewline;
  bool m_Eos;
  struct {
    NPT_Byte* data;
    NPT_Size offset;
    NPT_Size valid;
    NPT_Size size;
  } m_Buffer;
};

typedef NPT_Reference<NPT_BufferedInputStream> NPT_BufferedInputStreamReference;
