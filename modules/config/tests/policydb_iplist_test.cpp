// The IP black and white lists through their exports: loader rows as a table, appends and range
// changes as tables of overlaps, expiry against an injected clock, the white list's table made
// and seeded only when missing, and a model test of random changes checked address by address
// and again after a fresh load of the same file.
#include <gtest/gtest.h>

#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "policydb.h"
#include "policydb_iplist.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

int64_t g_now = 1000000;
int64_t test_clock() { return g_now; }

uint32_t ip(const char* text) {
  uint32_t v = 0;
  EXPECT_TRUE(cu_IP_to_32bits(&v, text)) << text;
  return v;
}

// The black list's exports and the white list's, so one test drives either.
struct ListApi {
  const char* table;
  uint8_t (*append)(uint32_t, uint32_t, uint32_t, const char*, uint32_t*);
  uint8_t (*modify)(uint32_t, uint32_t, const char*);
  uint8_t (*modify_ext)(uint32_t, uint32_t, uint32_t, uint32_t, const char*);
  uint8_t (*remove)(uint32_t);
  uint8_t (*is_hit)(uint32_t);
};
const ListApi kBlack = {"wc_black", policydb_black_append, policydb_black_modify, policydb_black_modify_ext,
                        policydb_black_delete, policydb_black_IsHit};
const ListApi kWhite = {"wc_white", policydb_white_append, policydb_white_modify, policydb_white_modify_ext,
                        policydb_white_delete, policydb_white_IsHit};

class IpListTest : public ::testing::TestWithParam<const ListApi*> {
 protected:
  void SetUp() override {
    iplist::clock = test_clock;
    g_now = 1000000;
    t.make_default_db();
    // An existing empty white table stays empty, so both lists start alike.
    t.sql("create table if not exists wc_white(wid integer primary key autoincrement, low varchar(20) not null, "
          "high varchar(20) not null, expire unsigned int(4) not null, note text)");
  }
  void TearDown() override { iplist::clock = edgeserv_mytime; }
  const ListApi& api() const { return *GetParam(); }
  std::string rows() const {
    return t.sql(std::string("select wid, low, high, expire, note from ") + api().table + " order by wid");
  }

  Tree t;
};

// --- loading --------------------------------------------------------------------------------

struct LoadCase {
  const char* values;  // (low, high, expire) of one row, as SQL
  const char* error;   // the console line with TABLE for the list's table, or "" when accepted
};
const LoadCase kLoadCases[] = {
    {"'10.0.0.0', '10.0.0.255', 2000000", ""},
    {"NULL, '10.0.0.1', 2000000", "[zazudaza -> config] 'TABLE'->'low=NULL||high=NULL' error(wid=2)!\r\n"},
    {"'10.0.1.0', NULL, 2000000", "[zazudaza -> config] 'TABLE'->'low=NULL||high=NULL' error(wid=3)!\r\n"},
    {"'ten', '10.0.1.9', 2000000", "[zazudaza -> config] 'TABLE'->'low=ten' error(wid=4)!\r\n"},
    {"'10.0.1.0', '10.0.1.256', 2000000", "[zazudaza -> config] 'TABLE'->'high=10.0.1.256' error(wid=5)!\r\n"},
    {"'10.0.2.9', '10.0.2.0', 2000000", "[zazudaza -> config] 'TABLE'->'low>high' error(wid=6)!\r\n"},
    {"'10.0.0.255', '10.0.3.0', 2000000",
     "[zazudaza -> config] 'TABLE'->'low=10.0.0.255, high=10.0.3.0' conflict error(wid=7)!\r\n"},
    {"'9.0.0.0', '10.0.0.0', 2000000",
     "[zazudaza -> config] 'TABLE'->'low=9.0.0.0, high=10.0.0.0' conflict error(wid=8)!\r\n"},
    {"'10.0.0.9', '10.0.0.9', 2000000",
     "[zazudaza -> config] 'TABLE'->'low=10.0.0.9, high=10.0.0.9' conflict error(wid=9)!\r\n"},
    {"'10.0.1.0', '10.0.1.0', 9999999999", ""},  // saturates to 2147483647
    {"'1.1.1.1', '1.1.1.1', 5", ""},
};

