#include "http_parser.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "cu_console.h"
#include "cu_lib.h"
#include "cu_lib_internal.h"
#include "cu_malloc.h"
#include "cu_xmem.h"

// Other modules hold the record in their own structures and read the index entries.
static_assert(sizeof(http_parser_index) == 4);
static_assert(offsetof(http_parser, index) == 16 && offsetof(http_parser, index_count) == 272);
static_assert(offsetof(http_parser, pool) == 280);

namespace {
constexpr char kUnit[] = "prot\\http_parser";
constexpr int32_t kFirstBuffer = 2048;
constexpr int32_t kMaxBuffer = 16384;
constexpr uint16_t kIndexSlots = 64;
constexpr size_t kSearchNameCut = 100;
constexpr size_t kCookieNameCut = 100;
constexpr int32_t kExtBlock = 4096;
constexpr int32_t kMethodBlock = 64;
constexpr char kTerminator[] = "\r\n\r\n";

using cu_internal::is_blank;
using cu_internal::is_letter;
bool is_line_end(char c) { return c == '\r' || c == '\n' || c == '\0'; }
bool is_name_end(char c) { return c == ':' || is_blank(c) || is_line_end(c); }

// Header names and methods match without regard to ASCII case. The compare stops at the
// first difference, so a head shorter than n is safe to pass.
bool equal_ignore_case(const char* a, const char* b, size_t n) {
  return cu_strnicmp(a, b, static_cast<int32_t>(n)) == 0;
}

bool has_line_break(const char* s) { return std::strpbrk(s, "\r\n") != nullptr; }

// A name the parser would cut short: written into a head it would merge into the line before
// (leading blank), split the head (CR, LF) or never be found again (':' or a blank inside).
bool is_writable_name(const char* name) {
  return name[0] != '\0' && std::strpbrk(name, ":\r\n \t") == nullptr;
}

// ---- memory -------------------------------------------------------------------------------

void* pool_alloc(cu_xmem* pool, size_t n) {
  return pool ? cu_xmem_malloc(pool, n) : _cu_malloc(n, kUnit, __LINE__);
}

void pool_free(cu_xmem* pool, void* p) {
  if (!p) return;
  if (pool) {
    cu_xmem_free(pool, p);
  } else {
    _cu_free(p, kUnit, __LINE__);
  }
}

// Grows the buffer to n bytes keeping its contents; on failure nothing changes.
bool grow(http_parser* p, int32_t n) {
  if (p->capacity >= n) return true;
  if (!p->text) {
    auto* text = static_cast<char*>(pool_alloc(p->pool, n));
    if (!text) return false;
    text[0] = '\0';
    p->text = text;
    p->length = 0;
    p->index_count = 0;
  } else {
    void* text = p->pool ? cu_xmem_realloc(p->pool, p->text, n) : _cu_realloc(p->text, n, kUnit, __LINE__);
    if (!text) return false;
    p->text = static_cast<char*>(text);
  }
  p->capacity = n;
  return true;
}

bool ensure_buffer(http_parser* p) { return p->text || grow(p, kFirstBuffer); }

// Room for a head of new_len characters: the one growth to 16,384 when needed. A failed
// growth leaves the head as it was, so the caller can refuse the edit and lose nothing.
bool make_room(http_parser* p, int64_t new_len) {
  if (new_len < p->capacity) return true;
  if (new_len >= kMaxBuffer || p->capacity >= kMaxBuffer) return false;
  return grow(p, kMaxBuffer);
}

// ---- feeding ------------------------------------------------------------------------------

struct Feed {
  const char* bytes;
  int32_t len;
  int32_t taken = 0;
  bool stopped_full = false;
};

void copy_input(http_parser* p, Feed& in) {
  int32_t room = p->capacity - 1 - p->length;
  int32_t want = std::min(room, in.len - in.taken);
  const char* from = in.bytes + in.taken;
  int32_t n = want;
  bool hit_nul = false;
  if (const void* nul = std::memchr(from, '\0', want)) {
    n = static_cast<int32_t>(static_cast<const char*>(nul) - from);
    hit_nul = true;
  }
  std::memcpy(p->text + p->length, from, n);
  p->length += n;
  p->text[p->length] = '\0';
  in.taken += n;
  in.stopped_full = !hit_nul && in.taken < in.len && p->length == p->capacity - 1;
}

// Cuts the head after the first terminator at or after `from`; bytes past it are given back.
bool cut_at_terminator(http_parser* p, int32_t from) {
  const char* t = p->text;
  for (int32_t i = from; i + 4 <= p->length; ++i) {
    const void* cr = std::memchr(t + i, '\r', p->length - 3 - i);
    if (!cr) return false;
    i = static_cast<int32_t>(static_cast<const char*>(cr) - t);
    if (std::memcmp(t + i, kTerminator, 4) == 0) {
      p->length = i + 4;
      p->text[p->length] = '\0';
      return true;
    }
  }
  return false;
}

int32_t feed(http_parser* p, const char* bytes, int32_t len) {
  if (!ensure_buffer(p)) return 0;
  const int32_t old_len = p->length;
  if (!bytes || len <= 0) return 0;
  // Three characters back, so a terminator split over two feeds ("\r" + "\n\r\n") is found.
  const int32_t search_from = std::max(old_len - 3, 0);
  Feed in{bytes, len};
  copy_input(p, in);
  if (!cut_at_terminator(p, search_from) && in.stopped_full && p->capacity == kFirstBuffer &&
      grow(p, kMaxBuffer)) {
    copy_input(p, in);
    cut_at_terminator(p, search_from);
  }
  return p->length - old_len;
}

bool is_complete(const http_parser* p) {
  return p->text && p->length >= 4 && std::memcmp(p->text + p->length - 4, kTerminator, 4) == 0;
}

// ---- the name index -----------------------------------------------------------------------

int32_t find_crlf(const http_parser* p, int32_t from) {
  const char* t = p->text;
  for (int32_t i = from; i + 2 <= p->length; ++i) {
    const void* cr = std::memchr(t + i, '\r', p->length - 1 - i);
    if (!cr) return -1;
    i = static_cast<int32_t>(static_cast<const char*>(cr) - t);
    if (t[i + 1] == '\n') return i;
  }
  return -1;
}

void build_index(http_parser* p) {
  const char* t = p->text;
  uint16_t count = 0;
  int32_t pos = 0;
  while (count < kIndexSlots) {
    int32_t crlf = find_crlf(p, pos);
    if (crlf < 0) break;
    pos = crlf + 2;
    while (is_blank(t[pos])) ++pos;
    if (t[pos] != ':') {
      int32_t end = pos;
      while (!is_name_end(t[end])) ++end;
      if (end > pos) {
        p->index[count++] = {static_cast<uint16_t>(pos), static_cast<uint16_t>(end - pos)};
      }
      pos = end;
    }
    // The next CR LF found from here is the end of this line.
  }
  // 64 names or more: the text search serves the lookups instead.
  p->index_count = count < kIndexSlots ? count : 0;
}

void shift_index(http_parser* p, int from_entry, int32_t delta) {
  for (int i = from_entry; i < p->index_count; ++i) {
    p->index[i].offset = static_cast<uint16_t>(p->index[i].offset + delta);
  }
}

// ---- header lookup ------------------------------------------------------------------------

struct HeaderAt {
  int32_t line;   // first character of the line
  int32_t value;  // just after the name as matched
  int entry;      // index entry, or -1 when found by the text search
};

std::optional<HeaderAt> find_by_index(const http_parser* p, const char* name, int32_t k) {
  const size_t name_len = std::strlen(name);
  const char* t = p->text;
  for (int i = 0; i < p->index_count; ++i) {
    const http_parser_index& e = p->index[i];
    if (e.length != name_len || e.offset + e.length > p->length) continue;
    if (!equal_ignore_case(t + e.offset, name, name_len)) continue;
    if (k-- > 0) continue;
    int32_t line = e.offset;
    while (line > 0 && is_blank(t[line - 1])) --line;  // a folded line starts at its blanks
    return HeaderAt{line, e.offset + e.length, i};
  }
  return std::nullopt;
}

std::optional<HeaderAt> find_by_text(const http_parser* p, const char* name, int32_t k) {
  const size_t cut = strnlen(name, kSearchNameCut);
  // An empty name or one holding a line break would match the blank line that ends the head.
  if (cut == 0 || std::memchr(name, '\r', cut) || std::memchr(name, '\n', cut)) return std::nullopt;
  const char* t = p->text;
  for (int32_t crlf = find_crlf(p, 0); crlf >= 0; crlf = find_crlf(p, crlf + 1)) {
    const int32_t start = crlf + 2;
    if (start + static_cast<int64_t>(cut) > p->length) break;
    if (!equal_ignore_case(t + start, name, cut) || !is_name_end(t[start + cut])) continue;
    if (k-- > 0) continue;
    return HeaderAt{start, start + static_cast<int32_t>(cut), -1};
  }
  return std::nullopt;
}

std::optional<HeaderAt> find_header(const http_parser* p, const char* name, int32_t k) {
  if (k < 0) return std::nullopt;
  return p->index_count ? find_by_index(p, name, k) : find_by_text(p, name, k);
}

int32_t skip_separators(const char* t, int32_t pos) {
  while (is_blank(t[pos]) || t[pos] == ':') ++pos;
  return pos;
}

// Copies from..end (cut to n - 1 characters) without trailing blanks.
char* copy_trimmed(const char* from, size_t len, char* buffer, int32_t n) {
  len = std::min(len, static_cast<size_t>(n - 1));
  while (len > 0 && is_blank(from[len - 1])) --len;
  std::memcpy(buffer, from, len);
  buffer[len] = '\0';
  return buffer;
}

char* copy_line_part(const char* t, int32_t from, char* buffer, int32_t n) {
  int32_t end = from;
  while (!is_line_end(t[end])) ++end;
  return copy_trimmed(t + from, end - from, buffer, n);
}

char* get_value(http_parser* p, const char* name, int32_t k, char* buffer, int32_t n) {
  auto at = find_header(p, name, k);
  if (!at) return nullptr;
  return copy_line_part(p->text, skip_separators(p->text, at->value), buffer, n);
}

// ---- editing ------------------------------------------------------------------------------

// Replaces old_len characters at `at` by src, moving the rest of the head and its NUL.
void splice(http_parser* p, int32_t at, int32_t old_len, const char* src, int32_t src_len) {
  char* t = p->text;
  std::memmove(t + at + src_len, t + at + old_len, p->length - at - old_len + 1);
  std::memcpy(t + at, src, src_len);
  p->length += src_len - old_len;
}

struct Span {
  int32_t start;
  int32_t length;
};

int32_t run_to(const char* t, int32_t pos, bool (*stop)(char)) {
  while (!stop(t[pos])) ++pos;
  return pos;
}

bool is_word_end(char c) { return is_blank(c) || is_line_end(c); }

bool is_response(const char* t) { return equal_ignore_case(t, "HTTP/1.", 7); }

std::optional<Span> status_to_replace(const char* t) {
  if (!is_response(t) || t[7] == '\0' || !is_blank(t[8])) return std::nullopt;
  return Span{9, run_to(t, 9, is_line_end) - 9};
}

std::optional<Span> method_to_replace(const char* t) {
  if (is_response(t) || !is_letter(t[0])) return std::nullopt;
  return Span{0, run_to(t, 0, is_word_end)};
}

std::optional<Span> target_span(const char* t) {
  if (is_response(t)) return std::nullopt;
  int32_t word = 0;
  while (is_letter(t[word])) ++word;
  if (word == 0 || !is_blank(t[word])) return std::nullopt;
  const int32_t start = word + 1;
  return Span{start, run_to(t, start, is_word_end) - start};
}

// Start-line edits: every header line lies after the start line, so every entry moves.
void replace_start_part(http_parser* p, std::optional<Span> (*locate)(const char*), const char* text) {
  if (!text || has_line_break(text) || !ensure_buffer(p)) return;
  auto span = locate(p->text);
  if (!span) return;
  const size_t text_len = std::strlen(text);
  const int64_t new_len = static_cast<int64_t>(p->length) - span->length + static_cast<int64_t>(text_len);
  if (!make_room(p, new_len)) return;
  const int32_t delta = static_cast<int32_t>(text_len) - span->length;
  splice(p, span->start, span->length, text, static_cast<int32_t>(text_len));
  if (delta != 0) shift_index(p, 0, delta);
}

// The characters a deletion of that header removes: the line and its CR LF; 0 when unended.
int32_t line_removal(const http_parser* p, const HeaderAt& at) {
  int32_t crlf = find_crlf(p, at.value);
  return crlf < 0 ? 0 : crlf + 2 - at.line;
}

void remove_header(http_parser* p, const HeaderAt& at) {
  const int32_t removed = line_removal(p, at);
  if (removed == 0) return;
  splice(p, at.line, removed, "", 0);
  if (at.entry < 0) return;
  std::memmove(&p->index[at.entry], &p->index[at.entry + 1],
               (p->index_count - at.entry - 1) * sizeof(http_parser_index));
  --p->index_count;
  shift_index(p, at.entry, -removed);
}

bool can_append(const http_parser* p, const char* name, const char* value) {
  return is_writable_name(name) && !has_line_break(value) && is_complete(p);
}

// Writes over the last CR LF of the terminator; the room was made by the caller.
void append_header(http_parser* p, const char* name, size_t name_len, const char* value, size_t value_len) {
  const int32_t at = p->length - 2;
  char* t = p->text + at;
  std::memcpy(t, name, name_len);
  t += name_len;
  std::memcpy(t, ": ", 2);
  t += 2;
  std::memcpy(t, value, value_len);
  t += value_len;
  std::memcpy(t, kTerminator, 5);
  p->length += static_cast<int32_t>(name_len + value_len + 4);
  if (p->index_count == kIndexSlots) {
    p->index_count = 0;
  } else if (p->index_count > 0) {
    p->index[p->index_count++] = {static_cast<uint16_t>(at), static_cast<uint16_t>(name_len)};
  }
}

bool insert_header(http_parser* p, const char* name, const char* value) {
  if (!ensure_buffer(p) || !can_append(p, name, value)) return false;
  const size_t name_len = std::strlen(name);
  const size_t value_len = std::strlen(value);
  if (!make_room(p, static_cast<int64_t>(p->length) + name_len + value_len + 4)) return false;
  append_header(p, name, name_len, value, value_len);
  return true;
}

// Checks the new line and its room before the old line goes, so a refused edit loses nothing.
bool modify_header(http_parser* p, const char* name, const char* value) {
  if (!ensure_buffer(p) || !can_append(p, name, value)) return false;
  const auto old = find_header(p, name, 0);
  const int32_t removed = old ? line_removal(p, *old) : 0;
  const size_t name_len = std::strlen(name);
  const size_t value_len = std::strlen(value);
  if (!make_room(p, static_cast<int64_t>(p->length) - removed + name_len + value_len + 4)) return false;
  if (old) remove_header(p, *old);
  append_header(p, name, name_len, value, value_len);
  return true;
}

// ---- readers of the start line and cookies --------------------------------------------------

char* get_status(http_parser* p, char* buffer, int32_t n) {
  const char* t = p->text;
  if (!equal_ignore_case(t, "HTTP/1.1 ", 9) && !equal_ignore_case(t, "HTTP/1.0 ", 9)) return nullptr;
  return copy_line_part(t, 9, buffer, n);
}

constexpr const char* kKnownMethods[] = {"GET ",   "POST ",   "CONNECT ", "HEAD ",
                                         "PUT ",   "DELETE ", "TRACE ",   "OPTIONS "};

char* get_method(http_parser* p, char* buffer) {
  const char* t = p->text;
  if (is_response(t)) return nullptr;
  for (const char* method : kKnownMethods) {
    const size_t len = std::strlen(method);
    if (!equal_ignore_case(t, method, len)) continue;
    std::memcpy(buffer, t, len - 1);  // the word in the head's own letter case
    buffer[len - 1] = '\0';
    return buffer;
  }
  return nullptr;
}

char* get_target(http_parser* p, char* buffer, int32_t n) {
  auto span = target_span(p->text);
  if (!span) return nullptr;
  return copy_trimmed(p->text + span->start, span->length, buffer, n);
}

bool starts_cookie(const char* value, int32_t pos) {
  return pos == 0 || is_blank(value[pos - 1]) || value[pos - 1] == ';';
}

char* get_cookie(http_parser* p, const char* name, char* buffer, int32_t n) {
  auto at = find_header(p, "Cookie", 0);
  if (!at) return nullptr;
  const char* value = p->text + skip_separators(p->text, at->value);
  const int32_t value_len = run_to(value, 0, is_line_end);
  const size_t cut = strnlen(name, kCookieNameCut);
  for (int32_t i = 0; i + static_cast<int64_t>(cut) + 1 <= value_len; ++i) {
    if (value[i + cut] != '=' || !equal_ignore_case(value + i, name, cut) || !starts_cookie(value, i)) continue;
    const int32_t from = i + static_cast<int32_t>(cut) + 1;
    int32_t end = from;
    while (end < value_len && value[end] != ';') ++end;
    return copy_trimmed(value + from, end - from, buffer, n);
  }
  return nullptr;
}

// ---- objects ------------------------------------------------------------------------------

void set_up(http_parser* p, cu_xmem* pool) {
  std::memset(p, 0, sizeof(*p));
  p->pool = pool;
}

http_parser* make_parser(cu_xmem* pool) {
  auto* p = static_cast<http_parser*>(pool_alloc(pool, sizeof(http_parser)));
  if (p) set_up(p, pool);
  return p;
}

void destroy_parser(http_parser* p) {
  pool_free(p->pool, p->text);
  p->text = nullptr;
  p->capacity = 0;
  p->length = 0;
  p->index_count = 0;
}

void free_parser(http_parser* p) {
  destroy_parser(p);
  pool_free(p->pool, p);
}

// A copy whose buffer cannot be had is no copy: the caller gets NULL, not an empty head.
http_parser* clone_parser(const http_parser* src, cu_xmem* pool) {
  http_parser* copy = make_parser(pool);
  if (!copy) return nullptr;
  *copy = *src;
  copy->pool = pool;
  copy->text = nullptr;
  copy->capacity = 0;
  if (!src->text) return copy;
  copy->text = static_cast<char*>(pool_alloc(pool, src->capacity));
  if (!copy->text) {
    copy->length = 0;
    free_parser(copy);
    return nullptr;
  }
  copy->capacity = src->capacity;
  std::memcpy(copy->text, src->text, src->length + 1);
  return copy;
}

void print_index(const http_parser* p) {
  for (int i = 0; i < p->index_count; ++i) {
    const http_parser_index& e = p->index[i];
    cu_console_printf("%.*s: \r\n", std::min<int>(e.length, 128), p->text + e.offset);
  }
}

// A reader given to an _ext form: a block of its own, released again when nothing is found.
template <typename Read>
char* read_into_block(int32_t size, Read read) {
  auto* block = static_cast<char*>(_cu_malloc(size, kUnit, __LINE__));
  if (!block) return nullptr;
  char* result = read(block);
  if (!result) _cu_free(block, kUnit, __LINE__);
  return result;
}

bool usable(http_parser* p, const void* arg, const char* buffer, int32_t n) {
  return p && arg && buffer && n >= 1 && ensure_buffer(p);
}
}  // namespace

