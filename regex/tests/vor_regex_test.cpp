#include "vor_regex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "vor_kit.h"

namespace {

using Regex = vor::Owned<vor_regex, vor_regex_free>;

TEST(Regex, UsesPcreSyntaxNotPosix) {
  // A lazy quantifier, a lookahead and \d mean nothing (or something else) to POSIX engines.
  vor_regmatch m[2];
  Regex lazy(vor_regex_make("a(\\d+?)"));
  ASSERT_NE(lazy, nullptr);
  ASSERT_TRUE(vorx_regex_match(lazy.get(), "xa123", m, 2));
  EXPECT_EQ(m[1].rm_so, 2);
  EXPECT_EQ(m[1].rm_eo, 3);
  EXPECT_TRUE(vor_regex_match_simple("foo(?=bar)", "foobar"));
  EXPECT_FALSE(vor_regex_match_simple("foo(?=bar)", "foobaz"));
  EXPECT_TRUE(vor_regex_match_simple("^\\w+\\s\\d$", "ab 7"));
}

TEST(Regex, CaseRuleBelongsToTheObject) {
  Regex i(vor_regex_imake("abc"));
  Regex s(vor_regex_make("abc"));
  EXPECT_TRUE(vor_regex_match(i.get(), "xABCx"));
  EXPECT_TRUE(vor_regex_imatch(i.get(), "xABCx"));
  EXPECT_FALSE(vor_regex_match(s.get(), "xABCx"));
  EXPECT_FALSE(vor_regex_imatch(s.get(), "xABCx"));
  EXPECT_TRUE(vor_regex_match_isimple("abc", "ABC"));
  EXPECT_FALSE(vor_regex_match_simple("abc", "ABC"));
}

TEST(Regex, BadPatternsAndNullArguments) {
  EXPECT_EQ(vor_regex_make("(ab"), nullptr);
  EXPECT_EQ(vor_regex_make(nullptr), nullptr);
  EXPECT_FALSE(vor_regex_match_simple("(ab", "ab"));
  EXPECT_FALSE(vor_regex_match(nullptr, "a"));
  Regex re(vor_regex_make("a"));
  EXPECT_FALSE(vor_regex_match(re.get(), nullptr));
  vor_regmatch m[1];
  EXPECT_FALSE(vorx_regex_match(re.get(), "a", m, -1));
  EXPECT_TRUE(vorx_regex_match(re.get(), "a", m, 0));
  EXPECT_EQ(vor_regex_pattern(re.get()), nullptr);
  EXPECT_EQ(vor_regex_pattern(nullptr), nullptr);
  vor_regex_free(nullptr);
  vor_regex_ifree(nullptr);
}

TEST(Regex, MatchRecordMarksGroupsThatTookNoPart) {
  Regex re(vor_regex_make("(a)|(b)"));
  vor_regmatch m[12];
  std::memset(m, 0x55, sizeof m);
  ASSERT_TRUE(vorx_regex_match(re.get(), "b", m, 12));
  EXPECT_EQ(m[0].rm_so, 0);
  EXPECT_EQ(m[1].rm_so, -1);
  EXPECT_EQ(m[1].rm_eo, -1);
  EXPECT_EQ(m[2].rm_so, 0);
  EXPECT_EQ(m[2].rm_eo, 1);
  for (int i = 3; i < 12; ++i) EXPECT_EQ(m[i].rm_so, -1) << i;
}

struct ReplaceCase {
  const char* pattern;
  const char* subject;
  const char* tmpl;
  int32_t size;
  bool matched;
  const char* output;
};

const ReplaceCase kReplaces[] = {
    {"([a-z]+)([0-9]+)", "abc123", "$2-$1", 64, true, "123-abc"},
    {"([a-z]+)([0-9]+)", "abc123", "$0", 64, true, "abc123"},
    {"([a-z]+)([0-9]+)", "abc123", "x$9y", 64, true, "xy"},           // group 9 does not exist
    {"(b)", "abc", "$$1", 64, true, "$b"},                             // doubled dollar before a 1
    {"(b)", "abc", "end$", 64, true, "end$"},                          // trailing dollar kept
    {"(b)", "abc", "$x", 64, true, "$x"},                              // dollar before a letter
    {"(b)", "abc", "abcdef", 4, true, ""},                             // a piece never fits in part
    {"abc", "xabcy", "[$0]", 64, true, "[abc]"},
    {"(a)|(b)", "b", "<$2>", 64, true, "<>"},                          // group 1 unusable ends them
    {"([a-z]+)([0-9]+)", "abc123", "$1+$2", 5, true, "abc+"},          // stops before "123"
    {"([a-z]+)([0-9]+)", "abc123", "$1$2", 4, true, "abc"},
    {"([a-z]+)([0-9]+)", "abc123", "ab$1", 5, true, "ab"},             // later pieces are not tried
    {"zzz", "abc", "$0", 64, false, ""},                               // no match empties the output
};

TEST(Regex, ReplaceTable) {
  for (const auto& c : kReplaces) {
    SCOPED_TRACE(std::string(c.pattern) + " " + c.tmpl + " size " + std::to_string(c.size));
    Regex re(vor_regex_make(c.pattern));
    ASSERT_NE(re, nullptr);
    char out[64];
    std::strcpy(out, "previous");
    EXPECT_EQ(vor_regex_replace(re.get(), c.subject, c.tmpl, out, c.size), c.matched);
    EXPECT_STREQ(out, c.output);
    char simple[64];
    std::strcpy(simple, "previous");
    EXPECT_EQ(vor_regex_replace_simple(c.pattern, c.subject, c.tmpl, simple, c.size), c.matched);
    EXPECT_STREQ(simple, c.matched ? c.output : "previous");  // the one-shot form leaves it on no match
  }
}

TEST(Regex, ReplaceExtGivesTheMatchOffsets) {
  Regex re(vor_regex_make("abc"));
  int32_t start = -9, end = -9;
  char out[16];
  ASSERT_TRUE(vor_regex_replace_ext(re.get(), "xabcy", &start, &end, "[$0]", out, sizeof out));
  EXPECT_EQ(start, 1);
  EXPECT_EQ(end, 4);
  EXPECT_STREQ(out, "[abc]");
  EXPECT_TRUE(vor_regex_ireplace_ext(re.get(), "abc", &start, &end, nullptr, out, sizeof out));
  EXPECT_EQ(start, 0);
  EXPECT_TRUE(vor_regex_replace_ext(re.get(), "abc", nullptr, nullptr, "$0", nullptr, 0));
  EXPECT_FALSE(vor_regex_replace_ext(nullptr, "abc", nullptr, nullptr, "$0", out, sizeof out));
  EXPECT_FALSE(vor_regex_replace_simple(nullptr, "abc", "$0", out, sizeof out));
  EXPECT_FALSE(vor_regex_replace_simple("(", "abc", "$0", out, sizeof out));
  EXPECT_TRUE(vor_regex_replace_isimple("ABC", "xabc", "<$0>", out, sizeof out));
  EXPECT_STREQ(out, "<abc>");
}

TEST(Regex, CatastrophicPatternEndsAsNoMatch) {
  Regex re(vor_regex_make("^(a+)+$"));
  const std::string subject = std::string(40, 'a') + "b";
  EXPECT_FALSE(vor_regex_match(re.get(), subject.c_str()));
}

}  // namespace
