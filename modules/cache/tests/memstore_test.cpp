// The memory cache: sizing, cache.ini, the store with its ownership rules, reads with version
// tags and access counting, and the purges.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "memstore_test_env.h"

namespace vor::memstore::test {
namespace {

// ---- sizing --------------------------------------------------------------------------------

struct SizingCase {
  const char* name;
  std::optional<uint64_t> physical;
  uint64_t usable;
  uint32_t ratio;
  uint64_t mem, budget, pages;
};
const SizingCase kSizing[] = {
    {"8 GiB machine, shipped settings", 8589934592ull, 209715200ull, 30, 209715200ull, 118908518ull, 4},
    {"2 GiB machine, 4 GiB usable", 2147483648ull, 4294967296ull, 30, 1610612736ull, 913217421ull, 28},
    {"memory query failed", std::nullopt, 209715200ull, 30, 209715200ull, 118908518ull, 4},
    {"factor bound 7 GiB", 17592186044416ull, 7516192768ull, 30, 7516192768ull, 4261681299ull, 128},
    {"one byte above 7 GiB", 17592186044416ull, 7516192769ull, 30, 7516192769ull, 4403737343ull, 132},
    {"factor bound 15 GiB", 17592186044416ull, 16106127360ull, 30, 16106127360ull, 9436580020ull, 282},
    {"one byte above 15 GiB", 17592186044416ull, 16106127361ull, 30, 16106127361ull, 9751132688ull, 291},
    {"factor bound 30 GiB", 17592186044416ull, 32212254720ull, 30, 32212254720ull, 19502265375ull, 582},
    {"one byte above 30 GiB", 17592186044416ull, 32212254721ull, 30, 32212254721ull, 20564303413ull, 613},
    {"factor bound 60 GiB", 17592186044416ull, 64424509440ull, 30, 64424509440ull, 41128606826ull, 1226},
    {"one byte above 60 GiB", 17592186044416ull, 64424509441ull, 30, 64424509441ull, 42413875790ull, 1265},
    {"factor bound 120 GiB", 17592186044416ull, 128849018880ull, 30, 128849018880ull, 84827751579ull, 2529},
    {"one byte above 120 GiB", 17592186044416ull, 128849018881ull, 30, 128849018881ull, 87506522682ull, 2608},
    {"reserve: 3 GiB", 3221225472ull, 17592186044416ull, 30, 2684354560ull, 1522029035ull, 46},
    {"reserve: above 3 GiB", 3221225473ull, 17592186044416ull, 30, 3220176897ull, 1825840300ull, 55},
    {"reserve: 1 GiB", 1073741824ull, 17592186044416ull, 30, 805306368ull, 456608710ull, 14},
    {"reserve: above 1 GiB", 1073741825ull, 17592186044416ull, 30, 536870913ull, 304405807ull, 10},
    {"reserve: 256 MiB", 268435456ull, 17592186044416ull, 30, 268435456ull, 152202903ull, 5},
    {"reserve: above 256 MiB", 268435457ull, 17592186044416ull, 30, 1ull, 0ull, 0},
    {"ratio 100", 8589934592ull, 209715200ull, 100, 209715200ull, 0ull, 0},
    {"ratio 0", 8589934592ull, 209715200ull, 0, 209715200ull, 169869312ull, 6},
};

TEST(Sizing, BudgetAndPageLimitsFollowMemoryAndSettings) {
  for (const SizingCase& c : kSizing) {
    SCOPED_TRACE(c.name);
    const Sizing s = size_cache(c.physical, c.usable, c.ratio);
    EXPECT_EQ(s.mem, c.mem);
    EXPECT_EQ(s.budget, c.budget);
    EXPECT_EQ(s.page_limit, c.pages);
  }
}

TEST(Sizing, ShippedSettingsGiveTheSmallestPublicTable) {
  const Sizing s = size_cache(8589934592ull, 209715200ull, 30);
  EXPECT_EQ(s.public_slots, 16384u);  // 16,383 buckets in use
}

// The budget whose 50-per-MiB count is exactly n.
uint64_t budget_for(uint64_t n) { return (n * 1048576 + 49) / 50; }

TEST(Sizing, PublicBucketsStayWithinTheirBounds) {
  struct Row {
    uint64_t n;
    uint32_t slots;
  };
  const Row rows[] = {
      {0, 16384},       {16383, 16384},   {16384, 16384},    {16385, 16385},    {524287, 524287},
      {524288, 524288}, {524289, 524288}, {2097151, 524288}, {2097152, 524288}, {2097153, 1048576},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.n);
    ASSERT_EQ(budget_for(r.n) * 50 / 1048576, r.n);
    EXPECT_EQ(public_slots_of(budget_for(r.n)), r.slots);
  }
}

// ---- cache.ini -----------------------------------------------------------------------------

struct IniCase {
  const char* text;  // nullptr: no file
  int8_t priority;
  uint32_t protect;
};
const IniCase kIni[] = {
    {nullptr, 0, 60},
    {"[system]\n", 0, 60},
    {"[system]\ncache_replacement_priority=1\n", 1, 60},
    {"[system]\ncache_replacement_priority=2\n", 2, 60},
    {"[system]\ncache_replacement_priority=3\n", 0, 60},
    {"[system]\ncache_replacement_priority=-1\n", 0, 60},
    {"[system]\ncache_replacement_priority=258\n", 2, 60},
    {"[system]\nnewcache_protecttime_when_overload=0\n", 0, 1},
    {"[system]\nnewcache_protecttime_when_overload=65596\n", 0, 60},
    {"[system]\nnewcache_protecttime_when_overload=120\n", 0, 120},
    {"[other]\ncache_replacement_priority=2\nnewcache_protecttime_when_overload=5\n", 0, 60},
};

TEST(CacheIni, KeysReadAsTheNodeReadsThem) {
  for (const IniCase& c : kIni) {
    SCOPED_TRACE(c.text ? c.text : "(no file)");
    cu_config* ini = c.text ? cu_config_make1(c.text) : nullptr;
    Settings base;
    base.priority = 2;  // whatever came before is replaced
    base.protect = 7;
    base.verbose = false;
    const Settings s = read_cache_ini(ini, base);
    cu_config_free(ini);
    EXPECT_EQ(s.priority, c.priority);
    EXPECT_EQ(s.protect, c.protect);
    EXPECT_FALSE(s.verbose);
  }
}

// ---- the store -----------------------------------------------------------------------------

struct StoreCase {
  const char* name;
  uint32_t type;
  bool cache_on;
  size_t body;
  uint64_t pages;        // body and head pools, 64 KiB pages
  uint64_t entry_pages;  // entry pool
  bool stored;
};
const StoreCase kStores[] = {
    {"intelligent entry", 0, true, 5000, 64, 1024, true},
    {"rule entry", 1, true, 5000, 64, 1024, true},
    {"empty body", 0, true, 0, 64, 1024, true},
    {"type 2 is refused", 2, true, 5000, 64, 1024, false},
    {"memory cache switched off", 0, false, 5000, 64, 1024, false},
    {"body of exactly 2,097,152 bytes", 0, true, 2097152, 80, 1024, true},
    {"body one byte over 2,097,152", 0, true, 2097153, 80, 1024, false},
    {"body pool too small", 0, true, 100000, 1, 1024, false},
    {"entry pool full", 0, true, 5000, 64, 0, false},
    {"head pool without a page", 0, true, 0, 0, 1024, false},
};

TEST(Store, EveryPathTakesTheCallersBytesAndStoresOnlyWhatFits) {
  for (const StoreCase& c : kStores) {
    SCOPED_TRACE(c.name);
    auto store = make_store(c.pages, quiet(), c.entry_pages);
    ASSERT_TRUE(store);
    world().cache_on = c.cache_on;
    const PoolUse empty = store->pool_use();
    const std::string bytes = pattern(c.body);
    CallerBody caller;
    store->set_data_x(Kind::kPublic, c.type, "a.b/x", "HTTP/1.1 200 OK\r\n\r\n", caller.with(bytes), 1800000000, 1);
    EXPECT_TRUE(caller.drained());
    uint32_t expire = 0;
    EXPECT_EQ(store->check(Kind::kPublic, "a.b/x", &expire, nullptr), c.stored);
    EXPECT_EQ(store->table_count(Kind::kPublic), c.stored ? 1u : 0u);
    if (c.stored) {
      EXPECT_EQ(expire, 1800000000u);
      EXPECT_EQ(access_count(*store, Kind::kPublic, "a.b/x"), 1);
      EXPECT_EQ(body_of(*store, Kind::kPublic, "a.b/x"), bytes);
    }
    store->clean_all(Kind::kPublic);
    const PoolUse after = store->pool_use();
    EXPECT_EQ(after.body, empty.body);
    EXPECT_EQ(after.node, empty.node);
    EXPECT_EQ(after.entry, empty.entry);
    EXPECT_EQ(after.head, empty.head);
  }
}

TEST(Store, MissingUrlOrHeadStillFreesTheBody) {
  auto store = make_store(64, quiet());
  for (int missing = 0; missing < 2; ++missing) {
    CallerBody caller;
    store->set_data_x(Kind::kPublic, 0, missing ? nullptr : "a.b/x", missing ? "head" : nullptr,
                      caller.with(pattern(3000)), 1, 0);
    EXPECT_TRUE(caller.drained());
  }
  store->set_data_x(Kind::kPublic, 0, "a.b/x", "head", nullptr, 1, 0);  // no body: nothing at all
  EXPECT_EQ(store->table_count(Kind::kPublic), 0u);
}

TEST(Store, PlainQueueBodyIsStoredAndFreed) {
  auto store = make_store(64, quiet());
  cu_jitter* body = cu_jitter_mallocx(1000, 100, nullptr);
  const std::string bytes = pattern(4500);
  cu_jitter_SetData(body, bytes.data(), static_cast<int32_t>(bytes.size()));
  store->set_data(Kind::kMember, 1, "a.b/p", "H", body, 5, 0);  // frees the queue (ASan would see a leak)
  EXPECT_EQ(body_of(*store, Kind::kMember, "a.b/p"), bytes);
}

TEST(Store, OverlongBodyRunsTheReplacementTwiceAndLeavesTheUrlAbsent) {
  Settings loud;
  auto store = make_store(80, loud);
  put(*store, Kind::kPublic, "a.b/old", pattern(1000));
  put(*store, Kind::kMember, "a.b/m", pattern(1000));
  world().take_lines();
  put(*store, Kind::kPublic, "a.b/big", pattern(2097153));
  EXPECT_EQ(body_of(*store, Kind::kPublic, "a.b/big"), "<absent>");
  // Both earlier entries were freed to make room that could never be enough.
  EXPECT_EQ(store->entry_total(), 0u);
  const auto lines = world().take_lines();
  EXPECT_EQ(lines, (std::vector<std::string>{"[CleanPublicCache] a.b/old\r\n", "[CleanMemberCache] a.b/m\r\n"}));
}

TEST(Store, StoringAgainReplacesTheVersionAndOldTagsReadNothing) {
  auto store = make_store(64, quiet());
  put(*store, Kind::kVisitor, "a.b/v", "first", 0, 0, "HEAD1");
  char tag1[17], tag2[17];
  ASSERT_TRUE(store->check(Kind::kVisitor, "a.b/v", nullptr, tag1));
  EXPECT_EQ(std::string(tag1).size(), 16u);
  EXPECT_TRUE(store->add_access(Kind::kVisitor, "a.b/v", tag1));
  put(*store, Kind::kVisitor, "a.b/v", "second!", 1, 1, "HEAD2");
  ASSERT_TRUE(store->check(Kind::kVisitor, "a.b/v", nullptr, tag2));
  EXPECT_NE(std::string(tag1), std::string(tag2));
  EXPECT_EQ(store->table_count(Kind::kVisitor), 1u);
  EXPECT_EQ(access_count(*store, Kind::kVisitor, "a.b/v"), 1);

  char body[64];
  char head[64];
  EXPECT_EQ(store->get_data(Kind::kVisitor, "a.b/v", true, tag1, head, 63, 0, 64, body), -1);
  EXPECT_FALSE(store->add_access(Kind::kVisitor, "a.b/v", tag1));
  EXPECT_EQ(store->get_data(Kind::kVisitor, "a.b/v", true, tag2, head, 63, 0, 64, body), 7);
  EXPECT_EQ(std::string(body, 7), "second!");
  EXPECT_STREQ(head, "HEAD2");
  EXPECT_TRUE(store->add_access(Kind::kVisitor, "a.b/v", nullptr));
  EXPECT_EQ(access_count(*store, Kind::kVisitor, "a.b/v"), 3);  // head read + AddAccessCount
}

// ---- reads ---------------------------------------------------------------------------------

enum class TagUse { kNone, kCurrent, kStale };
struct ReadCase {
  const char* name;
  TagUse tag;
  bool head;
  bool body;
  uint32_t from, to;
  int32_t result;
  long count_after;  // starts at 1
};
const ReadCase kReads[] = {
    {"whole body without head", TagUse::kNone, false, true, 0, 10000, 10000, 2},
    {"to one short of the end", TagUse::kNone, false, true, 0, 9999, 9999, 1},
    {"last slice", TagUse::kNone, false, true, 9000, 10000, 1000, 2},
    {"slice past the end", TagUse::kNone, false, true, 9000, 20000, 1000, 2},
    {"from past the end", TagUse::kNone, false, true, 20000, 30000, 0, 2},
    {"from equal to to", TagUse::kNone, false, true, 10000, 10000, 0, 1},
    {"from above to", TagUse::kNone, false, true, 10, 5, -1, 1},
    {"head only", TagUse::kNone, true, false, 0, 0, 0, 2},
    {"head only, from above to", TagUse::kNone, true, false, 10, 5, 0, 2},
    {"head and a middle slice", TagUse::kNone, true, true, 100, 200, 100, 2},
    {"neither head nor body", TagUse::kNone, false, false, 0, 10000, 0, 1},
    {"current tag", TagUse::kCurrent, false, true, 0, 10000, 10000, 2},
    {"stale tag", TagUse::kStale, true, true, 0, 10000, -1, 1},
};

TEST(Read, SlicesCountOneAccessForTheHeadAndOneForTheEnd) {
  const std::string bytes = pattern(10000, 3);
  for (const ReadCase& c : kReads) {
    SCOPED_TRACE(c.name);
    auto store = make_store(64, quiet());
    put(*store, Kind::kPublic, "a.b/r", bytes, 0, 0, "HTTP/1.1 200 OK\r\nX: y\r\n\r\n");
    char tag[17];
    ASSERT_TRUE(store->check(Kind::kPublic, "a.b/r", nullptr, tag));
    const char* use = c.tag == TagUse::kNone ? nullptr : c.tag == TagUse::kCurrent ? tag : "0123456789abcdef";
    std::string head(64, '#');
    std::string body(20000, '#');
    const int32_t r = store->get_data(Kind::kPublic, "a.b/r", c.tag != TagUse::kNone, use,
                                      c.head ? head.data() : nullptr, 63, c.from, c.to, c.body ? body.data() : nullptr);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(access_count(*store, Kind::kPublic, "a.b/r"), c.count_after);
    if (r > 0) {
      EXPECT_EQ(body.substr(0, static_cast<size_t>(r)), bytes.substr(c.from, static_cast<size_t>(r)));
    }
    if (c.head && r >= 0) {
      EXPECT_STREQ(head.c_str(), "HTTP/1.1 200 OK\r\nX: y\r\n\r\n");
    }
  }
}

TEST(Read, HeadIsCutToTheCapacityWithItsTerminator) {
  auto store = make_store(64, quiet());
  put(*store, Kind::kPublic, "a.b/h", "x", 0, 0, "HTTP/1.1 200 OK\r\n");
  char head[8];
  std::memset(head, '#', sizeof head);
  EXPECT_EQ(store->get_data(Kind::kPublic, "a.b/h", false, nullptr, head, 4, 0, 0, nullptr), 0);
  EXPECT_STREQ(head, "HTTP");
}

TEST(Read, EmptyOrAbsentUrlsAnswerAsAbsent) {
  auto store = make_store(64, quiet());
  put(*store, Kind::kPublic, "a.b/x", "x");
  char body[4];
  for (const char* url : {static_cast<const char*>(nullptr), "", "a.b/y", "A.B/X"}) {
    SCOPED_TRACE(url ? url : "(null)");
    uint32_t expire = 77;
    EXPECT_FALSE(store->check(Kind::kPublic, url, &expire, nullptr));
    EXPECT_EQ(expire, 77u);
    EXPECT_EQ(store->get_data(Kind::kPublic, url, true, nullptr, nullptr, 0, 0, 4, body), -1);
    EXPECT_EQ(store->get_expire(Kind::kPublic, url), 0u);
    EXPECT_FALSE(store->refresh_expire(Kind::kPublic, url, 5));
    EXPECT_FALSE(store->add_access(Kind::kPublic, url, nullptr));
  }
  // Tables are separate: the same url in another table is another entry.
  EXPECT_FALSE(store->check(Kind::kMember, "a.b/x", nullptr, nullptr));
}

TEST(Read, RefreshExpireChangesOnlyThatEntry) {
  auto store = make_store(64, quiet());
  put(*store, Kind::kPublic, "a.b/1", "x", 0, 0, "H", 100);
  put(*store, Kind::kPublic, "a.b/2", "x", 0, 0, "H", 200);
  EXPECT_TRUE(store->refresh_expire(Kind::kPublic, "a.b/1", 150));
  EXPECT_EQ(store->get_expire(Kind::kPublic, "a.b/1"), 150u);
  EXPECT_EQ(store->get_expire(Kind::kPublic, "a.b/2"), 200u);
}

TEST(Table, ManyKeysInFewBucketsAreFoundAndRemovedExactly) {
  // Two buckets in use: long chains, unlinks at head, middle and tail.
  auto store = make_store(64, quiet(), 1024, 3);
  for (int i = 0; i < 50; ++i) put(*store, Kind::kPublic, "k/" + std::to_string(i), std::to_string(i));
  for (int i = 0; i < 50; i += 3) store->clean_this(Kind::kPublic, ("k/" + std::to_string(i)).c_str());
  for (int i = 0; i < 50; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(body_of(*store, Kind::kPublic, "k/" + std::to_string(i)), i % 3 ? std::to_string(i) : "<absent>");
  }
  EXPECT_EQ(store->table_count(Kind::kPublic), 33u);
}

TEST(Table, BucketOfMatchesTheSignedHash) {
  // h = h x 31 + c over signed bytes, |h| mod count: "a" is 97; a high byte counts as negative.
  EXPECT_EQ(memstore_table::bucket_of("a", 1, 16383), 97u);
  EXPECT_EQ(memstore_table::bucket_of("ab", 2, 16383), (97u * 31 + 98) % 16383);
  EXPECT_EQ(memstore_table::bucket_of("\xff", 1, 16383), 1u);  // -1: magnitude 1
  // A three-byte key whose hash wraps negative: its magnitude by unsigned negation.
  std::string key;
  uint32_t h = 0;
  for (int a = -128; a < 128 && key.empty(); ++a)
    for (int b = -128; b < 128; ++b)
      for (int c = -128; c < 128; ++c) {
        h = (static_cast<uint32_t>(a) * 31 + static_cast<uint32_t>(b)) * 31 + static_cast<uint32_t>(c);
        if (static_cast<int32_t>(h) < 0) {
          key = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
          break;
        }
      }
  ASSERT_FALSE(key.empty());
  EXPECT_EQ(memstore_table::bucket_of(key.data(), 3, 1000), (0u - h) % 1000);
}

// ---- purges --------------------------------------------------------------------------------

const char* const kPurgeUrls[] = {"a.b/x.jpg", "a.b/y.css", "A.B/X.JPG", "c.d/z.jpg"};

struct RulePurge {
  const char* text;
  uint8_t icase, rules;
  bool result;
  std::set<std::string> left;
};
const RulePurge kRulePurges[] = {
    {"*", 0, 0, true, {}},
    {"*", 1, 0, true, {}},
    {"*", 0, 1, false, {"a.b/x.jpg", "a.b/y.css", "A.B/X.JPG", "c.d/z.jpg"}},
    {"a.b/x.jpg", 0, 2, true, {"a.b/y.css", "A.B/X.JPG", "c.d/z.jpg"}},
    {"a.b/x.jpg", 1, 2, true, {"a.b/y.css", "c.d/z.jpg"}},
    {"*.jpg", 0, 0, true, {"a.b/y.css", "A.B/X.JPG"}},
    {"*.jpg", 1, 0, true, {"a.b/y.css"}},
    {"^a\\.b/", 0, 1, true, {"A.B/X.JPG", "c.d/z.jpg"}},
    {"^a\\.b/", 1, 1, true, {"c.d/z.jpg"}},
    {"(", 0, 1, false, {"a.b/x.jpg", "a.b/y.css", "A.B/X.JPG", "c.d/z.jpg"}},
    {"nothing/here", 0, 2, true, {"a.b/x.jpg", "a.b/y.css", "A.B/X.JPG", "c.d/z.jpg"}},
};

TEST(Purge, CleanRulesCacheDropsWhatTheRuleMatches) {
  for (const RulePurge& c : kRulePurges) {
    SCOPED_TRACE(std::string(c.text) + " icase " + std::to_string(c.icase) + " rules " + std::to_string(c.rules));
    auto store = make_store(64, quiet());
    for (const char* url : kPurgeUrls) put(*store, Kind::kMember, url, url);
    put(*store, Kind::kPublic, "a.b/x.jpg", "other table");
    EXPECT_EQ(store->clean_rules(Kind::kMember, c.text, c.icase, c.rules), c.result);
    EXPECT_EQ(urls_of(*store, Kind::kMember), c.left);
    EXPECT_EQ(store->table_count(Kind::kMember), c.left.size());
    EXPECT_EQ(body_of(*store, Kind::kPublic, "a.b/x.jpg"), "other table");
  }
}

TEST(Purge, DroppedUrlsAreNamedWhileVerbose) {
  auto store = make_store(64);
  put(*store, Kind::kVisitor, "a.b/1.jpg", "1");
  put(*store, Kind::kVisitor, "a.b/2.css", "2");
  world().take_lines();
  EXPECT_TRUE(store->clean_rules(Kind::kVisitor, "*.jpg", 0, 0));
  EXPECT_EQ(world().take_lines(), std::vector<std::string>{"[CleanVisitorCache] a.b/1.jpg\r\n"});
  Settings silent = store->settings();
  silent.verbose = false;
  store->configure(silent);
  store->clean_this(Kind::kVisitor, "a.b/2.css");
  EXPECT_TRUE(world().take_lines().empty());
  EXPECT_EQ(store->table_count(Kind::kVisitor), 0u);
}

TEST(Purge, CleanByTypeKeepsTheOtherType) {
  auto store = make_store(64, quiet());
  put(*store, Kind::kPublic, "i/1", "x", 0);
  put(*store, Kind::kPublic, "f/1", "x", 1);
  put(*store, Kind::kPublic, "i/2", "x", 0);
  store->clean_type(Kind::kPublic, 0);
  EXPECT_EQ(urls_of(*store, Kind::kPublic), (std::set<std::string>{"f/1"}));
  put(*store, Kind::kPublic, "i/3", "x", 0);
  store->clean_type(Kind::kPublic, 1);
  EXPECT_EQ(urls_of(*store, Kind::kPublic), (std::set<std::string>{"i/3"}));
}

TEST(Purge, RefreshDropsEntriesTheirRulesNoLongerMatch) {
  auto store = make_store(64, quiet());
  for (const char* url : {"i/kept", "i/gone", "f/kept", "f/gone"}) put(*store, Kind::kPublic, url, "x", url[0] == 'f');
  {
    std::lock_guard<std::mutex> hold(world().mu);
    world().icache = {"i/kept"};
    world().fcache = {"f/kept"};
  }
  store->refresh_icache(Kind::kPublic);  // rule entries stay whatever the intelligent rules say
  EXPECT_EQ(urls_of(*store, Kind::kPublic), (std::set<std::string>{"i/kept", "f/kept", "f/gone"}));
  store->refresh_fcache(Kind::kPublic);
  EXPECT_EQ(urls_of(*store, Kind::kPublic), (std::set<std::string>{"i/kept", "f/kept"}));
  {
    std::lock_guard<std::mutex> hold(world().mu);
    world().rcache = {"i/kept", "f/kept", "not/stored"};
  }
  store->refresh_rcache(Kind::kPublic);
  EXPECT_TRUE(urls_of(*store, Kind::kPublic).empty());
}

TEST(Purge, AfterCleanAllTheTableCountsAndWeighsNothing) {
  auto store = make_store(64, quiet());
  put(*store, Kind::kPublic, "a/1", pattern(5000));
  put(*store, Kind::kMember, "a/1", pattern(5000));
  EXPECT_GT(store->table_size(Kind::kPublic), 0u);
  store->clean_all(Kind::kPublic);
  EXPECT_EQ(store->table_count(Kind::kPublic), 0u);
  EXPECT_EQ(store->table_size(Kind::kPublic), 0u);
  EXPECT_EQ(store->table_size(Kind::kMember), store->cache_size());
  EXPECT_EQ(store->entry_total(), 1u);
}

}  // namespace
}  // namespace vor::memstore::test
