// Login, keep-alive, logout and password change against a database the sqlite3 CLI seeded,
// through sockets; the session records read from the admin server itself.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <regex>
#include <string>
#include <vector>

#include "adminweb_test_env.h"
#include "panelhttp_internal.h"

namespace {

using adminweb_test::Env;
using adminweb_test::error_body;
using adminweb_test::kTrueBody;
using adminweb_test::kAdminPassword;
using adminweb_test::kKeeperPassword;
using adminweb_test::md5;
using adminweb_test::Reply;

Env& env() {
  static bool utc = [] {
    setenv("TZ", "UTC", 1);
    tzset();
    return true;
  }();
  (void)utc;
  return Env::instance();
}


std::string session_of(const Reply& r) {
  std::smatch m;
  return std::regex_search(r.body, m, std::regex("\"SessionID\":\"([^\"]*)\"")) ? m[1].str() : "";
}

uint64_t expiry_of(const std::string& id) {
  vor::panelhttp::ServerLock lock;
  vuved_session* s = panelhttp_CheckSession(id.c_str());
  return s ? s->expiry_ms : 0;
}

// Until the monotonic clock has moved, so that a refresh shows in the expiry.
void clock_moves() {
  const int64_t now = vor::panelhttp::monotonic_ms();
  vor::test::wait_until([&] { return vor::panelhttp::monotonic_ms() > now + 2; });
}

TEST(Login, ReplyByteForByte) {
  env().sql("update wc_user set lastlogtime=1700000000 where username='admin'");
  const Reply r = env().get("type=sign&cmd=in&Username=admin&Password=" + std::string(kAdminPassword) +
                            "&RequestID=q1");
  const std::string id = session_of(r);
  ASSERT_EQ(id.size(), 64u);
  EXPECT_EQ(r.body, "{\r\n  \"RequestID\":\"q1\",\r\n  \"Return\":\"True\",\r\n  \"SessionID\":\"" + id +
                        "\",\r\n  \"UserType\":\"admin\",\r\n  \"Version\":\"Quorin\\/Zazudaza\\/" +
                        edgeserv_VersionString() +
                        "\",\r\n\"VersionExt\":\"Windows/64Bits\",\r\n  \"LastLoginTime\":\"2023-11-14 22:13:20\"\r\n}");
  EXPECT_EQ(r.delay, 500);
  EXPECT_NE(r.head.find("Cache-Control: no-cache, max-age=0\r\n"), std::string::npos);
  EXPECT_EQ(vor::adminweb::session_role(id.c_str()), 0);
  const std::string stamp = env().sql("select lastlogtime from wc_user where username='admin'");
  EXPECT_GT(std::stoll(stamp), 1700000000);
}

struct LoginCase {
  const char* what;
  std::string query;
  int error;               // 0: logged in
  std::string chosen_id;   // kept when not empty
};

TEST(Login, Table) {
  const std::string admin = "Username=admin&Password=" + std::string(kAdminPassword);
  const std::string id31(31, 'a'), id32(32, 'b'), id64(64, 'c'), id65(65, 'd'), dashed(39, 'e');
  const LoginCase cases[] = {
      {"keeper factory password", "Username=keeper&Password=580217", 20, ""},
      {"keeper factory password any case", "Username=KEEPER&Password=580217", 20, ""},
      {"ADMIN", "Username=ADMIN&Password=" + std::string(kAdminPassword), 20, ""},
      {"wrong password", "Username=admin&Password=nope", 20, ""},
      {"unknown user", "Username=root&Password=x", 20, ""},
      {"no user", "Password=x", 23, ""},
      {"no password", "Username=admin", 23, ""},
      {"empty SessionID", admin + "&SessionID=", 0, ""},
      {"31 characters", admin + "&SessionID=" + id31, 0, ""},
      {"32 characters", admin + "&SessionID=" + id32, 0, id32},
      {"64 characters", admin + "&SessionID=" + id64, 0, id64},
      {"65 characters", admin + "&SessionID=" + id65, 0, ""},
      {"a dash", admin + "&SessionID=" + dashed + "-", 0, ""},
      {"keeper", "Username=keeper&Password=" + std::string(kKeeperPassword), 0, ""},
  };
  // The keeper's row holds the factory password: refused before the database is read.
  env().sql("update wc_user set password='" + md5("580217") + "' where username='keeper'");
  for (const LoginCase& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string(c.what) == "keeper") {
      env().sql("update wc_user set password='" + md5(kKeeperPassword) + "' where username='keeper'");
    }
    const Reply r = env().get("type=sign&cmd=in&" + c.query);
    if (c.error) {
      EXPECT_EQ(r.body, error_body(c.error));
      continue;
    }
    const std::string id = session_of(r);
    EXPECT_EQ(id.size(), c.chosen_id.empty() ? 64u : c.chosen_id.size());
    if (!c.chosen_id.empty()) {
      EXPECT_EQ(id, c.chosen_id);
    }
    EXPECT_NE(id.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"), 0u);
    EXPECT_EQ(id.find('-'), std::string::npos);
  }
}

TEST(Login, LiveIdReusedAnswers10AndKeepsTheSession) {
  const std::string id(48, 'L');
  const std::string admin = "type=sign&cmd=in&Username=admin&Password=" + std::string(kAdminPassword);
  ASSERT_EQ(session_of(env().get(admin + "&SessionID=" + id)), id);
  env().sql("update wc_user set password='" + md5(kKeeperPassword) + "' where username='keeper'");
  const Reply again = env().get("type=sign&cmd=in&Username=keeper&Password=" + std::string(kKeeperPassword) +
                                "&SessionID=" + id);
  EXPECT_EQ(again.body, error_body(10));
  EXPECT_EQ(vor::adminweb::session_role(id.c_str()), 0);
}

uint8_t keep(const char*, void*, void*, void*, void*, void*) { return 1; }

TEST(Login, RefusedAbove10000Sessions) {
  env();
  std::vector<std::string> fillers;
  for (uint32_t n = panelhttp_NumOfSessions(); n < 10000; ++n) {
    fillers.push_back("filler" + std::to_string(n));
    ASSERT_TRUE(panelhttp_AddSession(fillers.back().c_str(), 600000, keep, nullptr, nullptr, nullptr, nullptr,
                                     nullptr));
  }
  ASSERT_EQ(panelhttp_NumOfSessions(), 10000u);
  const std::string id = env().login();
  EXPECT_EQ(id.size(), 64u);  // 10,000 alive: accepted, now 10,001
  const Reply refused =
      env().get("type=sign&cmd=in&Username=admin&Password=" + std::string(kAdminPassword));
  EXPECT_EQ(refused.body, error_body(10));
  for (const std::string& f : fillers) panelhttp_DelSession(f.c_str());
  EXPECT_TRUE(vor::test::wait_until([] { return panelhttp_NumOfSessions() < 10000; }));
}

TEST(Sessions, AliveRefreshesAndOutEnds) {
  const std::string id = env().login();
  ASSERT_FALSE(id.empty());
  const uint64_t before = expiry_of(id);
  clock_moves();
  EXPECT_EQ(env().get("type=sign&cmd=alive&SessionID=" + id).body, kTrueBody);
  EXPECT_GT(expiry_of(id), before);
  EXPECT_EQ(env().get("type=sign&cmd=alive").body, error_body(23));
  EXPECT_EQ(env().get("type=sign&cmd=alive&SessionID=unknown").body, error_body(21));
  EXPECT_EQ(env().get("type=sign&cmd=out&SessionID=" + id).body, kTrueBody);
  EXPECT_EQ(vor::adminweb::session_role(id.c_str()), -1);  // the word is cleared at once
  EXPECT_EQ(env().get("type=sign&cmd=alive&SessionID=" + id).body, error_body(21));
  EXPECT_EQ(env().get("type=sign&cmd=out&SessionID=unknown").body, kTrueBody);
  EXPECT_EQ(env().get("type=sign&cmd=out").body, error_body(23));
  EXPECT_TRUE(vor::test::wait_until([&] { return panelhttp_CheckSession(id.c_str()) == nullptr; }));
}

TEST(Sessions, ExpiryAfterLogoutFreesNothing) {
  // The expiry timer copied the word a logout had cleared: nothing printed, nothing freed.
  env();
  EXPECT_EQ(vor::adminweb::session_expired("gone", nullptr, nullptr, nullptr, nullptr, nullptr), 1);
  vor::adminweb::AdminLogin* login = vor::adminweb::make_login("admin", "id");
  ASSERT_NE(login, nullptr);
  EXPECT_EQ(vor::adminweb::session_expired("id", login, nullptr, nullptr, nullptr, nullptr), 1);
}

TEST(Passwd, Table) {
  const std::string admin = env().login();
  env().sql("update wc_user set password='" + md5(kKeeperPassword) + "' where username='keeper'");
  const std::string keeper = env().login("keeper", kKeeperPassword);
  ASSERT_FALSE(admin.empty());
  ASSERT_FALSE(keeper.empty());
  const std::string p64(64, 'p'), p65(65, 'p');
  struct Case {
    std::string query;
    int error;
  } cases[] = {
      {"Username=keeper&Password=" + p65, 23},
      {"Username=Keeper&Password=x", 23},
      {"Password=x", 23},
      {"Username=keeper", 23},
      {"Username=keeper&Password=" + p64, 0},
      {"Username=keeper&Password=", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    const Reply r = env().get("type=user&cmd=passwd&SessionID=" + admin + "&" + c.query);
    EXPECT_EQ(r.body, c.error ? error_body(c.error) : kTrueBody);
  }
  EXPECT_EQ(env().sql("select password from wc_user where username='keeper'"), md5("") + "\n");
  EXPECT_EQ(env().get("type=user&cmd=passwd&Username=keeper&Password=x").body, error_body(23));
  EXPECT_EQ(env().get("type=user&cmd=passwd&SessionID=nope&Username=keeper&Password=x").body, error_body(21));
  const uint64_t before = expiry_of(keeper);
  clock_moves();
  EXPECT_EQ(env().get("type=user&cmd=passwd&SessionID=" + keeper + "&Username=keeper&Password=x").body,
            error_body(22));
  EXPECT_GT(expiry_of(keeper), before);  // refreshed all the same
}

TEST(Passwd, NewAdminPasswordLogsInAndOldFails) {
  const std::string admin = env().login();
  ASSERT_FALSE(admin.empty());
  ASSERT_EQ(env().get("type=user&cmd=passwd&SessionID=" + admin + "&Username=admin&Password=fresh2").body,
            kTrueBody);
  EXPECT_TRUE(vor::adminweb::admin_password_matches("fresh2"));
  EXPECT_TRUE(vor::adminweb::admin_password_matches(md5("fresh2").c_str()));
  EXPECT_FALSE(vor::adminweb::admin_password_matches(kAdminPassword));
  EXPECT_TRUE(env().login("admin", kAdminPassword).empty());
  EXPECT_FALSE(env().login("admin", "fresh2").empty());
  ASSERT_EQ(env().get("type=user&cmd=passwd&SessionID=" + admin + "&Username=admin&Password=" +
                      std::string(kAdminPassword)).body,
            kTrueBody);
}

}  // namespace
