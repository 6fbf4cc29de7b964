// GBK to UTF-8 for the location texts, through the C library's iconv. Kept behind these two
// functions so that the shared converter of the outside library can take their place.
#include <errno.h>
#include <iconv.h>
#include <string.h>

#include "edgeserv_internal.h"

namespace edge {

void* gbk_converter_make() {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  return cd == reinterpret_cast<iconv_t>(-1) ? nullptr : static_cast<void*>(cd);
}

bool gbk_to_utf8(void* converter, const char* in, char* out, int32_t out_len) {
  if (!converter || !in || !out || out_len <= 0) return false;
  auto cd = static_cast<iconv_t>(converter);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* src = const_cast<char*>(in);
  size_t src_left = strlen(in);
  char* dst = out;
  size_t dst_left = static_cast<size_t>(out_len) - 1;
  // A full output stops at a whole character (E2BIG): the text is cut, not broken.
  const size_t done = iconv(cd, &src, &src_left, &dst, &dst_left);
  *dst = '\0';
  return done != static_cast<size_t>(-1) || errno == E2BIG;
}

}  // namespace edge
