// Writer, hit and cleaning threads choose disks while the admin thread adds, changes and marks
// them: no answer names a disk that is unused, full or of the other kind, and without changes the
// round robin spreads the choices evenly over the qualifying disks.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "policydb.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

constexpr int kThreads = 8;

// Stable disks: HDD 10..12 and SSD 20..21 used; 13 (HDD) and 22 (SSD) used but full; 14 (HDD)
// and 23 (SSD) unused; 15 (HDD) used, its full mark toggled.
constexpr int32_t kFullHdd = 13;
constexpr int32_t kFullSsd = 22;
constexpr int32_t kUnusedHdd = 14;
constexpr int32_t kUnusedSsd = 23;
constexpr int32_t kToggled = 15;
// Added disks: 100 + k, SSD for odd k.
constexpr int32_t kAdded = 100;
constexpr int32_t kAddedCount = 60;

bool is_ssd(int32_t num) { return num >= kAdded ? (num - kAdded) % 2 == 1 : (num >= 20 && num < 30); }

class DiskThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    t.make_default_db();
    ASSERT_EQ(t.init("[system]\ndisplay_console=0\n"), 1);
    fs::create_directories(t.path("disks"));
  }
  std::string folder(int32_t num) const { return t.path("disks") + "/d" + std::to_string(num); }
  void add(int32_t num, bool used, const char* note = "") {
    fs::create_directories(folder(num));
    ASSERT_TRUE(policydb_diskno_append_x(num, folder(num).c_str(), 0, used, is_ssd(num), note));
  }

  Tree t;
};

TEST_F(DiskThreads, ChoicesNeverNameAnUnusedFullOrOtherKindDisk) {
  for (int32_t num : {10, 11, 12, kFullHdd, kToggled, 20, 21, kFullSsd}) add(num, true);
  for (int32_t num : {kUnusedHdd, kUnusedSsd}) add(num, false);
  ASSERT_TRUE(policydb_diskno_SetFull(kFullHdd));
  ASSERT_TRUE(policydb_diskno_SetFull(kFullSsd));

  // Added disk k is marked full once marked >= k and never qualifies again: it is later made
  // unused, never cleared.
  std::atomic<int32_t> marked{-1};
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::atomic<int> answers{0};
  std::vector<std::thread> choosers;
  for (int i = 0; i < kThreads; ++i) {
    choosers.emplace_back([&, i] {
      uint8_t (*const choose[])(int32_t*, char*, int32_t) = {policydb_diskno_GetAvailablePath,
                                                           policydb_diskno_GetAvailablePath_BySSD,
                                                           policydb_diskno_GetAvailablePath_ByHDD};
      for (int n = 0; !done.load() || n < 200; ++n) {
        const int kind = (i + n) % 3;
        const int32_t full_upto = marked.load(std::memory_order_acquire);
        int32_t num = -1;
        char path[512];
        if (!choose[kind](&num, path, sizeof path)) {
          wrong.fetch_add(1);  // the stable disks always qualify
          continue;
        }
        answers.fetch_add(1);
        const bool bad_kind = (kind == 1 && !is_ssd(num)) || (kind == 2 && is_ssd(num));
        const bool never = num == kFullHdd || num == kFullSsd || num == kUnusedHdd || num == kUnusedSsd;
        const bool marked_added = num >= kAdded && num - kAdded <= full_upto;
        if (bad_kind || never || marked_added || path != folder(num)) {
          ADD_FAILURE() << "kind " << kind << " chose " << num << " at " << path;
          wrong.fetch_add(1);
        }
        if (n % 50 == 0) {
          char held[512];
          policydb_diskno_GetPath(10 + n % 20, held, sizeof held);
          policydb_diskno_IsSSD(100 + n % 60);
          if (policydb_diskno_GetNumUsed() < 5) wrong.fetch_add(1);
          wtb_free(policydb_diskno_GetListAllByJson(nullptr));
        }
      }
    });
  }

  for (int32_t k = 0; k < kAddedCount; ++k) {
    const int32_t num = kAdded + k;
    add(num, true);
    ASSERT_TRUE(policydb_diskno_modify_x(kFullHdd, folder(kFullHdd).c_str(), k, 1, 0, "still full"));
    ASSERT_TRUE(policydb_diskno_modify_x(kUnusedHdd, folder(kUnusedHdd).c_str(), k, 0, 0, "still unused"));
    ASSERT_TRUE(policydb_diskno_modify_BySSD(kUnusedSsd, k % 2 == 0 ? 0 : 1));
    ASSERT_TRUE(k % 2 ? policydb_diskno_SetUnfull(kToggled) : policydb_diskno_SetFull(kToggled));
    if (k >= 2) {
      ASSERT_TRUE(policydb_diskno_SetFull(num - 2));
      marked.store(k - 2, std::memory_order_release);
    }
    if (k >= 4) {
      ASSERT_TRUE(policydb_diskno_modify_x(num - 4, folder(num - 4).c_str(), 0, 0, is_ssd(num - 4), ""));
    }
  }
  done.store(true);
  for (std::thread& c : choosers) c.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(answers.load(), kThreads * 200 - 1);
  // Of the added disks the last two are still free, the two before them full, the rest unused.
  EXPECT_EQ(policydb_diskno_GetNumUsed(), 8 + 4);
}

TEST_F(DiskThreads, WithoutChangesChoicesSpreadEvenly) {
  for (int32_t num : {10, 11, 12, 20, 21}) add(num, true);
  add(kUnusedHdd, false);
  constexpr int kCalls = 3000;  // a multiple of 2, 3 and 5: every disk gets the same share
  std::vector<std::map<int32_t, int>> counts(kThreads * 3);
  std::vector<std::thread> choosers;
  for (int i = 0; i < kThreads; ++i) {
    choosers.emplace_back([&, i] {
      for (int n = 0; n < kCalls; ++n) {
        int32_t num = -1;
        if (policydb_diskno_GetAvailablePath(&num, nullptr, 0)) ++counts[i * 3][num];
        if (policydb_diskno_GetAvailablePath_BySSD(&num, nullptr, 0)) ++counts[i * 3 + 1][num];
        if (policydb_diskno_GetAvailablePath_ByHDD(&num, nullptr, 0)) ++counts[i * 3 + 2][num];
      }
    });
  }
  for (std::thread& c : choosers) c.join();
  std::map<int32_t, int> any, ssd, hdd;
  for (int i = 0; i < kThreads; ++i) {
    for (auto [num, n] : counts[i * 3]) any[num] += n;
    for (auto [num, n] : counts[i * 3 + 1]) ssd[num] += n;
    for (auto [num, n] : counts[i * 3 + 2]) hdd[num] += n;
  }
  const int total = kThreads * kCalls;
  EXPECT_EQ(any, (std::map<int32_t, int>{{10, total / 5}, {11, total / 5}, {12, total / 5}, {20, total / 5},
                                         {21, total / 5}}));
  EXPECT_EQ(ssd, (std::map<int32_t, int>{{20, total / 2}, {21, total / 2}}));
  EXPECT_EQ(hdd, (std::map<int32_t, int>{{10, total / 3}, {11, total / 3}, {12, total / 3}}));
}

}  // namespace
}  // namespace policydb::test
