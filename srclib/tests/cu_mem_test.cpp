#include "cu_mem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "cu_mem_internal.h"
#include "vor_tempdir.h"

namespace {

struct Block {
  explicit Block(size_t n) : bytes(n + 16) {}
  void* data() { return bytes.data() + (16 - reinterpret_cast<uintptr_t>(bytes.data()) % 16) % 16; }
  std::vector<uint8_t> bytes;
};

uint64_t chunk_size(const void* p) { return cu_mem__usable(p) + 16; }

TEST(Mem, SetUpNeedsRoomForHeaderAndOneChunk) {
  Block b(256);
  EXPECT_EQ(cu_mem_init(nullptr, 256), nullptr);
  EXPECT_EQ(cu_mem_init(b.data(), 119), nullptr);
  cu_mem* m = cu_mem_init(b.data(), 120);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(cu_mem_sizeof(), 88u);
  EXPECT_EQ(cu_mem_free_space_size(m), 32u);
  EXPECT_EQ(cu_mem_free_chunk_count(m), 1u);
  EXPECT_EQ(cu_mem_malloc(m, 17), nullptr);
  void* p = cu_mem_malloc(m, 16);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(cu_mem_used_space_size(m), 32u);
  EXPECT_EQ(cu_mem__check(m), "");

  alignas(8) uint8_t header[88];
  EXPECT_EQ(cu_mem_init_ext(header, nullptr, b.data(), 31, 0), nullptr);
  cu_mem* ext = cu_mem_init_ext(header, nullptr, b.data(), 32, 0);
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(static_cast<void*>(ext), static_cast<void*>(header));
  EXPECT_EQ(cu_mem_free_space_size(ext), 32u);
}

struct RoundCase {
  uint64_t granularity, request, chunk;
};

// Chunk sizes are multiples of granularity + 16, each step rounded up to 8 bytes.
TEST(Mem, RequestRoundingTable) {
  const RoundCase cases[] = {
      {16, 0, 32},    {16, 16, 32},   {16, 17, 64},   {512, 1, 528},  {0, 0, 32},     {0, 17, 40},
      {0, 24, 40},    {32, 63, 96},   {33, 1, 56},    {65, 1, 88},    {73, 1, 96},   {18, 1, 40},
      {73, 200, 288}, {1024, 4095, 4160},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.granularity) + "/" + std::to_string(c.request));
    Block b(65536);
    cu_mem* m = cu_mem_init_ext(nullptr, nullptr, b.data(), 65536, c.granularity);
    void* p = cu_mem_malloc(m, c.request);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(chunk_size(p), c.chunk);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    EXPECT_EQ(cu_mem__check(m), "");
  }
  EXPECT_EQ(cu_mem_memalign_usable_size(0, 3), 16u);
  EXPECT_EQ(cu_mem_memalign_usable_size(0, 17), 24u);
  EXPECT_EQ(cu_mem_memalign_usable_size(16, 17), 48u);
  EXPECT_EQ(cu_mem_memalign_usable_size(73, 1), 80u);
  EXPECT_EQ(cu_mem_memalign_usable_size(0, UINT64_MAX), 0u);
  EXPECT_EQ(cu_mem_memalign_usable_size(512, UINT64_MAX - 8), 0u);
}

TEST(Mem, HugeRequestsAreRefusedNotWrapped) {
  Block b(4096);
  for (uint64_t g : {uint64_t{0}, uint64_t{16}, uint64_t{33}, uint64_t{512}, UINT64_MAX}) {
    cu_mem* m = cu_mem_init_ext(nullptr, nullptr, b.data(), 4096, g);
    for (uint64_t n : {UINT64_MAX, UINT64_MAX - 15, UINT64_MAX - 16, UINT64_MAX - 100, uint64_t{1} << 63}) {
      EXPECT_EQ(cu_mem_malloc(m, n), nullptr);
      EXPECT_EQ(cu_mem_memalign(m, 64, n), nullptr);
    }
    EXPECT_EQ(cu_mem__check(m), "");
    EXPECT_EQ(cu_mem_used_chunk_count(m), 0u);
  }
}

