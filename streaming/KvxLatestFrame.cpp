// KVX_LatestFrame: see the header. The copy runs outside the lock, so a taker
// that comes back meanwhile waits only for that one copy.

#include "KvxLatestFrame.h"

#include <cstring>
#include <new>

KVX_LatestFrame::KVX_LatestFrame() {
  // Room for any of the frame types up front, so that switching between them
  // never allocates.
  for (Buffer& buffer : m_Buffers) buffer.content_type.Reserve(32);
}

KVX_LatestFrame::~KVX_LatestFrame() {
  for (Buffer& buffer : m_Buffers) delete[] buffer.bytes;
}

bool KVX_LatestFrame::Reserve(Buffer& buffer, NPT_UInt64 size) {
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

KVX_LatestFrame::PutResult KVX_LatestFrame::Put(const NPT_Byte* data, NPT_UInt64 size, const char* content_type,
                                                NPT_UInt64 number) {
  Buffer* pending;
  bool replaced;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Closed || m_Cancelled) return kStored;
    replaced = m_Ready;
    m_Ready = false;
    m_Writing = true;
    pending = &m_Buffers[1 - m_Taken];
  }
  // The taker leaves the pending buffer alone while m_Writing is set.
  const bool stored = Reserve(*pending, size);
  if (stored) {
    if (size) std::memcpy(pending->bytes, data, static_cast<size_t>(size));
    pending->size = size;
    pending->content_type = content_type ? content_type : "";
    pending->number = number;
  }
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Writing = false;
    m_Ready = stored;
  }
  m_Changed.notify_one();
  if (!stored) return kNoMemory;
  return replaced ? kReplaced : kStored;
}

void KVX_LatestFrame::Close() {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Closed = true;
  }
  m_Changed.notify_one();
}

void KVX_LatestFrame::Cancel() {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Cancelled = true;
  }
  m_Changed.notify_one();
}

bool KVX_LatestFrame::Take(Frame& frame) {
  std::unique_lock<std::mutex> lock(m_Lock);
  // A closed reader may still be finishing nothing: Close comes after its
  // last Put, so m_Writing is false by then.
  m_Changed.wait(lock, [this] { return m_Cancelled || m_Ready || (m_Closed && !m_Writing); });
  if (m_Cancelled || !m_Ready) return false;
  m_Taken = 1 - m_Taken;
  m_Ready = false;
  const Buffer& taken = m_Buffers[m_Taken];
  frame.data = taken.bytes;
  frame.size = taken.size;
  frame.content_type = taken.content_type.GetChars();
  frame.number = taken.number;
  return true;
}
