#include "cu_wtb.h"

#include <algorithm>
#include <cstring>

#include "cu_malloc.h"
#include "cu_wtb_record.h"

namespace {

constexpr char kUnit[] = "srclib\\cu_wtb";
constexpr int32_t kDefaultCapacity = 16383;
// The capacity and its NUL must fit a signed 32-bit count.
constexpr int64_t kMaxCapacity = INT32_MAX - 1;

static_assert(sizeof(wtb) == 24, "callers size static records with wtb_sizeof");

bool usable(const wtb* w) { return w && w->buffer; }

bool is_line_break_at(const wtb* w, int32_t i) {
  return w->buffer[i] == '\n' || (w->buffer[i] == '\r' && w->buffer[i + 1] == '\n');
}

// Bytes a line break at i takes: 2 for CR LF, else 1.
int32_t line_break_size(const wtb* w, int32_t i) { return w->buffer[i] == '\r' ? 2 : 1; }

int32_t normalised(const wtb* w, int32_t pos) {
  pos = std::clamp(pos, 0, w->length);
  if (pos > 0 && pos < w->length && w->buffer[pos - 1] == '\r' && w->buffer[pos] == '\n') --pos;
  return pos;
}

void normalise_cursor(wtb* w) { w->cursor = normalised(w, w->cursor); }

int32_t line_start(const wtb* w, int32_t pos) {
  while (pos > 0 && w->buffer[pos - 1] != '\n') --pos;
  return pos;
}

// The index of the line break ending pos's line (the CR of a CR LF pair), or the length.
int32_t line_end(const wtb* w, int32_t pos) {
  const void* lf = memchr(w->buffer + pos, '\n', size_t(w->length - pos));
  if (!lf) return w->length;
  const int32_t i = int32_t(static_cast<const char*>(lf) - w->buffer);
  return i > 0 && w->buffer[i - 1] == '\r' ? i - 1 : i;
}

int32_t count_lf(const wtb* w, int32_t end) { return int32_t(std::count(w->buffer, w->buffer + end, '\n')); }

bool is_word_char(unsigned char c, const char* extra) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 128) return true;
  return extra && c != 0 && strchr(extra, c);
}

int32_t next_word_start(const wtb* w, const char* extra, bool in_line) {
  int32_t i = w->cursor;
  while (i < w->length && !is_word_char(w->buffer[i], extra)) {
    if (in_line && is_line_break_at(w, i)) break;
    ++i;
  }
  return i;
}

int32_t next_word_end(const wtb* w, const char* extra, bool in_line) {
  int32_t i = next_word_start(w, extra, in_line);
  while (i < w->length && is_word_char(w->buffer[i], extra)) ++i;
  return i;
}

int32_t prev_word_end(const wtb* w, const char* extra, bool in_line) {
  int32_t i = w->cursor;
  while (i > 0 && !is_word_char(w->buffer[i - 1], extra)) {
    if (in_line && w->buffer[i - 1] == '\n') break;
    --i;
  }
  return i;
}

int32_t prev_word_start(const wtb* w, const char* extra, bool in_line) {
  int32_t i = prev_word_end(w, extra, in_line);
  while (i > 0 && is_word_char(w->buffer[i - 1], extra)) --i;
  return i;
}

// Doubles (capacity + 1), so appending byte by byte costs amortised constant time.
bool reserve(wtb* w, int64_t needed) {
  if (needed <= w->capacity) return true;
  if (w->caller_owned || needed > kMaxCapacity) return false;
  const int64_t grown = std::min(std::max(needed, 2 * (int64_t(w->capacity) + 1) - 1), kMaxCapacity);
  void* buffer = _cu_realloc(w->buffer, uint64_t(grown) + 1, kUnit, __LINE__);
  if (!buffer) return false;
  w->buffer = static_cast<char*>(buffer);
  w->capacity = int32_t(grown);
  return true;
}

