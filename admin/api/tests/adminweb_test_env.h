// The admin API in one test process: the admin server on a free loopback port with the API
// routed, the rules store loaded from a database the sqlite3 CLI built from the shipped schema
// (or from no file at all), and a client that sends one request per connection and returns the
// reply with the close delay the command queued.
#pragma once
#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "adminweb.h"
#include "adminweb_internal.h"
#include "cu_log.h"
#include "cu_md5.h"
#include "edgeserv.h"
#include "panelhttp_harness.h"
#include "policydb.h"
#include "seams.h"
#include "vor_sqlite_holder.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace adminweb_test {

namespace fs = std::filesystem;
using vor::test::shell_output;

constexpr char kAdminPassword[] = "adminpw1";
constexpr char kKeeperPassword[] = "keeperpw1";

inline std::string md5(const std::string& text) {
  char out[33] = "";
  cu_md5_encode(out, text.c_str());
  return out;
}

inline std::string quoted(const std::string& s) { return vor::test::shell_quoted(s); }

// A form value %-encoded byte by byte (letters and digits as they are).
inline std::string encoded(const std::string& value) {
  std::string out;
  for (const unsigned char c : value) {
    if (isalnum(c)) {
      out += static_cast<char>(c);
    } else {
      char code[4];
      snprintf(code, sizeof code, "%%%02X", c);
      out += code;
    }
  }
  return out;
}

inline std::string error_body(int error) {
  return "{\r\n  \"Return\":\"False\",\r\n  \"ErrorNo\":\"" + std::to_string(error) + "\"\r\n}";
}
inline const std::string kTrueBody = "{\r\n  \"Return\":\"True\"\r\n}";

struct Reply {
  std::string head;  // "Date: D"
  std::string body;
  int32_t delay = -1;  // the close delay queued, -1 when none came
};

// The close delays queued, in order.
class Closes {
 public:
  static Closes& get() {
    static Closes* c = new Closes;
    return *c;
  }
  static void record(int64_t sid, int32_t delay) {
    {
      std::lock_guard<std::mutex> lock(get().mutex_);
      get().delays_.push_back(delay);
    }
    panelhttp_close(sid, delay);
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return delays_.size();
  }
  int32_t at(size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return delays_.at(i);
  }

 private:
  std::mutex mutex_;
  std::vector<int32_t> delays_;
};

class Env {
 public:
  // with_db false: the database file is missing, as on a node whose rules store could not open it.
  static Env& instance(bool with_db = true) {
    static Env* env = new Env(with_db);
    return *env;
  }

  uint16_t port() const { return server_.port(); }
  std::string db() const { return server_.root() + "/config/zazudaza.db"; }
  std::string sql(const std::string& statement) const {
    return shell_output("sqlite3 " + quoted(db()) + " " + quoted(statement) + " 2>&1");
  }
  std::string log() const { return vor::test::read_file(server_.root() + "/logs/vuved.log"); }

