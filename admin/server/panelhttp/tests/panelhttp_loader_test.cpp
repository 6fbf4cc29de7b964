// The admin module loader, the init, exit and accept walks and the admin port, in the daemon
// running in a temporary runtime tree with fixture admin modules that log their calls.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "admin_tree.h"
#include "panelhttp_harness.h"

namespace {

using panelhttp_test::AdminTree;
using panelhttp_test::Client;
using ::testing::HasSubstr;
using ::testing::Not;
using vor::test::read_file;
using vor::test::wait_until;
using vor::test::write_file;

std::string modules_group(const std::vector<std::pair<std::string, std::string>>& modules) {
  std::string text = "[modules]\n";
  for (size_t i = 0; i < modules.size(); ++i) {
    if (!modules[i].first.empty()) text += "module-" + std::to_string(i) + "=" + modules[i].first + "\n";
    if (!modules[i].second.empty()) text += "export-" + std::to_string(i) + "=" + modules[i].second + "\n";
  }
  return text;
}

class Loader : public ::testing::Test {
 protected:
  explicit Loader(const std::string& admin_port = "", const std::string& system = "") : admin_(admin_port, system) {
    std::filesystem::copy_file(ADMINFIX_LIB, admin_.modules("libadminfix.so"));
  }
  void TearDown() override {
    if (daemon_ && !daemon_->wait(0).ended) {
      daemon_->signal(SIGINT);
      EXPECT_EQ(daemon_->wait().code, 0);
    }
  }
  void settings(const std::vector<std::pair<std::string, std::string>>& modules) {
    write_file(admin_.modules("vuved.ini"), "[system]\nwwwroot=../wwwroot\n" + modules_group(modules));
  }
  std::string fix_log() const { return read_file(admin_.tree().logs("adminfix.log")); }
  void stop() {
    daemon_->signal(SIGINT);
    EXPECT_EQ(daemon_->wait().code, 0);
  }

  AdminTree admin_;
  std::unique_ptr<quorin::test::Process> daemon_;
};

TEST_F(Loader, LoaderTableWithItsLinesAndTheWalks) {
  const std::string fix = "libadminfix.so";
  settings({{fix, "fix_api"},
            {fix, "fix_api_dup"},
            {"libmissing.so", "x"},
            {fix, "no_symbol"},
            {fix, "fix_v299"},
            {fix, "fix_v300"},
            {fix, "fix_file"},
            {fix, ""},  // no export: skipped without a word
            {fix, "fix_ext"},
            {fix, "fix_init_fail"},
            {fix, "fix_catch_a"},
            {"", "fix_catch_b"},
            {fix, "fix_file_dup"}});
  daemon_ = admin_.start();
  stop();
  const std::string out = admin_.tree().out();
  for (const char* line : {
           "[quorin -> vuved] module 'libadminfix.so' uripath('/api') is already loaded!\n",
           "[quorin -> vuved] module '../modules/libmissing.so' load fail!\n",
           "[quorin -> vuved] module '../modules/libadminfix.so' export symbol 'no_symbol' error!\n",
           "[quorin -> vuved] module 'libadminfix.so' version('299') error!\n",
           "[quorin -> vuved] module 'libadminfix.so' filename('f.fix') is already loaded!\n"}) {
    EXPECT_THAT(out, HasSubstr(line));
  }
  EXPECT_THAT(read_file(admin_.tree().logs("vuved.log")),
              HasSubstr("warn: [quorin -> vuved] module 'libadminfix.so' version('299') error!\r\n"));
  // Inits: uripath, filename and extname trees, then the catch-all list up to its first failure.
  // Exits: every loaded module in the same order.
  std::string walks;  // the probe connection of start() adds accept and close lines
  std::istringstream lines(fix_log());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("init ", 0) == 0 || line.rfind("exit ", 0) == 0) walks += line + "\n";
  }
  EXPECT_EQ(walks,
            "init api\ninit file\ninit ext\ninit v300\ninit init_fail\n"
            "exit api\nexit file\nexit ext\nexit v300\nexit init_fail\nexit catch_a\n");
}

// Each of the four init walks stops at its own first failure; the others go on.
TEST_F(Loader, EachInitWalkStopsOnItsOwn) {
  const std::string fix = "libadminfix.so";
  settings({{fix, "fix_api"}, {fix, "fix_a0_fail"}, {fix, "fix_file"}, {fix, "fix_ext"}, {fix, "fix_ext_fail"},
            {fix, "fix_catch_a"}, {fix, "fix_init_fail"}, {fix, "fix_catch_b"}});
  daemon_ = admin_.start();
  stop();
  std::string inits;
  std::istringstream lines(fix_log());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("init ", 0) == 0) inits += line + "\n";
  }
  // Keys in order: "/a0" before "/api", "ex" before "fx".
  EXPECT_EQ(inits, "init a0_fail\ninit file\ninit ext_fail\ninit catch_a\ninit init_fail\n");
}

