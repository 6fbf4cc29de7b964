// The SQLite wrapper against databases made and read by the sqlite3 command-line tool.
#include "vor_sqlite.h"

#include "cu_malloc.h"
#include "vor_sqlite_holder.h"
#include "vor_tempdir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using vor::test::TempDir;

struct ResultFree {
  void operator()(vor_sqlite_result* r) const { vor_sqlite_result_free(r); }
};
using Result = std::unique_ptr<vor_sqlite_result, ResultFree>;

struct DbFree {
  void operator()(vor_sqlite* db) const { vor_sqlite_free(db); }
};
using Db = std::unique_ptr<vor_sqlite, DbFree>;

std::string cli(const std::string& path, const std::string& sql) {
  return vor::test::shell_output("sqlite3 -batch '" + path + "' \"" + sql + "\" 2>&1");
}

class SqliteFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("rules.db");
    ASSERT_EQ(cli(path_,
                  "create table t(wid integer primary key, num int, url text, note text);"
                  "create unique index t_url on t(url);"
                  "insert into t(num, url, note) values(1, 'a', NULL);"
                  "insert into t(num, url, note) values(2, 'b', 'it''s');"
                  "insert into t(num, url, note) values(2, 'c', '');"),
              "");
    db_.reset(vor_sqlite_make());
    ASSERT_TRUE(db_);
    ASSERT_TRUE(vor_sqlite_connect(db_.get(), path_.c_str()));
  }
  Result exec(const std::string& sql) { return Result(vor_sqlite_exec(db_.get(), sql.c_str())); }

  TempDir dir_;
  std::string path_;
  Db db_;
};

struct StatementCase {
  const char* sql;
  bool ok;
  int32_t rows;
};

// Run in order on the same fixture: each line's rows count follows from the ones before it.
const StatementCase kStatements[] = {
    {"select wid, num, url, note from t order by wid", true, 3},
    {"update t set note='x' where wid=99", true, 0},                  // UPDATE of no row
    {"update t set note='y' where num=2", true, 2},                   // UPDATE of two rows
    {"create table u(x int)", true, 0},                               // CREATE after an UPDATE
    {"insert into t(num, url) values(3, 'a')", false, 0},             // broken UNIQUE index
    {"insert into t(num, url) values(3, 'd');", true, 1},             // trailing ';'
    {"delete from t where url='d' ; ; \n", true, 1},                  // blanks and ';' after it
    {"select 1; drop table t", false, 0},                             // a second statement
    {"select * from nowhere", false, 0},
    {"", false, 0},
    {"   ;", false, 0},
    {"BEGIN TRANSACTION rcache_moveup", true, 0},
    {"update t set num=num where wid=1", true, 1},
    {"END TRANSACTION rcache_moveup", true, 0},
    {"select count(*) from t", true, 1},
};

TEST_F(SqliteFixture, StatementsAnswerAsTheTableSays) {
  for (const auto& c : kStatements) {
    SCOPED_TRACE(c.sql);
    Result r = exec(c.sql);
    EXPECT_EQ(r != nullptr, c.ok);
    EXPECT_EQ(vor_sqlite_result_GetNumRows(r.get()), c.rows);
  }
  EXPECT_EQ(cli(path_, "select count(*) from u; select count(*) from t;"), "0\n3\n");
  EXPECT_EQ(cli(path_, "select note from t where num=2 order by wid;"), "y\ny\n");
}

TEST_F(SqliteFixture, CellsReadAsTextNullOrAbsent) {
  Result r = exec("select wid, num, url, note from t order by wid");
  ASSERT_TRUE(r);
  struct Cell {
    int32_t column, row;
    bool exists;
    const char* text;  // nullptr: SQL NULL
  };
  const Cell cells[] = {
      {0, 0, true, "1"}, {2, 1, true, "b"},  {3, 0, true, nullptr}, {3, 1, true, "it's"},
      {3, 2, true, ""},  {4, 0, false, ""},  {0, 3, false, ""},     {-1, 0, false, ""},
      {0, -1, false, ""},
  };
  for (const auto& c : cells) {
    SCOPED_TRACE(testing::Message() << c.column << "," << c.row);
    const char* text = "untouched";
    ASSERT_EQ(vor_sqlite_result_GetValue(r.get(), c.column, c.row, &text), c.exists);
    if (!c.exists) continue;
    if (c.text) {
      ASSERT_NE(text, nullptr);
      EXPECT_STREQ(text, c.text);
    } else {
      EXPECT_EQ(text, nullptr);
    }
  }
  Result none = exec("select url from t where wid > 100");
  ASSERT_TRUE(none);
  EXPECT_EQ(vor_sqlite_result_GetNumRows(none.get()), 0);
  EXPECT_FALSE(vor_sqlite_result_GetValue(none.get(), 0, 0, nullptr));
  Result update = exec("update t set num=5 where wid=1");
  EXPECT_FALSE(vor_sqlite_result_GetValue(update.get(), 0, 0, nullptr));
}

