// The family driver through a small ordered fixture family on a table of its own: loading with
// row checks, migrations, the ordered append, modify, delete, and moves that fail at each point
// of their transaction (a trigger on either UPDATE, another process holding the database).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "policydb_fixture_family.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

std::vector<std::string> urls(const Fixture& f) {
  std::vector<std::string> out;
  for (const FixtureRule& r : f.snapshot()) out.push_back(r.url + "@" + std::to_string(r.num));
  return out;
}

class FamilyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t.make_default_db();
    t.sql(kFixtureTable);
  }
  void load() {
    ASSERT_EQ(t.init(), 1);
    load_errors = t.errors_of([&] { f.load(); });
  }
  std::string table() const { return t.sql("select url, num from wc_fixture order by num"); }

  Tree t;
  Fixture f;
  std::string load_errors;
};

TEST_F(FamilyTest, FirstAppendToAnEmptyTableGetsNumOneAndTheNextFollow) {
  load();
  uint32_t wid = 0;
  EXPECT_TRUE(f.append(rule("/a"), "first", &wid));
  EXPECT_EQ(wid, 1u);
  EXPECT_TRUE(f.append(rule("/b"), nullptr, &wid));
  EXPECT_EQ(wid, 2u);
  EXPECT_EQ(table(), "/a|1\n/b|2\n");
  EXPECT_EQ(t.sql("select note from wc_fixture order by wid"), "first\n\n");
  EXPECT_EQ(urls(f), (std::vector<std::string>{"/a@1", "/b@2"}));
  EXPECT_TRUE(f.has_rules());
}

TEST_F(FamilyTest, QuotesInTextsAreWrittenAndReadBack) {
  load();
  EXPECT_TRUE(f.append(rule("/it's"), "o'clock"));
  EXPECT_EQ(t.sql("select url, note from wc_fixture"), "/it's|o'clock\n");
  EXPECT_EQ(urls(f), (std::vector<std::string>{"/it's@1"}));
}

TEST_F(FamilyTest, LoadingChecksRowsKeepsNumOrderAndItsLimit) {
  t.sql("insert into wc_fixture(wid, num, url, rules, expire) values"
        "(1, 4, '/d', 0, null), (2, 1, null, 1, 1), (3, 2, '/b', 3, 1), (4, 3, '/c', -1, 1),"
        "(5, 0, '/a', 2, 9), (6, 5, '/e', 1, 1), (7, 6, 'skip', 1, 1)");
  load();
  // NULL url and rules 3 and -1 are reported; the limit of 4 rows keeps /e and 'skip' out.
  EXPECT_EQ(load_errors,
            "[zazudaza -> config] 'wc_fixture'->'url=NULL' error(wid=2)!\r\n"
            "[zazudaza -> config] 'wc_fixture'->'rules=3' error(wid=3)!\r\n"
            "[zazudaza -> config] 'wc_fixture'->'rules=-1' error(wid=4)!\r\n");
  ASSERT_EQ(urls(f), (std::vector<std::string>{"/a@0"}));
  f.reset();
  t.sql("delete from wc_fixture where wid in (2, 3, 4)");
  f.load();
  const std::vector<FixtureRule> rules = f.snapshot();
  ASSERT_EQ(urls(f), (std::vector<std::string>{"/a@0", "/d@4", "/e@5"}));  // 'skip' refused by the family
  EXPECT_EQ(rules[1].expire, 0u);  // NULL expire reads as 0
  EXPECT_EQ(rules[0].extra, 5u);   // the migrated column's default
}

TEST_F(FamilyTest, MigrationAddsTheMissingColumnOnce) {
  load();
  EXPECT_NE(t.sql("select sql from sqlite_master where name='wc_fixture'").find("extra int default '5' not null"),
            std::string::npos);
  EXPECT_EQ(t.errors_of([&] { f.load(); }), "");
}

