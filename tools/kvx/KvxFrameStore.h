#pragma once
// The latest frame of a device stream as JPEG, shared between the device's
// worker (which fills it) and the view relay's connections (which wait for
// newer frames). Raw image/rgb and image/rgba frames are encoded when their
// dimensions are known; others are counted as skipped.
//
// Threads: the KVX_DeviceDelegate callbacks run on the device's worker; every
// other member may be called from any thread.

#include "KvxDevice.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kvx_cli {

using JpegFrame = std::shared_ptr<const std::vector<uint8_t>>;

class FrameStore : public KVX_DeviceDelegate {
 public:
  // `width` x `height`: the dimensions of raw frames (0 x 0: unknown).
  FrameStore(int width, int height) : m_Width(width), m_Height(height) {}

  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) override;
  void OnConnection() override;
  void OnDisconnection() override;

  // Waits (up to `ms`) for a frame newer than *generation; null on time-out,
  // stop or the end of the stream. On success *generation is the frame's.
  JpegFrame Next(uint64_t* generation, int ms);
  // Wakes every waiter for good: Next returns null from now on.
  void Stop();
  bool Stopping();
  void Status(bool* connected, bool* ended, uint64_t* frames, uint64_t* skipped);

 private:
  const int m_Width, m_Height;
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  JpegFrame m_Frame;
  uint64_t m_Generation = 0;
  uint64_t m_Skipped = 0;
  bool m_Connected = false;
  bool m_Ended = false;
  bool m_Stopping = false;
};

}  // namespace kvx_cli
