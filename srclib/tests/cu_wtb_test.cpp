#include "cu_wtb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "cu_wtb_record.h"
#include "vor_kit.h"

namespace {

using WtbPtr = vor::Owned<wtb, wtb_free>;

WtbPtr make(const char* text, int32_t capacity = 0) { return WtbPtr(wtb_make(text, capacity)); }

std::string text_of(wtb* w) { return std::string(wtb_GetTextString(w), size_t(wtb_GetTextLength(w))); }

TEST(Wtb, MakeWithDefaults) {
  auto w = make(nullptr);
  ASSERT_TRUE(w);
  EXPECT_STREQ(wtb_GetTextString(w.get()), "");
  EXPECT_EQ(w->capacity, 16383);
  EXPECT_EQ(wtb_GetPos(w.get()), 0);
  EXPECT_STREQ(wtb_GetTextString(nullptr), "");
  wtb_free(nullptr);
}

TEST(Wtb, MakeKeepsTheFirstCapacityBytesAndTheCursorAtZero) {
  auto w = make("abcdef", 3);
  EXPECT_EQ(text_of(w.get()), "abc");
  EXPECT_EQ(wtb_GetPos(w.get()), 0);
  EXPECT_TRUE(wtb_InsertString(w.get(), "XY"));
  EXPECT_EQ(text_of(w.get()), "XYabc");
  EXPECT_EQ(wtb_GetPos(w.get()), 2);
}

TEST(Wtb, SetPosNormalises) {
  auto w = make("ab\r\ncd");
  EXPECT_EQ(wtb_SetPos(w.get(), 100), 6);
  EXPECT_EQ(wtb_SetPos(w.get(), 3), 2);  // between CR and LF: onto the CR
  EXPECT_EQ(wtb_SetPos(w.get(), -4), 0);
}

TEST(Wtb, CrLfMovesAndDeletesAsOne) {
  auto w = make("ab\r\ncd");
  wtb_SetPos(w.get(), 2);
  wtb_MoveRight(w.get());
  EXPECT_EQ(wtb_GetPos(w.get()), 4);
  wtb_MoveLeft(w.get());
  EXPECT_EQ(wtb_GetPos(w.get()), 2);
  wtb_SetPos(w.get(), 4);
  EXPECT_EQ(wtb_BackSpace(w.get()), 2);
  EXPECT_EQ(text_of(w.get()), "abcd");

  auto v = make("ab\r\ncd");
  wtb_SetPos(v.get(), 2);
  wtb_DeleteChar(v.get());
  EXPECT_EQ(text_of(v.get()), "abcd");
  EXPECT_EQ(wtb_GetPos(v.get()), 2);
}

TEST(Wtb, InsertCharBackspaceAndNul) {
  auto w = make("ab");
  EXPECT_TRUE(wtb_InsertChar(w.get(), 8));  // nothing before position 0
  EXPECT_EQ(text_of(w.get()), "ab");
  EXPECT_FALSE(wtb_InsertChar(w.get(), 0));
  EXPECT_FALSE(wtb_InsertChar(w.get(), 0x100));  // only the low byte counts
  EXPECT_TRUE(wtb_InsertChar(w.get(), 0x178));   // 'x'
  EXPECT_TRUE(wtb_InsertChar(w.get(), 8));
  EXPECT_EQ(text_of(w.get()), "ab");
  EXPECT_FALSE(wtb_InsertChar(nullptr, 'a'));
  EXPECT_FALSE(wtb_InsertString(nullptr, "a"));
  EXPECT_FALSE(wtb_InsertString(w.get(), nullptr));
  EXPECT_TRUE(wtb_InsertString(w.get(), ""));
}

TEST(Wtb, LineEndsBeforeTheCrOfCrLf) {
  auto w = make("abc\r\nde");
  wtb_SetPos(w.get(), 1);
  EXPECT_EQ(wtb_GetLineEnd(w.get()), 3);
  EXPECT_EQ(wtb_GetLineLength(w.get()), 3);
  EXPECT_TRUE(wtb_IsLastLine(w.get()) == false);
  wtb_SetPos(w.get(), 6);
  EXPECT_EQ(wtb_GetLineStart(w.get()), 5);
  EXPECT_STREQ(wtb_GetLineString(w.get()), "de");
  EXPECT_EQ(wtb_GetColNumber(w.get()), 1);
  EXPECT_EQ(wtb_GetLineNumber(w.get()), 1);
  EXPECT_TRUE(wtb_IsLastLine(w.get()));
}

TEST(Wtb, VerticalMovesClampTheColumn) {
  auto w = make("abcdefg\nhi\nklmnopq");
  wtb_SetPos(w.get(), 5);
  wtb_MoveDown(w.get());
  EXPECT_EQ(wtb_GetPos(w.get()), 10);  // end of "hi"
  wtb_MoveDown(w.get());
  EXPECT_EQ(wtb_GetPos(w.get()), 13);  // column 2 kept from "hi"
  wtb_MoveDown(w.get());
  EXPECT_EQ(wtb_GetPos(w.get()), 13);  // last line
  wtb_SetPos(w.get(), 3);
  wtb_MoveUp(w.get());
  EXPECT_EQ(wtb_GetPos(w.get()), 3);  // line 0
  wtb_SetPos(w.get(), 17);
  wtb_MoveUpToFirstLine(w.get());
  EXPECT_EQ(wtb_GetPos(w.get()), 2);
  wtb_MoveDownToLastLine(w.get());
  EXPECT_EQ(wtb_GetPos(w.get()), 13);
  EXPECT_EQ(wtb_SetLineNumber(w.get(), 1), 1);
  EXPECT_EQ(wtb_GetPos(w.get()), 8);
  EXPECT_EQ(wtb_SetLineNumber(w.get(), 50), 2);
  EXPECT_EQ(wtb_SetLineNumber(w.get(), -1), 0);
  EXPECT_EQ(wtb_GetPos(w.get()), 0);
  wtb_SetPos(w.get(), 9);
  EXPECT_EQ(wtb_SetColNumber(w.get(), 7), 2);
  EXPECT_EQ(wtb_GetPos(w.get()), 10);
}

TEST(Wtb, CountsLines) {
  EXPECT_EQ(wtb_CalNumOfLines(make("no break").get()), 0);
  EXPECT_EQ(wtb_CalNumOfLines(make("one\n").get()), 1);
  EXPECT_EQ(wtb_CalNumOfLines(make("a\r\nb\r\n").get()), 2);
}

TEST(Wtb, ReplaceString) {
  auto w = make("abcdef");
  wtb_SetPos(w.get(), 1);
  EXPECT_TRUE(wtb_ReplaceString(w.get(), 2, "XYZ"));
  EXPECT_EQ(text_of(w.get()), "aXYZdef");
  EXPECT_EQ(wtb_GetPos(w.get()), 4);
  EXPECT_FALSE(wtb_ReplaceString(w.get(), 4, "q"));
  EXPECT_FALSE(wtb_ReplaceString(w.get(), -1, "q"));
  EXPECT_FALSE(wtb_ReplaceString(w.get(), 1, nullptr));
  EXPECT_EQ(text_of(w.get()), "aXYZdef");
}

TEST(Wtb, WordsWithAndWithoutExtraCharacters) {
  auto w = make("  foo_bar baz\r\n  next");
  wtb_SetPos(w.get(), 0);
  EXPECT_EQ(wtb_GetNextWordStart(w.get(), nullptr, 0), 2);
  EXPECT_EQ(wtb_GetNextWordEnd(w.get(), nullptr, 0), 5);
  EXPECT_EQ(wtb_GetNextWordLength(w.get(), "_", 0), 7);
  wtb_SetPos(w.get(), 13);  // end of the first line
  EXPECT_EQ(wtb_GetNextWordStart(w.get(), nullptr, 1), 13);
  EXPECT_EQ(wtb_GetNextWordLength(w.get(), nullptr, 1), 0);
  EXPECT_EQ(wtb_GetNextWordStart(w.get(), nullptr, 0), 17);
  EXPECT_EQ(wtb_GetNextWordLength(w.get(), nullptr, 0), 4);
  wtb_SetPos(w.get(), 17);
  EXPECT_EQ(wtb_GetPrevWordEnd(w.get(), nullptr, 0), 13);
  EXPECT_EQ(wtb_GetPrevWordStart(w.get(), nullptr, 0), 10);
  EXPECT_EQ(wtb_GetPrevWordEnd(w.get(), nullptr, 1), 15);  // stops after the LF
  EXPECT_EQ(wtb_GetPrevWordLength(w.get(), nullptr, 1), 0);
  wtb_SetPos(w.get(), 9);
  EXPECT_EQ(wtb_GetPrevWordStart(w.get(), nullptr, 0), 6);
  EXPECT_EQ(wtb_GetPrevWordStart(w.get(), "_", 0), 2);
  auto high = make("\xc3\xa9t\xc3\xa9 x");
  EXPECT_EQ(wtb_GetNextWordLength(high.get(), nullptr, 0), 5);  // bytes of 128 and more are word characters
}

TEST(Wtb, DeleteLineCases) {
  struct Case {
    const char* text;
    int32_t pos;
    const char* after;
    int32_t cursor;
  } kCases[] = {
      {"ab\r\ncd\r\nef", 5, "ab\r\nef", 4},  // a line and its CR LF
      {"ab\ncd", 4, "ab\n", 3},              // last line: the break before it stays
      {"ab\r\n", 4, "ab", 2},                // empty last line: the break before it goes
      {"ab\n", 3, "ab", 2},
      {"ab\n\ncd", 3, "ab\n\ncd", 3},        // empty line followed by a break: unchanged
      {"", 0, "", 0},
      {"\nab", 0, "\nab", 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    auto w = make(c.text);
    wtb_SetPos(w.get(), c.pos);
    wtb_DeleteLine(w.get());
    EXPECT_EQ(text_of(w.get()), c.after);
    EXPECT_EQ(wtb_GetPos(w.get()), c.cursor);
  }
}

TEST(Wtb, GrowsTo32767AtThe16384thByte) {
  auto w = make(nullptr);
  for (int i = 0; i < 16383; ++i) ASSERT_TRUE(wtb_InsertChar(w.get(), 'a'));
  EXPECT_EQ(w->capacity, 16383);
  ASSERT_TRUE(wtb_InsertChar(w.get(), 'a'));
  EXPECT_EQ(w->capacity, 32767);
}

TEST(Wtb, LargeInsertLeavesASaneCapacity) {
  auto w = make(nullptr);
  const std::string kb(1024, 'k');
  ASSERT_TRUE(wtb_InsertString(w.get(), kb.c_str()));
  EXPECT_EQ(w->capacity, 16383);
  const std::string mb(1 << 20, 'm');
  ASSERT_TRUE(wtb_InsertString(w.get(), mb.c_str()));
  EXPECT_GE(w->capacity, wtb_GetTextLength(w.get()));
  EXPECT_LE(w->capacity, 2 * wtb_GetTextLength(w.get()));
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(wtb_InsertString(w.get(), kb.c_str()));
  EXPECT_LE(w->capacity, 4 << 20);
  EXPECT_EQ(wtb_GetTextLength(w.get()), (1 << 20) + 65 * 1024);
}

TEST(Wtb, InsertingAPieceOfItsOwnTextSurvivesGrowth) {
  auto w = make("0123456789", 10);
  wtb_MoveToEndOfText(w.get());
  ASSERT_TRUE(wtb_InsertString(w.get(), wtb_GetTextString(w.get()) + 2));
  EXPECT_EQ(text_of(w.get()), "012345678923456789");
}

TEST(Wtb, StaticBufferNeverGrowsOrIsFreed) {
  std::vector<char> record(static_cast<size_t>(wtb_sizeof()));
  char buffer[8] = "abc";
  wtb* w = wtb_make_StaticInit(record.data(), buffer, sizeof buffer);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(wtb_GetTextLength(w), 3);
  wtb_MoveToEndOfText(w);
  EXPECT_TRUE(wtb_InsertString(w, "defg"));
  EXPECT_FALSE(wtb_InsertChar(w, 'h'));
  EXPECT_FALSE(wtb_InsertString(w, "h"));
  EXPECT_STREQ(buffer, "abcdefg");
  EXPECT_EQ(wtb_GetTextString(w), buffer);
  wtb_free(w);  // the caller's record and buffer: left alone
  wtb_clear(w);
  EXPECT_EQ(wtb_GetTextLength(w), 0);
  EXPECT_EQ(wtb_GetTextString(w), buffer);

  char unterminated[4] = {'w', 'x', 'y', 'z'};
  w = wtb_make_StaticInit(record.data(), unterminated, sizeof unterminated);
  EXPECT_EQ(wtb_GetTextLength(w), 3);
  EXPECT_EQ(wtb_make_StaticInit(nullptr, buffer, 8), nullptr);
  EXPECT_EQ(wtb_make_StaticInit(record.data(), nullptr, 8), nullptr);
  EXPECT_EQ(wtb_make_StaticInit(record.data(), buffer, 0), nullptr);
}

TEST(Wtb, ClearGivesAFreshBuffer) {
  auto w = make(nullptr, 100000);
  wtb_InsertString(w.get(), "text");
  wtb_clear(w.get());
  EXPECT_EQ(text_of(w.get()), "");
  EXPECT_EQ(w->capacity, 16383);
  EXPECT_EQ(wtb_GetPos(w.get()), 0);
}

// ---- Model-based: random edits against a std::string with the CR LF rules ----

class Model {
 public:
  struct Line {
    int32_t start, end, line_break;  // end: where the content stops; line_break: 0, 1 or 2 bytes
  };

  std::string text;
  int32_t cursor = 0;

  int32_t length() const { return int32_t(text.size()); }

  std::vector<Line> lines() const {
    std::vector<Line> out;
    int32_t start = 0;
    for (int32_t i = 0; i < length(); ++i) {
      if (text[i] != '\n') continue;
      const bool cr = i > start && text[i - 1] == '\r';
      out.push_back({start, cr ? i - 1 : i, cr ? 2 : 1});
      start = i + 1;
    }
    out.push_back({start, length(), 0});
    return out;
  }
  int32_t line_index() const { return int32_t(std::count(text.begin(), text.begin() + cursor, '\n')); }
  Line line() const { return lines()[size_t(line_index())]; }

  bool crlf_at(int32_t i) const { return i >= 0 && i + 1 < length() && text[i] == '\r' && text[i + 1] == '\n'; }
  int32_t normalised(int32_t pos) const {
    pos = std::clamp(pos, 0, length());
    return pos > 0 && crlf_at(pos - 1) ? pos - 1 : pos;
  }

  void insert(const std::string& s) {
    text.insert(size_t(cursor), s);
    cursor += int32_t(s.size());
  }
  void backspace() {
    if (cursor == 0) return;
    const int32_t k = crlf_at(cursor - 2) ? 2 : 1;
    text.erase(size_t(cursor - k), size_t(k));
    cursor -= k;
  }
  void delete_char() {
    if (cursor == length()) return;
    text.erase(size_t(cursor), crlf_at(cursor) ? 2 : 1);
  }
  bool replace(int32_t count, const std::string& s) {
    if (count > length() - cursor) return false;
    text.replace(size_t(cursor), size_t(count), s);
    cursor += int32_t(s.size());
    return true;
  }
  void delete_line() {
    const auto all = lines();
    const size_t i = size_t(line_index());
    const Line l = all[i];
    if (l.end > l.start) {
      text.erase(size_t(l.start), size_t(l.end - l.start + l.line_break));
      cursor = l.start;
    } else if (l.line_break == 0 && i > 0) {
      text.erase(size_t(all[i - 1].end), size_t(all[i - 1].line_break));
      cursor = all[i - 1].end;
    }
  }
  void move_vertically(int step) {
    const auto all = lines();
    const int32_t i = line_index();
    if (i + step < 0 || i + step >= int32_t(all.size())) return;
    const int32_t column = cursor - all[size_t(i)].start;
    const Line target = all[size_t(i + step)];
    cursor = target.start + std::min(column, target.end - target.start);
  }
};

void expect_same(wtb* w, const Model& m) {
  ASSERT_EQ(text_of(w), m.text);
  ASSERT_EQ(strlen(wtb_GetTextString(w)), m.text.size());
  ASSERT_EQ(wtb_GetPos(w), m.cursor);
  ASSERT_GE(w->capacity, w->length);
  const Model::Line l = m.line();
  ASSERT_EQ(wtb_GetLineStart(w), l.start);
  ASSERT_EQ(wtb_GetLineEnd(w), l.end);
  ASSERT_EQ(wtb_GetColNumber(w), m.cursor - l.start);
  ASSERT_EQ(wtb_IsStartOfLine(w), m.cursor == l.start);
  ASSERT_EQ(wtb_IsEndOfText(w), m.cursor == m.length());
  ASSERT_EQ(wtb_IsEndOfLine(w), m.cursor == m.length() || m.text[size_t(m.cursor)] == '\n' || m.crlf_at(m.cursor));
}

std::string random_piece(std::mt19937& rng) {
  static const char kAlphabet[] = "ab_ \r\n\r\n";
  std::string s(rng() % 5, ' ');
  for (char& c : s) c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
  return s;
}

TEST(WtbModel, RandomEditsMatchAStringModel) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto w = make(nullptr, int32_t(1 + rng() % 8));  // small capacity: growth happens often
    Model m;
    for (int step = 0; step < 300; ++step) {
      const uint32_t op = rng() % 14;
      SCOPED_TRACE(step);
      SCOPED_TRACE(op);
      switch (op) {
        case 0:
        case 1: {
          const std::string s = random_piece(rng);
          ASSERT_TRUE(wtb_InsertString(w.get(), s.c_str()));
          m.insert(s);
          break;
        }
        case 2: {
          const char c = "a\r\n\b"[rng() % 4];
          ASSERT_TRUE(wtb_InsertChar(w.get(), c));
          if (c == '\b')
            m.backspace();
          else
            m.insert(std::string(1, c));
          break;
        }
        case 3:
          ASSERT_EQ(wtb_BackSpace(w.get()), (m.backspace(), m.cursor));
          break;
        case 4:
          wtb_DeleteChar(w.get());
          m.delete_char();
          break;
        case 5: {
          const int32_t count = int32_t(rng() % 4);
          const std::string s = random_piece(rng);
          ASSERT_EQ(wtb_ReplaceString(w.get(), count, s.c_str()), m.replace(count, s));
          break;
        }
        case 6:
          wtb_DeleteLine(w.get());
          m.delete_line();
          break;
        case 7: {
          const int32_t pos = int32_t(rng() % uint32_t(m.length() + 3));
          m.cursor = m.normalised(pos);
          ASSERT_EQ(wtb_SetPos(w.get(), pos), m.cursor);
          break;
        }
        case 8:
          wtb_MoveLeft(w.get());
          if (m.cursor > 0) m.cursor -= m.crlf_at(m.cursor - 2) ? 2 : 1;
          break;
        case 9:
          wtb_MoveRight(w.get());
          if (m.cursor < m.length()) m.cursor += m.crlf_at(m.cursor) ? 2 : 1;
          break;
        case 10:
          wtb_MoveUp(w.get());
          m.move_vertically(-1);
          break;
        case 11:
          wtb_MoveDown(w.get());
          m.move_vertically(+1);
          break;
        case 12:
          if (rng() % 2) {
            m.cursor = m.normalised(m.line().start);
            ASSERT_EQ(wtb_MoveStartOfLine(w.get()), m.cursor);
          } else {
            m.cursor = m.normalised(m.line().end);
            ASSERT_EQ(wtb_MoveEndOfLine(w.get()), m.cursor);
          }
          break;
        default:
          m.cursor = m.normalised(m.cursor);
          ASSERT_EQ(wtb_GetLineNumber(w.get()), m.line_index());
          ASSERT_EQ(wtb_CalNumOfLines(w.get()), int32_t(std::count(m.text.begin(), m.text.end(), '\n')));
      }
      expect_same(w.get(), m);
    }
  }
}

}  // namespace
