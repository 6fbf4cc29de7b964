#include "cu_pattern.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cu_lib_internal.h"
#include "cu_malloc.h"
#include "cu_pool_failure.h"
#include "cu_sem.h"
#include "cu_xmem.h"

namespace {
constexpr uint32_t kUnlimited = 0xFFFFFFFFu;

cu_xmem* g_pool = nullptr;
cu_sem g_pool_lock;

char fold(char c, bool case_sensitive) {
  return case_sensitive ? c : static_cast<char>(cu_internal::ascii_lower(static_cast<unsigned char>(c)));
}

// A string read front to back, or back to front for patterns stored reversed: matching
// never copies the string.
struct Subject {
  const char* s;
  size_t n;
  bool reversed;
  char at(size_t i) const { return reversed ? s[n - 1 - i] : s[i]; }
};

// Glob matching with one backtrack point (the last '*'): on a mismatch the last '*' takes
// one more byte. No recursion and no allocation; O(text x string) at worst.
bool wildcard_match(const char* text, size_t m, const Subject& str, bool cs) {
  size_t p = 0, i = 0;
  size_t star = m, resume = 0;
  while (i < str.n) {
    if (p < m && text[p] == '*') {
      star = p++;
      resume = i;
    } else if (p < m && (text[p] == '?' || fold(text[p], cs) == fold(str.at(i), cs))) {
      ++p;
      ++i;
    } else if (star != m) {
      p = star + 1;
      i = ++resume;
    } else {
      return false;
    }
  }
  while (p < m && text[p] == '*') ++p;
  return p == m;
}

bool equal_bytes(const char* a, const char* b, size_t n, bool cs) {
  for (size_t i = 0; i < n; ++i) {
    if (fold(a[i], cs) != fold(b[i], cs)) return false;
  }
  return true;
}

bool match(const cu_pattern* p, const char* s, size_t n, bool cs) {
  if (n < p->min_length || n > p->max_length) return false;
  size_t m = p->pattern_length;
  switch (p->match_type) {
    case M_MATCH_ALL:
      return wildcard_match(p->text, m, Subject{s, n, false}, cs);
    case M_MATCH_ALL_TAIL:
      return wildcard_match(p->text, m, Subject{s, n, true}, cs);
    case M_MATCH_HEAD:
      return n >= m && equal_bytes(p->text, s, m, cs);
    case M_MATCH_TAIL:
      return n >= m && equal_bytes(p->text, s + n - m, m, cs);
    case M_MATCH_EXACT:
      return n == m && equal_bytes(p->text, s, m, cs);
    default:
      return false;
  }
}

struct Canonical {
  uint32_t length = 0, min = 0, max = 0;
  int stars = 0, marks = 0;
  size_t first_star = 0, last_star = 0, first_mark = 0, last_mark = 0;
};

// Writes the canonical text: runs of '*' become one, and '?' characters that stand before
// a '*' move behind it (?* matches what *? matches), so every '*' is followed by a literal,
// a '?' or the end.
Canonical canonicalise(const char* glob, char* out) {
  Canonical c;
  uint32_t pending = 0;
  auto flush_marks = [&] {
    for (; pending > 0; --pending) {
      if (c.marks++ == 0) c.first_mark = c.length;
      c.last_mark = c.length;
      out[c.length++] = '?';
    }
  };
  for (const char* g = glob; *g; ++g) {
    if (*g == '*') {
      if (c.length > 0 && out[c.length - 1] == '*') continue;
      if (c.stars++ == 0) c.first_star = c.length;
      c.last_star = c.length;
      out[c.length++] = '*';
    } else if (*g == '?') {
      ++pending;
      c.min += 1;
      c.max = c.max > kUnlimited - 4 ? kUnlimited : c.max + 4;
    } else {
      flush_marks();
      out[c.length++] = *g;
      c.min += 1;
      c.max = c.max == kUnlimited ? kUnlimited : c.max + 1;
    }
  }
  flush_marks();
  out[c.length] = '\0';
  if (c.stars > 0) c.max = kUnlimited;
  return c;
}

void reverse_in_place(char* s, size_t n) {
  for (size_t i = 0, j = n; i + 1 < j; ++i, --j) {
    char t = s[i];
    s[i] = s[j - 1];
    s[j - 1] = t;
  }
}

// Shapes with no '?' and at most one '*' become plain compares; the rest match from the
// end with fewer wildcards nearby.
void classify(cu_pattern* p, const Canonical& c) {
  char* t = p->text;
  size_t n = c.length;
  if (c.marks == 0 && c.stars <= 1) {
    if (n > 0 && t[0] == '*') {
      memmove(t, t + 1, n);  // with its NUL
      p->match_type = M_MATCH_TAIL;
      p->pattern_length = static_cast<uint32_t>(n - 1);
    } else if (n > 0 && t[n - 1] == '*') {
      t[n - 1] = '\0';
      p->match_type = M_MATCH_HEAD;
      p->pattern_length = static_cast<uint32_t>(n - 1);
    } else if (c.stars == 0) {
      p->match_type = M_MATCH_EXACT;
    } else {
      p->match_type = M_MATCH_ALL;
    }
    return;
  }
  size_t first = c.stars > 0 ? c.first_star : c.first_mark;
  size_t last = c.stars > 0 ? c.last_star : c.last_mark;
  if (n - 1 - last > first) {
    p->match_type = M_MATCH_ALL_TAIL;
    reverse_in_place(t, n);
  } else {
    p->match_type = M_MATCH_ALL;
  }
}
}  // namespace

