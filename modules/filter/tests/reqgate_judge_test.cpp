// Cacheability as one decision table: status, Cache-Control lines, Pragma, Expires, Date, Age,
// validators, the request's cache kind and Authorization, Vary and the settings give every
// output of the judgement and its trace line.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "cu_date.h"
#include "reqgate_internal.h"
#include "reqgate_test_util.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

struct Rule {
  uint32_t lifetime;  // 0: no rule matches
  uint8_t icookie;
  uint32_t isdiskcache;
};
Rule g_rule{0, 1, 1};

uint32_t fake_icache(const char*, uint8_t* icookie, uint32_t*, uint32_t* isdiskcache) {
  if (g_rule.lifetime == 0) return 0;
  *icookie = g_rule.icookie;
  *isdiskcache = g_rule.isdiskcache;
  return g_rule.lifetime;
}
uint32_t fake_max_block() { return 1 << 20; }

constexpr char kDate[] = "Date: Thu, 10 Dec 2026 10:00:00 GMT\r\n";
constexpr char kHourLater[] = "Expires: Thu, 10 Dec 2026 11:00:00 GMT\r\n";
constexpr char kEtag[] = "ETag: \"v1\"\r\n";

struct JudgeCase {
  const char* name;
  uint8_t kind;
  const char* request;   // extra request headers
  std::string response;  // the whole head without the blank line
  bool ok;
  uint8_t out_kind;
  uint8_t source;
  uint32_t lifetime;
  uint8_t strip;
  uint8_t keep_memory;
  uint32_t length;
  const char* trace;  // a part of the console output; "" for none
  Rule rule = {0, 1, 1};
  bool mem_30x = false;
  uint32_t timeout_404 = 16;
  bool revalidating = false;
  const char* disk_key = "";
  uint8_t no_disk = 0;
};

std::string ok(const std::string& headers) { return "HTTP/1.1 200 OK\r\n" + headers; }

