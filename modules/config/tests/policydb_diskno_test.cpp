// The cache disks through their exports, over a database made by the sqlite3 CLI: the choices,
// full marks and loading rules as one table of scripted steps, the JSON replies as golden texts,
// the marker file's name under a fixed clock and time zone, and writes that fail while another
// sqlite3 process holds the database.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "cu_util.h"
#include "policydb.h"
#include "policydb_diskno.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

// Rows of wc_diskno: (num, path, quota, used, full, ssd, note).
constexpr char kThreeDisks[] =
    "(1, '/disks/d1', 0, 1, 0, 1, ''), (2, '/disks/d2', 0, 1, 0, 0, ''), (3, '/disks/d3', 0, 1, 0, 0, '')";

class DiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t.make_default_db();
    ASSERT_EQ(t.init(), 1);  // creates wc_diskno
  }
  // The rows put in by the CLI, then the module loaded again from the file.
  void load_rows(const std::string& values) {
    if (!values.empty()) {
      ASSERT_EQ(t.sql("insert into wc_diskno(num, path, quota, used, full, ssd, note) values" + values), "");
    }
    ASSERT_EQ(t.reload(), 1);
  }
  std::string table() const { return t.sql("select num, path, quota, used, full, ssd, note from wc_diskno order by num"); }

  Tree t;
};

std::string text_of(wtb* w) {
  std::string s = w ? wtb_GetTextString(w) : "(null)";
  wtb_free(w);
  return s;
}

std::string path_of(int32_t num) {
  char buffer[64] = "untouched";
  if (!policydb_diskno_GetPath(num, buffer, sizeof buffer)) return "-";
  return buffer;
}

// --- the edge cases as scripted steps -------------------------------------------------------

enum class Op { Hdd, Ssd, Any, Full, Unfull, Unuse, Path, Append, SsdFlag, Used, Rows, Info };
struct Step {
  Op op;
  int32_t num;
  int32_t expect;            // chosen num (-1: none), a byte answer, a count
  const char* text = nullptr;  // Path: the folder; Info: the row the reply holds
};
struct EdgeCase {
  const char* name;
  const char* rows;  // loaded before the steps
  std::vector<Step> steps;
};

