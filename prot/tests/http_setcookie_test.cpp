#include "http_setcookie.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr char kCookie[] = "SID=a1; path=/; domain=.b.tld; secure";

struct NthCase {
  const char* value;
  int32_t k;
  bool found;
  const char* name;
  const char* content;
};

const NthCase kNth[] = {
    {kCookie, 0, true, "SID", "a1"},
    {kCookie, 1, true, "path", "/"},
    {kCookie, 3, true, "secure", ""},
    {kCookie, 4, false, "", ""},
    {"  ;= a = b c \t; x", 0, true, "a", "b c"},  // separators skipped, blanks trimmed
    {"a=1;;b=2", 1, true, "b", "2"},
    {"a=1; ", 1, false, "", ""},                 // an empty attribute ends the walk
    {"", 0, false, "", ""},
};

TEST(SetCookie, NthAttributeTable) {
  for (const auto& c : kNth) {
    SCOPED_TRACE(std::string(c.value) + " k=" + std::to_string(c.k));
    char name[32] = "junk", content[32] = "junk";
    EXPECT_EQ(http_setcookie_GetNthKey(c.value, c.k, name, sizeof name, content, sizeof content), c.found);
    EXPECT_STREQ(name, c.name);
    EXPECT_STREQ(content, c.content);
  }
}

TEST(SetCookie, NthAttributeCopiesAreCutToTheBufferAndTrimmed) {
  char name[4], content[3];
  ASSERT_TRUE(http_setcookie_GetNthKey("ab cdef=xy z", 0, name, sizeof name, content, sizeof content));
  EXPECT_STREQ(name, "ab");  // "ab " cut, then the blank dropped
  EXPECT_STREQ(content, "xy");
  EXPECT_TRUE(http_setcookie_GetNthKey(kCookie, 0, nullptr, 0, nullptr, 0));
}

struct KeyCase {
  const char* value;
  const char* name;
  const char* expected;  // nullptr: not found
};

const KeyCase kKeys[] = {
    {kCookie, "path", "/"},
    {kCookie, "PATH", "/"},
    {kCookie, "domain", ".b.tld"},
    {kCookie, "th", nullptr},       // inside "path=", not at an attribute start
    {kCookie, "secure", nullptr},   // no '='
    {kCookie, "dom*", ".b.tld"},    // a glob name goes through the pattern form
    {kCookie, "*", "a1"},
    {"a= x ;b=2", "a", " x"},       // blanks after '=' kept by the exact form
    {"a =1", "a", nullptr},         // a blank between name and '=' does not match
    {"x=1;path=/p ", "path", "/p"},
};

TEST(SetCookie, ExactNameTable) {
  for (const auto& c : kKeys) {
    SCOPED_TRACE(std::string(c.value) + " / " + c.name);
    char buf[32] = "untouched";
    const char* got = http_setcookie_GetKey(c.value, c.name, buf, sizeof buf);
    if (!c.expected) {
      EXPECT_EQ(got, nullptr);
      continue;
    }
    ASSERT_EQ(got, buf);
    EXPECT_STREQ(buf, c.expected);
  }
  char buf[8];
  EXPECT_STREQ(http_setcookie_GetPath(kCookie, buf, sizeof buf), "/");
  EXPECT_STREQ(http_setcookie_GetDomain(kCookie, buf, 4), ".b.");
  EXPECT_EQ(http_setcookie_GetExpires(kCookie, buf, sizeof buf), nullptr);
  EXPECT_EQ(http_setcookie_GetKey(nullptr, "a", buf, sizeof buf), nullptr);
  EXPECT_EQ(http_setcookie_GetKey(kCookie, nullptr, buf, sizeof buf), nullptr);
  EXPECT_EQ(http_setcookie_GetKey(kCookie, "path", nullptr, 0), nullptr);
}

TEST(SetCookie, PatternForms) {
  char name[16], value[16];
  ASSERT_EQ(http_setcookie_GetPatternKey(kCookie, "dom*", name, sizeof name, value, sizeof value), value);
  EXPECT_STREQ(name, "domain");
  EXPECT_STREQ(value, ".b.tld");
  ASSERT_EQ(http_setcookie_GetPatternKey(kCookie, "*", name, sizeof name, value, sizeof value), value);
  EXPECT_STREQ(name, "SID");
  EXPECT_STREQ(value, "a1");
  ASSERT_EQ(http_setcookie_GetNthPatternKey(kCookie, 1, "*a*", name, sizeof name, value, sizeof value), value);
  EXPECT_STREQ(name, "domain");  // path is match 0, domain match 1
  EXPECT_EQ(http_setcookie_GetNthPatternKey(kCookie, 2, "*a*", name, sizeof name, value, sizeof value), nullptr);
  EXPECT_STREQ(name, "");
  EXPECT_STREQ(value, "");
  ASSERT_NE(http_setcookie_GetPatternKey(kCookie, "S?D", nullptr, 0, value, sizeof value), nullptr);
  EXPECT_STREQ(value, "a1");
  EXPECT_EQ(http_setcookie_GetPatternKey(kCookie, nullptr, name, sizeof name, value, sizeof value), nullptr);
  EXPECT_EQ(http_setcookie_GetPatternKey(kCookie, "*", name, sizeof name, nullptr, 0), nullptr);
}

TEST(SetCookie, SecureMustStandAsAWord) {
  const std::pair<const char*, bool> cases[] = {
      {kCookie, true}, {"SID=1; SECURE", true}, {"x=secured", false}, {"secure", true},
      {"a=1;secure;b=2", true}, {"insecure", false}, {"a=1; secure=1", false}, {"", false}};
  for (const auto& [value, secure] : cases) EXPECT_EQ(http_setcookie_IsSecure(value), secure) << value;
  EXPECT_FALSE(http_setcookie_IsSecure(nullptr));
}