  // One request on its own connection: the whole reply and the delay its command queued.
  Reply send(const std::string& bytes) {
    const size_t before = Closes::get().count();
    panelhttp_test::Client client(port());
    client.send_all(bytes);
    client.read_until([](const std::string& got) { return complete(got); });
    Reply reply;
    const std::string& got = client.received();
    const size_t split = got.find("\r\n\r\n");
    if (split != std::string::npos) {
      reply.head = mask_date(got.substr(0, split + 4));
      reply.body = got.substr(split + 4);
    }
    if (vor::test::wait_until([&] { return Closes::get().count() > before; })) {
      reply.delay = Closes::get().at(before);
    }
    std::lock_guard<std::mutex> lock(bodies_mutex_);
    bodies_.push_back(reply.body);
    return reply;
  }
  Reply get(const std::string& query) {
    return send("GET /quorin/zazudaza.quo?" + query + " HTTP/1.1\r\nHost: a\r\n\r\n");
  }
  Reply post(const std::string& query, const std::string& form) {
    return send("POST /quorin/zazudaza.quo?" + query + " HTTP/1.1\r\nHost: a\r\nContent-Length: " +
                std::to_string(form.size()) + "\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + form);
  }
  // Every reply body so far: each must parse as JSON.
  std::vector<std::string> bodies() {
    std::lock_guard<std::mutex> lock(bodies_mutex_);
    return bodies_;
  }
  // The bodies python3's json module refuses, with its message; empty when every one parses.
  std::string bodies_json_refuses() {
    vor::test::TempDir dir;
    const std::vector<std::string> all = bodies();
    for (size_t i = 0; i < all.size(); ++i) vor::test::write_file(dir.file(std::to_string(i)), all[i]);
    return shell_output("python3 -c 'import json, sys\nfor f in sys.argv[1:]:\n  try: json.load(open(f))\n"
                        "  except Exception as e: print(open(f).read(), e)' " + dir.path() + "/* 2>&1");
  }
  // A new admin (or keeper) session id; empty when the login failed.
  std::string login(const std::string& user = "admin", const std::string& password = kAdminPassword) {
    const Reply r = get("type=sign&cmd=in&Username=" + user + "&Password=" + password);
    const std::string key = "\"SessionID\":\"";
    const size_t at = r.body.find(key);
    if (at == std::string::npos) return "";
    return r.body.substr(at + key.size(), r.body.find('"', at + key.size()) - at - key.size());
  }

 private:
  explicit Env(bool with_db) : server_(panelhttp_test::Server::get({&zazudaza}, shipped_formsize())) {
    fs::create_directories(server_.root() + "/config");
    if (with_db) make_db();
    daemon_.config = cu_config_make1("[system]\nproxy_port=127.0.0.1:1\n");
    edge_.daemon = &daemon_;
    edge_.config = cu_config_make1("[system]\ndisplay_console=1\n");
    edge_.log = cu_log_malloc("../logs/zazudaza.log");
    policydb_module_init(&edge_);
    vor::adminweb::seams::calls().close = Closes::record;
    zazudaza.init(panelhttp_GetHandle());
  }

  // The body limit of the shipped vuved.ini.
  static std::string shipped_formsize() {
    cu_config* shipped = cu_config_make((std::string(QUORIN_SOURCE_DIR) + "/dist/modules/vuved.ini").c_str());
    const char* v = shipped ? cu_config_GetKey(shipped, "system", "max_formsize") : nullptr;
    const std::string line = v ? std::string("max_formsize=") + v + "\n" : "";
    cu_config_free(shipped);
    return line;
  }

  void make_db() const {
    const std::string schema = std::string(QUORIN_SOURCE_DIR) + "/dist/config/zazudaza.sql";
    if (vor::test::run_shell("sqlite3 " + quoted(db()) + " < " + quoted(schema)) != 0) abort();
    sql("delete from wc_user; insert into wc_user(username, password, lastlogtime) values('admin', '" +
        md5(kAdminPassword) + "', 0), ('keeper', '" + md5(kKeeperPassword) + "', NULL)");
  }

  static bool complete(const std::string& got) {
    const size_t split = got.find("\r\n\r\n");
    if (split == std::string::npos) return false;
    const size_t at = got.find("Content-Length: ");
    if (at == std::string::npos || at > split) return false;
    return got.size() - split - 4 >= std::stoul(got.substr(at + 16));
  }
  static std::string mask_date(std::string head) {
    const size_t at = head.find("\r\nDate: ");
    if (at == std::string::npos) return head;
    const size_t end = head.find("\r\n", at + 2);
    return head.replace(at + 8, end - at - 8, "D");
  }

  panelhttp_test::Server& server_;
  std::mutex bodies_mutex_;
  std::vector<std::string> bodies_;
  daemon_ctx daemon_{};
  edgeserv_ctx edge_{};
};

}  // namespace adminweb_test
