#pragma once
// The latest frame of a device stream as JPEG, shared between the device's
// worker (which fills it) and the view relay's connections (which wait for
// newer frames), with what the viewer page shows about the stream. Raw
// image/rgb and image/rgba frames are encoded when their dimensions are known:
// given, or derived from the first frame's length when exactly one usual
// picture size fits it. When none or several fit, the store reports the
// problem (Info().size_problem) and takes no frame.
//
// Threads: the KVX_DeviceDelegate callbacks run on the device's worker; every
// other member may be called from any thread.

#include "KvxDevice.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kvx_cli {

using JpegFrame = std::shared_ptr<const std::vector<uint8_t>>;

// What the store saw of the stream.
struct FrameInfo {
  bool connected = false;
  bool ended = false;        // OnDisconnection
  uint64_t frames = 0;       // frames taken (relayed)
  uint64_t bytes = 0;        // their sizes as received
  uint64_t skipped = 0;      // raw frames whose length did not match the size
  double fps = 0;            // frames taken in the last second
  int width = 0;             // of the last frame taken
  int height = 0;
  std::string type;          // its content type, as sent
  std::string size_notice;   // how raw frames are read when the size was derived
  std::string size_problem;  // why raw frames cannot be shown (the run should end)
};

class FrameStore : public KVX_DeviceDelegate {
 public:
  // `width` x `height`: the dimensions of raw frames (0 x 0: not given).
  FrameStore(int width, int height) : m_Width(width), m_Height(height) {}

  void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) override;
  void OnConnection() override;
  void OnDisconnection() override;

  // Waits (up to `ms`) for a frame newer than *generation; null on time-out
  // or stop. On success *generation is the frame's.
  JpegFrame Next(uint64_t* generation, int ms);
  // Wakes every waiter for good: Next returns null from now on.
  void Stop();
  bool Stopping();
  FrameInfo Info();

 private:
  // The raw frames' dimensions from their length; m_Lock held. False, with
  // m_Info.size_problem set, when they cannot be told.
  bool DeriveSizeLocked(const std::string& type, uint64_t length, int channels);

  std::mutex m_Lock;
  std::condition_variable m_Changed;
  int m_Width, m_Height;  // m_Lock
  JpegFrame m_Frame;
  FrameInfo m_Info;
  std::deque<std::chrono::steady_clock::time_point> m_Recent;  // arrivals in the last second
  bool m_Stopping = false;
};

}  // namespace kvx_cli
