#include "cu_jitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

std::string peek_all(cu_jitter* q) {
  std::string out(static_cast<size_t>(cu_jitter_GetLen(q)), '\0');
  if (!out.empty()) { EXPECT_EQ(cu_jitter_PeekData(q, out.data(), static_cast<int32_t>(out.size())), cu_jitter_GetLen(q)); }
  return out;
}

TEST(CuJitter, CreationRefusesNonPositiveSizes) {
  EXPECT_EQ(cu_jitter_mallocx(0, 10, nullptr), nullptr);
  EXPECT_EQ(cu_jitter_mallocx(10, 0, nullptr), nullptr);
  EXPECT_EQ(cu_jitter_mallocx(-1, 10, nullptr), nullptr);
  cu_jitter rec;
  EXPECT_FALSE(cu_jitter_init(&rec, 0, 4));
  EXPECT_EQ(rec.block_size, 0);
  EXPECT_EQ(cu_jitter_SetData(&rec, "abc", 3), 0);
  EXPECT_FALSE(cu_jitter_init(nullptr, 4, 4));
}

TEST(CuJitter, InitializedRecordAcceptsBytes) {
  cu_jitter rec;
  ASSERT_TRUE(cu_jitter_init(&rec, 4, 3));
  EXPECT_EQ(cu_jitter_SetData(&rec, "abcdefghijklmn", 14), 12);
  EXPECT_EQ(rec.block_count, 3);
  EXPECT_EQ(peek_all(&rec), "abcdefghijkl");
  cu_jitter_empty(&rec);
  EXPECT_EQ(rec.head, nullptr);
  EXPECT_EQ(cu_jitter_GetLen(&rec), 0);
  EXPECT_EQ(rec.block_size, 4);
}

TEST(CuJitter, BlockLimitCutsAnAppend) {
  cu_jitter* q = cu_jitter_mallocx(4, 2, nullptr);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(cu_jitter_GetAvailableLen(q), 8);
  EXPECT_EQ(cu_jitter_SetData(q, "0123456789", 10), 8);
  EXPECT_EQ(cu_jitter_GetAvailableLen(q), 0);
  EXPECT_EQ(cu_jitter_SetData(q, "x", 1), 0);
  EXPECT_EQ(peek_all(q), "01234567");
  cu_jitter_free(q);
}

TEST(CuJitter, DrainedBlocksLeaveTheChainAtOnce) {
  cu_jitter* q = cu_jitter_mallocx(4, 10, nullptr);
  ASSERT_EQ(cu_jitter_SetData(q, "abcdefghij", 10), 10);
  EXPECT_EQ(q->block_count, 3);
  char buf[16] = {};
  EXPECT_EQ(cu_jitter_GetData(q, buf, 4), 4);  // exactly the first block
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(q->block_count, 2);
  EXPECT_EQ(cu_jitter_GetData(q, nullptr, 100), 6);  // discard the rest
  EXPECT_EQ(q->block_count, 0);
  EXPECT_EQ(q->head, nullptr);
  EXPECT_EQ(q->current, nullptr);
  EXPECT_EQ(cu_jitter_GetData(q, buf, 4), 0);
  EXPECT_EQ(cu_jitter_SetData(q, "xy", 2), 2);
  EXPECT_EQ(q->block_count, 1);
  EXPECT_EQ(peek_all(q), "xy");
  cu_jitter_free(q);
}

TEST(CuJitter, LengthLimitIsCappedAt32Bits) {
  cu_jitter* big = cu_jitter_mallocx(65536, 100000, nullptr);
  EXPECT_EQ(cu_jitter_GetAvailableLen(big), INT32_MAX);
  cu_jitter_free(big);
  cu_jitter* deflt = cu_jitter_malloc();
  EXPECT_EQ(cu_jitter_GetAvailableLen(deflt), 16384 * 100000);
  EXPECT_EQ(deflt->block_size, 16384);
  cu_jitter_free(deflt);
}

