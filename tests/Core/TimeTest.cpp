// Time stamps, sleeping, random numbers and calendar formatting.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <climits>
#include <set>
#include <string>

#include "NptStrings.h"
#include "NptSystem.h"
#include "NptTime.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

using kvx_test::ElapsedMs;

// 1994-11-06 08:49:37 UTC, a Sunday.
const NPT_Int64 kSunday1994 = 784111777LL;

NPT_DateTime MakeDate(int year, int month, int day, int hours, int minutes, int seconds, int nanos = 0, int zone = 0) {
  NPT_DateTime date;
  date.m_Year = year;
  date.m_Month = month;
  date.m_Day = day;
  date.m_Hours = hours;
  date.m_Minutes = minutes;
  date.m_Seconds = seconds;
  date.m_NanoSeconds = nanos;
  date.m_TimeZone = zone;
  return date;
}

TEST(TimeStampTest, ConstructionAndConversions) {
  struct Case {
    double seconds;
    NPT_Int64 nanos;
  } cases[] = {
      {0.0015, 1500000}, {1.0, 1000000000}, {-2.5, -2500000000LL}, {1e-10, 0}, {-1e-10, 0}, {123.000000001, 123000000001LL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NPT_TimeStamp(c.seconds).ToNanos(), c.nanos) << c.seconds;
  }

  struct Division {
    NPT_Int64 nanos, millis, seconds;
  } divisions[] = {
      {1999999999, 1999, 1}, {999999, 0, 0}, {-1500000, -1, 0}, {-2999999999LL, -2999, -2},
  };
  for (const Division& d : divisions) {
    NPT_TimeStamp t((NPT_Int64)d.nanos);
    EXPECT_EQ(t.ToMillis(), d.millis) << d.nanos;
    EXPECT_EQ(t.ToSeconds(), d.seconds) << d.nanos;
  }

  NPT_TimeStamp a(1.5), b((NPT_Int64)250000000);
  EXPECT_EQ((a + b).ToNanos(), 1750000000);
  EXPECT_EQ((a - b).ToNanos(), 1250000000);
  EXPECT_EQ((b - a).ToNanos(), -1250000000);
  a += b;
  EXPECT_EQ(a.ToMillis(), 1750);
  a -= b;
  EXPECT_TRUE(b < a && a > b && b <= a && a >= a && a == NPT_TimeStamp(1.5) && a != b);
  EXPECT_FALSE(a < b || a <= b || b > a);

  NPT_TimeStamp t;
  t.SetMillis(42);
  EXPECT_EQ(t.ToNanos(), 42000000);
  t.SetSeconds(-3);
  EXPECT_EQ(t.ToNanos(), -3000000000LL);
}

TEST(SystemTest, CurrentTimeStampIsWallClockInWholeMilliseconds) {
  NPT_TimeStamp now(5.0);
  ASSERT_EQ(NPT_System::GetCurrentTimeStamp(now), NPT_SUCCESS);
  EXPECT_EQ(now.ToNanos() % 1000000, 0);
  const long long reference =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_LE(std::llabs(now.ToMillis() - reference), 1000);
}

TEST(SystemTest, SleepUsesWholeMilliseconds) {
  Clock::time_point start = Clock::now();
  ASSERT_EQ(NPT_System::Sleep(NPT_TimeStamp(0.05)), NPT_SUCCESS);
  EXPECT_GE(ElapsedMs(start), 50);

  // 1.5 ms sleeps 1 ms: at least one, nowhere near a second.
  auto precise = Clock::now();
  ASSERT_EQ(NPT_System::Sleep(NPT_TimeStamp(0.0015)), NPT_SUCCESS);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - precise).count(), 1000);

  // Under a millisecond, and negative durations, do not sleep.
  start = Clock::now();
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(NPT_System::Sleep(NPT_TimeStamp((NPT_Int64)999999)), NPT_SUCCESS);
    ASSERT_EQ(NPT_System::Sleep(NPT_TimeStamp(-1.0)), NPT_SUCCESS);
  }
  EXPECT_LT(ElapsedMs(start), 100);
}

