// The memory cache inside the real daemon: the edge server loads it after the rules store from
// the shipped zazudaza.ini, it sizes itself and reads the shipped cache.ini.
#include <gtest/gtest.h>

#include "daemon_tree.h"
#include "vor_net_test_util.h"

namespace {

using quorin::test::DaemonTree;
using vor::test::read_file;
using vor::test::run_shell;

std::string source_dir() {
  const char* dir = std::getenv("VOR_SOURCE_DIR");
  return dir ? dir : MEMSTORE_SOURCE_DIR;
}

TEST(Daemon, ShippedSettingsStartTheCacheWithoutAnErrorLine) {
  DaemonTree tree;
  tree.built_modules();
  const uint16_t port = vor::test::free_port();
  tree.config("[system]\nmax_network_threads=2\nproxy_port=127.0.0.1:" + std::to_string(port) +
              "\n[modules]\nmodule-0=libedgeserv.so\nexport-0=edgeserv\n");
  for (const char* file : {"zazudaza.ini", "zazudaza/once.ini", "zazudaza/cache.ini"})
    tree.modules_file(file, read_file(source_dir() + "/dist/modules/" + file));
  ASSERT_EQ(
      run_shell("sqlite3 '" + tree.root() + "/config/zazudaza.db' < '" + source_dir() + "/dist/config/zazudaza.sql'"),
      0);
  auto daemon = tree.start_daemon();
  const std::string out = tree.out();
  const size_t config_line = out.find("[zazudaza -> config] module init!\r\n");
  const size_t cache_line = out.find("[zazudaza -> cache] module init!\r\n");
  ASSERT_NE(cache_line, std::string::npos) << out;
  EXPECT_LT(config_line, cache_line);
  EXPECT_EQ(out.find("load fail"), std::string::npos) << out;
  EXPECT_EQ(out.find("memstore ->"), std::string::npos) << out;
  EXPECT_EQ(tree.err().find("cache.ini"), std::string::npos) << tree.err();
  daemon->signal(SIGTERM);
  EXPECT_TRUE(daemon->wait().ended);
  EXPECT_NE(tree.out().find("[zazudaza -> cache] module exit!\r\n"), std::string::npos);
}

}  // namespace
