// The cache purges through sockets with every call into other modules recorded in order:
// which calls each command makes, how "thiscache" is authorised and where its URL comes from.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "adminweb_test_env.h"

namespace {

using adminweb_test::Env;
using adminweb_test::error_body;
using adminweb_test::kTrueBody;
using adminweb_test::kAdminPassword;
using adminweb_test::kKeeperPassword;
using adminweb_test::md5;
using adminweb_test::Reply;

std::mutex g_mutex;
std::vector<std::string> g_calls;
bool g_disk_on = false;
bool g_visitor_refuses = false;

void note(const std::string& call) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_calls.push_back(call);
}
std::string rule(const char* text, uint8_t icase, uint8_t rules) {
  return std::string("(") + text + "," + std::to_string(icase) + "," + std::to_string(rules) + ")";
}

template <const char* Name>
void plain() {
  note(Name);
}
template <const char* Name>
uint8_t rules_call(const char* text, uint8_t icase, uint8_t rules) {
  note(Name + rule(text, icase, rules));
  return std::string(Name) == "visitor.rules" && g_visitor_refuses ? 0 : 1;
}

#define NAME(var, text) constexpr char var[] = text
NAME(kSessionEmpty, "cluster.sessions");
NAME(kCleanSessions, "sessions.clean");
NAME(kPubF, "public.cleanF"); NAME(kPubI, "public.cleanI"); NAME(kPubRF, "public.freshF");
NAME(kPubRI, "public.freshI"); NAME(kPubRR, "public.freshR"); NAME(kPubAll, "public.all"); NAME(kPubRules, "public.rules");
NAME(kMemF, "member.cleanF"); NAME(kMemI, "member.cleanI"); NAME(kMemRF, "member.freshF");
NAME(kMemRI, "member.freshI"); NAME(kMemRR, "member.freshR"); NAME(kMemAll, "member.all"); NAME(kMemRules, "member.rules");
NAME(kVisF, "visitor.cleanF"); NAME(kVisI, "visitor.cleanI"); NAME(kVisRF, "visitor.freshF");
NAME(kVisRI, "visitor.freshI"); NAME(kVisRR, "visitor.freshR"); NAME(kVisAll, "visitor.all"); NAME(kVisRules, "visitor.rules");
#undef NAME

void record_calls() {
  static bool done = [] {
    auto& c = vor::adminweb::seams::calls();
    c.cluster_session_empty = plain<kSessionEmpty>;
    c.cluster_empty = [](const char* type) { note(std::string("cluster.empty(") + type + ")"); };
    c.cluster_delete = [](const char* t, uint8_t i, uint8_t r) { note("cluster.delete" + rule(t, i, r)); };
    c.mark_in_flight = [](const char* t, uint8_t i, uint8_t r) { note("inflight" + rule(t, i, r)); };
    c.clean_sessions = plain<kCleanSessions>;
    c.disk_cache_on = [] { return static_cast<uint8_t>(g_disk_on); };
    c.clean_disk = [](const char* url) -> uint8_t {
      note(std::string("disk(") + url + ")");
      return 1;
    };
    c.caches[0] = {plain<kPubF>, plain<kPubI>, plain<kPubRF>, plain<kPubRI>, plain<kPubRR>, plain<kPubAll>,
                   rules_call<kPubRules>};
    c.caches[1] = {plain<kMemF>, plain<kMemI>, plain<kMemRF>, plain<kMemRI>, plain<kMemRR>, plain<kMemAll>,
                   rules_call<kMemRules>};
    c.caches[2] = {plain<kVisF>, plain<kVisI>, plain<kVisRF>, plain<kVisRI>, plain<kVisRR>, plain<kVisAll>,
                   rules_call<kVisRules>};
    return true;
  }();
  (void)done;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_calls.clear();
}

std::string calls() {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::string out;
  for (const std::string& c : g_calls) out += c + " ";
  return out;
}

Env& env() { return Env::instance(); }
const std::string& admin() {
  static const std::string id = env().login();
  return id;
}


struct PurgeCase {
  const char* type;
  const char* cmd;
  const char* extra;  // WithCluster, Url and the like
  bool disk;
  const char* calls;
  int delay;
};

const PurgeCase kPurges[] = {
    {"scache", "cleancache", "", false, "sessions.clean ", 500},
    {"scache", "cleancache", "&WithCluster=1", false, "cluster.sessions sessions.clean ", 500},
    {"fcache", "cleancache", "", false, "inflight(*,0,0) public.cleanF member.cleanF visitor.cleanF ", 500},
    {"fcache", "cleancache", "&WithCluster=1", false,
     "cluster.empty(fcache) inflight(*,0,0) public.cleanF member.cleanF visitor.cleanF ", 500},
    {"fcache", "freshcache", "&WithCluster=1", false, "public.freshF member.freshF visitor.freshF ", 500},
    {"icache", "cleancache", "&WithCluster=7", false,
     "cluster.empty(icache) inflight(*,0,0) public.cleanI member.cleanI visitor.cleanI ", 500},
    {"icache", "freshcache", "", false, "public.freshI member.freshI visitor.freshI ", 500},
    {"rcache", "freshcache", "", false, "public.freshR member.freshR visitor.freshR ", 500},
    {"allcache", "cleancache", "&WithCluster=1", false,
     "cluster.empty(allcache) inflight(*,0,0) public.all member.all visitor.all ", 100},
    {"allcache", "cleancache", "&WithCluster=0", false, "inflight(*,0,0) public.all member.all visitor.all ", 100},
    {"thiscache", "cleancache", "&Url=HTTPS://a.test/x&Icase=1&Rules=2", false,
     "inflight(a.test/x,1,2) public.rules(a.test/x,1,2) member.rules(a.test/x,1,2) visitor.rules(a.test/x,1,2) ",
     500},
    {"thiscache", "cleancache", "&Url=http://a.test/*&Icase=0&Rules=0&WithCluster=1", true,
     "cluster.delete(a.test/*,0,0) disk(a.test/*) inflight(a.test/*,0,0) public.rules(a.test/*,0,0) "
     "member.rules(a.test/*,0,0) visitor.rules(a.test/*,0,0) ",
     500},
};

