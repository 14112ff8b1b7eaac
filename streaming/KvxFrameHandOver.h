#pragma once
// KVX_FrameHandOver: the hand-over between a device stream's reader and the
// thread that calls the delegate in latest-frame delivery.
//
// Two buffers: the taker's (the frame being handed over, untouched until the
// next Take) and the pending one, which the reader overwrites with every new
// frame. A frame still pending when the next one arrives is dropped; the
// taker always gets the newest complete frame, never a torn one, and frames
// only ever move forward. The reader never waits for the taker; the taker
// waits for a frame, and for a copy in progress to finish.
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

  KVX_FrameHandOver();
  ~KVX_FrameHandOver();
  KVX_FrameHandOver(const KVX_FrameHandOver&) = delete;
  KVX_FrameHandOver& operator=(const KVX_FrameHandOver&) = delete;

  // Reader: copies a complete frame in. Returns how many frames this drops:
  // the pending one it replaces, and this one when there is no memory to
  // keep it. After Close or Cancel it is ignored (0).
  int Put(const NPT_Byte* data, NPT_UInt64 size, const char* content_type, NPT_UInt64 number);
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
