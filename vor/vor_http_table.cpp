#include "vor_http_table.h"

#include "cu_escape.h"
#include "cu_lib.h"
#include "cu_lib_internal.h"
#include "cu_malloc.h"
#include "vor_kit.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr char kUnit[] = "vor\\vor_http_table";
constexpr char kSetCookie[] = "Set-Cookie";

struct Field {
  char* name;
  char* value;
};

struct Form {
  char* name;
  char* escaped;
  char* decoded;
};

}  // namespace

// Fields and forms keep their order; lookups walk them from the front.
struct vor_http_table {
  char* method = nullptr;
  char* version = nullptr;
  int32_t status_value = -1;
  char* status = nullptr;
  char* request = nullptr;
  std::vector<Field> fields;
  int32_t field_cursor = 0;
  std::vector<Form> forms;
  int32_t form_cursor = 0;
  int32_t form_len = 0;
};

namespace {

char* dup_n(const char* s, size_t n) {
  auto* copy = static_cast<char*>(_cu_malloc(n + 1, kUnit, __LINE__));
  if (!copy) return nullptr;
  std::memcpy(copy, s, n);
  copy[n] = '\0';
  return copy;
}

char* dup(const char* s) { return dup_n(s, std::strlen(s)); }

// Appends to a field or form list; false instead of a throw when memory is short.
template <typename Entry>
bool push(std::vector<Entry>& list, const Entry& e) {
  try {
    list.push_back(e);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void release(char*& s) {
  _cu_free(s, kUnit, __LINE__);
  s = nullptr;
}

// A text written into a head line must not end that line early.
bool safe_for_head(const char* s) { return std::strpbrk(s, "\r\n") == nullptr; }

bool replace_string(char*& slot, const char* text) {
  char* copy = dup(text);
  if (!copy) return false;
  release(slot);
  slot = copy;
  return true;
}

int32_t leading_integer(const char* text) {
  errno = 0;
  const long v = std::strtol(text, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

void say(const char* format, const char* text) {
  std::printf(format, text);
  std::fflush(stdout);
}

void free_field(Field& f) {
  release(f.name);
  release(f.value);
}

void free_form(Form& f) {
  release(f.name);
  release(f.escaped);  // from cu_url_escape_malloc or a plain copy: both the process allocator
  release(f.decoded);
}

void zero_fields(vor_http_table* t) {
  for (auto& f : t->fields) free_field(f);
  t->fields.clear();
  t->field_cursor = 0;
}

void zero_forms(vor_http_table* t) {
  for (auto& f : t->forms) free_form(f);
  t->forms.clear();
  t->form_cursor = 0;
  t->form_len = 0;
}

void clean(vor_http_table* t) {
  release(t->method);
  release(t->version);
  release(t->status);
  release(t->request);
  t->status_value = -1;
  zero_fields(t);
  zero_forms(t);
}

vor_http_table* make_table() {
  return vor::make<vor_http_table>(kUnit);
}

void free_table(vor_http_table* t) {
  clean(t);
  vor::destroy(t, kUnit);
}

using OwnedTable = vor::Owned<vor_http_table, free_table>;

Field* nth_field(vor_http_table* t, int32_t n, const char* name) {
  for (auto& f : t->fields) {
    if (cu_stricmp(f.name, name) == 0 && n-- == 0) return &f;
  }
  return nullptr;
}

Form* nth_form(vor_http_table* t, int32_t n, const char* name) {
  for (auto& f : t->forms) {
    if (std::strcmp(f.name, name) == 0 && n-- == 0) return &f;
  }
  return nullptr;
}

bool append_field(vor_http_table* t, const char* name, size_t name_len, const char* value, size_t value_len) {
  Field f{dup_n(name, name_len), dup_n(value, value_len)};
  if (!f.name || !f.value) {
    free_field(f);
    return false;
  }
  if (!push(t->fields, f)) {
    free_field(f);
    return false;
  }
  return true;
}

bool set_field(vor_http_table* t, const char* name, const char* value) {
  if (!safe_for_head(name) || !safe_for_head(value)) return false;
  Field* f = cu_stricmp(name, kSetCookie) == 0 ? nullptr : nth_field(t, 0, name);
  if (!f) return append_field(t, name, std::strlen(name), value, std::strlen(value));
  const size_t len = std::strlen(value);
  if (std::strlen(f->value) >= len) {
    std::memcpy(f->value, value, len + 1);
  } else if (!replace_string(f->value, value)) {
    return false;
  }
  std::memcpy(f->name, name, std::strlen(f->name));  // same length: found without regard to case
  return true;
}

void unset_field(vor_http_table* t, const char* name) {
  for (auto it = t->fields.begin(); it != t->fields.end(); ++it) {
    if (cu_stricmp(it->name, name) == 0) {
      free_field(*it);
      t->fields.erase(it);
      return;
    }
  }
}

int32_t form_piece_length(const Form& f) {
  return static_cast<int32_t>(std::strlen(f.name) + std::strlen(f.escaped));
}

bool set_form(vor_http_table* t, const char* name, const char* value) {
  Form f{dup(name), cu_url_escape_malloc(value, 0), dup(value)};
  if (!f.name || !f.escaped || !f.decoded) {
    free_form(f);
    return false;
  }
  if (!push(t->forms, f)) {
    free_form(f);
    return false;
  }
  const int32_t piece = form_piece_length(f);
  t->form_len += t->form_len == 0 ? piece + 1 : piece + 2;
  return true;
}

void unset_form(vor_http_table* t, const char* name) {
  for (auto it = t->forms.begin(); it != t->forms.end(); ++it) {
    if (std::strcmp(it->name, name) != 0) continue;
    const int32_t piece = form_piece_length(*it);
    t->form_len = t->form_len == piece + 1 ? 0 : t->form_len - (piece + 2);
    free_form(*it);
    t->forms.erase(it);
    return;
  }
}

using cu_internal::is_digit;
using cu_internal::is_letter;
bool is_token_char(char c) { return is_letter(c) || is_digit(c) || c == '-' || c == '.' || c == '_'; }
bool is_status_char(char c) { return is_token_char(c) || c == ' ' || c == '/' || c == '%' || c == '=' || c == '&'; }
bool is_line_end(char c) { return c == '\r' || c == '\n'; }

// Reads a head text; every failure prints its message with the whole text.
class HeadParser {
 public:
  explicit HeadParser(const char* text) : text_(text), p_(text) {}

  vor_http_table* parse() {
    OwnedTable t(make_table());
    if (!t) return nullptr;
    skip_blanks();
    while (is_line_end(*p_)) ++p_;
    if (!(cu_strnicmp(p_, "HTTP/1.", 7) == 0 ? status_line(t.get()) : start_line(t.get()))) return nullptr;
    for (;;) {
      if (!is_line_end(*p_)) {
        fail("error: parse 'newline' error in vor_http_table_ParseHeaderStr()!\n%s\n");
        return nullptr;
      }
      while (is_line_end(*p_)) ++p_;
      if (!*p_) return t.release();
      if (!field(t.get())) return nullptr;
    }
  }

 private:
  bool fail(const char* message) {
    say(message, text_);
    return false;
  }

  void skip_blanks() {
    while (*p_ == ' ') ++p_;
  }

  // A request line when the first word is all letters followed by a blank.
  bool start_line(vor_http_table* t) {
    const char* word = p_;
    while (is_letter(*p_)) ++p_;
    if (p_ == word || *p_ != ' ') {
      p_ = word;
      return status_line(t);
    }
    if (!(t->method = dup_n(word, static_cast<size_t>(p_ - word)))) return false;
    skip_blanks();
    const char* target = p_;
    while (*p_ && *p_ != ' ' && !is_line_end(*p_)) ++p_;
    if (p_ == target || *p_ != ' ') return fail("error: parse 'request' error in vor_http_table_ParseHeaderStr()!\n%s\n");
    if (!(t->request = dup_n(target, static_cast<size_t>(p_ - target)))) return false;
    skip_blanks();
    if (!version(t)) return fail("error: parse 'version' error in vor_http_table_ParseHeaderStr() 1!\n%s\n");
    skip_blanks();
    return true;
  }

  bool status_line(vor_http_table* t) {
    if (!version(t)) return fail("error: parse 'version' error in vor_http_table_ParseHeaderStr() 2!\n%s\n");
    skip_blanks();
    const char* status = p_;
    while (*p_ && is_status_char(*p_)) ++p_;
    if (p_ == status || !is_line_end(*p_)) return fail("error: parse 'status' error in vor_http_table_ParseHeaderStr()!\n%s\n");
    if (!(t->status = dup_n(status, static_cast<size_t>(p_ - status)))) return false;
    t->status_value = leading_integer(t->status);
    skip_blanks();
    return true;
  }

  bool version(vor_http_table* t) {
    const bool known = cu_strnicmp(p_, "HTTP/1.0", 8) == 0 || cu_strnicmp(p_, "HTTP/1.1", 8) == 0;
    if (!known || !(is_line_end(p_[8]) || p_[8] == ' ')) return false;
    if (!(t->version = dup_n(p_, 8))) return false;
    p_ += 8;
    return true;
  }

  bool field(vor_http_table* t) {
    const char* name = p_;
    while (is_token_char(*p_)) ++p_;
    const size_t name_len = static_cast<size_t>(p_ - name);
    if (name_len == 0 || (*p_ != ':' && *p_ != ' ')) return fail("error: parse 'field' error in vor_http_table_ParseHeaderStr()!\n%s\n");
    skip_blanks();
    if (*p_ != ':') return fail("error: parse ':' error in vor_http_table_ParseHeaderStr()!\n%s\n");
    ++p_;
    skip_blanks();
    const char* value = p_;
    while (*p_ && !is_line_end(*p_)) ++p_;
    if (p_ == value || !is_line_end(*p_)) return fail("error: parse 'content' error in vor_http_table_ParseHeaderStr()!\n%s\n");
    return append_field(t, name, name_len, value, static_cast<size_t>(p_ - value));
  }

  const char* text_;
  const char* p_;
};

vor_http_table* parse_form(const char* text) {
  OwnedTable t(make_table());
  if (!t) return nullptr;
  const char* p = text;
  while (*p == ' ') ++p;
  while (*p == '&' || *p == '?') ++p;
  while (*p) {
    const char* name = p;
    while (is_token_char(*p)) ++p;
    if (p == name) {
      say("%s", "error: parse 'name' error in vor_http_table_ParseFormStr()!\n");
      return nullptr;
    }
    const auto name_len = static_cast<size_t>(p - name);
    Form f{dup_n(name, name_len), nullptr, nullptr};
    if (*p == '=') ++p;
    const char* value = p;
    while (*p && *p != '&') ++p;
    const auto value_len = static_cast<size_t>(p - value);
    f.escaped = f.name ? dup_n(value, value_len) : nullptr;
    if (!f.escaped) {
      free_form(f);
      say("%s", "error: parse 'value' error in vor_http_table_ParseFormStr()!\n");
      return nullptr;
    }
    f.decoded = cu_url_unescape_malloc(f.escaped, static_cast<int32_t>(value_len));  // 0: "" decodes to ""
    if (!f.decoded) {
      free_form(f);
      say("%s", "error: parse 'value_raw' error in vor_http_table_ParseFormStr()!\n");
      return nullptr;
    }
    if (!push(t->forms, f)) {
      free_form(f);
      return nullptr;
    }
    t->form_len += static_cast<int32_t>(name_len + 1 + value_len);
    while (*p == '&') ++p;
    if (*p) t->form_len += 1;
  }
  return t.release();
}

// Copies a built text into a block of the process allocator, which the caller frees.
char* hand_out(const std::string& s) { return dup_n(s.data(), s.size()); }

char* header_str(vor_http_table* t) {
  if (t->fields.empty()) return nullptr;
  if (t->method && cu_stricmp(t->method, "POST") == 0 && !t->forms.empty()) {
    set_field(t, "Content-Type", "application/x-www-form-urlencoded");
    set_field(t, "Content-Length", std::to_string(t->form_len).c_str());
  }
  if (!t->method && !t->status) {
    say("%s", "error: method or status is NULL in vor_http_table_GetHeaderStr()!\n");
    return nullptr;
  }
  if (!t->version && !(t->version = dup("HTTP/1.1"))) return nullptr;
  std::string out;
  out.reserve(16384);
  if (t->method) {
    out.append(t->method).append(" ");
    if (t->request) out.append(t->request).append(" ");
    out.append(t->version);
  } else {
    out.append(t->version).append(" ").append(t->status);
  }
  out.append("\r\n");
  for (const auto& f : t->fields) out.append(f.name).append(": ").append(f.value).append("\r\n");
  out.append("\r\n");
  return hand_out(out);
}

char* form_str(vor_http_table* t) {
  if (t->forms.empty()) return nullptr;
  std::string out;
  for (const auto& f : t->forms) out.append(f.name).append("=").append(f.escaped).append("&");
  out.pop_back();
  if (!out.empty() && out.size() != static_cast<size_t>(t->form_len)) {
    std::printf("error: Content-Length error(%d) in vor_http_table_GetFormStr()\n", t->form_len);
    std::fflush(stdout);
    return nullptr;
  }
  return hand_out(out);
}

// The source's cursors walk its entries, as the field and form iterators do.
vor_http_table* clone(vor_http_table* src) {
  OwnedTable c(make_table());
  if (!c) return nullptr;
  if (src->method) replace_string(c->method, src->method);
  if (src->status) {
    replace_string(c->status, src->status);
    c->status_value = leading_integer(src->status);
  }
  if (src->request) replace_string(c->request, src->request);
  for (src->field_cursor = 0; src->field_cursor < static_cast<int32_t>(src->fields.size()); ++src->field_cursor) {
    const Field& f = src->fields[static_cast<size_t>(src->field_cursor)];
    set_field(c.get(), f.name, f.value);
  }
  for (src->form_cursor = 0; src->form_cursor < static_cast<int32_t>(src->forms.size()); ++src->form_cursor) {
    const Form& f = src->forms[static_cast<size_t>(src->form_cursor)];
    set_form(c.get(), f.name, f.decoded);
  }
  return c.release();
}

}  // namespace

vor_http_table* vor_http_table_make(void) { return make_table(); }

void vor_http_table_clean(vor_http_table* t) {
  if (t) clean(t);
}

void vor_http_table_free(vor_http_table* t) {
  if (t) free_table(t);
}

vor_http_table* vor_http_table_clone(vor_http_table* t) { return t ? clone(t) : nullptr; }

const char* vor_http_table_GetMethod(vor_http_table* t) { return t ? t->method : nullptr; }

bool vor_http_table_SetMethod(vor_http_table* t, const char* text) {
  return t && text && safe_for_head(text) && replace_string(t->method, text);
}

void vor_http_table_UnsetMethod(vor_http_table* t) {
  if (t) release(t->method);
}

const char* vor_http_table_GetRequest(vor_http_table* t) { return t ? t->request : nullptr; }

bool vor_http_table_SetRequest(vor_http_table* t, const char* text) {
  return t && text && safe_for_head(text) && replace_string(t->request, text);
}

void vor_http_table_UnsetRequest(vor_http_table* t) {
  if (t) release(t->request);
}

const char* vor_http_table_GetStatus(vor_http_table* t) { return t ? t->status : nullptr; }

int32_t vor_http_table_GetStatusValue(vor_http_table* t) { return t ? t->status_value : -1; }

bool vor_http_table_SetStatus(vor_http_table* t, const char* text) {
  if (!t || !text || !safe_for_head(text) || !replace_string(t->status, text)) return false;
  t->status_value = leading_integer(text);
  return true;
}

void vor_http_table_UnsetStatus(vor_http_table* t) {
  if (!t) return;
  release(t->status);
  t->status_value = 0;
}

const char* vor_http_table_GetField(vor_http_table* t, const char* name) {
  return vor_http_table_GetNthField(t, 0, name);
}

const char* vor_http_table_GetNthField(vor_http_table* t, int32_t n, const char* name) {
  if (!t || !name || n < 0) return nullptr;
  const Field* f = nth_field(t, n, name);
  return f ? f->value : nullptr;
}

bool vor_http_table_SetField(vor_http_table* t, const char* name, const char* value) {
  return t && name && value && set_field(t, name, value);
}

void vor_http_table_UnsetField(vor_http_table* t, const char* name) {
  if (t && name) unset_field(t, name);
}

void vor_http_table_ZeroField(vor_http_table* t) {
  if (t) zero_fields(t);
}

void vor_http_table_RewindField(vor_http_table* t) {
  if (t) t->field_cursor = 0;
}

bool vor_http_table_GetNextField(vor_http_table* t, const char** name, const char** value) {
  if (!t || t->field_cursor < 0 || t->field_cursor >= static_cast<int32_t>(t->fields.size())) return false;
  const Field& f = t->fields[static_cast<size_t>(t->field_cursor++)];
  if (name) *name = f.name;
  if (value) *value = f.value;
  return true;
}

const char* vor_http_table_GetForm(vor_http_table* t, const char* name) { return vor_http_table_GetNthForm(t, 0, name); }

const char* vor_http_table_GetFormRaw(vor_http_table* t, const char* name) {
  return vor_http_table_GetNthFormRaw(t, 0, name);
}

const char* vor_http_table_GetNthForm(vor_http_table* t, int32_t n, const char* name) {
  if (!t || !name || n < 0) return nullptr;
  const Form* f = nth_form(t, n, name);
  return f ? f->escaped : nullptr;
}

const char* vor_http_table_GetNthFormRaw(vor_http_table* t, int32_t n, const char* name) {
  if (!t || !name || n < 0) return nullptr;
  const Form* f = nth_form(t, n, name);
  return f ? f->decoded : nullptr;
}

bool vor_http_table_SetForm(vor_http_table* t, const char* name, const char* value) {
  return t && name && value && set_form(t, name, value);
}

void vor_http_table_UnsetForm(vor_http_table* t, const char* name) {
  if (t && name) unset_form(t, name);
}

void vor_http_table_ZeroForm(vor_http_table* t) {
  if (t) zero_forms(t);
}

void vor_http_table_RewindForm(vor_http_table* t) {
  if (t) t->form_cursor = 0;
}

bool vor_http_table_GetNextForm(vor_http_table* t, const char** name, const char** escaped, const char** decoded) {
  if (!t || t->form_cursor < 0 || t->form_cursor >= static_cast<int32_t>(t->forms.size())) return false;
  const Form& f = t->forms[static_cast<size_t>(t->form_cursor++)];
  if (name) *name = f.name;
  if (escaped) *escaped = f.escaped;
  if (decoded) *decoded = f.decoded;
  return true;
}

int32_t vor_http_table_GetFormStrLen(vor_http_table* t) {
  return t && !t->forms.empty() && t->form_len > 0 ? t->form_len : 0;
}

vor_http_table* vor_http_table_ParseHeaderStr(const char* text) { return text ? HeadParser(text).parse() : nullptr; }

vor_http_table* vor_http_table_ParseFormStr(const char* text) { return text ? parse_form(text) : nullptr; }

char* vor_http_table_GetHeaderStr(vor_http_table* t) {
  try {
    return t ? header_str(t) : nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

char* vor_http_table_GetFormStr(vor_http_table* t) {
  try {
    return t ? form_str(t) : nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
