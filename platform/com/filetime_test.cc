#include "platform/com/filetime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace kavex::com {
namespace {

SYSTEMTIME Time(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0,
                WORD ms = 0) {
  return SYSTEMTIME{y, mo, 0, d, h, mi, s, ms};
}

void ExpectTime(const SYSTEMTIME& st, const SYSTEMTIME& want) {
  EXPECT_EQ(st.wYear, want.wYear);
  EXPECT_EQ(st.wMonth, want.wMonth);
  EXPECT_EQ(st.wDay, want.wDay);
  EXPECT_EQ(st.wHour, want.wHour);
  EXPECT_EQ(st.wMinute, want.wMinute);
  EXPECT_EQ(st.wSecond, want.wSecond);
  EXPECT_EQ(st.wMilliseconds, want.wMilliseconds);
}

TEST(FileTimeTest, EpochsAndKnownDates) {
  SYSTEMTIME st;
  const FILETIME zero{0, 0};
  ASSERT_TRUE(FileTimeToSystemTime(&zero, &st));
  ExpectTime(st, Time(1601, 1, 1));
  EXPECT_EQ(st.wDayOfWeek, 1);  // Monday

  const FILETIME unix_epoch = UInt64ToFileTime(116444736000000000ull);
  ASSERT_TRUE(FileTimeToSystemTime(&unix_epoch, &st));
  ExpectTime(st, Time(1970, 1, 1));
  EXPECT_EQ(st.wDayOfWeek, 4);  // Thursday

  const SYSTEMTIME y2k = Time(2000, 1, 1);
  FILETIME ft;
  ASSERT_TRUE(SystemTimeToFileTime(&y2k, &ft));
  EXPECT_EQ(FileTimeToUInt64(ft), 125911584000000000ull);

  const SYSTEMTIME precise = Time(2024, 2, 29, 23, 59, 58, 999);
  ASSERT_TRUE(SystemTimeToFileTime(&precise, &ft));
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
  ExpectTime(st, precise);
  EXPECT_EQ(st.wDayOfWeek, 4);
}

TEST(FileTimeTest, RejectsImpossibleFields) {
  FILETIME ft{7, 7};
  for (const SYSTEMTIME& bad :
       {Time(2023, 2, 29), Time(2023, 13, 1), Time(2023, 0, 1),
        Time(1600, 12, 31), Time(2023, 4, 31), Time(2023, 1, 1, 24),
        Time(2023, 1, 1, 0, 60), Time(2023, 1, 1, 0, 0, 60),
        Time(2023, 1, 1, 0, 0, 0, 1000)}) {
    EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
  }
  EXPECT_EQ(ft.dwLowDateTime, 7u);  // untouched
  SYSTEMTIME st;
  const FILETIME too_big{0, 0x80000000};
  EXPECT_FALSE(FileTimeToSystemTime(&too_big, &st));
}

TEST(VariantTimeTest, OleEpochAndNegativeDates) {
  SYSTEMTIME st;
  ASSERT_TRUE(VariantTimeToSystemTime(0.0, &st));
  ExpectTime(st, Time(1899, 12, 30));
  EXPECT_EQ(st.wDayOfWeek, 6);  // Saturday
  ASSERT_TRUE(VariantTimeToSystemTime(-1.25, &st));
  ExpectTime(st, Time(1899, 12, 29, 6));
  ASSERT_TRUE(VariantTimeToSystemTime(36526.5, &st));
  ExpectTime(st, Time(2000, 1, 1, 12));

  DATE date;
  SYSTEMTIME in = Time(1899, 12, 29, 6);
  ASSERT_TRUE(SystemTimeToVariantTime(&in, &date));
  EXPECT_DOUBLE_EQ(date, -1.25);
  in = Time(100, 1, 1);
  ASSERT_TRUE(SystemTimeToVariantTime(&in, &date));
  EXPECT_EQ(date, kMinDate);
  in = Time(9999, 12, 31, 23, 59, 59, 999);  // milliseconds are ignored
  ASSERT_TRUE(SystemTimeToVariantTime(&in, &date));
  EXPECT_NEAR(date, kMaxDate + 86399.0 / 86400, 1e-9);
  in = Time(99, 12, 31);
  EXPECT_FALSE(SystemTimeToVariantTime(&in, &date));
  EXPECT_FALSE(VariantTimeToSystemTime(kMaxDate + 1, &st));
  EXPECT_FALSE(VariantTimeToSystemTime(kMinDate - 0.5, &st));
}

TEST(VariantTimeTest, RoundsToTheNearestSecond) {
  SYSTEMTIME st;
  // 23:59:59.6 on 1 Jan 2000 becomes midnight of the next day.
  ASSERT_TRUE(VariantTimeToSystemTime(36526 + 86399.6 / 86400, &st));
  ExpectTime(st, Time(2000, 1, 2));
  ASSERT_TRUE(VariantTimeToSystemTime(36526 + 3600.4 / 86400, &st));
  ExpectTime(st, Time(2000, 1, 1, 1));
}

TEST(VariantTimeTest, FileTimesKeepMilliseconds) {
  for (const SYSTEMTIME& when :
       {Time(2024, 5, 6, 7, 8, 9, 123), Time(1899, 12, 29, 6, 0, 0, 1),
        Time(1601, 1, 1, 0, 0, 0, 500), Time(9999, 12, 31, 23, 59, 59, 999)}) {
    FILETIME ft, back;
    ASSERT_TRUE(SystemTimeToFileTime(&when, &ft));
    DATE date;
    ASSERT_TRUE(FileTimeToVariantTime(&ft, &date));
    ASSERT_TRUE(VariantTimeToFileTime(date, &back));
    EXPECT_EQ(FileTimeToUInt64(back), FileTimeToUInt64(ft)) << when.wYear;
  }
  DATE date;
  const FILETIME ole_epoch = UInt64ToFileTime(94353120000000000ull);
  ASSERT_TRUE(FileTimeToVariantTime(&ole_epoch, &date));
  EXPECT_EQ(date, 0.0);
  const FILETIME year_10000 = UInt64ToFileTime(2650467744000000000ull);
  EXPECT_FALSE(FileTimeToVariantTime(&year_10000, &date));
  FILETIME ft;
  EXPECT_FALSE(VariantTimeToFileTime(-109206.0, &ft));  // before 1601
}

// Switches the process time zone for one test.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

TEST(LocalFileTimeTest, UsesTheOffsetInForceAtThatTime) {
  ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  struct Case {
    SYSTEMTIME utc, local;
  } cases[] = {
      {Time(2024, 1, 15, 12, 0, 0, 250), Time(2024, 1, 15, 13, 0, 0, 250)},
      {Time(2024, 7, 15, 12), Time(2024, 7, 15, 14)},
      {Time(2024, 12, 31, 23, 30), Time(2025, 1, 1, 0, 30)}};
  for (const Case& c : cases) {
    FILETIME utc, local, back;
    ASSERT_TRUE(SystemTimeToFileTime(&c.utc, &utc));
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    SYSTEMTIME st;
    ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
    ExpectTime(st, c.local);
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(FileTimeToUInt64(back), FileTimeToUInt64(utc));
  }
}

}  // namespace
}  // namespace kavex::com
