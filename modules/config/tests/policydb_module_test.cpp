// The module and its database: the shipped schema, every statement the store sends on it, and
// init with a missing, a broken or a present database file.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "policydb_test_env.h"

namespace policydb::test {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Database, SchemaIsTheSchemaFile) {
  Tree t;
  t.make_default_db();
  std::vector<std::string> expected;
  for (const std::string& line : lines_of(read_file(schema_file()))) {
    if (line.rfind("CREATE TABLE ", 0) == 0) expected.push_back(line);
  }
  expected.push_back("CREATE TABLE sqlite_sequence(name,seq);");
  std::vector<std::string> actual = lines_of(t.sql(".schema"));
  std::sort(expected.begin(), expected.end());
  std::sort(actual.begin(), actual.end());
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(expected.size(), 14u);
}

TEST(Database, ShippedRowsAreOnePerSettingAndTheKeeperAccount) {
  Tree t;
  t.make_default_db();
  EXPECT_EQ(t.sql("select count(*), count(distinct name) from wc_system"), "32|32\n");
  EXPECT_EQ(t.sql("select username, password from wc_user"), "keeper|259ec084a98a6b8d16a55223ae680b7e\n");
}

TEST(Database, ConstraintsTheStoreReliesOn) {
  Tree t;
  t.make_default_db();
  // A duplicate proxy host is refused whatever its case; an account name is compared exactly.
  EXPECT_EQ(t.sql("insert into upfetch(host) values('Example.COM'); select count(*) from upfetch"), "1\n");
  EXPECT_NE(t.sql("insert into upfetch(host) values('example.com')").find("UNIQUE"), std::string::npos);
  EXPECT_EQ(t.sql("insert into wc_user(username) values('Keeper'); select count(*) from wc_user"), "2\n");
  // A deleted id is never handed out again.
  t.sql("insert into wc_scache(num, url) values(1, 'a'); delete from wc_scache");
  EXPECT_EQ(t.sql("insert into wc_scache(num, url) values(1, 'b'); select wid from wc_scache"), "2\n");
  EXPECT_NE(t.sql("insert into wc_rewrite(src) values('x')").find("NOT NULL"), std::string::npos);
}

// The statement with sample values in place of its printf conversions.
std::string with_samples(std::string statement) {
  statement = std::regex_replace(statement, std::regex("'%s'"), "'a''b'");
  statement = std::regex_replace(statement, std::regex("%[ud]"), "7");
  return std::regex_replace(statement, std::regex("%s"), "7");
}

TEST(Database, EveryStatementOfTheStoreCompiles) {
  Tree t;
  t.make_default_db();
  std::ifstream in(source_dir() + "/modules/config/tests/data/statements.txt");
  int checked = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    SCOPED_TRACE(line);
    EXPECT_EQ(t.sql("EXPLAIN " + with_samples(line)).find("Error"), std::string::npos) << t.sql("EXPLAIN " + with_samples(line));
    ++checked;
  }
  EXPECT_GT(checked, 100);
}

TEST(Module, DescriptorNamesTheModule) {
  EXPECT_EQ(config.version, 371u);
  EXPECT_STREQ(config.name, "config");
  EXPECT_EQ(config.init, policydb_module_init);
  EXPECT_EQ(config.exit, policydb_module_exit);
  EXPECT_EQ(config.on_accept, nullptr);
  EXPECT_EQ(config.on_close, nullptr);
  EXPECT_EQ(config.on_read, nullptr);
}

// The read error of every family, in load order, when no table can be read.
const std::string kReadErrors =
    "[zazudaza -> config] read 'wc_system' table error!\r\n"
    "[zazudaza -> config] read 'wc_scache' table error!\r\n"
    "[zazudaza -> config] read 'wc_icache' table error!\r\n"
    "[zazudaza -> config] read 'wc_fcache' table error!\r\n"
    "[zazudaza -> config] read 'wc_rcache' table error!\r\n"
    "[zazudaza -> config] read 'wc_black' table error!\r\n"
    "[zazudaza -> config] read 'wc_white' table error!\r\n"
    "[zazudaza -> config] read 'wc_rewrite' table error!\r\n"
    "[zazudaza -> config] read 'wc_protect' table error!\r\n"
    "[zazudaza -> config] read 'wc_permit' table error!\r\n"
    "[zazudaza -> config] read 'upfetch' table error!\r\n"
    "[zazudaza -> config] read 'wc_diskno' table error!\r\n";

