// Calendar times: FILETIME (100 ns ticks since 1 Jan 1601 UTC), SYSTEMTIME
// (broken-down fields) and the OLE Automation DATE (days since 30 Dec 1899,
// the fraction being the time of day; before that day the fraction still
// counts forward from midnight, so -1.25 is 29 Dec 1899 06:00).
// Functions return TRUE/FALSE; FALSE leaves the output unchanged.
#ifndef KAVEX_PLATFORM_COM_FILETIME_H_
#define KAVEX_PLATFORM_COM_FILETIME_H_

#include "platform/base/types.h"

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;      // 1 = January
  WORD wDayOfWeek;  // 0 = Sunday; ignored on input
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// 1601-01-01 up to year 30827; FALSE for FILETIMEs above 0x7FFF... and for
// fields out of range.
BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st);
BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft);

// Between UTC and the machine's local time zone, using the offset in force
// at the time converted (so summer times shift by the summer offset).
BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local);
BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc);

// DATE <-> SYSTEMTIME for years 100 to 9999, to whole seconds: the DATE is
// rounded to the nearest second and milliseconds are ignored on input.
INT VariantTimeToSystemTime(DATE date, SYSTEMTIME* st);
INT SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* date);

// DATE <-> FILETIME to the millisecond (the nearest one a DATE can hold).
BOOL FileTimeToVariantTime(const FILETIME* ft, DATE* date);
BOOL VariantTimeToFileTime(DATE date, FILETIME* ft);

namespace kavex::com {

// First and last day a DATE may hold: 1 Jan 100 and 31 Dec 9999.
constexpr DATE kMinDate = -657434.0;
constexpr DATE kMaxDate = 2958465.0;

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_FILETIME_H_
