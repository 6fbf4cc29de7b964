// The node in a temporary runtime tree with the shipped settings, proxy hosts seeded by the
// sqlite3 CLI, and python origins on free 127.0.0.1 ports; curl and wrk as clients.
#pragma once
#include <cstring>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_tree.h"
#include "vor_net_test_util.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace quorin::test {

inline std::string source_dir() {
  const char* dir = std::getenv("VOR_SOURCE_DIR");
  return dir ? dir : UPFETCH_SOURCE_DIR;
}

class Relay {
 public:
  // Proxy hosts a.test and b.test go to two origins (one process each), c.test to a port
  // nothing listens on, d.test (in turn) and e.test (by client address) to both origins.
  // settings_sql: run on the database after the seed, "{ORIGIN0}" standing for the first origin's
  // port; proxy_ini_line: a "key=value" line put in place of the shipped proxy.ini's line of that
  // key; env: the daemon's extra environment; plugin: a plug-in library placed as plugin-0.
  explicit Relay(std::string settings_sql = "select 1;", const std::string& proxy_ini_line = "",
                 const std::vector<std::string>& env = {}, const std::string& plugin = "") {
    origins_ = {start_origin("origin0"), start_origin("origin1")};
    port_ = vor::test::free_port();
    dead_ = vor::test::free_port();
    tree_.built_modules();
    tree_.config("[system]\nmax_network_threads=2\nmax_network_connections=20000\nproxy_port=127.0.0.1:" + std::to_string(port_) +
                 "\n[modules]\nmodule-0=libedgeserv.so\nexport-0=edgeserv\n");
    for (const char* file : {"zazudaza/once.ini", "zazudaza/filter.ini"}) {
      tree_.modules_file(file, vor::test::read_file(source_dir() + "/dist/modules/" + file));
    }
    // The shipped settings with trace lines on: the cases count them.
    std::string zazudaza_ini = vor::test::read_file(source_dir() + "/dist/modules/zazudaza.ini");
    zazudaza_ini.replace(zazudaza_ini.find("display_console=0"), strlen("display_console=0"), "display_console=1");
    tree_.modules_file("zazudaza.ini", zazudaza_ini);
    std::string proxy_ini = vor::test::read_file(source_dir() + "/dist/modules/zazudaza/proxy.ini");
    if (!proxy_ini_line.empty()) {
      const std::string key = proxy_ini_line.substr(0, proxy_ini_line.find('=') + 1);
      const size_t at = proxy_ini.find("\n" + key);
      EXPECT_NE(at, std::string::npos) << key;
      if (at != std::string::npos) proxy_ini.replace(at + 1, proxy_ini.find('\n', at + 1) - at - 1, proxy_ini_line);
    }
    tree_.modules_file("zazudaza/proxy.ini", proxy_ini);
    if (!plugin.empty()) {
      std::filesystem::create_directories(tree_.root() + "/plugins");
      std::filesystem::create_symlink(plugin, tree_.root() + "/plugins/fixture.so");
      vor::test::write_file(tree_.root() + "/plugins/plugins.ini", "[plugins]\nplugin-0=fixture.so\n");
    }
    const std::string db = tree_.root() + "/config/zazudaza.db";
    EXPECT_EQ(vor::test::run_shell("sqlite3 '" + db + "' < '" + source_dir() + "/dist/config/zazudaza.sql'"), 0);
    for (size_t at; (at = settings_sql.find("{ORIGIN0}")) != std::string::npos;) {
      settings_sql.replace(at, 9, std::to_string(origins_[0]));
    }
    const std::string seed =
        "insert into upfetch(wid, host, balance, note) values(1, 'a.test', 0, ''), (2, 'b.test', 0, ''),"
        " (3, 'c.test', 0, ''), (4, 'd.test', 0, ''), (5, 'e.test', 1, '');"
        "insert into wc_upstream(wid, host, weight, note) values(1, '127.0.0.1:" + std::to_string(origins_[0]) +
        "', 1, ''), (2, '127.0.0.1:" + std::to_string(origins_[1]) + "', 1, ''), (3, '127.0.0.1:" +
        std::to_string(dead_) + "', 1, ''), (4, '127.0.0.1:" + std::to_string(origins_[0]) + "', 1, ''), (4, '127.0.0.1:" +
        std::to_string(origins_[1]) + "', 1, ''), (5, '127.0.0.1:" + std::to_string(origins_[0]) +
        "', 1, ''), (5, '127.0.0.1:" + std::to_string(origins_[1]) + "', 1, '');" +
        // The shipped 8 KB receive buffer is below the loopback's segment size, so every window
        // update of an upload would wait for the persist timer here.
        "update wc_system set value='128' where name='MaxClientRecvBuffer';" + settings_sql;
    EXPECT_EQ(vor::test::run_shell("sqlite3 '" + db + "' \"" + seed + "\""), 0);
    daemon_ = tree_.start_daemon(env);
    EXPECT_TRUE(listening(port_));
  }
  ~Relay() { stop(); }

  // Ends the node; its standard error (sanitizer reports included).
  std::string stop() {
    if (daemon_) {
      daemon_->signal(SIGTERM);
      daemon_->wait();
      daemon_.reset();
    }
    return tree_.err();
  }

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  uint16_t port() const { return port_; }
  uint16_t origin(size_t i) const { return origins_[i]; }
  // "PORT PEERPORT METHOD PATH" per request the origins saw.
  std::vector<std::string> origin_log() const {
    std::vector<std::string> lines;
    std::istringstream in(vor::test::read_file(log_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string node_out() const { return tree_.out(); }

  // curl with a Host header and the given options (its standard input: input's output, when
  // given); curl's standard output.
  std::string curl(const std::string& host, const std::string& options, const std::string& input = "") const {
    const std::string command = "curl -s --max-time 60 -H 'Host: " + host + "' " + options;
    return vor::test::shell_output(input.empty() ? command : input + " | " + command);
  }

 private:
  // An origin on a port it bound itself (a port picked beforehand could be taken by a test
  // running beside this one before the origin binds it); its port, 0 when it did not start.
  uint16_t start_origin(const std::string& name) {
    const std::string script = source_dir() + "/modules/proxy/tests/fixtures/relay_origin.py";
    const std::string out = tmp_.file(name + ".out");
    origin_processes_.push_back(std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/python3", script, "0", log_}, out, tmp_.file(name + ".err")));
    EXPECT_TRUE(vor::test::wait_until([&] { return vor::test::read_file(out).find('\n') != std::string::npos; }));
    const auto port = static_cast<uint16_t>(std::atoi(vor::test::read_file(out).c_str()));
    EXPECT_TRUE(port != 0 && listening(port));
    return port;
  }

  static bool listening(uint16_t port) {
    return vor::test::wait_until([&] {
      const int fd = vor::test::connect_blocking(port);
      if (fd >= 0) close(fd);
      return fd >= 0;
    });
  }

  vor::test::TempDir tmp_;
  std::string log_ = tmp_.file("origin.log");
  std::vector<std::unique_ptr<Process>> origin_processes_;
  std::vector<uint16_t> origins_;
  uint16_t port_ = 0;
  uint16_t dead_ = 0;
  DaemonTree tree_;
  std::unique_ptr<Process> daemon_;
};

// The sha256 of the origin's n pattern bytes.
inline std::string pattern_sha(size_t n) {
  return vor::test::shell_output("python3 -c \"import hashlib,sys; b=bytes(range(256))*(" + std::to_string(n) +
                                 "//256+1); print(hashlib.sha256(b[:" + std::to_string(n) + "]).hexdigest())\"")
      .substr(0, 64);
}

}  // namespace quorin::test
