// Logins, keep-alives and logouts on many threads while short sessions expire on the admin
// server's boxes: the login records are read, freed and cleared under the right locks.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "adminweb_test_env.h"

namespace {

using adminweb_test::Env;

TEST(SessionsThreads, LoginAliveLogoutWhileShortSessionsExpire) {
  Env& env = Env::instance();
  std::atomic<bool> stop{false};
  std::atomic<int> made{0};
  // Sessions of 50 ms expire on the server's boxes while the clients work.
  std::thread expiring([&] {
    for (int i = 0; !stop.load() && i < 2000; ++i) {
      const std::string id = "short" + std::to_string(i) + std::string(40, 'x');
      vor::adminweb::AdminLogin* login = vor::adminweb::make_login("admin", id.c_str());
      if (panelhttp_AddSession(id.c_str(), 50, vor::adminweb::session_expired, login, nullptr, nullptr, nullptr,
                               nullptr)) {
        ++made;
        vor::adminweb::session_role(id.c_str());
        if (i % 2) panelhttp_DelSession(id.c_str());
      } else {
        vor::adminweb::free_login(login);
      }
    }
  });
  std::vector<std::thread> clients;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t) {
    clients.emplace_back([&] {
      for (int round = 0; round < 5; ++round) {
        const std::string id = env.login();
        if (id.empty()) {
          ++failures;
          continue;
        }
        if (env.get("type=sign&cmd=alive&SessionID=" + id).body.find("True") == std::string::npos) ++failures;
        if (env.get("type=sign&cmd=out&SessionID=" + id).body.find("True") == std::string::npos) ++failures;
      }
    });
  }
  for (std::thread& c : clients) c.join();
  stop = true;
  expiring.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(made.load(), 0);
}

}  // namespace
