#pragma once
// Progress of the long-running commands: the current rate (over the last
// second, not the average of the run) and a status line on standard error.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

namespace kvx_cli {

// Frames and bytes per second over the last second, from the running totals
// it is fed, and how long no frame has come. Not thread-safe.
class RateMeter {
 public:
  using Clock = std::chrono::steady_clock;

  // Records the totals at `now` (call it often: every 100 ms or so).
  void Update(uint64_t frames, uint64_t bytes, Clock::time_point now = Clock::now());
  double FramesPerSecond() const { return m_Fps; }
  double BytesPerSecond() const { return m_Bps; }
  // Seconds since the total of frames last grew (since the first Update when
  // it never did).
  double SecondsWithoutFrames(Clock::time_point now = Clock::now()) const;

 private:
  struct Sample {
    Clock::time_point at;
    uint64_t frames, bytes;
  };
  std::deque<Sample> m_Samples;
  double m_Fps = 0, m_Bps = 0;
  Clock::time_point m_LastFrameAt;
  uint64_t m_LastFrames = 0;
  bool m_Started = false;
};

// How a stream's progress reads: "frames 120  30.0 fps  1.23 MB/s  12.34 MB",
// or "frames 120  stalled 4 s  12.34 MB" once no frame has come for
// kStallSeconds.
constexpr double kStallSeconds = 2;
std::string FormatStreamProgress(uint64_t frames, uint64_t bytes, const RateMeter& rate);

// One status line on standard error: redrawn in place on a terminal at most
// four times a second, otherwise printed as a new line every `plain_period`
// seconds. Lines printed by others go through Print, which clears a line
// drawn in place first. Thread-safe.
class ProgressLine {
 public:
  explicit ProgressLine(double plain_period);
  ~ProgressLine() { Finish(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Shows `text` when its time has come, or at once with `force`.
  void Update(const std::string& text, bool force = false);
  // Ends a line drawn in place. Idempotent.
  void Finish();
  // Writes `line` and a line break to `out`, keeping the status line clear of
  // it.
  void Print(FILE* out, const std::string& line);

 private:
  void ClearLocked();

  const bool m_Terminal;
  const double m_Period;
  std::mutex m_Lock;
  std::chrono::steady_clock::time_point m_LastShown;
  bool m_Shown = false;
  bool m_Drawn = false;  // a line in place is on the terminal
};

}  // namespace kvx_cli
