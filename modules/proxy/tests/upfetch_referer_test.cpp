// The Referer's own-site test: whole hosts compared without regard to case, never a prefix.
#include <gtest/gtest.h>

#include "upfetch_referer.h"

namespace vor::upfetch {
namespace {

struct RefererCase {
  const char* referer;
  const char* host;
  bool own;
};
const RefererCase kReferers[] = {
    {"http://a.com/page", "a.com", true},
    {"https://A.COM/page", "a.com", true},
    {"HTTP://a.com", "A.com", true},  // no slash: the whole text is the host
    {"a.com/x", "a.com", true},
    {"a.com:8080/x", "a.com:8080", true},
    {"http://a.com.evil.net/x", "a.com", false},  // shares the prefix only
    {"http://a.co/x", "a.com", false},            // shorter
    {"http://a.com/x", "a.co", false},
    {"http://evil.net/a.com", "a.com", false},
    {"http://a.com:81/x", "a.com", false},
    {"", "a.com", false},
    {"http://", "", false},
    {"ftp://a.com/x", "a.com", false},
};

TEST(Referer, OwnSiteIsTheWholeHostIgnoringCase) {
  for (const RefererCase& c : kReferers) {
    SCOPED_TRACE(std::string(c.referer) + " for " + c.host);
    EXPECT_EQ(referer_is_own_host(c.referer, c.host), c.own);
  }
}

}  // namespace
}  // namespace vor::upfetch