// Replaces count bytes at pos by n bytes of s (which does not point into the buffer).
bool splice(wtb* w, int32_t pos, int32_t count, const char* s, int64_t n) {
  const int64_t new_length = int64_t(w->length) - count + n;
  if (!reserve(w, new_length)) return false;
  memmove(w->buffer + pos + n, w->buffer + pos + count, size_t(w->length - pos - count) + 1);
  memcpy(w->buffer + pos, s, size_t(n));
  w->length = int32_t(new_length);
  return true;
}

bool points_into_buffer(const wtb* w, const char* s) {
  return s >= w->buffer && s <= w->buffer + w->capacity;
}

// Replaces count bytes at the cursor by s and moves the cursor past it. s may be a piece of
// the text itself: growth may move the buffer, so such a piece is copied first.
bool replace_at_cursor(wtb* w, int32_t count, const char* s) {
  const size_t n = strlen(s);
  if (n > size_t(kMaxCapacity)) return false;
  char* copy = nullptr;
  if (points_into_buffer(w, s)) {
    copy = static_cast<char*>(_cu_malloc(n + 1, kUnit, __LINE__));
    if (!copy) return false;
    memcpy(copy, s, n);
    s = copy;
  }
  const bool done = splice(w, w->cursor, count, s, int64_t(n));
  _cu_free(copy, kUnit, __LINE__);
  if (done) w->cursor += int32_t(n);
  return done;
}

void remove_at(wtb* w, int32_t pos, int32_t count) {
  w->cursor = pos;
  replace_at_cursor(w, count, "");
}

int32_t backspace(wtb* w) {
  const int32_t c = w->cursor;
  if (c == 0) return 0;
  const int32_t k = c >= 2 && w->buffer[c - 2] == '\r' && w->buffer[c - 1] == '\n' ? 2 : 1;
  remove_at(w, c - k, k);
  return w->cursor;
}

void delete_line(wtb* w) {
  const int32_t start = line_start(w, w->cursor);
  const int32_t end = line_end(w, w->cursor);
  if (end > start && end < w->length) {
    remove_at(w, start, end - start + line_break_size(w, end));
  } else if (end > start) {
    remove_at(w, start, end - start);
  } else if (end == w->length && start > 0) {
    const int32_t k = start >= 2 && w->buffer[start - 2] == '\r' ? 2 : 1;
    remove_at(w, start - k, k);
  }
}

// Column kept while moving to the line starting at next_start.
int32_t at_column(const wtb* w, int32_t next_start, int32_t column) {
  return next_start + std::min(column, line_end(w, next_start) - next_start);
}

void move_up(wtb* w) {
  const int32_t start = line_start(w, w->cursor);
  if (start == 0) return;
  w->cursor = at_column(w, line_start(w, start - 1), w->cursor - start);
}

void move_down(wtb* w) {
  const int32_t start = line_start(w, w->cursor);
  const int32_t end = line_end(w, w->cursor);
  if (end == w->length) return;
  w->cursor = at_column(w, end + line_break_size(w, end), w->cursor - start);
}

template <typename Move>
void repeat_until_still(wtb* w, Move move) {
  for (int32_t before = -1; before != w->cursor;) {
    before = w->cursor;
    move(w);
  }
}

bool make_buffer(wtb* w, const char* text, int32_t capacity) {
  w->buffer = static_cast<char*>(_cu_malloc(uint64_t(capacity) + 1, kUnit, __LINE__));
  if (!w->buffer) return false;
  const size_t n = text ? strnlen(text, size_t(capacity)) : 0;
  memcpy(w->buffer, text ? text : "", n);
  w->buffer[n] = '\0';
  w->cursor = 0;
  w->length = int32_t(n);
  w->capacity = capacity;
  return true;
}

}  // namespace

wtb* wtb_make(const char* text, int32_t capacity) {
  if (capacity <= 0) capacity = kDefaultCapacity;
  capacity = int32_t(std::min<int64_t>(capacity, kMaxCapacity));
  auto* w = static_cast<wtb*>(_cu_malloc(sizeof(wtb), kUnit, __LINE__));
  if (!w) return nullptr;
  *w = wtb{};
  if (!make_buffer(w, text, capacity)) {
    _cu_free(w, kUnit, __LINE__);
    return nullptr;
  }
  return w;
}