TEST(Module, MissingFileLoadsNothingKeepsSettingsInMemoryAndIsNeverCreated) {
  Tree t;
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(t.out(), "[zazudaza -> config] module init!\r\n");
  EXPECT_EQ(t.err(),
            "[zazudaza -> config] zazudaza dbfile(zazudaza.db) isn't exist!\r\n" + kReadErrors);
  EXPECT_NE(t.log().find("error: [zazudaza -> config] zazudaza dbfile(zazudaza.db) isn't exist!\r\n"), std::string::npos);
  EXPECT_NE(wc_sqlite_GetHandle(), nullptr);
  EXPECT_EQ(t.errors_of([] { EXPECT_EQ(policydb_system_set_MaxConnections(77), 1); }),
            "[zazudaza -> config] update 'wc_system' table for 'MaxConnections' error!\r\n");
  EXPECT_EQ(policydb_system_get_MaxConnections(), 77u);
  EXPECT_FALSE(fs::exists(t.db()));
}

TEST(Module, DatabaseNameComesFromTheDaemonConfiguration) {
  Tree t;
  t.make_default_db("other.db");
  t.sql("update wc_system set value='66' where name='MaxConnections'", "other.db");
  ASSERT_EQ(t.init("[system]\n", "[system]\nzazudaza_dbfile=other.db\n"), 1);
  EXPECT_EQ(t.err(), "");
  EXPECT_EQ(policydb_system_get_MaxConnections(), 66u);
}

TEST(Module, FileThatIsNoDatabaseIsReportedAndLeftAlone) {
  Tree t;
  const std::string junk = "not a database, just text\n";
  write_file(t.db(), junk);
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(t.err(),
            "[zazudaza -> config] cann't open config file dbfile(zazudaza.db)!\r\n" + kReadErrors);
  EXPECT_NE(t.log().find("error: [zazudaza -> config] cann't open zazudaza dbfile(zazudaza.db)!\r\n"), std::string::npos);
  EXPECT_EQ(policydb_system_set_IsDiskCache(1), 1);
  EXPECT_EQ(policydb_system_get_IsDiskCache(), 1);
  EXPECT_EQ(read_file(t.db()), junk);
}

TEST(Module, SetupLogOnlyWithDisplayConsoleButErrorLinesAlways) {
  for (const char* display : {"1", "0", "2", ""}) {
    SCOPED_TRACE(display);
    Tree t;
    t.make_default_db();
    t.sql("update wc_system set value='-1' where name='MaxCacheBlockSize'");
    ASSERT_EQ(t.init(std::string("[system]\ndisplay_console=") + display + "\n"), 1);
    EXPECT_EQ(t.err(), "[zazudaza -> config] 'wc_system'->'MaxCacheBlockSize=-1' error!\r\n");
    const bool on = std::string(display) == "1";
    EXPECT_EQ(fs::exists(t.path("logs/zazudaza.db.log")), on);
    if (on) {
      // The notice, each family's empty table, and the closing blank line.
      const std::string log = read_file(t.path("logs/zazudaza.db.log"));
      EXPECT_EQ(log.rfind("setup:\r\n\r\nConfig -> SessionCacheList:\r\n", 0), 0u) << log;
      EXPECT_EQ(log.substr(log.size() - 4), "\r\n\r\n");
    }
  }
}

TEST(Module, DisplayConsoleMissingMeansOn) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init("[system]\n"), 1);
  EXPECT_TRUE(fs::exists(t.path("logs/zazudaza.db.log")));
}

TEST(Module, LockAnswersFalseWithoutAHandle) {
  policydb::reset_for_tests();
  EXPECT_EQ(wc_sqlite_GetHandle(), nullptr);
  EXPECT_EQ(wc_sqlite_lock(), 0);
  wc_sqlite_unlock();
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(wc_sqlite_lock(), 1);
  EXPECT_EQ(wc_sqlite_lock(), 1);  // re-entrant
  wc_sqlite_unlock();
  wc_sqlite_unlock();
}

TEST(Module, ExitPrintsItsLine) {
  Tree t;
  Capture out(1, t.path("exit.out"));
  policydb_module_exit(nullptr);
  EXPECT_EQ(out.text(), "[zazudaza -> config] module exit!\r\n");
}


// A start on a fixture database writes the setup log byte for byte as kept in data/ (CR LF line
// ends, GBK balance words). Set POLICYDB_WRITE_GOLDEN=1 to write the file anew.
TEST(SetupLog, FixtureDatabaseGivesTheGoldenLog) {
  Tree t;
  t.make_default_db();
  const std::string data = source_dir() + "/modules/config/tests/data/";
  ASSERT_EQ(run_shell("sqlite3 " + quoted(t.db()) + " < " + quoted(data + "setup_fixture.sql")), 0);
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(t.err(), "");
  const std::string log = read_file(t.path("logs/zazudaza.db.log"));
  if (std::getenv("POLICYDB_WRITE_GOLDEN")) write_file(data + "setup_golden.log", log);
  EXPECT_EQ(log, read_file(data + "setup_golden.log"));
}

}  // namespace
}  // namespace policydb::test
