// The access log: lines read back from the files the log writes, in a temporary runtime tree
// whose bin/ folder the test runs in, with a clock the test sets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "cu_malloc.h"
#include "reqgate_internal.h"
#include "reqgate_test_util.h"
#include "vor_box.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace {

namespace fs = std::filesystem;
using vor::reqgate::test::make_head;
using namespace vor::reqgate;

int64_t g_now = 0;
uint8_t g_unenable = 0;
int64_t fake_clock() { return g_now; }

// Seconds since 1970 of a UTC civil time.
int64_t utc(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

void use_zone(const char* zone) {
  setenv("TZ", zone, 1);
  tzset();
}

constexpr char kRequest[] =
    "GET /a/b?c=1 HTTP/1.1\r\nHost: shop.test\r\nReferer: http://ref.test/p\r\nUser-Agent: fetch/8.1";

class AccessLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_zone("UTC");
    g_now = utc(2026, 12, 11, 10, 59, 59);
    g_unenable = 0;
    set_access_clock(fake_clock);
    root_ = dir_.path();
    for (const char* folder : {"bin", "logs", "config/zazudaza", "modules/zazudaza"}) {
      fs::create_directories(root_ + "/" + folder);
    }
    old_cwd_ = fs::current_path().string();
    ASSERT_EQ(chdir((root_ + "/bin").c_str()), 0);
  }
  void TearDown() override {
    // The next test starts without this one's log, rules or timer.
    for (const char* place : {"config", "modules"}) fs::remove(root_ + "/" + place + "/zazudaza/access.ini");
    access_init(nullptr);
    if (box_) vorx_ThreadBox_destroy(box_);
    set_access_clock(nullptr);
    use_zone("UTC");
    ASSERT_EQ(chdir(old_cwd_.c_str()), 0);
  }

  // access.ini in modules/zazudaza (or config/zazudaza), section access, then the init.
  void start(const std::string& keys, const char* place = "modules", vor_box* master = nullptr) {
    write_ini(keys, place);
    access_init(master);
  }
  void write_ini(const std::string& keys, const char* place) {
    vor::test::write_file(root_ + "/" + place + "/zazudaza/access.ini", "[access]\n" + keys);
  }
  void line(const char* request = kRequest, const char* status = "200", uint64_t bytes = 1234,
            const char* cache_status = "HIT") {
    auto head = make_head(request);
    auto* buffer = static_cast<char*>(_cu_malloc(kAccessLineSize, "test", __LINE__));
    access_line("10.1.2.3", head.get(), status, bytes, cache_status, buffer);
  }
  std::string day_file(const char* day = "2026-12-11") {
    return vor::test::read_file(root_ + "/logs/access/access-" + day + ".log");
  }
  size_t files_written() {
    const fs::path folder = root_ + "/logs/access";
    if (!fs::exists(folder)) return 0;
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
  }

  vor::test::TempDir dir_;
  std::string root_;
  std::string old_cwd_;
  vor_box* box_ = nullptr;
};