TEST(Mem, SmallRemainderIsHandedOutWhole) {
  Block b(1024);
  cu_mem* m = cu_mem_init_ext(nullptr, nullptr, b.data(), 88 + 32 + 56, 0);  // one free chunk of 88
  void* p = cu_mem_malloc(m, 48);  // remainder would be 24 bytes: take it all
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(chunk_size(p), 88u);
  EXPECT_EQ(cu_mem_free_chunk_count(m), 0u);
  EXPECT_EQ(cu_mem__check(m), "");
  cu_mem* g = cu_mem_init_ext(nullptr, nullptr, b.data(), 88 + 152, 64);  // remainder under one step
  p = cu_mem_malloc(g, 0);
  EXPECT_EQ(chunk_size(p), 152u);
  EXPECT_EQ(cu_mem__check(g), "");
}

TEST(Mem, FreeBetweenTwoFreeChunksMerges) {
  Block b(4096);
  cu_mem* m = cu_mem_init(b.data(), 4096);
  void* a = cu_mem_malloc(m, 16);
  void* mid = cu_mem_malloc(m, 16);
  void* c = cu_mem_malloc(m, 16);
  void* guard = cu_mem_malloc(m, 16);
  (void)guard;
  cu_mem_free(m, a);
  cu_mem_free(m, c);
  EXPECT_EQ(cu_mem_free_chunk_count(m), 3u);
  cu_mem_free(m, mid);
  EXPECT_EQ(cu_mem_free_chunk_count(m), 2u);
  EXPECT_EQ(cu_mem__check(m), "");
}

TEST(Mem, DoubleFreeIsRefusedAlsoForTheLastChunk) {
  Block b(4096);
  cu_mem* m = cu_mem_init(b.data(), 4096);
  void* a = cu_mem_malloc(m, 100);
  void* keep = cu_mem_malloc(m, 100);
  cu_mem_free(m, a);
  const uint64_t used = cu_mem_used_space_size(m), free_chunks = cu_mem_free_chunk_count(m);
  cu_mem_free(m, a);
  EXPECT_EQ(cu_mem_used_space_size(m), used);
  EXPECT_EQ(cu_mem_free_chunk_count(m), free_chunks);
  EXPECT_EQ(cu_mem__check(m), "");
  // Fill the arena so that the last chunk is in use, then free it twice.
  void* last = nullptr;
  while (void* p = cu_mem_malloc(m, 16)) last = p;
  ASSERT_NE(last, nullptr);
  cu_mem_free(m, keep);  // a free chunk below the last one
  cu_mem_free(m, last);
  const uint64_t after_first = cu_mem_free_space_size(m);
  cu_mem_free(m, last);
  EXPECT_EQ(cu_mem_free_space_size(m), after_first);
  EXPECT_EQ(cu_mem__check(m), "");
  // Pointers that are no chunk at all are refused too.
  cu_mem_free(m, static_cast<uint8_t*>(b.data()) + 3);
  cu_mem_free(m, static_cast<uint8_t*>(b.data()) + 4090);
  cu_mem_free(m, nullptr);
  EXPECT_EQ(cu_mem__check(m), "");
}

TEST(Mem, ReallocNeverShrinksAndKeepsOldBlockOnFailure) {
  Block b(512);
  cu_mem* m = cu_mem_init(b.data(), 512);
  auto* p = static_cast<char*>(cu_mem_malloc(m, 100));
  std::strcpy(p, "contents");
  EXPECT_EQ(cu_mem_realloc(m, p, 10), p);
  EXPECT_EQ(cu_mem_realloc(m, p, 1000), nullptr);
  EXPECT_STREQ(p, "contents");
  auto* q = static_cast<char*>(cu_mem_realloc(m, p, 200));
  ASSERT_NE(q, nullptr);
  EXPECT_STREQ(q, "contents");
  EXPECT_EQ(cu_mem_used_chunk_count(m), 1u);
  EXPECT_NE(cu_mem_realloc(m, nullptr, 10), nullptr);
  EXPECT_EQ(cu_mem__check(m), "");
}

