// Time stamps and calendar conversion. Pure arithmetic: the only host facts
// needed (the current time-zone offset) come from NPT_DateTime::GetLocalTimeZone,
// which the platform layer defines.

#include "NptTime.h"

#include <cstdio>
#include <cstdlib>

#include "NptStrings.h"

namespace {

const NPT_Int64 kNanosPerSecond = 1000000000LL;
const NPT_Int64 kSecondsPerDay = 86400;
// The largest whole number of seconds a signed 64-bit nanosecond count holds.
const NPT_Int64 kMaxSeconds = INT64_MAX / kNanosPerSecond;

const char* const kShortDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kLongDays[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const kShortMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Days since 1970-01-01 of a proleptic Gregorian date. Months and days past
// their end roll over into the following ones.
NPT_Int64 DaysFromCivil(NPT_Int64 year, NPT_Int64 month, NPT_Int64 day) {
  year -= month <= 2 ? 1 : 0;
  const NPT_Int64 era = (year >= 0 ? year : year - 399) / 400;
  const NPT_Int64 year_of_era = year - era * 400;
  const NPT_Int64 day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const NPT_Int64 day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

void CivilFromDays(NPT_Int64 days, NPT_Int64& year, NPT_Int32& month, NPT_Int32& day) {
  days += 719468;
  const NPT_Int64 era = (days >= 0 ? days : days - 146096) / 146097;
  const NPT_Int64 day_of_era = days - era * 146097;
  const NPT_Int64 year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const NPT_Int64 day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const NPT_Int64 mp = (5 * day_of_year + 2) / 153;
  day = (NPT_Int32)(day_of_year - (153 * mp + 2) / 5 + 1);
  month = (NPT_Int32)(mp < 10 ? mp + 3 : mp - 9);
  year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
}

NPT_Int64 FloorDiv(NPT_Int64 a, NPT_Int64 b) {
  NPT_Int64 q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// 0 = Sunday.
int WeekDay(const NPT_DateTime& date) {
  const NPT_Int64 days = DaysFromCivil(date.m_Year, date.m_Month, date.m_Day);
  return (int)(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
}

// " GMT" for offset 0, else " +hhmm" / " -hhmm".
void AppendNumericZone(char* out, size_t size, NPT_Int32 timezone) {
  if (timezone == 0) {
    snprintf(out, size, " GMT");
  } else {
    const NPT_Int32 magnitude = timezone < 0 ? -timezone : timezone;
    snprintf(out, size, " %c%.2d%.2d", timezone < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  }
}

}  // namespace

NPT_TimeStamp::NPT_TimeStamp(double seconds) : m_NanoSeconds((NPT_Int64)(seconds * 1e9)) {}

NPT_DateTime::NPT_DateTime()
    : m_Year(0), m_Month(0), m_Day(0), m_Hours(0), m_Minutes(0), m_Seconds(0), m_NanoSeconds(0), m_TimeZone(0) {}

NPT_DateTime::NPT_DateTime(const NPT_TimeStamp& timestamp, bool local) : NPT_DateTime() {
  FromTimeStamp(timestamp, local);
}

NPT_Result NPT_DateTime::Validate() const {
  if (m_Year < 1901 || m_Year > 2262 || m_Month < 1 || m_Month > 12 || m_Day < 1 || m_Day > 31 || m_Hours < 0 ||
      m_Hours > 23 || m_Minutes < 0 || m_Minutes > 59 || m_Seconds < 0 || m_Seconds > 59 || m_NanoSeconds < 0 ||
      m_NanoSeconds > 999999999 || m_TimeZone < -720 || m_TimeZone > 720) {
    return NPT_ERROR_OUT_OF_RANGE;
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_DateTime::FromTimeStamp(const NPT_TimeStamp& timestamp, bool local) {
  *this = NPT_DateTime();

  const NPT_Int32 timezone = local ? GetLocalTimeZone() : 0;
  if (timezone < -720 || timezone > 720) return NPT_ERROR_OUT_OF_RANGE;

  // Split first, then shift by whole seconds, so the offset cannot overflow
  // the nanosecond count near its ends.
  const NPT_Int64 nanos = timestamp.ToNanos();
  NPT_Int64 seconds = FloorDiv(nanos, kNanosPerSecond);
  NPT_Int64 fraction = nanos % kNanosPerSecond;  // not seconds x 10^9: that overflows at the low end
  if (fraction < 0) fraction += kNanosPerSecond;
  seconds += (NPT_Int64)timezone * 60;

  const NPT_Int64 days = FloorDiv(seconds, kSecondsPerDay);
  const NPT_Int64 in_day = seconds - days * kSecondsPerDay;
  NPT_Int64 year = 0;
  NPT_Int32 month = 0, day = 0;
  CivilFromDays(days, year, month, day);
  if (year < 1901 || year > 2262) return NPT_ERROR_OUT_OF_RANGE;

  m_Year = (NPT_Int32)year;
  m_Month = month;
  m_Day = day;
  m_Hours = (NPT_Int32)(in_day / 3600);
  m_Minutes = (NPT_Int32)((in_day % 3600) / 60);
  m_Seconds = (NPT_Int32)(in_day % 60);
  m_NanoSeconds = (NPT_Int32)fraction;
  m_TimeZone = timezone;
  return NPT_SUCCESS;
}

NPT_Result NPT_DateTime::ToTimeStamp(NPT_TimeStamp& timestamp) const {
  timestamp.SetNanos(0);
  NPT_Result result = Validate();
  if (NPT_FAILED(result)) return result;

  NPT_Int64 seconds = DaysFromCivil(m_Year, m_Month, m_Day) * kSecondsPerDay + m_Hours * 3600 + m_Minutes * 60 +
                      m_Seconds - (NPT_Int64)m_TimeZone * 60;
  // The calendar range reaches a little past what 64-bit nanoseconds hold
  // (late 2262, before 1678 cannot happen here); refuse rather than wrap.
  if (seconds > kMaxSeconds || (seconds == kMaxSeconds && m_NanoSeconds > INT64_MAX % kNanosPerSecond) ||
      seconds < -kMaxSeconds) {
    return NPT_ERROR_OUT_OF_RANGE;
  }
  timestamp.SetNanos(seconds * kNanosPerSecond + m_NanoSeconds);
  return NPT_SUCCESS;
}

NPT_Result NPT_DateTime::ChangeTimeZone(NPT_Int32 timezone) {
  if (timezone < -720 || timezone > 720) return NPT_ERROR_OUT_OF_RANGE;
  NPT_TimeStamp utc;
  NPT_Result result = ToTimeStamp(utc);
  if (NPT_FAILED(result)) return result;

  NPT_DateTime moved;
  result = moved.FromTimeStamp(utc + NPT_TimeStamp((NPT_Int64)timezone * 60 * kNanosPerSecond), false);
  if (NPT_FAILED(result)) return result;
  moved.m_TimeZone = timezone;
  *this = moved;
  return NPT_SUCCESS;
}

NPT_String NPT_DateTime::ToString(Format format, NPT_Flags flags) const {
  if (NPT_FAILED(Validate())) return NPT_String();

  char text[96];
  char zone[16];
  const int week_day = WeekDay(*this);
  switch (format) {
    case FORMAT_ANSI:
      snprintf(text, sizeof(text), "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kShortDays[week_day], kShortMonths[m_Month - 1],
               m_Day, m_Hours, m_Minutes, m_Seconds, m_Year);
      break;

    case FORMAT_W3C: {
      int length = snprintf(text, sizeof(text), "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d", m_Year, m_Month, m_Day, m_Hours,
                            m_Minutes, m_Seconds);
      if (flags & FLAG_EMIT_FRACTION) {
        if (flags & FLAG_EXTENDED_PRECISION) {
          length += snprintf(text + length, sizeof(text) - length, ".%.9d", m_NanoSeconds);
        } else {
          length += snprintf(text + length, sizeof(text) - length, ".%.3d", m_NanoSeconds / 1000000);
        }
      }
      if (m_TimeZone == 0) {
        snprintf(text + length, sizeof(text) - length, "Z");
      } else {
        const NPT_Int32 magnitude = m_TimeZone < 0 ? -m_TimeZone : m_TimeZone;
        snprintf(text + length, sizeof(text) - length, "%c%.2d:%.2d", m_TimeZone < 0 ? '-' : '+', magnitude / 60,
                 magnitude % 60);
      }
      break;
    }

    case FORMAT_RFC_1123:
      AppendNumericZone(zone, sizeof(zone), m_TimeZone);
      snprintf(text, sizeof(text), "%.3s, %.2d %.3s %.4d %.2d:%.2d:%.2d%s", kShortDays[week_day], m_Day,
               kShortMonths[m_Month - 1], m_Year, m_Hours, m_Minutes, m_Seconds, zone);
      break;

    case FORMAT_RFC_1036:
      AppendNumericZone(zone, sizeof(zone), m_TimeZone);
      snprintf(text, sizeof(text), "%s, %.2d-%.3s-%.2d %.2d:%.2d:%.2d%s", kLongDays[week_day], m_Day,
               kShortMonths[m_Month - 1], m_Year % 100, m_Hours, m_Minutes, m_Seconds, zone);
      break;

    default:
      return NPT_String();
  }
  return NPT_String(text);
}
