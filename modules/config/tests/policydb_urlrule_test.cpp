// The URL rule object: making, matching and the host expansion, as tables; and a property test
// that a rule anchored at the host answers the same in its host-class form and as a template.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "policydb.h"
#include "policydb_urlrule.h"

namespace policydb::test {
namespace {

struct Made {
  xcache_rules* rule;
  explicit Made(const char* text, uint8_t icase, uint8_t kind) : rule(xcache_rules_make(text, icase, kind)) {}
  ~Made() { xcache_rules_free(rule); }
  Made(const Made&) = delete;
  Made& operator=(const Made&) = delete;
};

enum class Shape { kRefused, kTemplate, kCompiled };

struct MatchCase {
  const char* text;
  uint8_t icase;
  uint8_t kind;
  Shape shape;
  const char* url;
  bool hit;
};

const std::string kLongNoSlash(300, 'h');

const MatchCase kMatches[] = {
    {"*.jpg", 0, 0, Shape::kCompiled, "a.b/a.jpg", true},
    {"*.jpg", 0, 0, Shape::kCompiled, "a.b/a.jpg?x=1", false},
    {"*.JPG", 1, 0, Shape::kCompiled, "a.b/a.jpg", true},
    {"*.JPG", 0, 0, Shape::kCompiled, "a.b/a.jpg", false},
    {"Host/A.html", 1, 2, Shape::kTemplate, "host/a.html", true},
    {"Host/A.html", 0, 2, Shape::kTemplate, "host/a.html", false},
    {"^%{HTTP_HOST}/static/", 0, 1, Shape::kCompiled, "a.b/static/x.css", true},
    {"^%{HTTP_HOST}/static/", 0, 1, Shape::kCompiled, "c.d/static/x", true},
    {"^%{HTTP_HOST}/static/", 0, 1, Shape::kCompiled, "c.d/other/static/x", false},
    {"^(%{HTTP_HOST})/s", 0, 1, Shape::kCompiled, "a.b/s", true},
    {"^((%{HTTP_HOST}))/s", 0, 1, Shape::kCompiled, "a.b/s", true},
    {"^%{HTTP_HOST}/S", 1, 1, Shape::kCompiled, "A.B/s", true},  // the host class made caseless
    {"^%{HTTP_HOST}/S", 0, 1, Shape::kCompiled, "a.b/s", false},
    {"/%{HTTP_HOST}/", 0, 1, Shape::kTemplate, "a.b/a.b/x", true},
    {"/%{HTTP_HOST}/", 0, 1, Shape::kTemplate, "a.b/c.d/x", false},
    {"/%{HTTP_HOST}/", 0, 1, Shape::kTemplate, "a.b/aXb/x", false},  // the host's dot escaped
    {"^%{HTTP_HOST}/%{HTTP_HOST}", 0, 1, Shape::kTemplate, "a.b/a.b", true},  // two placeholders
    {"x^%{HTTP_HOST}/", 0, 1, Shape::kTemplate, "x", false},
    {"(", 0, 1, Shape::kRefused, "(", false},
    {"^%{HTTP_HOST}(", 0, 1, Shape::kRefused, "a", false},
    {"a%{X}", 0, 1, Shape::kCompiled, "a%{X}", true},  // no placeholder: compiled as it is
    {"a%{X}(", 0, 1, Shape::kRefused, "a", false},
    {"a.b", 0, 3, Shape::kRefused, "a.b", false},
    {"%{HTTP_HOST}", 0, 3, Shape::kTemplate, "a.b", false},  // unknown kind of a template matches nothing
    {"%{HTTP_HOST}/*.css", 0, 0, Shape::kTemplate, "a.b/x.css", true},
    {"%{HTTP_HOST}/*.css", 0, 0, Shape::kTemplate, "http://a.b/x.css", false},
    {"http://%{HTTP_HOST}/x", 1, 2, Shape::kTemplate, "HTTP://a.b/x", true},
    {"%{HTTP_HOST}/x", 0, 2, Shape::kTemplate, "a.b/x", true},
    {"%{X}/x", 0, 2, Shape::kTemplate, "%{X}/x", true},
};

TEST(UrlRule, MakesAndMatchesByKind) {
  for (const MatchCase& c : kMatches) {
    SCOPED_TRACE(std::string(c.text) + " kind " + std::to_string(c.kind) + " icase " + std::to_string(c.icase) +
                 " url " + c.url);
    Made m(c.text, c.icase, c.kind);
    if (c.shape == Shape::kRefused) {
      EXPECT_EQ(m.rule, nullptr);
      continue;
    }
    ASSERT_NE(m.rule, nullptr);
    EXPECT_STREQ(m.rule->text, c.text);
    const bool compiled = m.rule->wildcard || m.rule->regex;
    EXPECT_EQ(compiled, c.shape == Shape::kCompiled);
    EXPECT_EQ(xcache_rules_ishit(m.rule, c.url) != 0, c.hit);
  }
}

TEST(UrlRule, NullRuleOrUrlNeverMatches) {
  EXPECT_EQ(xcache_rules_make(nullptr, 0, 0), nullptr);
  EXPECT_EQ(xcache_rules_ishit(nullptr, "a"), 0);
  Made m("*", 0, 0);
  EXPECT_EQ(xcache_rules_ishit(m.rule, nullptr), 0);
  xcache_rules_free(nullptr);
}

TEST(UrlRule, FamilyFormKeepsEveryPlaceholderRegexATemplate) {
  url::Pattern p;
  ASSERT_TRUE(p.make("^%{HTTP_HOST}/static/", 0, url::kRegex));
  EXPECT_TRUE(p.matches("a.b/static/x"));
  EXPECT_FALSE(p.matches("a.b/x/static/"));
  url::Pattern refused;
  EXPECT_FALSE(refused.make("(%{HTTP_HOST}", 0, url::kRegex));
  EXPECT_FALSE(refused.matches("a"));
  EXPECT_FALSE(refused.make("x", 0, 3));
}

struct ExpandCase {
  const char* name;
  std::string url;
  std::string tmpl;
  bool regex;
  std::string expected;
};

const std::string kFill4090(4090, 'a');
const std::string kFill4089(4089, 'a');
const std::string kFill4095(4095, 'a');
const std::string kFill4096(4096, 'a');
const std::string kHost200(200, 'h');

const ExpandCase kExpansions[] = {
    {"host replaces each placeholder", "a.b/x", "[%{HTTP_HOST}|%{HTTP_HOST}]", false, "[a.b|a.b]"},
    {"other %{ kept", "a.b/x", "x%{Y}%{HTTP_HOST", false, "x%{Y}%{HTTP_HOST"},
    {"http:// skipped in any case", "hTTp://a.b/x", "%{HTTP_HOST}", false, "a.b"},
    {"no slash: the whole url", "a.b:81", "%{HTTP_HOST}/", false, "a.b:81/"},
    {"300 characters without a slash give 200", std::string(300, 'h'), "%{HTTP_HOST}", false, kHost200},
    {"a 200-character host", kHost200 + "/x", "^%{HTTP_HOST}$", false, "^" + kHost200 + "$"},
    {"a slash at 201 cuts the host at 200", std::string(201, 'h') + "/x", "%{HTTP_HOST}", false, kHost200},
    {"every regex character escaped", "a$()*+.?[\\]^{|}b-:_/x", "%{HTTP_HOST}", true,
     "a\\$\\(\\)\\*\\+\\.\\?\\[\\\\\\]\\^\\{\\|\\}b-:_"},
    {"the plain form escapes nothing", "a.b/x", "%{HTTP_HOST}", false, "a.b"},
    {"a tail of exactly 4095", "a.b/", kFill4095, false, kFill4095},
    {"a tail of 4096 does not fit", "a.b/", kFill4096, false, ""},
    {"a run before the placeholder that does not fit", "a.b/", kFill4096 + "%{HTTP_HOST}", false, ""},
    {"a host that does not fit keeps the run before it", "abcdef/", kFill4090 + "%{HTTP_HOST}z", false, kFill4090},
    {"a host that fits exactly drops the tail", "abcdef/", kFill4089 + "%{HTTP_HOST}z", false, kFill4089 + "abcdef"},
    {"an escaped host counts its backslashes", "a.b/", kFill4090 + "%{HTTP_HOST}", true, kFill4090 + "a\\.b"},
    {"an escaped host that does not fit", "a.b.c/", kFill4090 + "%{HTTP_HOST}", true, kFill4090},
    {"a NULL url gives an empty host", "", "<%{HTTP_HOST}>", false, "<>"},
};

TEST(UrlRule, ExpansionTable) {
  for (const ExpandCase& c : kExpansions) {
    SCOPED_TRACE(c.name);
    char out[url::kBufferSize];
    std::memset(out, 'Z', sizeof out);
    const size_t n = c.regex ? url::expand_regex(c.url.c_str(), c.tmpl.c_str(), out)
                             : url::expand(c.url.c_str(), c.tmpl.c_str(), out);
    EXPECT_EQ(std::string(out), c.expected);
    EXPECT_EQ(n, c.expected.size());
  }
  char out[url::kBufferSize];
  EXPECT_EQ(url::expand(nullptr, "<%{HTTP_HOST}>", out), 2u);
  EXPECT_STREQ(out, "<>");
  EXPECT_EQ(url::expand("a/", nullptr, out), 0u);
  EXPECT_STREQ(out, "");
}

TEST(UrlRule, TemplateCheckReadsEachPlaceholderAsHost) {
  EXPECT_TRUE(url::check_template("^%{HTTP_HOST}/(a|b)"));
  EXPECT_FALSE(url::check_template("^%{HTTP_HOST}/(a|b"));
  EXPECT_FALSE(url::check_template(nullptr));
  // Only the first 4096 characters are checked: an unclosed group beyond them is not seen.
  EXPECT_TRUE(url::check_template((kFill4096 + "(").c_str()));
}

// A random tail of regex pieces that always compiles.
std::string random_tail(std::mt19937& rng) {
  static const char* const kPieces[] = {"a", "b", "x", "1", "\\.", ".*", "b?", "[ab]", "$", "/", "(a|b)", "\\d+", "A"};
  std::string tail;
  for (uint32_t n = rng() % 6; n > 0; --n) tail += kPieces[rng() % std::size(kPieces)];
  return tail;
}

std::string random_url(std::mt19937& rng) {
  static const char kHostChars[] = "0123456789abcdefghijklmnopqrstuvwxyz:._-";
  static const char kPathChars[] = "ab1xA./";
  std::string url;
  for (uint32_t n = 1 + rng() % 200; n > 0; --n) url += kHostChars[rng() % (sizeof kHostChars - 1)];
  if (url.rfind("http://", 0) == 0) url[0] = 'x';
  if (rng() % 8 == 0) return url;  // no path at all
  url += '/';
  for (uint32_t n = rng() % 10; n > 0; --n) url += kPathChars[rng() % (sizeof kPathChars - 1)];
  return url;
}

TEST(UrlRule, HostClassFormAnswersAsTheTemplateDoes) {
  const uint32_t seed = 20261210;
  printf("seed %u\n", seed);
  std::mt19937 rng(seed);
  for (int r = 0; r < 150; ++r) {
    const std::string text = "^%{HTTP_HOST}/" + random_tail(rng);
    const uint8_t icase = rng() % 2;
    Made object(text.c_str(), icase, url::kRegex);
    ASSERT_NE(object.rule, nullptr) << text;
    ASSERT_NE(object.rule->regex, nullptr) << text;
    url::Pattern templ;
    ASSERT_TRUE(templ.make(text.c_str(), icase, url::kRegex)) << text;
    for (int u = 0; u < 20; ++u) {
      const std::string link = random_url(rng);
      ASSERT_EQ(xcache_rules_ishit(object.rule, link.c_str()) != 0, templ.matches(link.c_str()))
          << "seed " << seed << " rule " << text << " icase " << int(icase) << " url " << link;
    }
  }
}

}  // namespace
}  // namespace policydb::test
