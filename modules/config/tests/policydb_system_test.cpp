// Node settings: the setters' range rules, rows written and loaded back, legacy names, rows that
// do not fit, once.ini, and the module's behaviour with a missing or broken database file.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "policydb_system.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

using settings::Id;

std::string row_of(Tree& t, const std::string& key) {
  return t.sql("select value from wc_system where name='" + key + "'");
}

struct SetCase {
  const char* what;
  std::function<uint8_t()> call;
  uint8_t answer;
  const char* key;
  std::function<uint64_t()> held;
  uint64_t expect_held;
  const char* expect_row;  // the row after the call ("777\n": written nothing over the marker)
};

const SetCase kSetCases[] = {
    {"send buffer 0 becomes 1 KB", [] { return policydb_system_set_MaxClientSendBuffer(0); }, 1,
     "MaxClientSendBuffer", [] { return policydb_system_get_MaxClientSendBuffer(); }, 1024, "1\n"},
    {"send buffer 129 refused", [] { return policydb_system_set_MaxClientSendBuffer(129); }, 0,
     "MaxClientSendBuffer", [] { return policydb_system_get_MaxClientSendBuffer(); }, 32768, "777\n"},
    {"block size 2 becomes 4", [] { return policydb_system_set_MaxCacheBlockSize(2); }, 1, "MaxCacheBlockSize",
     [] { return policydb_system_get_MaxCacheBlockSize(); }, 4096, "4\n"},
    {"block size 1025 refused", [] { return policydb_system_set_MaxCacheBlockSize(1025); }, 0, "MaxCacheBlockSize",
     [] { return policydb_system_get_MaxCacheBlockSize(); }, 524288, "777\n"},
    {"same memory size writes nothing", [] { return policydb_system_set_MaxUsableMemSize(200); }, 1,
     "MaxUsableMemSize", [] { return policydb_system_get_MaxUsableMemSize(); }, 209715200, "777\n"},
    {"memory size past 2^64 bytes refused", [] { return policydb_system_set_MaxUsableMemSize(uint64_t{1} << 44); }, 0,
     "MaxUsableMemSize", [] { return policydb_system_get_MaxUsableMemSize(); }, 209715200, "777\n"},
    {"largest memory size", [] { return policydb_system_set_MaxUsableMemSize((uint64_t{1} << 44) - 1); }, 1,
     "MaxUsableMemSize", [] { return policydb_system_get_MaxUsableMemSize(); }, ((uint64_t{1} << 44) - 1) << 20,
     "17592186044415\n"},
    {"role 3 keeps the role", [] { return policydb_system_set_RoleInQuorinCluster(3); }, 1, "RoleInQuorinCluster",
     [] { return policydb_system_get_RoleInQuorinCluster(); }, 0, "777\n"},
    {"role 1", [] { return policydb_system_set_RoleInQuorinCluster(1); }, 1, "RoleInQuorinCluster",
     [] { return policydb_system_get_RoleInQuorinCluster(); }, 1, "1\n"},
    {"ratio 150 stores 100", [] { return policydb_system_set_RatioOfDCIMSAndMUMS(150); }, 1, "RatioOfDCIMSAndMUMS",
     [] { return policydb_system_get_RatioOfDCIMSAndMUMS(); }, 100, "100\n"},
    {"session cache 4096 MB does not fit", [] { return policydb_system_set_MaxSessionCacheSize(4096); }, 0,
     "MaxSessionCacheSize", [] { return policydb_system_get_MaxSessionCacheSize(); }, 104857600, "777\n"},
    {"session cache 4095 MB", [] { return policydb_system_set_MaxSessionCacheSize(4095); }, 1, "MaxSessionCacheSize",
     [] { return policydb_system_get_MaxSessionCacheSize(); }, uint64_t{4095} << 20, "4095\n"},
    {"RSCP 4194304 KB does not fit", [] { return policydb_system_set_MinSizeForRSCPByDiskCache(4194304); }, 0,
     "MinSizeForRSCPByDiskCache", [] { return policydb_system_get_MinSizeForRSCPByDiskCache(); }, 2097152, "777\n"},
    {"RSCP 4194303 KB", [] { return policydb_system_set_MinSizeForRSCPByDiskCache(4194303); }, 1,
     "MinSizeForRSCPByDiskCache", [] { return policydb_system_get_MinSizeForRSCPByDiskCache(); },
     uint64_t{4194303} << 10, "4194303\n"},
    {"connections above a million refused", [] { return policydb_system_set_MaxConnections(1000001); }, 0,
     "MaxConnections", [] { return policydb_system_get_MaxConnections(); }, 5000, "777\n"},
    {"a million connections", [] { return policydb_system_set_MaxConnections(1000000); }, 1, "MaxConnections",
     [] { return policydb_system_get_MaxConnections(); }, 1000000, "1000000\n"},
    {"hour 24 refused", [] { return policydb_system_set_PVRCreatingThisTime(24); }, 0, "PVRCreatingThisTime",
     [] { return policydb_system_get_PVRCreatingThisTime(); }, 0, "777\n"},
    {"period 240 hours", [] { return policydb_system_set_PVRCreatingPeriodTime(240); }, 1, "PVRCreatingPeriodTime",
     [] { return policydb_system_get_PVRCreatingPeriodTime(); }, 240, "240\n"},
    {"flag 7 is 1", [] { return policydb_system_set_IsDiskCache(7); }, 1, "IsDiskCache",
     [] { return policydb_system_get_IsDiskCache(); }, 1, "1\n"},
};

