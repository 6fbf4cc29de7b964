#include "cu_pattern.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

namespace {

struct ShapeCase {
  const char* glob;
  int32_t type;
  const char* text;  // as stored (reversed for M_MATCH_ALL_TAIL)
  uint32_t min, max;
};

constexpr uint32_t kInf = 0xFFFFFFFFu;
const ShapeCase kShapes[] = {
    {"*.jpg", M_MATCH_TAIL, ".jpg", 4, kInf},
    {"/img/*", M_MATCH_HEAD, "/img/", 5, kInf},
    {"a?c", M_MATCH_ALL, "a?c", 3, 6},
    {"*", M_MATCH_TAIL, "", 0, kInf},
    {"***", M_MATCH_TAIL, "", 0, kInf},
    {"**a**", M_MATCH_ALL, "*a*", 1, kInf},
    {"a*b*cd", M_MATCH_ALL_TAIL, "dc*b*a", 4, kInf},
    {"ab*c*d", M_MATCH_ALL, "ab*c*d", 4, kInf},
    {"exact", M_MATCH_EXACT, "exact", 5, 5},
    {"", M_MATCH_EXACT, "", 0, 0},
    {"a?*b", M_MATCH_ALL_TAIL, "b?*a", 3, kInf},  // ?* moves behind the star: a*?b
    {"?*?*", M_MATCH_ALL_TAIL, "??*", 2, kInf},  // *??
    {"abc?", M_MATCH_ALL, "abc?", 4, 7},
    {"?abc", M_MATCH_ALL_TAIL, "cba?", 4, 7},
    {"a*b", M_MATCH_ALL, "a*b", 2, kInf},
};

TEST(Pattern, CompilesCommonShapesToPlainCompares) {
  for (const auto& c : kShapes) {
    SCOPED_TRACE(c.glob);
    cu_pattern* p = cu_pattern_make(c.glob);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->match_type, c.type);
    EXPECT_STREQ(p->text, c.text);
    EXPECT_EQ(p->pattern_length, strlen(c.text));
    EXPECT_EQ(p->min_length, c.min);
    EXPECT_EQ(p->max_length, c.max);
    cu_pattern_free(p);
  }
}

struct MatchCase {
  const char* glob;
  const char* subject;
  bool sensitive, insensitive;
};

const MatchCase kMatches[] = {
    {"*.JPG", "photo.jpg", false, true},
    {"*.jpg", "photo.jpg", true, true},
    {"a?c", "ac", false, false},
    {"a?c", "abbc", false, false},
    {"a?c", "abc", true, true},
    {"a*c", "ac", true, true},
    {"a*c", "abbc", true, true},
    {"*", "", true, true},
    {"", "", true, true},
    {"", "x", false, false},
    {"/img/*", "/img/", true, true},
    {"/img/*", "/IMG/x", false, true},
    {"/img/*", "/im", false, false},
    {"a*b*cd", "aXbYcd", true, true},
    {"a*b*cd", "abcdcd", true, true},
    {"a*b*cd", "acdbc", false, false},
    {"ab*c*d", "abcd", true, true},
    {"exact", "exactly", false, false},
    {"*a*", "bab", true, true},
    {"*a*", "bbb", false, false},
    {"a\xE4*", "a\xE4z", true, true},  // bytes, not characters
};

TEST(Pattern, MatchesInBothCaseModes) {
  for (const auto& c : kMatches) {
    SCOPED_TRACE(std::string(c.glob) + " ~ " + c.subject);
    cu_pattern* p = cu_pattern_make(c.glob);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(cu_pattern_match_string(p, c.subject), c.sensitive);
    EXPECT_EQ(cu_pattern_match_istring(p, c.subject), c.insensitive);
    EXPECT_EQ(cu_pattern_match(p, static_cast<int32_t>(strlen(c.subject)), c.subject, nullptr, 1), c.sensitive);
    EXPECT_EQ(cu_pattern_match(p, static_cast<int32_t>(strlen(c.subject)), c.subject, nullptr, 0), c.insensitive);
    EXPECT_EQ(cu_pattern_match_simple(c.glob, c.subject), c.sensitive);
    EXPECT_EQ(cu_pattern_match_isimple(c.glob, c.subject), c.insensitive);
    cu_pattern_free(p);
  }
}

