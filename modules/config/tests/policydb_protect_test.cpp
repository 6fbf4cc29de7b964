// Hotlink protection through its exports: the question as a table of rules, permits, URLs and
// Referers; loader rows; permits that stay with their rule; the permit of another rule refused;
// a rule deleted with its permits; the same answers after a fresh load.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policydb.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

struct ProtectText {
  const char* pturl;
  const char* lcurl;
  uint8_t icase;
  std::vector<const char*> permits;
};

struct AskCase {
  const char* name;
  std::vector<ProtectText> rules;
  const char* url;
  const char* referer;
  bool hit;
  const char* location;  // when hit
};

const ProtectText kJpg = {"^(.*)\\.jpg$", "x.y/deny.png", 0, {}};
const ProtectText kJpgPermitted = {"^(.*)\\.jpg$", "x.y/deny.png", 0, {"^a\\.b/"}};

const AskCase kAsks[] = {
    {"no permits", {kJpg}, "a.b/p.jpg", "c.d/page", true, "x.y/deny.png"},
    {"not protected", {kJpg}, "a.b/p.png", "c.d/page", false, ""},
    {"no Referer", {kJpg}, "a.b/p.jpg", nullptr, false, ""},
    {"permitted", {kJpgPermitted}, "a.b/p.jpg", "a.b/page", false, ""},
    {"permitted with http://", {kJpgPermitted}, "a.b/p.jpg", "HTTP://a.b/page", false, ""},
    {"not permitted", {kJpgPermitted}, "a.b/p.jpg", "http://c.d/page", true, "x.y/deny.png"},
    {"the Referer is the location", {kJpg}, "a.b/p.jpg", "http://x.y/deny.png", false, ""},
    {"groups in the location", {{"^(.*)/img/(.*)\\.jpg$", "$1/deny/$2.png", 0, {}}}, "a.b/img/p.jpg", "c.d", true,
     "a.b/deny/p.png"},
    {"caseless", {{"^A\\.B/.*\\.JPG$", "deny", 1, {}}}, "a.b/p.jpg", "c.d", true, "deny"},
    {"case counts", {{"^A\\.B/.*\\.JPG$", "deny", 0, {}}}, "a.b/p.jpg", "c.d", false, ""},
    {"a permitted rule passes to the next", {kJpgPermitted, {"jpg", "second", 0, {}}}, "a.b/p.jpg", "a.b/x", true,
     "second"},
    {"own host permit", {{"\\.jpg$", "deny", 0, {"^%{HTTP_HOST}/"}}}, "a.b/p.jpg", "a.b/page", false, ""},
    {"own host permit, other site", {{"\\.jpg$", "deny", 0, {"^%{HTTP_HOST}/"}}}, "a.b/p.jpg", "a.bc/page", true,
     "deny"},
    {"own host in the rule", {{"^%{HTTP_HOST}/(.*)\\.jpg$", "%{HTTP_HOST}/no/$1", 0, {}}}, "a.b/p.jpg", "c.d", true,
     "a.b/no/p"},
};

TEST(Protect, AnswersOverRulesPermitsAndReferers) {
  for (const AskCase& c : kAsks) {
    SCOPED_TRACE(c.name);
    Tree t;
    t.make_default_db();
    ASSERT_EQ(t.init(), 1);
    for (const ProtectText& r : c.rules) {
      uint32_t wid = 0;
      ASSERT_TRUE(policydb_protect_append(r.pturl, r.lcurl, r.icase, "", &wid));
      for (const char* p : r.permits) ASSERT_TRUE(policydb_permit_append(wid, p, 0, "", nullptr));
    }
    char location[4096] = "";
    EXPECT_EQ(policydb_protect_IsHit(c.url, c.referer, location, sizeof location) != 0, c.hit);
    if (c.hit) {
      EXPECT_STREQ(location, c.location);
    }
  }
}