std::string replaced(std::string text, const std::string& table) {
  const size_t at = text.find("TABLE");
  if (at != std::string::npos) text.replace(at, 5, table);
  return text;
}

TEST_P(IpListTest, LoadingRefusesBadAndOverlappingRowsWithTheirLines) {
  // A table of loose column types, so that NULL ranges can be stored.
  t.sql(std::string("drop table ") + api().table + "; create table " + api().table +
        "(wid integer primary key autoincrement, low, high, expire, note)");
  std::string expected;
  for (const LoadCase& c : kLoadCases) {
    t.sql(std::string("insert into ") + api().table + "(low, high, expire, note) values(" + c.values + ", '')");
    expected += replaced(c.error, api().table);
  }
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(t.err(), expected);
  EXPECT_TRUE(api().is_hit(ip("10.0.0.0")));
  EXPECT_TRUE(api().is_hit(ip("10.0.0.255")));
  EXPECT_TRUE(api().is_hit(ip("10.0.1.0")));
  EXPECT_FALSE(api().is_hit(ip("10.0.1.1")));
  EXPECT_FALSE(api().is_hit(ip("10.0.2.0")));
  EXPECT_FALSE(api().is_hit(ip("1.1.1.1")));  // expired
  EXPECT_FALSE(api().is_hit(ip("9.255.255.255")));
  const auto held = GetParam() == &kBlack ? iplist::black().snapshot() : iplist::white().snapshot();
  ASSERT_EQ(held.size(), 3u);
  EXPECT_EQ(held[1].expire, 2147483647u);
}

// --- appending and changing -----------------------------------------------------------------

struct AppendCase {
  const char* low;
  const char* high;
  bool accepted;  // with 10.0.0.0 - 10.0.0.255 held
};
const AppendCase kAppends[] = {
    {"10.0.0.5", "10.0.0.9", false},      // inside
    {"9.255.255.0", "10.0.0.0", false},   // holds the first address
    {"10.0.0.255", "10.0.1.5", false},    // holds the last address
    {"9.0.0.0", "11.0.0.0", false},       // covers it
    {"10.0.1.0", "10.0.0.255", false},    // high below low
    {"9.255.255.255", "9.255.255.255", true},
    {"10.0.1.0", "10.0.1.0", true},
    {"0.0.0.0", "0.0.0.0", true},
    {"255.255.255.255", "255.255.255.255", true},
};

TEST_P(IpListTest, AppendRefusesEveryOverlapAndTakesNeighbours) {
  ASSERT_EQ(t.init(), 1);
  uint32_t first = 0;
  ASSERT_TRUE(api().append(ip("10.0.0.0"), ip("10.0.0.255"), 2000000, "net", &first));
  EXPECT_EQ(first, 1u);
  for (const AppendCase& c : kAppends) {
    SCOPED_TRACE(std::string(c.low) + " - " + c.high);
    uint32_t wid = 0;
    EXPECT_EQ(api().append(ip(c.low), ip(c.high), 2000000, nullptr, &wid), c.accepted);
    if (!c.accepted) continue;
    EXPECT_GT(wid, first);
    EXPECT_TRUE(api().is_hit(ip(c.low)));
    EXPECT_EQ(t.sql(std::string("select low, high from ") + api().table + " where wid=" + std::to_string(wid)),
              std::string(c.low) + "|" + c.high + "\n");
  }
  EXPECT_EQ(t.sql(std::string("select count(*) from ") + api().table), "5\n");
}

