#include "cu_xjitter.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <type_traits>
#include <vector>

#include "cu_xmem.h"

namespace {

static_assert(!std::is_copy_constructible_v<vor::XJitter> && !std::is_copy_assignable_v<vor::XJitter>,
              "a copied queue record would free its blocks twice");

class XJitterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_ = cu_xmem_init(64 * 1024, 64);
    ASSERT_NE(pool_, nullptr);
  }
  void TearDown() override { cu_xmem_exit(pool_); }

  cu_xmem* pool_ = nullptr;
};

std::vector<uint8_t> bytes(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(first + i);
  return v;
}

// The chain's own links and counts agree with the record.
void expect_sound_chain(const cu_xjitter& q) {
  uint64_t blocks = 0, stored = 0;
  const cu_xjitter_block* prev = nullptr;
  for (const cu_xjitter_block* b = q.head; b; prev = b, b = b->next) {
    ASSERT_EQ(b->prev, prev);
    ASSERT_GT(b->used, 0u) << "an empty block stayed in the chain";
    ASSERT_LE(b->used, b->capacity);
    ASSERT_EQ(b->data, reinterpret_cast<const uint8_t*>(b + 1));
    ++blocks;
    stored += b->used;
  }
  ASSERT_EQ(q.current, prev);
  ASSERT_EQ(blocks, q.block_count);
  ASSERT_LE(blocks, q.max_blocks);
  ASSERT_EQ(stored, q.stored);
}

TEST_F(XJitterTest, HoldsBlockSizeTimesMaxBlocksAndNoMore) {
  cu_xjitter q;
  cu_xjitter_init(&q, pool_, 2048, 1024);
  const auto data = bytes(2097152 + 100);
  EXPECT_EQ(cu_xjitter_GetAvailableLen(&q), 2097152u);
  EXPECT_EQ(cu_xjitter_SetData(&q, data.data(), data.size()), 2097152u);
  EXPECT_EQ(cu_xjitter_GetAvailableLen(&q), 0u);
  EXPECT_EQ(cu_xjitter_SetData(&q, data.data(), 1), 0u);
  EXPECT_EQ(q.block_count, 1024u);
  std::vector<uint8_t> out(2097152);
  EXPECT_EQ(cu_xjitter_GetData(&q, out.data(), out.size() + 5), out.size());
  EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
  cu_xjitter_empty(&q);
}

TEST_F(XJitterTest, EmptiedRecordIsReusableWithTheSameLimits) {
  cu_xjitter q;
  cu_xjitter_init(&q, pool_, 4, 2);
  const auto data = bytes(10);
  EXPECT_EQ(cu_xjitter_SetData(&q, data.data(), 10), 8u);
  cu_xjitter_empty(&q);
  EXPECT_EQ(cu_xjitter_GetLen(&q), 0u);
  EXPECT_EQ(q.head, nullptr);
  EXPECT_EQ(q.block_count, 0u);
  EXPECT_EQ(q.pool, pool_);
  EXPECT_EQ(cu_xjitter_SetData(&q, data.data(), 10), 8u);
  cu_xjitter_destroy(&q);
  EXPECT_EQ(cu_xjitter_GetLen(&q), 0u);
}

TEST_F(XJitterTest, DrainingReturnsEveryBlockToThePool) {
  const uint64_t baseline = cu_xmem_used_space_size(pool_);
  {
    vor::XJitter holder(pool_, 100, 50);
    const auto data = bytes(3000);
    ASSERT_EQ(cu_xjitter_SetData(holder.get(), data.data(), data.size()), 3000u);
    EXPECT_GT(cu_xmem_used_space_size(pool_), baseline);
    EXPECT_EQ(cu_xjitter_GetData(holder.get(), nullptr, 3000), 3000u);
    EXPECT_EQ(cu_xmem_used_space_size(pool_), baseline);
    EXPECT_EQ(holder.get()->head, nullptr);
    ASSERT_EQ(cu_xjitter_SetData(holder.get(), data.data(), 250), 250u);
  }  // the holder gives back what it still holds
  EXPECT_EQ(cu_xmem_used_space_size(pool_), baseline);
}

