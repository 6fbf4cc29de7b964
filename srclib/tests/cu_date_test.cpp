#include "cu_date.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cu_malloc.h"
#include "cu_util.h"
#include "vor_tempdir.h"

namespace {

constexpr int64_t kRfcExample = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
constexpr int64_t kLatestHttpDate = 32535215999;  // 3000-12-31 23:59:59 UTC

// Runs a shell command and answers its standard output split into lines.
std::vector<std::string> run_lines(const std::string& command) {
  std::vector<std::string> lines;
  std::istringstream out(vor::test::shell_output(command));
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  return lines;
}

// Sets the process time zone for one test and puts the earlier one back after it.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

std::string gmt(int64_t t) {
  char buf[100];
  return cu_GetGMTString2(t, buf, sizeof buf) ? buf : "(null)";
}

TEST(HttpDate, WriterMatchesDateCommandForRandomTimes) {
  std::mt19937_64 rng(1210);
  std::vector<int64_t> times = {0, 1, 86399, 86400, 951782400 /* 2000-02-29 */, 2147483647, 2147483648,
                                4102444800 /* 2100-01-01 */, -1, -86401, 253402300799, 253402300800};
  for (int i = 0; i < 2000; ++i) times.push_back(int64_t(rng() % (uint64_t(1) << 33)));

  vor::test::TempDir dir;
  const std::string path = dir.file("times");
  std::string lines;
  for (int64_t t : times) lines += "@" + std::to_string(t) + "\n";
  vor::test::write_file(path, lines);
  ASSERT_EQ(vor::test::read_file(path), lines);
  const auto expected = run_lines("LC_ALL=C date -u -f '" + path + "' '+%a, %d %b %Y %H:%M:%S GMT'");
  ASSERT_EQ(expected.size(), times.size());
  for (size_t i = 0; i < times.size(); ++i) {
    SCOPED_TRACE(times[i]);
    ASSERT_EQ(gmt(times[i]), expected[i]);
    if (times[i] >= 0 && times[i] <= kLatestHttpDate) {
      ASSERT_EQ(cu_DateParse(expected[i].c_str()), times[i]);
    }
  }
}

TEST(HttpDate, WrittenInUtcWhateverTheLocalZone) {
  for (const char* zone : {"UTC", "CST-8", "Europe/Berlin", "America/New_York"}) {
    TimeZone tz(zone);
    SCOPED_TRACE(zone);
    EXPECT_EQ(gmt(kRfcExample), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(cu_DateParse("Sun, 06 Nov 1994 08:49:37 GMT"), kRfcExample);
  }
}

TEST(HttpDate, TimesAfter2038AreWritten) {
  EXPECT_EQ(gmt(2147483648), "Tue, 19 Jan 2038 03:14:08 GMT");
  EXPECT_EQ(gmt(4102444800), "Fri, 01 Jan 2100 00:00:00 GMT");
}

TEST(HttpDate, WriterRespectsTheBufferSize) {
  char buf[40];
  EXPECT_EQ(cu_GetGMTString2(kRfcExample, nullptr, 100), nullptr);
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(cu_GetGMTString2(kRfcExample, buf, 0), nullptr);
  EXPECT_EQ(cu_GetGMTString2(kRfcExample, buf, -3), nullptr);
  EXPECT_EQ(buf[0], 'x');

  EXPECT_EQ(cu_GetGMTString2(kRfcExample, buf, 10), buf);
  EXPECT_STREQ(buf, "Sun, 06 N");
  EXPECT_EQ(buf[10], 'x');

  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(cu_GetGMTString2(kRfcExample, buf, 30), buf);
  EXPECT_STREQ(buf, "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(buf[30], 'x');
}

TEST(HttpDate, NewTextIsFreedByTheCaller) {
  char* text = cu_GetGMTString(kRfcExample);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "Sun, 06 Nov 1994 08:49:37 GMT");
  _cu_free(text, "srclib\\tests", __LINE__);
}

struct ParseCase {
  const char* text;
  int64_t expected;
};

TEST(HttpDate, EveryLayoutParses) {
  const ParseCase kCases[] = {
      {"06-Nov-94 08:49:37 GMT", kRfcExample},             // 1
      {"06 Nov 1994 08:49:37 GMT", kRfcExample},           // 2
      {"08:49:37 GMT 06-Nov-1994", kRfcExample},           // 3
      {"08:49:37 GMT 06 Nov 94", kRfcExample},             // 4
      {"Sunday, 06-Nov-94 08:49:37 GMT", kRfcExample},     // 5
      {"Sun, 06 Nov 1994 08:49:37 GMT", kRfcExample},      // 6
      {"Sun Nov 6 08:49:37 GMT 1994", kRfcExample},        // 7
      {"Sun Nov  6 08:49:37 1994", -1},                    // without GMT
      {"Sun, 06 NOV 1994 08:49:37 GMT", kRfcExample},      // names in any case
      {"sUNDAY, 06 nOv 1994 08:49:37 GMT", kRfcExample},
      {"Sun, 06 November 1994 08:49:37 GMT", kRfcExample},
      {"Sun, 06 Sept 1994 08:49:37 GMT", -1},              // not a month name
      {"Xyz, 06 Nov 1994 08:49:37 GMT", -1},               // not a weekday name
      {"Mon, 06 Nov 1994 08:49:37 GMT", kRfcExample},      // the weekday is not checked against the date
      {"\t\t Sun, 06 Nov 1994 08:49:37 GMT", kRfcExample}, // leading blanks and tabs
      {"Sun, 06 Nov 1994 08:49:37", kRfcExample},          // trailing GMT of layout 6 is not examined
      {"Sun,06 Nov 1994 08:49:37 UTC", kRfcExample},
      {"Sun Nov 6 08:49:37 UTC 1994", -1},                 // layout 7 needs its GMT
      {"08:49:37 XYZ 06 Nov 1994", -1},
      {"Tue, 00 Feb 2000 00:00:00 GMT", 949276800},        // day 0: 2000-01-31
      {"Sat, 01 Jan 2000 00:00:60 GMT", 946684860},        // second 60 is the next minute
      {"Sat, 32 Jan 2000 00:00:00 GMT", 949363200},        // 1 February
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Wed, 31 Dec 1969 23:59:59 GMT", -1},               // before 1970
      {"Wed, 31 Dec 3000 23:59:59 GMT", kLatestHttpDate},
      {"Thu, 01 Jan 3001 00:00:00 GMT", -1},               // after 3000
      {"Sat, 01 Jan 00 00:00:00 GMT", 946684800},          // 00 is 2000
      {"Tue, 01 Jan 69 00:00:00 GMT", 3124224000},         // 69 is 2069
      {"Thu, 01 Jan 70 00:00:00 GMT", 0},                  // 70 is 1970
      {"Sat, 01 Jan 100 00:00:00 GMT", 946684800},         // 100 is 2000
      {"", -1},
      {"GMT", -1},
      {"Sun, 06 Nov", -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(cu_DateParse(c.text), c.expected);
  }
  EXPECT_EQ(cu_DateParse(nullptr), -1);
}

TEST(HttpDate, OverflowingDigitsFailCleanly) {
  const char* kTexts[] = {
      "Sun, 99999999999999999999 Nov 1994 08:49:37 GMT",
      "Sun, 06 Nov 99999999999999999999999 08:49:37 GMT",
      "Sun, 06 Nov 1994 08:49:2147483648 GMT",
      "Sun, 06 Nov 1994 08:49:-2147483649 GMT",
      "99999999999999999999:49:37 GMT 06 Nov 1994",
      "Sun, 06 Nov 2147483647 2147483647:2147483647:2147483647 GMT",
      "Sun, -2147483648 Nov 1994 -2147483648:-2147483648:-2147483648 GMT",
  };
  for (const char* text : kTexts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(cu_DateParse(text), -1);
  }
  // The largest 32-bit values still scan; the date they make is out of range.
  EXPECT_EQ(cu_DateParse("Sun, 06 Nov 1994 2147483647:49:37 GMT"), -1);
  EXPECT_EQ(cu_DateParse("Sun, 06 Nov 1994 08:49:00000000000000000000037 GMT"), kRfcExample);
}

TEST(HttpDate, LongNamesStopAt400Letters) {
  const std::string long_name(401, 'a');
  EXPECT_EQ(cu_DateParse((long_name + ", 06 Nov 1994 08:49:37 GMT").c_str()), -1);
  EXPECT_EQ(cu_DateParse(("Sun, 06 " + long_name + " 1994 08:49:37 GMT").c_str()), -1);
}

int64_t peer_local_time(const char* zone, const char* text) {
  const auto lines = run_lines(std::string("TZ=") + zone + " LC_ALL=C date -d '" + text + "' +%s");
  return lines.empty() ? -2 : std::stoll(lines[0]);
}

TEST(LocalDate, EveryLayoutReadsTheSameMoment) {
  TimeZone tz("CST-8");
  const int64_t expected = peer_local_time("CST-8", "2024-01-02 03:04:05");
  ASSERT_EQ(expected, 1704135845);
  const char* kTexts[] = {
      "2024-01-02 03:04:05", "2024-01-02-03:04:05", "2024-01-02:03:04:05", "2024-01-02-03-04-05",
      "20240102-030405",     "20240102030405",      "20240102/030405",     "2024/01/02/03/04/05",
      "2024-1-2 3:4:5",      "2024-01-02 03:04:05 trailing text",
  };
  for (const char* text : kTexts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(cu_DateToTime(text), expected);
  }
}

TEST(LocalDate, MatchesDateCommandInFixedZones) {
  const char* kTexts[] = {"1970-01-02 00:00:00", "2000-02-29 23:59:59", "2024-06-15 12:30:00",
                          "2030-12-31 23:59:59"};
  for (const char* zone : {"UTC", "CST-8", "EST+5"}) {
    TimeZone tz(zone);
    for (const char* text : kTexts) {
      SCOPED_TRACE(std::string(zone) + " " + text);
      EXPECT_EQ(cu_DateToTime(text), peer_local_time(zone, text));
    }
  }
}

TEST(LocalDate, DaylightSavingIsNotApplied) {
  TimeZone tz("Europe/Berlin");
  // Winter and summer alike are read as standard time, UTC+1.
  EXPECT_EQ(cu_DateToTime("2024-01-15 12:00:00"), 1705316400);  // 11:00 UTC
  EXPECT_EQ(cu_DateToTime("2024-07-01 12:00:00"), 1719831600);  // 11:00 UTC, not 10:00
}

TEST(LocalDate, YearsAfter2030CountAs2030) {
  TimeZone tz("UTC");
  EXPECT_EQ(cu_DateToTime("2045-01-01 00:00:00"), cu_DateToTime("2030-01-01 00:00:00"));
  EXPECT_EQ(cu_DateToTime("9999-03-04 05:06:07"), cu_DateToTime("2030-03-04 05:06:07"));
  EXPECT_EQ(cu_DateToTime("2030-01-01 00:00:00"), 1893456000);
}

TEST(LocalDate, UnmatchedTextIsZeroAndEarlyDatesAreMinusOne) {
  TimeZone tz("UTC");
  for (const char* text : {"", "tomorrow", "2024", "2024-01-02", "x2024-01-02 03:04:05"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(cu_DateToTime(text), 0);
  }
  EXPECT_EQ(cu_DateToTime(nullptr), 0);
  EXPECT_EQ(cu_DateToTime("1969-12-31 23:59:59"), -1);
  EXPECT_EQ(cu_DateToTime("1900-01-01 00:00:00"), -1);
  EXPECT_EQ(cu_DateToTime("1970-01-01 00:00:01"), 1);
}

TEST(LocalDate, CurrentClockFieldsAreLocal) {
  TimeZone tz("CST-8");
  // The bounds come from the clock the date functions read: time() reads a coarser one, which
  // can still show the second before theirs.
  const time_t t0 = static_cast<time_t>(cu_time());
  char text[22];
  cu_GetLocalDate(text);
  const int hour = cu_GetCurrentTimeHH(), minute = cu_GetCurrentTimeMM(), second = cu_GetCurrentTimeSS();
  const time_t t1 = static_cast<time_t>(cu_time());

  // Any second between the two readings will do: a loaded machine may stretch the gap.
  bool text_matched = false, hour_matched = false, minute_matched = false;
  for (time_t t = t0; t <= t1; ++t) {
    struct tm local = {};
    localtime_r(&t, &local);
    char expect[64];
    strftime(expect, sizeof expect, "%Y.%m.%d - %H:%M:%S", &local);
    text_matched |= std::string(text) == expect;
    hour_matched |= hour == local.tm_hour;
    minute_matched |= minute == local.tm_min;
  }
  EXPECT_EQ(strlen(text), 21u);
  EXPECT_TRUE(text_matched) << text;
  EXPECT_TRUE(hour_matched);
  EXPECT_TRUE(minute_matched);
  EXPECT_GE(second, 0);
  EXPECT_LE(second, 60);
  cu_GetLocalDate(nullptr);
}

}  // namespace
