#include "gbk_to_utf8.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

struct gbk_to_utf8 {
  int unused;
};

namespace {

const iconv_t kNoConversion = reinterpret_cast<iconv_t>(-1);  // iconv_open's failure value

// An iconv descriptor carries shift state, so each thread keeps its own, closed at thread exit.
class ThreadConverter {
 public:
  ThreadConverter() : cd_(iconv_open("UTF-8", "GBK")) {}
  ~ThreadConverter() {
    if (cd_ != kNoConversion) iconv_close(cd_);
  }
  ThreadConverter(const ThreadConverter&) = delete;
  ThreadConverter& operator=(const ThreadConverter&) = delete;

  iconv_t get() {
    if (cd_ != kNoConversion) iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // initial state
    return cd_;
  }

 private:
  iconv_t cd_;
};

iconv_t this_thread_converter() {
  thread_local ThreadConverter converter;
  return converter.get();
}

size_t text_length(const char* text, int32_t len) {
  if (len < 0) return std::strlen(text);
  const void* nul = std::memchr(text, '\0', static_cast<size_t>(len));
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : static_cast<size_t>(len);
}

}  // namespace

gbk_to_utf8* gbk_to_utf8_make(void) {
  static gbk_to_utf8 the_converter{};
  return this_thread_converter() != kNoConversion ? &the_converter : nullptr;
}

char* gbk_to_utf8_static(gbk_to_utf8* converter, const char* gbk, int32_t len, char* out, int32_t capacity,
                         int32_t flags) {
  if (!converter || !out || capacity < 1 || flags != 0) return nullptr;
  out[0] = '\0';
  if (!gbk) return out;
  iconv_t cd = this_thread_converter();
  if (cd == kNoConversion) return nullptr;

  char* in = const_cast<char*>(gbk);
  size_t in_left = text_length(gbk, len);
  char* w = out;
  size_t out_left = static_cast<size_t>(capacity) - 1;  // room for the NUL
  while (in_left > 0) {
    if (iconv(cd, &in, &in_left, &w, &out_left) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG || out_left == 0) break;  // iconv never writes part of a character
    // EILSEQ (a bad byte) or EINVAL (a character cut at the end): one '?' for its lead byte.
    *w++ = '?';
    --out_left;
    ++in;
    --in_left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  *w = '\0';
  return out;
}
