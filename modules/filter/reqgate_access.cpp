// The access log: settings and URL rules from access.ini, one line per logged request, a file
// per local day or hour, buffered writing flushed by a timer.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cu_config.h"
#include "cu_file.h"
#include "cu_lib.h"
#include "cu_log.h"
#include "cu_malloc.h"
#include "cu_util.h"
#include "edgeserv.h"
#include "policydb.h"
#include "reqgate_internal.h"
#include "vor_bigbox.h"
#include "vor_box.h"

namespace vor::reqgate {

namespace {

constexpr char kUnit[] = "zazudaza\\filter\\access";
constexpr const char* kIniPlaces[] = {"../config/zazudaza/access.ini", "../modules/zazudaza/access.ini"};
constexpr char kGroup[] = "access";
constexpr char kFolder[] = "../logs/access";
constexpr int kRuleKeys = 128;
constexpr size_t kHostMax = 199;
constexpr size_t kRefererMax = 4095;
constexpr size_t kUserAgentMax = 255;
constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct Fields {
  bool remote_ip = true;
  bool timestamp = true;
  bool host = false;
  bool request = true;
  bool referer = false;
  bool user_agent = false;
  bool cache_status = false;
};

struct AccessLog {
  std::mutex lock;  // the log, the timers' ids and the pending mark
  bool enabled = false;
  bool hourly = false;
  cu_log* log = nullptr;
  uint16_t flush_interval = 10;
  Fields fields;
  std::vector<xcache_rules*> rules;  // built at init, only read afterwards
  vor_box* flush_box = nullptr;      // made on the first buffered line
  int32_t flush_timer = -1;
  bool flush_pending = false;
  vor_box* master_box = nullptr;
  int32_t switch_timer = -1;
  AccessClock clock = edgeserv_mytime;
};

AccessLog& state() {
  static AccessLog* instance = new AccessLog();
  return *instance;
}

struct tm local_time(int64_t t) {
  struct tm tm {};
  if (!cu_localtime(&t, &tm)) tm = {};
  return tm;
}

// ---- settings ----

// A switch counts only when present with a value: its leading digits, non-zero for on.
void read_switch(cu_config* ini, const char* key, bool& field) {
  const char* v = cu_config_GetKey(ini, kGroup, key);
  if (v && *v) field = cu_atoll(v) != 0;
}

void read_fields(cu_config* ini, AccessLog& s) {
  read_switch(ini, "record__remote_ip", s.fields.remote_ip);
  read_switch(ini, "record__timestamp", s.fields.timestamp);
  read_switch(ini, "record__host", s.fields.host);
  read_switch(ini, "record__request", s.fields.request);
  read_switch(ini, "record__referer", s.fields.referer);
  read_switch(ini, "record__user_agent", s.fields.user_agent);
  read_switch(ini, "record__cache_status", s.fields.cache_status);
}

// The absolute value, kept to 16 bits (computed unsigned, so the most negative number is sound).
uint16_t read_flush_interval(cu_config* ini) {
  const char* v = cu_config_GetKey(ini, kGroup, "log__flush_interval");
  if (!v) return 10;
  const int64_t n = cu_atoll(v);
  const uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  return static_cast<uint16_t>(magnitude);
}

void read_rules(cu_config* ini, AccessLog& s) {
  char key[32];
  for (int i = 0; i < kRuleKeys; ++i) {
    std::snprintf(key, sizeof key, "log__request_url_%d", i);
    const char* text = cu_config_GetKey(ini, kGroup, key);
    if (!text) continue;
    // A rule that does not compile is left out.
    if (xcache_rules* rule = xcache_rules_make(text, 1, 1)) s.rules.push_back(rule);
  }
}

cu_config* open_settings() {
  for (const char* path : kIniPlaces) {
    if (cu_config* ini = cu_config_make(path)) return ini;
  }
  return nullptr;
}

// ---- files and their switch ----

// Resets what an earlier init left: its log, rules and switch timer.
void release(AccessLog& s) {
  if (s.switch_timer > 0 && s.master_box) vor_box_DeleteTimer(s.master_box, s.switch_timer);
  s.switch_timer = -1;
  for (xcache_rules* rule : s.rules) xcache_rules_free(rule);
  s.rules.clear();
  if (s.log) {
    cu_log_flush(s.log);
    cu_log_free(s.log);
  }
  s.log = nullptr;
}

void switch_fired(void*, void*, int32_t, int32_t) { access_rotate(); }

// Arms the once-timer of the next local midnight or full hour on the master box.
void schedule(AccessLog& s) {
  if (!s.master_box) return;
  if (s.switch_timer > 0) vor_box_DeleteTimer(s.master_box, s.switch_timer);
  s.switch_timer = vor_box_NewOnceTimer(s.master_box, access_switch_delay_ms(s.clock(), s.hourly), switch_fired,
                                        nullptr);
}

void flush_fired(void*, void*, int32_t, int32_t) {
  AccessLog& s = state();
  std::lock_guard hold(s.lock);
  if (s.flush_timer > 0 && s.flush_box) vor_box_DeleteTimer(s.flush_box, s.flush_timer);
  s.flush_timer = -1;
  s.flush_pending = false;
  cu_log_flush(s.log);
}

// A first unflushed line arms the flush, so a line reaches the disk within one interval.
void arm_flush(AccessLog& s) {
  if (s.flush_pending) return;
  if (!s.flush_box) s.flush_box = vorx_ThreadBox_create();
  if (!s.flush_box) return;
  s.flush_timer = vor_box_NewOnceTimer(s.flush_box, uint32_t{s.flush_interval} * 1000u, flush_fired, nullptr);
  s.flush_pending = s.flush_timer > 0;
}

void write_line(const char* line, size_t len) {
  AccessLog& s = state();
  std::lock_guard hold(s.lock);
  if (!s.enabled) return;
  if (s.flush_interval == 0) {
    cu_log_write(s.log, line, static_cast<int32_t>(len));
    return;
  }
  cu_log_write_NoFlush(s.log, line, static_cast<int32_t>(len));
  if (s.log) arm_flush(s);
}

// ---- the line ----

// Copies text with '"', '\' and control bytes (below 0x20, 0x7F) as \xHH, so a value can neither
// close its quotes early nor reach a terminal as a control sequence. Only whole characters are
// written; answers the bytes written into out (at most room).
size_t escape_into(std::string_view text, char* out, size_t room) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  size_t len = 0;
  for (unsigned char c : text) {
    const bool plain = c >= 0x20 && c != 0x7F && c != '"' && c != '\\';
    const size_t need = plain ? 1 : 4;
    if (len + need > room) break;
    if (plain) {
      out[len++] = static_cast<char>(c);
    } else {
      out[len++] = '\\';
      out[len++] = 'x';
      out[len++] = kHex[c >> 4];
      out[len++] = kHex[c & 0x0F];
    }
  }
  return len;
}

// A piece of the line: kept text (small, ours or already escaped) or a value escaped and cut.
struct Piece {
  std::string_view text;
  bool value;
};

// Writes the pieces into line (capacity bytes) and CR LF. A value is cut so that every kept
// piece after it still fits: the quotes, status and counts survive any long value.
size_t assemble(const std::vector<Piece>& pieces, char* line, size_t capacity) {
  const size_t room = capacity - 2;
  std::vector<size_t> kept_after(pieces.size() + 1, 0);
  for (size_t i = pieces.size(); i-- > 0;) {
    kept_after[i] = kept_after[i + 1] + (pieces[i].value ? 0 : pieces[i].text.size());
  }
  size_t len = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const size_t left = room - len;
    if (pieces[i].value) {
      const size_t reserved = std::min(kept_after[i + 1], left);
      len += escape_into(pieces[i].text, line + len, left - reserved);
    } else {
      const size_t n = std::min(pieces[i].text.size(), left);
      std::memcpy(line + len, pieces[i].text.data(), n);
      len += n;
    }
  }
  line[len++] = '\r';
  line[len++] = '\n';
  return len;
}

