// The session cache: learning, membership and stripping as tables, same value twice, the 16
// domains searched, the size limit (expired values first, then the closest per key, stopping
// below the limit), the sweep and its timer, allocation failures at every step and an
// exhausted pool, admission and the judge calling in, and a model-based run against std::map.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "reqgate.h"
#include "reqgate_internal.h"
#include "reqgate_session.h"
#include "reqgate_session_fakes.h"
#include "reqgate_test_util.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

Head response_with(const std::vector<std::string>& set_cookies) {
  std::string text = "HTTP/1.1 200 OK\r\n";
  for (const std::string& c : set_cookies) text += "Set-Cookie: " + c + "\r\n";
  return make_head(text);
}

Head request_with(const char* host, const char* cookie) {
  std::string text = "GET / HTTP/1.1\r\n";
  if (host) text += std::string("Host: ") + host + "\r\n";
  if (cookie) text += std::string("Cookie: ") + cookie + "\r\n";
  return make_head(text);
}

std::vector<SessionEntry> values() {
  std::vector<SessionEntry> out;
  for (const SessionEntry& e : session_snapshot()) {
    if (e.level == SessionEntry::kValue) out.push_back(e);
  }
  return out;
}

SessionEntry value(const char* domain, const char* key, const char* v, int64_t expiry, uint32_t lifetime,
                   const char* path) {
  return {SessionEntry::kValue, domain, key, v, expiry, lifetime, path};
}

int64_t expiry_of(const char* domain, const char* key, const char* v) {
  for (const SessionEntry& e : values()) {
    if (e.domain == domain && e.key == key && e.value == v) return e.expiry;
  }
  return -1;
}

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    fresh_session_store();
    set_console_trace(true);
    reqgate_ImportClusterFunction(nullptr, nullptr, nullptr);
  }
  void TearDown() override {
    reqgate_ImportClusterFunction(nullptr, nullptr, nullptr);
    set_rules({});
  }
};

// ---- learning ----

struct LearnCase {
  const char* name;
  std::vector<FakeRule> rules;
  const char* cache_key;
  std::vector<std::string> set_cookies;
  std::vector<SessionEntry> learned;  // now is 1000
};

const std::vector<FakeRule> kSid = {{60, "sid"}};

const LearnCase kLearn[] = {
    {"a value of 7 characters is not learned", kSid, "www.a.com/login", {"sid=abcdefg; Path=/"}, {}},
    {"8 characters are", kSid, "www.a.com/login", {"sid=abcdefgh; Path=/"},
     {value("www.a.com", "sid", "abcdefgh", 1060, 60, "/")}},
    {"Secure is not learned; the next header is", kSid, "www.a.com/login",
     {"sid=abcdefgh; Path=/; Secure", "sid=12345678; Path=/"}, {value("www.a.com", "sid", "12345678", 1060, 60, "/")}},
    {"no Domain: the host part of the key, without its port", kSid, "Shop.a.com:8080/login", {"sid=abcdefgh; Path=/"},
     {value("shop.a.com", "sid", "abcdefgh", 1060, 60, "/")}},
    {"no Domain and a host part of 3 characters", kSid, "a.b/login", {"sid=abcdefgh"}, {}},
    {"no Domain and a host part of 4 characters", kSid, "ab.c/login", {"sid=abcdefgh"},
     {value("ab.c", "sid", "abcdefgh", 1060, 60, "/")}},
    {"Domain lower-cased and cut at its port", kSid, "x.y/login", {"sid=abcdefgh; Domain=.A.Com:81; Path=/shop"},
     {value(".a.com", "sid", "abcdefgh", 1060, 60, "/shop")}},
    {"a key without '/' has no host part", kSid, "www.a.com", {"sid=abcdefgh"}, {}},
    {"a key without '/' with a Domain", kSid, "www.a.com", {"sid=abcdefgh; domain=a.com"},
     {value("a.com", "sid", "abcdefgh", 1060, 60, "/")}},
    {"no Path: the directory of the request path", kSid, "www.a.com/shop/login.php?next=/x/y", {"sid=abcdefgh"},
     {value("www.a.com", "sid", "abcdefgh", 1060, 60, "/shop")}},
    {"no Path at the top: /", kSid, "www.a.com/login.php", {"sid=abcdefgh"},
     {value("www.a.com", "sid", "abcdefgh", 1060, 60, "/")}},
    {"other cookie names are not the key", kSid, "www.a.com/login", {"xsid=abcdefgh", "sidx=abcdefgh"}, {}},
    {"every rule takes its own cookie", {{60, "sid"}, {30, "uid"}, {90, "gone"}}, "www.a.com/login",
     {"uid=uuuuuuuu; Path=/u", "sid=ssssssss; Path=/"},
     {value("www.a.com", "sid", "ssssssss", 1060, 60, "/"), value("www.a.com", "uid", "uuuuuuuu", 1030, 30, "/u")}},
    {"no rule: nothing", {}, "www.a.com/login", {"sid=abcdefgh"}, {}},
};

