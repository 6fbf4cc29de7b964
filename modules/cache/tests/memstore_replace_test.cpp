// The replacement with a clock the test moves: scores, ties, phases by priority, the pass bound,
// and hot entries whose weighted reads pass 32 bits.
#include <gtest/gtest.h>

#include <string>

#include "memstore_test_env.h"

namespace vor::memstore::test {
namespace {

constexpr int64_t kT0 = 1700000000;

memcache_entry entry_at(int64_t created, uint32_t count) {
  memcache_entry e{};
  e.created = created;
  e.access_count = count;
  return e;
}

// Stores url at the given clock; count - 1 more reads follow.
void put_at(Store& store, Kind kind, const std::string& url, int64_t created, uint32_t count = 1,
            uint8_t content_class = 0, size_t body = 100) {
  world().clock = created;
  put(store, kind, url, pattern(body), 0, content_class);
  for (uint32_t i = 1; i < count; ++i) store.add_access(kind, url.c_str(), nullptr);
}

Settings with(int8_t priority, uint32_t protect = 60) {
  Settings s;
  s.verbose = false;
  s.priority = priority;
  s.protect = protect;
  return s;
}

TEST(Score, ReadsPerSecondWithNewEntriesProtected) {
  const memcache_entry young = entry_at(kT0 - 10, 1);
  const memcache_entry old = entry_at(kT0 - 1000, 5);
  EXPECT_FLOAT_EQ(replacement_score(&young, kT0, 60), 100.0f);
  EXPECT_FLOAT_EQ(replacement_score(&old, kT0, 60), 0.005f);
  const memcache_entry at_bound = entry_at(kT0 - 60, 3);  // not older than the protection time
  EXPECT_FLOAT_EQ(replacement_score(&at_bound, kT0, 60), 50.0f);
  const memcache_entry future = entry_at(kT0 + 5, 2);  // age counts as at least 1
  EXPECT_FLOAT_EQ(replacement_score(&future, kT0, 60), 2000.0f);
}

TEST(Score, WeightedReadsDoNotWrapAt32Bits) {
  const memcache_entry hot = entry_at(kT0 - 10, 4294968);
  EXPECT_FLOAT_EQ(replacement_score(&hot, kT0, 60), 429496800.0f);
  const memcache_entry hottest = entry_at(kT0 - 1, UINT32_MAX);
  EXPECT_FLOAT_EQ(replacement_score(&hottest, kT0, 60), 4294967295000.0f);
}

TEST(Score, AccessCountStopsAtItsMaximum) {
  memcache_entry e = entry_at(kT0, UINT32_MAX - 1);
  count_access(&e);
  EXPECT_EQ(e.access_count, UINT32_MAX);
  count_access(&e);
  EXPECT_EQ(e.access_count, UINT32_MAX);
}

TEST(Replace, OldRarelyReadEntryGoesBeforeANewOne) {
  auto store = make_store(64, with(0));
  put_at(*store, Kind::kPublic, "young", kT0 - 10, 1);
  put_at(*store, Kind::kPublic, "old", kT0 - 1000, 5);
  world().clock = kT0;
  store->replace(1);
  EXPECT_EQ(urls_of(*store, Kind::kPublic), (std::set<std::string>{"young"}));
}

TEST(Replace, EqualScoresSendTheEarlierEntryFirst) {
  for (bool earlier_first : {true, false}) {
    SCOPED_TRACE(earlier_first);
    auto store = make_store(64, with(0));
    // 2 reads in 100 s and 4 reads in 200 s: the same score.
    if (earlier_first) put_at(*store, Kind::kPublic, "earlier", kT0 - 200, 4);
    put_at(*store, Kind::kPublic, "later", kT0 - 100, 2);
    if (!earlier_first) put_at(*store, Kind::kPublic, "earlier", kT0 - 200, 4);
    world().clock = kT0;
    store->replace(1);
    EXPECT_EQ(urls_of(*store, Kind::kPublic), (std::set<std::string>{"later"}));
  }
}

TEST(Replace, EveryEntryOfASmallTableIsScoredAndTheLowestGoes) {
  for (int lowest = 0; lowest < 10; ++lowest) {
    SCOPED_TRACE(lowest);
    auto store = make_store(64, with(0));
    for (int i = 0; i < 10; ++i)
      put_at(*store, Kind::kMember, "u/" + std::to_string(i), kT0 - 1000,
             i == lowest ? 2 : 3 + static_cast<uint32_t>(i));
    world().clock = kT0;
    store->replace(1);
    EXPECT_EQ(store->table_count(Kind::kMember), 9u);
    EXPECT_EQ(urls_of(*store, Kind::kMember).count("u/" + std::to_string(lowest)), 0u);
  }
}

struct PriorityCase {
  const char* name;
  int8_t priority;
  bool binary_stored, text_stored;
  const char* left;  // after one replacement of 1 byte
};
// "binary" scores 0.002, "text" 0.001: only the priority may send the binary one first.
const PriorityCase kPriorities[] = {
    {"no preference: the lower score", 0, true, true, "binary"},
    {"binary first", 1, true, true, "text"},
    {"text first", 2, true, true, "binary"},
    {"binary first, only text stored", 1, false, true, ""},
    {"text first, only binary stored", 2, true, false, ""},
};

TEST(Replace, PriorityDecidesWhichClassGoesFirst) {
  for (const PriorityCase& c : kPriorities) {
    SCOPED_TRACE(c.name);
    auto store = make_store(64, with(c.priority));
    if (c.binary_stored) put_at(*store, Kind::kPublic, "binary", kT0 - 1000, 2, 0);
    if (c.text_stored) put_at(*store, Kind::kPublic, "text", kT0 - 1000, 1, 1);
    world().clock = kT0;
    store->replace(1);
    const std::set<std::string> left = urls_of(*store, Kind::kPublic);
    EXPECT_EQ(left, *c.left ? std::set<std::string>{c.left} : std::set<std::string>{});
  }
}

TEST(Replace, TargetMetByThePublicStepStillFreesOneOfEachTable) {
  auto store = make_store(64, with(0));
  for (Kind kind : kKinds)
    for (int i = 0; i < 3; ++i) put_at(*store, kind, "u/" + std::to_string(i), kT0 - 1000, 1, 0, 5000);
  world().clock = kT0;
  store->replace(2048);
  for (Kind kind : kKinds) EXPECT_EQ(store->table_count(kind), 2u);
}

TEST(Replace, FreesUntilTheTargetIsReachedOrNothingIsLeft) {
  auto store = make_store(64, with(0));
  for (int i = 0; i < 10; ++i) put_at(*store, Kind::kPublic, "u/" + std::to_string(i), kT0 - 1000, 1, 0, 1000);
  world().clock = kT0;
  store->replace(3000);  // three bodies of 1,000 bytes
  EXPECT_EQ(store->table_count(Kind::kPublic), 7u);
  store->replace(1000000);
  EXPECT_EQ(store->entry_total(), 0u);
  store->replace(1000000);  // empty tables: returns, frees nothing
  EXPECT_EQ(store->entry_total(), 0u);
}

TEST(Replace, APhaseStopsAfterItsPassLimitWhenBodiesAreEmpty) {
  auto store = make_store(256, with(0));
  for (int i = 0; i < 100005; ++i) put_at(*store, Kind::kPublic, "u/" + std::to_string(i), kT0 - 1000, 1, 0, 0);
  world().clock = kT0;
  store->replace(1);
  EXPECT_EQ(store->table_count(Kind::kPublic), 5u);
}

TEST(Replace, AHotEntryBeyond32BitWeightsStaysAndStillCanGo) {
  auto store = make_store(64, with(0));
  put_at(*store, Kind::kPublic, "hot", kT0 - 10, 4294968);
  put_at(*store, Kind::kPublic, "cold", kT0 - 10, 1);
  world().clock = kT0;
  store->replace(1);  // 4,294,968,000 weighted reads would wrap to 704 in 32 bits
  EXPECT_EQ(urls_of(*store, Kind::kPublic), (std::set<std::string>{"hot"}));
  world().clock = kT0 - 9;  // age 1: a score above 2^32, still a victim
  store->replace(1);
  EXPECT_EQ(store->entry_total(), 0u);
}

TEST(Replace, AFullBodyPoolMakesRoomForTheNewEntry) {
  // One 64 KiB page holds 31 blocks: 6 bodies of 10,000 bytes (5 blocks each) fill it.
  auto store = make_store(1, with(0));
  for (int i = 0; i < 6; ++i) put_at(*store, Kind::kPublic, "u/" + std::to_string(i), kT0 - 1000 + i, 1, 0, 10000);
  EXPECT_EQ(store->table_count(Kind::kPublic), 6u);
  world().clock = kT0;
  const std::string bytes = pattern(10000, 9);
  put(*store, Kind::kPublic, "new", bytes);
  EXPECT_EQ(body_of(*store, Kind::kPublic, "new"), bytes);
  EXPECT_EQ(urls_of(*store, Kind::kPublic).count("u/0"), 0u);  // the oldest, least read
}

TEST(Share, TablesShareTheCacheSizeByTheirCounts) {
  auto store = make_store(64, with(0));
  put(*store, Kind::kPublic, "p/1", pattern(3000));
  put(*store, Kind::kPublic, "p/2", pattern(3000));
  put(*store, Kind::kMember, "m/1", pattern(3000));
  const uint64_t total = store->cache_size();
  EXPECT_GT(total, 9000u);
  EXPECT_EQ(store->table_size(Kind::kPublic), total * 2 / 3);
  EXPECT_EQ(store->table_size(Kind::kMember), total / 3);
  EXPECT_EQ(store->table_size(Kind::kVisitor), 0u);
  store->clean_all(Kind::kPublic);
  store->clean_all(Kind::kMember);
  EXPECT_EQ(store->table_size(Kind::kPublic), 0u);
  EXPECT_EQ(store->cache_size(), 0u);
}

}  // namespace
}  // namespace vor::memstore::test
