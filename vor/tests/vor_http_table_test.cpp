#include "vor_http_table.h"

#include "cu_malloc.h"
#include "vor_kit.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Table = vor::Owned<vor_http_table, vor_http_table_free>;

constexpr char kTestLabel[] = "test";
using Text = vor::Owned<char, vor::free_as<kTestLabel>>;

std::string str(char* s) {
  Text owned(s);
  return owned ? std::string(owned.get()) : std::string("(null)");
}

Table parse_head(const char* text, std::string* console = nullptr) {
  testing::internal::CaptureStdout();
  Table t(vor_http_table_ParseHeaderStr(text));
  const std::string out = testing::internal::GetCapturedStdout();
  if (console) *console = out;
  return t;
}

Table parse_form(const char* text, std::string* console = nullptr) {
  testing::internal::CaptureStdout();
  Table t(vor_http_table_ParseFormStr(text));
  const std::string out = testing::internal::GetCapturedStdout();
  if (console) *console = out;
  return t;
}

std::vector<std::pair<std::string, std::string>> fields_of(vor_http_table* t) {
  std::vector<std::pair<std::string, std::string>> out;
  const char *name = nullptr, *value = nullptr;
  vor_http_table_RewindField(t);
  while (vor_http_table_GetNextField(t, &name, &value)) out.emplace_back(name, value);
  vor_http_table_RewindField(t);
  return out;
}

TEST(HttpTable, RequestHeadParsesAndWritesBack) {
  const char head[] = "GET /index.html?a=1 HTTP/1.1\r\nHost: x\r\n\r\n";
  Table t = parse_head(head);
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(vor_http_table_GetMethod(t.get()), "GET");
  EXPECT_STREQ(vor_http_table_GetRequest(t.get()), "/index.html?a=1");
  EXPECT_STREQ(vor_http_table_GetField(t.get(), "host"), "x");
  EXPECT_EQ(str(vor_http_table_GetHeaderStr(t.get())), head);

  Table lf = parse_head("GET / HTTP/1.0\nHost: x\nAccept:  */*\n\n");
  ASSERT_NE(lf, nullptr);
  EXPECT_STREQ(vor_http_table_GetField(lf.get(), "Accept"), "*/*");
  EXPECT_EQ(str(vor_http_table_GetHeaderStr(lf.get())), "GET / HTTP/1.0\r\nHost: x\r\nAccept: */*\r\n\r\n");
}

TEST(HttpTable, ResponseHeadKeepsStatusTextAndValue) {
  Table t = parse_head("  \r\nHTTP/1.1 404 Not Found\r\nServer: s\r\n\r\n");
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(vor_http_table_GetStatus(t.get()), "404 Not Found");
  EXPECT_EQ(vor_http_table_GetStatusValue(t.get()), 404);
  EXPECT_EQ(vor_http_table_GetMethod(t.get()), nullptr);
  EXPECT_EQ(str(vor_http_table_GetHeaderStr(t.get())), "HTTP/1.1 404 Not Found\r\nServer: s\r\n\r\n");
}

struct BadHead {
  const char* text;
  const char* part;
};

const BadHead kBadHeads[] = {
    {"GET\t/ HTTP/1.1\r\nHost: x\r\n\r\n", "'version' error in vor_http_table_ParseHeaderStr() 2!"},
    {"GET / HTTP/2.0\r\nHost: x\r\n\r\n", "'version' error in vor_http_table_ParseHeaderStr() 1!"},
    {"GET /\r\nHost: x\r\n\r\n", "'request' error"},
    {"HTTP/1.1 200 OK (fine)\r\n\r\n", "'status' error"},
    {"HTTP/1.1 200 OK", "'status' error"},
    {"GET / HTTP/1.1 x\r\nHost: x\r\n\r\n", "'newline' error"},
    {"GET / HTTP/1.1\r\nHost:\r\n\r\n", "'content' error"},
    {"GET / HTTP/1.1\r\nHost: x", "'content' error"},
    {"GET / HTTP/1.1\r\nHo(st: x\r\n\r\n", "'field' error"},
    {"GET / HTTP/1.1\r\nHost x\r\n\r\n", "':' error"},
};