TEST_F(XJitterTest, TakingExactlyTheFirstBlockFreesIt) {
  cu_xjitter q;
  cu_xjitter_init(&q, pool_, 4, 10);
  const auto data = bytes(10);
  cu_xjitter_SetData(&q, data.data(), 10);
  EXPECT_EQ(q.block_count, 3u);
  uint8_t out[4];
  EXPECT_EQ(cu_xjitter_GetData(&q, out, 4), 4u);
  EXPECT_EQ(q.block_count, 2u);
  EXPECT_EQ(q.head->prev, nullptr);
  expect_sound_chain(q);
  cu_xjitter_empty(&q);
}

TEST_F(XJitterTest, PeekAtAnOffset) {
  cu_xjitter q;
  cu_xjitter_init(&q, pool_, 4, 10);
  const auto data = bytes(10, 'a');
  cu_xjitter_SetData(&q, data.data(), 10);
  uint8_t out[100] = {};
  EXPECT_EQ(cu_xjitter_PeekDatax(&q, out, 10, 100), 0u);
  EXPECT_EQ(cu_xjitter_PeekDatax(&q, out, 3, 100), 7u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 7), "defghij");
  EXPECT_EQ(cu_xjitter_PeekDatax(&q, out, 4, 2), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 2), "ef");
  EXPECT_EQ(cu_xjitter_PeekDatax(&q, nullptr, 0, 2), 0u);
  EXPECT_EQ(cu_xjitter_PeekData(&q, out, 0), 0u);
  EXPECT_EQ(cu_xjitter_GetLen(&q), 10u);
  cu_xjitter_empty(&q);
}

TEST_F(XJitterTest, NullArgumentsAnswerNothing) {
  cu_xjitter q;
  cu_xjitter_init(&q, nullptr, 8, 2);
  uint8_t buf[4] = {};
  EXPECT_EQ(cu_xjitter_SetData(nullptr, buf, 4), 0u);
  EXPECT_EQ(cu_xjitter_SetData(&q, nullptr, 4), 0u);
  EXPECT_EQ(cu_xjitter_SetData(&q, buf, 0), 0u);
  EXPECT_EQ(cu_xjitter_GetData(nullptr, buf, 4), 0u);
  EXPECT_EQ(cu_xjitter_GetData(&q, buf, 0), 0u);
  EXPECT_EQ(cu_xjitter_PeekData(nullptr, buf, 4), 0u);
  EXPECT_EQ(cu_xjitter_GetLen(nullptr), 0u);
  EXPECT_EQ(cu_xjitter_GetAvailableLen(nullptr), 0u);
  cu_xjitter_empty(nullptr);
  cu_xjitter_block_free(nullptr, nullptr);
  EXPECT_EQ(cu_xjitter_block_GetLen(nullptr), 0u);
}

TEST_F(XJitterTest, HugeLimitsDoNotOverflow) {
  cu_xjitter q;
  cu_xjitter_init(&q, nullptr, UINT64_MAX / 2, 4);
  EXPECT_EQ(cu_xjitter_GetAvailableLen(&q), UINT64_MAX);
  EXPECT_EQ(cu_xjitter_block_new(nullptr, UINT64_MAX - 8), nullptr);  // header + data would wrap
  cu_xjitter_empty(&q);
}

TEST(XJitterBlock, RingWritesAndReadsAcrossTheWrap) {
  cu_xjitter_block* b = cu_xjitter_block_new(nullptr, 5);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(cu_xjitter_block_SetData(b, "abc", 0));
  EXPECT_TRUE(cu_xjitter_block_SetData(b, "abcd", 4));
  EXPECT_FALSE(cu_xjitter_block_SetData(b, "xy", 2));  // all or nothing
  EXPECT_EQ(cu_xjitter_block_GetLen(b), 4u);
  char out[8] = {};
  EXPECT_EQ(cu_xjitter_block_GetData(b, out, 3), 3u);
  EXPECT_TRUE(cu_xjitter_block_SetData(b, "efgh", 4));  // wraps
  EXPECT_EQ(cu_xjitter_block_GetAvailableLen(b), 0u);
  EXPECT_EQ(cu_xjitter_block_PeekData(b, out, 8), 5u);
  EXPECT_EQ(std::string(out, 5), "defgh");
  EXPECT_EQ(cu_xjitter_block_PeekData(b, nullptr, 3), 3u);
  memset(out, 0, sizeof out);
  EXPECT_EQ(cu_xjitter_block_PeekData_ext(b, out, 1, 4), 3u);
  EXPECT_EQ(std::string(out), "efg");
  cu_xjitter_block_reset(b);
  EXPECT_EQ(cu_xjitter_block_GetLen(b), 0u);
  EXPECT_EQ(cu_xjitter_block_GetAvailableLen(b), 5u);
  cu_xjitter_block_free(b, nullptr);
}