// "[%d/%b/%Y:%H:%M:%S %z]" with English month names and the local time's real offset.
std::string_view format_time(int64_t t, char* out, size_t size) {
  const struct tm tm = local_time(t);
  const long offset = tm.tm_gmtoff;
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  const int month = tm.tm_mon >= 0 && tm.tm_mon < 12 ? tm.tm_mon : 0;
  const int n = std::snprintf(out, size, "[%2.2d/%s/%d:%2.2d:%2.2d:%2.2d %c%2.2ld%2.2ld]", tm.tm_mday, kMonths[month],
                              tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+',
                              minutes / 60, minutes % 60);
  return {out, n > 0 ? std::min(static_cast<size_t>(n), size - 1) : 0};
}

// A header's value, at most max characters; empty when absent.
std::string_view header_value(http_parser* request, const char* name, char* buffer, size_t max) {
  if (!request || !http_parser_GetKey(request, name, buffer, static_cast<int32_t>(max + 1))) return {};
  return {buffer, strnlen(buffer, max)};
}

// The request line: the head up to its first CR LF.
std::string_view request_line(http_parser* request) {
  const char* head = request ? http_parser_GetStr(request) : nullptr;
  if (!head) return {};
  const char* end = std::strstr(head, "\r\n");
  return end ? std::string_view(head, static_cast<size_t>(end - head)) : std::string_view(head);
}