TEST(Protect, LoadingChecksRulesAndTakesThePermitsOfLoadedRules) {
  Tree t;
  t.make_default_db();
  t.sql("insert into wc_protect(wid, pturl, lcurl, icase) values(1, '\\.jpg$', NULL, 0), (2, NULL, 'x', 0),"
        "(3, '\\.gif$', 'g', NULL), (4, '(', 'x', 0), (5, '\\.png$', 'p', 0)");
  t.sql("insert into wc_permit(permitid, wid, pturl, icase) values(1, 1, '^a\\.b/', NULL), (2, 1, NULL, 0),"
        "(3, 5, '[', 0), (4, 3, '^c', 0), (5, 5, '^d\\.e/', 1)");
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(t.err(),
            "[zazudaza -> config] 'wc_protect'->'pturl=NULL' error(wid=2)!\r\n"
            "[zazudaza -> config] 'wc_protect'->'icase=NULL' error(wid=3)!\r\n"
            "[zazudaza -> config] 'wc_protect'->'pturl=(' pattern(or regex) error(wid=4)!\r\n"
            "[zazudaza -> config] 'wc_permit'->'pturl=NULL' error(wid=2)!\r\n"
            "[zazudaza -> config] 'wc_permit'->'pturl=[' pattern(or regex) error(wid=5)!\r\n");
  char location[4096];
  EXPECT_TRUE(policydb_protect_IsExist());
  EXPECT_FALSE(policydb_protect_IsHit("q/p.jpg", "a.b/x", location, sizeof location));  // NULL icase reads as 0
  EXPECT_TRUE(policydb_protect_IsHit("q/p.jpg", "c.d/x", location, sizeof location));
  EXPECT_STREQ(location, "");  // a NULL lcurl is the empty text
  EXPECT_FALSE(policydb_protect_IsHit("q/p.png", "D.E/x", location, sizeof location));
  EXPECT_TRUE(policydb_protect_IsHit("q/p.png", "c.d/x", location, sizeof location));
  EXPECT_FALSE(policydb_protect_IsHit("q/p.gif", "c.d/x", location, sizeof location));
  // A permit of a rule that did not load cannot be added to.
  EXPECT_FALSE(policydb_permit_append(3, "^z", 0, "", nullptr));
}