TEST(Settings, SettersFollowTheirRangeRules) {
  for (const SetCase& c : kSetCases) {
    SCOPED_TRACE(c.what);
    Tree t;
    t.make_default_db();
    ASSERT_EQ(t.init(), 1);
    // A marker in the row shows whether the setter wrote it.
    t.sql(std::string("update wc_system set value='777' where name='") + c.key + "'");
    EXPECT_EQ(c.call(), c.answer);
    EXPECT_EQ(c.held(), c.expect_held);
    EXPECT_EQ(row_of(t, c.key), c.expect_row);
  }
}

// A value for every stored key (row unit), other than its default, and what it holds.
struct RoundTrip {
  Id id;
  uint64_t row;
  uint64_t held;
};

const RoundTrip kRoundTrips[] = {
    {Id::MaxUsableMemSize, 300, uint64_t{300} << 20},
    {Id::MaxConnections, 6000, 6000},
    {Id::IsUsedMemCache, 0, 0},
    {Id::MaxClientSendBuffer, 64, 65536},
    {Id::MaxClientRecvBuffer, 16, 16384},
    {Id::MaxCacheBlockSize, 1024, 1048576},
    {Id::IsUsedXForwardedFor, 0, 0},
    {Id::IsHitCacheForRefresh, 0, 0},
    {Id::IsUsedMethodCONNECT, 0, 0},
    {Id::ClientRequestTimeOut, 30, 30},
    {Id::IsUsedPageViewStat, 0, 0},
    {Id::PVRCreatingOption, 1, 1},
    {Id::PVRCreatingThisTime, 5, 5},
    {Id::PVRCreatingPeriodTime, 12, 12},
    {Id::MaxUpstreamConnections, 7000, 7000},
    {Id::MaxSessionCacheSize, 50, uint64_t{50} << 20},
    {Id::RoleInQuorinCluster, 2, 2},
    {Id::UnenableZazudazaBySpider, 0, 0},
    {Id::UnenableStatBySpider, 0, 0},
    {Id::UnenableAccessLog, 0, 0},
    {Id::IsDiskCache, 1, 1},
    {Id::MinSizeForActivePageByDiskCache, 8192, 8192},
    {Id::DiskCacheDirectoryDepth, 3, 3},
    {Id::MinSizeForRSCPByDiskCache, 1024, 1048576},
    {Id::MaxOpenedFilesByDiskCache, 900, 900},
    {Id::RatioOfDCIMSAndMUMS, 45, 45},
    {Id::EnableDiskCacheForChunkedPage, 1, 1},
    {Id::MinDiskCacheContentSize, 4096, 4096},
    {Id::UseExpiredCacheWhenUpstreamIsFail, 0, 0},
    {Id::EnableWhiteList, 1, 1},
    {Id::AddXCacheToHeader, 1, 1},
    {Id::BlockTransparentProxyAccess, 1, 1},
};
static_assert(sizeof kRoundTrips / sizeof kRoundTrips[0] == static_cast<size_t>(Id::kCount));

TEST(Settings, EveryKeyIsStoredAndLoadsBackInAFreshInstance) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init(), 1);
  for (const RoundTrip& r : kRoundTrips) {
    SCOPED_TRACE(settings::key_of(r.id));
    ASSERT_TRUE(settings::set(r.id, r.row));
    EXPECT_EQ(settings::get(r.id), r.held);
    EXPECT_EQ(row_of(t, settings::key_of(r.id)), std::to_string(r.row) + "\n");
  }
  t.reload();
  EXPECT_EQ(t.err(), "");
  for (const RoundTrip& r : kRoundTrips) {
    SCOPED_TRACE(settings::key_of(r.id));
    EXPECT_EQ(settings::get(r.id), r.held);
  }
}