http_parser* http_parser_make(void) { return make_parser(nullptr); }

http_parser* http_parser_makex(cu_xmem* pool) { return make_parser(pool); }

void http_parser_init(http_parser* parser) {
  if (parser) set_up(parser, nullptr);
}

void http_parser_init_ext(http_parser* parser, cu_xmem* pool) {
  if (parser) set_up(parser, pool);
}

void http_parser_destroy(http_parser* parser) {
  if (parser) destroy_parser(parser);
}

void http_parser_free(http_parser* parser) {
  if (parser) free_parser(parser);
}

void http_parser_empty(http_parser* parser) {
  if (!parser) return;
  if (parser->text) parser->text[0] = '\0';
  parser->length = 0;
  parser->index_count = 0;
}

int32_t http_parser_parse(http_parser* parser, const char* bytes, int32_t len) {
  return parser ? feed(parser, bytes, len) : 0;
}

bool http_parser_check(http_parser* parser) {
  if (!parser || parser->length < 4 || !ensure_buffer(parser)) return false;
  return is_complete(parser);
}

char* http_parser_GetStr(http_parser* parser) {
  return parser && ensure_buffer(parser) ? parser->text : nullptr;
}

int32_t http_parser_GetLen(http_parser* parser) { return parser ? parser->length : 0; }