void add_quoted(std::vector<Piece>& pieces, std::string_view value) {
  pieces.push_back({" \"", false});
  pieces.push_back({value, true});
  pieces.push_back({"\"", false});
}

// The bigbox of the edge server, or NULL.
vor_bigbox* edge_bigbox() {
  edgeserv_ctx* ctx = edge_context();
  return ctx && ctx->daemon ? ctx->daemon->bigbox : nullptr;
}

void log_request(int64_t client_sid, http_parser* request, const char* status, uint64_t bytes,
                 const char* cache_status) {
  char ip[64] = "0.0.0.0";
  vor_bigbox* bb = edge_bigbox();
  if (bb && !vor_bigbox_GetSockIP(bb, client_sid, ip, sizeof ip - 1, nullptr)) std::strcpy(ip, "0.0.0.0");
  auto* line = static_cast<char*>(_cu_malloc(kAccessLineSize, kUnit, __LINE__));
  if (line) access_line(ip, request, status, bytes, cache_status, line);
}

}  // namespace

void access_init(vor_box* master_box) {
  AccessLog& s = state();
  std::lock_guard hold(s.lock);
  release(s);
  s.fields = Fields{};
  s.flush_interval = 10;
  s.hourly = false;
  s.master_box = master_box;
  s.enabled = true;
  cu_config* ini = open_settings();
  if (!ini) return;
  const char* model = cu_config_GetKey(ini, kGroup, "GenerateLogIntervalModel");
  s.hourly = model && std::strtoull(model, nullptr, 10) != 0;
  s.log = cu_log_malloc(access_file_name(s.clock(), s.hourly).c_str());
  schedule(s);
  read_fields(ini, s);
  s.flush_interval = read_flush_interval(ini);
  read_rules(ini, s);
  cu_config_free(ini);
}

void access_exit() {
  AccessLog& s = state();
  std::lock_guard hold(s.lock);
  cu_log_flush(s.log);
}

bool access_wanted(const char* url) {
  if (!url) return false;
  for (xcache_rules* rule : state().rules) {
    if (xcache_rules_ishit(rule, url)) return true;
  }
  return false;
}