size_t lines_of(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// Every backslash starts a whole \xHH escape.
bool escapes_whole(const std::string& text) {
  for (size_t i = text.find('\\'); i != std::string::npos; i = text.find('\\', i + 1)) {
    if (i + 3 >= text.size() || text[i + 1] != 'x' || !std::isxdigit(static_cast<unsigned char>(text[i + 2])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
      return false;
    }
  }
  return true;
}

constexpr char kAllOff[] =
    "log__flush_interval=0\nrecord__remote_ip=0\nrecord__timestamp=0\nrecord__request=0\n";

struct GoldenCase {
  const char* keys;
  const char* line;
};
const GoldenCase kGolden[] = {
    {"log__flush_interval=0\n", "10.1.2.3 - - [11/Dec/2026:10:59:59 +0000] \"GET /a/b?c=1 HTTP/1.1\" 200 1234\r\n"},
    {"log__flush_interval=0\nrecord__remote_ip=0\nrecord__timestamp=0\nrecord__request=0\n"
     "record__cache_status=1\n",
     " \"HIT\"\r\n"},
    {"log__flush_interval=0\nrecord__timestamp=0\nrecord__request=0\n", "10.1.2.3\r\n"},
    {"log__flush_interval=0\nrecord__remote_ip=0\nrecord__request=0\n", " - - [11/Dec/2026:10:59:59 +0000]\r\n"},
    {"log__flush_interval=0\nrecord__remote_ip=0\nrecord__timestamp=0\n", " \"GET /a/b?c=1 HTTP/1.1\" 200 1234\r\n"},
    {"log__flush_interval=0\nrecord__remote_ip=0\nrecord__timestamp=0\nrecord__request=0\nrecord__host=1\n",
     " \"shop.test\"\r\n"},
    {"log__flush_interval=0\nrecord__remote_ip=0\nrecord__timestamp=0\nrecord__request=0\nrecord__referer=1\n",
     " \"http://ref.test/p\"\r\n"},
    {"log__flush_interval=0\nrecord__remote_ip=0\nrecord__timestamp=0\nrecord__request=0\nrecord__user_agent=1\n",
     " \"fetch/8.1\"\r\n"},
    // Every field, in the fixed order; "7" and "12abc" read as on by their leading digits.
    {"log__flush_interval=0\nrecord__host=7\nrecord__referer=1\nrecord__user_agent=12abc\nrecord__cache_status=1\n",
     "10.1.2.3 - - [11/Dec/2026:10:59:59 +0000] \"shop.test\" \"GET /a/b?c=1 HTTP/1.1\" 200 1234 "
     "\"http://ref.test/p\" \"fetch/8.1\" \"HIT\"\r\n"},
    // An empty value does not count; a value without leading digits is 0.
    {"log__flush_interval=0\nrecord__remote_ip=\nrecord__timestamp=off\nrecord__request=x\n", "10.1.2.3\r\n"},
};

TEST_F(AccessLogTest, GoldenLinesForEachSwitchAndAMix) {
  for (const auto& c : kGolden) {
    SCOPED_TRACE(c.keys);
    fs::remove_all(root_ + "/logs/access");
    start(c.keys);
    line();
    EXPECT_EQ(day_file(), c.line);
  }
}

TEST_F(AccessLogTest, TimeIsLocalWithItsRealOffset) {
  use_zone("Asia/Shanghai");
  start("log__flush_interval=0\n");
  line();
  // 10:59:59 UTC is 18:59:59 in Shanghai, the same day.
  EXPECT_EQ(day_file(), "10.1.2.3 - - [11/Dec/2026:18:59:59 +0800] \"GET /a/b?c=1 HTTP/1.1\" 200 1234\r\n");
  use_zone("America/St_Johns");  // a zone behind UTC by a part hour
  g_now = utc(2026, 12, 12, 2, 0, 0);
  fs::remove_all(root_ + "/logs/access");
  start("log__flush_interval=0\nrecord__remote_ip=0\nrecord__request=0\n");
  line();
  EXPECT_EQ(day_file(), " - - [11/Dec/2026:22:30:00 -0330]\r\n") << "the day of the local time names the file";
}

TEST_F(AccessLogTest, MissingHeadersGiveEmptyQuotes) {
  start("log__flush_interval=0\nrecord__remote_ip=0\nrecord__timestamp=0\nrecord__host=1\nrecord__referer=1\n"
        "record__user_agent=1\nrecord__cache_status=1\n");
  line("GET / HTTP/1.0", "304", 0, "MISS");
  EXPECT_EQ(day_file(), " \"\" \"GET / HTTP/1.0\" 304 0 \"\" \"\" \"MISS\"\r\n");
}

TEST_F(AccessLogTest, LongValuesAreCutToTheirLimits) {
  start("log__flush_interval=0\nrecord__remote_ip=0\nrecord__timestamp=0\nrecord__request=0\nrecord__host=1\n"
        "record__referer=1\nrecord__user_agent=1\n");
  const std::string request = "GET / HTTP/1.1\r\nHost: " + std::string(300, 'h') + "\r\nReferer: " +
                              std::string(5000, 'r') + "\r\nUser-Agent: " + std::string(400, 'u');
  line(request.c_str());
  EXPECT_EQ(day_file(), " \"" + std::string(199, 'h') + "\" \"" + std::string(4095, 'r') + "\" \"" +
                            std::string(255, 'u') + "\"\r\n");
}

// A client's quote or backslash cannot close its field early and forge the fields after it;
// control bytes never reach the file raw. Bytes of 0x80 and above pass as they are.
TEST_F(AccessLogTest, QuotedFieldsAreEscaped) {
  start("log__flush_interval=0\nrecord__remote_ip=0\nrecord__timestamp=0\nrecord__host=1\nrecord__referer=1\n"
        "record__user_agent=1\nrecord__cache_status=1\n");
  line("GET /x\"\\\x01\x7f\xc3\xa9 HTTP/1.1\r\nHost: a\"b\r\nReferer: r\" \"HIT\r\nUser-Agent: \x1b[2Jua\\", "200", 5,
       "MISS");
  EXPECT_EQ(day_file(),
            " \"a\\x22b\" \"GET /x\\x22\\x5C\\x01\\x7F\xc3\xa9 HTTP/1.1\" 200 5 \"r\\x22 \\x22HIT\" "
            "\"\\x1B[2Jua\\x5C\" \"MISS\"\r\n");
}

// Every length of an oversized request line around the buffer's size: the line fits the
// buffer, ends with one CR LF, keeps its quotes, status, count and the fields after it, and
// never splits an escape.
TEST_F(AccessLogTest, OversizedLinesAreCutInsideTheBuffer) {
  start("log__flush_interval=0\nrecord__host=1\nrecord__referer=1\nrecord__user_agent=1\nrecord__cache_status=1\n");
  auto buffer = std::make_unique<char[]>(kAccessLineSize);
  for (size_t target = 16300; target <= 16400; target += 7) {
    for (const char fill : {'a', '"'}) {
      SCOPED_TRACE(std::to_string(target) + " " + fill);
      const std::string request = "GET /" + std::string(target, fill) + " HTTP/1.1\r\nReferer: " +
                                  std::string(4095, '\x01') + "\r\nUser-Agent: " + std::string(255, '"');
      auto head = make_head(request);
      const size_t len = access_format(buffer.get(), "10.1.2.3", head.get(), "206", 4294967296u, "HIT");
      ASSERT_LE(len, kAccessLineSize);
      const std::string text(buffer.get(), len);
      EXPECT_EQ(text.find("\r\n"), len - 2);
      const std::string tail = "\" 206 4294967296 \"\" \"\" \"HIT\"\r\n";
      EXPECT_EQ(text.substr(len - tail.size()), tail);
      EXPECT_TRUE(escapes_whole(text));
    }
  }
}

TEST_F(AccessLogTest, FlushIntervalZeroWritesEveryLineThrough) {
  start("log__flush_interval=0\n");
  for (int i = 0; i < 3; ++i) line();
  EXPECT_EQ(lines_of(day_file()), 3u);
}

// -5 is taken as 5: the buffered line reaches the file once the flush timer fires.
TEST_F(AccessLogTest, NegativeFlushIntervalFlushesAfterItsAbsoluteValue) {
  start("log__flush_interval=-5\n");
  line();
  EXPECT_EQ(day_file(), "") << "a buffered line waits for the flush";
  const auto begun = std::chrono::steady_clock::now();
  ASSERT_TRUE(vor::test::wait_until([&] { return !day_file().empty(); }, std::chrono::seconds(12)));
  EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::seconds(3));
  line();
  EXPECT_EQ(lines_of(day_file()), 1u) << "a new flush is armed";
  access_exit();
  EXPECT_EQ(lines_of(day_file()), 2u) << "the exit flushes";
}

struct DelayCase {
  int hour, minute, second;
  bool hourly;
  uint32_t ms;
};
const DelayCase kDelays[] = {
    {10, 59, 59, true, 1000},       {10, 0, 0, true, 3600000},       {10, 30, 15, true, 1785000},
    {23, 59, 59, false, 1000},      {0, 0, 0, false, 86400000},       {12, 30, 15, false, 41385000},
};

TEST_F(AccessLogTest, SwitchDelayReachesTheNextHourOrMidnight) {
  for (const auto& c : kDelays) {
    SCOPED_TRACE(std::to_string(c.hour) + ":" + std::to_string(c.minute) + ":" + std::to_string(c.second));
    EXPECT_EQ(access_switch_delay_ms(utc(2026, 12, 11, c.hour, c.minute, c.second), c.hourly), c.ms);
  }
}

// The switch timer on the master box: a line at 10:59:59 goes to hour 10's file, one after the
// switch at 11:00:01 to hour 11's.
TEST_F(AccessLogTest, HourlyFilesSwitchAtTheFullHour) {
  box_ = vorx_ThreadBox_create();
  ASSERT_NE(box_, nullptr);
  start("log__flush_interval=0\nGenerateLogIntervalModel=1\n", "modules", box_);
  line();
  g_now = utc(2026, 12, 11, 11, 0, 1);
  const std::string hour11 = root_ + "/logs/access/access-2026-12-11-11.log";
  ASSERT_TRUE(vor::test::wait_until([&] { return fs::exists(hour11); }));
  line();
  EXPECT_EQ(lines_of(day_file("2026-12-11-10")), 1u);
  EXPECT_EQ(vor::test::read_file(hour11),
            "10.1.2.3 - - [11/Dec/2026:11:00:01 +0000] \"GET /a/b?c=1 HTTP/1.1\" 200 1234\r\n");
}

TEST_F(AccessLogTest, DailyFilesSwitchAtLocalMidnight) {
  use_zone("Asia/Shanghai");
  g_now = utc(2026, 12, 11, 15, 59, 59);  // 23:59:59 in Shanghai
  box_ = vorx_ThreadBox_create();
  ASSERT_NE(box_, nullptr);
  start("log__flush_interval=0\nrecord__request=0\n", "modules", box_);
  line();
  g_now = utc(2026, 12, 11, 16, 0, 1);
  const std::string next_day = root_ + "/logs/access/access-2026-12-12.log";
  ASSERT_TRUE(vor::test::wait_until([&] { return fs::exists(next_day); }));
  line();
  EXPECT_EQ(day_file("2026-12-11"), "10.1.2.3 - - [11/Dec/2026:23:59:59 +0800]\r\n");
  EXPECT_EQ(day_file("2026-12-12"), "10.1.2.3 - - [12/Dec/2026:00:00:01 +0800]\r\n");
}

TEST_F(AccessLogTest, RotationWithoutATimerNamesTheCurrentHour) {
  start("log__flush_interval=0\nGenerateLogIntervalModel=3\n");
  g_now = utc(2026, 12, 11, 11, 0, 1);
  access_rotate();
  line();
  EXPECT_EQ(day_file("2026-12-11-10"), "");
  EXPECT_NE(day_file("2026-12-11-11"), "");
}

}  // namespace

