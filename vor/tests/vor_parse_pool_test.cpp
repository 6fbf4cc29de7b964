#include "vor_parse_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "vor_kit.h"

namespace {

constexpr int32_t kRing = 20497;
constexpr int32_t kQueueRoom = 10257 * 100000;

using Pool = vor::Owned<vor_parse_pool, vor_parse_pool_free>;

Pool make() {
  Pool p(vor_parse_pool_malloc());
  EXPECT_NE(p, nullptr);
  return p;
}

bool feed(vor_parse_pool* p, const std::string& bytes) {
  return vor_parse_pool_input(p, bytes.data(), static_cast<int32_t>(bytes.size()));
}

// Every packet that is complete now, as text without its NUL.
std::vector<std::string> drain(vor_parse_pool* p, int32_t size = 10240) {
  std::vector<std::string> out;
  std::vector<char> buf(static_cast<size_t>(std::max(size, 1)));
  int32_t len = -1;
  while (vor_parse_pool_get(p, buf.data(), size, &len)) {
    EXPECT_GE(len, 2);
    EXPECT_EQ(buf[static_cast<size_t>(len - 1)], '\0');
    out.emplace_back(buf.data(), static_cast<size_t>(len - 1));
  }
  EXPECT_EQ(len, 0);
  return out;
}

std::string Z(size_t n = 1) { return std::string(n, '\0'); }

using Packets = std::vector<std::string>;

TEST(PacketSplitter, TwoPacketsInOneInput) {
  Pool p = make();
  ASSERT_TRUE(feed(p.get(), "one" + Z() + "two" + Z()));
  EXPECT_EQ(drain(p.get()), (Packets{"one", "two"}));
  EXPECT_EQ(vor_parse_pool_GetLen(p.get()), 0);
}

TEST(PacketSplitter, PacketSplitOverInputsWaitsForItsNul) {
  Pool p = make();
  ASSERT_TRUE(feed(p.get(), "cmd\r\na=\""));
  EXPECT_TRUE(drain(p.get()).empty());
  ASSERT_TRUE(feed(p.get(), "1\"\r\n" + Z()));
  EXPECT_EQ(drain(p.get()), (Packets{"cmd\r\na=\"1\"\r\n"}));
}

TEST(PacketSplitter, NulRunsNeverMakeEmptyPackets) {
  Pool p = make();
  ASSERT_TRUE(feed(p.get(), Z(2) + "a" + Z(3) + "b" + Z()));
  EXPECT_EQ(drain(p.get()), (Packets{"a", "b"}));
  // A run split over two inputs: the later part begins the ring and is dropped.
  ASSERT_TRUE(feed(p.get(), "c" + Z(2)));
  EXPECT_EQ(drain(p.get()), (Packets{"c"}));
  ASSERT_TRUE(feed(p.get(), Z(2) + "d" + Z()));
  EXPECT_EQ(drain(p.get()), (Packets{"d"}));
}

TEST(PacketSplitter, PacketLimitIs10240BytesWithItsNul) {
  Pool p = make();
  const std::string fits(10239, 'x'), over(10240, 'y');
  ASSERT_TRUE(feed(p.get(), fits + Z() + over + Z() + "next" + Z()));
  EXPECT_EQ(drain(p.get()), (Packets{fits, "next"}));
}

TEST(PacketSplitter, PacketLongerThanTheCallersBufferIsDropped) {
  Pool p = make();
  const std::string hundred(100, 'h'), ninety_nine(99, 'n');
  ASSERT_TRUE(feed(p.get(), hundred + Z() + ninety_nine + Z()));
  EXPECT_EQ(drain(p.get(), 100), (Packets{ninety_nine}));
}

TEST(PacketSplitter, GarbageWithoutNulIsGivenUp) {
  Pool p = make();
  ASSERT_TRUE(feed(p.get(), std::string(10239, 'g')));
  EXPECT_TRUE(drain(p.get()).empty());
  EXPECT_EQ(vor_parse_pool_GetLen(p.get()), 10239);  // still waiting for a NUL
  ASSERT_TRUE(feed(p.get(), "g"));
  EXPECT_TRUE(drain(p.get()).empty());
  EXPECT_EQ(vor_parse_pool_GetLen(p.get()), 0);
  // The tail of a packet whose start went with the garbage comes out on its own.
  ASSERT_TRUE(feed(p.get(), std::string(10240, 'g')));
  EXPECT_TRUE(drain(p.get()).empty());
  ASSERT_TRUE(feed(p.get(), "tail" + Z() + "ok" + Z()));
  EXPECT_EQ(drain(p.get()), (Packets{"tail", "ok"}));
}

TEST(PacketSplitter, OverflowQueueKeepsStreamOrder) {
  Pool p = make();
  std::string big;
  Packets expected;
  for (int i = 0; i < 30; ++i) {
    expected.push_back(std::string(1000 + static_cast<size_t>(i), static_cast<char>('a' + i % 26)));
    big += expected.back() + Z();
  }
  ASSERT_GT(big.size(), static_cast<size_t>(kRing));
  ASSERT_TRUE(feed(p.get(), "first" + Z()));
  ASSERT_TRUE(feed(p.get(), big));       // does not fit the ring's room: goes to the queue
  ASSERT_TRUE(feed(p.get(), "late" + Z()));  // small, but must wait behind the queue
  EXPECT_EQ(vor_parse_pool_GetLen(p.get()), static_cast<int32_t>(6 + big.size() + 5));
  Packets all{"first"};
  all.insert(all.end(), expected.begin(), expected.end());
  all.push_back("late");
  EXPECT_EQ(drain(p.get()), all);
}

TEST(PacketSplitter, EverySplitPointGivesTheSamePackets) {
  const std::string stream = Z(2) + "cmd\r\na=\"1\"\r\n" + Z() + "x" + Z(3) + "second" + Z() + "open";
  const Packets expected{"cmd\r\na=\"1\"\r\n", "x", "second"};
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    Pool p = make();
    ASSERT_TRUE(feed(p.get(), stream.substr(0, cut)));
    Packets got = drain(p.get());
    ASSERT_TRUE(feed(p.get(), stream.substr(cut)));
    for (auto& packet : drain(p.get())) got.push_back(packet);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(vor_parse_pool_GetLen(p.get()), 4);  // "open" waits for its NUL
  }
  Pool p = make();
  Packets got;
  for (char c : stream) {
    ASSERT_TRUE(feed(p.get(), std::string(1, c)));
    for (auto& packet : drain(p.get())) got.push_back(packet);
  }
  EXPECT_EQ(got, expected);
}