TEST_F(SqliteFixture, ExecExtFormatsTheStatement) {
  Result ins(vor_sqlite_ExecExt(db_.get(), "insert into t(num, url, note) values(%u, '%s', '%d')", 7u, "e", -3));
  ASSERT_TRUE(ins);
  EXPECT_EQ(vor_sqlite_result_GetNumRows(ins.get()), 1);
  EXPECT_EQ(cli(path_, "select num, note from t where url='e';"), "7|-3\n");
}

TEST(SqliteConnect, MissingFileTextFileAndNullFail) {
  TempDir dir;
  Db db(vor_sqlite_make());
  const std::string missing = dir.file("missing.db");
  EXPECT_FALSE(vor_sqlite_connect(db.get(), missing.c_str()));
  EXPECT_FALSE(vor::test::exists(missing));  // never created
  const std::string text = dir.file("notes.txt");
  vor::test::write_file(text, "these are not the pages of a database, just a line of text\n");
  EXPECT_FALSE(vor_sqlite_connect(db.get(), text.c_str()));
  EXPECT_FALSE(vor_sqlite_connect(db.get(), nullptr));
  EXPECT_FALSE(vor_sqlite_connect(nullptr, text.c_str()));
  // Every statement of a handle that never connected fails.
  EXPECT_EQ(vor_sqlite_exec(db.get(), "select 1"), nullptr);
  EXPECT_EQ(vor_sqlite_ExecExt(db.get(), "select %d", 1), nullptr);
  EXPECT_EQ(vor_sqlite_exec(nullptr, "select 1"), nullptr);
  vor_sqlite_result_free(nullptr);
  vor_sqlite_free(nullptr);
}

TEST_F(SqliteFixture, EscapedTextsRoundTrip) {
  const char* texts[] = {"plain", "it's", "''", "'", "a'b'c'", "", "x' or '1'='1", "semi;colon", "\xe5\x85\xb6"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    char* escaped = vor_sqlite_EscapeStr(db_.get(), text);
    ASSERT_NE(escaped, nullptr);
    Result ins(vor_sqlite_ExecExt(db_.get(), "insert into t(num, note) values(9, '%s')", escaped));
    _cu_free(escaped, "test", __LINE__);
    ASSERT_TRUE(ins);
    Result back = exec("select note from t where wid=(select max(wid) from t)");
    const char* read = nullptr;
    ASSERT_TRUE(vor_sqlite_result_GetValue(back.get(), 0, 0, &read));
    EXPECT_STREQ(read, text);
  }
  char* empty = vor_sqlite_EscapeStr(nullptr, nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  _cu_free(empty, "test", __LINE__);
}

TEST_F(SqliteFixture, FailedEndRollsBackSoLaterWritesAreKept) {
  // The sqlite3 tool keeps a read transaction open: its shared lock keeps END from committing.
  vor::test::SqliteHolder reader(path_, "BEGIN; SELECT count(*) FROM t;");
  ASSERT_TRUE(reader.held());
  ASSERT_TRUE(exec("BEGIN TRANSACTION stat_moveup"));
  ASSERT_TRUE(exec("update t set num=20 where wid=1"));
  // The reader's shared lock outlasts the busy time-out: END cannot commit.
  EXPECT_EQ(exec("END TRANSACTION stat_moveup"), nullptr);
  reader.release();
  // The move was rolled back, and the next statement commits on its own.
  ASSERT_TRUE(exec("insert into t(num, url) values(4, 'after')"));
  EXPECT_EQ(cli(path_, "select num from t where wid=1; select count(*) from t where url='after';"), "1\n1\n");
  ASSERT_TRUE(exec("BEGIN TRANSACTION x"));
  EXPECT_TRUE(exec("COMMIT"));
}

}  // namespace