extern "C" uint8_t policydb_system_get_UnenableAccessLog(void) { return g_unenable; }

namespace {

// Hit lines through the callers' entry: the rules pick the cache keys that are logged.
TEST_F(AccessLogTest, RulesSelectTheLoggedKeys) {
  start(std::string(kAllOff) + "record__cache_status=1\nrecord__request=1\nlog__request_url_5=^shop\\.test/a/\n"
                               "log__request_url_9=(unclosed\n");
  auto head = make_head(kRequest);
  EXPECT_TRUE(access_wanted("shop.test/a/b?c=1")) << "a rule numbered 5 counts alone";
  EXPECT_TRUE(access_wanted("SHOP.test/A/b")) << "rules ignore case";
  EXPECT_FALSE(access_wanted("shop.test/b/"));
  access_log_hit(7, head.get(), "shop.test/b/", "200", 10);
  EXPECT_EQ(day_file(), "") << "no rule matches";
  g_unenable = 1;
  access_log_hit(7, head.get(), "shop.test/a/b?c=1", "200", 10);
  EXPECT_EQ(day_file(), "") << "access logging off";
  g_unenable = 0;
  access_log_hit(7, head.get(), "shop.test/a/b?c=1", "206", 10);
  EXPECT_EQ(day_file(), " \"GET /a/b?c=1 HTTP/1.1\" 206 10 \"HIT\"\r\n");
}

TEST_F(AccessLogTest, MissLinesCarryTheUpstreamStatusAndBytesReceived) {
  start(std::string(kAllOff) + "record__cache_status=1\nrecord__request=1\nrecord__remote_ip=1\n"
                               "log__request_url_0=^shop\\.test/\n");
  auto request = make_head(kRequest);
  std::unique_ptr<FilterRecord> record(make_record(9, request.get(), 11, "shop.test/a/b?c=1"));
  ASSERT_NE(record, nullptr);
  access_log_miss(*record);
  EXPECT_EQ(day_file(), "") << "no line without a response status";
  const std::string response = "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\n";
  http_parser_parse(record->response, response.data(), static_cast<int32_t>(response.size()));
  http_parser_buildIndex(record->response);
  record->bytes_received = 3;
  access_log_miss(*record);
  EXPECT_EQ(day_file(), "0.0.0.0 \"GET /a/b?c=1 HTTP/1.1\" 404 3 \"MISS\"\r\n");
}

TEST_F(AccessLogTest, TheConfigFolderIsReadFirst) {
  write_ini("log__flush_interval=0\nlog__request_url_0=^one/\n", "config");
  start("log__flush_interval=0\nlog__request_url_0=^two/\n", "modules");
  EXPECT_TRUE(access_wanted("one/x"));
  EXPECT_FALSE(access_wanted("two/x"));
}

TEST_F(AccessLogTest, WithoutAccessIniNothingIsWritten) {
  access_init(nullptr);
  EXPECT_FALSE(access_wanted("shop.test/a/b?c=1"));
  auto head = make_head(kRequest);
  access_log_hit(7, head.get(), "shop.test/a/b?c=1", "200", 10);
  line();
  EXPECT_EQ(files_written(), 0u);
}

}  // namespace
