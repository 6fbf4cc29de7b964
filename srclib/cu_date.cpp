// Part of the library's string and number helpers (allocation label "srclib\cu_lib").
#include "cu_date.h"

#include <array>
#include <climits>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

#include "cu_date_civil.h"
#include "cu_lib_internal.h"
#include "cu_malloc.h"
#include "cu_util.h"

namespace {

constexpr char kUnit[] = "srclib\\cu_lib";

using vor::civil::civil_from_days;
using vor::civil::days_from_civil;
using vor::civil::kSecondsPerDay;

// The latest HTTP date accepted: 3000-12-31 23:59:59 UTC.
constexpr int64_t kLatestHttpDate = days_from_civil(3001, 1, 1) * kSecondsPerDay - 1;

// ---- Writing ----

constexpr char kWeekdayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

char* put2(char* p, unsigned v) {
  p[0] = char('0' + v / 10);
  p[1] = char('0' + v % 10);
  return p + 2;
}

char* put3(char* p, const char* name) {
  memcpy(p, name, 3);
  return p + 3;
}

// Writes the HTTP date of t into text (64 bytes) and answers its length.
size_t format_http_date(int64_t t, char* text) {
  const auto [days, secs] = vor::civil::split_seconds(t);
  const vor::civil::Date date = civil_from_days(days);
  const unsigned weekday = unsigned(((days + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
  const char* wday = kWeekdayNames[weekday];
  const char* month = kMonthNames[date.month - 1];
  const unsigned hh = secs / 3600, mm = secs / 60 % 60, ss = secs % 60;
  if (date.year < 0 || date.year > 9999) {
    int n = snprintf(text, 64, "%s, %02u %s %" PRId64 " %02u:%02u:%02u GMT", wday, date.day, month, date.year, hh,
                     mm, ss);
    return n > 0 ? size_t(n) : 0;
  }
  char* p = put3(text, wday);
  *p++ = ',';
  *p++ = ' ';
  p = put2(p, date.day);
  *p++ = ' ';
  p = put3(p, month);
  *p++ = ' ';
  p = put2(p, unsigned(date.year / 100));
  p = put2(p, unsigned(date.year % 100));
  *p++ = ' ';
  p = put2(p, hh);
  *p++ = ':';
  p = put2(p, mm);
  *p++ = ':';
  p = put2(p, ss);
  memcpy(p, " GMT", 5);
  return size_t(p + 4 - text);
}

// ---- Scanning ----

// Whitespace as the C locale's isspace sees it.
constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
using cu_internal::is_digit;
using cu_internal::is_letter;

// One conversion's result; left uninitialised until a conversion fills it (this runs for
// every date header, and clearing seven of them per layout costs more than the scan).
struct Field {
  int32_t num;
  const char* name;
  size_t name_length;

  std::string_view name_view() const { return {name, name_length}; }
};

// A signed decimal after optional white space, in at most width characters (0: no limit).
// Fails without a digit and on values outside 32 bits, so hostile digit runs stop here.
bool scan_int(const char*& s, int width, int32_t& out) {
  const char* p = s;
  while (is_space(*p)) ++p;
  int left = width > 0 ? width : INT_MAX;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
    --left;
  }
  int64_t value = 0;
  const char* digits = p;
  for (; left > 0 && is_digit(*p); ++p, --left) {
    value = value * 10 + (*p - '0');
    if (value > int64_t(INT32_MAX) + 1) return false;
  }
  if (p == digits) return false;
  if (negative) value = -value;
  if (value > INT32_MAX) return false;
  out = int32_t(value);
  s = p;
  return true;
}

// A scan pattern compiled once: "%Nd" and "%N[a-zA-Z]" conversions (N an optional maximum
// width), blanks that match any run of white space including none, and literal characters.
enum class Step : uint8_t { kEnd, kInt, kLetters, kSpace, kLiteral };

struct Token {
  Step step = Step::kEnd;
  char literal = 0;
  int width = 0;  // 0: no limit
};

constexpr size_t kMaxTokens = 24;
using Pattern = std::array<Token, kMaxTokens>;

constexpr std::string_view kLetterSet = "[a-zA-Z]";

constexpr Pattern compile(std::string_view text) {
  Pattern pattern{};
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++n) {
    if (n + 1 >= kMaxTokens) throw "pattern too long";  // compile-time error
    Token& token = pattern[n];
    if (text[i] == ' ') {
      token.step = Step::kSpace;
      while (i < text.size() && text[i] == ' ') ++i;
    } else if (text[i] != '%') {
      token = {Step::kLiteral, text[i++], 0};
    } else {
      for (++i; is_digit(text[i]); ++i) token.width = token.width * 10 + (text[i] - '0');
      if (text[i] == 'd') {
        token.step = Step::kInt;
        ++i;
      } else if (text.substr(i, kLetterSet.size()) == kLetterSet) {
        token.step = Step::kLetters;
        i += kLetterSet.size();
      } else {
        throw "unknown conversion";  // compile-time error
      }
    }
  }
  return pattern;
}

// Matches text against a pattern; answers the conversions made before the first mismatch.
// Text after the last conversion is examined only as far as the pattern goes.
int scan(const char* s, const Pattern& pattern, Field* fields) {
  int made = 0;
  for (const Token& token : pattern) {
    switch (token.step) {
      case Step::kEnd:
        return made;
      case Step::kSpace:
        while (is_space(*s)) ++s;
        break;
      case Step::kLiteral:
        if (*s != token.literal) return made;
        ++s;
        break;
      case Step::kInt:
        if (!scan_int(s, token.width, fields[made].num)) return made;
        ++made;
        break;
      case Step::kLetters: {
        const char* start = s;
        for (int left = token.width > 0 ? token.width : INT_MAX; left > 0 && is_letter(*s); --left) ++s;
        if (s == start) return made;
        fields[made].name = start;
        fields[made++].name_length = size_t(s - start);
        break;
      }
    }
  }
  return made;
}

struct NameEntry {
  const char* name;
  int number;
};

// Both tables are kept in bytewise order for the bisection below.
constexpr NameEntry cu_date_weekdays[] = {
    {"fri", 5}, {"friday", 5},   {"mon", 1}, {"monday", 1},  {"sat", 6}, {"saturday", 6}, {"sun", 0},
    {"sunday", 0}, {"thu", 4}, {"thursday", 4}, {"tue", 2}, {"tuesday", 2}, {"wed", 3}, {"wednesday", 3},
};

constexpr NameEntry cu_date_months[] = {
    {"apr", 3},  {"april", 3},   {"aug", 7},      {"august", 7}, {"dec", 11}, {"december", 11},
    {"feb", 1},  {"february", 1}, {"jan", 0},     {"january", 0}, {"jul", 6}, {"july", 6},
    {"jun", 5},  {"june", 5},     {"mar", 2},     {"march", 2},  {"may", 4},  {"nov", 10},
    {"november", 10}, {"oct", 9}, {"october", 9}, {"sep", 8},    {"september", 8},
};

template <size_t N>
constexpr bool sorted_by_name(const NameEntry (&table)[N]) {
  for (size_t i = 1; i < N; ++i)
    if (std::string_view(table[i - 1].name) >= std::string_view(table[i].name)) return false;
  return true;
}
static_assert(sorted_by_name(cu_date_weekdays) && std::size(cu_date_weekdays) == 14);
static_assert(sorted_by_name(cu_date_months) && std::size(cu_date_months) == 23);

// Bytewise order of a name and a table entry; the names are too short for memcmp to pay.
int compare_bytes(std::string_view name, const char* entry) {
  size_t i = 0;
  for (; i < name.size() && entry[i]; ++i)
    if (name[i] != entry[i]) return uint8_t(name[i]) < uint8_t(entry[i]) ? -1 : 1;
  if (i < name.size()) return 1;
  return entry[i] ? -1 : 0;
}

// The number of a name, compared after lower-casing; -1 when the table has no such name.
template <size_t N>
int lookup(const NameEntry (&table)[N], std::string_view name) {
  char lower[16];
  if (name.size() >= sizeof lower) return -1;  // longer than any entry
  for (size_t i = 0; i < name.size(); ++i) lower[i] = char(name[i] | 0x20);  // letters only
  const std::string_view key(lower, name.size());
  int low = 0, high = int(N) - 1;
  while (low <= high) {
    const int mid = (low + high) / 2;
    const int order = compare_bytes(key, table[mid].name);
    if (order == 0) return table[mid].number;
    if (order < 0)
      high = mid - 1;
    else
      low = mid + 1;
  }
  return -1;
}

struct HttpLayout {
  Pattern pattern;
  int conversions;
  // Field index of each part; weekday -1 when the layout has none.
  int weekday, day, month, year, hour, minute, second;
};

constexpr HttpLayout kHttpLayouts[] = {
    {compile("%d-%400[a-zA-Z]-%d %d:%d:%d GMT"), 6, -1, 0, 1, 2, 3, 4, 5},
    {compile("%d %400[a-zA-Z] %d %d:%d:%d GMT"), 6, -1, 0, 1, 2, 3, 4, 5},
    {compile("%d:%d:%d GMT %d-%400[a-zA-Z]-%d"), 6, -1, 3, 4, 5, 0, 1, 2},
    {compile("%d:%d:%d GMT %d %400[a-zA-Z] %d"), 6, -1, 3, 4, 5, 0, 1, 2},
    {compile("%400[a-zA-Z], %d-%400[a-zA-Z]-%d %d:%d:%d GMT"), 7, 0, 1, 2, 3, 4, 5, 6},
    {compile("%400[a-zA-Z], %d %400[a-zA-Z] %d %d:%d:%d GMT"), 7, 0, 1, 2, 3, 4, 5, 6},
    {compile("%400[a-zA-Z] %400[a-zA-Z] %d %d:%d:%d GMT %d"), 7, 0, 2, 1, 6, 3, 4, 5},
};

// Years after 1900 stand as they are; others are short forms: below 70 is 20xx, the rest 1900 +
// year (so 94 is 1994 and 100 is 2000).
int64_t full_year(int32_t year) {
  if (year > 1900) return year;
  if (year < 70) return 2000 + int64_t(year);
  return 1900 + int64_t(year);
}

int64_t http_date_from_fields(const HttpLayout& layout, const Field* f, int month) {
  // Out-of-range fields carry over: day 0 is the last of the previous month, second 60 the next minute.
  const int64_t days = days_from_civil(full_year(f[layout.year].num), unsigned(month) + 1, 1) + f[layout.day].num - 1;
  const int64_t t = days * kSecondsPerDay + int64_t(f[layout.hour].num) * 3600 + int64_t(f[layout.minute].num) * 60 +
                    f[layout.second].num;
  return t < 0 || t > kLatestHttpDate ? -1 : t;
}

int64_t parse_http_date(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  for (const HttpLayout& layout : kHttpLayouts) {
    Field fields[7];
    if (scan(text, layout.pattern, fields) != layout.conversions) continue;
    if (layout.weekday >= 0 && lookup(cu_date_weekdays, fields[layout.weekday].name_view()) < 0) continue;
    const int month = lookup(cu_date_months, fields[layout.month].name_view());
    if (month < 0) continue;
    return http_date_from_fields(layout, fields, month);
  }
  return -1;
}

// ---- Local time ----

constexpr Pattern kLocalLayouts[] = {
    compile("%04d-%02d-%02d %02d:%02d:%02d"), compile("%04d-%02d-%02d-%02d:%02d:%02d"),
    compile("%04d-%02d-%02d:%02d:%02d:%02d"), compile("%04d-%02d-%02d-%02d-%02d-%02d"),
    compile("%04d%02d%02d-%02d%02d%02d"),     compile("%04d%02d%02d%02d%02d%02d"),
    compile("%04d%02d%02d/%02d%02d%02d"),     compile("%04d/%02d/%02d/%02d/%02d/%02d"),
};

// Configuration dates beyond this year are read as the same day of it.
constexpr int32_t kLastConfigYear = 2030;

// mktime re-reads the zone and replaces the C library's zone state under a lock of its own
// that race detectors cannot see; our calls take turns so that state has one writer at a time.
// They are rare (configuration texts).
std::mutex& mktime_lock() {
  static std::mutex lock;
  return lock;
}

int64_t parse_local_date(const char* text) {
  for (const Pattern& pattern : kLocalLayouts) {
    Field f[6];
    if (scan(text, pattern, f) != 6) continue;
    struct tm tm = {};
    tm.tm_year = (f[0].num > kLastConfigYear ? kLastConfigYear : f[0].num) - 1900;
    tm.tm_mon = f[1].num - 1;
    tm.tm_mday = f[2].num;
    tm.tm_hour = f[3].num;
    tm.tm_min = f[4].num;
    tm.tm_sec = f[5].num;
    tm.tm_isdst = 0;  // local standard time: no daylight-saving shift
    time_t t;
    {
      std::lock_guard<std::mutex> hold(mktime_lock());
      t = mktime(&tm);
    }
    return t < 0 ? -1 : int64_t(t);
  }
  return 0;
}

struct tm local_now() {
  const int64_t now = cu_time();
  struct tm tm = {};
  cu_localtime(&now, &tm);
  return tm;
}

}  // namespace

char* cu_GetGMTString2(int64_t t, char* buf, int32_t size) {
  if (!buf || size <= 0) return nullptr;
  char text[64];
  const size_t n = format_http_date(t, text);
  const size_t kept = n < size_t(size) ? n : size_t(size) - 1;
  memcpy(buf, text, kept);
  buf[kept] = '\0';
  return buf;
}

char* cu_GetGMTString(int64_t t) {
  constexpr int32_t kSize = 100;
  auto* text = static_cast<char*>(_cu_malloc(kSize, kUnit, __LINE__));
  return text ? cu_GetGMTString2(t, text, kSize) : nullptr;
}

int64_t cu_DateParse(const char* text) { return text ? parse_http_date(text) : -1; }

int64_t cu_DateToTime(const char* text) { return text ? parse_local_date(text) : 0; }

void cu_GetLocalDate(char* buf) {
  if (!buf) return;
  const struct tm tm = local_now();
  char text[96];
  snprintf(text, sizeof text, "%d.%2.2d.%2.2d - %2.2d:%2.2d:%2.2d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
           tm.tm_hour, tm.tm_min, tm.tm_sec);
  // Callers give 22 bytes: the text of a four-digit year and its NUL.
  const size_t n = strnlen(text, 21);
  memcpy(buf, text, n);
  buf[n] = '\0';
}

int32_t cu_GetCurrentTimeHH(void) { return local_now().tm_hour; }

int32_t cu_GetCurrentTimeMM(void) { return local_now().tm_min; }

int32_t cu_GetCurrentTimeSS(void) { return local_now().tm_sec; }