size_t access_format(char* line, const char* ip, http_parser* request, const char* status, uint64_t bytes,
                     const char* cache_status) {
  const Fields f = state().fields;
  std::vector<Piece> pieces;
  pieces.reserve(24);
  if (f.remote_ip) pieces.push_back({ip ? std::string_view(ip).substr(0, 63) : "", false});
  char time_text[64];
  if (f.timestamp) {
    pieces.push_back({" - - ", false});
    pieces.push_back({format_time(state().clock(), time_text, sizeof time_text), false});
  }
  char host[kHostMax + 1];
  if (f.host) add_quoted(pieces, header_value(request, "Host", host, kHostMax));
  char status_text[64];
  char count[24];
  if (f.request) {
    add_quoted(pieces, request_line(request));
    pieces.push_back({" ", false});
    // The status comes from the upstream: escaped like the quoted values.
    const size_t n = escape_into(std::string_view(status ? status : "").substr(0, 8), status_text, sizeof status_text);
    pieces.push_back({{status_text, n}, false});
    std::snprintf(count, sizeof count, " %" PRIu64, bytes);
    pieces.push_back({count, false});
  }
  char referer[kRefererMax + 1];
  if (f.referer) add_quoted(pieces, header_value(request, "Referer", referer, kRefererMax));
  char agent[kUserAgentMax + 1];
  if (f.user_agent) add_quoted(pieces, header_value(request, "User-Agent", agent, kUserAgentMax));
  char cache_text[40];
  if (f.cache_status) {
    const std::string_view text = cache_status ? std::string_view(cache_status).substr(0, 8) : "";
    pieces.push_back({" \"", false});
    pieces.push_back({{cache_text, escape_into(text, cache_text, sizeof cache_text)}, false});
    pieces.push_back({"\"", false});
  }
  return assemble(pieces, line, kAccessLineSize);
}

void access_line(const char* ip, http_parser* request, const char* status, uint64_t bytes, const char* cache_status,
                 char* line) {
  if (!line) return;
  const size_t len = access_format(line, ip, request, status, bytes, cache_status);
  write_line(line, len);
  _cu_free(line, kUnit, __LINE__);
}

void access_log_miss(FilterRecord& record) {
  if (policydb_system_get_UnenableAccessLog()) return;
  if (!access_wanted(record.decision.cache_key.c_str()) || !record.response) return;
  char status[4];
  if (!http_parser_GetStatus(record.response, status, sizeof status)) return;
  log_request(record.client_sid, record.request, status, record.bytes_received, "MISS");
}

void access_log_hit(int64_t client_sid, http_parser* request, const char* cache_key, const char* status,
                    uint64_t bytes) {
  if (policydb_system_get_UnenableAccessLog() || !access_wanted(cache_key)) return;
  log_request(client_sid, request, status, bytes, "HIT");
}

void access_rotate() {
  AccessLog& s = state();
  std::lock_guard hold(s.lock);
  cu_log_rename(s.log, access_file_name(s.clock(), s.hourly).c_str());
  schedule(s);
}

std::string access_file_name(int64_t t, bool hourly) {
  cu_dir1_make(kFolder);
  const struct tm tm = local_time(t);
  char name[96];
  if (hourly) {
    std::snprintf(name, sizeof name, "%s/access-%d-%2.2d-%2.2d-%2.2d.log", kFolder, tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour);
  } else {
    std::snprintf(name, sizeof name, "%s/access-%d-%2.2d-%2.2d.log", kFolder, tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday);
  }
  return name;
}

uint32_t access_switch_delay_ms(int64_t t, bool hourly) {
  const struct tm tm = local_time(t);
  const int minutes = hourly ? 60 - tm.tm_min : (24 - tm.tm_hour) * 60 - tm.tm_min;
  const int seconds = minutes * 60 - tm.tm_sec;
  return seconds > 0 ? static_cast<uint32_t>(seconds) * 1000u : 1000u;
}

void set_access_clock(AccessClock clock) { state().clock = clock ? clock : edgeserv_mytime; }

}  // namespace vor::reqgate
