// Site and URL statistics: registrations, counts, periods and the texts of the reports.
#include "tallies.h"

#include "../../voraux/tests/gbk_test_util.h"
#include "../../voraux/tests/utf8_check.h"
#include "tallies_internal.h"
#include "vor_tempdir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using vor::test::to_gbk;

struct Report {
  bool ok = false;
  std::string text;
  int64_t start = -1, end = -1;
  std::string rate;
};

Report site_report(int32_t capacity = 16383) {
  Report r;
  std::vector<char> buf(16384, '#');
  char rate[TALLIES_RATE_SIZE];
  r.ok = tallies__StatRealTimeReport(buf.data(), capacity, &r.start, &r.end, rate);
  r.text = buf.data();
  r.rate = rate;
  return r;
}

Report url_report(const char* url, int32_t capacity = 16383) {
  Report r;
  std::vector<char> buf(16384, '#');
  char rate[TALLIES_RATE_SIZE];
  r.ok = tallies__UrlRealTimeReport(url, buf.data(), capacity, &r.start, &r.end, rate);
  r.text = buf.data();
  r.rate = rate;
  return r;
}

TEST(Tallies, SiteReportCountsRequestsHitsAddressesAndLocations) {
  tallies__Restart();
  const std::string other = to_gbk("其它");
  const std::string local = to_gbk("本机");
  ASSERT_TRUE(tallies__SynStat("10.0.0.1", other.c_str(), true));
  ASSERT_TRUE(tallies__SynStat("10.0.0.1", other.c_str(), false));
  ASSERT_TRUE(tallies__SynStat("10.0.0.2", other.c_str(), false));
  ASSERT_TRUE(tallies__SynStat("127.0.0.1", local.c_str(), true));
  EXPECT_FALSE(tallies__SynStat(nullptr, other.c_str(), true));
  const Report r = site_report();
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.text,
            "Requests: 4\r\nHits: 2\r\nAddresses: 3\r\nLocation\tRequests\tHits\r\n"
            "其它\t3\t1\r\n本机\t1\t1\r\n");
  EXPECT_EQ(r.rate, "50.00%");
  EXPECT_LE(r.start, r.end);
  EXPECT_GT(r.start, 1700000000);
}

TEST(Tallies, CountingNeedsNoRestartFirst) {
  const std::string before = site_report().text;
  ASSERT_TRUE(tallies__SynStat("192.168.1.9", "", false));
  EXPECT_NE(site_report().text, before);
}

TEST(Tallies, UrlsCountOnlyWhileRegistered) {
  tallies__Restart();
  const char* url = "a.com/count/*";
  EXPECT_FALSE(tallies__SynUrl(url, "", true));  // not registered: nothing counted
  EXPECT_FALSE(url_report(url).ok);
  ASSERT_TRUE(tallies__AddUrl(url));
  ASSERT_TRUE(tallies__AddUrl(url));  // a second rule with the same text
  ASSERT_TRUE(tallies__SynUrl(url, "", true));
  ASSERT_TRUE(tallies__DelUrl(url));
  ASSERT_TRUE(tallies__SynUrl(url, "", false));  // one registration is left
  Report r = url_report(url);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.text, "Requests: 2\r\nHits: 1\r\nLocation\tRequests\tHits\r\n-\t2\t1\r\n");
  EXPECT_EQ(r.rate, "50.00%");
  ASSERT_TRUE(tallies__DelUrl(url));
  EXPECT_FALSE(tallies__DelUrl(url));
  EXPECT_FALSE(tallies__SynUrl(url, "", true));
  r = url_report(url);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "");  // unknown: an empty report
  EXPECT_EQ(r.rate, "0.00%");
  // Registered again: counting starts from nothing.
  ASSERT_TRUE(tallies__AddUrl(url));
  EXPECT_EQ(url_report(url).text, "Requests: 0\r\nHits: 0\r\n");
  ASSERT_TRUE(tallies__DelUrl(url));
}

TEST(Tallies, RestartEmptiesCountsAndKeepsRegistrations) {
  const char* url = "b.com/restart";
  ASSERT_TRUE(tallies__AddUrl(url));
  ASSERT_TRUE(tallies__SynUrl(url, "x", true));
  ASSERT_TRUE(tallies__SynStat("1.1.1.1", "x", true));
  tallies__Restart();
  EXPECT_EQ(site_report().text, "Requests: 0\r\nHits: 0\r\nAddresses: 0\r\n");
  EXPECT_EQ(site_report().rate, "0.00%");
  EXPECT_EQ(url_report(url).text, "Requests: 0\r\nHits: 0\r\n");
  EXPECT_TRUE(tallies__SynUrl(url, "x", true));
  ASSERT_TRUE(tallies__DelUrl(url));
}

