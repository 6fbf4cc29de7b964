// A disk-cache rewrite plug-in for the purge and check tests. By the key it is asked about:
//   fx.test/keyed/<x>   answers with the key fx.test/stored/<x>
//   fx.test/skip/<x>    answers skip
//   fx.test/hdr/rewrite sets "Quo-Hit-Diskcache-Rewrite: fx.test/stored/h1" on the head it gets
//   fx.test/hdr/url     sets "Quo-Hit-Request-Url: fx.test/stored/h2"
//   fx.test/hdr/empty   sets an empty "Quo-Hit-Diskcache-Rewrite" and the Quo-Hit-Request-Url above
// and leaves every other key alone (answer 0).
#include <cstring>
#include <string_view>

#include "http_parser.h"

namespace {

constexpr std::string_view kKeyed = "fx.test/keyed/";
constexpr std::string_view kSkip = "fx.test/skip/";

void set_header(http_parser* head, const char* name, const char* value) {
  if (head) http_parser_ModifyKey(head, name, value);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) unsigned char quo_plugin_diskcache_rewrite(
    const char* key, http_parser* request, void*, char* key_buffer, unsigned char* skip, unsigned*) {
  const std::string_view k(key);
  if (k.substr(0, kKeyed.size()) == kKeyed) {
    const std::string_view rest = k.substr(kKeyed.size());
    std::memcpy(key_buffer, "fx.test/stored/", 15);
    std::memcpy(key_buffer + 15, rest.data(), rest.size());
    return 1;
  }
  if (k.substr(0, kSkip.size()) == kSkip) {
    *skip = 1;
    return 1;
  }
  if (k == "fx.test/hdr/rewrite") set_header(request, "Quo-Hit-Diskcache-Rewrite", "fx.test/stored/h1");
  if (k == "fx.test/hdr/url") set_header(request, "Quo-Hit-Request-Url", "fx.test/stored/h2");
  if (k == "fx.test/hdr/empty") {
    set_header(request, "Quo-Hit-Diskcache-Rewrite", "");
    set_header(request, "Quo-Hit-Request-Url", "fx.test/stored/h2");
  }
  return 0;
}
