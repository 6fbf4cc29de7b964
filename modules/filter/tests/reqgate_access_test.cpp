// The access log: lines read back from the files the log writes, with a clock the test sets.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "reqgate_access_test_util.h"

namespace vor::reqgate::test {
namespace {

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

TEST_F(AccessLogTest, RotationWithoutATimerNamesTheCurrentHour) {
  start("log__flush_interval=0\nGenerateLogIntervalModel=3\n");
  g_now = utc(2026, 12, 11, 11, 0, 1);
  access_rotate();
  line();
  EXPECT_EQ(day_file("2026-12-11-10"), "");
  EXPECT_NE(day_file("2026-12-11-11"), "");
}


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
}  // namespace vor::reqgate::test