TEST(PacketSplitter, NullArgumentsAreRefused) {
  EXPECT_FALSE(vor_parse_pool_input(nullptr, "a", 1));
  Pool p = make();
  EXPECT_FALSE(vor_parse_pool_input(p.get(), nullptr, 1));
  EXPECT_FALSE(vor_parse_pool_input(p.get(), "a", -1));
  EXPECT_TRUE(vor_parse_pool_input(p.get(), "a", 0));
  ASSERT_TRUE(feed(p.get(), "a" + Z()));
  int32_t len = 7;
  EXPECT_FALSE(vor_parse_pool_get(p.get(), nullptr, 10, &len));
  EXPECT_EQ(len, 0);
  EXPECT_EQ(drain(p.get()), (Packets{"a"}));
  vor_parse_pool_free(nullptr);
}

// The splitter's rules on one plain string: the ring always holds the oldest
// min(ring capacity, buffered) bytes when a packet is looked for.
class ReferenceSplitter {
 public:
  void input(const std::string& bytes) { pending_ += bytes; }

  bool get(int32_t size, std::string* packet) {
    for (;;) {
      const size_t window = std::min(pending_.size(), static_cast<size_t>(kRing));
      const size_t nul = pending_.find('\0');
      if (nul == std::string::npos || nul >= window) {
        if (window < 10240) return false;
        pending_.erase(0, window);
        continue;
      }
      size_t run_end = nul;
      while (run_end < window && pending_[run_end] == '\0') ++run_end;
      const size_t n = nul;
      const bool keep = n > 0 && n + 1 <= 10240 && static_cast<int64_t>(n) + 1 <= size;
      if (keep) *packet = pending_.substr(0, n);
      pending_.erase(0, run_end);
      if (keep) return true;
    }
  }