bool http_parser_buildIndex(http_parser* parser) {
  if (!parser) return false;
  if (parser->index_count != 0) return true;
  if (!is_complete(parser)) return false;
  build_index(parser);
  return true;
}

void http_parser_IndexInfo(http_parser* parser) {
  if (parser && parser->text) print_index(parser);
}

http_parser* http_parser_clone(const http_parser* parser) {
  return parser ? clone_parser(parser, nullptr) : nullptr;
}

http_parser* http_parser_clonex(const http_parser* parser, cu_xmem* pool) {
  return parser ? clone_parser(parser, pool) : nullptr;
}

char* http_parser_GetStatus(http_parser* parser, char* buffer, int32_t n) {
  if (!usable(parser, buffer, buffer, n)) return nullptr;
  return get_status(parser, buffer, n);
}

char* http_parser_GetStatus_ext(http_parser* parser) {
  return read_into_block(kExtBlock, [&](char* b) { return http_parser_GetStatus(parser, b, kExtBlock); });
}

void http_parser_ModifyStatus(http_parser* parser, const char* text) {
  if (parser) replace_start_part(parser, status_to_replace, text);
}

char* http_parser_GetMothod(http_parser* parser, char* buffer) {
  if (!usable(parser, buffer, buffer, 8)) return nullptr;
  return get_method(parser, buffer);
}

