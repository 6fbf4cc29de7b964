// Admission as one table over the rule questions (method, Content-Length, rules -> the five
// outputs and the trace), the next request on a connection whose response is or is not
// complete, the exports on a record by its response sid, and the short memory copy.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "reqgate.h"
#include "reqgate_internal.h"
#include "reqgate_test_util.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

// The rule families as the table row sets them: force rules per class (lifetime, isdiskcache),
// refuse rules per class (cache location), session rules.
struct Rules {
  bool memory_cache = true;
  bool session_action = false;
  bool session_rules = false;
  uint32_t force[3] = {0, 0, 0};
  uint32_t force_disk[3] = {1, 1, 1};
  int refuse[3] = {-1, -1, -1};  // -1: no rule; else its cache location
};
Rules g_rules;

template <int kClass>
uint32_t force(const char*, uint8_t* icookie, uint32_t*, uint32_t* isdiskcache) {
  if (g_rules.force[kClass] == 0) return 0;
  *icookie = 0;
  *isdiskcache = g_rules.force_disk[kClass];
  return g_rules.force[kClass];
}
template <int kClass>
uint8_t refuse(const char*, uint32_t*, uint32_t* location) {
  if (g_rules.refuse[kClass] < 0) return 0;
  *location = static_cast<uint32_t>(g_rules.refuse[kClass]);
  return 1;
}

void install_fake_rules() {
  rules() = RuleQuestions{
      [](const char*, uint8_t*, uint32_t*, uint32_t*) -> uint32_t { return 0; },
      []() -> uint32_t { return 1 << 20; },
      []() -> uint8_t { return g_rules.memory_cache; },
      [](const char*, int32_t*, char*, int32_t) -> uint8_t { return g_rules.session_action; },
      []() -> uint8_t { return g_rules.session_rules; },
      {force<0>, force<1>, force<2>},
      {refuse<0>, refuse<1>, refuse<2>},
  };
}

struct AdmitCase {
  const char* name;
  const char* request;
  Rules rules;
  uint8_t kind;
  uint8_t icookie;
  uint32_t lifetime;
  uint8_t disk_permitted;
  uint8_t disk_refused;
  const char* trace;
};

constexpr char kGet[] = "GET /p HTTP/1.1\r\nHost: h\r\n";

Rules with_public(uint32_t lifetime, uint32_t disk = 1) {
  Rules r;
  r.force[0] = lifetime;
  r.force_disk[0] = disk;
  return r;
}
Rules sessions(uint32_t visitor_lifetime, int visitor_refuse = -1) {
  Rules r;
  r.session_rules = true;
  r.force[2] = visitor_lifetime;
  r.refuse[2] = visitor_refuse;
  return r;
}
Rules refused_public(int location, uint32_t lifetime = 0) {
  Rules r = with_public(lifetime);
  r.refuse[0] = location;
  return r;
}
Rules no_memory_cache() {
  Rules r;
  r.memory_cache = false;
  return r;
}
Rules session_action() {
  Rules r;
  r.session_action = true;
  return r;
}