TEST(SystemTest, SleepUntil) {
  NPT_TimeStamp now;
  NPT_System::GetCurrentTimeStamp(now);

  Clock::time_point start = Clock::now();
  EXPECT_EQ(NPT_System::SleepUntil(now - NPT_TimeStamp(10.0)), NPT_SUCCESS);
  EXPECT_EQ(NPT_System::SleepUntil(now), NPT_SUCCESS);
  EXPECT_LT(ElapsedMs(start), 100);

  NPT_System::GetCurrentTimeStamp(now);
  start = Clock::now();
  EXPECT_EQ(NPT_System::SleepUntil(now + NPT_TimeStamp(0.08)), NPT_SUCCESS);
  const long long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 75);  // the clock reads whole milliseconds
  EXPECT_LT(elapsed, 2000);
}

TEST(SystemTest, RandomIntegersComeFromTheCLibraryGenerator) {
  NPT_System::GetRandomInteger();  // the process seed is in place from here on

  NPT_System::SetRandomSeed(4242);
  NPT_UInt32 ours[16];
  for (NPT_UInt32& value : ours) value = NPT_System::GetRandomInteger();
  srand(4242);
  for (NPT_UInt32 value : ours) EXPECT_EQ(value, (NPT_UInt32)rand());

  // Consumers take the low four bits; over many draws all sixteen appear.
  std::set<NPT_UInt32> nibbles;
  for (int i = 0; i < 2000; ++i) {
    NPT_UInt32 value = NPT_System::GetRandomInteger();
    ASSERT_LE(value, (NPT_UInt32)RAND_MAX);
    nibbles.insert(value & 0xF);
  }
  EXPECT_EQ(nibbles.size(), 16u);
}

// Runs in a fresh process: exits 0 when the first random integer is the first
// value of the generator seeded from a clock reading taken around the call.
void FirstRandomIntegerMatchesClockSeed() {
  struct timespec before, after;
  clock_gettime(CLOCK_REALTIME, &before);
  NPT_UInt32 first = NPT_System::GetRandomInteger();
  clock_gettime(CLOCK_REALTIME, &after);
  long long from = (long long)before.tv_sec * 1000 + before.tv_nsec / 1000000;
  long long to = (long long)after.tv_sec * 1000 + after.tv_nsec / 1000000;
  bool matched = false;
  for (long long ms = from; ms <= to && !matched; ++ms) {
    NPT_UInt32 seed = ((NPT_UInt32)(ms / 1000) * 1000u + (NPT_UInt32)(ms % 1000)) * 1000000u;
    srand(seed);
    matched = (NPT_UInt32)rand() == first;
  }
  exit(matched ? 0 : 1);
}

// The first call in a fresh process seeds with (s*1000 + ms) * 10^6 in
// wrapping 32-bit arithmetic. A death-test child is a fresh process.
TEST(SystemDeathTest, FirstRandomIntegerSeedsFromTheClock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(FirstRandomIntegerMatchesClockSeed(), ::testing::ExitedWithCode(0), "");
}