char* http_parser_GetMethod_ext(http_parser* parser) {
  return read_into_block(kMethodBlock, [&](char* b) { return http_parser_GetMothod(parser, b); });
}

void http_parser_ModifyMethod(http_parser* parser, const char* text) {
  if (parser) replace_start_part(parser, method_to_replace, text);
}

char* http_parser_GetRequest(http_parser* parser, char* buffer, int32_t n) {
  if (!usable(parser, buffer, buffer, n)) return nullptr;
  return get_target(parser, buffer, n);
}

char* http_parser_GetRequest_ext(http_parser* parser) {
  return read_into_block(kExtBlock, [&](char* b) { return http_parser_GetRequest(parser, b, kExtBlock); });
}

void http_parser_ModifyRequest(http_parser* parser, const char* text) {
  if (parser) replace_start_part(parser, target_span, text);
}

char* http_parser_GetNthKey(http_parser* parser, const char* name, int32_t k, char* buffer, int32_t n) {
  if (!usable(parser, name, buffer, n)) return nullptr;
  return get_value(parser, name, k, buffer, n);
}

char* http_parser_GetKey(http_parser* parser, const char* name, char* buffer, int32_t n) {
  return http_parser_GetNthKey(parser, name, 0, buffer, n);
}

char* http_parser_GetKey_ext(http_parser* parser, const char* name) {
  return read_into_block(kExtBlock, [&](char* b) { return http_parser_GetKey(parser, name, b, kExtBlock); });
}