TEST_F(FamilyTest, SetupLogHasTheFamilyTable) {
  t.sql("insert into wc_fixture(num, url, rules) values(1, '/a', 1)");
  ASSERT_EQ(t.init(), 1);
  // The setup log is open only while init loads; reopen it as init does.
  module().setup_log = cu_log_malloc("../logs/family.log");
  f.load();
  cu_log_free(module().setup_log);
  module().setup_log = nullptr;
  EXPECT_EQ(read_file(t.path("logs/family.log")),
            "\r\nConfig -> FixtureList:\r\n+--+----------+\r\n|NO|Url       |\r\n+--+----------+\r\n"
            "|1 |/a        |\r\n+--+----------+\r\n");
}

TEST_F(FamilyTest, ModifyRewritesRowAndRuleAndRefusesUnknownIds) {
  load();
  ASSERT_TRUE(f.append(rule("/a")));
  ASSERT_TRUE(f.append(rule("/b")));
  EXPECT_TRUE(f.modify(2, rule("/B", 2), "n"));
  EXPECT_EQ(t.sql("select url, num, rules, note from wc_fixture where wid=2"), "/B|2|2|n\n");
  EXPECT_EQ(urls(f), (std::vector<std::string>{"/a@1", "/B@2"}));
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(f.modify(9, rule("/x"), "")); }), "");
  t.sql("create trigger no_update before update on wc_fixture begin select raise(abort, 'refused'); end");
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(f.modify(1, rule("/z"), "")); }),
            "[zazudaza -> config] update 'wc_fixture' table error(wid=1)!\r\n");
  EXPECT_EQ(urls(f), (std::vector<std::string>{"/a@1", "/B@2"}));
}

TEST_F(FamilyTest, RemoveDeletesRowAndRuleUnknownIdsAnswerTrue) {
  load();
  ASSERT_TRUE(f.append(rule("/a")));
  ASSERT_TRUE(f.append(rule("/b")));
  EXPECT_TRUE(f.remove(7));
  EXPECT_TRUE(f.remove(1));
  EXPECT_EQ(table(), "/b|2\n");
  EXPECT_EQ(urls(f), (std::vector<std::string>{"/b@2"}));
  t.sql("create trigger no_delete before delete on wc_fixture begin select raise(abort, 'refused'); end");
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(f.remove(2)); }),
            "[zazudaza -> config] delete 'wc_fixture' table error(wid=2)!\r\n");
  EXPECT_EQ(urls(f), (std::vector<std::string>{"/b@2"}));
  // An append after deleting the last rule continues after the largest num left.
  EXPECT_TRUE(f.append(rule("/c")));
  EXPECT_EQ(table(), "/b|2\n/c|3\n");
}

TEST_F(FamilyTest, AppendWhoseRowCannotBeReadBackLeavesMemoryAlone) {
  load();
  ASSERT_TRUE(f.append(rule("/a")));
  t.sql("create trigger vanish after insert on wc_fixture begin delete from wc_fixture where wid=new.wid; end");
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(f.append(rule("/b"))); }),
            "[zazudaza -> config] select 'wc_fixture' table error(max(wid))!\r\n");
  t.sql("drop trigger vanish; create trigger no_insert before insert on wc_fixture begin select raise(abort, 'x'); end");
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(f.append(rule("/c"))); }),
            "[zazudaza -> config] insert 'wc_fixture' table error!\r\n");
  EXPECT_EQ(urls(f), (std::vector<std::string>{"/a@1"}));
}

TEST_F(FamilyTest, MovesAtTheEndsAndOfUnknownIdsChangeNothing) {
  load();
  for (const char* url : {"/a", "/b", "/c"}) ASSERT_TRUE(f.append(rule(url)));
  EXPECT_TRUE(f.move(1, true));
  EXPECT_TRUE(f.move(3, false));
  EXPECT_TRUE(f.move(42, true));
  EXPECT_EQ(table(), "/a|1\n/b|2\n/c|3\n");
  EXPECT_TRUE(f.move(3, true));
  EXPECT_EQ(table(), "/a|1\n/c|2\n/b|3\n");
  EXPECT_EQ(urls(f), (std::vector<std::string>{"/a@1", "/c@2", "/b@3"}));
  EXPECT_TRUE(f.move(1, false));
  EXPECT_EQ(table(), "/c|1\n/a|2\n/b|3\n");
  EXPECT_EQ(urls(f), (std::vector<std::string>{"/c@1", "/a@2", "/b@3"}));
}