TEST_P(IpListTest, ARangeCountsWhileTheClockIsBelowItsExpiry) {
  ASSERT_EQ(t.init(), 1);
  ASSERT_TRUE(api().append(ip("1.2.3.4"), ip("1.2.3.4"), 1000000, nullptr, nullptr));
  ASSERT_TRUE(api().append(ip("1.2.3.5"), ip("1.2.3.5"), 1000001, nullptr, nullptr));
  EXPECT_FALSE(api().is_hit(ip("1.2.3.4")));  // expires now
  EXPECT_TRUE(api().is_hit(ip("1.2.3.5")));
  EXPECT_FALSE(api().is_hit(ip("1.2.3.3")));
  g_now = 1000001;
  EXPECT_FALSE(api().is_hit(ip("1.2.3.5")));
  // An expired range stays until it is deleted: its addresses stay taken.
  EXPECT_FALSE(api().append(ip("1.2.3.4"), ip("1.2.3.4"), 3000000, nullptr, nullptr));
}

TEST_P(IpListTest, ModifyChangesExpiryAndNoteOfAHeldRangeOnly) {
  ASSERT_EQ(t.init(), 1);
  uint32_t wid = 0;
  ASSERT_TRUE(api().append(ip("5.0.0.0"), ip("5.0.0.9"), 1000000, "old", &wid));
  EXPECT_FALSE(api().is_hit(ip("5.0.0.1")));
  EXPECT_TRUE(api().modify(wid, 1000005, "it's new"));
  EXPECT_TRUE(api().is_hit(ip("5.0.0.1")));
  EXPECT_FALSE(api().modify(wid + 1, 1000005, "x"));
  EXPECT_EQ(rows(), "1|5.0.0.0|5.0.0.9|1000005|it's new\n");
}

TEST_P(IpListTest, ModifyExtMovesARangeUnlessAnotherHoldsAnyOfIt) {
  ASSERT_EQ(t.init(), 1);
  uint32_t a = 0, b = 0;
  ASSERT_TRUE(api().append(ip("5.0.0.0"), ip("5.0.0.9"), 2000000, "a", &a));
  ASSERT_TRUE(api().append(ip("6.0.0.0"), ip("6.0.0.9"), 2000000, "b", &b));
  EXPECT_TRUE(api().modify_ext(a, ip("5.0.0.0"), ip("5.0.0.9"), 1000000, "self"));  // its own range is no conflict
  EXPECT_FALSE(api().is_hit(ip("5.0.0.5")));
  EXPECT_FALSE(api().modify_ext(a, ip("5.0.0.0"), ip("6.0.0.0"), 2000000, "over b"));
  EXPECT_FALSE(api().modify_ext(a, ip("5.0.0.9"), ip("5.0.0.0"), 2000000, "reversed"));
  EXPECT_FALSE(api().modify_ext(99, ip("7.0.0.0"), ip("7.0.0.9"), 2000000, "unknown"));
  EXPECT_TRUE(api().modify_ext(a, ip("5.0.0.5"), ip("5.255.255.255"), 2000000, "grown"));
  EXPECT_FALSE(api().is_hit(ip("5.0.0.4")));
  EXPECT_TRUE(api().is_hit(ip("5.200.0.0")));
  EXPECT_TRUE(api().append(ip("5.0.0.0"), ip("5.0.0.4"), 2000000, "freed", nullptr));
  EXPECT_EQ(rows(), "1|5.0.0.5|5.255.255.255|2000000|grown\n2|6.0.0.0|6.0.0.9|2000000|b\n"
                    "3|5.0.0.0|5.0.0.4|2000000|freed\n");
}

TEST_P(IpListTest, DeleteFreesTheRangeAndAnUnknownWidAnswersTrue) {
  ASSERT_EQ(t.init(), 1);
  uint32_t wid = 0;
  ASSERT_TRUE(api().append(ip("5.0.0.0"), ip("5.0.0.9"), 2000000, nullptr, &wid));
  EXPECT_TRUE(api().remove(wid));
  EXPECT_TRUE(api().remove(wid));
  EXPECT_FALSE(api().is_hit(ip("5.0.0.0")));
  EXPECT_TRUE(api().append(ip("5.0.0.0"), ip("5.0.0.9"), 2000000, nullptr, nullptr));
  EXPECT_EQ(t.sql(std::string("select count(*) from ") + api().table), "1\n");
}