TEST(Settings, AKeyWithoutARowGetsOneInserted) {
  Tree t;
  t.make_default_db();
  t.sql("delete from wc_system where name='ClientRequestTimeOut'");
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(policydb_system_set_ClientRequestTimeOut(40), 1);
  EXPECT_EQ(t.sql("select count(*), value from wc_system where name='ClientRequestTimeOut'"), "1|40\n");
}

TEST(Settings, BuiltInValuesBeforeAnyLoad) {
  policydb::reset_for_tests();
  EXPECT_EQ(policydb_system_get_RatioOfDCIMSAndMUMS(), 30u);
  EXPECT_EQ(policydb_system_get_MaxUsableMemSize(), 209715200u);
  EXPECT_EQ(policydb_system_get_MaxCacheBlockSize(), 524288u);
  EXPECT_EQ(policydb_system_get_IsRunning(), 1);
  // Without a database handle a setter refuses, IsRunning needs none.
  EXPECT_EQ(policydb_system_set_MaxConnections(10), 0);
  EXPECT_EQ(policydb_system_set_IsRunning(5), 1);
  EXPECT_EQ(policydb_system_get_IsRunning(), 1);
  EXPECT_EQ(policydb_system_set_IsRunning(0), 1);
  EXPECT_EQ(policydb_system_get_IsRunning(), 0);
  EXPECT_EQ(policydb_system_have_RatioOfDCIMSAndMUMS(), 0);
  policydb::reset_for_tests();
}

TEST(Settings, LegacyKeyIsRenamedAndApplies) {
  Tree t;
  t.make_default_db();
  t.sql("delete from wc_system where name in ('IsUsedXForwardedFor', 'ClientRequestTimeOut', 'IsHitCacheForRefresh')");
  t.sql("insert into wc_system(name, value) values('IsUsedXForwordedFor', '0')");
  t.sql("insert into wc_system(name, value) values('ClientRequstTimeOut', '44')");
  t.sql("insert into wc_system(name, value) values('IsHitCacheWhenRefresh', '0')");
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(policydb_system_get_IsUsedXForwardedFor(), 0);
  EXPECT_EQ(policydb_system_get_ClientRequestTimeOut(), 44u);
  EXPECT_EQ(policydb_system_get_IsHitCacheForRefresh(), 0);
  EXPECT_EQ(t.sql("select name from wc_system where name like 'Is%For%' or name like 'Client%' order by name"),
            "ClientRequestTimeOut\nIsHitCacheForRefresh\nIsUsedXForwardedFor\n");
}

struct RowCase {
  const char* key;
  const char* value;
  std::function<uint64_t()> held;
  uint64_t expect;
  bool error_line;
};

const RowCase kRowCases[] = {
    {"IsDiskCache", "7", [] { return policydb_system_get_IsDiskCache(); }, 1, false},
    {"IsUsedMemCache", "0", [] { return policydb_system_get_IsUsedMemCache(); }, 0, false},
    {"RoleInQuorinCluster", "258", [] { return policydb_system_get_RoleInQuorinCluster(); }, 2, false},
    {"RatioOfDCIMSAndMUMS", "70", [] { return policydb_system_get_RatioOfDCIMSAndMUMS(); }, 70, false},
    {"MaxCacheBlockSize", "-4", [] { return policydb_system_get_MaxCacheBlockSize(); }, 524288, true},
    {"MaxSessionCacheSize", "4096", [] { return policydb_system_get_MaxSessionCacheSize(); }, 104857600, true},
    {"MaxSessionCacheSize", "4095", [] { return policydb_system_get_MaxSessionCacheSize(); }, 4095ull << 20, false},
    {"MinSizeForRSCPByDiskCache", "4194304", [] { return policydb_system_get_MinSizeForRSCPByDiskCache(); },
     2097152, true},
    {"MaxUsableMemSize", "-1", [] { return policydb_system_get_MaxUsableMemSize(); }, 209715200, true},
    {"MaxUsableMemSize", "2147483647", [] { return policydb_system_get_MaxUsableMemSize(); },
     2147483647ull << 20, false},
    {"MaxUsableMemSize", "99999999999", [] { return policydb_system_get_MaxUsableMemSize(); },
     2147483647ull << 20, false},  // read as a saturated 32-bit number
    {"MaxConnections", "abc", [] { return policydb_system_get_MaxConnections(); }, 0, false},
};