TEST(HttpTable, MalformedHeadsNameTheFailingPart) {
  for (const auto& c : kBadHeads) {
    SCOPED_TRACE(c.text);
    std::string console;
    EXPECT_EQ(parse_head(c.text, &console), nullptr);
    EXPECT_EQ(console.rfind("error: parse ", 0), 0u) << console;
    EXPECT_NE(console.find(c.part), std::string::npos) << console;
    EXPECT_NE(console.find(std::string("!\n") + c.text + "\n"), std::string::npos) << console;
  }
}

TEST(HttpTable, RepeatedFieldsAreKeptByParsingAndFoldedByClone) {
  Table t = parse_head("GET / HTTP/1.1\r\nCache-Control: a\r\nHost: h\r\ncache-control: b\r\n\r\n");
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(vor_http_table_GetField(t.get(), "Cache-Control"), "a");
  EXPECT_STREQ(vor_http_table_GetNthField(t.get(), 1, "CACHE-CONTROL"), "b");
  EXPECT_EQ(vor_http_table_GetNthField(t.get(), 2, "Cache-Control"), nullptr);
  EXPECT_EQ(vor_http_table_GetNthField(t.get(), -1, "Cache-Control"), nullptr);
  Table c(vor_http_table_clone(t.get()));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(fields_of(c.get()), (std::vector<std::pair<std::string, std::string>>{{"cache-control", "b"}, {"Host", "h"}}));
  EXPECT_STREQ(vor_http_table_GetMethod(c.get()), "GET");
  EXPECT_FALSE(vor_http_table_GetNextField(t.get(), nullptr, nullptr));  // the source's cursor was walked
}

TEST(HttpTable, SetFieldReplacesInPlaceExceptSetCookie) {
  Table t(vor_http_table_make());
  EXPECT_EQ(vor_http_table_GetStatusValue(t.get()), -1);
  ASSERT_TRUE(vor_http_table_SetField(t.get(), "Content-Type", "text/plain"));
  ASSERT_TRUE(vor_http_table_SetField(t.get(), "X", "1"));
  ASSERT_TRUE(vor_http_table_SetField(t.get(), "content-type", "a/b"));                   // shorter: in place
  ASSERT_TRUE(vor_http_table_SetField(t.get(), "CONTENT-TYPE", "application/longer"));     // longer: new copy
  ASSERT_TRUE(vor_http_table_SetField(t.get(), "Set-Cookie", "a=1"));
  ASSERT_TRUE(vor_http_table_SetField(t.get(), "set-cookie", "b=2"));
  EXPECT_EQ(fields_of(t.get()), (std::vector<std::pair<std::string, std::string>>{
                                    {"CONTENT-TYPE", "application/longer"}, {"X", "1"}, {"Set-Cookie", "a=1"}, {"set-cookie", "b=2"}}));
  vor_http_table_UnsetField(t.get(), "set-COOKIE");
  EXPECT_STREQ(vor_http_table_GetField(t.get(), "Set-Cookie"), "b=2");
  vor_http_table_ZeroField(t.get());
  EXPECT_EQ(vor_http_table_GetField(t.get(), "X"), nullptr);
}

