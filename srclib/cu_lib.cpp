#include "cu_lib.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "cu_file.h"
#include "cu_lib_internal.h"
#include "cu_malloc.h"
#include "vor_fd.h"
#include "vor_io.h"
#include "vor_path.h"

using cu_internal::ascii_lower;
using cu_internal::ascii_upper;

namespace {
constexpr char kUnit[] = "srclib\\cu_lib";
constexpr int32_t kPromptMaxChars = 128;
constexpr char kPasswordPrompt[] = "Password:";

const unsigned char* bytes(const void* p) { return static_cast<const unsigned char*>(p); }

char* new_string(size_t n, int line) {
  if (n >= static_cast<size_t>(INT32_MAX)) return nullptr;
  return static_cast<char*>(_cu_malloc(n + 1, kUnit, line));
}

char* copy_of(const char* s, size_t n, int line) {
  char* out = new_string(n, line);
  if (!out) return nullptr;
  memcpy(out, s, n);
  out[n] = '\0';
  return out;
}

template <typename Fold>
int32_t compare_folded(const char* a, const char* b, int64_t limit, Fold fold) {
  for (int64_t i = 0; i < limit; ++i) {
    const int ca = fold(static_cast<unsigned char>(a[i]));
    const int cb = fold(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  return 0;
}

unsigned char same(unsigned char c) { return c; }

template <typename Fold>
int32_t memcompare(const void* a, const void* b, int32_t n, Fold fold) {
  if (!a) return -1;
  if (!b) return 1;
  for (int32_t i = 0; i < n; ++i) {
    const int ca = fold(bytes(a)[i]);
    const int cb = fold(bytes(b)[i]);
    if (ca != cb) return ca - cb;
  }
  return 0;
}

// First place in data[0, dlen) where the plen pattern bytes match under fold.
template <typename Fold>
const unsigned char* find_bytes(const unsigned char* data, int64_t dlen, const unsigned char* pat, int64_t plen,
                                Fold fold) {
  if (plen == 0) return data;
  for (int64_t i = 0; i + plen <= dlen; ++i) {
    int64_t k = 0;
    while (k < plen && fold(data[i + k]) == fold(pat[k])) ++k;
    if (k == plen) return data + i;
  }
  return nullptr;
}

template <typename Fold>
char* find_text(const char* haystack, const char* needle, int64_t limit, Fold fold) {
  if (!haystack || !needle) return nullptr;
  const size_t hlen = strnlen(haystack, static_cast<size_t>(limit));
  const auto* hit = find_bytes(bytes(haystack), static_cast<int64_t>(hlen), bytes(needle),
                               static_cast<int64_t>(strlen(needle)), fold);
  return const_cast<char*>(reinterpret_cast<const char*>(hit));
}

template <typename Fold>
char* find_char(const char* s, int32_t c, Fold fold) {
  if (!s || static_cast<unsigned char>(c) == 0) return nullptr;
  const unsigned char want = fold(static_cast<unsigned char>(c));
  for (; *s; ++s) {
    if (fold(static_cast<unsigned char>(*s)) == want) return const_cast<char*>(s);
  }
  return nullptr;
}

template <typename Fold>
char* folded_copy(const char* s, Fold fold, int line) {
  if (!s) return nullptr;
  char* out = copy_of(s, strlen(s), line);
  if (out) {
    for (char* p = out; *p; ++p) *p = static_cast<char>(fold(static_cast<unsigned char>(*p)));
  }
  return out;
}

template <typename Fold>
void fold_into(char* dst, const char* src, Fold fold) {
  if (!dst || !src) return;
  while (*src) *dst++ = static_cast<char>(fold(static_cast<unsigned char>(*src++)));
  *dst = '\0';
}

char* concat(std::initializer_list<const char*> parts, int line) {
  size_t total = 0;
  for (const char* p : parts) {
    if (!p) return nullptr;
    total += strlen(p);
  }
  char* out = new_string(total, line);
  if (!out) return nullptr;
  char* at = out;
  for (const char* p : parts) {
    const size_t n = strlen(p);
    memcpy(at, p, n);
    at += n;
  }
  *at = '\0';
  return out;
}

int64_t clamp_to_int32(int64_t v) { return std::clamp<int64_t>(v, INT32_MIN, INT32_MAX); }

bool valid_radix(int32_t radix) { return radix >= 2 && radix <= 36; }

// Digits of v in radix, most significant first, written to buf with a NUL.
void write_unsigned(uint64_t v, int32_t radix, bool negative, char* buf) {
  char digits[66];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdefghijklmnopqrstuvwxyz"[v % static_cast<uint64_t>(radix)];
    v /= static_cast<uint64_t>(radix);
  } while (v != 0);
  if (negative) *buf++ = '-';
  while (n > 0) *buf++ = digits[--n];
  *buf = '\0';
}

char* signed_to_text(int64_t v, uint64_t bits_when_unsigned, char* buf, int32_t radix) {
  if (!buf) return nullptr;
  if (!valid_radix(radix)) {
    buf[0] = '\0';
    return nullptr;
  }
  if (radix == 10 && v < 0) {
    write_unsigned(0 - static_cast<uint64_t>(v), radix, true, buf);
  } else {
    write_unsigned(radix == 10 ? static_cast<uint64_t>(v) : bits_when_unsigned, radix, false, buf);
  }
  return buf;
}

// One group of a dotted quad starting at s: up to three digits followed by '.', or by the end
// of the text. Answers the characters consumed (the '.' included) or -1.
int ip_group(const char* s, uint32_t* value) {
  if (*s == '\0') return -1;
  int used = 0;
  uint32_t v = 0;
  while (used < 3 && s[used] >= '0' && s[used] <= '9') v = v * 10 + static_cast<uint32_t>(s[used++] - '0');
  if (s[used] == '.') {
    ++used;
  } else if (s[used] != '\0') {
    return -1;  // a fourth digit or any other character
  }
  if (v > 255) return -1;
  *value = v;
  return used;
}

bool is_trailing_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Puts a terminal into no-echo, byte-at-a-time mode and restores it on every exit path.
class RawTerminal {
 public:
  explicit RawTerminal(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(fd_, TCSAFLUSH, &raw) == 0;
  }
  ~RawTerminal() {
    if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

namespace cu_internal {

void hex_lower(const unsigned char* data, size_t n, char* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0xF];
  }
  out[2 * n] = '\0';
}

void tty_read_line(int in_fd, int echo_fd, bool mask, char* buf, int32_t max) {
  std::string kept;
  const int32_t reads = std::min(max, kPromptMaxChars);
  for (int32_t i = 0; i < reads; ++i) {
    unsigned char c;
    if (vor::io::read_some(in_fd, &c, 1) != 1) break;  // end of input
    if (c == '\n' || c == '\r' || c == 3) break;
    if ((c == 8 || c == 127) && !kept.empty()) {
      kept.pop_back();
      vor::io::write_all(echo_fd, "\b \b", 3);
    } else if (c >= 32 && c != 127) {
      kept.push_back(static_cast<char>(c));
      if (mask) vor::io::write_all(echo_fd, "*", 1);
    }
  }
  while (!kept.empty() && is_trailing_space(kept.back())) kept.pop_back();
  if (buf) {
    memcpy(buf, kept.data(), kept.size());
    buf[kept.size()] = '\0';
  }
}

}  // namespace cu_internal

int32_t cu_strlen(const char* s) { return s ? static_cast<int32_t>(std::min<size_t>(strlen(s), INT32_MAX)) : 0; }

void cu_strcpy(char* dst, const char* src) {
  if (!dst) return;
  if (!src) {
    dst[0] = '\0';
    return;
  }
  memmove(dst, src, strlen(src) + 1);
}

int32_t cu_strncpy(char* dst, const char* src, int32_t n) {
  if (!dst || !src) {
    if (dst) dst[0] = '\0';
    return n;
  }
  const size_t len = n > 0 ? strnlen(src, static_cast<size_t>(n)) : 0;
  memmove(dst, src, len);
  dst[len] = '\0';
  return static_cast<int32_t>(len);
}

void cu_strcat(char* dst, const char* src) {
  if (!dst || !src) return;
  memmove(dst + strlen(dst), src, strlen(src) + 1);
}

int32_t cu_strcmp(const char* a, const char* b) {
  if (a == b) return 0;
  if (!a || !b) return -1;
  const int r = compare_folded(a, b, INT64_MAX, same);
  return (r > 0) - (r < 0);
}

int32_t cu_stricmp(const char* a, const char* b) {
  if (a == b) return 0;
  if (!a || !b) return -1;
  return compare_folded(a, b, INT64_MAX, ascii_lower);
}

int32_t cu_strncmp(const char* a, const char* b, int32_t n) {
  if (a == b) return 0;
  if (!a || !b || n < 0) return -1;
  return compare_folded(a, b, n, same);
}

int32_t cu_strnicmp(const char* a, const char* b, int32_t n) {
  if (a == b) return 0;
  if (!a || !b) return -1;
  return compare_folded(a, b, n, ascii_lower);
}

int32_t cu_memcmp(const void* a, const void* b, int32_t n) { return memcompare(a, b, n, same); }

int32_t cu_memicmp(const void* a, const void* b, int32_t n) { return memcompare(a, b, n, ascii_lower); }

char* cu_strchr(const char* s, int32_t c) { return find_char(s, c, same); }

char* cu_strichr(const char* s, int32_t c) { return find_char(s, c, ascii_lower); }

char* cu_strstr(const char* haystack, const char* needle) { return find_text(haystack, needle, INT64_MAX, same); }

char* cu_stristr(const char* haystack, const char* needle) {
  return find_text(haystack, needle, INT64_MAX, ascii_lower);
}

char* cu_strnstr(const char* haystack, const char* needle, int32_t n) {
  return n > 0 ? find_text(haystack, needle, n, same) : nullptr;
}

char* cu_strnistr(const char* haystack, const char* needle, int32_t n) {
  return n > 0 ? find_text(haystack, needle, n, ascii_lower) : nullptr;
}

void* cu_memmem(const void* data, int32_t dlen, const void* pattern, int32_t plen) {
  if (!data || !pattern || dlen < 0 || plen < 0 || plen > dlen) return nullptr;
  return const_cast<unsigned char*>(find_bytes(bytes(data), dlen, bytes(pattern), plen, same));
}

void* cu_memimem(const void* data, int32_t dlen, const void* pattern, int32_t plen) {
  if (!data || !pattern || dlen < 0 || plen < 0 || plen > dlen) return nullptr;
  return const_cast<unsigned char*>(find_bytes(bytes(data), dlen, bytes(pattern), plen, ascii_lower));
}

int32_t cu_FindKey(const char* key, const char* text) {
  if (!key || !text || !*key || !*text) return -1;
  const char* hit = strstr(text, key);
  if (!hit || hit - text > INT32_MAX) return -1;
  return static_cast<int32_t>(hit - text);
}

bool cu_SortFind(const void* array, int32_t elem_size, int32_t count, const void* key,
                 int (*compare)(const void*, const void*), int32_t* index) {
  if (!array || !compare || elem_size <= 0 || count <= 0) return false;
  int32_t lo = 0;
  int32_t hi = count;
  int32_t width = count;
  for (;;) {
    const int32_t half = width / 2;
    const int32_t mid = lo + half;
    const int r = compare(bytes(array) + static_cast<int64_t>(mid) * elem_size, key);
    if (r == 0) {
      if (index) *index = mid;
      return true;
    }
    if (hi - lo <= 0 || half == 0) return false;
    if (r < 0) {
      lo = mid;
    } else {
      hi -= half;
    }
    width = hi - lo;
    if (width < 0) return false;
  }
}

bool cu_islower(int32_t c) { return c >= 'a' && c <= 'z'; }

bool cu_isupper(int32_t c) { return c >= 'A' && c <= 'Z'; }

char* cu_strtolower(const char* s) { return folded_copy(s, ascii_lower, __LINE__); }

char* cu_strtoupper(const char* s) { return folded_copy(s, ascii_upper, __LINE__); }

void cu_strtolower2(char* s) { fold_into(s, s, ascii_lower); }

void cu_strtoupper2(char* s) { fold_into(s, s, ascii_upper); }

void cu_strtolower3(char* dst, const char* src) { fold_into(dst, src, ascii_lower); }

void cu_strtoupper3(char* dst, const char* src) { fold_into(dst, src, ascii_upper); }

char* cu_strdup(const char* s) { return s ? copy_of(s, strlen(s), __LINE__) : nullptr; }

char* cu_strndup(const char* s, int32_t n) {
  if (!s || n < 0) return nullptr;
  char* out = new_string(static_cast<size_t>(n), __LINE__);
  if (!out) return nullptr;
  const size_t len = strnlen(s, static_cast<size_t>(n));
  memcpy(out, s, len);
  out[len] = '\0';
  return out;
}

char* cu_strdup2(const char* s1, const char* s2) { return concat({s1, s2}, __LINE__); }

char* cu_strdup3(const char* s1, const char* s2, const char* s3) { return concat({s1, s2, s3}, __LINE__); }

char* cu_strdup4(const char* s1, const char* s2, const char* s3, const char* s4) {
  return concat({s1, s2, s3, s4}, __LINE__);
}

char* cu_strdup5(const char* s1, const char* s2, const char* s3, const char* s4, const char* s5) {
  return concat({s1, s2, s3, s4, s5}, __LINE__);
}

char* cu_memdup(const void* data, int32_t n) {
  if (!data || n < 0) return nullptr;
  return copy_of(static_cast<const char*>(data), static_cast<size_t>(n), __LINE__);
}

char* cu_strreverse(const char* s, int32_t n) {
  if (!s || n <= 0) return nullptr;
  const size_t len = strnlen(s, static_cast<size_t>(n));
  if (len == 0) return nullptr;
  char* out = copy_of(s, len, __LINE__);
  if (out) std::reverse(out, out + len);
  return out;
}

char* cu_GetFilenameFromPath(const char* path) {
  if (!path || !*path) return nullptr;
  const char* name = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  if (!*name) return nullptr;
  return copy_of(name, strlen(name), __LINE__);
}

void cu_strreplace(char* text, int32_t pos, int32_t old_len, const char* new_bytes, int32_t new_len) {
  if (!text || pos < 0 || old_len < 0 || new_len < 0 || (new_len > 0 && !new_bytes)) return;
  char* at = text + pos;
  if (new_len != old_len) memmove(at + new_len, at + old_len, strlen(at + old_len) + 1);
  if (new_len > 0) memmove(at, new_bytes, static_cast<size_t>(new_len));
}

void cu_strreplace1(char* text, int32_t pos, int32_t old_len, const char* new_text) {
  cu_strreplace(text, pos, old_len, new_text, cu_strlen(new_text));
}

void cu_memreplace(void* data, int32_t data_len, int32_t start, int32_t end, const void* new_bytes,
                   int32_t new_len) {
  if (!data || data_len < 0 || start < 0 || end < 0 || new_len < 0 || (new_len > 0 && !new_bytes)) return;
  auto* d = static_cast<unsigned char*>(data);
  const int32_t s = std::min(start, data_len);
  const int32_t e = std::max(s, std::min(end, data_len));
  const int64_t delta = static_cast<int64_t>(new_len) - (e - s);
  if (delta < 0) {
    memmove(d + s + new_len, d + e, static_cast<size_t>(data_len - e));
  } else if (delta > 0) {
    // The byte just after the data (normally its terminator) moves along.
    memmove(d + s + new_len, d + e, static_cast<size_t>(data_len - e) + 1);
  }
  if (new_len > 0) memmove(d + s, new_bytes, static_cast<size_t>(new_len));
}

int64_t cu_strtoll(const char* s, char** end, int32_t radix) {
  if (!s) {
    if (end) *end = nullptr;
    return 0;
  }
  if (radix != 0 && !valid_radix(radix)) {
    if (end) *end = const_cast<char*>(s);
    return 0;
  }
  const int saved = errno;
  const long long v = strtoll(s, end, radix);
  errno = saved;
  return v;
}

int32_t cu_strtol(const char* s, char** end, int32_t radix) {
  return static_cast<int32_t>(clamp_to_int32(cu_strtoll(s, end, radix)));
}

int64_t cu_atoll(const char* s) { return cu_strtoll(s, nullptr, 10); }

int64_t cu_str_to_longlong(const char* s) { return cu_strtoll(s, nullptr, 10); }

int32_t cu_atol(const char* s) { return cu_strtol(s, nullptr, 10); }

char* cu_lltostr(int64_t v, char* buf, int32_t radix) {
  return signed_to_text(v, static_cast<uint64_t>(v), buf, radix);
}

char* cu_ltostr(int32_t v, char* buf, int32_t radix) {
  return signed_to_text(v, static_cast<uint32_t>(v), buf, radix);
}

char* cu_longlong_to_str(int64_t v, char* buf) { return cu_lltostr(v, buf, 10); }

bool cu_IP_to_32bits(uint32_t* out, const char* text) {
  if (!text) return false;
  uint32_t result = 0;
  for (int shift = 24; shift >= 0; shift -= 8) {
    uint32_t group = 0;
    const int used = ip_group(text, &group);
    if (used < 0) return false;
    result |= group << shift;
    text += used;
  }
  if (out) *out = result;
  return true;
}

bool cu_isGB2312(const void* p) {
  if (!p) return false;
  const unsigned char first = bytes(p)[0];
  if (!((first >= 0xA1 && first <= 0xA9) || (first >= 0xB0 && first <= 0xF7))) return false;
  return bytes(p)[1] >= 0xA0;
}

bool cu_ISFileExists(const char* path) {
  struct stat st;
  return path && stat(vor::normalise_path(path).c_str(), &st) == 0;
}

int32_t cu_DeleteFile(const char* path) { return cu_file1_remove(path) ? 0 : -1; }

bool cu_AppendFile(const char* path, const void* data, int32_t n) {
  if (n < 1 || !data) return true;
  FILE* f = vor::open_stream(path, O_WRONLY | O_CREAT | O_APPEND, "ab");
  if (!f) return false;
  const bool all = fwrite(data, 1, static_cast<size_t>(n), f) == static_cast<size_t>(n);
  const bool closed = fclose(f) == 0;
  return all && closed;
}

int32_t cu_GetFileContent(const char* path, void* buf, int32_t n) {
  FILE* f = vor::open_stream(path, O_RDONLY, "rb");
  if (!f) return -1;
  size_t got = 0;
  if (buf && n > 0) got = fread(buf, 1, static_cast<size_t>(n), f);
  fclose(f);
  return static_cast<int32_t>(got);
}

bool cu_GetTextFileContent(const char* path, char* buf, int32_t size) {
  if (!buf || size <= 0) return false;
  FILE* f = vor::open_stream(path, O_RDONLY, "rb");
  if (!f) return false;
  const size_t got = fread(buf, 1, static_cast<size_t>(size - 1), f);
  buf[got] = '\0';
  fclose(f);
  return true;
}

void cu_TTY_GetLoginName(const char* prompt, char* buf, int32_t max) {
  printf("%s", prompt ? prompt : "");
  fflush(stdout);
  cu_internal::tty_read_line(STDIN_FILENO, STDOUT_FILENO, false, buf, max);
}

int32_t cu_TTY_GetPassword(char* buf, int32_t max) {
  printf("%s", kPasswordPrompt);
  fflush(stdout);
  const int tty = vor::open_file("/dev/tty", O_RDWR | O_NOCTTY);
  const int in_fd = tty >= 0 ? tty : STDIN_FILENO;
  {
    RawTerminal raw(in_fd);
    cu_internal::tty_read_line(in_fd, tty, true, buf, max);
  }
  if (tty >= 0) {
    vor::io::write_all(tty, "\n", 1);
    close(tty);
  }
  printf("\n");
  return fflush(stdout);
}

void cu_sleep(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  vor::io::retry([&] { return nanosleep(&left, &left); });  // the rest of the time after a signal
}
