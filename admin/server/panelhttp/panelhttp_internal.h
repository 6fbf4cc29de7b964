// What panelhttp's own files share: the server's tables, its lock wrapper, settings, counters
// and the steps one mechanism hands to another (close now, the file cache read).
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "panelhttp.h"
#include "vor_bigbox.h"

struct panelhttp_server {
  std::unordered_map<int64_t, VuvedConnection*> connections;
  std::vector<const vuved_module_desc*> catch_all;  // load order
  std::map<std::string, const vuved_module_desc*> uripaths;
  std::map<std::string, const vuved_module_desc*> filenames;
  std::map<std::string, const vuved_module_desc*> extnames;
};

namespace vor::panelhttp {

// Settings of vuved.ini read at init.
struct Settings {
  bool display_console = true;
  uint32_t max_formsize = 16 * 1024;
  bool tcp_nodelay = true;
  int tcp_send_buff = 32 * 1024;
  int tcp_recv_buff = 8 * 1024;
};

extern Settings g_settings;
extern std::atomic<int64_t> g_recv_bytes;
extern std::atomic<int64_t> g_sent_bytes;
extern std::atomic<int64_t> g_charge;  // parsers, queued bytes, file task paths

constexpr int64_t kParserCharge = 10240;
constexpr const char* kServerName = "Quorin/Vuved/3.4.2";

panelhttp_ctx* ctx();
vor_bigbox* bigbox();

// The server lock, with a per-thread depth so that debug builds can prove nothing holds it
// where a callback, hook, notice or file read runs (a callback may take it itself or block).
class ServerLock {
 public:
  ServerLock();
  ~ServerLock() { unlock(); }
  ServerLock(const ServerLock&) = delete;
  ServerLock& operator=(const ServerLock&) = delete;
  void unlock();
  void lock();

 private:
  bool held_ = false;
};
// Aborts in debug builds when the calling thread holds the server lock.
void expect_unlocked();
// True when the calling thread holds the server lock.
bool lock_held();

// Console line printed while display_console is 1.
void console(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Console line printed always.
void print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Under the lock: the connection of sid, or nullptr.
VuvedConnection* find_connection(int64_t sid);

// Routes a loaded admin module by its first non-empty key, else appends it to the catch-all
// list; false (with the loader's line) when that key is taken. file: its "module-%d" value.
bool route_module(const vuved_module_desc* desc, const std::string& file);

// The listener's accept callback (bigbox master thread).
void on_accept(vor_bigbox* bb, void* ud, int64_t listen_sid, int64_t sid, const char* ip, uint16_t port);

// Closes a connection now: on_close of every module, then the record and the socket go.
// look_first: stop when the connection is already gone (the peer-close path skips the look).
void close_now(int64_t sid, bool look_first);

// Writer: frees every queued task of a connection (lock held).
void free_tasks(VuvedConnection* conn);
struct panelhttp_tasks* make_tasks();
void on_writable(vor_bigbox* bb, void* ud, int64_t sid);

// File cache.
bool filecache_read(const char* path, uint32_t from, uint32_t to, void* buffer, uint32_t* count);
void filecache_configure(cu_config* settings);
int64_t filecache_data_bytes();
using Clock = int64_t (*)();
void filecache_set_clock(Clock clock);  // seconds since 1970; tests inject their own
void filecache_set_limits(uint64_t max_cache, uint64_t max_block, int64_t period);
size_t filecache_entries();
bool filecache_holds(const char* path);  // an entry exists for the path

// Sessions.
int64_t session_bytes();
int64_t monotonic_ms();

// The walk over every admin module in close/exit order: uripath, filename, extname trees, catch-all.
template <typename Fn>
void for_each_module(Fn fn) {
  panelhttp_server* s = ctx()->server;
  for (auto* tree : {&s->uripaths, &s->filenames, &s->extnames}) {
    for (auto& [key, desc] : *tree) fn(desc);
  }
  for (const vuved_module_desc* desc : s->catch_all) fn(desc);
}

}  // namespace vor::panelhttp