wtb* wtb_make_StaticInit(void* record, char* buffer, int32_t size) {
  if (!record || !buffer || size <= 0) return nullptr;
  auto* w = static_cast<wtb*>(record);
  // A buffer without a NUL is cut to its size, so no scan runs past it.
  const size_t length = strnlen(buffer, size_t(size) - 1);
  buffer[length] = '\0';
  *w = wtb{0, int32_t(length), buffer, size - 1, 1};
  return w;
}

int32_t wtb_sizeof(void) { return int32_t(sizeof(wtb)); }

void wtb_free(wtb* w) {
  if (!w || w->caller_owned) return;
  _cu_free(w->buffer, kUnit, __LINE__);
  _cu_free(w, kUnit, __LINE__);
}

void wtb_clear(wtb* w) {
  if (!w) return;
  if (w->caller_owned) {  // the caller's buffer stays; only the text goes
    w->cursor = w->length = 0;
    w->buffer[0] = '\0';
    return;
  }
  _cu_free(w->buffer, kUnit, __LINE__);
  if (!make_buffer(w, nullptr, kDefaultCapacity)) *w = wtb{};
}

const char* wtb_GetTextString(wtb* w) { return usable(w) ? w->buffer : ""; }

int32_t wtb_GetTextLength(wtb* w) { return usable(w) ? w->length : 0; }

int32_t wtb_GetPos(wtb* w) { return usable(w) ? w->cursor : 0; }

int32_t wtb_GetLineStart(wtb* w) { return usable(w) ? line_start(w, w->cursor) : 0; }

int32_t wtb_GetLineEnd(wtb* w) { return usable(w) ? line_end(w, w->cursor) : 0; }

int32_t wtb_GetLineLength(wtb* w) {
  return usable(w) ? line_end(w, w->cursor) - line_start(w, w->cursor) : 0;
}

const char* wtb_GetLineString(wtb* w) { return usable(w) ? w->buffer + line_start(w, w->cursor) : ""; }

int32_t wtb_GetColNumber(wtb* w) { return usable(w) ? w->cursor - line_start(w, w->cursor) : 0; }

int32_t wtb_GetLineNumber(wtb* w) {
  if (!usable(w)) return 0;
  normalise_cursor(w);
  return count_lf(w, w->cursor);
}

int32_t wtb_CalNumOfLines(wtb* w) {
  if (!usable(w)) return 0;
  normalise_cursor(w);
  return count_lf(w, w->length);
}

bool wtb_IsStartOfLine(wtb* w) { return usable(w) && (w->cursor == 0 || w->buffer[w->cursor - 1] == '\n'); }

bool wtb_IsEndOfLine(wtb* w) { return usable(w) && (w->cursor == w->length || is_line_break_at(w, w->cursor)); }

bool wtb_IsEndOfText(wtb* w) { return usable(w) && w->cursor == w->length; }

bool wtb_IsLastLine(wtb* w) {
  if (!usable(w)) return false;
  if (!memchr(w->buffer + w->cursor, '\n', size_t(w->length - w->cursor))) return true;
  normalise_cursor(w);
  return false;
}

int32_t wtb_GetNextWordStart(wtb* w, const char* extra, uint8_t in_line) {
  return usable(w) ? next_word_start(w, extra, in_line) : 0;
}

int32_t wtb_GetNextWordEnd(wtb* w, const char* extra, uint8_t in_line) {
  return usable(w) ? next_word_end(w, extra, in_line) : 0;
}

int32_t wtb_GetNextWordLength(wtb* w, const char* extra, uint8_t in_line) {
  return usable(w) ? next_word_end(w, extra, in_line) - next_word_start(w, extra, in_line) : 0;
}

int32_t wtb_GetPrevWordEnd(wtb* w, const char* extra, uint8_t in_line) {
  return usable(w) ? prev_word_end(w, extra, in_line) : 0;
}