void cu_pattern__xmem_init(void) {
  static bool once = [] {
    g_pool = vor::pool::make_unit_pool(&g_pool_lock, 32768, 1024, 256, false,
                                       "cu_pattern_xmem -> cu_pattern__xmem_init() -> cu_xmem_init_ext(pattern block "
                                       "struct) -> return NULL -> exit!\r\n");
    return true;
  }();
  (void)once;
}

cu_pattern* cu_pattern_make(const char* glob) {
  if (!glob) return nullptr;
  cu_pattern__xmem_init();
  size_t glob_len = strlen(glob);
  if (glob_len >= kUnlimited) return nullptr;
  auto* p = static_cast<cu_pattern*>(cu_xmem_malloc(g_pool, sizeof(cu_pattern)));
  if (!p) return nullptr;
  p->text = static_cast<char*>(cu_xmem_malloc(g_pool, glob_len + 1));
  if (!p->text) {
    cu_xmem_free(g_pool, p);
    return nullptr;
  }
  Canonical c = canonicalise(glob, p->text);
  p->pattern_length = c.length;
  p->min_length = c.min;
  p->max_length = c.max;
  classify(p, c);
  return p;
}

void cu_pattern_free(cu_pattern* p) {
  if (!p) return;
  cu_xmem_free(g_pool, p->text);
  cu_xmem_free(g_pool, p);
}

uint8_t cu_pattern_equal(const cu_pattern* a, const cu_pattern* b) {
  if (!a || !b) return 0;
  return a->match_type == b->match_type && a->pattern_length == b->pattern_length &&
         memcmp(a->text, b->text, a->pattern_length) == 0;
}

uint8_t cu_pattern_match_string(const cu_pattern* p, const char* s) {
  if (!p || !s) return 0;
  return match(p, s, strlen(s), true);
}

uint8_t cu_pattern_match_istring(const cu_pattern* p, const char* s) {
  if (!p || !s) return 0;
  return match(p, s, strlen(s), false);
}

uint8_t cu_pattern_match(const cu_pattern* p, int32_t len, const char* s, const char*, uint8_t case_sensitive) {
  if (!p || !s || len < 0) return 0;
  return match(p, s, static_cast<size_t>(len), case_sensitive != 0);
}

uint8_t cu_pattern_match_simple(const char* glob, const char* s) {
  if (!glob || !s) return 0;
  cu_pattern* p = cu_pattern_make(glob);
  uint8_t hit = cu_pattern_match_string(p, s);
  cu_pattern_free(p);
  return hit;
}

uint8_t cu_pattern_match_isimple(const char* glob, const char* s) {
  if (!glob || !s) return 0;
  cu_pattern* p = cu_pattern_make(glob);
  uint8_t hit = cu_pattern_match_istring(p, s);
  cu_pattern_free(p);
  return hit;
}
