// One admin server per test process, in a temporary runtime tree (bin/ the current folder,
// modules/vuved.ini, wwwroot/), listening on 127.0.0.1, with admin modules of the test routed
// as the loader routes them; and a blocking client that sends bytes and reads answers.
#pragma once
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "cu_config.h"
#include "panelhttp_internal.h"
#include "vor_net_test_util.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace panelhttp_test {

namespace fs = std::filesystem;

class Server {
 public:
  // The process's one server; modules and settings are those of the first call.
  static Server& get(const std::vector<const vuved_module_desc*>& modules, const std::string& settings = "") {
    // The server lives for the process; its temporary tree goes at exit.
    static vor::test::TempDir tmp;
    static Server* server = new Server(tmp, modules, settings);
    return *server;
  }

  uint16_t port() const { return port_; }
  std::string www(const std::string& name) const { return tmp_.path() + "/wwwroot/" + name; }
  std::string root() const { return tmp_.path(); }

 private:
  Server(const vor::test::TempDir& tmp, const std::vector<const vuved_module_desc*>& modules,
         const std::string& settings)
      : tmp_(tmp) {
    for (const char* dir : {"bin", "modules", "logs", "wwwroot"}) fs::create_directories(tmp_.file(dir));
    vor::test::write_file(tmp_.file("modules/vuved.ini"), "[system]\nwwwroot=../wwwroot\n" + settings +
                                                              "\n[index]\nindex-0=index.html\n"
                                                              "[errordocs]\n404error=/404.html\n");
    vor::test::write_file(tmp_.file("modules/vuved.mime"), "[mime]\nhtml=text/html\ntxt=text/plain\n");
    vor::test::write_file(tmp_.file("wwwroot/index.html"), "<p>index</p>\n");
    fs::current_path(tmp_.file("bin"));
    port_ = vor::test::free_port();
    config_ = cu_config_make1(("[system]\nadmin_port=127.0.0.1:" + std::to_string(port_) + "\n").c_str());
    daemon_.config = config_;
    daemon_.bigbox = vor_bigbox_make(2, 1000);
    panelhttp_init(&daemon_);
    for (const vuved_module_desc* desc : modules) vor::panelhttp::route_module(desc, "test");
  }

  const vor::test::TempDir& tmp_;
  uint16_t port_ = 0;
  cu_config* config_ = nullptr;
  daemon_ctx daemon_{};
};

// A blocking client of 127.0.0.1:port; every read waits at most a bounded time.
class Client {
 public:
  explicit Client(uint16_t port) : fd_(vor::test::connect_blocking(port)) {
    timeval tv{0, 100 * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send_all(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads until ready(received) holds or the peer closes; false when neither happened in time.
  template <typename Ready>
  bool read_until(Ready ready) {
    return vor::test::wait_until([&] {
      if (ready(received_)) return true;
      char buf[65536];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      // Everything that has arrived is taken before the next pause.
      while (n > 0) {
        received_.append(buf, static_cast<size_t>(n));
        if (ready(received_)) return true;
        n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      }
      if (n == 0) closed_ = true;
      return ready(received_) || closed_;
    });
  }
  // Reads until the peer closes.
  bool read_to_close() {
    read_until([](const std::string&) { return false; });
    return closed_;
  }
  // Reads what arrives within about ms.
  void drain_for(int ms) {
    for (int i = 0; i < ms / 100 && !closed_; ++i) {
      char buf[65536];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n > 0) received_.append(buf, static_cast<size_t>(n));
      if (n == 0) closed_ = true;
    }
  }
  const std::string& received() const { return received_; }
  bool closed() const { return closed_; }

 private:
  int fd_;
  std::string received_;
  bool closed_ = false;
};

inline size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

}  // namespace panelhttp_test
