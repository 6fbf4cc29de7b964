// The rules store inside the real daemon: the edge server loads it from the shipped zazudaza.ini
// and it reads the shipped database.
#include <gtest/gtest.h>

#include "daemon_tree.h"
#include "vor_net_test_util.h"

namespace {

using quorin::test::DaemonTree;
using vor::test::read_file;
using vor::test::run_shell;

std::string source_dir() {
  const char* dir = std::getenv("VOR_SOURCE_DIR");
  return dir ? dir : POLICYDB_SOURCE_DIR;
}

TEST(Daemon, ShippedSettingsLoadTheRulesStoreWithoutAnErrorLine) {
  DaemonTree tree;
  tree.built_modules();
  const uint16_t port = vor::test::free_port();
  tree.config("[system]\nmax_network_threads=2\nproxy_port=127.0.0.1:" + std::to_string(port) +
              "\n[modules]\nmodule-0=libedgeserv.so\nexport-0=edgeserv\n");
  tree.modules_file("zazudaza.ini", read_file(source_dir() + "/dist/modules/zazudaza.ini"));
  tree.modules_file("zazudaza/once.ini", read_file(source_dir() + "/dist/modules/zazudaza/once.ini"));
  ASSERT_EQ(run_shell("sqlite3 '" + tree.root() + "/config/zazudaza.db' < '" + source_dir() +
                      "/dist/config/zazudaza.sql'"),
            0);
  auto daemon = tree.start_daemon();
  const std::string out = tree.out();
  EXPECT_NE(out.find("[zazudaza -> config] module init!\r\n"), std::string::npos) << out;
  EXPECT_EQ(tree.err().find("[zazudaza -> config]"), std::string::npos) << tree.err();
  daemon->signal(SIGTERM);
  EXPECT_TRUE(daemon->wait().ended);
  EXPECT_NE(tree.out().find("[zazudaza -> config] module exit!\r\n"), std::string::npos);
}

}  // namespace
