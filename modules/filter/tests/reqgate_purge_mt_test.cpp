// Prefix scans on their own threads: scans started together run one after another, each marking
// only its own entries, and the module's exit stops queued and running scans before it closes
// the stores, which keep every record whole.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cu_lib.h"
#include "reqgate_purge_test_util.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

constexpr uint8_t kClasses[] = {kPublic, kMember, kVisitor};

std::string key_of(char folder, int n) { return std::string("q.test/") + folder + "/" + std::to_string(n) + ".html"; }

// The URLs of the scan trace lines, in the order printed.
std::vector<std::string> traced_urls(const std::string& out) {
  std::vector<std::string> urls;
  std::istringstream lines(out);
  std::string line;
  const std::string head = "[IndexScan -> Expired] ";
  while (std::getline(lines, line)) {
    if (line.rfind(head, 0) != 0) continue;
    urls.push_back(line.substr(head.size(), line.find(" -> ", head.size()) - head.size()));
  }
  return urls;
}

TEST_F(PurgeStores, ScansStartedTogetherRunOneAfterAnother) {
  constexpr int kPerFolder = 200;
  for (char folder : {'a', 'b', 'c'}) {
    for (int n = 0; n < kPerFolder; ++n) put_record(kClasses[n % 3], key_of(folder, n));
  }
  put_record(kPublic, "q.test/d/0.html");
  testing::internal::CaptureStdout();
  for (const char* url : {"q.test/a/*", "q.test/b/*", "q.test/c/*"}) EXPECT_EQ(reqgate_CleanDiskCache(url), 1);
  ASSERT_TRUE(scans_done());
  const std::vector<std::string> urls = traced_urls(testing::internal::GetCapturedStdout());
  // Each scan's lines form one block: no two scans walked at once.
  std::map<std::string, int> lines;
  std::vector<std::string> blocks;
  for (const std::string& url : urls) {
    ++lines[url];
    if (blocks.empty() || blocks.back() != url) blocks.push_back(url);
  }
  EXPECT_EQ(blocks.size(), 3u);
  EXPECT_EQ(lines, (std::map<std::string, int>{{"q.test/a/*", kPerFolder}, {"q.test/b/*", kPerFolder},
                                               {"q.test/c/*", kPerFolder}}));
  for (char folder : {'a', 'b', 'c'}) {
    for (int n = 0; n < kPerFolder; ++n) ASSERT_EQ(ep_of(stored_text(kClasses[n % 3], key_of(folder, n))), stamp());
  }
  EXPECT_EQ(ep_of(stored_text(kPublic, "q.test/d/0.html")), hex(kFuture));
}

// Purges of single URLs go on while the scans rewrite records around them.
TEST_F(PurgeStores, ExactPurgesRunBesideScans) {
  constexpr int kEntries = 600;
  for (int n = 0; n < kEntries; ++n) put_record(kClasses[n % 3], key_of('e', n));
  set_console_trace(false);
  reqgate_CleanDiskCache("q.test/e/*");
  reqgate_CleanDiskCache("q.test/*");
  for (int n = 0; n < kEntries; n += 2) EXPECT_EQ(reqgate_CleanDiskCache(key_of('e', n).c_str()), 1);
  ASSERT_TRUE(scans_done());
  set_console_trace(true);
  for (int n = 0; n < kEntries; ++n) {
    const std::string text = stored_text(kClasses[n % 3], key_of('e', n));
    if (n % 2 == 0) {
      // A purged record may come back only as the scan's rewrite of the record it read.
      if (!text.empty()) {
        EXPECT_EQ(ep_of(text), stamp()) << n;
      }
    } else {
      EXPECT_EQ(ep_of(text), stamp()) << n;
    }
  }
}

TEST_F(PurgeStores, ExitStopsQueuedAndRunningScans) {
  constexpr int kEntries = 3000;
  constexpr int kScans = 40;
  for (int n = 0; n < kEntries; ++n) put_record(kClasses[n % 3], key_of('x', n));
  set_console_trace(false);
  for (int i = 0; i < kScans; ++i) reqgate_CleanDiskCache(i % 2 ? "q.test/x/*" : "*/*");
  stop();
  EXPECT_EQ(index_scans_running(), 0u);
  // No scan of before the exit reaches the stores opened again: an entry added then stays.
  start();
  set_console_trace(false);
  put_record(kPublic, "q.test/x/late.html");
  cu_sleep(300);
  EXPECT_EQ(ep_of(stored_text(kPublic, "q.test/x/late.html")), hex(kFuture));
  // Every record is whole: expired by a scan or as it was.
  for (int n = 0; n < kEntries; ++n) {
    const std::string text = stored_text(kClasses[n % 3], key_of('x', n));
    const std::string ep = ep_of(text);
    ASSERT_TRUE(ep == stamp() || ep == hex(kFuture)) << n << ": " << text;
  }
  reqgate_CleanDiskCache("q.test/x/*");
  ASSERT_TRUE(scans_done());
  for (int n = 0; n < kEntries; n += 97) EXPECT_EQ(ep_of(stored_text(kClasses[n % 3], key_of('x', n))), stamp());
}

// A purge after the exit finds the stores closed: its scan ends at once.
TEST_F(PurgeStores, AScanAfterTheExitFindsNoStore) {
  put_record(kPublic, "q.test/y/1.html");
  stop();
  EXPECT_EQ(reqgate_CleanDiskCache("q.test/y/*"), 1);
  ASSERT_TRUE(scans_done());
  start();
  EXPECT_EQ(ep_of(stored_text(kPublic, "q.test/y/1.html")), hex(kFuture));
}

}  // namespace
