// Win32 system services: the system time for the wall clock, Sleep, the C
// runtime's rand/srand (whose state is per thread here), the time-zone bias
// and OutputDebugString as the debugger channel.

#include <windows.h>

#include <cstdlib>

#include "NptSystem.h"
#include "NptTime.h"

namespace {

// Milliseconds since 1970-01-01 UTC.
NPT_Int64 CurrentMilliseconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks;  // 100 ns units since 1601-01-01
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  const NPT_UInt64 kEpochDifference = 116444736000000000ULL;
  return (NPT_Int64)((ticks.QuadPart - kEpochDifference) / 10000u);
}

void SleepMillis(NPT_Int64 milliseconds) {
  if (milliseconds <= 0) return;
  while (milliseconds > 0) {
    // Sleep(INFINITE) would never return: sleep long waits in pieces.
    const DWORD piece = milliseconds >= (NPT_Int64)INFINITE ? INFINITE - 1 : (DWORD)milliseconds;
    Sleep(piece);
    milliseconds -= piece;
  }
}

// The generator's state belongs to the calling thread, so the "seeded yet"
// mark does too: every thread that draws gets a seeded generator.
thread_local bool t_RandomSeeded = false;

}  // namespace

NPT_Result NPT_System::GetCurrentTimeStamp(NPT_TimeStamp& now) {
  now.SetNanos(CurrentMilliseconds() * 1000000);
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
  if (!t_RandomSeeded) {
    // Deliberately 32-bit wrapping arithmetic.
    const NPT_UInt32 seed = (NPT_UInt32)CurrentMilliseconds() * 1000000u;
    srand(seed);
    t_RandomSeeded = true;
  }
  return (NPT_UInt32)rand();
}

void NPT_System::SetRandomSeed(NPT_UInt32 seed) {
  srand(seed);
  t_RandomSeeded = true;
}

void NPT_System::WriteDebugText(const char* text) { OutputDebugStringA(text); }

NPT_Int32 NPT_DateTime::GetLocalTimeZone() {
  TIME_ZONE_INFORMATION zone;
  const DWORD kind = GetTimeZoneInformation(&zone);
  if (kind == TIME_ZONE_ID_INVALID) return 0;
  LONG bias = zone.Bias;  // minutes to add to local time to get UTC
  if (kind == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  if (kind == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  return (NPT_Int32)-bias;
}