TEST(Mem, StringCopies) {
  Block b(4096);
  cu_mem* m = cu_mem_init(b.data(), 4096);
  char* s = cu_mem_strndup(m, "abc", 5);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::memcmp(s, "abc\0\0\0", 6), 0);
  EXPECT_EQ(cu_mem_strndup(m, "abc", -1), nullptr);
  EXPECT_STREQ(cu_mem_strndup(m, "abcdef", 2), "ab");
  EXPECT_STREQ(cu_mem_strdup(m, "x"), "x");
  EXPECT_EQ(cu_mem_strdup(m, nullptr), nullptr);
  EXPECT_STREQ(cu_mem_strdup2(m, "a", "b"), "ab");
  EXPECT_STREQ(cu_mem_strdup3(m, "a", "b", "c"), "abc");
  EXPECT_STREQ(cu_mem_strdup4(m, "a", "b", "c", "d"), "abcd");
  EXPECT_STREQ(cu_mem_strdup5(m, "a", "b", "c", "d", "e"), "abcde");
  EXPECT_EQ(cu_mem_strdup5(m, "a", "b", nullptr, "d", "e"), nullptr);
  auto* d = static_cast<char*>(cu_mem_memdup(m, "a\0b", 3));
  EXPECT_EQ(std::memcmp(d, "a\0b\0", 4), 0);
  EXPECT_EQ(cu_mem_memdup(m, "x", -1), nullptr);
  EXPECT_STREQ(cu_mem_strtolower(m, "AbC\xC4-1"), "abc\xC4-1");
  EXPECT_STREQ(cu_mem_strtoupper(m, "aBc\xE4-1"), "ABC\xE4-1");
  EXPECT_EQ(cu_mem__check(m), "");
}

TEST(Mem, IsValidIsARangeTest) {
  Block b(1024);
  cu_mem* m = cu_mem_init(b.data(), 1024);
  auto* base = static_cast<uint8_t*>(b.data());
  EXPECT_FALSE(cu_mem_is_valid(m, base + 87));
  EXPECT_TRUE(cu_mem_is_valid(m, base + 88));
  EXPECT_TRUE(cu_mem_is_valid(m, base + 1024 - 16));
  EXPECT_FALSE(cu_mem_is_valid(m, base + 1024 - 15));
}

TEST(Mem, InfoDumpsHeaderAndChunkTable) {
  Block b(1024);
  cu_mem* m = cu_mem_init(b.data(), 1024);
  void* a = cu_mem_malloc(m, 16);
  cu_mem_malloc(m, 16);
  cu_mem_free(m, a);
  vor::test::TempDir dir;
  const std::string path = dir.file("cu_mem_info.txt");
  cu_mem_info(m, path.c_str());
  const std::string dump = vor::test::read_file(path);
  const std::string sep =
      "+------------+--------+------------------+------------------+------------+------------+---+------------------"
      "+------------------+\r\n";
  const std::string expected_rows =
      sep +
      "| NO         |  STAT  | THIS-LINK-H      | THIS-LINK-T      | PREV-SIZE  | THIS-SIZE  | P | PREV-FREE-LINK-H "
      "| NEXT-FREE-LINK-T |\r\n" +
      sep +
      "| 1          |  free  | 0                | 32               | 0          | 32         | 1 | 0                "
      "| 64               |\r\n" +
      sep +
      "| 2          |  used  | 32               | 64               | 32         | 32         | 0 | -                "
      "| -                |\r\n" +
      sep +
      "| 3          |  free  | 64               | 936              | 32         | 872        | 1 | 0                "
      "| 0                |\r\n" +
      sep;
  EXPECT_NE(dump.find("used_space  = 32\r\nfree_space  = 904\r\nused_count  = 1\r\nfree_count  = 2\r\n"),
            std::string::npos);
  ASSERT_GE(dump.size(), expected_rows.size());
  EXPECT_EQ(dump.substr(dump.size() - expected_rows.size()), expected_rows);
  std::remove(path.c_str());

  testing::internal::CaptureStdout();
  cu_mem_info(m, "/nonexistent-dir/x.txt");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("cu_mem_info(): cann't create file '/nonexistent-dir/x.txt'!\r\nfree_link_header = ", 0), 0u);
}