const EdgeCase kEdgeCases[] = {
    {"HDD choices alternate over 2 and 3, SSD choices stay on 1", kThreeDisks,
     {{Op::Hdd, 0, 2}, {Op::Hdd, 0, 3}, {Op::Hdd, 0, 2}, {Op::Hdd, 0, 3},
      {Op::Ssd, 0, 1}, {Op::Ssd, 0, 1}, {Op::Ssd, 0, 1},
      {Op::Any, 0, 1}, {Op::Any, 0, 2}, {Op::Any, 0, 3}, {Op::Any, 0, 1}}},
    {"a full disk is skipped until its mark is cleared", kThreeDisks,
     {{Op::Full, 2, 1}, {Op::Hdd, 0, 3}, {Op::Hdd, 0, 3}, {Op::Hdd, 0, 3},
      {Op::Unfull, 2, 1}, {Op::Hdd, 0, 2}, {Op::Hdd, 0, 3}, {Op::Hdd, 0, 2}}},
    {"every disk full: each choice fails after one pass", kThreeDisks,
     {{Op::Full, 1, 1}, {Op::Full, 2, 1}, {Op::Full, 3, 1},
      {Op::Hdd, 0, -1}, {Op::Ssd, 0, -1}, {Op::Any, 0, -1}, {Op::Any, 0, -1},
      {Op::Unfull, 3, 1}, {Op::Any, 0, 3}, {Op::Hdd, 0, 3}, {Op::Ssd, 0, -1}}},
    {"a row whose num is -4 loads as disk 4 and is changed as disk 4", "(-4, '/disks/d4', 0, 1, 0, 0, '')",
     {{Op::Path, 4, 1, "/disks/d4"}, {Op::Any, 0, 4}, {Op::Unuse, 4, 1}, {Op::Path, 4, 0}, {Op::Rows, 0, 1}}},
    {"rows -4 and 4: the row stored as 4 is disk 4", "(-4, '/disks/minus4', 0, 1, 0, 0, ''), (4, '/disks/d4', 0, 1, 0, 0, '')",
     {{Op::Path, 4, 1, "/disks/d4"}, {Op::Used, 0, 1}, {Op::Any, 0, 4}, {Op::Any, 0, 4}}},
    {"negative rows still list in ascending number", "(-5, '/disks/d5', 0, 1, 0, 0, ''), (1, '/disks/d1', 0, 1, 0, 0, '')",
     {{Op::Any, 0, 1}, {Op::Any, 0, 5}, {Op::Any, 0, 1}}},
    {"a number whose absolute value does not fit names no disk", "(-2147483648, '/disks/dx', 0, 1, 0, 0, '')",
     {{Op::Used, 0, 0}, {Op::Any, 0, -1}}},
    {"changing disk 2 to not used clears its full mark", kThreeDisks,
     {{Op::Full, 2, 1}, {Op::Unuse, 2, 1}, {Op::Path, 2, 0}, {Op::Any, 0, 1}, {Op::Any, 0, 3}, {Op::Any, 0, 1},
      {Op::Info, 2, 1, "{\"DiskNo\":\"2\",\"Path\":\"\\/disks\\/old\",\"Enable\":\"0\",\"Status\":\"0\""}}},
    {"a full disk changed but still used stays full", kThreeDisks,
     {{Op::Full, 2, 1}, {Op::Append, 2, 1},
      {Op::Info, 2, 1, "{\"DiskNo\":\"2\",\"Path\":\"\\/disks\\/new2\",\"Enable\":\"1\",\"Status\":\"3\""},
      {Op::Hdd, 0, 3}, {Op::Hdd, 0, 3}}},
    {"an unused disk takes no full mark", "(7, '/disks/d7', 0, 0, 1, 0, '')",
     {{Op::Full, 7, 1}, {Op::Info, 7, 1, "\"Enable\":\"0\",\"Status\":\"0\""}, {Op::Full, 8, 0}, {Op::Unfull, 8, 0}}},
    {"the info reply for an unknown disk 9", kThreeDisks,
     {{Op::Info, 9, 1, "{\"DiskNo\":\"9\",\"Path\":\"\",\"Enable\":\"0\",\"Status\":\"0\",\"IsSSD\":\"0\",\"Note\":\"\"}"},
      {Op::Path, 9, 0}, {Op::SsdFlag, 9, 0}}},
    {"num -1 is refused without touching the database", kThreeDisks,
     {{Op::Append, -1, 0}, {Op::Rows, 0, 3}, {Op::Full, -1, 0}, {Op::Path, -1, 0}, {Op::SsdFlag, -1, 0},
      {Op::Unuse, -1, 0}}},
    {"a disk with an empty path is not used", "(5, '', 0, 1, 0, 0, '')",
     {{Op::Used, 0, 0}, {Op::Any, 0, -1}, {Op::Path, 5, 0},
      {Op::Info, 5, 1, "{\"DiskNo\":\"5\",\"Path\":\"\",\"Enable\":\"0\",\"Status\":\"0\""}}},
    {"no disk marked SSD: the SSD choice fails at once", "(1, '/disks/d1', 0, 1, 0, 0, '')",
     {{Op::Ssd, 0, -1}, {Op::Hdd, 0, 1}, {Op::SsdFlag, 1, 0}}},
    {"full column of a row is ignored", "(1, '/disks/d1', 0, 1, 1, 7, 'n')",
     {{Op::Any, 0, 1}, {Op::SsdFlag, 1, 1}, {Op::Ssd, 0, 1}}},
};

