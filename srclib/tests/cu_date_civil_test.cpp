#include "cu_date_civil.h"

#include <gtest/gtest.h>
#include <time.h>

namespace {

// The C library's gmtime is the model: every day across four centuries either side of 1970,
// plus the seconds just around each midnight.
TEST(CivilDate, AgreesWithGmtimeOverEightCenturies) {
  constexpr int64_t kSpan = 146097 * 2;  // two 400-year cycles each way
  for (int64_t days = -kSpan; days <= kSpan; ++days) {
    for (int64_t offset : {int64_t{-1}, int64_t{0}, int64_t{43200}}) {
      const int64_t t = days * vor::civil::kSecondsPerDay + offset;
      const time_t tt = static_cast<time_t>(t);
      struct tm expected;
      ASSERT_NE(gmtime_r(&tt, &expected), nullptr);
      const auto [d, secs] = vor::civil::split_seconds(t);
      const vor::civil::Date date = vor::civil::civil_from_days(d);
      ASSERT_EQ(date.year, expected.tm_year + 1900) << "t=" << t;
      ASSERT_EQ(date.month, unsigned(expected.tm_mon + 1)) << "t=" << t;
      ASSERT_EQ(date.day, unsigned(expected.tm_mday)) << "t=" << t;
      ASSERT_EQ(secs, unsigned(expected.tm_hour * 3600 + expected.tm_min * 60 + expected.tm_sec)) << "t=" << t;
      ASSERT_EQ(vor::civil::days_from_civil(date.year, date.month, date.day), d) << "t=" << t;
    }
  }
}

}  // namespace
