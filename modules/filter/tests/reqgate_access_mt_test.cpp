// The access log's timers and threads: the flush timer on the log's own box, the file switch on
// the master box, and lines from many threads while the files switch.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "reqgate_access_test_util.h"
#include "vor_wait.h"

namespace vor::reqgate::test {
namespace {

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


// Lines from several threads while the hourly files switch and the flush timer runs: every line
// reaches exactly one file, whole.
TEST_F(AccessLogTest, LinesFromManyThreadsStayWholeAcrossSwitches) {
  start("log__flush_interval=1\nGenerateLogIntervalModel=1\nrecord__timestamp=0\n");
  constexpr int kThreads = 6;
  constexpr int kLines = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, t] {
      for (int n = 0; n < kLines; ++n) {
        const std::string request = "GET /t" + std::to_string(t) + "/" + std::to_string(n) + " HTTP/1.1";
        line(request.c_str());
      }
    });
  }
  for (int hour = 11; hour < 15; ++hour) {
    g_now = utc(2026, 12, 11, hour, 0, 1);
    access_rotate();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (auto& w : writers) w.join();
  access_exit();
  std::set<std::string> seen;
  size_t total = 0;
  for (int hour = 10; hour < 15; ++hour) {
    const std::string text = day_file(("2026-12-11-" + std::to_string(hour)).c_str());
    size_t at = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; at = end + 2, end = text.find("\r\n", at)) {
      const std::string one = text.substr(at, end - at);
      ASSERT_EQ(one.rfind("10.1.2.3 \"GET /t", 0), 0u) << one;
      ASSERT_TRUE(one.ends_with(" HTTP/1.1\" 200 1234")) << one;
      seen.insert(one);
      ++total;
    }
    EXPECT_EQ(at, text.size()) << "a line cut short in hour " << hour;
  }
  EXPECT_EQ(total, size_t{kThreads * kLines});
  EXPECT_EQ(seen.size(), total);
}

}  // namespace
}  // namespace vor::reqgate::test