TEST_F(Session, LearningTable) {
  set_console_trace(false);
  for (const LearnCase& c : kLearn) {
    SCOPED_TRACE(c.name);
    reqgate_CleanSessionCaches();
    set_rules(c.rules);
    Head response = response_with(c.set_cookies);
    learn_sessions(response.get(), c.cache_key);
    EXPECT_EQ(values(), c.learned);
    EXPECT_EQ(reqgate_GetNumOfSessionCaches(), c.learned.size());
  }
}

struct HookCall {
  std::string domain, key, value, path;
  uint32_t lifetime;
  bool operator==(const HookCall&) const = default;
};
std::vector<HookCall> g_calls;
void record_call(const char* domain, const char* key, const char* value, const char* path, uint32_t lifetime) {
  g_calls.push_back({domain, key, value, path, lifetime});
}

TEST_F(Session, SameValueTwiceKeepsItsFirstExpiryAndAMemberRequestRenewsIt) {
  g_calls.clear();
  reqgate_ImportClusterFunction(record_call, nullptr, nullptr);
  set_rules({{50, "sid"}});
  Head response = response_with({"sid=abcdefgh; Path=/"});
  fakes().now = 100;
  learn_sessions(response.get(), "www.a.com/login");
  fakes().now = 120;
  learn_sessions(response.get(), "www.a.com/login");
  EXPECT_EQ(values(), std::vector<SessionEntry>{value("www.a.com", "sid", "abcdefgh", 150, 50, "/")});
  // The hook hears of both: the second learning found the value there already.
  const HookCall call{"www.a.com", "sid", "abcdefgh", "/", 50};
  EXPECT_EQ(g_calls, (std::vector<HookCall>{call, call}));
  fakes().now = 130;
  Head request = request_with("www.a.com", "sid=abcdefgh");
  EXPECT_TRUE(is_member(request.get(), "www.a.com/page"));
  EXPECT_EQ(expiry_of("www.a.com", "sid", "abcdefgh"), 180);
}

TEST_F(Session, ValuesFromElsewhereAreKeptAsGivenWithoutTheHook) {
  g_calls.clear();
  reqgate_ImportClusterFunction(record_call, nullptr, nullptr);
  wc_sessionvalue_add("A.Com", "sid", "abcdefgh", "/p", 10);
  wc_sessionvalue_add("A.Com", "sid", "abcdefgh", "/other", 99);  // present: unchanged
  wc_sessionvalue_add("A.Com", "sid", "x", nullptr, 5);
  EXPECT_EQ(values(), (std::vector<SessionEntry>{value("A.Com", "sid", "abcdefgh", 1010, 10, "/p"),
                                                 value("A.Com", "sid", "x", 1005, 5, "/")}));
  EXPECT_TRUE(g_calls.empty());
  wc_sessionvalue_del("A.Com", "uid", "x");
  wc_sessionvalue_del("a.com", "sid", "x");
  EXPECT_EQ(reqgate_GetNumOfSessionCaches(), 2u);
  wc_sessionvalue_del("A.Com", "sid", "x");
  EXPECT_EQ(reqgate_GetNumOfSessionCaches(), 1u);
  EXPECT_EQ(values().size(), 1u);
}

// ---- membership ----

struct MemberCase {
  const char* name;
  const char* host;
  const char* cookie;
  const char* cache_key;
  bool member;
  bool renewed;
  const char* trace;
};

const MemberCase kMemberCases[] = {
    {"inside the path", "www.a.com", "sid=abcdefgh", "www.a.com/shop/cart", true, true, ""},
    {"host in capitals with a port", "WWW.A.COM:8080", "x=1; sid=abcdefgh", "www.a.com/shop", true, true, ""},
    {"a value never learned", "www.a.com", "sid=zzzzzzzz", "www.a.com/shop", false, false, ""},
    {"outside the cookie's path", "www.a.com", "a=1; sid=abcdefgh", "www.a.com/other", false, true,
     "[filter -> session -> PathNotMatch] -> [SessionDomain -> SessionKey -> SessionPath -> RequestPath -> "
     "RequestUrl] www.a.com -> sid -> /shop -> /other -> www.a.com/other\r\n"},
    {"a key without a path", "www.a.com", "sid=abcdefgh", "www.a.com", false, true, ""},
    {"another host", "a.com", "sid=abcdefgh", "a.com/shop", false, false, ""},
    {"no Cookie", "www.a.com", nullptr, "www.a.com/shop", false, false, ""},
    {"no Host", nullptr, "sid=abcdefgh", "www.a.com/shop", false, false, ""},
};

TEST_F(Session, MembershipTable) {
  for (const MemberCase& c : kMemberCases) {
    SCOPED_TRACE(c.name);
    fakes().now = 1000;
    reqgate_CleanSessionCaches();
    wc_sessionvalue_add("www.a.com", "sid", "abcdefgh", "/shop", 60);
    fakes().now = 2000;
    Head request = request_with(c.host, c.cookie);
    testing::internal::CaptureStdout();
    EXPECT_EQ(is_member(request.get(), c.cache_key), c.member);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.trace);
    EXPECT_EQ(expiry_of("www.a.com", "sid", "abcdefgh"), c.renewed ? 2060 : 1060);
  }
}

