#include "cu_config.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cu_file.h"
#include "cu_file_internal.h"
#include "cu_lib.h"
#include "cu_lib_internal.h"
#include "cu_malloc.h"
#include "cu_xtree.h"
#include "vor_path.h"

namespace {

enum TokenKind : int32_t {
  kNewline = 10,
  kBlank = 11,
  kComment = 12,
  kHeader = 20,
  kKeyName = 30,
  kEquals = 31,
  kValue = 32,
  kOther = 40,
};

struct Token {
  int32_t kind;
  std::string text;
  bool open = false;  // a header without ']' or a "/*" without "*/": it runs to the end of the text
};
using Tokens = std::list<Token>;
using TokenIt = Tokens::iterator;

// A key points at its own name and value tokens: the value read is the text the file holds,
// and a change rewrites exactly the occurrence that takes effect.
struct Key {
  TokenIt name;
  TokenIt value;
};

// Names to records in a cu_stree (bytewise order). The tree copies each name into its node
// and owns the records: they stay at one address, and names handed out stay valid, as long
// as their entry.
template <typename T>
class NameTree {
 public:
  NameTree() : tree_(cu_stree_malloc()) {
    if (!tree_) throw std::bad_alloc();
  }
  ~NameTree() { cu_stree_freex(tree_, destroy, nullptr); }
  NameTree(const NameTree&) = delete;
  NameTree& operator=(const NameTree&) = delete;

  T* find(const char* name) {
    void* value = nullptr;
    return cu_stree_find(tree_, name, &value) ? static_cast<T*>(value) : nullptr;
  }
  T& get_or_add(const char* name) {
    if (T* found = find(name)) return *found;
    auto record = std::make_unique<T>();
    if (!cu_stree_insert(tree_, name, record.get())) throw std::bad_alloc();
    return *record.release();
  }
  void put(const char* name, const T& value) { get_or_add(name) = value; }
  void erase(const char* name) { cu_stree_deletex(tree_, name, destroy, nullptr); }
  // Moves the record of from (which exists) to the unused name to.
  void rename(const char* from, const char* to) {
    T* record = find(from);
    if (!cu_stree_insert(tree_, to, record)) throw std::bad_alloc();
    cu_stree_delete(tree_, from);  // a typed tree never destroys values itself
  }
  template <typename F>
  void for_each(F&& f) {
    cu_stree_traverse(
        tree_,
        [](void* name, void* value, void* fn) -> uint8_t {
          (*static_cast<F*>(fn))(static_cast<const char*>(name), *static_cast<T*>(value));
          return 0;
        },
        &f);
  }

 private:
  static void destroy(void* value, void*) { delete static_cast<T*>(value); }
  cu_stree* tree_;
};

struct Group {
  NameTree<Key> keys;
};

using cu_internal::is_blank;
bool is_line_end(char c) { return c == '\r' || c == '\n'; }

bool starts_key_name(char c) {
  return c != '\0' && !is_blank(c) && !is_line_end(c) && c != '#' && c != '/' && c != ';' && c != '=' && c != '[';
}

class Config {
 public:
  void parse(std::string_view text);
  std::string text() const;
  bool can_save() const { return !truncated_at_nul_; }

  Key* find_key(const char* group, const char* key);
  bool has_group(const char* group) { return groups_.find(group) != nullptr; }
  bool set_key(const char* group, const char* key, const char* value);
  void unset_key(const char* group, const char* key);
  bool set_group(const char* group);
  void unset_group(const char* group);
  bool rename_group(const char* old_name, const char* new_name);

  void group_rewind();
  bool group_next(const char** name);
  void key_rewind(const char* group);
  bool key_next(const char** name, const char** value);

  void mark_truncated() { truncated_at_nul_ = true; }

 private:
  size_t take_blank_newline_comment(std::string_view s, size_t p);
  size_t take_header(std::string_view s, size_t p);
  size_t take_key_line(std::string_view s, size_t p);
  size_t take_other(std::string_view s, size_t p);
  void add_key(const std::string& group, TokenIt name, TokenIt value);
  TokenIt last_header_of(const std::string& group);
  void forget_group_name(const char* group);
  bool text_ends_open() const { return !tokens_.empty() && tokens_.back().open; }