TEST(Tallies, LocationsAreCutAtTenBytesAndShownAsUtf8) {
  tallies__Restart();
  const std::string long_gbk = "a" + to_gbk("其它其它其它");  // 13 bytes
  ASSERT_TRUE(tallies__SynStat("1.2.3.4", long_gbk.c_str(), false));
  ASSERT_TRUE(tallies__SynStat("1.2.3.4", "\xff\xfe", false));
  const Report r = site_report();
  EXPECT_NE(r.text.find("a其它其它?\t1\t0\r\n"), std::string::npos) << r.text;
  EXPECT_TRUE(vor::test::valid_utf8(r.text));
}

TEST(Tallies, DistinctAddressesAreCapped) {
  tallies__Restart();
  for (int i = 0; i < 70000; ++i) {
    const std::string address = "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                                std::to_string(i % 256);
    ASSERT_TRUE(tallies__SynStat(address.c_str(), "", false));
  }
  EXPECT_NE(site_report().text.find("Addresses: 65536+\r\n"), std::string::npos);
}

TEST(Tallies, ReportsAreCutAtALineEnd) {
  tallies__Restart();
  for (int i = 0; i < 40; ++i) {
    const std::string location = to_gbk("区") + std::to_string(i);
    ASSERT_TRUE(tallies__SynStat("9.9.9.9", location.c_str(), i % 3 == 0));
  }
  const std::string full = site_report().text;
  ASSERT_GT(full.size(), 300u);
  for (int32_t capacity = 1; capacity <= static_cast<int32_t>(full.size()) + 2; ++capacity) {
    SCOPED_TRACE(capacity);
    const Report r = site_report(capacity);
    ASSERT_LE(r.text.size(), static_cast<size_t>(capacity - 1));
    ASSERT_EQ(full.compare(0, r.text.size(), r.text), 0);
    if (!r.text.empty()) {
      ASSERT_EQ(r.text.substr(r.text.size() - 2), "\r\n");
    }
    if (r.text.size() < full.size()) {
      const size_t next_line_end = full.find("\r\n", r.text.size()) + 2;
      ASSERT_GT(next_line_end, static_cast<size_t>(capacity - 1));  // the next line would not have fitted
    }
  }
  char buf[4];
  EXPECT_FALSE(tallies__StatRealTimeReport(buf, 0, nullptr, nullptr, nullptr));
  EXPECT_FALSE(tallies__StatRealTimeReport(nullptr, 10, nullptr, nullptr, nullptr));
  EXPECT_TRUE(tallies__StatRealTimeReport(buf, 1, nullptr, nullptr, nullptr));
  EXPECT_STREQ(buf, "");
}

TEST(Tallies, TextReportIsOneUtf8FilePerPeriod) {
  vor::test::TempDir dir;
  const std::string folder = dir.file("logs/tallies");
  tallies__Restart();
  const int64_t start = site_report().start;
  const char* url = "c.com/\xff\xfe/page";
  ASSERT_TRUE(tallies__AddUrl(url));
  ASSERT_TRUE(tallies__SynUrl(url, to_gbk("北京").c_str(), true));
  ASSERT_TRUE(tallies__SynStat("8.8.8.8", to_gbk("北京").c_str(), true));
  ASSERT_TRUE(tallies::write_text_report(folder));
  ASSERT_TRUE(tallies::write_text_report(folder));  // the same period: the same file
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(folder)) files.push_back(e.path().filename());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], tallies::report_file_name(start));
  const std::string text = vor::test::read_file(folder + "/" + files[0]);
  EXPECT_TRUE(vor::test::valid_utf8(text));
  EXPECT_NE(text.find("Url: c.com/?" "?/page\r\nRequests: 1\r\nHits: 1\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("北京\t1\t1\r\n"), std::string::npos);
  ASSERT_TRUE(tallies__DelUrl(url));
}

TEST(Tallies, TextReportGoesUnderLogsBesideTheProgramFolder) {
  vor::test::TempDir dir;
  ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0755), 0);
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.file("bin"));
  const bool written = tallies__TextReport();
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(written);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("logs/tallies")),
                          std::filesystem::directory_iterator()),
            1);
}

}  // namespace
