// Any pattern text, kind, case flag and URL: the expansions stay terminated inside their
// 4,096-byte buffers with the length they answer, and a text without a placeholder is made and
// matched alike as a URL rule object and as a family rule.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "policydb.h"
#include "policydb_urlrule.h"
#include "vor_fuzz_check.h"

using policydb::url::kBufferSize;
using vor::test::require;

namespace {

void check_expansion(const std::string& url, const std::string& tmpl, bool regex) {
  std::vector<char> out(kBufferSize + 1, '\x7f');
  const size_t n = regex ? policydb::url::expand_regex(url.c_str(), tmpl.c_str(), out.data())
                         : policydb::url::expand(url.c_str(), tmpl.c_str(), out.data());
  require(n < kBufferSize);
  require(std::strlen(out.data()) == n);
  require(out[kBufferSize] == '\x7f');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t kind = data[0] % 4;
  const uint8_t icase = (data[0] >> 2) & 1;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t split = rest.find('\n');
  const std::string text = rest.substr(0, split).c_str();  // up to a NUL, as a C caller passes it
  const std::string url = split == std::string::npos ? "" : rest.substr(split + 1).c_str();
  check_expansion(url, text, false);
  check_expansion(url, text, true);
  xcache_rules* object = xcache_rules_make(text.c_str(), icase, kind);
  policydb::url::Pattern pattern;
  const bool made = pattern.make(text.c_str(), icase, kind);
  const bool hit = object && xcache_rules_ishit(object, url.c_str());
  if (text.find("%{") == std::string::npos) {
    require((object != nullptr) == made);
    require(hit == pattern.matches(url.c_str()));
  }
  xcache_rules_free(object);
  return 0;
}