TEST_F(Session, ADotDomainCoversItsSubdomainsAndItself) {
  wc_sessionvalue_add(".b.org", "sid", "bbbbbbbb", "/", 60);
  for (const char* host : {"x.b.org", "b.org", "y.x.b.org:81"}) {
    Head request = request_with(host, "sid=bbbbbbbb");
    EXPECT_TRUE(is_member(request.get(), "k/")) << host;
  }
  Head other = request_with("b.org.evil", "sid=bbbbbbbb");
  EXPECT_FALSE(is_member(other.get(), "k/"));
}

TEST_F(Session, OnlyTheFirst16MatchingDomainsAreSearched) {
  // Domains ".a.b...q.com", ".b...q.com", ..., ".q.com" all match the host; in tree order the
  // one starting with 'p' is the 16th and the one with 'q' the 17th.
  const std::string host = "a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p.q.com";
  std::vector<std::string> domains;
  for (size_t at = 0; at < host.size(); at += 2) {
    if (host.compare(at, 3, "com") == 0) break;
    domains.push_back("." + host.substr(at));
  }
  ASSERT_EQ(domains.size(), 17u);
  wc_sessionvalue_add(".zz.com", "other", "00000000", "/", 60);  // does not match: takes no place
  for (size_t i = 0; i < 16; ++i) wc_sessionvalue_add(domains[i].c_str(), "other", "00000000", "/", 60);
  wc_sessionvalue_add(domains[16].c_str(), "sid", "abcdefgh", "/", 60);
  Head request = request_with(host.c_str(), "sid=abcdefgh");
  EXPECT_FALSE(is_member(request.get(), "k/"));
  // A domain record left without values still takes its place.
  wc_sessionvalue_del(domains[3].c_str(), "other", "00000000");
  EXPECT_FALSE(is_member(request.get(), "k/"));
  wc_sessionvalue_add(domains[15].c_str(), "sid", "abcdefgh", "/", 60);
  EXPECT_TRUE(is_member(request.get(), "k/"));
}

TEST_F(Session, AnExpiredValueStillMatchesUntilASweepRemovesIt) {
  wc_sessionvalue_add("www.a.com", "sid", "abcdefgh", "/", 10);
  fakes().now = 5000;
  Head request = request_with("www.a.com", "sid=abcdefgh");
  EXPECT_TRUE(is_member(request.get(), "www.a.com/"));  // and renewed to 5010
  fakes().now = 5010;
  set_console_trace(true);
  testing::internal::CaptureStdout();
  session_sweep();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ExpiredSessionValue] sid=abcdefgh\r\n");
  EXPECT_FALSE(is_member(request.get(), "www.a.com/"));
}

TEST_F(Session, SweepRemovesWhatExpiredAndKeepsTheEmptyRecords) {
  wc_sessionvalue_add("a.com", "sid", "gone0000", "/", 10);
  wc_sessionvalue_add("a.com", "sid", "kept0000", "/", 11);
  wc_sessionvalue_add("b.com", "uid", "gone1111", "/x", 5);
  fakes().now = 1010;
  session_sweep();
  const std::vector<SessionEntry> expected = {
      value("a.com", "sid", "kept0000", 1011, 11, "/"),
      {SessionEntry::kKey, "b.com", "uid", "", 0, 0, ""},
  };
  EXPECT_EQ(session_snapshot(), expected);
  EXPECT_EQ(reqgate_GetNumOfSessionCaches(), 1u);
}

// ---- stripping ----

struct StripCase {
  const char* name;
  std::vector<FakeRule> rules;
  std::vector<std::string> cookies;  // Cookie lines of the request
  std::vector<std::string> after;    // Cookie lines afterwards
};

const std::vector<FakeRule> kTwoRules = {{60, "sid"}, {60, "uid"}, {30, "sid"}};

const StripCase kStrip[] = {
    {"one cookie among others", kTwoRules, {"a=1; sid=xyz; b=2"}, {"a=1; b=2"}},
    {"every session cookie", kTwoRules, {"uid=1; a=1; sid=xyz"}, {"a=1"}},
    {"nothing left: no Cookie header", kTwoRules, {"sid=xyz; uid=2"}, {}},
    {"a name that stands twice", kTwoRules, {"sid=1; a=3; sid=2"}, {"a=3"}},
    {"every Cookie line", kTwoRules, {"a=1; sid=x", "sid=y; b=2", "c=3"}, {"a=1", "b=2", "c=3"}},
    {"names that only contain a key", kTwoRules, {"xsid=1; sidx=2"}, {"xsid=1; sidx=2"}},
    {"no session rules", {}, {"a=1; sid=xyz"}, {"a=1; sid=xyz"}},
};

