#include "KvxFrameStore.h"

#include "KvxImage.h"

#include <cctype>
#include <chrono>
#include <string>

namespace kvx_cli {

void FrameStore::OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) {
  std::string type = content_type ? content_type : "";
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::vector<uint8_t> jpeg;
  if (type == "image/jpeg") {
    jpeg.assign(data, data + size);
  } else {
    const int channels = type == "image/rgb" ? 3 : type == "image/rgba" ? 4 : 0;
    if (channels == 0 || m_Width <= 0 ||
        size != static_cast<NPT_UInt64>(m_Width) * static_cast<NPT_UInt64>(m_Height) * channels ||
        !kvx_image::EncodeJpeg(data, m_Width, m_Height, channels, 85, &jpeg)) {
      std::lock_guard<std::mutex> guard(m_Lock);
      m_Skipped++;
      return;
    }
  }
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Frame = std::make_shared<const std::vector<uint8_t>>(std::move(jpeg));
  m_Generation++;
  m_Changed.notify_all();
}

void FrameStore::OnConnection() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Connected = true;
}

void FrameStore::OnDisconnection() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Ended = true;
  m_Changed.notify_all();
}

JpegFrame FrameStore::Next(uint64_t* generation, int ms) {
  std::unique_lock<std::mutex> guard(m_Lock);
  m_Changed.wait_for(guard, std::chrono::milliseconds(ms),
                     [&] { return m_Stopping || m_Ended || m_Generation > *generation; });
  if (m_Stopping || m_Generation <= *generation || !m_Frame) return nullptr;
  *generation = m_Generation;
  return m_Frame;
}

void FrameStore::Stop() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Stopping = true;
  m_Changed.notify_all();
}

bool FrameStore::Stopping() {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Stopping;
}

void FrameStore::Status(bool* connected, bool* ended, uint64_t* frames, uint64_t* skipped) {
  std::lock_guard<std::mutex> guard(m_Lock);
  *connected = m_Connected;
  *ended = m_Ended;
  *frames = m_Generation;
  *skipped = m_Skipped;
}

}  // namespace kvx_cli
