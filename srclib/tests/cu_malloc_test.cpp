#include "cu_malloc.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cu_malloc_internal.h"
#include "cu_xmem.h"
#include "vor_tempdir.h"

namespace {
constexpr char kUnit[] = "srclib\\cu_malloc_test";

struct UsableCase {
  uint64_t request;
  int pool;  // -1: the C heap
  uint64_t usable;
};

TEST(Malloc, UsableSizeTable) {
  const UsableCase cases[] = {
      {0, 0, 32},      {1, 0, 32},      {32, 0, 32},     {33, 0, 80},     {63, 0, 80},    {64, 1, 64},
      {65, 1, 144},    {127, 1, 144},   {128, 2, 128},   {255, 2, 272},   {256, 3, 256},  {511, 3, 528},
      {512, 4, 512},   {1023, 4, 1040}, {1024, 5, 1024}, {4095, 5, 4144}, {4096, -1, 0},  {4097, -1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    void* p = _cu_malloc(c.request, kUnit, __LINE__);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    EXPECT_EQ(vor::sysalloc::class_of(p), c.pool);
    if (c.pool >= 0) {
      EXPECT_EQ(cu_xmem_malloc_usable_size(vor::sysalloc::class_pool(c.pool), p), c.usable);
    } else {
      EXPECT_GE(malloc_usable_size(p), (c.request + 4095) / 4096 * 4096);
    }
    std::memset(p, 0xAB, c.request);
    _cu_free(p, kUnit, __LINE__);
  }
}

TEST(Malloc, ImpossibleSizesAnswerNull) {
  EXPECT_EQ(_cu_malloc(UINT64_MAX, kUnit, __LINE__), nullptr);
  EXPECT_EQ(_cu_malloc(UINT64_MAX - 4000, kUnit, __LINE__), nullptr);
  EXPECT_EQ(_cu_calloc(uint64_t{1} << 33, uint64_t{1} << 33, kUnit, __LINE__), nullptr);
  EXPECT_EQ(_cu_calloc(UINT64_MAX, 2, kUnit, __LINE__), nullptr);
  auto* z = static_cast<uint8_t*>(_cu_calloc(10, 100, kUnit, __LINE__));
  ASSERT_NE(z, nullptr);
  EXPECT_TRUE(std::all_of(z, z + 1000, [](uint8_t b) { return b == 0; }));
  _cu_free(z, kUnit, __LINE__);
  _cu_free(nullptr, kUnit, __LINE__);
}

TEST(Malloc, ReallocAcrossPoolsAndHeap) {
  auto* p = static_cast<char*>(_cu_malloc(100, kUnit, __LINE__));
  std::strcpy(p, "payload");
  EXPECT_EQ(_cu_realloc(p, 50, kUnit, __LINE__), p);
  EXPECT_EQ(_cu_realloc(p, UINT64_MAX, kUnit, __LINE__), nullptr);
  EXPECT_STREQ(p, "payload");
  auto* big = static_cast<char*>(_cu_realloc(p, 10000, kUnit, __LINE__));
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(vor::sysalloc::class_of(big), -1);
  EXPECT_STREQ(big, "payload");
  auto* heap = static_cast<char*>(_cu_realloc(big, 100, kUnit, __LINE__));  // stays on the heap, 4 KB
  ASSERT_NE(heap, nullptr);
  EXPECT_EQ(vor::sysalloc::class_of(heap), -1);
  EXPECT_GE(malloc_usable_size(heap), 4096u);
  EXPECT_STREQ(heap, "payload");
  auto* kept = static_cast<char*>(_cu_realloc(heap, 0, kUnit, __LINE__));  // never freed by a 0 size
  ASSERT_NE(kept, nullptr);
  EXPECT_STREQ(kept, "payload");
  EXPECT_EQ(_cu_realloc(kept, UINT64_MAX, kUnit, __LINE__), nullptr);
  EXPECT_STREQ(kept, "payload");
  _cu_free(kept, kUnit, __LINE__);
  void* fresh = _cu_realloc(nullptr, 70, kUnit, __LINE__);
  EXPECT_EQ(vor::sysalloc::class_of(fresh), 1);
  _cu_free(fresh, kUnit, __LINE__);
}

class Tracking : public testing::Test {
 protected:
  void SetUp() override { _cu_mdebug_turnon(); }
  void TearDown() override { _cu_mdebug_turnoff(); }
  std::string stat() {
    vor::test::TempDir dir;
    const std::string path = dir.file("mallocstat.log");
    _cu_mdebug_GetMallocStat(path.c_str());
    return vor::test::read_file(path);
  }
};

TEST_F(Tracking, DumpListsLiveBlocksInAddressOrder) {
  std::vector<std::pair<void*, std::string>> blocks;
  for (int i = 0; i < 3; ++i) blocks.emplace_back(_cu_malloc(40, "srclib\\cu_config", 120), "cu_config(120)");
  blocks.emplace_back(_cu_malloc(5000, "vor/vor_box", 77), "vor_box(77)");
  std::sort(blocks.begin(), blocks.end());
  std::string golden;
  for (auto& b : blocks) golden += b.second + "\r\n";
  EXPECT_EQ(stat(), golden);
  for (auto& b : blocks) _cu_free(b.first, "srclib\\cu_config", 1);
  EXPECT_EQ(stat(), "");
}

TEST_F(Tracking, SiteTextIsCutTo31Characters) {
  void* p = _cu_malloc(8, "dir\\a_very_long_unit_name_that_goes_on_and_on", 123456);
  EXPECT_EQ(stat(), "a_very_long_unit_name_that_goes\r\n");
  _cu_free(p, kUnit, 1);
}

TEST_F(Tracking, RefusedFileIsNeverRecorded) {
  _cu_mdebug_AddRefuseFile("cu_noisy");
  void* a = _cu_malloc(8, "srclib\\cu_noisy", 1);
  void* b = _cu_malloc(8, "srclib\\cu_quiet", 2);
  EXPECT_EQ(stat(), "cu_quiet(2)\r\n");
  _cu_mdebug_DelRefuseFile("cu_noisy");
  void* c = _cu_malloc(8, "srclib\\cu_noisy", 3);
  EXPECT_NE(stat().find("cu_noisy(3)"), std::string::npos);
  for (void* p : {a, b, c}) _cu_free(p, kUnit, 1);
}

TEST_F(Tracking, ReallocMovesTheRecordAndFreeWithoutFileKeepsIt) {
  void* p = _cu_malloc(8, "unit_a", 1);
  void* q = _cu_realloc(p, 3000, "unit_b", 2);
  ASSERT_NE(q, p);
  EXPECT_EQ(stat(), "unit_b(2)\r\n");
  _cu_free(q, nullptr, 0);
  EXPECT_EQ(stat(), "unit_b(2)\r\n");
  _cu_mdebug_turnoff();
  EXPECT_EQ(stat(), "");
  _cu_mdebug_turnon();
  void* untracked_before = _cu_malloc(8, "unit_c", 3);
  EXPECT_EQ(stat(), "unit_c(3)\r\n");
  _cu_free(untracked_before, "unit_c", 4);
  EXPECT_EQ(stat(), "");
  _cu_mdebug_GetMallocStat(nullptr);
  _cu_mdebug_GetMallocStat("/nonexistent-dir/stat.log");
}

TEST_F(Tracking, FailedReallocKeepsBlockAndRecord) {
  void* p = _cu_malloc(8, "unit_a", 1);
  EXPECT_EQ(_cu_realloc(p, UINT64_MAX, "unit_b", 2), nullptr);
  EXPECT_EQ(stat(), "unit_a(1)\r\n");
  void* same = _cu_realloc(p, 4, "unit_b", 3);  // fits: same block, record unchanged
  EXPECT_EQ(same, p);
  EXPECT_EQ(stat(), "unit_a(1)\r\n");
  _cu_free(p, "unit_a", 4);
}

TEST(Malloc, SystemPoolAndPrintout) {
  cu_system__xmem_init();
  ASSERT_NE(cu_system__xmem, nullptr);
  void* p = cu_xmem_malloc(cu_system__xmem, 1000);
  EXPECT_NE(p, nullptr);
  cu_xmem_free(cu_system__xmem, p);
  void* block = _cu_malloc(100, kUnit, __LINE__);
  uint64_t used = 0, free_bytes = 0;
  EXPECT_EQ(cu_system__xmem_size(&used, &free_bytes), free_bytes);
  EXPECT_GE(used, 144u);
  EXPECT_EQ(cu_system__xmem_size(nullptr, nullptr), free_bytes);
  testing::internal::CaptureStdout();
  cu_system__xmem_print();
  const std::string out = testing::internal::GetCapturedStdout();
  const uint64_t total = used + free_bytes;
  char expected[512];
  std::snprintf(expected, sizeof expected,
                "system xmem total size: %lluB, %lluKB, %lluMB\r\n"
                "system xmem used  size: %lluB, %lluKB, %lluMB\r\n"
                "system xmem free  size: %lluB, %lluKB, %lluMB\r\n",
                (unsigned long long)total, (unsigned long long)(total / 1024), (unsigned long long)(total >> 20),
                (unsigned long long)used, (unsigned long long)(used / 1024), (unsigned long long)(used >> 20),
                (unsigned long long)free_bytes, (unsigned long long)(free_bytes / 1024),
                (unsigned long long)(free_bytes >> 20));
  EXPECT_EQ(out, expected);
  _cu_free(block, kUnit, __LINE__);
}

// A block whose only reference lives inside a pool block is reachable, not leaked (the leak
// check at exit of this test's process would fail otherwise).
TEST(Malloc, BlockReferencedFromPoolBlockIsNotALeak) {
  static void** holder = static_cast<void**>(_cu_malloc(16, kUnit, __LINE__));
  holder[0] = std::malloc(100);
  holder[1] = _cu_malloc(10000, kUnit, __LINE__);
  ASSERT_NE(holder[0], nullptr);
}

#if defined(VOR_ASAN)
// Freed pool memory is poisoned: a use after free through the allocator is reported.
TEST(MallocDeathTest, UseAfterFreeOfPoolBlockIsReported) {
  void* keeps_page = _cu_malloc(40, kUnit, __LINE__);
  auto* p = static_cast<volatile char*>(_cu_malloc(40, kUnit, __LINE__));
  p[0] = 1;
  _cu_free(const_cast<char*>(p), kUnit, __LINE__);
  EXPECT_DEATH(p[0] = 2, "use-after-poison");
  _cu_free(keeps_page, kUnit, __LINE__);
}

TEST(MallocDeathTest, UseAfterFreeOfReleasedPageIsReported) {
  auto* p = static_cast<volatile char*>(_cu_malloc(700, kUnit, __LINE__));
  _cu_free(const_cast<char*>(p), kUnit, __LINE__);
  EXPECT_DEATH(p[0] = 2, "use-after-(poison|free)|SEGV");  // the page may be unmapped
}

TEST(MallocDeathTest, OverflowIntoNextChunkHeaderIsReported) {
  auto* p = static_cast<volatile char*>(_cu_malloc(32, kUnit, __LINE__));
  EXPECT_DEATH(p[32] = 1, "use-after-poison");
  _cu_free(const_cast<char*>(p), kUnit, __LINE__);
}
#endif

}  // namespace
