#include "cu_escape.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "vor_kit.h"

namespace {

using Owned = vor::Owned<char, cu_url_escape_free>;

std::string escaped(const char* text, int32_t length = 0) {
  Owned s(cu_url_escape_malloc(text, length));
  EXPECT_NE(s, nullptr);
  return s ? std::string(s.get()) : std::string();
}

std::string unescaped(const std::string& text) {
  Owned s(cu_url_unescape_malloc(text.data(), static_cast<int32_t>(text.size())));
  EXPECT_NE(s, nullptr);
  return s ? std::string(s.get()) : std::string();
}

TEST(UrlEscape, KeepsAlnumAndStarTurnsBlankToPlusAndHexesTheRest) {
  EXPECT_EQ(escaped("a b.c"), "a+b%2Ec");
  EXPECT_EQ(escaped("x*y"), "x*y");
  EXPECT_EQ(escaped("\xE4"), "%E4");
  EXPECT_EQ(escaped("-._~/"), "%2D%2E%5F%7E%2F");
  EXPECT_EQ(escaped("abcdef", 3), "abc");
}

TEST(UrlEscape, NulInsideTheLengthIsEscaped) {
  const char text[] = {'a', '\0', 'b'};
  EXPECT_EQ(escaped(text, 3), "a%00b");
}

TEST(UrlEscape, RefusesNullTextAndNegativeLength) {
  EXPECT_EQ(cu_url_escape_malloc(nullptr, 0), nullptr);
  EXPECT_EQ(cu_url_unescape_malloc(nullptr, 0), nullptr);
  EXPECT_EQ(cu_url_escape_malloc("a", -1), nullptr);
  EXPECT_EQ(cu_url_unescape_malloc("a", -1), nullptr);
  cu_url_escape_free(nullptr);
  cu_url_unescape_free(nullptr);
}

struct UnescapeCase {
  const char* in;
  const char* out;
};
const UnescapeCase kUnescapes[] = {
    {"a+b%2ec", "a b.c"},   // lower-case digits are read too
    {"a+b%2Ec", "a b.c"},
    {"100%", "100%"},       // '%' at the very end
    {"%zz", "%zz"},
    {"%4", "%4"},           // one digit before the end
    {"%4z", "%4z"},         // one digit: nothing after it is lost
    {"%+f", "% f"},         // a sign is not a digit (the '+' still becomes a blank)
    {"% 1", "% 1"},         // neither is a blank
    {"%-1", "%-1"},
    {"%%41", "%A"},
    {"%41%42", "AB"},
    {"a%00b", "a"},         // a decoded NUL ends the visible string
};

TEST(UrlUnescape, Table) {
  for (const auto& c : kUnescapes) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(unescaped(c.in), c.out);
  }
}

TEST(UrlUnescape, NeverReadsPastTheGivenLength) {
  // The digits after the '%' lie outside the length: the '%' stays literal.
  const std::string text = "ab%41";
  for (int32_t len = 1; len <= 4; ++len) {
    Owned s(cu_url_unescape_malloc(text.data(), len));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s.get()), text.substr(0, len));
  }
  // Exactly on a heap block of the right size, so ASan sees any over-read.
  auto heap = std::make_unique<char[]>(4);
  std::memcpy(heap.get(), "x%4F", 4);
  Owned s(cu_url_unescape_malloc(heap.get(), 3));
  EXPECT_STREQ(s.get(), "x%4");
}

TEST(UrlUnescape, UnescapeThenEscapeGivesTheTextBack) {
  Owned once(cu_url_unescape_malloc("a+b%2Ec", 0));
  EXPECT_EQ(escaped(once.get()), "a+b%2Ec");
}

TEST(UrlEscape, EveryByteValueRoundTrips) {
  std::string all;
  for (int b = 1; b <= 255; ++b) all.push_back(static_cast<char>(b));
  const std::string enc = escaped(all.c_str());
  EXPECT_EQ(unescaped(enc), all);
  for (int b = 1; b <= 255; ++b) {
    const std::string one(1, static_cast<char>(b));
    SCOPED_TRACE(b);
    EXPECT_EQ(unescaped(escaped(one.c_str())), one);
  }
}

}  // namespace