std::vector<std::string> cookie_lines(http_parser* request) {
  std::vector<std::string> out;
  char line[16384];
  for (int32_t n = 0; http_parser_GetNthKey(request, "Cookie", n, line, sizeof line); ++n) out.emplace_back(line);
  return out;
}

TEST_F(Session, StrippingTable) {
  for (const StripCase& c : kStrip) {
    SCOPED_TRACE(c.name);
    set_rules(c.rules);
    std::string text = "GET / HTTP/1.1\r\nHost: h\r\n";
    for (const std::string& line : c.cookies) text += "Cookie: " + line + "\r\n";
    Head request = make_head(text);
    strip_session_cookies(request.get());
    EXPECT_EQ(cookie_lines(request.get()), c.after);
    EXPECT_EQ(header(request.get(), "Host"), "h");
  }
}

TEST_F(Session, ALongCookieLineKeepsItsTail) {
  set_rules(kSid);
  const std::string filler(12000, 'f');
  Head request = make_head("GET / HTTP/1.1\r\nHost: h\r\nCookie: a=" + filler + "; sid=xyz; z=tail\r\n");
  strip_session_cookies(request.get());
  EXPECT_EQ(cookie_lines(request.get()), std::vector<std::string>{"a=" + filler + "; z=tail"});
}

// ---- the size limit ----

TEST_F(Session, OverTheLimitExpiredValuesGoFirstThenTheClosestOfEachKey) {
  wc_sessionvalue_add("a.com", "sid", "expired0", "/", 0);
  wc_sessionvalue_add("a.com", "sid", "in10aaaa", "/", 10);
  wc_sessionvalue_add("a.com", "sid", "in5aaaaa", "/", 5);
  wc_sessionvalue_add("a.com", "uid", "in20aaaa", "/", 20);
  wc_sessionvalue_add("a.com", "uid", "in30aaaa", "/", 30);
  wc_sessionvalue_add("b.com", "sid", "in40bbbb", "/", 40);
  wc_sessionvalue_add("b.com", "sid", "in50bbbb", "/", 50);
  fakes().limit = 1;
  testing::internal::CaptureStdout();
  wc_sessionvalue_add("b.com", "sid", "in60bbbb", "/", 60);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ExpiredSessionValue] sid=expired0\r\n"
            "[LessSessionValue] sid=in5aaaaa\r\n"
            "[LessSessionValue] uid=in20aaaa\r\n"
            "[LessSessionValue] sid=in40bbbb\r\n");
  const std::vector<SessionEntry> expected = {
      value("a.com", "sid", "in10aaaa", 1010, 10, "/"), value("a.com", "uid", "in30aaaa", 1030, 30, "/"),
      value("b.com", "sid", "in50bbbb", 1050, 50, "/"), value("b.com", "sid", "in60bbbb", 1060, 60, "/")};
  EXPECT_EQ(values(), expected);
  EXPECT_EQ(reqgate_GetNumOfSessionCaches(), 4u);
}

TEST_F(Session, EvictionStopsOnceTheStoreIsBelowTheLimit) {
  const std::string long_path = "/" + std::string(3000, 'p');
  wc_sessionvalue_add("a.com", "sid", "close000", long_path.c_str(), 5);
  wc_sessionvalue_add("a.com", "sid", "far00000", "/", 50);
  wc_sessionvalue_add("b.com", "sid", "closer00", "/", 1);
  wc_sessionvalue_add("b.com", "sid", "far11111", "/", 60);
  const uint64_t before = reqgate_GetSessionCacheSize();
  fakes().limit = static_cast<uint32_t>(before + 1500);
  testing::internal::CaptureStdout();
  wc_sessionvalue_add("b.com", "sid", "new00000", long_path.c_str(), 70);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[LessSessionValue] sid=close000\r\n");
  EXPECT_LT(reqgate_GetSessionCacheSize(), before + 1500);
  EXPECT_EQ(expiry_of("b.com", "sid", "closer00"), 1001);  // the next key was not reached
  EXPECT_EQ(reqgate_GetNumOfSessionCaches(), 4u);
}

TEST_F(Session, AnEmptiedStoreHoldsNoBytesAndTheFilterCountsThem) {
  EXPECT_EQ(reqgate_GetSessionCacheSize(), 0u);
  const uint64_t filter_before = reqgate_GetCacheSize();
  for (int i = 0; i < 300; ++i) {
    const std::string domain = "d" + std::to_string(i % 7) + ".com";
    const std::string v = "value" + std::to_string(i);
    wc_sessionvalue_add(domain.c_str(), i % 2 ? "sid" : "uid", v.c_str(), i % 3 ? "/" : "/some/path", 60);
  }
  EXPECT_EQ(reqgate_GetNumOfSessionCaches(), 300u);
  EXPECT_GT(reqgate_GetSessionCacheSize(), 0u);
  EXPECT_EQ(reqgate_GetCacheSize() - filter_before, reqgate_GetSessionCacheSize());
  reqgate_CleanSessionCaches();
  EXPECT_EQ(reqgate_GetNumOfSessionCaches(), 0u);
  EXPECT_EQ(reqgate_GetSessionCacheSize(), 0u);
  EXPECT_TRUE(session_snapshot().empty());
}

