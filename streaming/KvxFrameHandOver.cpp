// KVX_FrameHandOver: see the header. The copy runs outside the lock, so a taker
// that comes back meanwhile waits only for that one copy.

#include "KvxFrameHandOver.h"

#include <cstring>
#include <new>

KVX_FrameHandOver::KVX_FrameHandOver() {
  // Room for any of the frame types up front, so that switching between them
  // never allocates.
  for (Buffer& buffer : m_Buffers) buffer.content_type.Reserve(32);
}

KVX_FrameHandOver::~KVX_FrameHandOver() {
  for (Buffer& buffer : m_Buffers) delete[] buffer.bytes;
}

bool KVX_FrameHandOver::Reserve(Buffer& buffer, NPT_UInt64 size) {
  if (size <= buffer.capacity) return true;
  // A quarter more than asked: JPEG frames vary, and each new largest one
  // would otherwise allocate again.
  NPT_UInt64 capacity = size + size / 4;
  if (capacity < size || capacity > static_cast<NPT_UInt64>(static_cast<size_t>(-1))) capacity = size;
  NPT_Byte* bytes = new (std::nothrow) NPT_Byte[static_cast<size_t>(capacity)];
  if (bytes == nullptr && capacity != size) {
    capacity = size;
    bytes = new (std::nothrow) NPT_Byte[static_cast<size_t>(capacity)];
  }
  if (bytes == nullptr) return false;
  delete[] buffer.bytes;
  buffer.bytes = bytes;
  buffer.capacity = capacity;
  return true;
}

int KVX_FrameHandOver::Put(const NPT_Byte* data, NPT_UInt64 size, const char* content_type, NPT_UInt64 number) {
  Buffer* pending;
  bool replaced;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Closed || m_Cancelled) return 0;
    replaced = m_Ready;
    m_Ready = false;
    pending = &m_Buffers[1 - m_Taken];
  }
  // The taker leaves the pending buffer alone until m_Ready is set.
  const bool stored = Reserve(*pending, size);
  if (stored) {
    if (size) std::memcpy(pending->bytes, data, static_cast<size_t>(size));
    pending->size = size;
    pending->content_type = content_type ? content_type : "";
    pending->number = number;
  }
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Ready = stored;
  }
  m_Changed.notify_all();
  return (replaced ? 1 : 0) + (stored ? 0 : 1);
}

void KVX_FrameHandOver::Close() {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Closed = true;
  }
  m_Changed.notify_all();
}

void KVX_FrameHandOver::Cancel() {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Cancelled = true;
  }
  m_Changed.notify_all();
}

bool KVX_FrameHandOver::Take(Frame& frame) {
  {
    std::unique_lock<std::mutex> lock(m_Lock);
    // Close comes after the reader's last Put, so nothing is being written
    // once it is closed.
    m_Changed.wait(lock, [this] { return m_Cancelled || m_Ready || m_Closed; });
    if (m_Cancelled || !m_Ready) return false;
    m_Taken = 1 - m_Taken;
    m_Ready = false;
    const Buffer& taken = m_Buffers[m_Taken];
    frame.data = taken.bytes;
    frame.size = taken.size;
    frame.content_type = taken.content_type.GetChars();
    frame.number = taken.number;
  }
  return true;
}
