// The daemon in a temporary runtime tree with the admin server laid out as scripts/run lays
// it out (the shipped vuved.ini, vuved.mime and web root), on a free loopback port.
#pragma once
#include <filesystem>
#include <string>

#include "daemon_tree.h"
#include "vor_net_test_util.h"

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
    fs::copy_file(dist + "/modules/vuved.ini", modules("vuved.ini"));
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
  quorin::test::DaemonTree tree_;
  uint16_t port_;
};

}  // namespace panelhttp_test