bool http_parser_IsKey(http_parser* parser, const char* name) {
  char small[2];
  return http_parser_GetKey(parser, name, small, sizeof(small)) != nullptr;
}

bool http_parser_InsertKey(http_parser* parser, const char* name, const char* value) {
  if (!parser || !name || !value) return false;
  return insert_header(parser, name, value);
}

bool http_parser_DelNthKey(http_parser* parser, const char* name, int32_t k) {
  if (!parser || !name || !ensure_buffer(parser)) return true;
  if (auto at = find_header(parser, name, k)) remove_header(parser, *at);
  return true;
}

bool http_parser_DelKey(http_parser* parser, const char* name) { return http_parser_DelNthKey(parser, name, 0); }

bool http_parser_ModifyKey(http_parser* parser, const char* name, const char* value) {
  if (!parser || !name || !value) return false;
  return modify_header(parser, name, value);
}

char* http_parser_GetCookie(http_parser* parser, const char* name, char* buffer, int32_t n) {
  if (!usable(parser, name, buffer, n)) return nullptr;
  return get_cookie(parser, name, buffer, n);
}

char* http_parser_GetCookie_ext(http_parser* parser, const char* name) {
  return read_into_block(kExtBlock, [&](char* b) { return http_parser_GetCookie(parser, name, b, kExtBlock); });
}

bool http_parser_IsCookieKey(http_parser* parser, const char* name) {
  char small[2];
  return http_parser_GetCookie(parser, name, small, sizeof(small)) != nullptr;
}
