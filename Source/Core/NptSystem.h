#pragma once
// Small operating-system services: the wall clock, sleeping and the process's
// pseudo-random generator. All static; callable from any thread.

#include "NptResults.h"
#include "NptTime.h"
#include "NptTypes.h"

class NPT_System {
 public:
  // Wall-clock time read with millisecond resolution, as nanoseconds since
  // 1970-01-01 UTC ((seconds x 1000 + milliseconds) x 10^6). Always succeeds.
  static NPT_Result GetCurrentTimeStamp(NPT_TimeStamp& now);

  // Suspends the calling thread for duration / 10^6 whole milliseconds
  // (durations under 1 ms sleep 0 ms; negative ones do not sleep). Succeeds.
  static NPT_Result Sleep(const NPT_TimeInterval& duration);

  // Returns at once when `when` is not in the future; otherwise sleeps for the
  // difference in whole milliseconds. Succeeds.
  static NPT_Result SleepUntil(const NPT_TimeStamp& when);

  // The next value of the C library's generator (rand). The first call in the
  // process seeds the generator from the wall clock. Not cryptographic.
  static NPT_UInt32 GetRandomInteger();

  // Writes a NUL-terminated text whole to the platform's debugger channel:
  // standard error (flushed) on Linux, OutputDebugString on Windows.
  static void WriteDebugText(const char* text);

  // Reseeds the C library's generator (srand). Runtime threads call this when
  // they start so that threads started in the same instant draw differently.
  static void SetRandomSeed(NPT_UInt32 seed);
};