int32_t chosen(uint8_t (*choose)(int32_t*, char*, int32_t)) {
  int32_t num = -7;
  char path[64] = "";
  if (!choose(&num, path, sizeof path)) return -1;
  EXPECT_EQ(path, path_of(num)) << "the chosen path is the disk's";
  return num;
}

int32_t run(const Step& s, Tree& t) {
  switch (s.op) {
    case Op::Hdd: return chosen(policydb_diskno_GetAvailablePath_ByHDD);
    case Op::Ssd: return chosen(policydb_diskno_GetAvailablePath_BySSD);
    case Op::Any: return chosen(policydb_diskno_GetAvailablePath);
    case Op::Full: return policydb_diskno_SetFull(s.num);
    case Op::Unfull: return policydb_diskno_SetUnfull(s.num);
    case Op::Unuse: return policydb_diskno_modify_x(s.num, "/disks/old", 0, 0, 0, nullptr);
    case Op::Append: return policydb_diskno_append_x(s.num, "/disks/new2", 0, 1, 0, nullptr);
    case Op::Path: {
      const std::string path = path_of(s.num);
      if (s.text) {
        EXPECT_EQ(path, s.expect ? s.text : "-");
      }
      return path != "-";
    }
    case Op::SsdFlag: return policydb_diskno_IsSSD(s.num);
    case Op::Used: return policydb_diskno_GetNumUsed();
    case Op::Rows: return std::atoi(t.sql("select count(*) from wc_diskno").c_str());
    case Op::Info: return text_of(policydb_diskno_GetDiskNoInfoByJson(s.num, nullptr)).find(s.text) != std::string::npos;
  }
  return -99;
}

TEST_F(DiskTest, EdgeCases) {
  for (const EdgeCase& c : kEdgeCases) {
    SCOPED_TRACE(c.name);
    t.sql("delete from wc_diskno");
    load_rows(c.rows);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      EXPECT_EQ(run(c.steps[i], t), c.steps[i].expect);
    }
  }
}

