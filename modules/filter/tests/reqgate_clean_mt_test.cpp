// Cleaning passes on their own threads: one pass per disk and per store (a trigger during a pass
// starts nothing), every end of a pass (an unknown disk's at once too) lets the next trigger
// start it again, the module exit ends running passes early and waits for them, and the index
// stores' clean check starts a pass once a store holds more records than its buckets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "reqgate_clean_test_util.h"
#include "vor_kv2.h"
#include "vor_wait.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

// Pauses block while held, so a pass can be caught in the middle.
std::atomic<bool> g_hold{false};
std::atomic<int> g_held{0};
void hold_pause() {
  if (!g_hold.load()) return;
  g_held.fetch_add(1);
  while (g_hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::atomic<int> g_draws{0};
int32_t counted_draw() {
  g_draws.fetch_add(1);
  return seeded_draw();
}

class CleanThreads : public CleanTest {
 protected:
  void SetUp() override {
    CleanTest::SetUp();
    g_hold = false;
    g_held = 0;
    g_draws = 0;
    g_clean.on_pause = hold_pause;
  }
  void TearDown() override {
    g_hold = false;
    CleanTest::TearDown();
  }
  void begin() {
    start();
    set_console_trace(false);
  }
  std::vector<CacheFile> spread(uint8_t kind, int count) {
    std::vector<CacheFile> files;
    for (int i = 0; i < count; ++i) files.push_back(put_file(kind, std::to_string(i % 100), name_of(i, 't')));
    return files;
  }
  static size_t count_on_disk(const std::vector<CacheFile>& files) {
    size_t n = 0;
    for (const CacheFile& f : files) n += on_disk(f) ? 1 : 0;
    return n;
  }
  size_t occurrences(const std::string& text) {
    const std::string log = log_text();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
};

TEST_F(CleanThreads, ATriggerDuringAPassStartsNothing) {
  clean_calls().draw = every_draw;
  begin();
  const std::vector<CacheFile> disk_files = spread(kPublic, 20);
  g_hold = true;
  ASSERT_TRUE(dclean_start(1));
  ASSERT_TRUE(iclean_start(IndexStore::kVisitor));
  ASSERT_TRUE(vor::test::wait_until([] { return g_held.load() >= 1; }));
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(dclean_start(1));
    EXPECT_FALSE(iclean_start(IndexStore::kVisitor));
  }
  // Another disk and another store run beside them.
  add_disk(2, root_ + "/disk2", false);
  EXPECT_TRUE(dclean_start(2));
  EXPECT_TRUE(iclean_start(IndexStore::kContent));
  g_hold = false;
  // Each end leaves its set: the next trigger starts a pass again.
  ASSERT_TRUE(vor::test::wait_until([] { return dclean_start(1); }));
  ASSERT_TRUE(vor::test::wait_until([] { return iclean_start(IndexStore::kVisitor); }));
  stop();
  EXPECT_EQ(count_on_disk(disk_files), 0u);
}

// A disk unknown (or not used) ends its pass at the first step, which still leaves the set.
TEST_F(CleanThreads, APassEndingAtOnceLetsTheNextTriggerStartAgain) {
  begin();
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(vor::test::wait_until([] { return dclean_start(9); }));
  }
  stop();  // waits for the last one
  EXPECT_TRUE(g_clean.unfull.empty());
}

TEST_F(CleanThreads, TheModuleExitEndsRunningPassesEarly) {
  clean_calls().draw = every_draw;
  begin();
  const std::vector<CacheFile> disk_files = spread(kPublic, 2000);
  std::vector<CacheFile> records;
  for (int i = 0; i < 500; ++i) records.push_back(put_file(kMember, "1", name_of(i, 'r')));
  g_hold = true;
  ASSERT_TRUE(dclean_start(1));
  ASSERT_TRUE(iclean_start(IndexStore::kMember));
  ASSERT_TRUE(vor::test::wait_until([] { return g_held.load() >= 2; }));
  std::atomic<bool> exited{false};
  std::thread exit_thread([&] {
    stop();
    exited = true;
  });
  // The exit waits for the held passes.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(exited.load());
  g_hold = false;
  exit_thread.join();
  // Each pass stopped after the entry it was on.
  EXPECT_GE(count_on_disk(disk_files), 2000u - 10);
  EXPECT_GE(count_on_disk(records), 500u - 10);
  EXPECT_FALSE(dclean_start(1));  // none start while the module is down
  EXPECT_EQ(occurrences("[zazudaza -> filter] end cleanning diskcache index!\r\n"), 1u);

  // Started again, passes run to their end.
  begin();
  ASSERT_TRUE(dclean_start(1));
  ASSERT_TRUE(vor::test::wait_until([] { return dclean_start(1); }));
  stop();
  EXPECT_EQ(count_on_disk(disk_files), 0u);
}

// Once a store holds more records than its buckets, the puts' clean check starts its cleaning:
// about a fifth of the records go, each printed on the console.
TEST_F(CleanThreads, PutsPastTheBucketsStartOneIndexPass) {
  constexpr int kSeeded = 65600;  // a 2 MiB store has 65,536 buckets
  fs::create_directories(root_ + "/config/dcindex");
  vor_kv2* seed = vor_kv2_open_ext(store("member.idx2").c_str(), true, true, 218, 2, 1);
  ASSERT_NE(seed, nullptr);
  vor_kv2_close(seed);
  ASSERT_EQ(vor::test::shell_output("sqlite3 -batch '" + store("member.idx2") +
                                    "' \"with recursive n(i) as (select 0 union all select i + 1 from n where i < " +
                                    std::to_string(kSeeded - 1) +
                                    ") insert into kv(k, v) select cast(printf('s%031x', i) as blob), "
                                    "cast('vs=371&cl=' || i as blob) from n;\" 2>&1"),
            "");
  clean_calls().draw = counted_draw;
  start();  // the console trace stays on
  vor_kv2* member = index_store(IndexStore::kMember);
  ASSERT_EQ(vor_kv2_count(member), static_cast<uint64_t>(kSeeded));
  ASSERT_EQ(vor_kv2_nbuckets(member), 65536u);
  testing::internal::CaptureStdout();
  int puts = 0;
  while (g_draws.load() == 0 && puts < 500) {
    ASSERT_TRUE(index_put(kMember, name_of(puts, 'n').c_str(), record_of("vs=371&cl=0").c_str()));
    ++puts;
  }
  const bool ended = vor::test::wait_until(
      [this] { return occurrences("[zazudaza -> filter] end cleanning diskcache index!\r\n") == 1; },
      std::chrono::milliseconds(120000));
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(ended);
  ASSERT_GT(g_draws.load(), 0) << "no pass started after " << puts << " puts";
  const uint64_t total = kSeeded + static_cast<uint64_t>(puts);
  const uint64_t gone = total - vor_kv2_count(member);
  EXPECT_GE(gone, total / 10);
  EXPECT_LE(gone, total * 3 / 10);
  EXPECT_EQ(pause_count(), gone);
  size_t lines = 0;
  for (size_t at = out.find("[IndexClean] "); at != std::string::npos; at = out.find("[IndexClean] ", at + 1)) ++lines;
  EXPECT_EQ(lines, gone);
  stop();
}

}  // namespace
