// The Referer's site against the request host, for the protection step of the admission chain.
#include "upfetch_referer.h"

#include <strings.h>

namespace vor::upfetch {

namespace {

bool starts_caseless(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

bool referer_is_own_host(std::string_view referer, std::string_view host) {
  for (std::string_view scheme : {"http://", "https://"}) {
    if (starts_caseless(referer, scheme)) {
      referer.remove_prefix(scheme.size());
      break;
    }
  }
  const std::string_view referer_host = referer.substr(0, referer.find('/'));
  return !host.empty() && referer_host.size() == host.size() &&
         strncasecmp(referer_host.data(), host.data(), host.size()) == 0;
}

}  // namespace vor::upfetch