const AdmitCase kAdmit[] = {
    {"no rules", kGet, Rules{}, 0, 1, 0, 1, 0, ""},
    {"memory cache off", kGet, no_memory_cache(), 'o', 1, 0, 0, 0, "[NoCache: IsNotUsedMemCache] h/p\r\n"},
    {"HEAD", "HEAD /p HTTP/1.1\r\nHost: h\r\n", with_public(60), 'o', 1, 0, 0, 0,
     "[NoCache: Request -> Method -> HEAD] h/p\r\n"},
    {"POST", "POST /p HTTP/1.1\r\nHost: h\r\n", with_public(60), 'o', 1, 0, 0, 0,
     "[NoCache: Request -> Method -> POST] h/p\r\n"},
    {"POST session action", "POST /p HTTP/1.1\r\nHost: h\r\n", session_action(), 1, 1, 0, 0, 0,
     "[Filter: SessionActionUrl] h/p\r\n"},
    {"GET Content-Length 0", "GET /p HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n", with_public(60), 2, 0, 60, 1, 0,
     ""},
    {"GET Content-Length 5", "GET /p HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n", with_public(60), 'o', 1, 0, 0, 0,
     "[NoCache: Request -> Content-Length -> 5] h/p\r\n"},
    {"public rule", kGet, with_public(60), 2, 0, 60, 1, 0, ""},
    {"public rule without disk", kGet, with_public(60, 0), 2, 0, 60, 0, 0, ""},
    {"public refuse, disk only", kGet, refused_public(1, 60), 2, 0, 60, 0, 1,
     "[NoCache: RefuseCache -> Public -> DiskCache] h/p\r\n"},
    {"public refuse", kGet, refused_public(0, 60), 'o', 1, 0, 0, 0, "[NoCache: RefuseCache -> Public] h/p\r\n"},
    {"public refuse covers intelligent caching", kGet, refused_public(0), 'o', 1, 0, 0, 0,
     "[NoCache: RefuseCache -> Public] h/p\r\n"},
    {"public refuse disk only, intelligent", kGet, refused_public(1), 0, 1, 0, 0, 1,
     "[NoCache: RefuseCache -> Public -> DiskCache] h/p\r\n"},
    {"visitor rule", kGet, sessions(30), 4, 0, 30, 1, 0, ""},
    {"visitor refuse", kGet, sessions(30, 0), 'o', 1, 0, 0, 0, "[NoCache: RefuseCache -> Visitor] h/p\r\n"},
    {"sessions without a visitor rule", kGet, sessions(0), 0, 1, 0, 1, 0, ""},
    {"visitor rule without session rules", kGet, [] { Rules r; r.force[2] = 30; return r; }(), 0, 1, 0, 1, 0, ""},
};

class Admit : public ::testing::Test {
 protected:
  void SetUp() override { install_fake_rules(); }
  void TearDown() override { g_rules = Rules{}; }
};

TEST_F(Admit, Table) {
  for (const auto& c : kAdmit) {
    SCOPED_TRACE(c.name);
    g_rules = c.rules;
    Head request = make_head(c.request);
    uint8_t kind = 0, icookie = 1, permitted = 1, refused = 0;
    uint32_t lifetime = 0;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(reqgate_NewRequest_v4(1000, request.get(), "h/p", &kind, &icookie, &lifetime, &permitted, &refused));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(kind, c.kind);
    EXPECT_EQ(icookie, c.icookie);
    EXPECT_EQ(lifetime, c.lifetime);
    EXPECT_EQ(permitted, c.disk_permitted);
    EXPECT_EQ(refused, c.disk_refused);
    EXPECT_EQ(out, c.trace);
  }
}

TEST_F(Admit, NextRequestWaitsForTheWholeResponse) {
  Head request = make_head(kGet);
  FilterRecord* record = new_record(7, request.get(), 70, "h/old");
  ASSERT_NE(record, nullptr);
  Head head = make_head("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n");
  integrity_init(record->integrity, record->request, head.get(), "h/old");
  integrity_feed(record->integrity, "12345", 5);
  uint8_t kind = 0, icookie = 1;
  uint32_t lifetime = 0;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(reqgate_NewRequest(7, request.get(), "h/new", &kind, &icookie, &lifetime));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[zazudaza -> filter -> NoIntegrity] h/old -> h/new\r\n");
  EXPECT_EQ(record_by_response(70), record);  // kept in both hashes
  integrity_feed(record->integrity, "67890", 5);
  EXPECT_TRUE(reqgate_plugin__IsCompleteContent(70));
  EXPECT_TRUE(reqgate_NewRequest(7, request.get(), "h/new", &kind, &icookie, &lifetime));
  EXPECT_EQ(record_by_response(70), nullptr);  // finished first
  EXPECT_FALSE(reqgate_plugin__IsCompleteContent(70));
}