// ---- allocation failures ----

struct FailureCase {
  int64_t succeeding;  // allocations that succeed before the failing one
  const char* text;
  std::vector<SessionEntry::Level> left;  // records that stay
};

constexpr char kDomainOver[] = "session -> domain cache is over, return null!\r\n";
constexpr char kDomainTreeOver[] = "session -> domain stree cache is over, return null!\r\n";
constexpr char kKeyOver[] = "session -> key cache is over, return null!\r\n";
constexpr char kKeyTreeOver[] = "session -> key stree cache is over, return null!\r\n";
constexpr char kValueOver[] = "session -> value cache is over, return null!\r\n";
constexpr char kValueTreeOver[] = "session -> value stree cache is over, return null!\r\n";
constexpr char kTextOver[] = "session -> cache is over, return null!\r\n";

// A new domain, key and value with a path of its own: every allocation in the order made.
const FailureCase kFailures[] = {
    {0, kDomainOver, {}},                          // domain record
    {1, kTextOver, {}},                            // domain text
    {2, kKeyTreeOver, {}},                         // the domain's key tree
    {3, kDomainTreeOver, {}},                      // domain tree node
    {4, kKeyOver, {SessionEntry::kDomain}},        // key record
    {5, kTextOver, {SessionEntry::kDomain}},       // key text
    {6, kValueTreeOver, {SessionEntry::kDomain}},  // the key's value tree
    {7, kKeyTreeOver, {SessionEntry::kDomain}},    // key tree node
    {8, kValueOver, {SessionEntry::kKey}},         // value record
    {9, kTextOver, {SessionEntry::kKey}},          // path copy
    {10, kValueTreeOver, {SessionEntry::kKey}},    // value tree node
    {11, "", {SessionEntry::kValue}},
};

TEST_F(Session, EveryAllocationThatFailsIsReportedAndLeavesNothingHalfMade) {
  g_calls.clear();
  reqgate_ImportClusterFunction(record_call, nullptr, nullptr);
  set_rules({{60, "sid"}, {60, "uid"}});
  Head response = response_with({"sid=abcdefgh; Path=/p", "uid=uuuuuuuu; Path=/p; Domain=other.com"});
  for (const FailureCase& c : kFailures) {
    SCOPED_TRACE(c.succeeding);
    reqgate_CleanSessionCaches();
    g_calls.clear();
    session_fail_allocation_after(c.succeeding);
    testing::internal::CaptureStdout();
    learn_sessions(response.get(), "www.a.com/login");
    const std::string out = testing::internal::GetCapturedStdout();
    session_fail_allocation_after(-1);
    // The failure ends only its rule: the next rule finds every allocation failing too, so its
    // domain record is reported as well.
    EXPECT_EQ(out, *c.text ? std::string(c.text) + kDomainOver : std::string(kDomainOver));
    std::vector<SessionEntry::Level> left;
    for (const SessionEntry& e : session_snapshot()) left.push_back(e.level);
    EXPECT_EQ(left, c.left);
    EXPECT_EQ(reqgate_GetNumOfSessionCaches(), c.left == std::vector{SessionEntry::kValue} ? 1u : 0u);
    EXPECT_EQ(g_calls.size(), *c.text ? 0u : 1u);
    reqgate_CleanSessionCaches();
    EXPECT_EQ(reqgate_GetSessionCacheSize(), 0u) << "bytes left behind";
  }
}

TEST_F(Session, AFullValuePoolStopsTheValuesNotTheStore) {
  SessionGeometry small;
  small.pools[4] = {4096, 1, 0};  // value struct: one page
  fresh_session_store(small);
  set_console_trace(true);
  testing::internal::CaptureStdout();
  uint32_t added = 0;
  for (int i = 0; i < 200; ++i) {
    const std::string v = "value" + std::to_string(i);
    wc_sessionvalue_add("a.com", "sid", v.c_str(), "/", 60);
    added = reqgate_GetNumOfSessionCaches();
  }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_GT(added, 10u);
  EXPECT_LT(added, 200u);
  EXPECT_NE(out.find(kValueOver), std::string::npos);
  EXPECT_EQ(values().size(), added);
  wc_sessionvalue_del("a.com", "sid", "value0");
  wc_sessionvalue_add("a.com", "sid", "again", "/", 60);
  EXPECT_EQ(expiry_of("a.com", "sid", "again"), 1060);
  reqgate_CleanSessionCaches();
  EXPECT_EQ(reqgate_GetSessionCacheSize(), 0u);
  fresh_session_store();
}