struct SplitPoint {
  const char* what;
  const char* trigger;     // made before the move, dropped after
  const char* held_with;   // statements of another process holding the database during the move
};

// The move is /c (wid 3) up: the neighbour /b (wid 2) is updated first, then /c.
const SplitPoint kSplitPoints[] = {
    {"first update refused",
     "create trigger t before update of num on wc_fixture when new.wid=2 begin select raise(abort, 'no'); end",
     nullptr},
    {"second update refused",
     "create trigger t before update of num on wc_fixture when new.wid=3 begin select raise(abort, 'no'); end",
     nullptr},
    {"updates find the database taken", nullptr, "BEGIN EXCLUSIVE;"},
    {"end finds a reader", nullptr, "BEGIN; select count(*) from wc_fixture;"},
};

TEST_F(FamilyTest, MoveFailingAtAnyPointChangesNothingAndTheNextWriteCommits) {
  load();
  for (const char* url : {"/a", "/b", "/c"}) ASSERT_TRUE(f.append(rule(url)));
  for (const SplitPoint& p : kSplitPoints) {
    SCOPED_TRACE(p.what);
    if (p.trigger) t.sql(p.trigger);
    {
      std::unique_ptr<Holder> holder;
      if (p.held_with) holder = std::make_unique<Holder>(t.db(), p.held_with);
      EXPECT_FALSE(f.move(3, true));
    }
    if (p.trigger) t.sql("drop trigger t");
    EXPECT_EQ(table(), "/a|1\n/b|2\n/c|3\n");
    EXPECT_EQ(urls(f), (std::vector<std::string>{"/a@1", "/b@2", "/c@3"}));
    // Nothing is left open: a write now commits and is seen by another process.
    EXPECT_TRUE(f.modify(1, rule("/a"), p.what));
    EXPECT_EQ(t.sql("select note from wc_fixture where wid=1"), std::string(p.what) + "\n");
  }
  EXPECT_TRUE(f.move(3, true));
  EXPECT_EQ(table(), "/a|1\n/c|2\n/b|3\n");
}

TEST(FamilyWithoutDatabase, MissingFileLeavesAnEmptyFamilyThatRefusesChanges) {
  Tree t;
  ASSERT_EQ(t.init(), 1);
  Fixture f;
  EXPECT_EQ(t.errors_of([&] { f.load(); }), "[zazudaza -> config] read 'wc_fixture' table error!\r\n");
  EXPECT_FALSE(f.has_rules());
  t.errors_of([&] {
    EXPECT_FALSE(f.append(rule("/a")));
    EXPECT_TRUE(f.move(1, true));  // an unknown id, as every id of an empty family
    EXPECT_FALSE(f.remove(1));
    EXPECT_FALSE(f.modify(1, rule("/a"), ""));
  });
  EXPECT_FALSE(f.first([](const FixtureRule&) { return true; }));
  EXPECT_FALSE(fs::exists(t.db()));
}

TEST(FamilyWithoutDatabase, FileThatIsNoDatabaseRefusesChangesAndStaysUnchanged) {
  Tree t;
  const std::string junk = "SQLite format 2? no, plain text\n";
  write_file(t.db(), junk);
  ASSERT_EQ(t.init(), 1);
  Fixture f;
  t.errors_of([&] {
    f.load();
    EXPECT_FALSE(f.append(rule("/a")));
  });
  EXPECT_FALSE(f.has_rules());
  EXPECT_EQ(read_file(t.db()), junk);
}

TEST(FamilyWithoutDatabase, NoHandleAnswersFalseAtOnce) {
  policydb::reset_for_tests();
  Fixture f;
  f.load();
  EXPECT_FALSE(f.append(rule("/a")));
  EXPECT_FALSE(f.move(1, true));
  EXPECT_FALSE(f.has_rules());
}

}  // namespace
}  // namespace policydb::test