TEST_F(Admit, RecordExportsBySid) {
  Head request = make_head(kGet);
  EXPECT_FALSE(reqgate_plugin__IsCompleteContent(0));
  EXPECT_FALSE(reqgate_plugin__CancelDiskCache(-1));
  EXPECT_FALSE(reqgate_plugin__CancelMemCache(71));
  FilterRecord* record = new_record(8, request.get(), 71, "h/x");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(new_record(8, request.get(), 72, "h/y"), nullptr);  // one record per client
  record->decision.keep_memory_copy = 1;
  EXPECT_TRUE(append_body(*record, "abc", 3));
  EXPECT_TRUE(reqgate_plugin__CancelDiskCache(71));
  EXPECT_EQ(record->decision.no_disk, 1);
  EXPECT_TRUE(reqgate_plugin__CancelMemCache(71));
  EXPECT_EQ(record->decision.keep_memory_copy, 0);
  EXPECT_EQ(cu_xjitter_GetLen(&record->body), 0u);
  reqgate_on_close(nullptr, 8);
  EXPECT_EQ(record_by_response(71), nullptr);
}

TEST_F(Admit, AShortMemoryCopyIsDropped) {
  Head request = make_head(kGet);
  FilterRecord* record = new_record(9, request.get(), 90, "h/big");
  ASSERT_NE(record, nullptr);
  record->decision.keep_memory_copy = 1;
  // 1,024 blocks of 2,048 bytes hold 2 MiB; a copy past that is short and never stored.
  const std::string piece(256 * 1024, 'z');
  bool kept = true;
  for (int i = 0; i < 9 && kept; ++i) kept = append_body(*record, piece.data(), piece.size());
  EXPECT_FALSE(kept);
  EXPECT_EQ(record->decision.keep_memory_copy, 0);
  EXPECT_EQ(cu_xjitter_GetLen(&record->body), 0u);
  EXPECT_FALSE(append_body(*record, "x", 1));
  reqgate_on_close(nullptr, 9);
}

TEST_F(Admit, SpiderList) {
  spider_list() = {"Googlebot", "bingbot"};
  EXPECT_TRUE(is_spider(make_head("GET / HTTP/1.1\r\nUser-Agent: Mozilla/5.0 (compatible; Googlebot/2.1)\r\n").get()));
  EXPECT_FALSE(is_spider(make_head("GET / HTTP/1.1\r\nUser-Agent: googlebot\r\n").get()));
  EXPECT_FALSE(is_spider(make_head("GET / HTTP/1.1\r\n").get()));
  spider_list().clear();
}

}  // namespace

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

TEST(RequestKey, Table) {
  struct Case {
    const char* head;
    const char* key;  // NULL: none
  } const cases[] = {
      {"GET /a?b=1 HTTP/1.1\r\nHost: www.x.com\r\n", "www.x.com/a?b=1"},
      {"GET http://www.x.com/a HTTP/1.1\r\nHost: www.x.com\r\n", "www.x.com/a"},
      {"GET HTTP://WWW.X.COM/a HTTP/1.1\r\nHost: www.x.com\r\n", "www.x.com/a"},
      {"CONNECT www.x.com:443 HTTP/1.1\r\nHost: www.x.com:443\r\n", "www.x.com:443"},
      {"GET /a HTTP/1.1\r\n", nullptr},
      {"BREW /a HTTP/1.1\r\nHost: h\r\n", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    char out[4096];
    const char* key = request_key(make_head(c.head).get(), out);
    if (!c.key) {
      EXPECT_EQ(key, nullptr);
    } else {
      ASSERT_NE(key, nullptr);
      EXPECT_STREQ(key, c.key);
    }
  }
}

TEST(WantsClose, Table) {
  EXPECT_TRUE(wants_close(make_head("GET / HTTP/1.1\r\nHost: h\r\n").get()));
  EXPECT_TRUE(wants_close(make_head("GET / HTTP/1.1\r\nConnection: Close\r\n").get()));
  EXPECT_FALSE(wants_close(make_head("GET / HTTP/1.1\r\nConnection: keep-alive\r\n").get()));
}

}  // namespace