TEST(Purges, CallsInOrder) {
  for (const PurgeCase& c : kPurges) {
    SCOPED_TRACE(std::string(c.type) + " " + c.cmd + c.extra);
    record_calls();
    g_disk_on = c.disk;
    const Reply r =
        env().get(std::string("type=") + c.type + "&cmd=" + c.cmd + "&SessionID=" + admin() + c.extra);
    EXPECT_EQ(r.body, kTrueBody);
    EXPECT_EQ(calls(), c.calls);
    EXPECT_EQ(r.delay, c.delay);
  }
  g_disk_on = false;
}

TEST(Purges, RefusalsCallNothing) {
  env().sql("update wc_user set password='" + md5(kKeeperPassword) + "' where username='keeper'");
  const std::string keeper = env().login("keeper", kKeeperPassword);
  ASSERT_FALSE(keeper.empty());
  for (const PurgeCase& c : kPurges) {
    SCOPED_TRACE(std::string(c.type) + " " + c.cmd);
    record_calls();
    const std::string q = std::string("type=") + c.type + "&cmd=" + c.cmd + c.extra;
    EXPECT_EQ(env().get(q + "&SessionID=" + keeper).body, error_body(22));
    EXPECT_EQ(env().get(q + "&SessionID=unknown").body, error_body(21));
    if (std::string(c.type) != "thiscache") {
      EXPECT_EQ(env().get(q).body, error_body(23));
    }
    EXPECT_EQ(calls(), "");
  }
}

struct ThisCase {
  const char* what;
  std::string query;
  int error;
};

TEST(Purges, ThisCacheAuthorisationAndUrl) {
  const std::string md5_password = md5(kAdminPassword);
  const std::string base = "type=thiscache&cmd=cleancache&Icase=0&Rules=0";
  const ThisCase cases[] = {
      {"password", base + "&Url=a.test/p&Username=admin&Password=" + std::string(kAdminPassword), 0},
      {"MD5 hex", base + "&Url=a.test/p&Username=admin&Password=" + md5_password, 0},
      {"MD5 hex in capitals", base + "&Url=a.test/p&Username=admin&Password=" +
                                  [&] {
                                    std::string up = md5_password;
                                    for (char& ch : up) ch = static_cast<char>(toupper(ch));
                                    return up;
                                  }(),
       0},
      {"Admin", base + "&Url=a.test/p&Username=Admin&Password=" + std::string(kAdminPassword), 23},
      {"wrong password", base + "&Url=a.test/p&Username=admin&Password=wrong", 20},
      {"no password", base + "&Url=a.test/p&Username=admin", 23},
      {"no URL at all", base + "&SessionID=" + admin(), 23},
      {"no Icase", "type=thiscache&cmd=cleancache&Rules=0&Url=a&SessionID=" + admin(), 23},
      {"Rules 3", "type=thiscache&cmd=cleancache&Icase=0&Rules=3&Url=a&SessionID=" + admin(), 23},
      {"2,048 after https://", base + "&Url=https://" + std::string(2048, 'u') + "&SessionID=" + admin(), 0},
      {"2,049 after https://", base + "&Url=https://" + std::string(2049, 'u') + "&SessionID=" + admin(), 30},
      {"CleanCacheURL parameter", base + "&CleanCacheURL=b.test/q&SessionID=" + admin(), 0},
  };
  for (const ThisCase& c : cases) {
    SCOPED_TRACE(c.what);
    record_calls();
    EXPECT_EQ(env().get(c.query).body, c.error ? error_body(c.error) : kTrueBody);
  }
}

TEST(Purges, ThisCacheUrlSourcesInOrder) {
  const std::string head = "Host: a\r\nCleanCacheURL: h.test/head\r\n\r\n";
  const std::string q = "GET /quorin/zazudaza.quo?type=thiscache&cmd=cleancache&Icase=0&Rules=0&SessionID=" + admin();
  record_calls();
  env().send(q + " HTTP/1.1\r\n" + head);
  EXPECT_EQ(calls().substr(0, calls().find(' ')), "inflight(h.test/head,0,0)");
  record_calls();
  env().send(q + "&CleanCacheURL=p.test/param HTTP/1.1\r\n" + head);
  EXPECT_EQ(calls().substr(0, calls().find(' ')), "inflight(p.test/param,0,0)");
  record_calls();
  env().send(q + "&Url=u.test/url&CleanCacheURL=p.test/param HTTP/1.1\r\n" + head);
  EXPECT_EQ(calls().substr(0, calls().find(' ')), "inflight(u.test/url,0,0)");
}

TEST(Purges, VisitorRefusalIs32AfterTheOthersRan) {
  record_calls();
  g_visitor_refuses = true;
  EXPECT_EQ(env().get("type=thiscache&cmd=cleancache&Icase=0&Rules=1&Url=(&SessionID=" + admin()).body,
            error_body(32));
  g_visitor_refuses = false;
  EXPECT_EQ(calls(), "inflight((,0,1) public.rules((,0,1) member.rules((,0,1) visitor.rules((,0,1) ");
}

}  // namespace