TEST(DateTimeTest, FourFormats) {
  NPT_DateTime date(NPT_TimeStamp((NPT_Int64)(kSunday1994 * 1000000000LL + 123456789)));
  ASSERT_EQ(date.Validate(), NPT_SUCCESS);

  NPT_DateTime plus90 = date;
  ASSERT_EQ(plus90.ChangeTimeZone(90), NPT_SUCCESS);
  NPT_DateTime minus300 = date;
  ASSERT_EQ(minus300.ChangeTimeZone(-300), NPT_SUCCESS);
  NPT_DateTime december = MakeDate(2008, 12, 25, 23, 5, 9);

  struct Case {
    const NPT_DateTime* date;
    NPT_DateTime::Format format;
    NPT_Flags flags;
    const char* expected;
  } cases[] = {
      {&date, NPT_DateTime::FORMAT_ANSI, 0, "Sun Nov  6 08:49:37 1994"},
      {&december, NPT_DateTime::FORMAT_ANSI, 0, "Thu Dec 25 23:05:09 2008"},
      {&date, NPT_DateTime::FORMAT_W3C, 0, "1994-11-06T08:49:37Z"},
      {&date, NPT_DateTime::FORMAT_W3C, NPT_DateTime::FLAG_EMIT_FRACTION, "1994-11-06T08:49:37.123Z"},
      {&date, NPT_DateTime::FORMAT_W3C, NPT_DateTime::FLAG_EMIT_FRACTION | NPT_DateTime::FLAG_EXTENDED_PRECISION,
       "1994-11-06T08:49:37.123456789Z"},
      {&date, NPT_DateTime::FORMAT_W3C, NPT_DateTime::FLAG_EXTENDED_PRECISION, "1994-11-06T08:49:37Z"},
      {&plus90, NPT_DateTime::FORMAT_W3C, 0, "1994-11-06T10:19:37+01:30"},
      {&minus300, NPT_DateTime::FORMAT_W3C, NPT_DateTime::FLAG_EMIT_FRACTION, "1994-11-06T03:49:37.123-05:00"},
      {&date, NPT_DateTime::FORMAT_RFC_1123, 0, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {&plus90, NPT_DateTime::FORMAT_RFC_1123, 0, "Sun, 06 Nov 1994 10:19:37 +0130"},
      {&minus300, NPT_DateTime::FORMAT_RFC_1123, 0, "Sun, 06 Nov 1994 03:49:37 -0500"},
      {&december, NPT_DateTime::FORMAT_RFC_1123, 0, "Thu, 25 Dec 2008 23:05:09 GMT"},
      {&date, NPT_DateTime::FORMAT_RFC_1036, 0, "Sunday, 06-Nov-94 08:49:37 GMT"},
      {&minus300, NPT_DateTime::FORMAT_RFC_1036, 0, "Sunday, 06-Nov-94 03:49:37 -0500"},
      {&december, NPT_DateTime::FORMAT_RFC_1036, 0, "Thursday, 25-Dec-08 23:05:09 GMT"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(c.date->ToString(c.format, c.flags).GetChars(), c.expected);
  }
  EXPECT_TRUE(date.ToString((NPT_DateTime::Format)4).IsEmpty());
}

TEST(DateTimeTest, ValidationRanges) {
  struct Case {
    NPT_DateTime date;
    NPT_Result expected;
  } cases[] = {
      {MakeDate(1901, 1, 1, 0, 0, 0), NPT_SUCCESS},
      {MakeDate(2262, 12, 31, 23, 59, 59, 999999999, 720), NPT_SUCCESS},
      {MakeDate(2000, 6, 15, 12, 0, 0, 0, -720), NPT_SUCCESS},
      {MakeDate(1900, 12, 31, 23, 59, 59), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2263, 1, 1, 0, 0, 0), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 0, 1, 0, 0, 0), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 13, 1, 0, 0, 0), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 1, 0, 0, 0, 0), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 1, 32, 0, 0, 0), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 1, 1, -1, 0, 0), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 1, 1, 24, 0, 0), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 1, 1, 0, 60, 0), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 1, 1, 0, -1, 0), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 1, 1, 0, 0, 60), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 1, 1, 0, 0, 0, 1000000000), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 1, 1, 0, 0, 0, -1), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 1, 1, 0, 0, 0, 0, 721), NPT_ERROR_OUT_OF_RANGE},
      {MakeDate(2000, 1, 1, 0, 0, 0, 0, -721), NPT_ERROR_OUT_OF_RANGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.date.m_Year * 10000 + c.date.m_Month * 100 + c.date.m_Day);
    EXPECT_EQ(c.date.Validate(), c.expected);
    NPT_TimeStamp stamp(7.0);
    NPT_Result converted = c.date.ToTimeStamp(stamp);
    if (c.expected != NPT_SUCCESS) {
      EXPECT_EQ(converted, NPT_ERROR_OUT_OF_RANGE);
      EXPECT_EQ(stamp.ToNanos(), 0);  // reset on failure
      for (int format = 0; format < 4; ++format) {
        EXPECT_TRUE(c.date.ToString((NPT_DateTime::Format)format).IsEmpty()) << format;
      }
    }
  }
  EXPECT_TRUE(NPT_DateTime().ToString().IsEmpty());
}