TEST(SessionDeath, APoolThatCannotBeMadeEndsTheProcessNamingIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* names[] = {"domain struct", "domain stree", "key struct", "key stree", "value struct", "value stree"};
  for (int i = 0; i < 6; ++i) {
    SessionGeometry bad;
    bad.pools[i].page_size = 0;
    EXPECT_EXIT(
        {
          std::fflush(stdout);
          dup2(2, 1);
          session_store_destroy();
          session_store_init(bad);
        },
        ::testing::ExitedWithCode(255), std::string("\\(") + names[i] + "\\) -> return NULL -> exit!");
  }
  SessionGeometry bad;
  bad.arena.page_size = 0;
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        dup2(2, 1);
        session_store_destroy();
        session_store_init(bad);
      },
      ::testing::ExitedWithCode(255), "session cache");
}

// ---- the sweep timer ----

TEST_F(Session, TheSweepRunsOnItsTimerAndRefreshZeroStartsNone) {
  vor_box* box = vor_box_new();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(start_session_sweep(box, 0), 0);
  wc_sessionvalue_add("a.com", "sid", "abcdefgh", "/", 5);
  fakes().now = 2000;
  EXPECT_GT(start_session_sweep(box, 1), 0);
  // The loop ends when the value is gone, or after 5 s at most.
  vor_box_NewLoopTimer(
      box, 50,
      [](void*, void* ud, int32_t, int32_t) {
        if (reqgate_GetNumOfSessionCaches() == 0) vor_box_BreakLoop(static_cast<vor_box*>(ud));
      },
      box);
  vor_box_NewOnceTimer(
      box, 5000, [](void*, void* ud, int32_t, int32_t) { vor_box_BreakLoop(static_cast<vor_box*>(ud)); }, box);
  vor_box_loop(box);
  EXPECT_EQ(reqgate_GetNumOfSessionCaches(), 0u);
}

// ---- admission and the judge ----

void install_member_rules() {
  rules() = RuleQuestions{
      [](const char*, uint8_t*, uint32_t*, uint32_t*) -> uint32_t { return 0; },
      []() -> uint32_t { return 1 << 20; },
      []() -> uint8_t { return 1; },
      [](const char*, int32_t*, char*, int32_t) -> uint8_t { return 0; },
      []() -> uint8_t { return 1; },
      {[](const char*, uint8_t*, uint32_t*, uint32_t*) -> uint32_t { return 0; },
       [](const char*, uint8_t*, uint32_t*, uint32_t*) -> uint32_t { return 60; },
       [](const char*, uint8_t*, uint32_t*, uint32_t*) -> uint32_t { return 0; }},
      {[](const char*, uint32_t*, uint32_t*) -> uint8_t { return 0; },
       [](const char*, uint32_t*, uint32_t*) -> uint8_t { return 0; },
       [](const char*, uint32_t*, uint32_t*) -> uint8_t { return 0; }},
  };
}

