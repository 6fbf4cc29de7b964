// C++ only: calendar arithmetic of the proleptic Gregorian calendar, constexpr and free of
// locale, lock and allocation, so that a signal handler may use it too.
#pragma once
#include "vor_cxx_only.h"

#include <cstdint>

namespace vor::civil {

constexpr int64_t kSecondsPerDay = 86400;

// a / b rounded towards minus infinity (b > 0 or b < 0; never 0).
constexpr int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// Days since 1970-01-01 of a civil date; month 1-12, day 1-31.
constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = floor_div(y, 400);
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

struct Date {
  int64_t year;
  unsigned month;  // 1-12
  unsigned day;    // 1-31
};

// The civil date of a day count since 1970-01-01.
constexpr Date civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = floor_div(z, 146097);
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {int64_t(yoe) + era * 400 + (m <= 2), m, d};
}

// A moment in seconds since 1970-01-01 00:00:00 split into its day and the seconds into it.
struct DayTime {
  int64_t days;
  unsigned seconds;  // 0-86399
};

constexpr DayTime split_seconds(int64_t t) {
  const int64_t days = floor_div(t, kSecondsPerDay);
  return {days, unsigned(t - days * kSecondsPerDay)};
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(civil_from_days(-1).year == 1969 && civil_from_days(-1).day == 31);
static_assert(split_seconds(-1).days == -1 && split_seconds(-1).seconds == 86399);

}  // namespace vor::civil