TEST_P(IpListTest, AFailedWriteLeavesMemoryAsItWas) {
  ASSERT_EQ(t.init(), 1);
  uint32_t wid = 0;
  ASSERT_TRUE(api().append(ip("5.0.0.0"), ip("5.0.0.9"), 2000000, nullptr, &wid));
  Holder holder(t.db(), "BEGIN EXCLUSIVE;");
  const std::string table = api().table;
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(api().append(ip("6.0.0.0"), ip("6.0.0.0"), 2000000, nullptr, nullptr)); }),
            "[zazudaza -> config] insert '" + table + "' table error(low=6.0.0.0,high=6.0.0.0)!\r\n");
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(api().modify(wid, 5, nullptr)); }),
            "[zazudaza -> config] update '" + table + "' table error(wid=1)!\r\n");
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(api().remove(wid)); }),
            "[zazudaza -> config] delete '" + table + "' table error(wid=1)!\r\n");
  EXPECT_FALSE(api().is_hit(ip("6.0.0.0")));
  EXPECT_TRUE(api().is_hit(ip("5.0.0.0")));
}

// Random changes against a list of ranges, every answer checked at the borders of every range,
// then the same answers, wids and order from a fresh load of the file.
TEST_P(IpListTest, RandomChangesAgreeWithABruteForceModelAndSurviveAReload) {
  ASSERT_EQ(t.init(), 1);
  const uint32_t seed = 20261210;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::vector<iplist::Range> model;
  auto overlaps = [&](uint32_t low, uint32_t high, uint32_t except) {
    for (const auto& r : model) {
      if (r.wid != except && r.low <= high && low <= r.high) return true;
    }
    return false;
  };
  auto random_range = [&](uint32_t& low, uint32_t& high) {
    low = (10u << 24) + rng() % 400;  // a small space, so overlaps are frequent
    high = low + rng() % 12;
    if (rng() % 10 == 0) std::swap(low, high);
  };
  auto hit = [&](uint32_t address) {
    for (const auto& r : model) {
      if (r.low <= address && address <= r.high) return r.expire > static_cast<uint32_t>(g_now);
    }
    return false;
  };
  auto check_all = [&](int step) {
    for (uint32_t a = (10u << 24) - 1; a < (10u << 24) + 420; ++a) {
      ASSERT_EQ(api().is_hit(a) != 0, hit(a)) << "step " << step << " address " << iplist::dotted(a);
    }
  };
  for (int step = 0; step < 400; ++step) {
    uint32_t low = 0, high = 0;
    random_range(low, high);
    const uint32_t expire = static_cast<uint32_t>(g_now + static_cast<int64_t>(rng() % 40) - 10);
    const int op = static_cast<int>(rng() % 10);
    if (op < 5 || model.empty()) {
      uint32_t wid = 0;
      const bool ok = high >= low && !overlaps(low, high, 0);
      ASSERT_EQ(api().append(low, high, expire, nullptr, &wid) != 0, ok) << "step " << step;
      if (ok) model.push_back({wid, low, high, expire});
    } else if (op < 8) {
      auto& r = model[rng() % model.size()];
      const bool ok = high >= low && !overlaps(low, high, r.wid);
      ASSERT_EQ(api().modify_ext(r.wid, low, high, expire, "m") != 0, ok) << "step " << step;
      if (ok) r = {r.wid, low, high, expire};
    } else {
      const size_t at = rng() % model.size();
      ASSERT_TRUE(api().remove(model[at].wid));
      model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
    }
    if (rng() % 4 == 0) g_now += 1;
    check_all(step);
  }
  const auto before = GetParam() == &kBlack ? iplist::black().snapshot() : iplist::white().snapshot();
  const std::string rows_before = rows();
  ASSERT_EQ(t.reload(), 1);
  EXPECT_EQ(t.err(), "");
  const auto after = GetParam() == &kBlack ? iplist::black().snapshot() : iplist::white().snapshot();
  ASSERT_EQ(after.size(), model.size());
  ASSERT_EQ(before.size(), after.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].wid, before[i].wid);
    EXPECT_EQ(after[i].low, before[i].low);
    EXPECT_EQ(after[i].high, before[i].high);
    EXPECT_EQ(after[i].expire, before[i].expire);
  }
  EXPECT_EQ(rows(), rows_before);
  check_all(-1);
}