TEST(DateTimeTest, FromTimeStampRangeAndRoundTrips) {
  struct Case {
    NPT_Int64 nanos;
    const char* w3c;  // full precision; null when out of range
  } cases[] = {
      {0, "1970-01-01T00:00:00.000000000Z"},
      {-1, "1969-12-31T23:59:59.999999999Z"},
      {951782400LL * 1000000000LL, "2000-02-29T00:00:00.000000000Z"},
      {-2177452800LL * 1000000000LL, "1901-01-01T00:00:00.000000000Z"},
      {-2177452801LL * 1000000000LL, nullptr},  // 1900-12-31T23:59:59
      {INT64_MAX, "2262-04-11T23:47:16.854775807Z"},
      {INT64_MIN, nullptr},  // 1677
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nanos);
    NPT_DateTime date;
    date.m_Year = 5;
    NPT_Result result = date.FromTimeStamp(NPT_TimeStamp(c.nanos));
    if (!c.w3c) {
      EXPECT_EQ(result, NPT_ERROR_OUT_OF_RANGE);
      EXPECT_EQ(date.m_Year, 0);
      continue;
    }
    ASSERT_EQ(result, NPT_SUCCESS);
    EXPECT_STREQ(date.ToString(NPT_DateTime::FORMAT_W3C, NPT_DateTime::FLAG_EMIT_FRACTION |
                                                             NPT_DateTime::FLAG_EXTENDED_PRECISION)
                     .GetChars(),
                 c.w3c);
    NPT_TimeStamp back;
    ASSERT_EQ(date.ToTimeStamp(back), NPT_SUCCESS);
    EXPECT_EQ(back.ToNanos(), c.nanos);
  }
}

TEST(DateTimeTest, ToTimeStampSubtractsTheOffsetAndRefusesOverflow) {
  NPT_TimeStamp stamp;
  ASSERT_EQ(MakeDate(1970, 1, 1, 1, 30, 0, 0, 90).ToTimeStamp(stamp), NPT_SUCCESS);
  EXPECT_EQ(stamp.ToNanos(), 0);
  ASSERT_EQ(MakeDate(1969, 12, 31, 19, 0, 0, 5, -300).ToTimeStamp(stamp), NPT_SUCCESS);
  EXPECT_EQ(stamp.ToNanos(), 5);

  // Valid dates past what 64-bit nanoseconds hold must not wrap around.
  stamp = NPT_TimeStamp(1.0);
  EXPECT_EQ(MakeDate(2262, 4, 11, 23, 47, 16, 854775808).ToTimeStamp(stamp), NPT_ERROR_OUT_OF_RANGE);
  EXPECT_EQ(stamp.ToNanos(), 0);
  EXPECT_EQ(MakeDate(2262, 12, 31, 0, 0, 0).ToTimeStamp(stamp), NPT_ERROR_OUT_OF_RANGE);
  ASSERT_EQ(MakeDate(2262, 4, 11, 23, 47, 16, 854775807).ToTimeStamp(stamp), NPT_SUCCESS);
  EXPECT_EQ(stamp.ToNanos(), INT64_MAX);
}

#if !defined(_WIN32)
// The host's zone can be set per process through TZ on Linux only.
TEST(DateTimeTest, LocalConversionRecordsTheHostOffset) {
  const char* saved = getenv("TZ");
  std::string previous = saved ? saved : "";
  setenv("TZ", "XYZ-2", 1);  // two hours east of UTC, no daylight saving
  tzset();
  EXPECT_EQ(NPT_DateTime::GetLocalTimeZone(), 120);

  NPT_TimeStamp stamp((NPT_Int64)(kSunday1994 * 1000000000LL));
  NPT_DateTime local;
  ASSERT_EQ(local.FromTimeStamp(stamp, true), NPT_SUCCESS);
  EXPECT_EQ(local.m_TimeZone, 120);
  EXPECT_STREQ(local.ToString(NPT_DateTime::FORMAT_W3C).GetChars(), "1994-11-06T10:49:37+02:00");
  NPT_TimeStamp back;
  ASSERT_EQ(local.ToTimeStamp(back), NPT_SUCCESS);
  EXPECT_EQ(back, stamp);

  NPT_DateTime utc(stamp, false);
  EXPECT_EQ(utc.m_TimeZone, 0);
  EXPECT_EQ(utc.m_Hours, 8);

  if (saved) {
    setenv("TZ", previous.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}
#endif

}  // namespace