TEST(SetCookie, DomainAndPathMatching) {
  struct Case {
    const char* domain;
    const char* host;
    bool match;
  };
  const Case domains[] = {
      {".b.tld", "x.b.tld:8080", true}, {"b.tld", "x.b.tld", false}, {"B.TLD", "b.tld", true},
      {".mple.tld", "example.tld", true}, {".example.tld", "example.tld", true}, {".", "anything", true},
      {".long.tld", "g.tld", false}, {"b.tld:80", "b.tld:443", true}, {"", "", true}, {"", "x", false}};
  for (const auto& c : domains) EXPECT_EQ(http_setcookie_MatchDomain(c.domain, c.host), c.match) << c.domain << " " << c.host;
  EXPECT_FALSE(http_setcookie_MatchDomain(nullptr, "x"));
  EXPECT_TRUE(http_setcookie_MatchPath("/", "/any"));
  EXPECT_FALSE(http_setcookie_MatchPath("/a/", "/a"));
  EXPECT_TRUE(http_setcookie_MatchPath("/ab", "/abc"));
  EXPECT_TRUE(http_setcookie_MatchPath("", "/x"));
  EXPECT_FALSE(http_setcookie_MatchPath("/A", "/a"));
  EXPECT_FALSE(http_setcookie_MatchPath(nullptr, "/a"));
}

struct EditCase {
  const char* before;
  const char* op;  // "del:<name>", "delp:<k>:<pattern>", "mod:<name>=<value>"
  const char* after;
};

const EditCase kEdits[] = {
    {kCookie, "del:path", "SID=a1; domain=.b.tld; secure"},
    {kCookie, "del:SID", "; path=/; domain=.b.tld; secure"},
    {kCookie, "del:nothing", kCookie},
    {kCookie, "del:secure", kCookie},  // the exact form needs '='
    {kCookie, "delp:0:secure", "SID=a1; path=/; domain=.b.tld"},
    {kCookie, "delp:1:*", "SID=a1; domain=.b.tld; secure"},
    {kCookie, "del:dom*", "SID=a1; path=/; secure"},
    {"SID=a1", "mod:expires=Thu", "SID=a1; expires=Thu"},
    {"SID=a1;", "mod:expires=Thu", "SID=a1; expires=Thu"},
    {"", "mod:expires=Thu", "expires=Thu"},
    {kCookie, "mod:PATH=/x", "SID=a1; domain=.b.tld; secure; PATH=/x"},
    {"a=1; path=/", "mod:path=/y", "a=1; path=/y"},
};

void apply(char* value, int32_t size, const std::string& op) {
  if (op.rfind("del:", 0) == 0) {
    EXPECT_TRUE(http_setcookie_DelKey(value, op.c_str() + 4));
  } else if (op.rfind("delp:", 0) == 0) {
    const int32_t k = op[5] - '0';
    EXPECT_TRUE(http_setcookie_DelNthPatternKey(value, k, op.c_str() + 7));
  } else {
    const std::string body = op.substr(4);
    const size_t eq = body.find('=');
    EXPECT_TRUE(http_setcookie_ModifyKey(value, size, body.substr(0, eq).c_str(), body.c_str() + eq + 1));
  }
}

TEST(SetCookie, EditTableAndReadBack) {
  for (const auto& c : kEdits) {
    SCOPED_TRACE(std::string(c.before) + " " + c.op);
    char value[128];
    std::strcpy(value, c.before);
    apply(value, sizeof value, c.op);
    EXPECT_STREQ(value, c.after);
  }
  // An edited value reads back with the new attribute, last.
  char value[128];
  std::strcpy(value, kCookie);
  ASSERT_TRUE(http_setcookie_ModifyExpires(value, sizeof value, "Thu, 01 Jan 2026 00:00:00 GMT"));
  char buf[64], name[16];
  EXPECT_STREQ(http_setcookie_GetExpires(value, buf, sizeof buf), "Thu, 01 Jan 2026 00:00:00 GMT");
  ASSERT_TRUE(http_setcookie_GetNthKey(value, 4, name, sizeof name, buf, sizeof buf));
  EXPECT_STREQ(name, "expires");
  ASSERT_TRUE(http_setcookie_DelExpires(value));
  EXPECT_STREQ(value, kCookie);
  ASSERT_TRUE(http_setcookie_InsertKey(value, sizeof value, "max-age", "60"));
  EXPECT_STREQ(http_setcookie_GetKey(value, "max-age", buf, sizeof buf), "60");
}

TEST(SetCookie, ModifyRefusesWhatDoesNotFitAndChangesNothing) {
  char value[16];
  std::strcpy(value, "SID=a1");
  EXPECT_FALSE(http_setcookie_ModifyKey(value, sizeof value, "expires", "x"));  // needs 18 bytes
  EXPECT_STREQ(value, "SID=a1");
  EXPECT_TRUE(http_setcookie_ModifyKey(value, sizeof value, "p", "12345"));    // exactly 16 with NUL
  EXPECT_STREQ(value, "SID=a1; p=12345");
  std::strcpy(value, "a=1; path=/");
  EXPECT_FALSE(http_setcookie_ModifyKey(value, 12, "path", "/longer"));  // the delete is undone too
  EXPECT_STREQ(value, "a=1; path=/");
  EXPECT_FALSE(http_setcookie_ModifyKey(value, 0, "a", "b"));
  EXPECT_TRUE(http_setcookie_ModifyKey(nullptr, 10, "a", "b"));
  EXPECT_TRUE(http_setcookie_DelKey(nullptr, "a"));
  EXPECT_TRUE(http_setcookie_DelNthPatternKey(nullptr, 0, "*"));
}

}  // namespace