TEST_F(Session, AdmissionMakesMembersAndStripsTheSessionOfOthers) {
  const RuleQuestions saved = rules();
  install_member_rules();
  set_console_trace(false);
  set_rules(kSid);
  wc_sessionvalue_add("www.a.com", "sid", "abcdefgh", "/shop", 60);
  struct {
    const char* key;
    uint8_t kind;
    const char* cookie_after;
  } cases[] = {{"www.a.com/shop/x", CacheKind::kMember, "a=1; sid=abcdefgh"},
               {"www.a.com/other", CacheKind::kIntelligent, "a=1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    Head request = request_with("www.a.com", "a=1; sid=abcdefgh");
    Admission out;
    admit(request.get(), c.key, out);
    EXPECT_EQ(out.cache_kind, c.kind);
    EXPECT_EQ(header(request.get(), "Cookie"), c.cookie_after);
  }
  rules() = saved;
}

TEST_F(Session, TheResponseOfASessionActionIsLearnedNeverCached) {
  set_rules(kSid);
  CacheDecision decision;
  decision.cache_kind = kSessionAction;
  decision.cache_key = "www.a.com/login";
  Head request = request_with("www.a.com", nullptr);
  Head response = response_with({"sid=abcdefgh; Path=/"});
  uint32_t length = 0;
  EXPECT_FALSE(judge_response(decision, request.get(), response.get(), &length));
  EXPECT_EQ(values(), std::vector<SessionEntry>{value("www.a.com", "sid", "abcdefgh", 1060, 60, "/")});
}

// ---- model ----

// The store as plain maps; empty maps are domain and key records without values.
struct ModelValue {
  int64_t expiry;
  uint32_t lifetime;
  std::string path;
};
using ModelKeys = std::map<std::string, std::map<std::string, ModelValue>>;
using Model = std::map<std::string, ModelKeys>;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
std::string before_port(const std::string& s) { return s.substr(0, s.find(':')); }

bool model_domain_match(const std::string& domain, const std::string& host) {
  std::string d = lower(before_port(domain));
  const std::string h = lower(before_port(host));
  if (d.empty() || d[0] != '.') return d == h;
  d.erase(0, 1);
  return h.size() >= d.size() && h.compare(h.size() - d.size(), d.size(), d) == 0;
}

class ModelRun {
 public:
  explicit ModelRun(uint32_t seed) : rng_(seed) {}

  std::vector<HookCall> calls;

  void add(const std::string& domain, const std::string& key, const std::string& v, const std::string& path,
           uint32_t lifetime, int64_t now, bool tiny_limit) {
    auto& values = model_[domain][key];
    if (values.count(v)) return;
    values[v] = {now + lifetime, lifetime, path};
    if (!tiny_limit) return;
    sweep(now);
    // A tiny limit is never reached again while records exist: one value of every key goes.
    for (auto& [d, keys] : model_) {
      for (auto& [k, vs] : keys) {
        auto least = vs.end();
        for (auto it = vs.begin(); it != vs.end(); ++it) {
          if (least == vs.end() || it->second.expiry < least->second.expiry) least = it;
          if (it->second.expiry <= now) break;
        }
        if (least != vs.end()) vs.erase(least);
      }
    }
  }

  void sweep(int64_t now) {
    for (auto& [d, keys] : model_) {
      for (auto& [k, vs] : keys) std::erase_if(vs, [&](const auto& e) { return e.second.expiry <= now; });
    }
  }

  void del(const std::string& domain, const std::string& key, const std::string& v) {
    auto d = model_.find(domain);
    if (d == model_.end()) return;
    auto k = d->second.find(key);
    if (k != d->second.end()) k->second.erase(v);
  }

  bool member(const std::string& host, const std::map<std::string, std::string>& cookie, const std::string& cache_key,
              int64_t now) {
    size_t searched = 0;
    for (auto& [domain, keys] : model_) {
      if (!model_domain_match(domain, host)) continue;
      if (++searched > 16) break;
      for (auto& [key, vs] : keys) {
        const auto c = cookie.find(key);
        if (c == cookie.end()) continue;
        const auto v = vs.find(c->second);
        if (v == vs.end()) continue;
        v->second.expiry = now + v->second.lifetime;
        const size_t slash = cache_key.find('/');
        return slash != std::string::npos && cache_key.compare(slash, v->second.path.size(), v->second.path) == 0;
      }
    }
    return false;
  }

  std::vector<SessionEntry> snapshot() const {
    std::vector<SessionEntry> out;
    for (const auto& [d, keys] : model_) {
      if (keys.empty()) out.push_back({SessionEntry::kDomain, d, {}, {}, 0, 0, {}});
      for (const auto& [k, vs] : keys) {
        if (vs.empty()) out.push_back({SessionEntry::kKey, d, k, {}, 0, 0, {}});
        for (const auto& [v, e] : vs) out.push_back({SessionEntry::kValue, d, k, v, e.expiry, e.lifetime, e.path});
      }
    }
    return out;
  }

  void clean() { model_.clear(); }

  size_t count() const {
    size_t n = 0;
    for (const auto& [d, keys] : model_) {
      for (const auto& [k, vs] : keys) n += vs.size();
    }
    return n;
  }

  template <class T>
  const T& pick(const std::vector<T>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng_)];
  }
  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

 private:
  std::mt19937 rng_;
  Model model_;
};

struct CookieDraw {
  std::string name, v, domain, path;
  bool secure;
};

const std::vector<std::string> kHosts = {"www.a.com", "a.com", "shop.a.com", "b.org", "ab.c", "x.y", "B.ORG:81"};
const std::vector<std::string> kDomainAttrs = {"", "", ".a.com", "WWW.A.COM", "b.org:81", ".b.org"};
const std::vector<std::string> kKeys = {"sid", "uid"};
const std::vector<std::string> kValues = {"v1aaaaaa", "v2bbbbbb", "v3cccccc", "short7x", "v4dddddddd"};
const std::vector<std::string> kPathAttrs = {"", "/", "/shop", "shop"};
const std::vector<std::string> kTargets = {"/login", "/shop/login", "/shop/cart/x?y=/z", ""};
const std::vector<std::string> kRequestPaths = {"/", "/shop/a", "/other", ""};

std::string model_default_path(const std::string& cache_key) {
  const size_t slash = cache_key.find('/');
  if (slash == std::string::npos) return "/";
  std::string path = cache_key.substr(slash);
  path = path.substr(0, path.find('?'));
  const size_t last = path.rfind('/');
  return last == 0 ? "/" : path.substr(0, last);
}

// The cookie a rule learns from the headers, as the model sees it: domain, value, path.
bool model_pick(const std::vector<CookieDraw>& draws, const std::string& key, const std::string& cache_key,
                std::tuple<std::string, std::string, std::string>& out) {
  for (const CookieDraw& s : draws) {
    if (s.name != key || s.v.size() < 8 || s.secure) continue;
    std::string domain = s.domain;
    if (domain.empty()) {
      const size_t slash = cache_key.find('/');
      if (slash == std::string::npos || slash < 4) continue;
      domain = cache_key.substr(0, slash);
    }
    domain = lower(before_port(domain));
    const std::string path = !s.path.empty() && s.path[0] == '/' ? s.path : model_default_path(cache_key);
    out = {domain, s.v, path};
    return true;
  }
  return false;
}

