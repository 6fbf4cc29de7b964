// The access log's tests: a temporary runtime tree whose bin/ folder the test runs in,
// access.ini written by the test, a clock the test sets, and the lines read back from the files.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "cu_malloc.h"
#include "reqgate_internal.h"
#include "reqgate_test_util.h"
#include "vor_box.h"
#include "vor_tempdir.h"

namespace vor::reqgate::test {

namespace fs = std::filesystem;

// The clock the log reads (the switch timer reads it on the master box's thread).
inline std::atomic<int64_t> g_now{0};
inline std::atomic<uint8_t> g_unenable{0};
inline int64_t fake_clock() { return g_now.load(); }

// Seconds since 1970 of a UTC civil time.
inline int64_t utc(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

inline void use_zone(const char* zone) {
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

inline size_t lines_of(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Every backslash starts a whole \xHH escape.
inline bool escapes_whole(const std::string& text) {
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

}  // namespace vor::reqgate::test

// One test file per program includes this header: it answers the access-log switch.
extern "C" uint8_t policydb_system_get_UnenableAccessLog(void) { return vor::reqgate::test::g_unenable.load(); }
