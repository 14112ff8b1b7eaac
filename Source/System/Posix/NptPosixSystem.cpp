// POSIX system services: CLOCK_REALTIME for the wall clock, nanosleep for
// sleeping, the C library's rand/srand, localtime_r for the time zone, and
// standard error as the debugger channel.

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>

#include "NptSystem.h"
#include "NptTime.h"

namespace {

// Set once the generator has been seeded by GetRandomInteger. Two threads
// racing on the first call may both seed; that is harmless, but the flag itself
// must not be a data race.
std::atomic<bool> s_RandomSeeded(false);

void SleepMillis(NPT_Int64 milliseconds) {
  if (milliseconds <= 0) return;
  struct timespec remaining;
  remaining.tv_sec = (time_t)(milliseconds / 1000);
  remaining.tv_nsec = (long)((milliseconds % 1000) * 1000000);
  // A signal must not shorten the sleep: resume with what is left.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace

NPT_Result NPT_System::GetCurrentTimeStamp(NPT_TimeStamp& now) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  const NPT_Int64 milliseconds = (NPT_Int64)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
  now.SetNanos(milliseconds * 1000000);
  return NPT_SUCCESS;
}

NPT_Result NPT_System::Sleep(const NPT_TimeInterval& duration) {
  SleepMillis(duration.ToNanos() / 1000000);
  return NPT_SUCCESS;
}

NPT_Result NPT_System::SleepUntil(const NPT_TimeStamp& when) {
  NPT_TimeStamp now;
  GetCurrentTimeStamp(now);
  if (when > now) SleepMillis((when - now).ToNanos() / 1000000);
  return NPT_SUCCESS;
}

NPT_UInt32 NPT_System::GetRandomInteger() {
  if (!s_RandomSeeded.load(std::memory_order_acquire)) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    // Deliberately 32-bit wrapping arithmetic.
    const NPT_UInt32 seed = ((NPT_UInt32)ts.tv_sec * 1000u + (NPT_UInt32)(ts.tv_nsec / 1000000)) * 1000000u;
    srand(seed);
    s_RandomSeeded.store(true, std::memory_order_release);
  }
  return (NPT_UInt32)rand();
}

void NPT_System::SetRandomSeed(NPT_UInt32 seed) { srand(seed); }

void NPT_System::WriteDebugText(const char* text) {
  fputs(text, stderr);
  fflush(stderr);
}

NPT_Int32 NPT_DateTime::GetLocalTimeZone() {
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return 0;
  return (NPT_Int32)(local.tm_gmtoff / 60);
}
