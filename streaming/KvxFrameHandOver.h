#pragma once
// KVX_FrameHandOver: the hand-over between a device stream's reader and the
// thread that calls the delegate, when the two run apart (latest-frame
// delivery, and every frame read ahead).
//
// Two buffers: the taker's (the frame being handed over, untouched until the
// next Take) and the pending one, which the reader fills with the next
// frame. When a frame is still pending as the next one arrives, kReplace
// drops it (the taker always gets the newest complete frame, and the reader
// never waits for the taker) and kWait makes the reader wait until it has
// been taken (every frame is handed over, the reader one frame ahead). Either
// way frames are never torn and only move forward; the taker waits for a
// frame, and for a copy in progress to finish.
//
// No allocation once both buffers have grown to the largest frame (they grow
// with some room, so that slowly growing frames do not allocate each time).
//
// Threads: one reader (Put, Close) and one taker (Take); Cancel from any
// thread. Nothing throws.

#include <condition_variable>
#include <mutex>

#include "NptStrings.h"
#include "NptTypes.h"

class KVX_FrameHandOver {
 public:
  // A frame as handed over; valid until the taker's next Take.
  struct Frame {
    const NPT_Byte* data = nullptr;
    NPT_UInt64 size = 0;
    const char* content_type = "";
    // As given to Put.
    NPT_UInt64 number = 0;
  };

  enum PutResult {
    kStored,
    // Stored, and an earlier frame not yet taken is gone (kReplace).
    kReplaced,
    // Not stored (no memory for it); an earlier frame not yet taken is gone
    // too, as the buffer had started to be overwritten.
    kNoMemory,
  };

  enum Policy {
    // A frame not yet taken is replaced by the next one (dropped).
    kReplace,
    // Put waits until the pending frame has been taken.
    kWait,
  };

  explicit KVX_FrameHandOver(Policy policy);
  ~KVX_FrameHandOver();
  KVX_FrameHandOver(const KVX_FrameHandOver&) = delete;
  KVX_FrameHandOver& operator=(const KVX_FrameHandOver&) = delete;

  // Reader: copies a complete frame in (with kWait, once the pending one has
  // been taken). After Close or Cancel it is ignored (kStored); Cancel ends a
  // wait.
  PutResult Put(const NPT_Byte* data, NPT_UInt64 size, const char* content_type, NPT_UInt64 number);
  // Reader: no more frames. A pending frame is still taken.
  void Close();
  // Any thread: Take returns false at once from now on; a pending frame is
  // not handed over.
  void Cancel();
  // Taker: waits for a pending frame and takes it (true), or returns false
  // once cancelled, or closed with nothing pending.
  bool Take(Frame& frame);

 private:
  struct Buffer {
    NPT_Byte* bytes = nullptr;
    NPT_UInt64 capacity = 0;
    NPT_UInt64 size = 0;
    NPT_String content_type;
    NPT_UInt64 number = 0;
  };
  // Makes room for `size` bytes; false when memory is short.
  static bool Reserve(Buffer& buffer, NPT_UInt64 size);

  const Policy m_Policy;
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  Buffer m_Buffers[2];
  // Index of the taker's buffer; the other one is pending.
  int m_Taken = 0;
  // The pending buffer holds a complete frame not yet taken.
  bool m_Ready = false;
  bool m_Closed = false;
  bool m_Cancelled = false;
};
