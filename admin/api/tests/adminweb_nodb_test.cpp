// With no database file the rules store keeps an unconnected handle: lists, login and "passwd"
// answer 10 and write their lines to the admin server's log.
#include <gtest/gtest.h>

#include <string>

#include "adminweb_test_env.h"

namespace {

using adminweb_test::Env;
using adminweb_test::error_body;
using adminweb_test::kTrueBody;

Env& env() { return Env::instance(false); }


TEST(NoDatabase, LoginAnswers10AndLogs) {
  EXPECT_EQ(env().get("type=sign&cmd=in&Username=admin&Password=x").body, error_body(10));
  EXPECT_TRUE(vor::test::wait_until(
      [] { return env().log().find("[vuved -> zazudaza] read 'wc_user' table error!") != std::string::npos; }));
}

TEST(NoDatabase, ListAndPasswdAnswer10AndLog) {
  // A session made directly: no login can succeed without the database.
  env();
  const std::string id(64, 'n');
  vor::adminweb::AdminLogin* login = vor::adminweb::make_login("admin", id.c_str());
  ASSERT_TRUE(panelhttp_AddSession(id.c_str(), 600000, vor::adminweb::session_expired, login, nullptr, nullptr,
                                   nullptr, nullptr));
  EXPECT_EQ(env().get("type=fcache&cmd=list&SessionID=" + id).body, error_body(10));
  EXPECT_EQ(env().get("type=user&cmd=passwd&Username=admin&Password=x&SessionID=" + id).body, error_body(10));
  EXPECT_TRUE(vor::test::wait_until([] {
    const std::string log = env().log();
    return log.find("[vuved -> zazudaza] select 'wc_fcache' table error!") != std::string::npos &&
           log.find("[vuved -> zazudaza] update 'wc_user' table error!") != std::string::npos;
  }));
}

}  // namespace