TEST(XJitterBlock, PeekRangeOutsideTheHeldBytesIsClamped) {
  cu_xjitter_block* b = cu_xjitter_block_new(nullptr, 8);
  ASSERT_NE(b, nullptr);
  cu_xjitter_block_SetData(b, "abcd", 4);
  char out[16];
  memset(out, 'x', sizeof out);
  EXPECT_EQ(cu_xjitter_block_PeekData_ext(b, out, 3, 1), 0u);  // from after to
  EXPECT_EQ(cu_xjitter_block_PeekData_ext(b, out, 2, 2), 0u);
  EXPECT_EQ(cu_xjitter_block_PeekData_ext(b, out, 4, 6), 0u);  // from at the end
  EXPECT_EQ(out[0], 'x');
  EXPECT_EQ(cu_xjitter_block_PeekData_ext(b, out, 2, 100), 2u);  // never past what is held
  EXPECT_EQ(std::string(out, 3), "cdx");
  EXPECT_EQ(cu_xjitter_block_PeekData_ext(b, nullptr, 0, 2), 0u);
  cu_xjitter_block_free(b, nullptr);
}

// Random appends, takes and peeks against a std::deque, with tiny blocks so every path of
// the ring and the chain runs often.
TEST_F(XJitterTest, BehavesLikeADequeUnderRandomOperations) {
  const uint64_t baseline = cu_xmem_used_space_size(pool_);
  for (uint32_t seed = 1; seed <= 30; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    const uint64_t block_size = 1 + rng() % 7, max_blocks = 1 + rng() % 5;
    cu_xmem* pool = seed % 3 == 0 ? nullptr : pool_;
    cu_xjitter q;
    cu_xjitter_init(&q, pool, block_size, max_blocks);
    std::deque<uint8_t> model;
    for (int step = 0; step < 400; ++step) {
      const uint64_t n = rng() % (block_size * max_blocks + 3);
      std::vector<uint8_t> buf(n + 1);
      switch (rng() % 4) {
        case 0: {
          for (auto& b : buf) b = uint8_t(rng());
          // Only the last block is written; the others wait for reads, so the block limit
          // may stop an append short of the byte limit.
          const uint64_t last_room = q.current ? q.current->capacity - q.current->used : 0;
          const uint64_t writable = last_room + (max_blocks - q.block_count) * block_size;
          const uint64_t fits = std::min<uint64_t>({n, block_size * max_blocks - model.size(), writable});
          ASSERT_EQ(cu_xjitter_SetData(&q, buf.data(), n), n ? fits : 0);
          if (n) model.insert(model.end(), buf.begin(), buf.begin() + fits);
          break;
        }
        case 1: {
          const bool discard = rng() % 3 == 0;
          const uint64_t taken = std::min<uint64_t>(n, model.size());
          ASSERT_EQ(cu_xjitter_GetData(&q, discard ? nullptr : buf.data(), n), n ? taken : 0);
          if (!discard) {
            ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + taken, model.begin()));
          }
          model.erase(model.begin(), model.begin() + taken);
          break;
        }
        case 2: {
          const uint64_t copied = std::min<uint64_t>(n, model.size());
          ASSERT_EQ(cu_xjitter_PeekData(&q, buf.data(), n), n ? copied : 0);
          ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + copied, model.begin()));
          break;
        }
        default: {
          const uint64_t offset = rng() % (model.size() + 2);
          const uint64_t copied = offset < model.size() ? std::min<uint64_t>(n, model.size() - offset) : 0;
          ASSERT_EQ(cu_xjitter_PeekDatax(&q, buf.data(), offset, n), n ? copied : 0);
          ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + copied, model.begin() + offset));
        }
      }
      ASSERT_EQ(cu_xjitter_GetLen(&q), model.size());
      ASSERT_EQ(cu_xjitter_GetAvailableLen(&q), block_size * max_blocks - model.size());
      expect_sound_chain(q);
    }
    cu_xjitter_empty(&q);
    ASSERT_EQ(cu_xmem_used_space_size(pool_), baseline);
  }
}

}  // namespace