// Catch-all modules first, then the trees; a 0 stops the walk, and the connection is still served.
TEST_F(Loader, AcceptWalkStopsAtZeroAndTheConnectionIsServed) {
  const std::string fix = "libadminfix.so";
  settings({{fix, "fix_api"}, {fix, "fix_catch_a"}, {fix, "fix_catch_stop"}, {fix, "fix_catch_b"}});
  daemon_ = admin_.start();
  // The probe connection of start() is closed first.
  ASSERT_TRUE(wait_until([&] { return fix_log().find("close catch_b\n") != std::string::npos; }));
  const std::string before = fix_log();
  Client client(admin_.port());
  client.send_all("GET /api HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_TRUE(client.read_until([](const std::string& r) { return r == "API\n"; }));
  EXPECT_EQ(fix_log().substr(before.size()),
            "accept catch_a 127.0.0.1\naccept catch_stop 127.0.0.1\nrequest api /api\n");
}

TEST_F(Loader, MissingSettingsOrMimeFileOpensNoPort) {
  struct Case {
    const char* missing;
    const char* line;
  };
  const Case cases[] = {{"vuved.ini", "[quorin -> vuved] config file 'vuved.ini' open fail!\n"},
                        {"vuved.mime", "[quorin -> vuved] mime file 'vuved.mime' open fail!\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.missing);
    AdminTree admin;
    std::filesystem::remove(admin.modules(c.missing));
    auto daemon = admin.tree().start_daemon();
    EXPECT_EQ(vor::test::connect_blocking(admin.port()), -1);
    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait().code, 0);
    EXPECT_THAT(admin.tree().out(), HasSubstr(c.line));
    EXPECT_THAT(admin.tree().out(), HasSubstr("[quorin -> vuved] module exit!\n"));
  }
}

struct PortCase {
  const char* line;         // the [system] lines; PORT stands for the port
  bool on_127_0_0_1;        // connects on 127.0.0.1
  bool on_127_0_0_2;        // connects on 127.0.0.2
  const char* console;      // a line printed, or "" for none of the port lines
};

std::string with_port(std::string text, uint16_t port) {
  const size_t at = text.find("PORT");
  return at == std::string::npos ? text : text.replace(at, 4, std::to_string(port));
}

bool connects(const char* ip, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = vor::test::loopback(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

TEST(AdminPort, FormsOfTheSetting) {
  const PortCase cases[] = {
      {"admin_port=PORT\n", true, true, ""},
      {"admin_port=127.0.0.1:PORT\n", true, false, ""},
      {"vuved_port=1\n", false, false, ""},
      {"max_network_threads=2\n", false, false, "error: config 'system->admin_port' cann't be found!\n"},
  };
  for (const PortCase& c : cases) {
    SCOPED_TRACE(c.line);
    const uint16_t port = vor::test::free_port();
    AdminTree admin(with_port(c.line, port));
    auto daemon = admin.tree().start_daemon();
    if (c.on_127_0_0_1) {
      EXPECT_TRUE(wait_until([&] { return connects("127.0.0.1", port); }));
    } else {
      EXPECT_FALSE(connects("127.0.0.1", port));
    }
    EXPECT_EQ(connects("127.0.0.2", port), c.on_127_0_0_2);
    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait().code, 0);
    const std::string out = admin.tree().out();
    if (*c.console) {
      EXPECT_THAT(out, HasSubstr(c.console));
    } else {
      EXPECT_THAT(out, Not(HasSubstr("admin_port")));
    }
  }
}

TEST(AdminPort, PortInUseIsReportedAndTheDaemonGoesOn) {
  const uint16_t port = vor::test::free_port();
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = vor::test::loopback(port);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  const std::string value = "127.0.0.1:" + std::to_string(port);
  AdminTree admin("admin_port=" + value + "\n");
  auto daemon = admin.tree().start_daemon();
  daemon->signal(SIGINT);
  EXPECT_EQ(daemon->wait().code, 0);
  close(holder);
  EXPECT_THAT(admin.tree().out(),
              HasSubstr("[quorin -> vuved] config 'system->admin_port->" + value + "' cann't be listened!\n"));
  EXPECT_THAT(read_file(admin.tree().logs("vuved.log")),
              HasSubstr("[quorin -> vuved] config 'system->admin_port->" + value + "' cann't be listened!\r\n"));
}

}  // namespace
