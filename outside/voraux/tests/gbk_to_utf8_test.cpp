// GBK to UTF-8 against the iconv command-line tool, with bad, cut and squeezed input.
#include "gbk_to_utf8.h"

#include "gbk_test_util.h"
#include "utf8_check.h"
#include "vor_tempdir.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using vor::test::iconv_from_gbk;
using vor::test::to_gbk;

// The system's own GBK texts (locations and rule kinds), as UTF-8.
const char* const kTexts[] = {"其它", "本机", "局域网", "通配", "正则", "精确",
                              "北京 Beijing 上海", "a其b它c", "１２３ＡＢＣ"};

std::string convert(const std::string& gbk, int32_t capacity = 256, int32_t len = -2) {
  std::string out(static_cast<size_t>(capacity) + 8, '\x7f');
  char* r = gbk_to_utf8_static(gbk_to_utf8_make(), gbk.data(), len == -2 ? static_cast<int32_t>(gbk.size()) : len,
                               out.data(), capacity, 0);
  EXPECT_EQ(r, out.data());
  const size_t end = out.find('\0');
  EXPECT_LT(end, static_cast<size_t>(capacity));
  EXPECT_EQ(out[static_cast<size_t>(capacity)], '\x7f');  // nothing written past the capacity
  return out.substr(0, end);
}

TEST(GbkToUtf8, SystemTextsMatchIconvTool) {
  ASSERT_NE(gbk_to_utf8_make(), nullptr);
  for (const char* text : kTexts) {
    SCOPED_TRACE(text);
    const std::string gbk = to_gbk(text);
    ASSERT_FALSE(gbk.empty());
    ASSERT_NE(gbk, text);  // really GBK bytes
    EXPECT_EQ(convert(gbk), iconv_from_gbk(gbk));
    EXPECT_EQ(convert(gbk), text);
    EXPECT_EQ(convert(gbk, 256, -1), text);  // up to the NUL
  }
}

struct BadCase {
  const char* name;
  std::string gbk;
  std::string utf8;
};

TEST(GbkToUtf8, BadAndCutBytesGiveQuestionMarks) {
  const std::string qi = to_gbk("其");  // two bytes
  const std::string ta = to_gbk("它");
  const BadCase cases[] = {
      {"cut lead at the end", qi + ta.substr(0, 1), "其?"},
      {"lead alone", std::string("\x81"), "?"},
      {"lead before blank", std::string("\x81 x"), "? x"},
      {"0xff", std::string("a\xff" "b\xff" "c"), "a?b?c"},
      {"bad then good", std::string("\xff") + qi, "?其"},
      {"district cut at 10 bytes", (std::string("a") + qi + ta + qi + ta + qi).substr(0, 10), "a其它其它?"},
      {"NUL ends the text", qi + std::string("\0", 1) + ta, "其"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = convert(c.gbk);
    EXPECT_EQ(out, c.utf8);
    EXPECT_TRUE(vor::test::valid_utf8(out));
  }
}

TEST(GbkToUtf8, SmallCapacitiesNeverCutACharacter) {
  const std::string gbk = to_gbk("a其它b局域网");
  const std::string full = "a其它b局域网";
  for (int32_t capacity = 1; capacity <= 8; ++capacity) {
    SCOPED_TRACE(capacity);
    const std::string out = convert(gbk, capacity);
    EXPECT_TRUE(vor::test::valid_utf8(out));
    EXPECT_EQ(full.compare(0, out.size(), out), 0);  // a whole-character prefix
    EXPECT_LE(out.size(), static_cast<size_t>(capacity - 1));
    EXPECT_GT(out.size() + 3, static_cast<size_t>(capacity - 1));  // no room left for one more
  }
}

TEST(GbkToUtf8, BadArgumentsAnswerNull) {
  char out[8] = "x";
  gbk_to_utf8* cv = gbk_to_utf8_make();
  EXPECT_EQ(gbk_to_utf8_static(nullptr, "a", 1, out, 8, 0), nullptr);
  EXPECT_EQ(gbk_to_utf8_static(cv, "a", 1, nullptr, 8, 0), nullptr);
  EXPECT_EQ(gbk_to_utf8_static(cv, "a", 1, out, 0, 0), nullptr);
  EXPECT_EQ(gbk_to_utf8_static(cv, "a", 1, out, 8, 1), nullptr);
  EXPECT_EQ(gbk_to_utf8_static(cv, nullptr, 1, out, 8, 0), out);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(gbk_to_utf8_make(), cv);  // one converter
}

}  // namespace