const JudgeCase kCases[] = {
    // Forced kinds: the rule decided, whatever Cache-Control says.
    {"forced no-store", kPublic, "", ok("Cache-Control: no-store, private\r\nContent-Length: 10\r\n"), true, kPublic,
     kForced, 0, 0, 1, 10, ""},
    {"forced member", kMember, "", ok("Content-Length: 10\r\n"), true, kMember, kForced, 0, 0, 1, 10, ""},
    {"forced X-NoCache", kPublic, "", ok("X-NoCache: 1\r\n"), false, kPublic, 0, 0, 0, 0, 0,
     "[NoCache: X-NoCache] h/p\r\n"},
    {"forced status 500", kPublic, "", "HTTP/1.1 500 Oops\r\n", false, kPublic, 0, 0, 0, 0, 0,
     "[NoCache: Status -> 500] h/p\r\n"},
    {"forced gzip transfer coding", kPublic, "", ok("Transfer-Encoding: gzip\r\n"), false, kPublic, kForced, 0, 0, 0,
     0, "[NoCache: Transfer-Encoding -> gzip] h/p\r\n"},
    {"forced chunked", kPublic, "", ok("Transfer-Encoding: chunked\r\n"), true, kPublic, kForced, 0, 0, 1, 0, ""},
    {"forced too long for memory", kPublic, "", ok("Content-Length: 2000000\r\n"), true, kPublic, kForced, 0, 0, 0,
     2000000, "[NoMemCache: Content-Length -> 2000000] h/p\r\n"},
    {"negative length", kPublic, "", ok("Content-Length: -20\r\n"), false, kPublic, kForced, 0, 0, 0, 0,
     "[NoCache: Content-Length -> -20] h/p\r\n"},
    // Statuses.
    {"301 without the setting", kIntelligent, "", "HTTP/1.1 301 Moved\r\nCache-Control: max-age=60\r\n", false, 0, 0,
     0, 0, 0, 0, "[NoCache: Status -> 301] h/p\r\n"},
    {"301 with the setting, any transfer coding", kIntelligent, "",
     "HTTP/1.1 301 Moved\r\nCache-Control: max-age=60\r\nTransfer-Encoding: gzip\r\n", true, kPublic, kFromHeaders, 60,
     1, 1, 0, "", {0, 1, 1}, true},
    {"404 public before directives", kMember, "Authorization: x\r\n",
     "HTTP/1.1 404 Not Found\r\nCache-Control: private\r\nVary: Cookie\r\n", true, kPublic, kIntelligentSource, 16, 1,
     1, 0, ""},
    {"404 not kept", kIntelligent, "", "HTTP/1.1 404 Not Found\r\n", false, 0, 0, 0, 0, 0, 0, "", {0, 1, 1}, false,
     0},
    // Kind 0: refusing directives, with and without a validator.
    {"no-cache with ETag", kIntelligent, "", ok("Cache-Control: no-cache\r\n" + std::string(kEtag)), true, kPublic,
     kIntelligentSource, 0, 1, 1, 0, ""},
    {"no-cache alone", kIntelligent, "", ok("Cache-Control: no-cache\r\n"), false, 0, 0, 0, 0, 0, 0,
     "[NoCache: Cache-Control -> no-cache] h/p\r\n"},
    {"private with ETag", kIntelligent, "", ok("Cache-Control: private\r\n" + std::string(kEtag)), false, 0, 0, 0, 0,
     0, 0, "[NoCache: Cache-Control -> private] h/p\r\n"},
    {"no-store with Last-Modified", kIntelligent, "",
     ok("Cache-Control: no-store\r\nLast-Modified: Thu, 10 Dec 2026 09:00:00 GMT\r\n" + std::string(kDate)), false,
     0, 0, 0, 0, 0, 0, "[NoCache: Cache-Control -> no-store] h/p\r\n"},
    {"max-age=0 before must-revalidate", kIntelligent, "", ok("Cache-Control: must-revalidate, max-age=0\r\n"), false,
     0, 0, 0, 0, 0, 0, "[NoCache: Cache-Control -> max-age=0] h/p\r\n"},
    {"private on a second line", kIntelligent, "", ok("Cache-Control: max-age=600\r\nCache-Control: private\r\n"),
     false, 0, 0, 0, 0, 0, 0, "[NoCache: Cache-Control -> private] h/p\r\n"},
    {"no-store past 100 characters", kIntelligent, "",
     ok("Cache-Control: max-age=600, " + std::string(120, 'x') + ", no-store\r\n"), false, 0, 0, 0, 0, 0, 0,
     "[NoCache: Cache-Control -> no-store] h/p\r\n"},
    {"pragma no-cache", kIntelligent, "", ok("Pragma: no-cache\r\nCache-Control: max-age=600\r\n"), false, 0, 0, 0, 0,
     0, 0, "[NoCache: Pragma -> no-cache] h/p\r\n"},
    {"pragma on a second line", kIntelligent, "", ok("Pragma: x\r\nPragma: no-store\r\n"), false, 0, 0, 0, 0, 0, 0,
     "[NoCache: Pragma -> no-cache] h/p\r\n"},
    {"revalidation 304 asks the rules", kIntelligent, "", "HTTP/1.1 304 Not Modified\r\nCache-Control: no-cache\r\n",
     true, kPublic, kIntelligentSource, 77, 0, 1, 0, "", {77, 0, 0}, false, 16, true, "", 1},
    // Kind 0: lifetimes.
    {"max-age less Age", kIntelligent, "", ok("Cache-Control: max-age=600\r\nAge: 100\r\n"), true, kPublic,
     kFromHeaders, 500, 1, 1, 0, ""},
    {"max-age spent by Age", kIntelligent, "", ok("Cache-Control: max-age=600\r\nAge: 700\r\n"), false, 0, 0, 0, 0, 0,
     0, "[NoCache: Cache-Control -> max-age=600] h/p\r\n"},
    // A shared cache reads s-maxage first; both directives read decimal, leading zeros or not.
    {"s-maxage before max-age", kIntelligent, "", ok("Cache-Control: s-maxage=100, max-age=50\r\n"), true, kPublic,
     kFromHeaders, 100, 1, 1, 0, ""},
    {"shorter s-maxage wins", kIntelligent, "", ok("Cache-Control: max-age=3600, s-maxage=1\r\n"), true, kPublic,
     kFromHeaders, 1, 1, 1, 0, ""},
    {"s-maxage less Age", kIntelligent, "", ok("Cache-Control: S-MaxAge=100\r\nAge: 30\r\n"), true, kPublic,
     kFromHeaders, 70, 1, 1, 0, ""},
    {"s-maxage before Expires", kIntelligent, "",
     ok(std::string(kDate) + kHourLater + "Cache-Control: s-maxage=60\r\n"), true, kPublic, kFromHeaders, 60, 1, 1, 0,
     ""},
    {"s-maxage not a number", kIntelligent, "", ok("Cache-Control: s-maxage=x, max-age=40\r\n"), true, kPublic,
     kFromHeaders, 40, 1, 1, 0, ""},
    {"max-age with leading zeros", kIntelligent, "", ok("Cache-Control: max-age=010\r\n"), true, kPublic,
     kFromHeaders, 10, 1, 1, 0, ""},
    {"s-maxage with leading zeros", kIntelligent, "", ok("Cache-Control: s-maxage=007, max-age=0\r\n"), true, kPublic,
     kFromHeaders, 7, 1, 1, 0, ""},
    {"max-age of zeros", kIntelligent, "", ok("Cache-Control: max-age=00\r\n"), false, 0, 0, 0, 0, 0, 0,
     "[NoCache: Cache-Control -> max-age=0] h/p\r\n"},
    {"negative max-age", kIntelligent, "", ok("Cache-Control: max-age=-1\r\n"), false, 0, 0, 0, 0, 0, 0,
     "[NoCache: Cache-Control -> max-age=0] h/p\r\n"},
    {"s-maxage=0 beside a long max-age", kIntelligent, "", ok("Cache-Control: max-age=3600, s-maxage=0\r\n"), false,
     0, 0, 0, 0, 0, 0, "[NoCache: Cache-Control -> s-maxage=0] h/p\r\n"},
    {"s-maxage=00 with ETag is kept stale", kIntelligent, "",
     ok("Cache-Control: s-maxage=00, max-age=600\r\n" + std::string(kEtag)), true, kPublic, kIntelligentSource, 0, 1,
     1, 0, ""},
    {"max-age=0 beside a shared lifetime", kIntelligent, "", ok("Cache-Control: max-age=0, s-maxage=60\r\n"), true,
     kPublic, kFromHeaders, 60, 1, 1, 0, ""},
    {"public alone", kIntelligent, "", ok("Cache-Control: public\r\n"), true, kPublic, kFromHeaders, 1, 1, 1, 0,
     ""},
    {"public spent by Age", kIntelligent, "", ok("Cache-Control: public\r\nAge: 5\r\n"), false, 0, 0, 0, 0, 0, 0,
     "[NoCache: Cache-Control -> public] h/p\r\n"},
    {"Expires an hour after Date", kIntelligent, "", ok(std::string(kDate) + kHourLater), true, kPublic, kFromHeaders,
     3600, 1, 1, 0, ""},
    {"Expires equal to Date", kIntelligent, "",
     ok(std::string(kDate) + "Expires: Thu, 10 Dec 2026 10:00:00 GMT\r\n"), false, 0, 0, 0, 0, 0, 0,
     "[NoCache: Expires - Date == 0] h/p\r\n"},
    {"unreadable Expires is stale", kIntelligent, "", ok(std::string(kDate) + "Expires: 0\r\n"), false, 0, 0, 0, 0, 0,
     0, "[NoCache: Expires - Date == 0] h/p\r\n"},
    // Kind 0: rules.
    {"validator and a rule", kIntelligent, "", ok(std::string(kEtag)), true, kPublic, kIntelligentSource, 90, 0, 1, 0,
     "", {90, 0, 0}, false, 16, false, "", 1},
    {"validator without a rule", kIntelligent, "", ok(std::string(kEtag)), true, kPublic, kIntelligentSource, 1, 1, 1,
     0, ""},
    {"Last-Modified equal to Date is no validator", kIntelligent, "",
     ok(std::string(kDate) + "Last-Modified: Thu, 10 Dec 2026 10:00:00 GMT\r\n"), false, 0, 0, 0, 0, 0, 0,
     "[NoCache: !IntelligentCache] h/p\r\n"},
    {"no validator with a disk key", kIntelligent, "", ok(""), true, kPublic, kIntelligentSource, 315360000, 1, 1, 0,
     "", {0, 1, 1}, false, 16, false, "disk/key"},
    // Kind 0: who the answer may go to.
    {"authorised request", kIntelligent, "Authorization: Basic eA==\r\n", ok("Cache-Control: max-age=600\r\n"), false,
     0, 0, 0, 0, 0, 0, "[NoCache: Request -> Authorization] h/p\r\n"},
    {"authorised request, public answer", kIntelligent, "Authorization: Basic eA==\r\n",
     ok("Cache-Control: public, max-age=600\r\n"), true, kPublic, kFromHeaders, 600, 1, 1, 0, ""},
    {"Vary Cookie", kIntelligent, "", ok("Cache-Control: max-age=600\r\nVary: Accept-Encoding, Cookie\r\n"), false, 0,
     0, 0, 0, 0, 0, "[NoCache: Vary -> Accept-Encoding, Cookie] h/p\r\n"},
    {"Vary star", kIntelligent, "", ok("Cache-Control: max-age=600\r\nVary: *\r\n"), false, 0, 0, 0, 0, 0, 0,
     "[NoCache: Vary -> *] h/p\r\n"},
    {"Vary Accept-Encoding", kIntelligent, "", ok("Cache-Control: max-age=600\r\nVary: accept-encoding\r\n"), true,
     kPublic, kFromHeaders, 600, 1, 1, 0, ""},
};