INSTANTIATE_TEST_SUITE_P(Lists, IpListTest, ::testing::Values(&kBlack, &kWhite),
                         [](const auto& info) { return std::string(info.param == &kBlack ? "Black" : "White"); });

// --- the white list's own table -------------------------------------------------------------

uint32_t local_2030() {
  std::tm when{};
  when.tm_year = 130;
  when.tm_mday = 1;
  when.tm_isdst = -1;
  return static_cast<uint32_t>(std::mktime(&when));
}

TEST(WhiteTable, AMissingTableIsMadeWithTheSevenPrivateRanges) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init(), 1);
  const std::string e = std::to_string(local_2030());
  EXPECT_EQ(t.sql("select wid, low, high, expire, note from wc_white order by wid"),
            "1|127.0.0.0|127.255.255.255|" + e + "|Local Loopback Address.\n" +
            "2|10.0.0.0|10.255.255.255|" + e + "|Local Area Network Address.\n" +
            "3|169.254.0.0|169.254.255.255|" + e + "|Local Area Network Address.\n" +
            "4|172.16.0.0|172.255.255.255|" + e + "|Local Area Network Address.\n" +
            "5|192.168.0.0|192.168.255.255|" + e + "|Local Area Network Address.\n" +
            "6|224.0.0.0|224.255.255.255|" + e + "|Local Area Network Address.\n" +
            "7|240.0.0.0|240.255.255.255|" + e + "|Local Area Network Address.\n");
  EXPECT_NE(t.sql("select name from sqlite_master where name='wc_white_low_and_high_index'"), "");
  EXPECT_TRUE(policydb_white_IsHit(ip("127.0.0.1")));
  EXPECT_TRUE(policydb_white_IsHit(ip("172.31.255.255")));
  EXPECT_TRUE(policydb_white_IsHit(ip("172.200.0.1")));
  EXPECT_FALSE(policydb_white_IsHit(ip("8.8.8.8")));
  EXPECT_FALSE(policydb_white_append(ip("10.0.0.5"), ip("10.0.0.9"), 2000000000u, nullptr, nullptr));
  // Emptied on purpose: a later start does not seed it again.
  EXPECT_EQ(t.sql("delete from wc_white"), "");
  ASSERT_EQ(t.reload(), 1);
  EXPECT_EQ(t.sql("select count(*) from wc_white"), "0\n");
  EXPECT_FALSE(policydb_white_IsHit(ip("127.0.0.1")));
}

TEST(WhiteTable, SetupLogListsBothListsWithGmtExpiries) {
  Tree t;
  t.make_default_db();
  t.sql("insert into wc_black(low, high, expire, note) values('1.2.3.4', '1.2.3.9', 0, '')");
  ASSERT_EQ(t.init(), 1);
  const std::string log = read_file(t.path("logs/zazudaza.db.log"));
  const char* ruled = "+---+-------------------+-------------------+-------------------------+\r\n";
  EXPECT_NE(log.find(std::string("\r\nConfig -> BlackList:\r\n") + ruled +
                     "|NO |Low                |High               |Expire                   |\r\n" + ruled +
                     "|1  |1.2.3.4            |1.2.3.9            |Thu, 01 Jan 1970 00:00:00|\r\n" + ruled),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\r\nConfig -> WhiteList:\r\n"), std::string::npos);
  EXPECT_NE(log.find("|7  |240.0.0.0          |240.255.255.255    |"), std::string::npos);
}

TEST(IpListNoDatabase, EveryChangeFailsAndNothingHits) {
  Tree t;
  ASSERT_EQ(t.init(), 1);
  EXPECT_FALSE(policydb_black_append(1, 2, 2000000000u, nullptr, nullptr));
  EXPECT_FALSE(policydb_white_modify_ext(1, 1, 2, 3, nullptr));
  EXPECT_FALSE(policydb_black_IsHit(1));
  EXPECT_FALSE(policydb_white_IsHit(ip("127.0.0.1")));
}

}  // namespace
}  // namespace policydb::test