// Random allocations, frees, reallocations and aligned allocations with fill patterns; after
// every step the chunk chain is walked and every invariant checked, and every live block
// still holds its pattern.
class MemModel : public testing::TestWithParam<uint64_t> {};

TEST_P(MemModel, RandomOperationsKeepInvariantsAndContents) {
  const uint64_t granularity = GetParam();
  for (uint64_t size : {uint64_t{120}, uint64_t{200}, uint64_t{700}, uint64_t{20000}}) {
    const uint32_t seed = static_cast<uint32_t>(granularity * 131 + size);
    SCOPED_TRACE("seed " + std::to_string(seed) + " size " + std::to_string(size));
    std::mt19937 rng(seed);
    Block b(size);
    cu_mem* m = cu_mem_init_ext(nullptr, nullptr, b.data(), size, granularity);
    ASSERT_NE(m, nullptr);
    std::map<void*, std::pair<uint64_t, uint8_t>> live;  // block -> (requested bytes, fill)
    auto fill = [](void* p, uint64_t n, uint8_t v) { std::memset(p, v, n); };
    auto holds = [](void* p, uint64_t n, uint8_t v) {
      for (uint64_t i = 0; i < n; ++i)
        if (static_cast<uint8_t*>(p)[i] != v) return false;
      return true;
    };
    for (int step = 0; step < 1500; ++step) {
      const uint64_t n = rng() % (size / 3 + 1);
      const uint8_t v = static_cast<uint8_t>(rng());
      const int op = static_cast<int>(rng() % 4);
      if (op == 0 || live.empty()) {
        void* p = (rng() % 4 == 0) ? cu_mem_memalign(m, rng() % 80, n) : cu_mem_malloc(m, n);
        if (p) {
          ASSERT_EQ(live.count(p), 0u);
          ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
          ASSERT_GE(cu_mem_malloc_usable_size(m, p), n);
          fill(p, n, v);
          live[p] = {n, v};
        }
      } else {
        auto it = live.begin();
        std::advance(it, rng() % live.size());
        void* p = it->first;
        ASSERT_TRUE(holds(p, it->second.first, it->second.second));
        if (op == 1) {
          void* q = cu_mem_realloc(m, p, n);
          if (q) {
            const auto old = it->second;
            live.erase(it);
            ASSERT_TRUE(holds(q, std::min(old.first, n), old.second));
            fill(q, n, v);
            live[q] = {n, v};
          }
        } else {
          cu_mem_free(m, p);
          live.erase(it);
          if (rng() % 8 == 0) cu_mem_free(m, p);  // a second free changes nothing
        }
      }
      const std::string problem = cu_mem__check(m);
      ASSERT_EQ(problem, "") << "step " << step;
      ASSERT_EQ(cu_mem_used_chunk_count(m), live.size());
    }
    for (auto& [p, info] : live) cu_mem_free(m, p);
    EXPECT_EQ(cu_mem_used_chunk_count(m), 0u);
    EXPECT_EQ(cu_mem_free_chunk_count(m), 1u);
    EXPECT_EQ(cu_mem__check(m), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Granularities, MemModel, testing::Values(0, 16, 33, 65, 73, 512));

// Many free chunks: the free path's physical walk and list walk must agree with the list.
TEST(Mem, ManyFreeChunksFreeInRandomOrder) {
  for (uint32_t seed : {5u, 6u}) {
    std::mt19937 rng(seed);
    Block b(1 << 16);
    cu_mem* m = cu_mem_init_ext(nullptr, nullptr, b.data(), 1 << 16, 0);
    std::vector<void*> blocks;
    while (void* p = cu_mem_malloc(m, rng() % 64)) blocks.push_back(p);
    std::shuffle(blocks.begin(), blocks.end(), rng);
    for (void* p : blocks) {
      cu_mem_free(m, p);
      ASSERT_EQ(cu_mem__check(m), "");
    }
    EXPECT_EQ(cu_mem_free_chunk_count(m), 1u);
  }
}

}  // namespace
