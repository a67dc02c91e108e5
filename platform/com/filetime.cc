#include "platform/com/filetime.h"

#include <cmath>
#include <ctime>

namespace kavex::com {
namespace {

constexpr int64_t kTicksPerMs = 10'000;
constexpr int64_t kMsPerDay = 86'400'000;
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerDay = kMsPerDay * kTicksPerMs;
// FILETIME of 1 Jan 1970, for the C library's clock.
constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;

// Days since 1 Jan 1970 of a proleptic Gregorian date (H. Hinnant's
// algorithm, exact for every year we accept).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

// Day numbers (since 1970) of the two epochs.
const int64_t kFileTimeEpochDay = DaysFromCivil(1601, 1, 1);
const int64_t kOleEpochDay = DaysFromCivil(1899, 12, 30);

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30,
                                   31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool ValidFields(const SYSTEMTIME& st, unsigned min_year, unsigned max_year) {
  return st.wYear >= min_year && st.wYear <= max_year && st.wMonth >= 1 &&
         st.wMonth <= 12 && st.wDay >= 1 &&
         st.wDay <= DaysInMonth(st.wYear, st.wMonth) && st.wHour < 24 &&
         st.wMinute < 60 && st.wSecond < 60 && st.wMilliseconds < 1000;
}

// Fills a SYSTEMTIME from a day number (since 1970) and milliseconds of day.
void FillSystemTime(int64_t day, int64_t ms, SYSTEMTIME* st) {
  int64_t y;
  unsigned m, d;
  CivilFromDays(day, &y, &m, &d);
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  // 1 Jan 1970 was a Thursday.
  st->wDayOfWeek = static_cast<WORD>(((day % 7) + 7 + 4) % 7);
  st->wHour = static_cast<WORD>(ms / 3'600'000);
  st->wMinute = static_cast<WORD>(ms / 60'000 % 60);
  st->wSecond = static_cast<WORD>(ms / 1000 % 60);
  st->wMilliseconds = static_cast<WORD>(ms % 1000);
}

// A DATE as milliseconds since the OLE epoch on a continuous scale (the
// fraction of a negative DATE counts forward from its day's midnight).
bool DateToMs(DATE date, int64_t unit_ms, int64_t* ms) {
  if (!(date >= kMinDate && date < kMaxDate + 1)) return false;
  const double day = std::trunc(date);
  const double fraction = std::fabs(date - day);
  const int64_t units =
      std::llround(fraction * static_cast<double>(kMsPerDay / unit_ms));
  *ms = static_cast<int64_t>(day) * kMsPerDay + units * unit_ms;
  return true;
}

DATE MsToDate(int64_t ms) {
  int64_t day = ms / kMsPerDay, rest = ms % kMsPerDay;
  if (rest < 0) {
    rest += kMsPerDay;
    --day;
  }
  const double fraction = static_cast<double>(rest) / kMsPerDay;
  return day >= 0 ? day + fraction : day - fraction;
}

}  // namespace
}  // namespace kavex::com

BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) {
  if (!ft || !st) return FALSE;
  const uint64_t ticks = kavex::FileTimeToUInt64(*ft);
  if (ticks > uint64_t{INT64_MAX}) return FALSE;
  const int64_t t = static_cast<int64_t>(ticks);
  kavex::com::FillSystemTime(
      kavex::com::kFileTimeEpochDay + t / kavex::com::kTicksPerDay,
      t % kavex::com::kTicksPerDay / kavex::com::kTicksPerMs, st);
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) {
  if (!st || !ft || !kavex::com::ValidFields(*st, 1601, 30827)) return FALSE;
  const int64_t day =
      kavex::com::DaysFromCivil(st->wYear, st->wMonth, st->wDay) -
      kavex::com::kFileTimeEpochDay;
  const int64_t ms =
      ((st->wHour * 60 + st->wMinute) * 60 + st->wSecond) * int64_t{1000} +
      st->wMilliseconds;
  *ft = kavex::UInt64ToFileTime(static_cast<uint64_t>(
      day * kavex::com::kTicksPerDay + ms * kavex::com::kTicksPerMs));
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
  if (!utc || !local) return FALSE;
  const int64_t ticks = static_cast<int64_t>(kavex::FileTimeToUInt64(*utc));
  if (ticks < 0) return FALSE;
  const time_t seconds = static_cast<time_t>(
      (ticks - kavex::com::kUnixEpochTicks) / kavex::com::kTicksPerSecond);
  tm fields;
  if (!localtime_r(&seconds, &fields)) return FALSE;
  const int64_t shifted =
      ticks + int64_t{fields.tm_gmtoff} * kavex::com::kTicksPerSecond;
  if (shifted < 0) return FALSE;
  *local = kavex::UInt64ToFileTime(static_cast<uint64_t>(shifted));
  return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) {
  if (!local || !utc) return FALSE;
  const int64_t ticks = static_cast<int64_t>(kavex::FileTimeToUInt64(*local));
  if (ticks < 0) return FALSE;
  int64_t local_seconds =
      ticks / kavex::com::kTicksPerSecond -
      kavex::com::kUnixEpochTicks / kavex::com::kTicksPerSecond;
  // Let the C library find the offset of that wall-clock time.
  const time_t as_utc = static_cast<time_t>(local_seconds);
  tm fields;
  if (!gmtime_r(&as_utc, &fields)) return FALSE;
  fields.tm_isdst = -1;
  const time_t real = mktime(&fields);
  if (real == static_cast<time_t>(-1) && local_seconds != -1) return FALSE;
  const int64_t offset = local_seconds - static_cast<int64_t>(real);
  const int64_t shifted = ticks - offset * kavex::com::kTicksPerSecond;
  if (shifted < 0) return FALSE;
  *utc = kavex::UInt64ToFileTime(static_cast<uint64_t>(shifted));
  return TRUE;
}

