#pragma once
// Time stamps and calendar date-times.
//
// NPT_TimeStamp is a signed 64-bit count of nanoseconds. As a point in time it
// counts from 1970-01-01 00:00:00 UTC; as a duration (NPT_TimeInterval) it is a
// plain length. Arithmetic and comparisons act on the nanosecond count and
// share no state, so time stamps may be used freely from any thread.
//
// NPT_DateTime is the broken-down calendar form used for formatting (log
// records, HTTP dates). It is valid only with every field in range and a year
// from 1901 to 2262 (the span a signed 64-bit nanosecond count can hold);
// anything else is NPT_ERROR_OUT_OF_RANGE, and formats as the empty string.

#include "NptResults.h"
#include "NptTypes.h"

// Only NPT_DateTime::ToString needs the full string type (include NptStrings.h
// to call it); time stamps stay usable without it.
class NPT_String;

class NPT_TimeStamp {
 public:
  NPT_TimeStamp() : m_NanoSeconds(0) {}
  // From a number of seconds: seconds x 10^9, truncated toward zero.
  NPT_TimeStamp(double seconds);
  // From a count of nanoseconds.
  NPT_TimeStamp(NPT_Int64 nanoseconds) : m_NanoSeconds(nanoseconds) {}
  NPT_TimeStamp(const NPT_TimeStamp& other) = default;
  NPT_TimeStamp& operator=(const NPT_TimeStamp& other) = default;

  void SetNanos(NPT_Int64 nanoseconds) { m_NanoSeconds = nanoseconds; }
  void SetMillis(NPT_Int64 milliseconds) { m_NanoSeconds = milliseconds * 1000000; }
  void SetSeconds(NPT_Int64 seconds) { m_NanoSeconds = seconds * 1000000000; }

  NPT_Int64 ToNanos() const { return m_NanoSeconds; }
  // Integer division by 10^6 (toward zero).
  NPT_Int64 ToMillis() const { return m_NanoSeconds / 1000000; }
  // Integer division by 10^9 (toward zero): whole seconds.
  NPT_Int64 ToSeconds() const { return m_NanoSeconds / 1000000000; }
  // Seconds with their fraction.
  double ToDouble() const { return (double)m_NanoSeconds / 1e9; }

  NPT_TimeStamp& operator+=(const NPT_TimeStamp& t) { m_NanoSeconds += t.m_NanoSeconds; return *this; }
  NPT_TimeStamp& operator-=(const NPT_TimeStamp& t) { m_NanoSeconds -= t.m_NanoSeconds; return *this; }
  NPT_TimeStamp operator+(const NPT_TimeStamp& t) const { return NPT_TimeStamp(m_NanoSeconds + t.m_NanoSeconds); }
  NPT_TimeStamp operator-(const NPT_TimeStamp& t) const { return NPT_TimeStamp(m_NanoSeconds - t.m_NanoSeconds); }

  bool operator==(const NPT_TimeStamp& t) const { return m_NanoSeconds == t.m_NanoSeconds; }
  bool operator!=(const NPT_TimeStamp& t) const { return m_NanoSeconds != t.m_NanoSeconds; }
  bool operator<(const NPT_TimeStamp& t) const { return m_NanoSeconds < t.m_NanoSeconds; }
  bool operator>(const NPT_TimeStamp& t) const { return m_NanoSeconds > t.m_NanoSeconds; }
  bool operator<=(const NPT_TimeStamp& t) const { return m_NanoSeconds <= t.m_NanoSeconds; }
  bool operator>=(const NPT_TimeStamp& t) const { return m_NanoSeconds >= t.m_NanoSeconds; }

 private:
  NPT_Int64 m_NanoSeconds;
};

// A duration has the same representation as a point in time.
typedef NPT_TimeStamp NPT_TimeInterval;

class NPT_DateTime {
 public:
  enum Format {
    FORMAT_ANSI = 0,      // "Sun Nov  6 08:49:37 1994"
    FORMAT_W3C = 1,       // "1994-11-06T08:49:37Z", "1994-11-06T08:49:37.123+01:00"
    FORMAT_RFC_1123 = 2,  // "Sun, 06 Nov 1994 08:49:37 GMT"
    FORMAT_RFC_1036 = 3   // "Sunday, 06-Nov-94 08:49:37 GMT"
  };
  // Flags of the W3C format: bit 0 emits a fraction of a second (3 digits of
  // milliseconds), bit 1 together with bit 0 makes it 9 digits of nanoseconds.
  enum {
    FLAG_EMIT_FRACTION = 1,
    FLAG_EXTENDED_PRECISION = 2
  };

  // All fields 0: not a valid date-time until set.
  NPT_DateTime();
  // From a time stamp, in UTC or (local) in the host's current time zone. A time
  // stamp outside the representable range leaves every field 0.
  NPT_DateTime(const NPT_TimeStamp& timestamp, bool local = false);

  // Fills the fields from a time stamp. With local, the host's current
  // time-zone offset is applied and recorded in m_TimeZone; without, the result
  // is UTC (offset 0). NPT_ERROR_OUT_OF_RANGE when the time stamp falls outside
  // years 1901..2262 (the fields are then left all 0).
  NPT_Result FromTimeStamp(const NPT_TimeStamp& timestamp, bool local = false);
  // Validates, then converts to a UTC time stamp (the offset is subtracted).
  // The out-parameter is reset to 0 first; NPT_ERROR_OUT_OF_RANGE when invalid.
  NPT_Result ToTimeStamp(NPT_TimeStamp& timestamp) const;
  // Moves the same instant to another offset (minutes east of UTC, -720..720).
  NPT_Result ChangeTimeZone(NPT_Int32 timezone);
  // NPT_SUCCESS when every field is within its range, else NPT_ERROR_OUT_OF_RANGE.
  NPT_Result Validate() const;

  // Text form in one of the four formats; the empty string when invalid or for
  // an unknown format.
  NPT_String ToString(Format format = FORMAT_ANSI, NPT_Flags flags = 0) const;

  // The host's current offset from UTC in minutes (east positive).
  static NPT_Int32 GetLocalTimeZone();

  NPT_Int32 m_Year;         // 1901..2262
  NPT_Int32 m_Month;        // 1..12
  NPT_Int32 m_Day;          // 1..31
  NPT_Int32 m_Hours;        // 0..23
  NPT_Int32 m_Minutes;      // 0..59
  NPT_Int32 m_Seconds;      // 0..59
  NPT_Int32 m_NanoSeconds;  // 0..999999999
  NPT_Int32 m_TimeZone;     // offset from UTC in minutes, -720..720
};