  size_t buffered() const { return pending_.size(); }

 private:
  std::string pending_;
};

// Packets of many sizes, NUL runs and garbage; garbage runs are sometimes long enough to be
// given up, which the reference models too.
std::string random_stream(std::mt19937& rng, size_t target) {
  std::string s;
  while (s.size() < target) {
    const uint32_t kind = rng() % 20;
    size_t n;
    if (kind < 12) n = 1 + rng() % 200;
    else if (kind < 15) n = 1 + rng() % 4000;
    else if (kind < 17) n = 10230 + rng() % 20;  // around the packet limit
    else n = 10240 + rng() % 12000;              // garbage, given up as such
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(1 + rng() % 255));
    s.append(1 + rng() % 3, '\0');
    if (rng() % 10 == 0) s.append(1 + rng() % 6, '\0');  // a NUL run of its own
  }
  return s;
}

TEST(PacketSplitter, RandomChunkingsMatchTheReference) {
  for (uint32_t seed = 1; seed <= 30; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string stream = random_stream(rng, 150000);
    const int32_t sizes[] = {100, 4096, 10240, 30000};
    const int32_t size = sizes[seed % 4];
    Pool p = make();
    ReferenceSplitter ref;
    std::vector<char> buf(static_cast<size_t>(size));
    size_t at = 0;
    int step = 0;
    while (at < stream.size()) {
      const uint32_t pick = rng() % 10;
      const size_t chunk = std::min(stream.size() - at, static_cast<size_t>(pick < 6 ? 1 + rng() % 300 : pick < 9 ? 1 + rng() % 12000 : 1 + rng() % 40000));
      ASSERT_TRUE(vor_parse_pool_input(p.get(), stream.data() + at, static_cast<int32_t>(chunk)));
      ref.input(stream.substr(at, chunk));
      at += chunk;
      // Sometimes leave packets waiting so the queue fills and the ring wraps.
      int32_t gets = rng() % 3 == 0 ? 0 : static_cast<int32_t>(1 + rng() % 20);
      for (int32_t g = 0; g < gets; ++g, ++step) {
        std::string expected;
        const bool ref_ok = ref.get(size, &expected);
        int32_t len = -1;
        const bool ok = vor_parse_pool_get(p.get(), buf.data(), size, &len);
        ASSERT_EQ(ok, ref_ok) << "step " << step;
        if (!ok) {
          ASSERT_EQ(len, 0);
          break;
        }
        ASSERT_EQ(len, static_cast<int32_t>(expected.size() + 1)) << "step " << step;
        ASSERT_EQ(std::string(buf.data(), expected.size()), expected) << "step " << step;
        ASSERT_EQ(buf[expected.size()], '\0');
      }
      ASSERT_EQ(vor_parse_pool_GetLen(p.get()), static_cast<int32_t>(ref.buffered()));
      ASSERT_EQ(vor_parse_pool_GetLen(p.get()) + vor_parse_pool_GetAvailableLen(p.get()), kRing + kQueueRoom);
    }
    std::string expected;
    int32_t len = 0;
    while (ref.get(size, &expected)) {
      ASSERT_TRUE(vor_parse_pool_get(p.get(), buf.data(), size, &len));
      ASSERT_EQ(std::string(buf.data(), static_cast<size_t>(len - 1)), expected);
    }
    EXPECT_FALSE(vor_parse_pool_get(p.get(), buf.data(), size, &len));
  }
}

}  // namespace
