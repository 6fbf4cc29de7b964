// A headless browser runs a console page from the admin server: it logs in and lists the
// force-cache rules with form POSTs through fetch, and the rows show in its DOM. The daemon
// runs with every built module and the shipped settings. Skipped when no chromium is installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cu_md5.h"
#include "daemon_tree.h"
#include "vor_net_test_util.h"
#include "vor_sqlite_holder.h"

namespace {

namespace fs = std::filesystem;
using vor::test::read_file;
using vor::test::run_shell;
using vor::test::shell_quoted;
using vor::test::write_file;

constexpr char kPassword[] = "browserpw";

bool have_chromium() { return run_shell("command -v chromium >/dev/null 2>&1") == 0; }

std::string md5(const std::string& text) {
  char out[33] = "";
  cu_md5_encode(out, text.c_str());
  return out;
}

constexpr char kPage[] = R"(<!DOCTYPE html><html><body><ul id="rows"></ul><p id="state">start</p><script>
const api = '/quorin/zazudaza.quo';
const form = { method: 'POST', headers: { 'Content-Type': 'application/x-www-form-urlencoded' } };
async function run() {
  const login = await (await fetch(api + '?type=sign&cmd=in', { ...form, body: 'Username=admin&Password=PASSWORD' })).json();
  const list = await (await fetch(api + '?type=fcache&cmd=list', { ...form, body: 'SessionID=' + login.SessionID })).json();
  for (const row of list.Lists || []) {
    const li = document.createElement('li');
    li.textContent = row.NO + ':' + row.Url + ':' + row.Note;
    document.getElementById('rows').appendChild(li);
  }
  document.getElementById('state').textContent = 'listed ' + list.NumOfLists;
}
run().catch(e => { document.getElementById('state').textContent = 'error ' + e; });
</script></body></html>
)";

TEST(Browser, ConsolePageLogsInAndListsRulesWithFetch) {
  if (!have_chromium()) GTEST_SKIP() << "chromium is not installed";
  quorin::test::DaemonTree tree;
  tree.built_modules();
  const std::string dist = std::string(QUORIN_SOURCE_DIR) + "/dist";
  fs::copy(dist + "/modules", tree.root() + "/modules", fs::copy_options::recursive | fs::copy_options::skip_existing);
  fs::create_directories(tree.root() + "/wwwroot");
  fs::copy(dist + "/wwwroot", tree.root() + "/wwwroot", fs::copy_options::recursive);
  std::string page = kPage;
  page.replace(page.find("PASSWORD"), 8, kPassword);
  write_file(tree.root() + "/wwwroot/console.html", page);
  const std::string db = tree.root() + "/config/zazudaza.db";
  ASSERT_EQ(run_shell("sqlite3 -bail " + shell_quoted(db) + " < " + shell_quoted(dist + "/config/zazudaza.sql")), 0);
  ASSERT_EQ(run_shell("sqlite3 -bail " + shell_quoted(db) + " " +
                      shell_quoted("insert into wc_user(username, password, lastlogtime) values('admin', '" +
                                   md5(kPassword) + "', 0); insert into wc_fcache(num, url, icase, rules, expire, "
                                   "unit, icookie, olimit, isdiskcache, note) values(1, 'one.test/*', 0, 0, 1, 1, 1, "
                                   "0, 1, 'first'), (2, 'two.test/*', 0, 0, 1, 1, 1, 0, 1, 'second')")),
            0);
  const uint16_t admin_port = vor::test::free_port();
  tree.config("[system]\nmax_network_threads=4\nmax_network_connections=100\nproxy_port=127.0.0.1:" +
              std::to_string(vor::test::free_port()) + "\nhttps_port=127.0.0.1:" +
              std::to_string(vor::test::free_port()) + "\nadmin_port=127.0.0.1:" + std::to_string(admin_port) +
              "\n[modules]\nmodule-0=libedgeserv.so\nexport-0=edgeserv\nmodule-1=libpanelhttp.so\n"
              "export-1=panelhttp\n");
  auto daemon = tree.start_daemon();
  const std::string out = tree.temp("dom.html"), profile = tree.temp("profile");
  run_shell("timeout 90 chromium --headless --no-sandbox --disable-gpu --no-first-run --user-data-dir='" + profile +
            "' --virtual-time-budget=10000 --dump-dom 'http://127.0.0.1:" + std::to_string(admin_port) +
            "/console.html' > '" + out + "' 2>/dev/null");
  const std::string dom = read_file(out);
  EXPECT_NE(dom.find("<li>1:one.test/*:first</li><li>2:two.test/*:second</li>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("listed 2"), std::string::npos) << dom;
  daemon->signal(SIGINT);
  EXPECT_EQ(daemon->wait().code, 0);
}

}  // namespace
