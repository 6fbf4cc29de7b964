// The daemon in a temporary runtime tree with the admin server laid out as scripts/run lays
// it out (the shipped vuved.ini, vuved.mime and web root), on a free loopback port.
#pragma once
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_tree.h"
#include "vor_net_test_util.h"
#include "vor_tempdir.h"

namespace panelhttp_test {

namespace fs = std::filesystem;

class AdminTree {
 public:
  // admin_port: the whole [system] line naming the admin port (empty: 127.0.0.1 and a free port).
  explicit AdminTree(const std::string& admin_port = "", const std::string& extra_system = "")
      : port_(vor::test::free_port()) {
    fs::create_directories(tree_.root() + "/wwwroot");
    const std::pair<const char*, const char*> libs[] = {{PANELHTTP_LIB, "libpanelhttp.so"},
                                                         {PANELBASE_LIB, "libpanelbase.so"}};
    for (const auto& [file, name] : libs) {
      fs::copy_file(file, modules(std::string(name) + ".1"));
      fs::create_symlink(std::string(name) + ".1", modules(name));
    }
    const std::string dist = std::string(QUORIN_SOURCE_DIR) + "/dist";
    write_settings(dist + "/modules/vuved.ini");
    fs::copy_file(dist + "/modules/vuved.mime", modules("vuved.mime"));
    fs::copy(dist + "/wwwroot", tree_.root() + "/wwwroot", fs::copy_options::recursive);
    const std::string port_line =
        admin_port.empty() ? "admin_port=127.0.0.1:" + std::to_string(port_) + "\n" : admin_port;
    tree_.config("[system]\n" + port_line + extra_system +
                 "[modules]\nmodule-1=libpanelhttp.so\nexport-1=panelhttp\n");
  }

  quorin::test::DaemonTree& tree() { return tree_; }
  const quorin::test::DaemonTree& tree() const { return tree_; }
  uint16_t port() const { return port_; }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  std::string modules(const std::string& name) const { return tree_.root() + "/modules/" + name; }
  std::string www(const std::string& name) const { return tree_.root() + "/wwwroot/" + name; }
  std::string root(const std::string& name) const { return tree_.root() + "/" + name; }

  // Starts the daemon and waits until the admin port takes connections.
  std::unique_ptr<quorin::test::Process> start() {
    auto daemon = tree_.start_daemon();
    vor::test::wait_until([&] {
      const int fd = vor::test::connect_blocking(port_);
      if (fd < 0) return false;
      close(fd);
      return true;
    });
    return daemon;
  }

 private:
  // The shipped vuved.ini without the module lines of libraries this tree does not lay out
  // (admin modules of other deliverables): their load failures are not what these tests watch.
  void write_settings(const std::string& shipped) {
    std::istringstream in(vor::test::read_file(shipped));
    std::vector<std::string> lines;
    std::set<std::string> dropped;  // N of module-N lines dropped
    for (std::string line; std::getline(in, line);) {
      const size_t eq = line.find('=');
      if (line.rfind("module-", 0) == 0 && eq != std::string::npos && !fs::exists(modules(line.substr(eq + 1)))) {
        dropped.insert(line.substr(7, eq - 7));
        continue;
      }
      lines.push_back(line);
    }
    std::string text;
    for (const std::string& line : lines) {
      const size_t eq = line.find('=');
      if (line.rfind("export-", 0) == 0 && eq != std::string::npos && dropped.count(line.substr(7, eq - 7))) continue;
      text += line + "\n";
    }
    vor::test::write_file(modules("vuved.ini"), text);
  }

  quorin::test::DaemonTree tree_;
  uint16_t port_;
};

}  // namespace panelhttp_test