TEST(Settings, RowsLoadByTheirUnitAndSizesThatDoNotFitKeepTheDefault) {
  for (const RowCase& c : kRowCases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    Tree t;
    t.make_default_db();
    t.sql(std::string("update wc_system set value='") + c.value + "' where name='" + c.key + "'");
    ASSERT_EQ(t.init(), 1);
    EXPECT_EQ(c.held(), c.expect);
    const std::string line = std::string("[zazudaza -> config] 'wc_system'->'") + c.key + "=" + c.value + "' error!\r\n";
    EXPECT_EQ(t.err(), c.error_line ? line : "");
    EXPECT_EQ(t.log().find(line) != std::string::npos, c.error_line);
  }
}

TEST(Settings, LaterRowOfTheSameKeyWinsAndNullCellsAreSkipped) {
  Tree t;
  t.make_default_db();
  t.sql("create table s2 as select * from wc_system");
  t.sql("drop table wc_system");
  t.sql("create table wc_system(name text, value text, subvalue text)");
  t.sql("insert into wc_system(name, value) values('MaxConnections', '10'), ('MaxConnections', '20'),"
        " (null, '5'), ('ClientRequestTimeOut', null)");
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(policydb_system_get_MaxConnections(), 20u);
  EXPECT_EQ(policydb_system_get_ClientRequestTimeOut(), 15u);
  EXPECT_EQ(t.err(), "");
}

struct OnceCase {
  const char* what;
  const char* ini;           // nullptr: no once.ini
  const char* ratio_row;     // nullptr: the row is removed first
  const char* expect_ratio;  // the row afterwards ("" when none)
  const char* expect_min;    // the MinDiskCacheContentSize row afterwards
};

const OnceCase kOnceCases[] = {
    // 16384 is the value held already, so the setter writes no row for it.
    {"out of range becomes 30", "[once]\nRatioOfDCIMSAndMUMS=250\nMinDiskCacheContentSize=-5\n", nullptr, "30\n", ""},
    {"in range applies", "[once]\nRatioOfDCIMSAndMUMS=60\nMinDiskCacheContentSize=1024\n", nullptr, "60\n", "1024\n"},
    {"keys missing give the defaults", "[once]\n", nullptr, "30\n", ""},
    {"above 1 GiB becomes the default", "[once]\nMinDiskCacheContentSize=1073741825\n", nullptr, "30\n", ""},
    {"1 GiB applies", "[once]\nMinDiskCacheContentSize=1073741824\n", nullptr, "30\n", "1073741824\n"},
    {"an existing row keeps its value", "[once]\nRatioOfDCIMSAndMUMS=60\nMinDiskCacheContentSize=1024\n", "55",
     "55\n", "1024\n"},
    {"no once.ini applies nothing", nullptr, nullptr, "", ""},
};

TEST(Settings, OnceIniFillsOnlyMissingRows) {
  for (const OnceCase& c : kOnceCases) {
    SCOPED_TRACE(c.what);
    Tree t;
    t.make_default_db();
    t.sql("delete from wc_system where name in ('RatioOfDCIMSAndMUMS', 'MinDiskCacheContentSize')");
    if (c.ratio_row) t.sql(std::string("insert into wc_system(name, value) values('RatioOfDCIMSAndMUMS', '") + c.ratio_row + "')");
    if (c.ini) t.once_ini(c.ini);
    ASSERT_EQ(t.init(), 1);
    EXPECT_EQ(row_of(t, "RatioOfDCIMSAndMUMS"), c.expect_ratio);
    EXPECT_EQ(row_of(t, "MinDiskCacheContentSize"), c.expect_min);
    EXPECT_EQ(t.err(), "");
  }
}

TEST(Settings, DefaultDatabaseGivesEveryGetterItsBuiltInValue) {
  Tree t;
  t.make_default_db();
  write_file(t.path("modules/zazudaza/once.ini"), read_file(source_dir() + "/dist/modules/zazudaza/once.ini"));
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(t.out(), "[zazudaza -> config] module init!\r\n");
  EXPECT_EQ(t.err(), "");
  std::vector<uint64_t> loaded;
  for (const RoundTrip& r : kRoundTrips) loaded.push_back(settings::get(r.id));
  policydb::reset_for_tests();
  for (size_t i = 0; i < loaded.size(); ++i) {
    SCOPED_TRACE(settings::key_of(kRoundTrips[i].id));
    const Id id = kRoundTrips[i].id;
    EXPECT_EQ(loaded[i], id == Id::RatioOfDCIMSAndMUMS ? settings::get_ratio() : settings::get(id));
  }
}

}  // namespace
}  // namespace policydb::test
