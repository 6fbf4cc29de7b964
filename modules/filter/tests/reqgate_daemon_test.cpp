// The request filter inside the real daemon: loaded after the rules store from the shipped
// zazudaza.ini with the shipped filter.ini and spider.ini, a missing filter.ini, and plug-ins
// with and without a disk-cache rewrite entry.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include "daemon_tree.h"
#include "vor_kv2.h"
#include "vor_net_test_util.h"

namespace {

using quorin::test::DaemonTree;
using vor::test::read_file;
using vor::test::run_shell;

std::string source_dir() {
  const char* dir = std::getenv("VOR_SOURCE_DIR");
  return dir ? dir : REQGATE_SOURCE_DIR;
}

std::unique_ptr<DaemonTree> make_tree(bool with_filter_ini) {
  auto tree = std::make_unique<DaemonTree>();
  tree->built_modules();
  const uint16_t port = vor::test::free_port();
  tree->config("[system]\nmax_network_threads=2\nproxy_port=127.0.0.1:" + std::to_string(port) +
               "\n[modules]\nmodule-0=libedgeserv.so\nexport-0=edgeserv\n");
  // The shipped settings with trace lines on: the cases read the plug-in lines.
  std::string zazudaza_ini = read_file(source_dir() + "/dist/modules/zazudaza.ini");
  zazudaza_ini.replace(zazudaza_ini.find("display_console=0"), strlen("display_console=0"), "display_console=1");
  tree->modules_file("zazudaza.ini", zazudaza_ini);
  tree->modules_file("zazudaza/once.ini", read_file(source_dir() + "/dist/modules/zazudaza/once.ini"));
  tree->modules_file("zazudaza/spider.ini", read_file(source_dir() + "/dist/modules/zazudaza/spider.ini"));
  if (with_filter_ini) {
    tree->modules_file("zazudaza/filter.ini", read_file(source_dir() + "/dist/modules/zazudaza/filter.ini"));
  }
  const std::string db = tree->root() + "/config/zazudaza.db";
  EXPECT_EQ(run_shell("sqlite3 '" + db + "' < '" + source_dir() + "/dist/config/zazudaza.sql'"), 0);
  return tree;
}

void stop(DaemonTree& tree, std::unique_ptr<quorin::test::Process>& daemon) {
  daemon->signal(SIGTERM);
  ASSERT_TRUE(daemon->wait().ended);
  EXPECT_NE(tree.out().find("[zazudaza -> filter] module exit!\r\n"), std::string::npos) << tree.out();
}

TEST(FilterDaemon, LoadsAfterConfigWithTheShippedSettings) {
  auto tree = make_tree(true);
  auto daemon = tree->start_daemon();
  const std::string out = tree->out();
  const size_t config_init = out.find("[zazudaza -> config] module init!\r\n");
  const size_t filter_init = out.find("[zazudaza -> filter] module init!\r\n");
  ASSERT_NE(filter_init, std::string::npos) << out << tree->err();
  EXPECT_LT(config_init, filter_init);
  EXPECT_EQ(out.find("cann't"), std::string::npos) << out;
  EXPECT_EQ(tree->err().find("[zazudaza -> filter]"), std::string::npos) << tree->err();
  stop(*tree, daemon);
}

TEST(FilterDaemon, MissingFilterIniIsReportedOnStderrAndInTheLog) {
  auto tree = make_tree(false);
  auto daemon = tree->start_daemon();
  const char kLine[] = "[zazudaza -> filter] cann't open 'modules/zazudaza/filter.ini' file!\r\n";
  EXPECT_NE(tree->err().find(kLine), std::string::npos) << tree->err();
  stop(*tree, daemon);
  EXPECT_NE(read_file(tree->logs("zazudaza.log")).find("cann't open 'modules/zazudaza/filter.ini'"),
            std::string::npos);
}

TEST(FilterDaemon, PluginsWithAndWithoutARewriteEntry) {
  auto tree = make_tree(true);
  const std::string plugins = tree->root() + "/plugins";
  const std::string src = tree->temp("plugins.cpp");
  vor::test::write_file(src,
                        "extern \"C\" __attribute__((visibility(\"default\"))) unsigned char\n"
                        "quo_plugin_diskcache_rewrite(const char*, void*, void*, char*, unsigned char*, unsigned*) "
                        "{ return 0; }\n");
  vor::test::write_file(tree->temp("plain.cpp"), "extern \"C\" int quo_plugin_other() { return 1; }\n");
  ASSERT_EQ(run_shell("mkdir -p '" + plugins + "' && c++ -shared -fPIC -o '" + plugins + "/rewrite.so' '" + src +
                      "' && c++ -shared -fPIC -o '" + plugins + "/plain.so' '" + tree->temp("plain.cpp") + "'"),
            0);
  vor::test::write_file(plugins + "/plugins.ini",
                        "[plugins]\nplugin-0=plain.so\nplugin-1=rewrite.so\nplugin-2=missing.so\n");
  auto daemon = tree->start_daemon();
  const std::string out = tree->out();
  EXPECT_NE(out.find("[zazudaza -> plugin -> diskcacherewrite] plugin 'rewrite.so' load!\r\n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("plugin 'plain.so' load!"), std::string::npos) << out;
  EXPECT_NE(out.find("[quorin -> zazudaza -> plugin] plugin 'missing.so' load fail!\r\n"), std::string::npos) << out;
  stop(*tree, daemon);
}

// The index stores in the real daemon: an old store converted at start, the four stores checked,
// and what was converted read back from the new store with the sqlite3 tool after the stop.
TEST(FilterDaemon, IndexStoresAreConvertedCheckedAndKeptOverAStop) {
  auto tree = make_tree(true);
  const std::string folder = tree->root() + "/config/dcindex";
  ASSERT_EQ(run_shell("mkdir -p '" + folder + "'"), 0);
  vor_kv2* old = vor_kv2_open_ext((folder + "/member.idx").c_str(), true, true, 218, 2, 1);
  ASSERT_NE(old, nullptr);
  std::string value = "vs=371&cl=1";
  value.resize(170, '\0');
  for (int i = 0; i < 5; ++i) {
    const std::string key = "0123456789abcdef0123456789abcde" + std::to_string(i);
    ASSERT_TRUE(vor_kv2_put(old, 0, key.data(), 32, value.data(), 170));
  }
  vor_kv2_close(old);
  auto daemon = tree->start_daemon();
  const std::string out = tree->out();
  EXPECT_NE(out.find("convert member from idx to idx2 ... 5 records!\r\n"), std::string::npos) << out;
  for (const char* name : {"public", "member", "visitor", "content"}) {
    EXPECT_NE(out.find(std::string("checking disk cache index for ") + name + " ... OK!\r\n"), std::string::npos)
        << out;
  }
  stop(*tree, daemon);
  EXPECT_FALSE(vor::test::exists(folder + "/member.idx"));
  // The five converted records and the placeholder of a store below 100 records.
  EXPECT_EQ(vor::test::shell_output("sqlite3 -batch '" + folder + "/member.idx2' 'select count(*) from kv;'"), "6\n");
  EXPECT_EQ(vor::test::shell_output("sqlite3 -batch '" + folder +
                                    "/member.idx2' \"select cast(v as text) from kv where k = "
                                    "cast('0123456789abcdef0123456789abcde4' as blob);\""),
            "vs=371&cl=1\n");
}

}  // namespace
