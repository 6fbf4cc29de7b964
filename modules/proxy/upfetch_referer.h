// Whether a request's Referer names the request's own site, which may always use its own pages
// and images whatever the protection rules say.
#pragma once
#include <string_view>

namespace vor::upfetch {

// The Referer's host (after "http://" or "https://" when present, up to the first slash) equals
// the whole request host, ignoring case: a site merely sharing a prefix ("a.com.evil.net" or
// "a.co" for "a.com") is not the same site.
bool referer_is_own_host(std::string_view referer, std::string_view host);

}  // namespace vor::upfetch