int32_t wtb_GetPrevWordStart(wtb* w, const char* extra, uint8_t in_line) {
  return usable(w) ? prev_word_start(w, extra, in_line) : 0;
}

int32_t wtb_GetPrevWordLength(wtb* w, const char* extra, uint8_t in_line) {
  return usable(w) ? prev_word_end(w, extra, in_line) - prev_word_start(w, extra, in_line) : 0;
}

int32_t wtb_SetPos(wtb* w, int32_t pos) {
  if (!usable(w)) return 0;
  w->cursor = normalised(w, pos);
  return w->cursor;
}

void wtb_MoveLeft(wtb* w) {
  if (!usable(w) || w->cursor == 0) return;
  const int32_t c = w->cursor;
  w->cursor -= c >= 2 && w->buffer[c - 2] == '\r' && w->buffer[c - 1] == '\n' ? 2 : 1;
}

void wtb_MoveRight(wtb* w) {
  if (!usable(w) || w->cursor == w->length) return;
  w->cursor += w->buffer[w->cursor] == '\r' && w->buffer[w->cursor + 1] == '\n' ? 2 : 1;
}

int32_t wtb_MoveStartOfLine(wtb* w) {
  if (!usable(w)) return 0;
  w->cursor = normalised(w, line_start(w, w->cursor));
  return w->cursor;
}

int32_t wtb_MoveEndOfLine(wtb* w) {
  if (!usable(w)) return 0;
  w->cursor = normalised(w, line_end(w, w->cursor));
  return w->cursor;
}

void wtb_MoveUp(wtb* w) {
  if (usable(w)) move_up(w);
}

void wtb_MoveDown(wtb* w) {
  if (usable(w)) move_down(w);
}

void wtb_MoveUpToFirstLine(wtb* w) {
  if (usable(w)) repeat_until_still(w, move_up);
}

void wtb_MoveDownToLastLine(wtb* w) {
  if (usable(w)) repeat_until_still(w, move_down);
}

void wtb_MoveToStartOfText(wtb* w) {
  if (usable(w)) w->cursor = 0;
}

int32_t wtb_MoveToEndOfText(wtb* w) {
  if (!usable(w)) return 0;
  w->cursor = w->length;
  return w->cursor;
}

int32_t wtb_SetLineNumber(wtb* w, int32_t n) {
  if (!usable(w)) return 0;
  w->cursor = 0;
  int32_t reached = 0;
  while (reached < n) {
    const int32_t before = w->cursor;
    move_down(w);
    if (w->cursor == before) break;
    ++reached;
  }
  return reached;
}

int32_t wtb_SetColNumber(wtb* w, int32_t col) {
  if (!usable(w)) return 0;
  const int32_t start = line_start(w, w->cursor);
  const int32_t column = std::clamp(col, 0, line_end(w, w->cursor) - start);
  w->cursor = start + column;
  return column;
}

bool wtb_InsertChar(wtb* w, int32_t c) {
  if (!usable(w)) return false;
  const char byte = char(c & 0xff);
  if (byte == 0) return false;
  if (byte == 8) {
    backspace(w);
    return true;
  }
  const char text[2] = {byte, '\0'};
  return replace_at_cursor(w, 0, text);
}

bool wtb_InsertString(wtb* w, const char* s) {
  if (!usable(w) || !s) return false;
  return *s == '\0' || replace_at_cursor(w, 0, s);
}

bool wtb_ReplaceString(wtb* w, int32_t count, const char* s) {
  if (!usable(w) || !s || count < 0 || count > w->length - w->cursor) return false;
  return replace_at_cursor(w, count, s);
}

int32_t wtb_BackSpace(wtb* w) { return usable(w) ? backspace(w) : 0; }

void wtb_DeleteChar(wtb* w) {
  if (!usable(w) || w->cursor == w->length) return;
  const int32_t c = w->cursor;
  remove_at(w, c, is_line_break_at(w, c) ? line_break_size(w, c) : 1);
  w->cursor = c;
}

void wtb_DeleteLine(wtb* w) {
  if (usable(w)) delete_line(w);
}
