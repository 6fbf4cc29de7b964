// The URL rewrite rules through their exports: scans over tables of rule sets (stop, redirect,
// start again once, go on), loader rows, refused changes, moves that change the answer, and the
// same order, ids and answers after a fresh load.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "policydb.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

struct RuleText {
  const char* src;
  const char* dst;
  uint8_t icase;
  uint8_t flag;
};

struct ScanCase {
  const char* name;
  std::vector<RuleText> rules;
  const char* url;
  bool hit;
  const char* out;  // when hit
  uint8_t flag;     // when hit; 9: the out byte untouched
};

const ScanCase kScans[] = {
    {"continue then last", {{"^a.b/x(.*)", "a.b/y$1", 0, 3}, {"^a.b/y(.*)", "a.b/z$1", 0, 0}}, "a.b/x1", true, "a.b/z1", 0},
    {"one continue", {{"^a.b/x(.*)", "a.b/y$1", 0, 3}}, "a.b/x1", true, "a.b/y1", 3},
    {"continue, later rules miss", {{"^a.b/x(.*)", "a.b/y$1", 0, 3}, {"^q", "r", 0, 0}}, "a.b/x1", true, "a.b/y1", 3},
    {"two continues", {{"^a(.*)", "b$1", 0, 3}, {"^b(.*)", "c$1", 0, 3}}, "a.x", true, "c.x", 3},
    {"round once", {{"^a.b/old(.*)", "a.b/new$1", 0, 2}}, "a.b/old1", true, "a.b/new1", 2},
    {"round then last", {{"^a.b/new(.*)", "a.b/final$1", 0, 0}, {"^a.b/old(.*)", "a.b/new$1", 0, 2}}, "a.b/old1",
     true, "a.b/final1", 0},
    {"round matching its own output", {{"a.b/(.*)", "a.b/$1", 0, 2}}, "a.b/x", false, "", 9},
    {"redirect stops", {{"^a.b/(.*)", "c.d/$1", 0, 1}, {"^a", "never", 0, 0}}, "a.b/p", true, "c.d/p", 1},
    {"first rule decides", {{"^a", "first", 0, 0}, {"^a", "second", 0, 0}}, "a.b", true, "first", 0},
    {"no rule matches", {{"^x", "y", 0, 0}}, "a.b/p", false, "", 9},
    {"case", {{"^A.B/(.*)", "c/$1", 0, 0}, {"^A.B/(.*)", "i/$1", 1, 0}}, "a.b/p", true, "i/p", 0},
    {"own host", {{"^%{HTTP_HOST}/img/(.*)", "%{HTTP_HOST}/pic/$1", 0, 0}}, "a.b/img/x.jpg", true, "a.b/pic/x.jpg", 0},
    {"own host elsewhere", {{"^%{HTTP_HOST}/img/(.*)", "x", 0, 0}}, "a.b/c.d/img/x", false, "", 9},
};

TEST(Rewrite, ScansOverRuleSets) {
  for (const ScanCase& c : kScans) {
    SCOPED_TRACE(c.name);
    Tree t;
    t.make_default_db();
    ASSERT_EQ(t.init(), 1);
    for (const RuleText& r : c.rules) ASSERT_TRUE(policydb_rewrite_append(r.src, r.dst, r.icase, r.flag, "", nullptr));
    char out[4097] = "";
    uint8_t flag = 9;
    EXPECT_EQ(policydb_rewrite_IsHit(c.url, out, 4096, &flag) != 0, c.hit);
    if (c.hit) {
      EXPECT_STREQ(out, c.out);
    }
    EXPECT_EQ(flag, c.flag);
  }
}

TEST(Rewrite, OutputIsCutAtTheCallersLength) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init(), 1);
  ASSERT_TRUE(policydb_rewrite_append("^a(.*)", "b$1", 0, 3, "", nullptr));
  char out[7] = "######";
  EXPECT_TRUE(policydb_rewrite_IsHit("a123456789", out, 5, nullptr));
  EXPECT_LE(strlen(out), 5u);
  EXPECT_EQ(out[0], 'b');
  EXPECT_EQ(out[6], '\0');
}

TEST(Rewrite, LoadingChecksFlagTextsAndExpressions) {
  Tree t;
  t.make_default_db();
  t.sql("drop table wc_rewrite; create table wc_rewrite(wid integer primary key autoincrement, num int, src text, "
        "dst text, icase int, flag int, note text)");
  t.sql("insert into wc_rewrite(wid, num, src, dst, icase, flag) values"
        "(1, 7, '^a(.*)', 'b$1', 0, 0), (2, 1, '^c', 'd', 0, 4), (3, 2, '^e', 'f', 0, NULL),"
        "(4, 3, NULL, 'h', 0, 0), (5, 4, '^i', NULL, 0, 0), (6, 5, '^j', 'k', NULL, 0), (7, 6, '(', 'm', 0, 0)");
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(t.err(),
            "[zazudaza -> config] 'wc_rewrite'->'flag=4' error(wid=2)!\r\n"
            "[zazudaza -> config] 'wc_rewrite'->'flag=NULL' error(wid=3)!\r\n"
            "[zazudaza -> config] 'wc_rewrite'->'src=NULL' error(wid=4)!\r\n"
            "[zazudaza -> config] 'wc_rewrite'->'icase=NULL' error(wid=6)!\r\n"
            "[zazudaza -> config] 'wc_rewrite'->'src=(' regex error(wid=7)!\r\n");
  char out[4097];
  uint8_t flag = 9;
  EXPECT_TRUE(policydb_rewrite_IsHit("i.x", out, 4096, &flag));  // a NULL dst is the empty text
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(policydb_rewrite_IsHit("a.x", out, 4096, &flag));
  EXPECT_STREQ(out, "b.x");
  EXPECT_TRUE(policydb_rewrite_IsExist());
  const std::string log = read_file(t.path("logs/zazudaza.db.log"));
  EXPECT_NE(log.find("\r\nConfig -> RewriteList:\r\n"
                     "+--+----------------------------------+--------------------------------+-----+\r\n"
                     "|NO|Src                               |Dst                             |Flag |\r\n"
                     "+--+----------------------------------+--------------------------------+-----+\r\n"
                     "|1 |^i                                |                                |Last |\r\n"),
            std::string::npos)
      << log;
}