TEST_F(DiskTest, RowsLoadInNumberOrderIntoTheSetupLog) {
  load_rows("(3, '/disks/d3', 0, 1, 0, 0, ''), (1, 'D:\\cache\\one', 0, 1, 0, 1, '')");
  const std::string log = read_file(t.path("logs/zazudaza.db.log"));
  EXPECT_NE(log.find("\r\nConfig -> DisknoList:\r\n"
                     "+--+---------------------------------------------+\r\n"
                     "|NO|Path                                         |\r\n"
                     "+--+---------------------------------------------+\r\n"
                     "|1 |D:\\cache\\one                                 |\r\n"
                     "+--+---------------------------------------------+\r\n"
                     "|2 |/disks/d3                                    |\r\n"
                     "+--+---------------------------------------------+\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(policydb_diskno_GetNumUsed(), 2);
}

TEST_F(DiskTest, AnOlderTableGetsTheSsdColumn) {
  t.sql("drop table wc_diskno");
  // An older table, without the ssd column and without the NOT NULL rules: NULL cells read as
  // empty texts and zeros.
  t.sql("create table wc_diskno(num int, path text, quota int, used int, full int, note text)");
  t.sql("insert into wc_diskno(num, path, used) values(2, '/disks/d2', 1)");
  t.sql("insert into wc_diskno(num) values(6)");
  ASSERT_EQ(t.reload(), 1);
  EXPECT_EQ(t.sql("select num, ssd from wc_diskno order by num"), "2|0\n6|0\n");
  EXPECT_NE(text_of(policydb_diskno_GetDiskNoInfoByJson(6, nullptr))
                .find("{\"DiskNo\":\"6\",\"Path\":\"\",\"Enable\":\"0\",\"Status\":\"0\",\"IsSSD\":\"0\",\"Note\":\"\"}"),
            std::string::npos);
  EXPECT_EQ(path_of(2), "/disks/d2");
  EXPECT_TRUE(policydb_diskno_modify_BySSD(2, 1));
  EXPECT_EQ(t.sql("select num, ssd from wc_diskno where num=2"), "2|1\n");
}

// --- changes --------------------------------------------------------------------------------

TEST_F(DiskTest, ChangesWriteTheRowAndSurviveAReload) {
  ASSERT_TRUE(policydb_diskno_append_x(3, "/disks/a'b", 5000000000LL, 7, 9, "it's"));
  ASSERT_TRUE(policydb_diskno_append(1, "/disks/d1", -3, 1, nullptr));
  EXPECT_EQ(table(), "1|/disks/d1|-3|1|0|0|\n3|/disks/a'b|5000000000|1|0|1|it's\n");
  ASSERT_TRUE(policydb_diskno_modify(3, "/disks/d3", 12, 0, "n"));
  EXPECT_EQ(table(), "1|/disks/d1|-3|1|0|0|\n3|/disks/d3|12|0|0|0|n\n");
  // An empty path is stored as not used.
  ASSERT_TRUE(policydb_diskno_modify_x(1, "", 0, 1, 1, ""));
  EXPECT_EQ(table(), "1||0|0|0|1|\n3|/disks/d3|12|0|0|0|n\n");
  EXPECT_EQ(policydb_diskno_GetNumUsed(), 0);
  EXPECT_FALSE(policydb_diskno_append_x(4, nullptr, 0, 1, 0, ""));
  const std::string before = text_of(policydb_diskno_GetListAllByJson("r"));
  ASSERT_EQ(t.reload(), 1);
  EXPECT_EQ(text_of(policydb_diskno_GetListAllByJson("r")), before);
}

TEST_F(DiskTest, SsdFlagChangesOnlyWhenItDiffers) {
  load_rows(kThreeDisks);
  EXPECT_FALSE(policydb_diskno_modify_BySSD(1, 1));
  EXPECT_FALSE(policydb_diskno_modify_BySSD(8, 1));
  EXPECT_TRUE(policydb_diskno_modify_BySSD(2, 5));
  EXPECT_TRUE(policydb_diskno_IsSSD(2));
  EXPECT_EQ(t.sql("select ssd from wc_diskno where num=2"), "1\n");
  int32_t num = -1;
  EXPECT_TRUE(policydb_diskno_GetAvailablePath_ByHDD(&num, nullptr, 0));
  EXPECT_EQ(num, 3);
  EXPECT_TRUE(policydb_diskno_GetAvailablePath_BySSD(&num, nullptr, 0));
  EXPECT_EQ(num, 1);
  EXPECT_TRUE(policydb_diskno_GetAvailablePath_BySSD(&num, nullptr, 0));
  EXPECT_EQ(num, 2);
}

TEST_F(DiskTest, PathsAreCutToTheBuffer) {
  load_rows(kThreeDisks);
  char buffer[6] = "xxxxx";
  EXPECT_TRUE(policydb_diskno_GetPath(2, buffer, 6));
  EXPECT_STREQ(buffer, "/disk");
  EXPECT_TRUE(policydb_diskno_GetPath(2, buffer, 1));
  EXPECT_STREQ(buffer, "");
  EXPECT_FALSE(policydb_diskno_GetPath(2, buffer, 0));
  EXPECT_FALSE(policydb_diskno_GetPath(2, nullptr, 6));
  int32_t num = -1;
  EXPECT_FALSE(policydb_diskno_GetAvailablePath(&num, buffer, 0));
  EXPECT_TRUE(policydb_diskno_GetAvailablePath(nullptr, buffer, 4));
  EXPECT_STREQ(buffer, "/di");
}

// Another sqlite3 process holds the database: every write fails, is reported, and memory stays.
TEST_F(DiskTest, AFailedWriteLeavesMemoryUnchanged) {
  load_rows(kThreeDisks);
  ASSERT_TRUE(policydb_diskno_SetFull(2));
  const std::string before = text_of(policydb_diskno_GetListAllByJson(nullptr));
  Holder holder(t.db(), "BEGIN EXCLUSIVE;");
  ASSERT_TRUE(holder.held());
  EXPECT_EQ(t.errors_of([] { EXPECT_FALSE(policydb_diskno_modify_x(2, "/disks/other", 1, 0, 1, "n")); }),
            "[zazudaza -> config] update 'wc_diskno' table error(num=2)!\r\n");
  EXPECT_EQ(t.errors_of([] { EXPECT_FALSE(policydb_diskno_modify_BySSD(3, 1)); }),
            "[zazudaza -> config] update 'wc_diskno' table error(num=3)!\r\n");
  EXPECT_EQ(t.errors_of([] { EXPECT_FALSE(policydb_diskno_append_x(8, "/disks/d8", 0, 1, 0, "")); }),
            "[zazudaza -> config] insert 'wc_diskno' table error(num=8)!\r\n");
  EXPECT_EQ(text_of(policydb_diskno_GetListAllByJson(nullptr)), before);
  EXPECT_FALSE(policydb_diskno_IsSSD(3));
  EXPECT_EQ(path_of(2), "/disks/d2");
  EXPECT_EQ(policydb_diskno_GetNumUsed(), 3);
}

TEST(DiskWithoutDatabase, EverythingAnswersFalse) {
  Tree t;  // no database file: the handle exists, every statement fails
  ASSERT_EQ(t.init(), 1);
  EXPECT_FALSE(policydb_diskno_append_x(1, "/disks/d1", 0, 1, 0, ""));
  EXPECT_EQ(policydb_diskno_GetNumUsed(), 0);
  EXPECT_FALSE(policydb_diskno_GetAvailablePath(nullptr, nullptr, 0));
  EXPECT_FALSE(policydb_diskno_SetFull(1));
  EXPECT_EQ(text_of(policydb_diskno_GetListAllByJson(nullptr)), "{\r\n  \"Return\":\"True\",\r\n  \"NumOfLists\":\"0\"\r\n}");
}

// --- JSON replies ---------------------------------------------------------------------------

TEST_F(DiskTest, ListRepliesAsGoldenTexts) {
  EXPECT_EQ(text_of(policydb_diskno_GetListAllByJson("req-0")),
            "{\r\n"
            "  \"Return\":\"True\",\r\n"
            "  \"RequestID\":\"req-0\",\r\n"
            "  \"NumOfLists\":\"0\"\r\n"
            "}");
  ASSERT_TRUE(policydb_diskno_append_x(5, "D:\\cache\\\"five\"", 0, 1, 1, "first \"disk\""));
  const std::string one =
      "{\r\n"
      "  \"Return\":\"True\",\r\n"
      "  \"NumOfLists\":\"1\",\r\n"
      "  \"Lists\":\r\n"
      "   [\r\n"
      "     {\"DiskNo\":\"5\",\"Path\":\"D:\\\\cache\\\\\\\"five\\\"\",\"Enable\":\"1\",\"Status\":\"1\",\"IsSSD\":\"1\","
      "\"Note\":\"first \\\"disk\\\"\"}\r\n"
      "   ]\r\n"
      "}";
  EXPECT_EQ(text_of(policydb_diskno_GetListAllByJson(nullptr)), one);
  EXPECT_EQ(text_of(policydb_diskno_GetDiskNoInfoByJson(5, nullptr)), one);
  ASSERT_TRUE(policydb_diskno_append_x(2, "/srv/cache/2", 0, 0, 0, nullptr));
  ASSERT_TRUE(policydb_diskno_append_x(9, "E:\\c9\\", 0, 1, 0, "\\"));
  ASSERT_TRUE(policydb_diskno_SetFull(9));
  EXPECT_EQ(text_of(policydb_diskno_GetListAllByJson("r\"3")),
            "{\r\n"
            "  \"Return\":\"True\",\r\n"
            "  \"RequestID\":\"r\\\"3\",\r\n"
            "  \"NumOfLists\":\"3\",\r\n"
            "  \"Lists\":\r\n"
            "   [\r\n"
            "     {\"DiskNo\":\"2\",\"Path\":\"\\/srv\\/cache\\/2\",\"Enable\":\"0\",\"Status\":\"0\",\"IsSSD\":\"0\","
            "\"Note\":\"\"},\r\n"
            "     {\"DiskNo\":\"5\",\"Path\":\"D:\\\\cache\\\\\\\"five\\\"\",\"Enable\":\"1\",\"Status\":\"1\","
            "\"IsSSD\":\"1\",\"Note\":\"first \\\"disk\\\"\"},\r\n"
            "     {\"DiskNo\":\"9\",\"Path\":\"E:\\\\c9\\\\\",\"Enable\":\"1\",\"Status\":\"3\",\"IsSSD\":\"0\","
            "\"Note\":\"\\\\\"}\r\n"
            "   ]\r\n"
            "}");
  EXPECT_EQ(text_of(policydb_diskno_GetDiskNoInfoByJson(-1, "x")), "(null)");
  // The stored texts are the ones entered, quotes and backslashes included.
  EXPECT_EQ(t.sql("select path, note from wc_diskno where num=5"), "D:\\cache\\\"five\"|first \"disk\"\n");
}

// --- the marker file ------------------------------------------------------------------------

int64_t fixed_clock() { return 1559005500; }  // 2019-05-28 01:05:00 UTC

class MarkerTest : public DiskTest {
 protected:
  void SetUp() override {
    DiskTest::SetUp();
    const char* tz = std::getenv("TZ");
    saved_tz_ = tz ? tz : "";
    had_tz_ = tz != nullptr;
    setenv("TZ", "CST-8", 1);  // eight hours east of UTC, no daylight saving
    tzset();
    diskno::clock = fixed_clock;
  }
  void TearDown() override {
    diskno::clock = cu_time;
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::vector<std::string> files(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string saved_tz_;
  bool had_tz_ = false;
};

TEST_F(MarkerTest, NamesTheLocalTimeTheNumberAndTheUse) {
  const std::string folder = t.path("disk2");
  fs::create_directories(folder);
  ASSERT_TRUE(policydb_diskno_append_x(2, folder.c_str(), 0, 1, 0, ""));
  EXPECT_EQ(files(folder), std::vector<std::string>{"[2019-05-28-09-05-00].[2#].[used]"});
  EXPECT_EQ(fs::file_size(folder + "/[2019-05-28-09-05-00].[2#].[used]"), 0u);
  // Backslashes become slashes and a trailing separator is not doubled.
  std::string windows = folder + "/";
  std::replace(windows.begin(), windows.end(), '/', '\\');
  ASSERT_TRUE(policydb_diskno_modify_x(2, windows.c_str(), 0, 0, 0, ""));
  EXPECT_EQ(files(folder),
            (std::vector<std::string>{"[2019-05-28-09-05-00].[2#].[unused]", "[2019-05-28-09-05-00].[2#].[used]"}));
  EXPECT_EQ(path_of(2), "-");
  EXPECT_EQ(t.sql("select path from wc_diskno where num=2"), windows + "\n");
}

TEST_F(MarkerTest, AMissingFolderOrAFailedWriteMakesNoMarker) {
  EXPECT_TRUE(policydb_diskno_append_x(3, t.path("absent").c_str(), 0, 1, 0, ""));
  EXPECT_FALSE(fs::exists(t.path("absent")));
  const std::string folder = t.path("disk4");
  fs::create_directories(folder);
  {
    Holder holder(t.db(), "BEGIN EXCLUSIVE;");
    ASSERT_TRUE(holder.held());
    t.errors_of([&] { EXPECT_FALSE(policydb_diskno_append_x(4, folder.c_str(), 0, 1, 0, "")); });
  }
  EXPECT_TRUE(files(folder).empty());
}

}  // namespace
}  // namespace policydb::test
