// What the request handler's own files share.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cu_config.h"
#include "cu_rtree.h"
#include "quo_plugin.h"
#include "edgeserv.h"
#include "http_parser.h"

namespace vor::upfetch {

// proxy.ini.
struct Settings {
  bool connect_by_upstream = false;
  bool host_statistics = true;
  int32_t x_quorin_mode = 1;
  bool open_proxy = false;
  bool show_invalid_requests = false;
  bool cache_info_log = false;
  uint32_t cache_info_period_ms = (3600 + 1) * 1000;
};
constexpr char kProxyIni[] = "../modules/zazudaza/proxy.ini";
// The settings of the file (NULL: the defaults).
Settings read_settings(cu_config* ini);

// Own and private IPv4 addresses.
class AddressTables {
 public:
  AddressTables();
  ~AddressTables();
  AddressTables(const AddressTables&) = delete;
  AddressTables& operator=(const AddressTables&) = delete;
  // The private ranges first, then each own address outside them (a range tree refuses a range
  // sharing a value with a stored one).
  void build(const std::vector<std::string>& own_addresses);
  bool is_own(const char* ip) const;
  bool is_private(const char* ip) const;

 private:
  cu_rtree* own_;
  cu_rtree* private_;
};
// The client's address text (at most 20 characters); nothing when it cannot be read.
std::optional<std::string> client_address(int64_t sid);
// This host's IPv4 addresses, at most 100.
std::vector<std::string> local_addresses();

// Whether a head bound for upstream gets the X-Quorin stamp. client: the client's address, or
// nothing when it cannot be read.
bool should_stamp(int32_t mode, const std::optional<std::string>& client, const char* upstream,
                  const AddressTables& tables);

// The accept slot's steps over the calls it makes, so that a test can stand in for them.
struct AcceptCalls {
  int32_t (*connections)();
  uint32_t (*max_connections)();
  uint32_t (*max_recv_buffer)();
  uint32_t (*max_send_buffer)();
  uint32_t (*request_timeout_s)();
  bool (*set_recv_buffer)(int64_t sid, int32_t bytes);
  bool (*set_send_buffer)(int64_t sid, int32_t bytes);
  void (*refuse_503)(int64_t sid, const char* text);  // queues the page and the close; nothing read after
  void (*close_later)(int64_t sid, uint32_t delay_ms);
};
uint8_t accept_connection(const AcceptCalls& calls, int64_t sid);
constexpr uint32_t kOverLimitCloseMs = 2000;
constexpr int32_t kMemoryLimitConnections = 60000;

// Statistics entries: client sid -> the proxy host and upstream its latest request counted under.
struct StatEntry {
  uint32_t user_id;
  uint32_t host_id;
};

// One instance for the life of the process.
struct Module {
  std::atomic<bool> display{true};
  std::atomic<edgeserv_ctx*> ctx{nullptr};
  Settings settings;  // written by init before any slot runs
  AddressTables addresses;
  std::mutex stats_lock;
  std::unordered_map<int64_t, StatEntry> stats;
  int32_t cache_info_timer = -1;
};
Module& module();

// Console line gated by display_console.
void display_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Console line and error line of the edge server's log.
void report_error(const char* text);

// The memory report lines (exit form: 32-bit sizes and MiB).
std::vector<std::string> exit_memory_report();
std::vector<std::string> cache_info_report();

// Calls into parts of the node that are not in this build yet; each a no-op default.
namespace seams {
// Hands the plug-in host's response walks (NULL: none) to the request filter.
void import_plugin_response_entries(quo_plugin_response_http_fn head, quo_plugin_response_content_fn body,
                                    quo_plugin_response_content_x_fn body_x);
void import_connect_by_upstream(bool value);
uint64_t reqgate_cache_size();
uint64_t memstore_cache_size();
uint64_t memstore_max_cache_size();
// The live request probes: (hit, refused, member) of a request.
void rtp_message(int64_t sid, uint8_t hit, uint8_t refused, uint8_t member, http_parser* request);
// Whether the region black list blocks the address (and the region white list lets it pass).
bool region_blocks(uint32_t address);
// Answers the request from the caches; true when it was answered. Fills the hit outputs.
bool hit_cache(int64_t sid, http_parser* request, const char* key, client_rec* client);
}  // namespace seams

}  // namespace vor::upfetch