TEST(Rewrite, RefusedChangesWriteNothing) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init(), 1);
  EXPECT_FALSE(policydb_rewrite_IsExist());
  EXPECT_FALSE(policydb_rewrite_append(nullptr, "x", 0, 0, "", nullptr));
  EXPECT_FALSE(policydb_rewrite_append("^x", nullptr, 0, 0, "", nullptr));
  EXPECT_FALSE(policydb_rewrite_append("^x", "y", 0, 4, "", nullptr));
  EXPECT_EQ(t.errors_of([] { EXPECT_FALSE(policydb_rewrite_append("(", "y", 0, 0, "", nullptr)); }),
            "[zazudaza -> config] 'wc_rewrite'->'src=(' add regex error!\r\n");
  uint32_t wid = 0;
  ASSERT_TRUE(policydb_rewrite_append("^x", "y", 0, 0, "", &wid));
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(policydb_rewrite_modify(wid, "[", "y", 0, 0, "")); }),
            "[zazudaza -> config] modify 'wc_rewrite' error(src=[)!\r\n");
  EXPECT_FALSE(policydb_rewrite_modify(wid + 1, "^z", "y", 0, 0, ""));
  EXPECT_EQ(t.sql("select wid, num, src, dst, icase, flag, note from wc_rewrite"), "1|1|^x|y|0|0|\n");
  EXPECT_TRUE(policydb_rewrite_modify(wid, "^z(.*)", "w$1", 1, 1, "it's"));
  EXPECT_EQ(t.sql("select wid, num, src, dst, icase, flag, note from wc_rewrite"), "1|1|^z(.*)|w$1|1|1|it's\n");
  char out[4097];
  uint8_t flag = 9;
  EXPECT_TRUE(policydb_rewrite_IsHit("Z9", out, 4096, &flag));
  EXPECT_STREQ(out, "w9");
  EXPECT_EQ(flag, 1);
  EXPECT_TRUE(policydb_rewrite_delete(wid));
  EXPECT_TRUE(policydb_rewrite_delete(wid));
  EXPECT_FALSE(policydb_rewrite_IsHit("Z9", out, 4096, &flag));
}

std::string answer(const char* url) {
  char out[4097] = "";
  uint8_t flag = 9;
  if (!policydb_rewrite_IsHit(url, out, 4096, &flag)) return "-";
  return std::string(out) + "/" + std::to_string(flag);
}

TEST(Rewrite, MovesChangeTheDecidingRuleAndAReloadKeepsOrderIdsAndAnswers) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init(), 1);
  uint32_t a = 0, b = 0, c = 0;
  ASSERT_TRUE(policydb_rewrite_append("^p", "first", 0, 0, "", &a));
  ASSERT_TRUE(policydb_rewrite_append("^p", "second", 0, 1, "", &b));
  ASSERT_TRUE(policydb_rewrite_append("^q(.*)", "p$1", 0, 2, "", &c));
  EXPECT_EQ(answer("p1"), "first/0");
  EXPECT_TRUE(policydb_rewrite_moveup(b));
  EXPECT_EQ(answer("p1"), "second/1");
  EXPECT_EQ(answer("q1"), "second/1");
  EXPECT_TRUE(policydb_rewrite_moveup(b));  // already first
  EXPECT_TRUE(policydb_rewrite_movedown(c));
  EXPECT_TRUE(policydb_rewrite_moveup(c));
  EXPECT_TRUE(policydb_rewrite_movedown(99));
  const std::string rows = t.sql("select wid, num, src from wc_rewrite order by num");
  EXPECT_EQ(rows, "2|1|^p\n3|2|^q(.*)\n1|3|^p\n");
  ASSERT_EQ(t.reload(), 1);
  EXPECT_EQ(t.err(), "");
  EXPECT_EQ(t.sql("select wid, num, src from wc_rewrite order by num"), rows);
  EXPECT_EQ(answer("p1"), "second/1");
  EXPECT_EQ(answer("q1"), "second/1");
  EXPECT_TRUE(policydb_rewrite_movedown(b));
  EXPECT_TRUE(policydb_rewrite_movedown(b));
  EXPECT_EQ(answer("p1"), "first/0");
  uint32_t d = 0;
  ASSERT_TRUE(policydb_rewrite_append("^z", "y", 0, 0, "", &d));
  EXPECT_EQ(d, 4u);
  EXPECT_EQ(t.sql("select num from wc_rewrite where wid=4"), "4\n");
}

}  // namespace
}  // namespace policydb::test