  Tokens tokens_;
  NameTree<Group> groups_;
  std::vector<const char*> group_cursor_;
  std::vector<const Key*> key_cursor_;
  bool in_group_ = false;
  std::string current_group_;
  bool truncated_at_nul_ = false;
};

size_t line_end_run(std::string_view s, size_t p) {
  while (p < s.size() && is_line_end(s[p])) ++p;
  return p;
}

size_t to_line_end(std::string_view s, size_t p) {
  while (p < s.size() && !is_line_end(s[p])) ++p;
  return p;
}

// Step 1 of a pass: blank runs, newline runs and comments, as many as stand at p.
size_t Config::take_blank_newline_comment(std::string_view s, size_t p) {
  while (p < s.size()) {
    size_t q = p;
    int32_t kind;
    bool open = false;
    if (is_blank(s[p])) {
      while (q < s.size() && is_blank(s[q])) ++q;
      kind = kBlank;
    } else if (is_line_end(s[p])) {
      q = line_end_run(s, p);
      kind = kNewline;
    } else if (s[p] == '#' || s[p] == ';' || s.substr(p, 2) == "//") {
      q = to_line_end(s, p);
      kind = kComment;
    } else if (s.substr(p, 2) == "/*") {
      size_t close = s.find("*/", p + 2);
      open = close == std::string_view::npos;
      q = open ? s.size() : close + 2;
      kind = kComment;
    } else {
      break;
    }
    tokens_.push_back(Token{kind, std::string(s.substr(p, q - p)), open});
    p = q;
  }
  return p;
}

size_t Config::take_header(std::string_view s, size_t p) {
  size_t close = s.find(']', p + 1);
  bool open = close == std::string_view::npos;
  size_t name_end = open ? s.size() : close;
  std::string name(s.substr(p + 1, name_end - p - 1));
  tokens_.push_back(Token{kHeader, name, open});
  groups_.get_or_add(name.c_str());
  in_group_ = true;
  current_group_ = std::move(name);
  return open ? s.size() : close + 1;
}

size_t Config::take_key_line(std::string_view s, size_t p) {
  size_t q = p;
  while (q < s.size() && !is_blank(s[q]) && !is_line_end(s[q]) && s[q] != '=') ++q;
  TokenIt name = tokens_.insert(tokens_.end(), Token{kKeyName, std::string(s.substr(p, q - p))});
  p = q;
  while (q < s.size() && is_blank(s[q])) ++q;
  if (q > p) tokens_.push_back(Token{kBlank, std::string(s.substr(p, q - p))});
  p = q;
  if (p < s.size() && s[p] == '=') {
    tokens_.push_back(Token{kEquals, "="});
    size_t end = to_line_end(s, p + 1);
    TokenIt value = tokens_.insert(tokens_.end(), Token{kValue, std::string(s.substr(p + 1, end - p - 1))});
    if (in_group_) add_key(current_group_, name, value);
    return end;
  }
  name->kind = kOther;
  size_t end = line_end_run(s, to_line_end(s, p));
  if (end > p) tokens_.push_back(Token{kOther, std::string(s.substr(p, end - p))});
  return end;
}

size_t Config::take_other(std::string_view s, size_t p) {
  size_t end = line_end_run(s, to_line_end(s, p));
  tokens_.push_back(Token{kOther, std::string(s.substr(p, end - p))});
  return end;
}

void Config::add_key(const std::string& group, TokenIt name, TokenIt value) {
  groups_.get_or_add(group.c_str()).keys.put(name->text.c_str(), Key{name, value});
}

void Config::parse(std::string_view s) {
  size_t p = 0;
  if (s.substr(0, 3) == "\xEF\xBB\xBF") p = 3;
  while (p < s.size()) {
    p = take_blank_newline_comment(s, p);
    if (p >= s.size()) break;
    if (s[p] == '[') p = take_header(s, p);
    else if (starts_key_name(s[p])) p = take_key_line(s, p);
    else p = take_other(s, p);
  }
}

std::string Config::text() const {
  std::string out;
  for (const Token& t : tokens_) {
    if (t.kind == kHeader) {
      out += '[';
      out += t.text;
      if (!t.open) out += ']';
    } else {
      out += t.text;
    }
  }
  return out;
}

Key* Config::find_key(const char* group, const char* key) {
  Group* g = groups_.find(group);
  return g ? g->keys.find(key) : nullptr;
}

TokenIt Config::last_header_of(const std::string& group) {
  TokenIt found = tokens_.end();
  for (TokenIt it = tokens_.begin(); it != tokens_.end(); ++it) {
    if (it->kind == kHeader && it->text == group) found = it;
  }
  return found;
}

// Names and values that would read back differently (or inject lines) are refused.
bool valid_group_name(const char* group) { return std::strchr(group, ']') == nullptr; }

bool valid_key_name(const char* key) {
  if (!starts_key_name(key[0])) return false;
  return std::strpbrk(key, "= \t\r\n") == nullptr;
}

bool valid_value(const char* value) { return std::strpbrk(value, "\r\n") == nullptr; }

bool Config::set_key(const char* group, const char* key, const char* value) {
  if (!valid_group_name(group) || !valid_key_name(key) || !valid_value(value)) return false;
  if (Key* k = find_key(group, key)) {
    k->value->text = value;
    return true;
  }
  if (!set_group(group)) return false;
  TokenIt header = last_header_of(group);
  if (header == tokens_.end() || header->open) return false;  // an open header swallows the rest
  // The new line goes first in the group; it ends in a line end of its own unless one
  // follows already, so nothing after the header is glued onto the value.
  TokenIt next = std::next(header);
  bool needs_line_end = next != tokens_.end() && next->kind != kNewline;
  tokens_.insert(next, Token{kNewline, "\r\n"});
  TokenIt name = tokens_.insert(next, Token{kKeyName, key});
  tokens_.insert(next, Token{kEquals, "="});
  TokenIt val = tokens_.insert(next, Token{kValue, value});
  if (needs_line_end) tokens_.insert(next, Token{kNewline, "\r\n"});
  add_key(group, name, val);
  return true;
}

bool Config::set_group(const char* group) {
  if (!valid_group_name(group)) return false;
  if (has_group(group)) return true;
  if (text_ends_open()) return false;  // an open comment or header would swallow the new header
  if (!tokens_.empty()) tokens_.push_back(Token{kNewline, "\r\n"});
  tokens_.push_back(Token{kHeader, group});
  groups_.get_or_add(group);
  return true;
}

// Removes the key's lines in every header of the group: the name, then each of a blank,
// "=", a blank, the value, a blank and the line-end run, when it is the next token.
// A walk in progress drops the entries of what goes, so it never reaches a freed record.
void Config::forget_group_name(const char* group) {
  std::erase_if(group_cursor_, [group](const char* name) { return std::strcmp(name, group) == 0; });
}

void Config::unset_key(const char* group, const char* key) {
  if (Group* g = groups_.find(group)) {
    std::erase(key_cursor_, g->keys.find(key));
    g->keys.erase(key);
  }
  static constexpr int32_t kLineTail[] = {kBlank, kEquals, kBlank, kValue, kBlank, kNewline};
  for (TokenIt it = tokens_.begin(); it != tokens_.end(); ++it) {
    if (it->kind != kHeader || it->text != group) continue;
    TokenIt t = std::next(it);
    while (t != tokens_.end() && t->kind != kHeader) {
      if (t->kind != kKeyName || t->text != key) {
        ++t;
        continue;
      }
      t = tokens_.erase(t);
      for (int32_t kind : kLineTail) {
        if (t != tokens_.end() && t->kind == kind) t = tokens_.erase(t);
      }
    }
  }
}

void Config::unset_group(const char* group) {
  if (Group* g = groups_.find(group)) {
    std::erase_if(key_cursor_, [g](const Key* k) { return g->keys.find(k->name->text.c_str()) == k; });
    forget_group_name(group);
  }
  groups_.erase(group);
  TokenIt it = tokens_.begin();
  while (it != tokens_.end()) {
    if (it->kind != kHeader || it->text != group) {
      ++it;
      continue;
    }
    do {
      it = tokens_.erase(it);
    } while (it != tokens_.end() && it->kind != kHeader);
  }
}

bool Config::rename_group(const char* old_name, const char* new_name) {
  if (old_name == new_name || std::strcmp(old_name, new_name) == 0) return true;
  if (!valid_group_name(new_name) || has_group(new_name)) return false;
  if (!has_group(old_name)) return false;
  forget_group_name(old_name);
  groups_.rename(old_name, new_name);
  for (Token& t : tokens_) {
    if (t.kind == kHeader && t.text == old_name) t.text = new_name;
  }
  return true;
}

void Config::group_rewind() {
  group_cursor_.clear();
  groups_.for_each([this](const char* name, Group&) { group_cursor_.push_back(name); });  // taken from the back
}

bool Config::group_next(const char** name) {
  if (group_cursor_.empty()) return false;
  if (name) *name = group_cursor_.back();
  group_cursor_.pop_back();
  return true;
}

void Config::key_rewind(const char* group) {
  key_cursor_.clear();
  if (!group) return;
  if (Group* g = groups_.find(group)) g->keys.for_each([this](const char*, Key& key) { key_cursor_.push_back(&key); });
}

bool Config::key_next(const char** name, const char** value) {
  if (key_cursor_.empty()) return false;
  const Key* k = key_cursor_.back();
  key_cursor_.pop_back();
  if (name) *name = k->name->text.c_str();
  if (value) *value = k->value->text.c_str();
  return true;
}

Config* as_config(cu_config* cfg) { return reinterpret_cast<Config*>(cfg); }
cu_config* as_handle(Config* c) { return reinterpret_cast<cu_config*>(c); }

// Exports never throw: memory short anywhere inside answers the failure value.
template <typename R, typename F>
R guarded(R failure, F&& body) {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

char* copy_out(std::string_view s) { return cu_strndup(s.empty() ? "" : s.data(), static_cast<int32_t>(s.size())); }

// Parses up to the first NUL; an object whose text went on after a NUL is never saved,
// since its rest would be lost.
Config* make_from(std::string_view text) {
  auto c = std::make_unique<Config>();
  size_t nul = text.find('\0');
  if (nul != std::string_view::npos) {
    c->mark_truncated();
    text = text.substr(0, nul);
  }
  c->parse(text);
  return c.release();
}

bool read_whole_file(const char* path, std::string* out) {
  cu_file1* f = cu_file1_open_r(path);
  if (!f) return false;
  char buf[65536];
  int32_t n;
  while ((n = cu_file1_read(f, buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
  bool whole = cu_file1_eof(f);  // a read error (a folder, say) is not an empty file
  cu_file1_close(f);
  return whole;
}

bool is_skipped(char c, bool skip_minus) {
  return c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '+' || (skip_minus && c == '-');
}

using cu_internal::is_digit;

// Decimal digits from s, clamped to the signed 64-bit range; stops at the first non-digit.
int64_t decimal(const char* s, bool negative) {
  uint64_t limit = negative ? uint64_t{1} << 63 : static_cast<uint64_t>(INT64_MAX);
  uint64_t v = 0;
  for (; is_digit(*s); ++s) {
    unsigned d = static_cast<unsigned>(*s - '0');
    v = (v > (limit - d) / 10) ? limit : v * 10 + d;
  }
  if (!negative) return static_cast<int64_t>(v);
  return v == (uint64_t{1} << 63) ? INT64_MIN : -static_cast<int64_t>(v);
}

// The number a signed getter reads: after the skipped characters, a digit or '-' and a digit.
bool signed_number(const char* s, int64_t* out) {
  while (is_skipped(*s, false)) ++s;
  bool negative = *s == '-';
  if (negative) ++s;
  if (!is_digit(*s)) return false;
  *out = decimal(s, negative);
  return true;
}

bool unsigned_number(const char* s, int64_t* out) {
  while (is_skipped(*s, true)) ++s;
  if (!is_digit(*s)) return false;
  *out = decimal(s, false);
  return true;
}

const char* value_of(cu_config* cfg, const char* group, const char* key) {
  if (!cfg || !group || !key) return nullptr;
  Key* k = as_config(cfg)->find_key(group, key);
  return k ? k->value->text.c_str() : nullptr;
}

uint8_t bool_of(const char* v, uint8_t def) {
  if (!v) return def ? 1 : 0;
  while (is_skipped(*v, true)) ++v;
  if (cu_strnicmp(v, "true", 4) == 0) return 1;
  if (cu_strnicmp(v, "false", 5) == 0) return 0;
  if (is_digit(*v)) return decimal(v, false) != 0 ? 1 : 0;
  return def ? 1 : 0;
}

template <typename T, typename Read>
T simple_get(const char* path, const char* group, const char* key, T def, Read read) {
  if (!path) return def;
  cu_config* cfg = cu_config_make(path);
  if (!cfg) return def;
  T v = read(cfg, group, key, def);
  cu_config_free(cfg);
  return v;
}
}  // namespace

cu_config* cu_config_make(const char* path) {
  return guarded<cu_config*>(nullptr, [&] {
    if (!path) return as_handle(make_from(std::string_view()));
    std::string text;
    if (!read_whole_file(path, &text)) return static_cast<cu_config*>(nullptr);
    return as_handle(make_from(text));
  });
}

cu_config* cu_config_make1(const char* text) {
  return guarded<cu_config*>(nullptr, [&] {
    return as_handle(make_from(text ? std::string_view(text) : std::string_view()));
  });
}

void cu_config_free(cu_config* cfg) { delete as_config(cfg); }

char* cu_config_ToString(cu_config* cfg) {
  if (!cfg) return nullptr;
  return guarded<char*>(nullptr, [&] { return copy_out(as_config(cfg)->text()); });
}

bool cu_config_SaveToFile(cu_config* cfg, const char* path) {
  if (!cfg || !path) return false;
  return guarded(false, [&] {
    Config* c = as_config(cfg);
    return c->can_save() && cu_internal::replace_file(vor::normalise_path(path), c->text()) == 0;
  });
}

const char* cu_config_GetKey(cu_config* cfg, const char* group, const char* key) {
  return value_of(cfg, group, key);
}

bool cu_config_IsGroupExist(cu_config* cfg, const char* group) {
  return cfg && group && as_config(cfg)->has_group(group);
}

bool cu_config_IsKeyExist(cu_config* cfg, const char* group, const char* key) {
  return value_of(cfg, group, key) != nullptr;
}

uint8_t cu_config_GetKeyBool(cu_config* cfg, const char* group, const char* key, uint8_t def) {
  return bool_of(value_of(cfg, group, key), def);
}

int32_t cu_config_GetKeyInt32(cu_config* cfg, const char* group, const char* key, int32_t def) {
  const char* v = value_of(cfg, group, key);
  int64_t n;
  if (!v || !signed_number(v, &n)) return def;
  return static_cast<int32_t>(n < INT32_MIN ? INT32_MIN : (n > INT32_MAX ? INT32_MAX : n));
}

uint32_t cu_config_GetKeyUint32(cu_config* cfg, const char* group, const char* key, uint32_t def) {
  const char* v = value_of(cfg, group, key);
  int64_t n;
  if (!v || !unsigned_number(v, &n)) return def;
  return static_cast<uint32_t>(static_cast<uint64_t>(n));
}

int64_t cu_config_GetKeyInt64(cu_config* cfg, const char* group, const char* key, int64_t def) {
  const char* v = value_of(cfg, group, key);
  int64_t n;
  return v && signed_number(v, &n) ? n : def;
}

uint64_t cu_config_GetKeyUint64(cu_config* cfg, const char* group, const char* key, uint64_t def) {
  const char* v = value_of(cfg, group, key);
  int64_t n;
  return v && unsigned_number(v, &n) ? static_cast<uint64_t>(n) : def;
}

uint8_t cu_config_simple_GetKeyBool(const char* path, const char* group, const char* key, uint8_t def) {
  return simple_get(path, group, key, def, cu_config_GetKeyBool);
}
int32_t cu_config_simple_GetKeyInt32(const char* path, const char* group, const char* key, int32_t def) {
  return simple_get(path, group, key, def, cu_config_GetKeyInt32);
}
uint32_t cu_config_simple_GetKeyUint32(const char* path, const char* group, const char* key, uint32_t def) {
  return simple_get(path, group, key, def, cu_config_GetKeyUint32);
}
int64_t cu_config_simple_GetKeyInt64(const char* path, const char* group, const char* key, int64_t def) {
  return simple_get(path, group, key, def, cu_config_GetKeyInt64);
}
uint64_t cu_config_simple_GetKeyUint64(const char* path, const char* group, const char* key, uint64_t def) {
  return simple_get(path, group, key, def, cu_config_GetKeyUint64);
}

char* cu_config_simple_GetKeyString(const char* path, const char* group, const char* key) {
  if (!path) return nullptr;
  cu_config* cfg = cu_config_make(path);
  if (!cfg) return nullptr;
  const char* v = value_of(cfg, group, key);
  char* copy = v ? copy_out(v) : nullptr;
  cu_config_free(cfg);
  return copy;
}

// Drops one pair of double quotes: an opening one after leading blanks, and a closing one
// found by looking back over blanks, ';' and ','.
char* __GetProfileString(const char* text) {
  if (!text) return copy_out("");
  std::string_view s(text);
  size_t start = 0, i = 0;
  while (i < s.size() && is_blank(s[i])) ++i;
  if (i < s.size() && s[i] == '"') start = i + 1;
  size_t end = s.size();
  size_t j = s.size();
  while (j > 0 && (is_blank(s[j - 1]) || s[j - 1] == ';' || s[j - 1] == ',')) --j;
  if (j > start && s[j - 1] == '"') end = j - 1;
  return copy_out(s.substr(start, end - start));
}

bool cu_config_SetKey(cu_config* cfg, const char* group, const char* key, const char* value) {
  if (!cfg || !group || !key || !value) return false;
  return guarded(false, [&] { return as_config(cfg)->set_key(group, key, value); });
}

void cu_config_UnsetKey(cu_config* cfg, const char* group, const char* key) {
  if (!cfg || !group || !key) return;
  as_config(cfg)->unset_key(group, key);  // erasing allocates nothing
}

bool cu_config_SetGroup(cu_config* cfg, const char* group) {
  if (!cfg || !group) return false;
  return guarded(false, [&] { return as_config(cfg)->set_group(group); });
}

void cu_config_UnsetGroup(cu_config* cfg, const char* group) {
  if (!cfg || !group) return;
  as_config(cfg)->unset_group(group);
}

bool cu_config_RenameGroup(cu_config* cfg, const char* old_name, const char* new_name) {
  if (!cfg || !old_name || !new_name) return false;
  return guarded(false, [&] { return as_config(cfg)->rename_group(old_name, new_name); });
}

void cu_config_GroupRewind(cu_config* cfg) {
  if (!cfg) return;
  guarded(false, [&] {
    as_config(cfg)->group_rewind();
    return true;
  });
}

bool cu_config_GroupGetFirst(cu_config* cfg, const char** name) {
  if (!cfg) return false;
  cu_config_GroupRewind(cfg);
  return as_config(cfg)->group_next(name);
}

bool cu_config_GroupGetNext(cu_config* cfg, const char** name) { return cfg && as_config(cfg)->group_next(name); }

void cu_config_KeyRewind(cu_config* cfg, const char* group) {
  if (!cfg) return;
  guarded(false, [&] {
    as_config(cfg)->key_rewind(group);
    return true;
  });
}

bool cu_config_KeyGetFirst(cu_config* cfg, const char* group, const char** name, const char** value) {
  if (!cfg) return false;
  cu_config_KeyRewind(cfg, group);
  return as_config(cfg)->key_next(name, value);
}

bool cu_config_KeyGetNext(cu_config* cfg, const char** name, const char** value) {
  return cfg && as_config(cfg)->key_next(name, value);
}
