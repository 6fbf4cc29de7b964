// JSON members: escaping, numbers, the bounded formatter, and texts that python's json loads back.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "cu_wtb.h"
#include "policydb.h"
#include "vor_tempdir.h"

namespace {

struct WtbFree {
  void operator()(wtb* w) const { wtb_free(w); }
};
using Buffer = std::unique_ptr<wtb, WtbFree>;

std::string member(const char* name, const char* value) {
  Buffer b(wtb_make(nullptr, 0));
  json_StringValue(b.get(), name, value);
  return wtb_GetTextString(b.get());
}

struct StringCase {
  const char* value;
  const char* written;
};

const StringCase kStrings[] = {
    {"a/b\"c", R"("k":"a\/b\"c")"},
    {nullptr, R"("k":"")"},
    {"", R"("k":"")"},
    {"\b\t\n\f\r\\", R"("k":"\b\t\n\f\r\\")"},
    {"\x01x\x1f", R"("k":"\u0001x\u001f")"},
    {"\x7f\xc3\xa9", "\"k\":\"\x7f\xc3\xa9\""},  // DEL and UTF-8 bytes as they are
};

TEST(Json, StringValueEscapes) {
  for (const StringCase& c : kStrings) {
    SCOPED_TRACE(c.written);
    EXPECT_EQ(member("k", c.value), c.written);
  }
}

TEST(Json, MembersGoInAtTheCursorWithoutSeparators) {
  Buffer b(wtb_make("{}", 0));
  wtb_SetPos(b.get(), 1);
  json_StringValue(b.get(), "Return", "True");
  json_Int32Value(b.get(), "n", -5);
  json_Int64Value(b.get(), "big", 1000000000000);
  json_Int32Value(b.get(), "wrap", static_cast<int32_t>(2147483648u));
  json_Int64Value(b.get(), "min", INT64_MIN);
  EXPECT_STREQ(wtb_GetTextString(b.get()),
               R"({"Return":"True""n":"-5""big":"1000000000000""wrap":"-2147483648""min":"-9223372036854775808"})");
  json_StringValue(nullptr, "x", "y");
  json_Int32Value(nullptr, "x", 1);
  json_Int64Value(nullptr, "x", 1);
}

struct FormatCase {
  const char* text;
  int32_t limit;
  const char* written;
  int32_t count;
};

const FormatCase kFormats[] = {
    {"abcdef", 3, "abc", 3},
    {"\"\"\"", 3, R"(\"\"\")", 6},
    {"ab", 10, "ab", 2},
    {"a\x01" "b", 3, "a?b", 3},   // no room for \u0001 in 2 x limit + 1 bytes
    {"/\n", 1, R"(\/)", 2},
    {"", 4, "", 0},
    {"abc", 0, "", 0},
};

TEST(Json, FormatStringStaysInTwiceTheLimit) {
  for (const FormatCase& c : kFormats) {
    SCOPED_TRACE(c.written);
    std::vector<char> out(2 * c.limit + 1, '#');
    EXPECT_EQ(json_FormatString(out.data(), c.text, c.limit), c.count);
    EXPECT_STREQ(out.data(), c.written);
  }
  char one[1];
  EXPECT_EQ(json_FormatString(one, nullptr, 0), 0);
  EXPECT_EQ(one[0], '\0');
}

// Random UTF-8 texts with every control character: each member, wrapped in braces, must load in
// python and give back the same bytes.
TEST(Json, RandomTextsLoadBackInPython) {
  std::mt19937 rng(20261210);
  printf("seed 20261210\n");
  vor::test::TempDir tmp;
  std::string members;
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    std::string text;
    const int len = static_cast<int>(rng() % 40);
    for (int j = 0; j < len; ++j) {
      const uint32_t pick = rng() % 4;
      uint32_t cp = pick == 0 ? 1 + rng() % 0x1f : pick == 1 ? 0x20 + rng() % 0x60 : pick == 2 ? 0x80 + rng() % 0x780
                                                                                                : 0x800 + rng() % 0xd000;
      if (cp < 0x80) {
        text += static_cast<char>(cp);
      } else if (cp < 0x800) {
        text += static_cast<char>(0xc0 | (cp >> 6));
        text += static_cast<char>(0x80 | (cp & 0x3f));
      } else {
        text += static_cast<char>(0xe0 | (cp >> 12));
        text += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        text += static_cast<char>(0x80 | (cp & 0x3f));
      }
    }
    members += "{" + member("v", text.c_str()) + "}\n";
    for (unsigned char c : text) {
      char hex[3];
      snprintf(hex, sizeof hex, "%02x", c);
      expected += hex;
    }
    expected += "\n";
  }
  vor::test::write_file(tmp.file("members"), members);
  const std::string script =
      "import json,sys\n"
      "for line in open(sys.argv[1], encoding='utf-8'):\n"
      "    print(json.loads(line)['v'].encode('utf-8').hex())\n";
  vor::test::write_file(tmp.file("load.py"), script);
  EXPECT_EQ(vor::test::shell_output("python3 " + tmp.file("load.py") + " " + tmp.file("members") + " 2>&1"), expected);
}

}  // namespace