TEST(CuJitter, PeekAtOffset) {
  cu_jitter* q = cu_jitter_mallocx(3, 10, nullptr);
  cu_jitter_SetData(q, "0123456789", 10);
  char buf[100];
  EXPECT_EQ(cu_jitter_PeekDatax(q, buf, 10, 5), 0);
  EXPECT_EQ(cu_jitter_PeekDatax(q, buf, 3, 100), 7);
  EXPECT_EQ(std::string(buf, 7), "3456789");
  EXPECT_EQ(cu_jitter_PeekDatax(q, buf, 4, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "4567");
  EXPECT_EQ(cu_jitter_PeekDatax(q, buf, -1, 4), 0);
  EXPECT_EQ(cu_jitter_PeekDatax(q, nullptr, 0, 4), 0);
  EXPECT_EQ(cu_jitter_PeekData(q, buf, 0), 0);
  EXPECT_EQ(cu_jitter_GetLen(q), 10);
  cu_jitter_free(q);
}

TEST(CuJitter, NullQueueAnswersZero) {
  char buf[4];
  EXPECT_EQ(cu_jitter_SetData(nullptr, "a", 1), 0);
  EXPECT_EQ(cu_jitter_GetData(nullptr, buf, 1), 0);
  EXPECT_EQ(cu_jitter_PeekData(nullptr, buf, 1), 0);
  EXPECT_EQ(cu_jitter_PeekDatax(nullptr, buf, 0, 1), 0);
  EXPECT_EQ(cu_jitter_GetLen(nullptr), 0);
  EXPECT_EQ(cu_jitter_GetAvailableLen(nullptr), 0);
  cu_jitter_empty(nullptr);
  cu_jitter_destroy(nullptr);
  cu_jitter_free(nullptr);
  cu_jitter* q = cu_jitter_mallocx(4, 4, nullptr);
  EXPECT_EQ(cu_jitter_SetData(q, nullptr, 3), 0);
  EXPECT_EQ(cu_jitter_SetData(q, "a", 0), 0);
  EXPECT_EQ(cu_jitter_SetData(q, "a", -2), 0);
  EXPECT_EQ(cu_jitter_GetData(q, buf, -1), 0);
  cu_jitter_free(q);
}

// The block layout the queue must have: bytes held per block, oldest first.
struct BlockModel {
  int32_t size, max;
  std::deque<int32_t> used;
  int32_t append(int32_t n) {
    int32_t done = 0;
    while (done < n) {
      if (used.empty() || used.back() == size) {
        if (static_cast<int32_t>(used.size()) == max) break;
        used.push_back(0);
      }
      int32_t k = std::min(size - used.back(), n - done);
      used.back() += k;
      done += k;
    }
    return done;
  }
  void take(int32_t n) {
    while (n > 0 && !used.empty()) {
      int32_t k = std::min(n, used.front());
      used.front() -= k;
      n -= k;
      if (used.front() == 0) used.pop_front();
    }
  }
};

void expect_layout(const cu_jitter* q, const BlockModel& m) {
  ASSERT_EQ(q->block_count, static_cast<int32_t>(m.used.size()));
  ASSERT_LE(q->block_count, q->max_blocks);
  size_t i = 0;
  int64_t sum = 0;
  for (cu_list* n = q->head; n; n = n->next, ++i) {
    auto* b = static_cast<const _cu_jitter_block*>(n->data);
    ASSERT_LT(i, m.used.size());
    ASSERT_EQ(b->used, m.used[i]);
    ASSERT_GT(b->used, 0);
    sum += b->used;
    if (!n->next) { ASSERT_EQ(q->current, n); }
  }
  ASSERT_EQ(sum, q->stored);
  if (!q->head) { ASSERT_EQ(q->current, nullptr); }
}

// Random appends, takes and peeks against std::deque for block sizes 1-7: covers the ring
// wrap inside blocks, the block limit and blocks that leave the chain when drained.
TEST(CuJitter, FollowsADequeModel) {
  const unsigned seed = 1250;
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  for (int32_t size = 1; size <= 7; ++size) {
    for (int32_t max = 1; max <= 4; ++max) {
      SCOPED_TRACE(testing::Message() << "block size " << size << ", max blocks " << max);
      cu_jitter* q = cu_jitter_mallocx(size, max, nullptr);
      ASSERT_NE(q, nullptr);
      std::deque<char> model;
      BlockModel layout{size, max, {}};
      uint8_t next_byte = 0;
      for (int step = 0; step < 400; ++step) {
        int32_t n = static_cast<int32_t>(rng() % (2 * size * max + 2));
        char buf[128];
        switch (rng() % 4) {
          case 0: {
            std::string in;
            for (int32_t i = 0; i < n; ++i) in.push_back(static_cast<char>(next_byte++));
            int32_t fits = std::min(n, size * max - static_cast<int32_t>(model.size()));
            int32_t expect = layout.append(fits);
            ASSERT_EQ(cu_jitter_SetData(q, in.data(), n), n > 0 ? expect : 0);
            model.insert(model.end(), in.begin(), in.begin() + expect);
            break;
          }
          case 1: {
            bool discard = rng() % 2;
            int32_t expect = std::min<int32_t>(n, static_cast<int32_t>(model.size()));
            ASSERT_EQ(cu_jitter_GetData(q, discard ? nullptr : buf, n), n > 0 ? expect : 0);
            if (n > 0) {
              if (!discard) { ASSERT_TRUE(std::equal(buf, buf + expect, model.begin())); }
              model.erase(model.begin(), model.begin() + expect);
              layout.take(expect);
            }
            break;
          }
          case 2: {
            int32_t expect = std::min<int32_t>(n, static_cast<int32_t>(model.size()));
            ASSERT_EQ(cu_jitter_PeekData(q, buf, n), n > 0 ? expect : 0);
            ASSERT_TRUE(std::equal(buf, buf + (n > 0 ? expect : 0), model.begin()));
            break;
          }
          default: {
            int32_t offset = static_cast<int32_t>(rng() % (model.size() + 2));
            int32_t stored = static_cast<int32_t>(model.size());
            int32_t expect = (n <= 0 || offset >= stored) ? 0 : std::min(n, stored - offset);
            ASSERT_EQ(cu_jitter_PeekDatax(q, buf, offset, n), expect);
            ASSERT_TRUE(std::equal(buf, buf + expect, model.begin() + std::min(offset, stored)));
          }
        }
        ASSERT_EQ(cu_jitter_GetLen(q), static_cast<int32_t>(model.size()));
        ASSERT_EQ(cu_jitter_GetAvailableLen(q), size * max - static_cast<int32_t>(model.size()));
        expect_layout(q, layout);
      }
      cu_jitter_free(q);
    }
  }
}

TEST(CuJitterBlock, SetDataIsAllOrNothing) {
  _cu_jitter_block* b = _cu_jitter_block_new(4);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(_cu_jitter_block_SetData(b, "", 0));
  EXPECT_TRUE(_cu_jitter_block_SetData(b, "abc", 3));
  EXPECT_FALSE(_cu_jitter_block_SetData(b, "de", 2));
  EXPECT_EQ(_cu_jitter_block_GetLen(b), 3);
  EXPECT_EQ(_cu_jitter_block_GetAvailableLen(b), 1);
  char buf[8] = {};
  EXPECT_EQ(_cu_jitter_block_PeekData(b, nullptr, 10), 3);
  EXPECT_EQ(_cu_jitter_block_PeekData(b, buf, 10), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  _cu_jitter_block_reset(b);
  EXPECT_EQ(_cu_jitter_block_GetLen(b), 0);
  EXPECT_EQ(_cu_jitter_block_GetData(b, buf, 4), 0);
  EXPECT_EQ(_cu_jitter_block_new(0), nullptr);
  _cu_jitter_block_free(b);
  _cu_jitter_block_free(nullptr);
}

// Puts the read position at `rotation`, then writes `held`.
_cu_jitter_block* rotated_block(int32_t capacity, int32_t rotation, const std::string& held) {
  _cu_jitter_block* b = _cu_jitter_block_new(capacity);
  std::string junk(static_cast<size_t>(rotation), '\0');  // NULs that must not be found later
  EXPECT_TRUE(_cu_jitter_block_SetData(b, junk.data(), rotation));
  EXPECT_EQ(_cu_jitter_block_GetData(b, nullptr, rotation), rotation);
  EXPECT_TRUE(_cu_jitter_block_SetData(b, held.data(), static_cast<int32_t>(held.size())));
  return b;
}

struct PacketCase {
  std::string held;
  bool found;
  int32_t total, nuls;
};

TEST(CuJitterBlock, PacketLengthAtEveryRotation) {
  const PacketCase cases[] = {
      {std::string("AB\0\0C", 5), true, 4, 2},
      {"ABC", false, 0, 0},
      {std::string("\0", 1), true, 1, 1},
      {std::string("AB\0\0", 4), true, 4, 2},  // the run ends with the held bytes
      {std::string("A\0B\0", 4), true, 2, 1},
      {"", false, 0, 0},
  };
  const int32_t capacity = 6;
  for (const auto& c : cases) {
    for (int32_t rotation = 0; rotation < capacity; ++rotation) {
      SCOPED_TRACE(testing::Message() << "case of " << c.held.size() << " bytes, rotation " << rotation);
      _cu_jitter_block* b = rotated_block(capacity, rotation, c.held);
      int32_t total = -1, nuls = -1;
      ASSERT_EQ(_cu_jitter_block_CalPacketLen(b, &total, &nuls), c.found);
      if (c.found) {
        EXPECT_EQ(total, c.total);
        EXPECT_EQ(nuls, c.nuls);
        EXPECT_TRUE(_cu_jitter_block_CalPacketLen(b, nullptr, nullptr));
      }
      EXPECT_EQ(_cu_jitter_block_GetLen(b), static_cast<int32_t>(c.held.size()));
      _cu_jitter_block_free(b);
    }
  }
}

TEST(CuJitterBlock, PeekRangeIsCutToTheHeldBytes) {
  for (int32_t rotation = 0; rotation < 7; ++rotation) {
    _cu_jitter_block* b = rotated_block(7, rotation, "hello");
    char buf[16] = {};
    EXPECT_EQ(_cu_jitter_block_PeekData_ext(b, buf, 1, 3), 2);
    EXPECT_EQ(std::string(buf, 2), "el");
    EXPECT_EQ(_cu_jitter_block_PeekData_ext(b, buf, 2, 100), 3);
    EXPECT_EQ(std::string(buf, 3), "llo");
    EXPECT_EQ(_cu_jitter_block_PeekData_ext(b, buf, 3, 3), 0);
    EXPECT_EQ(_cu_jitter_block_PeekData_ext(b, buf, 5, 9), 0);
    EXPECT_EQ(_cu_jitter_block_PeekData_ext(b, buf, -1, 2), 0);
    EXPECT_EQ(_cu_jitter_block_PeekData_ext(b, nullptr, 0, 2), 0);
    _cu_jitter_block_free(b);
  }
}

}  // namespace
