#include "KvxFrameStore.h"

#include "KvxImage.h"

#include <cctype>

namespace kvx_cli {
namespace {

using Clock = std::chrono::steady_clock;

std::string SizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

}  // namespace

void FrameStore::OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) {
  const std::string sent = content_type ? content_type : "";
  std::string type = sent;
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const int channels = type == "image/rgb" ? 3 : type == "image/rgba" ? 4 : 0;
  int width = 0, height = 0;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Info.size_problem.empty()) return;
    if (channels != 0 && m_Width <= 0 && !DeriveSizeLocked(type, size, channels)) {
      m_Changed.notify_all();
      return;
    }
    width = m_Width;
    height = m_Height;
  }
  // Encoded outside the lock: the relay's connections keep being served.
  std::vector<uint8_t> jpeg;
  if (type == "image/jpeg") {
    jpeg.assign(data, data + size);
    kvx_image::JpegSize(data, static_cast<size_t>(size), &width, &height);
  } else if (channels == 0 ||
             size != static_cast<NPT_UInt64>(width) * static_cast<NPT_UInt64>(height) * channels ||
             !kvx_image::EncodeJpeg(data, width, height, channels, 85, &jpeg)) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Info.skipped++;
    return;
  }
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Frame = std::make_shared<const std::vector<uint8_t>>(std::move(jpeg));
  m_Info.frames++;
  m_Info.bytes += size;
  m_Info.width = width;
  m_Info.height = height;
  m_Info.type = sent;
  m_Recent.push_back(Clock::now());
  m_Changed.notify_all();
}

bool FrameStore::DeriveSizeLocked(const std::string& type, uint64_t length, int channels) {
  const std::vector<kvx_image::PictureSize> sizes = kvx_image::UsualSizesFor(length, channels);
  const std::string frames = type + " frames of " + std::to_string(length) + " bytes";
  if (sizes.size() == 1) {
    m_Width = sizes[0].width;
    m_Height = sizes[0].height;
    m_Info.size_notice = frames + " shown as " + SizeText(m_Width, m_Height) + " (give --size WxH if that is wrong)";
    return true;
  }
  std::string could;
  for (size_t n = 0; n < sizes.size(); ++n) {
    could += (n == 0 ? "" : n + 1 == sizes.size() ? " or " : ", ") + SizeText(sizes[n].width, sizes[n].height);
  }
  m_Info.size_problem = frames + " need --size WxH (" +
                        (sizes.empty() ? std::string("no usual picture size has that length") : "it could be " + could) +
                        ")";
  return false;
}

void FrameStore::OnConnection() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Info.connected = true;
}

void FrameStore::OnDisconnection() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Info.ended = true;
  m_Changed.notify_all();
}

JpegFrame FrameStore::Next(uint64_t* generation, int ms) {
  std::unique_lock<std::mutex> guard(m_Lock);
  m_Changed.wait_for(guard, std::chrono::milliseconds(ms),
                     [&] { return m_Stopping || m_Info.frames > *generation; });
  if (m_Stopping || m_Info.frames <= *generation || !m_Frame) return nullptr;
  *generation = m_Info.frames;
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

FrameInfo FrameStore::Info() {
  std::lock_guard<std::mutex> guard(m_Lock);
  const Clock::time_point now = Clock::now();
  while (!m_Recent.empty() && now - m_Recent.front() > std::chrono::seconds(1)) m_Recent.pop_front();
  m_Info.fps = static_cast<double>(m_Recent.size());
  return m_Info;
}

}  // namespace kvx_cli
