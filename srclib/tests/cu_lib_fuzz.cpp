// Untrusted text through the parsing helpers: base64 decoding, dotted quads, tokens, searches
// and number parsing, each checked against a plain model where one exists.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cu_lib.h"
#include "cu_util.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string text = raw.substr(0, raw.find('\0'));  // the C-string view of the input

  unsigned char out[64];
  const int32_t dsize = size > 0 ? data[0] % 64 + 1 : 1;
  const int32_t got = cu_base64_decode(out, text.c_str(), dsize);
  check(got >= 0 && got <= dsize);

  uint32_t ip = 0;
  if (cu_IP_to_32bits(&ip, text.c_str())) check(!text.empty() && text[0] != '\0');

  std::string tok = text;
  char* cursor = nullptr;
  size_t tokens_len = 0;
  for (char* t = cu_strtok(tok.data(), ", \t", &cursor); t; t = cu_strtok(nullptr, ", \t", &cursor)) {
    check(*t != '\0' && strpbrk(t, ", \t") == nullptr);
    tokens_len += strlen(t);
  }
  check(tokens_len <= text.size());

  // The input's first half searched for a piece of its second half, against std::search.
  const size_t half = raw.size() / 2;
  const std::string hay = raw.substr(0, half);
  const std::string pat = raw.substr(half, std::min<size_t>(raw.size() - half, 4));
  const void* hit = cu_memmem(hay.data(), static_cast<int32_t>(hay.size()), pat.data(), static_cast<int32_t>(pat.size()));
  if (pat.size() <= hay.size()) {
    const auto it = std::search(hay.begin(), hay.end(), pat.begin(), pat.end());
    check(hit == (it == hay.end() && !pat.empty() ? nullptr : hay.data() + (it - hay.begin())));
  } else {
    check(hit == nullptr);
  }
  const std::string ctext = hay.substr(0, hay.find('\0'));
  const std::string cpat = pat.substr(0, pat.find('\0'));
  const char* found = cu_strnstr(ctext.c_str(), cpat.c_str(), static_cast<int32_t>(size) + 1);
  const size_t pos = ctext.find(cpat);
  check(found == (pos == std::string::npos ? nullptr : ctext.c_str() + pos));
  if (cu_stristr(ctext.c_str(), cpat.c_str()) == nullptr) check(found == nullptr);

  char* end = nullptr;
  cu_strtoll(text.c_str(), &end, size > 1 ? data[1] % 37 : 10);
  if (end) check(end >= text.c_str() && end <= text.c_str() + text.size());
  cu_atol(text.c_str());
  return 0;
}