TEST(Judge, DecisionTable) {
  const RuleQuestions saved = rules();
  rules().icache_expire = fake_icache;
  rules().max_cache_block = fake_max_block;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    g_rule = c.rule;
    settings().mem_cache_30x = c.mem_30x;
    settings().cache_404_timeout = c.timeout_404;
    CacheDecision record;
    record.cache_kind = c.kind;
    record.cache_key = "h/p";
    record.revalidating = c.revalidating;
    record.disk_key = c.disk_key;
    Head request = make_head(std::string("GET /p HTTP/1.1\r\nHost: h\r\n") + c.request);
    Head response = make_head(c.response);
    uint32_t length = 99;
    testing::internal::CaptureStdout();
    const bool cached = judge_response(record, request.get(), response.get(), &length);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(cached, c.ok);
    EXPECT_EQ(length, c.length);
    if (c.ok) {
      EXPECT_EQ(record.cache_kind, c.out_kind);
      EXPECT_EQ(record.cache_source, c.source);
      EXPECT_EQ(record.lifetime, c.lifetime);
      EXPECT_EQ(record.strip_cookies, c.strip);
      EXPECT_EQ(record.no_disk, c.no_disk);
    }
    EXPECT_EQ(record.keep_memory_copy, c.keep_memory);
    if (*c.trace) {
      EXPECT_NE(out.find(c.trace), std::string::npos) << out;
    } else {
      EXPECT_EQ(out, "");
    }
  }
  settings() = Settings{};
  rules() = saved;
}

TEST(Judge, UnreadableDateCountsAsNow) {
  char expires[64];
  cu_GetGMTString2(static_cast<int64_t>(std::time(nullptr)) + 3600, expires, sizeof expires);
  Head response = make_head(ok("Date: yesterday\r\nExpires: " + std::string(expires) + "\r\n"));
  const uint32_t lifetime = response_lifetime(response.get());
  EXPECT_GE(lifetime, 3500u);
  EXPECT_LE(lifetime, 3600u);
}

TEST(Judge, SessionActionIsNeverCached) {
  CacheDecision record;
  record.cache_kind = kSessionAction;
  Head response = make_head(ok("Cache-Control: max-age=600\r\n"));
  uint32_t length = 5;
  EXPECT_FALSE(judge_response(record, nullptr, response.get(), &length));
  EXPECT_EQ(length, 0u);
}

}  // namespace