TEST(Pattern, MatchUsesOnlyTheGivenLength) {
  cu_pattern* p = cu_pattern_make("a*b*cd");
  const char s[] = "aXbYcdTRAILING";
  EXPECT_EQ(cu_pattern_match(p, 6, s, nullptr, 1), 1);
  EXPECT_EQ(cu_pattern_match(p, 7, s, nullptr, 1), 0);
  EXPECT_EQ(cu_pattern_match(p, -1, s, nullptr, 1), 0);
  cu_pattern_free(p);
}

TEST(Pattern, NullsAndEquality) {
  EXPECT_EQ(cu_pattern_make(nullptr), nullptr);
  cu_pattern* a1 = cu_pattern_make("a*");
  cu_pattern* a2 = cu_pattern_make("a*");
  cu_pattern* b = cu_pattern_make("*a");
  EXPECT_EQ(cu_pattern_equal(a1, a2), 1);
  EXPECT_EQ(cu_pattern_equal(a1, b), 0);
  EXPECT_EQ(cu_pattern_equal(a1, nullptr), 0);
  EXPECT_EQ(cu_pattern_match_string(nullptr, "a"), 0);
  EXPECT_EQ(cu_pattern_match_string(a1, nullptr), 0);
  EXPECT_EQ(cu_pattern_match_simple(nullptr, "a"), 0);
  EXPECT_EQ(cu_pattern_match_isimple("a", nullptr), 0);
  cu_pattern_free(a1);
  cu_pattern_free(a2);
  cu_pattern_free(b);
  cu_pattern_free(nullptr);
}

// Reference: the textbook dynamic-programming glob matcher.
bool dp_match(const std::string& g, const std::string& s, bool cs) {
  auto eq = [cs](char a, char b) { return cs ? a == b : std::tolower(a) == std::tolower(b); };
  std::vector<std::vector<bool>> ok(g.size() + 1, std::vector<bool>(s.size() + 1, false));
  ok[0][0] = true;
  for (size_t i = 1; i <= g.size(); ++i) {
    ok[i][0] = ok[i - 1][0] && g[i - 1] == '*';
    for (size_t j = 1; j <= s.size(); ++j) {
      char c = g[i - 1];
      if (c == '*') ok[i][j] = ok[i - 1][j] || ok[i][j - 1];
      else ok[i][j] = ok[i - 1][j - 1] && (c == '?' || eq(c, s[j - 1]));
    }
  }
  return ok[g.size()][s.size()];
}

TEST(Pattern, AgreesWithReferenceMatcherOnRandomPatterns) {
  const unsigned seed = 20261210;
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  const char glob_chars[] = "abAB*?";
  const char subject_chars[] = "abAB";
  for (int round = 0; round < 4000; ++round) {
    std::string g, s;
    for (size_t n = rng() % 8; n > 0; --n) g += glob_chars[rng() % 6];
    for (size_t n = rng() % 10; n > 0; --n) s += subject_chars[rng() % 4];
    cu_pattern* p = cu_pattern_make(g.c_str());
    ASSERT_NE(p, nullptr);
    for (bool cs : {true, false}) {
      bool want = dp_match(g, s, cs);
      bool got = cs ? cu_pattern_match_string(p, s.c_str()) : cu_pattern_match_istring(p, s.c_str());
      ASSERT_EQ(got, want) << "glob '" << g << "' subject '" << s << "' case-sensitive " << cs;
    }
    cu_pattern_free(p);
  }
}

TEST(Pattern, LongPathologicalPatternFinishesQuickly) {
  std::string g, s(4000, 'a');
  for (int i = 0; i < 200; ++i) g += "*a";
  g += "b";
  cu_pattern* p = cu_pattern_make(g.c_str());
  EXPECT_EQ(cu_pattern_match_string(p, s.c_str()), 0);
  cu_pattern_free(p);
}

}  // namespace