TEST(HttpTable, HeadTextsRefuseLineBreaks) {
  Table t(vor_http_table_make());
  ASSERT_TRUE(vor_http_table_SetMethod(t.get(), "GET"));
  ASSERT_TRUE(vor_http_table_SetRequest(t.get(), "/"));
  ASSERT_TRUE(vor_http_table_SetField(t.get(), "Host", "x"));
  EXPECT_FALSE(vor_http_table_SetField(t.get(), "Host", "x\r\nEvil: 1"));
  EXPECT_FALSE(vor_http_table_SetField(t.get(), "X-A\nB", "1"));
  EXPECT_FALSE(vor_http_table_SetField(t.get(), "Location", "/a\rb"));
  EXPECT_FALSE(vor_http_table_SetMethod(t.get(), "GET\r\nX: y"));
  EXPECT_FALSE(vor_http_table_SetRequest(t.get(), "/\n"));
  EXPECT_FALSE(vor_http_table_SetStatus(t.get(), "200 OK\r\nX: y"));
  EXPECT_EQ(str(vor_http_table_GetHeaderStr(t.get())), "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
}

TEST(HttpTable, StatusValueRules) {
  Table t(vor_http_table_make());
  ASSERT_TRUE(vor_http_table_SetStatus(t.get(), " -12abc"));
  EXPECT_EQ(vor_http_table_GetStatusValue(t.get()), -12);
  ASSERT_TRUE(vor_http_table_SetStatus(t.get(), "OK"));
  EXPECT_EQ(vor_http_table_GetStatusValue(t.get()), 0);
  vor_http_table_UnsetStatus(t.get());
  EXPECT_EQ(vor_http_table_GetStatusValue(t.get()), 0);
  EXPECT_EQ(vor_http_table_GetStatus(t.get()), nullptr);
  vor_http_table_clean(t.get());
  EXPECT_EQ(vor_http_table_GetStatusValue(t.get()), -1);
  EXPECT_EQ(vor_http_table_GetStatusValue(nullptr), -1);
}

TEST(HttpTable, HeaderStrNeedsFieldsAndAStartLine) {
  Table t(vor_http_table_make());
  ASSERT_TRUE(vor_http_table_SetMethod(t.get(), "GET"));
  EXPECT_EQ(vor_http_table_GetHeaderStr(t.get()), nullptr);
  vor_http_table_UnsetMethod(t.get());
  ASSERT_TRUE(vor_http_table_SetField(t.get(), "A", "1"));
  testing::internal::CaptureStdout();
  EXPECT_EQ(vor_http_table_GetHeaderStr(t.get()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: method or status is NULL in vor_http_table_GetHeaderStr()!\n");
  ASSERT_TRUE(vor_http_table_SetMethod(t.get(), "OPTIONS"));
  EXPECT_EQ(str(vor_http_table_GetHeaderStr(t.get())), "OPTIONS HTTP/1.1\r\nA: 1\r\n\r\n");  // no target
}

TEST(HttpTable, PostWithParametersGetsItsContentFields) {
  Table t(vor_http_table_make());
  ASSERT_TRUE(vor_http_table_SetMethod(t.get(), "post"));
  ASSERT_TRUE(vor_http_table_SetRequest(t.get(), "/api"));
  ASSERT_TRUE(vor_http_table_SetField(t.get(), "Content-Length", "999"));
  ASSERT_TRUE(vor_http_table_SetForm(t.get(), "q", "a b&c"));
  ASSERT_TRUE(vor_http_table_SetForm(t.get(), "n", "1"));
  const std::string body = str(vor_http_table_GetFormStr(t.get()));
  EXPECT_EQ(body, "q=a+b%26c&n=1");
  EXPECT_EQ(vor_http_table_GetFormStrLen(t.get()), static_cast<int32_t>(body.size()));
  EXPECT_EQ(str(vor_http_table_GetHeaderStr(t.get())),
            "post /api HTTP/1.1\r\nContent-Length: 13\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n");
}

TEST(HttpTable, FormTextParsesWithItsLength) {
  Table t = parse_form("a=1&b=x%20y&&c");
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(vor_http_table_GetFormRaw(t.get(), "a"), "1");
  EXPECT_STREQ(vor_http_table_GetForm(t.get(), "b"), "x%20y");
  EXPECT_STREQ(vor_http_table_GetFormRaw(t.get(), "b"), "x y");
  EXPECT_STREQ(vor_http_table_GetFormRaw(t.get(), "c"), "");
  EXPECT_EQ(vor_http_table_GetFormRaw(t.get(), "B"), nullptr);  // form names keep their case
  EXPECT_EQ(vor_http_table_GetFormStrLen(t.get()), 14);
  EXPECT_EQ(str(vor_http_table_GetFormStr(t.get())), "a=1&b=x%20y&c=");
  EXPECT_EQ(vor_http_table_GetMethod(t.get()), nullptr);

  Table q = parse_form("  ?x=1&x=2&y=a=b?c");
  ASSERT_NE(q, nullptr);
  EXPECT_STREQ(vor_http_table_GetNthFormRaw(q.get(), 1, "x"), "2");
  EXPECT_STREQ(vor_http_table_GetNthForm(q.get(), 0, "x"), "1");
  EXPECT_STREQ(vor_http_table_GetFormRaw(q.get(), "y"), "a=b?c");
  EXPECT_EQ(str(vor_http_table_GetFormStr(q.get())), "x=1&x=2&y=a=b?c");

  std::string console;
  EXPECT_EQ(parse_form("=a", &console), nullptr);
  EXPECT_EQ(console, "error: parse 'name' error in vor_http_table_ParseFormStr()!\n");
}

TEST(HttpTable, FormLengthFollowsSetAndUnset) {
  Table t(vor_http_table_make());
  ASSERT_TRUE(vor_http_table_SetForm(t.get(), "a", "1"));
  ASSERT_TRUE(vor_http_table_SetForm(t.get(), "bb", "x y"));
  ASSERT_TRUE(vor_http_table_SetForm(t.get(), "a", "2"));
  EXPECT_EQ(vor_http_table_GetFormStrLen(t.get()), static_cast<int32_t>(std::string("a=1&bb=x+y&a=2").size()));
  vor_http_table_UnsetForm(t.get(), "a");
  EXPECT_EQ(str(vor_http_table_GetFormStr(t.get())), "bb=x+y&a=2");
  EXPECT_EQ(vor_http_table_GetFormStrLen(t.get()), 10);
  vor_http_table_UnsetForm(t.get(), "bb");
  vor_http_table_UnsetForm(t.get(), "a");
  EXPECT_EQ(vor_http_table_GetFormStrLen(t.get()), 0);
  EXPECT_EQ(vor_http_table_GetFormStr(t.get()), nullptr);
  ASSERT_TRUE(vor_http_table_SetForm(t.get(), "z", ""));
  EXPECT_EQ(str(vor_http_table_GetFormStr(t.get())), "z=");
  vor_http_table_ZeroForm(t.get());
  EXPECT_EQ(vor_http_table_GetFormStrLen(t.get()), 0);
}

TEST(HttpTable, CursorsWalkFieldsAndForms) {
  Table t = parse_form("a=1&b=%41");
  const char *name = nullptr, *escaped = nullptr, *decoded = nullptr;
  ASSERT_TRUE(vor_http_table_GetNextForm(t.get(), &name, &escaped, &decoded));
  EXPECT_STREQ(name, "a");
  ASSERT_TRUE(vor_http_table_GetNextForm(t.get(), &name, &escaped, &decoded));
  EXPECT_STREQ(escaped, "%41");
  EXPECT_STREQ(decoded, "A");
  EXPECT_FALSE(vor_http_table_GetNextForm(t.get(), nullptr, nullptr, nullptr));
  vor_http_table_RewindForm(t.get());
  EXPECT_TRUE(vor_http_table_GetNextForm(t.get(), nullptr, nullptr, nullptr));
}

// Random parameters (any bytes but NUL) written as a form string and parsed back.
TEST(HttpTable, RandomFormsRoundTrip) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    Table t(vor_http_table_make());
    std::vector<std::pair<std::string, std::string>> model;
    const int n = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < n; ++i) {
      std::string name = "n" + std::to_string(rng() % 4), value;
      for (uint32_t k = rng() % 12; k > 0; --k) value.push_back(static_cast<char>(1 + rng() % 255));
      ASSERT_TRUE(vor_http_table_SetForm(t.get(), name.c_str(), value.c_str()));
      model.emplace_back(name, value);
    }
    const std::string text = str(vor_http_table_GetFormStr(t.get()));
    EXPECT_EQ(static_cast<int32_t>(text.size()), vor_http_table_GetFormStrLen(t.get()));
    Table back = parse_form(text.c_str());
    ASSERT_NE(back, nullptr) << text;
    EXPECT_EQ(vor_http_table_GetFormStrLen(back.get()), vor_http_table_GetFormStrLen(t.get()));
    const char *name = nullptr, *decoded = nullptr;
    for (const auto& kv : model) {
      ASSERT_TRUE(vor_http_table_GetNextForm(back.get(), &name, nullptr, &decoded));
      EXPECT_EQ(name, kv.first);
      EXPECT_EQ(decoded, kv.second);
    }
    Table copy(vor_http_table_clone(t.get()));
    EXPECT_EQ(str(vor_http_table_GetFormStr(copy.get())), text);
  }
}

TEST(HttpTable, NullArgumentsDoNothing) {
  EXPECT_EQ(vor_http_table_ParseHeaderStr(nullptr), nullptr);
  EXPECT_EQ(vor_http_table_ParseFormStr(nullptr), nullptr);
  EXPECT_FALSE(vor_http_table_SetField(nullptr, "a", "b"));
  Table t(vor_http_table_make());
  EXPECT_FALSE(vor_http_table_SetField(t.get(), nullptr, "b"));
  EXPECT_FALSE(vor_http_table_SetForm(t.get(), "a", nullptr));
  EXPECT_EQ(vor_http_table_GetField(t.get(), nullptr), nullptr);
  EXPECT_EQ(vor_http_table_clone(nullptr), nullptr);
  vor_http_table_free(nullptr);
}

}  // namespace
