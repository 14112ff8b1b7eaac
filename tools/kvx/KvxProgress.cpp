#include "KvxProgress.h"

#include "KvxCli.h"

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace kvx_cli {

void RateMeter::Update(uint64_t frames, uint64_t bytes, Clock::time_point now) {
  if (!m_Started || frames != m_LastFrames) {
    m_LastFrameAt = now;
    m_LastFrames = frames;
    m_Started = true;
  }
  m_Samples.push_back(Sample{now, frames, bytes});
  // Keep one sample at least a second old as the base of the rate.
  while (m_Samples.size() > 2 && now - m_Samples[1].at >= std::chrono::seconds(1)) m_Samples.pop_front();
  const Sample& base = m_Samples.front();
  const double span = std::chrono::duration<double>(now - base.at).count();
  m_Fps = span > 0 ? static_cast<double>(frames - base.frames) / span : 0;
  m_Bps = span > 0 ? static_cast<double>(bytes - base.bytes) / span : 0;
}

double RateMeter::SecondsWithoutFrames(Clock::time_point now) const {
  return m_Started ? std::chrono::duration<double>(now - m_LastFrameAt).count() : 0;
}

std::string FormatStreamProgress(uint64_t frames, uint64_t bytes, const RateMeter& rate) {
  char text[160];
  const double quiet = rate.SecondsWithoutFrames();
  if (quiet >= kStallSeconds) {
    std::snprintf(text, sizeof(text), "frames %llu  stalled %d s  %s", static_cast<unsigned long long>(frames),
                  static_cast<int>(quiet), FormatMegabytes(bytes).c_str());
  } else {
    std::snprintf(text, sizeof(text), "frames %llu  %.1f fps  %.2f MB/s  %s", static_cast<unsigned long long>(frames),
                  rate.FramesPerSecond(), rate.BytesPerSecond() / 1e6, FormatMegabytes(bytes).c_str());
  }
  return text;
}

ProgressLine::ProgressLine(double plain_period) : m_Terminal(::isatty(2) == 1), m_Period(plain_period) {}

void ProgressLine::Update(const std::string& text, bool force) {
  std::lock_guard<std::mutex> guard(m_Lock);
  const auto now = std::chrono::steady_clock::now();
  const double period = m_Terminal ? 0.25 : m_Period;
  if (!force && m_Shown && std::chrono::duration<double>(now - m_LastShown).count() < period) return;
  m_LastShown = now;
  m_Shown = true;
  if (m_Terminal) {
    // Erase to the end of the line: the new text may be shorter.
    std::fprintf(stderr, "\r%s\033[K", text.c_str());
    m_Drawn = true;
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
  std::fflush(stderr);
}

void ProgressLine::Finish() {
  std::lock_guard<std::mutex> guard(m_Lock);
  if (!m_Drawn) return;
  std::fputc('\n', stderr);
  std::fflush(stderr);
  m_Drawn = false;
}

void ProgressLine::Print(FILE* out, const std::string& line) {
  std::lock_guard<std::mutex> guard(m_Lock);
  ClearLocked();
  std::fprintf(out, "%s\n", line.c_str());
  std::fflush(out);
}

void ProgressLine::ClearLocked() {
  if (!m_Drawn) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  m_Drawn = false;
  // Redrawn at the next update.
  m_Shown = false;
}

}  // namespace kvx_cli