INT VariantTimeToSystemTime(DATE date, SYSTEMTIME* st) {
  int64_t ms;
  if (!st || !kavex::com::DateToMs(date, 1000, &ms)) return FALSE;
  int64_t day = ms / kavex::com::kMsPerDay, rest = ms % kavex::com::kMsPerDay;
  if (rest < 0) {
    rest += kavex::com::kMsPerDay;
    --day;
  }
  if (day + kavex::com::kOleEpochDay > kavex::com::DaysFromCivil(9999, 12, 31))
    return FALSE;
  kavex::com::FillSystemTime(kavex::com::kOleEpochDay + day, rest, st);
  return TRUE;
}

INT SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* date) {
  if (!st || !date) return FALSE;
  SYSTEMTIME whole = *st;
  whole.wMilliseconds = 0;
  if (!kavex::com::ValidFields(whole, 100, 9999)) return FALSE;
  const int64_t day =
      kavex::com::DaysFromCivil(st->wYear, st->wMonth, st->wDay) -
      kavex::com::kOleEpochDay;
  const int64_t seconds = (st->wHour * 60 + st->wMinute) * 60 + st->wSecond;
  *date = kavex::com::MsToDate(day * kavex::com::kMsPerDay + seconds * 1000);
  return TRUE;
}

BOOL FileTimeToVariantTime(const FILETIME* ft, DATE* date) {
  if (!ft || !date) return FALSE;
  const uint64_t ticks = kavex::FileTimeToUInt64(*ft);
  if (ticks > uint64_t{INT64_MAX}) return FALSE;
  const int64_t ms =
      (static_cast<int64_t>(ticks) + kavex::com::kTicksPerMs / 2) /
      kavex::com::kTicksPerMs;
  const int64_t ole_ms =
      ms + (kavex::com::kFileTimeEpochDay - kavex::com::kOleEpochDay) *
               kavex::com::kMsPerDay;
  if (ole_ms >=
      (static_cast<int64_t>(kavex::com::kMaxDate) + 1) * kavex::com::kMsPerDay)
    return FALSE;
  *date = kavex::com::MsToDate(ole_ms);
  return TRUE;
}

BOOL VariantTimeToFileTime(DATE date, FILETIME* ft) {
  int64_t ms;
  if (!ft || !kavex::com::DateToMs(date, 1, &ms)) return FALSE;
  const int64_t ft_ms =
      ms + (kavex::com::kOleEpochDay - kavex::com::kFileTimeEpochDay) *
               kavex::com::kMsPerDay;
  if (ft_ms < 0) return FALSE;
  *ft = kavex::UInt64ToFileTime(
      static_cast<uint64_t>(ft_ms * kavex::com::kTicksPerMs));
  return TRUE;
}