ModelRun* g_run = nullptr;
void model_hook(const char* domain, const char* key, const char* value, const char* path, uint32_t lifetime) {
  g_run->calls.push_back({domain, key, value, path, lifetime});
}

void run_model(uint32_t seed, int steps) {
  ModelRun run(seed);
  g_run = &run;
  reqgate_ImportClusterFunction(model_hook, nullptr, nullptr);
  std::vector<HookCall> expected_calls;
  bool tiny = false;
  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
    const int64_t now = fakes().now.load();
    const int op = run.below(100);
    if (op < 30) {  // learn
      std::vector<FakeRule> rules;
      for (const std::string& k : kKeys) {
        if (run.below(3) != 0) rules.push_back({1 + run.below(6), k});
      }
      if (run.below(4) == 0) rules.push_back({2, "sid"});  // a second rule on the same key
      set_rules(rules);
      std::vector<CookieDraw> draws;
      const int n = run.below(4);
      for (int i = 0; i < n; ++i) {
        draws.push_back({run.pick(kKeys), run.pick(kValues), run.pick(kDomainAttrs), run.pick(kPathAttrs),
                         run.below(5) == 0});
      }
      std::vector<std::string> lines;
      for (const CookieDraw& s : draws) {
        std::string line = s.name + "=" + s.v;
        if (!s.domain.empty()) line += "; Domain=" + s.domain;
        if (!s.path.empty()) line += "; Path=" + s.path;
        if (s.secure) line += "; Secure";
        lines.push_back(line);
      }
      const std::string cache_key = run.pick(kHosts) + run.pick(kTargets);
      Head response = response_with(lines);
      learn_sessions(response.get(), cache_key.c_str());
      for (const FakeRule& rule : rules) {
        std::tuple<std::string, std::string, std::string> got;
        if (!model_pick(draws, rule.key, cache_key, got)) continue;
        const auto& [domain, v, path] = got;
        run.add(domain, rule.key, v, path, static_cast<uint32_t>(rule.lifetime), now, tiny);
        expected_calls.push_back({domain, rule.key, v, path, static_cast<uint32_t>(rule.lifetime)});
      }
    } else if (op < 45) {  // from elsewhere
      const std::string domain = run.below(2) ? lower(before_port(run.pick(kHosts))) : run.pick(kDomainAttrs);
      const std::string key = run.pick(kKeys);
      const std::string v = run.pick(kValues);
      const std::string path = run.below(2) ? "/" : "/shop";
      const uint32_t lifetime = static_cast<uint32_t>(run.below(6));
      wc_sessionvalue_add(domain.c_str(), key.c_str(), v.c_str(), path.c_str(), lifetime);
      run.add(domain, key, v, path, lifetime, now, tiny);
    } else if (op < 55) {
      const std::string domain = lower(before_port(run.pick(kHosts)));
      const std::string key = run.pick(kKeys);
      const std::string v = run.pick(kValues);
      wc_sessionvalue_del(domain.c_str(), key.c_str(), v.c_str());
      run.del(domain, key, v);
    } else if (op < 60) {
      session_sweep();
      run.sweep(now);
    } else if (op < 70) {
      fakes().now += run.below(4);
    } else if (op < 75) {
      tiny = run.below(3) == 0;
      fakes().limit = tiny ? 1 : UINT32_MAX;
    } else if (op < 77) {
      reqgate_CleanSessionCaches();
      run.clean();
    } else {  // a member request
      std::map<std::string, std::string> cookie;
      std::string text;
      for (const std::string& k : kKeys) {
        if (run.below(3) == 0) continue;
        cookie[k] = run.pick(kValues);
        text += (text.empty() ? "" : "; ") + k + "=" + cookie[k];
      }
      const std::string host = run.pick(kHosts);
      const std::string cache_key = lower(before_port(host)) + run.pick(kRequestPaths);
      Head request = request_with(host.c_str(), text.empty() ? nullptr : text.c_str());
      const bool expected = !text.empty() && run.count() > 0 && run.member(host, cookie, cache_key, now);
      ASSERT_EQ(is_member(request.get(), cache_key.c_str()), expected) << host << " " << text << " " << cache_key;
    }
    ASSERT_EQ(session_snapshot(), run.snapshot());
    ASSERT_EQ(reqgate_GetNumOfSessionCaches(), run.count());
    ASSERT_EQ(run.calls, expected_calls);
  }
  reqgate_ImportClusterFunction(nullptr, nullptr, nullptr);
  g_run = nullptr;
}

TEST_F(Session, ModelOfLearnAddDelSweepEvictAndMember) {
  set_console_trace(false);
  for (uint32_t seed : {1u, 2u, 3u}) {
    fresh_session_store();
    run_model(seed, 3000);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