TEST(Protect, ChangesKeepPermitsWithTheirRule) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init(), 1);
  EXPECT_FALSE(policydb_protect_append(nullptr, "x", 0, "", nullptr));
  EXPECT_FALSE(policydb_protect_append("x", nullptr, 0, "", nullptr));
  EXPECT_EQ(t.errors_of([] { EXPECT_FALSE(policydb_protect_append("(", "x", 0, "", nullptr)); }),
            "[zazudaza -> config] 'wc_protect'->'pturl=(' add regex error!\r\n");
  uint32_t a = 0, b = 0, pa = 0, pb = 0;
  ASSERT_TRUE(policydb_protect_append("\\.jpg$", "deny", 0, "", &a));
  ASSERT_TRUE(policydb_protect_append("\\.png$", "deny", 0, "", &b));
  ASSERT_TRUE(policydb_permit_append(a, "^a\\.b/", 0, "", &pa));
  ASSERT_TRUE(policydb_permit_append(b, "^c\\.d/", 0, "", &pb));
  EXPECT_FALSE(policydb_permit_append(99, "^x", 0, "", nullptr));
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(policydb_permit_append(a, "[", 0, "", nullptr)); }),
            "[zazudaza -> config] 'wc_permit'->'pturl=[' add regex error!\r\n");
  EXPECT_EQ(t.sql("select count(*) from wc_permit"), "2\n");

  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(policydb_protect_modify(a, "[", "deny", 0, "")); }),
            "[zazudaza -> config] modify 'wc_protect' regex error(pturl=[)!\r\n");
  EXPECT_TRUE(policydb_protect_modify(a, "\\.jpe?g$", "other", 0, "n"));
  EXPECT_FALSE(policydb_protect_modify(99, "x", "y", 0, ""));
  char location[4096];
  EXPECT_FALSE(policydb_protect_IsHit("q/p.jpeg", "a.b/x", location, sizeof location));  // the permit stayed
  EXPECT_TRUE(policydb_protect_IsHit("q/p.jpeg", "c.d/x", location, sizeof location));
  EXPECT_STREQ(location, "other");

  // Another rule's permit: neither the row nor memory changes.
  EXPECT_FALSE(policydb_permit_modify(pb, a, "^e\\.f/", 0, ""));
  EXPECT_EQ(t.sql("select permitid, wid, pturl from wc_permit order by permitid"), "1|1|^a\\.b/\n2|2|^c\\.d/\n");
  EXPECT_FALSE(policydb_protect_IsHit("q/p.png", "c.d/x", location, sizeof location));
  EXPECT_FALSE(policydb_permit_modify(pa, 99, "^e\\.f/", 0, ""));
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(policydb_permit_modify(pa, a, "(", 0, "")); }),
            "[zazudaza -> config] modify 'wc_permit' regex error(pturl=()!\r\n");
  EXPECT_TRUE(policydb_permit_modify(pa, a, "^e\\.f/", 1, "n"));
  EXPECT_TRUE(policydb_protect_IsHit("q/p.jpg", "a.b/x", location, sizeof location));
  EXPECT_FALSE(policydb_protect_IsHit("q/p.jpg", "E.F/x", location, sizeof location));
  // A permit row missing from the table answers false.
  t.sql("delete from wc_permit where permitid=1");
  EXPECT_FALSE(policydb_permit_modify(pa, a, "^g/", 0, ""));

  EXPECT_FALSE(policydb_permit_delete(99, pb));
  EXPECT_TRUE(policydb_permit_delete(a, pb));  // not that rule's: nothing goes
  EXPECT_EQ(t.sql("select count(*) from wc_permit where permitid=2"), "1\n");
  EXPECT_TRUE(policydb_permit_delete(b, pb));
  EXPECT_EQ(t.sql("select count(*) from wc_permit where permitid=2"), "0\n");
  EXPECT_TRUE(policydb_protect_IsHit("q/p.png", "c.d/x", location, sizeof location));
}

TEST(Protect, DeleteTakesThePermitsAndAReloadGivesTheSameAnswers) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init(), 1);
  uint32_t a = 0, b = 0;
  ASSERT_TRUE(policydb_protect_append("\\.jpg$", "deny-a", 0, "", &a));
  ASSERT_TRUE(policydb_protect_append("\\.(jpg|png)$", "deny-b", 0, "", &b));
  ASSERT_TRUE(policydb_permit_append(a, "^a\\.b/", 0, "", nullptr));
  ASSERT_TRUE(policydb_permit_append(a, "^c\\.d/", 0, "", nullptr));
  ASSERT_TRUE(policydb_permit_append(b, "^a\\.b/", 0, "", nullptr));
  t.sql("insert into wc_permit(wid, pturl, icase) values(1, '^unloaded', 0)");
  auto answers = [] {
    std::string out;
    for (const char* url : {"q/p.jpg", "q/p.png"}) {
      for (const char* referer : {"a.b/", "c.d/", "e.f/"}) {
        char location[4096] = "";
        out += policydb_protect_IsHit(url, referer, location, sizeof location) ? location : "-";
        out += " ";
      }
    }
    return out;
  };
  EXPECT_EQ(answers(), "- deny-b deny-a - deny-b deny-b ");
  ASSERT_EQ(t.reload(), 1);
  EXPECT_EQ(answers(), "- deny-b deny-a - deny-b deny-b ");
  EXPECT_TRUE(policydb_protect_delete(a));
  EXPECT_EQ(t.sql("select wid, count(*) from wc_permit group by wid"), "2|1\n");
  EXPECT_EQ(t.sql("select wid from wc_protect"), "2\n");
  EXPECT_EQ(answers(), "- deny-b deny-b - deny-b deny-b ");
  EXPECT_TRUE(policydb_protect_delete(a));
  ASSERT_EQ(t.reload(), 1);
  EXPECT_EQ(answers(), "- deny-b deny-b - deny-b deny-b ");
}

}  // namespace
}  // namespace policydb::test
