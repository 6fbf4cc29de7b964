// Proxy hosts and upstreams: loading with row checks and the setup log, the upstream choice of
// the request path, down marking, and the admin API's changes (database first, memory second).
//
// Locks: every change holds the database lock throughout and the proxy lock only while it reads
// or changes memory; the request path, down marking and enabling upstreams take the proxy lock
// alone. Memory that a change looked at cannot change meanwhile, since every change holds the
// database lock.
#include "policydb_proxy.h"

#include "cu_config.h"
#include "cu_lib.h"
#include "policydb.h"
#include "policydb_family.h"
#include "policydb_internal.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <unordered_map>
#include <utility>

namespace policydb::proxy {

Context& Context::operator=(Context&& other) noexcept {
  if (this != &other) {
    if (handle && release) release(handle);
    handle = std::exchange(other.handle, nullptr);
    release = other.release;
  }
  return *this;
}

Context::~Context() {
  if (handle && release) release(handle);
}

namespace {

constexpr char kProxyIni[] = "../modules/zazudaza/proxy.ini";
constexpr uint32_t kDefaultCheckInterval = 60;

// --- table shapes: row checks and migrations ------------------------------------------------

constexpr family::Column kProxyColumns[] = {
    {"balance", true, true, INT32_MIN, INT32_MAX},
    {"host", false, true, 0, 0},
    {"note", false, false, 0, 0},
    {"unable", true, false, INT32_MIN, INT32_MAX},
    {"ssl_opt", true, false, INT32_MIN, INT32_MAX},
    {"ssl_crt_content", false, false, 0, 0},
    {"ssl_key_content", false, false, 0, 0},
    {"ssl_extra_params", false, false, 0, 0},
};
constexpr family::Migration kProxyMigrations[] = {
    {"unable", "alter table upfetch add unable int default '0' not null"},
    {"ssl_opt", "alter table upfetch add ssl_opt int default '0' not null"},
    {"ssl_crt_content", "alter table upfetch add ssl_crt_content text"},
    {"ssl_key_content", "alter table upfetch add ssl_key_content text"},
    {"ssl_extra_params", "alter table upfetch add ssl_extra_params text"},
};
constexpr family::Shape kProxyShape = {
    "upfetch", "proxy", "wid", false, 10000, kProxyColumns, 8, nullptr, 0, kProxyMigrations, 5,
    "[zazudaza -> config] read 'upfetch' table error!\r\n", nullptr, nullptr, nullptr, nullptr,
    "Config -> ProxyList:\r\n", "+--+----------------------------------+----------+-----+\r\n",
    "|NO|Extern Host                       |Balance   |Wid  |\r\n"};

// Cell 0 of an upstream row is its proxy's wid, so row messages name that wid.
constexpr family::Column kUpstreamColumns[] = {
    {"host", false, true, 0, 0},
    {"weight", true, true, INT32_MIN, INT32_MAX},
    {"upstreamid", true, false, INT32_MIN, INT32_MAX},
    {"note", false, false, 0, 0},
    {"ssl_opt", true, false, INT32_MIN, INT32_MAX},
    {"ssl_crt_content", false, false, 0, 0},
    {"ssl_key_content", false, false, 0, 0},
    {"ssl_extra_params", false, false, 0, 0},
};
constexpr family::Migration kUpstreamMigrations[] = {
    {"ssl_opt", "alter table wc_upstream add ssl_opt int default '0' not null"},
    {"ssl_crt_content", "alter table wc_upstream add ssl_crt_content text"},
    {"ssl_key_content", "alter table wc_upstream add ssl_key_content text"},
    {"ssl_extra_params", "alter table wc_upstream add ssl_extra_params text"},
};
constexpr family::Shape kUpstreamShape = {
    "wc_upstream", "upstream", "wid", false, 1000, kUpstreamColumns, 8, nullptr, 0, kUpstreamMigrations, 4,
    "[zazudaza -> config] read 'wc_upstream' table error!\r\n", nullptr, nullptr, nullptr, nullptr,
    "Config -> ProxyList -> UpstreamList:\r\n", "+--+----------------------------------+------+-----+\r\n",
    "|NO|Upstream Host                     |Weight|Wid  |\r\n"};

// Balance words of the setup log, in GBK.
const char* balance_word(uint8_t balance) {
  static const char* const kWords[] = {"\xC2\xD6\xD1\xAF", "IP\xB9\xFE\xCF\xA3", "URL\xB9\xFE\xCF\xA3"};
  return balance < 3 ? kWords[balance] : "";
}

// --- the store --------------------------------------------------------------------------------

// Looks up a request's host text without making a string of it (the request path allocates nothing).
struct HostHash {
  using is_transparent = void;
  size_t operator()(std::string_view host) const { return std::hash<std::string_view>{}(host); }
};

struct Store {
  std::atomic<cu_sem*> lock{nullptr};
  std::atomic<cu_sem*> check_lock{nullptr};
  std::atomic<uint32_t> check_interval{kDefaultCheckInterval};
  std::vector<std::unique_ptr<Proxy>> list;  // load order, new proxies appended
  std::unordered_map<uint32_t, Proxy*> by_wid;
  std::unordered_map<std::string, Proxy*, HostHash, std::equal_to<>> by_host;  // lowercased host
  std::vector<Proxy*> wildcards;                     // the wildcard proxies, in list order
  std::atomic<size_t> count{0};

  // Rebuilt after every change of the list or of a host, under the proxy lock.
  void reindex() {
    by_wid.clear();
    by_host.clear();
    wildcards.clear();
    for (const auto& p : list) {
      by_wid[p->wid] = p.get();
      by_host.emplace(p->host, p.get());
      if (p->wildcard) wildcards.push_back(p.get());
    }
    count.store(list.size(), std::memory_order_relaxed);
  }
  Proxy* find(uint32_t wid) const {
    const auto it = by_wid.find(wid);
    return it == by_wid.end() ? nullptr : it->second;
  }
};

Store& store() {
  static Store s;
  return s;
}

// The proxy lock for one scope; held() is false before the loader made the lock.
class ProxyLock {
 public:
  ProxyLock() : lock_(store().lock.load(std::memory_order_acquire)) {
    if (lock_) cu_sem_lock(lock_);
  }
  ~ProxyLock() {
    if (lock_) cu_sem_unlock(lock_);
  }
  ProxyLock(const ProxyLock&) = delete;
  ProxyLock& operator=(const ProxyLock&) = delete;
  bool held() const { return lock_ != nullptr; }

 private:
  cu_sem* lock_;
};

bool have_proxies() { return store().count.load(std::memory_order_relaxed) > 0; }

std::string lowered(const char* text) {
  std::string s = text ? text : "";
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool same_host(const std::string& a, const char* b) { return b && cu_stricmp(a.c_str(), b) == 0; }

std::unique_ptr<cu_pattern, WildcardFree> wildcard_of(const std::string& host) {
  if (host.find_first_of("*?") == std::string::npos) return nullptr;
  return std::unique_ptr<cu_pattern, WildcardFree>(cu_pattern_make(host.c_str()));
}

Text text_of(const char* text) { return text ? Text(text) : std::nullopt; }
bool filled(const char* text) { return text && *text; }

void fresh_counters(Counters& c) {
  c = Counters{};
  c.start = edgeserv_mytime();
}

// --- the upstream choice ----------------------------------------------------------------------

struct Outputs {
  uint32_t* wid;
  uint32_t* upstreamid;
  uint32_t* proxy_ssl_opt;
  uint32_t* upstream_ssl_opt;
};

bool host_matches(const Proxy& p, const char* host) {
  if (p.wildcard) return cu_pattern_match_istring(p.wildcard.get(), host) != 0;
  return same_host(p.host, host);
}

// The position among n candidates for the proxy's balance; -1 for an unknown balance.
int64_t position_of(Proxy& p, const char* client, const char* url, size_t n) {
  int32_t h = 0;
  switch (p.balance) {
    case 0: return static_cast<int64_t>(p.counters.requests % n);
    case 1: h = hash_of(client); break;
    case 2: h = hash_of(url); break;
    default: return -1;
  }
  // abs(INT32_MIN) does not fit: that one hash selects the first candidate.
  if (h == INT32_MIN) return 0;
  return std::abs(h) % static_cast<int64_t>(n);
}

void write_host(const Upstream& u, const char* request_host, char* buffer, int32_t len) {
  if (u.host.find('$') != std::string::npos) {
    expand_host(u.host, request_host, buffer, len);
    return;
  }
  const size_t n = std::min(u.host.size(), static_cast<size_t>(len - 1));
  std::memcpy(buffer, u.host.data(), n);
  buffer[n] = '\0';
}

// One proxy's answer for a request (the proxy lock held).
bool answer(Proxy& p, const char* host, const char* client, const char* url, char* buffer, int32_t len,
            const Outputs& out) {
  if (p.disabled || p.balance > 2) return false;
  size_t enabled = 0;
  size_t usable = 0;
  for (const Upstream& u : p.upstreams) {
    if (u.disabled) continue;
    ++enabled;
    if (!u.down) ++usable;
  }
  if (enabled == 0 || !host_matches(p, host)) return false;
  const size_t n = usable > 0 ? usable : enabled;
  const int64_t at = n == 1 ? 0 : position_of(p, client, url, n);
  if (at < 0) return false;
  Upstream* chosen = nullptr;
  int64_t seen = 0;
  for (Upstream& u : p.upstreams) {
    if (u.disabled || (usable > 0 && u.down)) continue;
    if (seen++ == at) {
      chosen = &u;
      break;
    }
  }
  if (!chosen) return false;
  if (chosen->host.find("$0") != std::string::npos && !host_fits_template(host)) return false;
  write_host(*chosen, host, buffer, len);
  if (out.wid) *out.wid = p.wid;
  if (out.upstreamid) *out.upstreamid = chosen->upstreamid;
  if (out.proxy_ssl_opt) *out.proxy_ssl_opt = static_cast<uint32_t>(p.tls.ssl_opt);
  if (out.upstream_ssl_opt) *out.upstream_ssl_opt = static_cast<uint32_t>(chosen->tls.ssl_opt);
  ++p.counters.requests;
  ++chosen->counters.requests;
  return true;
}

bool has_capitals(const char* text) {
  for (const char* c = text; *c; ++c) {
    if (*c >= 'A' && *c <= 'Z') return true;
  }
  return false;
}

bool choose(const char* host, const char* client, const char* url, char* buffer, int32_t len, const Outputs& out) {
  if (!have_proxies() || !host || !client || !url || !buffer || len < 1) return false;
  ProxyLock lock;
  Store& s = store();
  const auto hit = s.by_host.find(std::string_view(host));
  if (hit != s.by_host.end()) return answer(*hit->second, host, client, url, buffer, len, out);
  // Stored hosts are lowercased and unique: a host without capitals that misses the index can
  // only match a wildcard proxy.
  if (!has_capitals(host)) {
    for (Proxy* p : s.wildcards) {
      if (answer(*p, host, client, url, buffer, len, out)) return true;
    }
    return false;
  }
  for (const auto& p : s.list) {
    if (answer(*p, host, client, url, buffer, len, out)) return true;
  }
  return false;
}

// --- down marking -----------------------------------------------------------------------------

void mark(const Proxy& p, Upstream& u, bool down) {
  if (!down) {
    u.down = false;
    u.down_time = 0;
    return;
  }
  if (!u.down) u.down_time = edgeserv_mytime();
  u.down = true;
  if (module().display.load(std::memory_order_relaxed)) {
    console(("[" + p.host + " -> " + u.host + "] upstream is down!\r\n").c_str());
  }
}

Upstream* find_upstream(Proxy* p, uint32_t upstreamid) {
  if (!p) return nullptr;
  for (Upstream& u : p->upstreams) {
    if (u.upstreamid == upstreamid) return &u;
  }
  return nullptr;
}

// --- TLS contexts -----------------------------------------------------------------------------

// A proxy's server context for ssl_opt 1 or 2 (certificate and key required); false when it
// cannot be built.
bool proxy_context(int32_t ssl_opt, const char* crt, const char* key, const char* extra, Context& context) {
  if (ssl_opt == 0) return true;
  if (!filled(crt) || !filled(key)) return false;
  const seams::TlsBuilders& b = seams::tls();
  int32_t error = 0;
  void* handle = b.proxy_new(crt, key, extra, &error);
  if (!handle) return false;
  context = Context(handle, b.proxy_free);
  return true;
}

// An upstream's client context for ssl_opt 1 or 2; without one, ssl_opt 1 fails and ssl_opt 2
// goes on without TLS towards the upstream.
bool upstream_context(int32_t ssl_opt, const char* crt, const char* key, const char* extra, Context& context) {
  if (ssl_opt == 0) return true;
  const seams::TlsBuilders& b = seams::tls();
  int32_t error = 0;
  void* handle = b.upstream_new(crt, key, extra, &error);
  if (handle) context = Context(handle, b.upstream_free);
  return handle != nullptr || ssl_opt == 2;
}

TlsTexts texts(int32_t ssl_opt, const char* crt, const char* key, const char* extra) {
  return {ssl_opt, text_of(crt), text_of(key), text_of(extra)};
}

// --- loading ----------------------------------------------------------------------------------

// The cells of one result row; false when any cannot be read.
bool read_cells(const vor_sqlite_result* r, int32_t row, int32_t width, std::vector<const char*>& cells) {
  cells.assign(static_cast<size_t>(width), nullptr);
  for (int32_t c = 0; c < width; ++c) {
    if (!cell(r, c, row, &cells[c])) return false;
  }
  return true;
}

void setup_table(const family::Shape& shape, bool blank_line) {
  if (!setup_log_open()) return;
  setup_log_write("%s%s%s%s%s", blank_line ? "\r\n" : "", shape.heading, shape.ruled, shape.heads, shape.ruled);
}

// The TLS settings of a loaded proxy row: any failure leaves ssl_opt 0.
void load_proxy_tls(const family::Row& row, Proxy& p) {
  const char* crt = row.text(5);
  const char* key = row.text(6);
  int32_t ssl_opt = row.number(4);
  if (ssl_opt == 1 || ssl_opt == 2) {
    if (!filled(crt)) {
      report_error("[zazudaza -> config] 'upfetch'->'ssl_crt_content=NULL' error(wid=%s)!\r\n", row.id_text());
      ssl_opt = 0;
    } else if (!filled(key)) {
      report_error("[zazudaza -> config] 'upfetch'->'ssl_key_content=NULL' error(wid=%s)!\r\n", row.id_text());
      ssl_opt = 0;
    } else if (!proxy_context(ssl_opt, crt, key, row.text(7), p.context)) {
      ssl_opt = 0;
    }
  } else {
    ssl_opt = 0;
  }
  p.tls = texts(ssl_opt, crt, key, row.text(7));
}

void load_upstreams(Proxy& p, const char* wid_text) {
  Result r = exec_format(
      "select wid, host, weight, upstreamid, note, ssl_opt, ssl_crt_content, ssl_key_content, ssl_extra_params"
      " from wc_upstream where wid=%s order by upstreamid limit %d",
      wid_text, kUpstreamShape.limit);
  if (!r) {
    report_error("%s", kUpstreamShape.read_error);
    return;
  }
  setup_table(kUpstreamShape, false);
  std::vector<const char*> cells;
  for (int32_t i = 0; i < rows(r.get()); ++i) {
    if (!read_cells(r.get(), i, 9, cells)) continue;
    family::Row row(kUpstreamShape, cells);
    if (!family::columns_pass(kUpstreamShape, row)) continue;
    Upstream u;
    u.upstreamid = static_cast<uint32_t>(row.number(2));
    u.wid = p.wid;
    u.host = lowered(row.text(0));
    u.weight = static_cast<uint32_t>(row.number(1));
    u.note = row.text(3) ? row.text(3) : "";
    // At load every upstream whose context cannot be built falls back to ssl_opt 0.
    int32_t ssl_opt = row.number(4);
    if (ssl_opt < 0 || ssl_opt > 2) ssl_opt = 0;
    upstream_context(ssl_opt, row.text(5), row.text(6), row.text(7), u.context);
    if (!u.context.handle) ssl_opt = 0;
    u.tls = texts(ssl_opt, row.text(5), row.text(6), row.text(7));
    fresh_counters(u.counters);
    p.upstreams.push_back(std::move(u));
    if (setup_log_open()) {
      const Upstream& held = p.upstreams.back();
      setup_log_write("|%-2.2s|%-34.34s|%-6.6s|%-5.5s|\r\n%s", std::to_string(p.upstreams.size()).c_str(),
                      held.host.c_str(), std::to_string(held.weight).c_str(), wid_text, kUpstreamShape.ruled);
    }
  }
}

std::vector<std::unique_ptr<Proxy>> load_rows() {
  std::vector<std::unique_ptr<Proxy>> loaded;
  DbLock db_lock;
  family::migrate(kProxyShape);
  family::migrate(kUpstreamShape);
  Result r = exec(family::load_sql(kProxyShape).c_str());
  if (!r) {
    report_error("%s", kProxyShape.read_error);
    return loaded;
  }
  std::vector<const char*> cells;
  for (int32_t i = 0; i < rows(r.get()); ++i) {
    if (!read_cells(r.get(), i, 1 + kProxyShape.column_count, cells)) continue;
    family::Row row(kProxyShape, cells);
    if (!row.id_text() || !family::columns_pass(kProxyShape, row)) continue;
    auto p = std::make_unique<Proxy>();
    p->wid = row.id();
    p->host = lowered(row.text(1));
    p->wildcard = wildcard_of(p->host);
    p->balance = static_cast<uint8_t>(row.number(0));
    p->note = row.text(2) ? row.text(2) : "";
    p->disabled = row.number(3) != 0;
    load_proxy_tls(row, *p);
    fresh_counters(p->counters);
    if (setup_log_open()) {
      setup_table(kProxyShape, true);
      setup_log_write("|%-2.2s|%-34.34s|%-10.10s|%-5.5s|\r\n%s", std::to_string(loaded.size() + 1).c_str(),
                      p->host.c_str(), balance_word(p->balance), row.id_text(), kProxyShape.ruled);
    }
    load_upstreams(*p, row.id_text());
    loaded.push_back(std::move(p));
  }
  return loaded;
}

uint32_t read_check_interval() {
  cu_config* ini = cu_config_make(kProxyIni);
  const char* v = ini ? cu_config_GetKey(ini, "system", "upstream_down_for_expire") : nullptr;
  const uint32_t seconds = v ? static_cast<uint32_t>(strtoul(v, nullptr, 10)) : kDefaultCheckInterval;
  cu_config_free(ini);
  return seconds;
}

// --- changes ----------------------------------------------------------------------------------

bool valid_ssl_opt(int32_t ssl_opt) { return ssl_opt >= 0 && ssl_opt <= 2; }

// Runs the statements in one named transaction; any failure rolls back and answers false.
bool in_transaction(const char* name, std::initializer_list<std::string> statements) {
  if (!exec_format("BEGIN TRANSACTION %s", name)) return false;
  for (const std::string& sql : statements) {
    if (!exec(sql.c_str())) {
      exec("ROLLBACK");
      return false;
    }
  }
  // A failed END is rolled back by the database wrapper.
  return exec_format("END TRANSACTION %s", name) != nullptr;
}

std::string quote(const char* text) { return "'" + escape(text ? text : "") + "'"; }

}  // namespace

// --- shared with the tests --------------------------------------------------------------------

void expand_host(std::string_view tmpl, std::string_view host, char* out, int32_t len) {
  if (!out || len < 1) return;
  size_t room = static_cast<size_t>(len - 1);
  size_t at = 0;
  // Appends a piece; a piece that does not fit is cut to the room left and ends the text.
  const auto put = [&](std::string_view piece) {
    const size_t n = std::min(piece.size(), room);
    std::memcpy(out + at, piece.data(), n);
    at += n;
    room -= n;
    return n == piece.size();
  };
  size_t from = 0;
  for (;;) {
    const size_t dollar = tmpl.find('$', from);
    if (dollar == std::string_view::npos) {
      put(tmpl.substr(from));
      break;
    }
    if (!put(tmpl.substr(from, dollar - from))) break;
    const char next = dollar + 1 < tmpl.size() ? tmpl[dollar + 1] : '\0';
    if (next == '0') {
      if (!put(host)) break;
      from = dollar + 2;
    } else if (next >= '1' && next <= '9') {
      from = dollar + 2;
    } else {
      if (!put("$")) break;
      from = dollar + 1;
    }
  }
  out[at] = '\0';
}

bool host_fits_template(std::string_view host) {
  const size_t colon = host.find(':');
  const std::string_view name = host.substr(0, colon);
  if (name.empty()) return false;
  for (char c : name) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '.' || c == '-')) return false;
  }
  if (colon == std::string_view::npos) return true;
  const std::string_view port = host.substr(colon + 1);
  return !port.empty() && std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int32_t hash_of(const char* text) {
  uint32_t h = 0;
  for (const char* c = text; c && *c; ++c) h = h * 31u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(*c)));
  return static_cast<int32_t>(h);
}

bool with_upstream(uint32_t wid, uint32_t upstreamid, const std::function<void(Upstream&)>& fn) {
  if (!have_proxies() || wid == UINT32_MAX) return false;
  ProxyLock lock;
  Upstream* u = find_upstream(store().find(wid), upstreamid);
  if (!u) return false;
  fn(*u);
  return true;
}

bool with_named_proxy(const std::string& name, const std::function<void(Proxy&)>& fn) {
  if (!have_proxies()) return false;
  ProxyLock lock;
  Store& s = store();
  const auto hit = s.by_host.find(name);
  Proxy* chosen = hit != s.by_host.end() ? hit->second : nullptr;
  for (size_t i = 0; !chosen && i < s.list.size(); ++i) {
    if (host_matches(*s.list[i], name.c_str())) chosen = s.list[i].get();
  }
  if (!chosen) return false;
  fn(*chosen);
  return true;
}

void load() {
  Store& s = store();
  if (!s.lock.load()) s.lock.store(cu_sem_malloc());
  if (!s.check_lock.load()) s.check_lock.store(cu_sem_malloc());
  seams::register_ctx_reset();
  s.check_interval.store(read_check_interval());
  if (!db()) return;
  std::vector<std::unique_ptr<Proxy>> loaded = load_rows();
  ProxyLock lock;
  s.list = std::move(loaded);
  s.reindex();
}

void reset() {
  ProxyLock lock;
  store().list.clear();
  store().reindex();
}

uint32_t down_check_interval() { return store().check_interval.load(); }
cu_sem* check_lock() { return store().check_lock.load(); }

// --- the operations behind the exports ----------------------------------------------------------

namespace {

bool append_proxy(const char* host, uint8_t balance, const char* note, int32_t ssl_opt, const char* crt,
                  const char* key, const char* extra, uint32_t* wid) {
  if (!db() || !host || balance > 2 || !valid_ssl_opt(ssl_opt)) return false;
  auto p = std::make_unique<Proxy>();
  if (!proxy_context(ssl_opt, crt, key, extra, p->context)) return false;
  p->host = lowered(host);
  p->wildcard = wildcard_of(p->host);
  p->balance = balance;
  p->note = note ? note : "";
  p->tls = texts(ssl_opt, crt, key, extra);
  fresh_counters(p->counters);
  DbLock db_lock;
  if (!db_lock.held()) return false;
  if (!exec_format("insert into upfetch(host, balance, note, ssl_opt, ssl_crt_content, ssl_key_content, "
                   "ssl_extra_params) values(%s, %u, %s, %u, %s, %s, %s)",
                   quote(host).c_str(), balance, quote(note).c_str(), static_cast<uint32_t>(ssl_opt),
                   quote(crt).c_str(), quote(key).c_str(), quote(extra).c_str())) {
    report_error("[zazudaza -> config] insert 'upfetch' table error(host=%s)!\r\n", host);
    ProxyLock lock;
    const auto existing = store().by_host.find(p->host);
    if (existing != store().by_host.end() && wid) *wid = existing->second->wid;
    return false;
  }
  Result r = exec_format("select max(wid) from upfetch where host=%s limit 1", quote(host).c_str());
  const char* id = nullptr;
  if (!r || !cell(r.get(), 0, 0, &id) || !id) {
    report_error("%s", "[zazudaza -> config] select 'upfetch' table error(max(wid))!\r\n");
    return false;
  }
  p->wid = static_cast<uint32_t>(family::number_of(id));
  if (wid) *wid = p->wid;
  ProxyLock lock;
  store().list.push_back(std::move(p));
  store().reindex();
  return true;
}

bool modify_proxy(uint32_t wid, const char* host, uint8_t balance, const char* note, int32_t ssl_opt, const char* crt,
                  const char* key, const char* extra) {
  if (!db() || !host || balance > 2 || !valid_ssl_opt(ssl_opt)) return false;
  Context context;
  if (!proxy_context(ssl_opt, crt, key, extra, context)) return false;
  DbLock db_lock;
  if (!db_lock.held()) return false;
  Result r = exec_format("update upfetch set host=%s, balance=%u, note=%s, ssl_opt=%u, ssl_crt_content=%s, "
                         "ssl_key_content=%s, ssl_extra_params=%s where wid=%u",
                         quote(host).c_str(), balance, quote(note).c_str(), static_cast<uint32_t>(ssl_opt),
                         quote(crt).c_str(), quote(key).c_str(), quote(extra).c_str(), wid);
  if (!r) {
    report_error("[zazudaza -> config] update 'upfetch' table error(wid=%u, host=%s)!\r\n", wid, host);
    return false;
  }
  if (rows(r.get()) == 0) return false;
  ProxyLock lock;
  Proxy* p = store().find(wid);
  if (!p) return true;
  if (!same_host(p->host, host)) {
    p->host = lowered(host);
    p->wildcard = wildcard_of(p->host);
    fresh_counters(p->counters);
  }
  p->balance = balance;
  p->note = note ? note : "";
  p->tls = texts(ssl_opt, crt, key, extra);
  p->context = std::move(context);
  store().reindex();
  return true;
}

bool delete_proxy(uint32_t wid) {
  if (!db()) return false;
  DbLock db_lock;
  if (!db_lock.held()) return false;
  if (!in_transaction("proxy_delete", {"delete from wc_upstream where wid=" + std::to_string(wid),
                                       "delete from upfetch where wid=" + std::to_string(wid)})) {
    return false;
  }
  ProxyLock lock;
  auto& list = store().list;
  list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& p) { return p->wid == wid; }), list.end());
  store().reindex();
  return true;
}

bool clean_proxies() {
  if (!db()) return false;
  DbLock db_lock;
  if (!db_lock.held()) return false;
  if (!in_transaction("proxy_clean", {"delete from wc_upstream", "delete from upfetch"})) return false;
  ProxyLock lock;
  store().list.clear();
  store().reindex();
  return true;
}

// Enables or disables the first proxy that pick selects; the row first.
template <typename Pick>
bool enable_proxy(bool on, Pick pick) {
  if (!db() || !have_proxies()) return false;
  DbLock db_lock;
  uint32_t wid = 0;
  {
    ProxyLock lock;
    const auto& list = store().list;
    const auto it = std::find_if(list.begin(), list.end(), [&](const auto& p) { return pick(*p); });
    if (it == list.end() || (*it)->disabled == !on) return true;
    wid = (*it)->wid;
  }
  if (!exec_format("update upfetch set unable=%d where wid=%u", on ? 0 : 1, wid)) return false;
  ProxyLock lock;
  if (Proxy* p = store().find(wid)) p->disabled = !on;
  return true;
}

bool append_upstream(uint32_t wid, const char* host, uint32_t weight, const char* note, int32_t ssl_opt,
                     const char* crt, const char* key, const char* extra, uint32_t* upstreamid) {
  if (!db() || !host || !valid_ssl_opt(ssl_opt)) return false;
  Upstream u;
  if (!upstream_context(ssl_opt, crt, key, extra, u.context)) return false;
  u.wid = wid;
  u.host = lowered(host);
  u.weight = weight;
  u.note = note ? note : "";
  u.tls = texts(ssl_opt, crt, key, extra);
  fresh_counters(u.counters);
  DbLock db_lock;
  if (!db_lock.held()) return false;
  {
    ProxyLock lock;
    if (!store().find(wid)) return false;
  }
  if (!exec_format("insert into wc_upstream(wid, host, weight, note, ssl_opt, ssl_crt_content, ssl_key_content, "
                   "ssl_extra_params) values(%u, %s, %u, %s, %u, %s, %s, %s)",
                   wid, quote(host).c_str(), weight, quote(note).c_str(), static_cast<uint32_t>(ssl_opt),
                   quote(crt).c_str(), quote(key).c_str(), quote(extra).c_str())) {
    report_error("[zazudaza -> config] insert 'wc_upstream' table error(host=%s)!\r\n", host);
    return false;
  }
  Result r = exec_format("select max(upstreamid) from wc_upstream where wid=%u and host=%s limit 1", wid,
                         quote(host).c_str());
  const char* id = nullptr;
  if (!r || !cell(r.get(), 0, 0, &id) || !id) {
    report_error("%s", "[zazudaza -> config] select 'wc_upstream' table error(max(upstreamid))!\r\n");
    return false;
  }
  u.upstreamid = static_cast<uint32_t>(family::number_of(id));
  if (upstreamid) *upstreamid = u.upstreamid;
  ProxyLock lock;
  if (Proxy* p = store().find(wid)) p->upstreams.push_back(std::move(u));
  return true;
}

bool modify_upstream(uint32_t upstreamid, uint32_t wid, const char* host, uint32_t weight, const char* note,
                     int32_t ssl_opt, const char* crt, const char* key, const char* extra) {
  if (!db() || !host || !valid_ssl_opt(ssl_opt)) return false;
  Context context;
  if (!upstream_context(ssl_opt, crt, key, extra, context)) return false;
  DbLock db_lock;
  if (!db_lock.held()) return false;
  {
    ProxyLock lock;
    if (!store().find(wid)) return false;
  }
  // The row is addressed by the pair: an upstream of another proxy is never rewritten.
  Result r = exec_format("update wc_upstream set host=%s, weight=%u, note=%s, ssl_opt=%u, ssl_crt_content=%s, "
                         "ssl_key_content=%s, ssl_extra_params=%s where upstreamid=%u and wid=%u",
                         quote(host).c_str(), weight, quote(note).c_str(), static_cast<uint32_t>(ssl_opt),
                         quote(crt).c_str(), quote(key).c_str(), quote(extra).c_str(), upstreamid, wid);
  if (!r) {
    report_error("[zazudaza -> config] update 'wc_upstream' table error(upstreamid=%u, host=%s)!\r\n", upstreamid,
                 host);
    return false;
  }
  if (rows(r.get()) == 0) return false;
  ProxyLock lock;
  Upstream* u = find_upstream(store().find(wid), upstreamid);
  if (!u) return true;
  if (!same_host(u->host, host)) {
    u->host = lowered(host);
    fresh_counters(u->counters);
    u->down = false;
    u->down_time = 0;
  }
  u->weight = weight;
  u->note = note ? note : "";
  u->tls = texts(ssl_opt, crt, key, extra);
  u->context = std::move(context);
  return true;
}

bool delete_upstream(uint32_t wid, uint32_t upstreamid) {
  if (!db()) return false;
  DbLock db_lock;
  if (!db_lock.held()) return false;
  {
    ProxyLock lock;
    if (!store().find(wid)) return false;
  }
  if (!exec_format("delete from wc_upstream where upstreamid=%u and wid=%u", upstreamid, wid)) {
    report_error("[zazudaza -> config] delete 'wc_upstream' table error(wid=%u, upstreamid=%u)!\r\n", wid, upstreamid);
    return false;
  }
  ProxyLock lock;
  if (Proxy* p = store().find(wid)) {
    auto& ups = p->upstreams;
    ups.erase(std::remove_if(ups.begin(), ups.end(), [&](const Upstream& u) { return u.upstreamid == upstreamid; }),
              ups.end());
  }
  return true;
}

}  // namespace

cu_sem* lock() { return store().lock.load(std::memory_order_acquire); }
const std::vector<std::unique_ptr<Proxy>>& proxies() { return store().list; }
Proxy* find(uint32_t wid) { return store().find(wid); }

}  // namespace policydb::proxy

using namespace policydb;
using namespace policydb::proxy;

void policydb_proxy_load(void) { load(); }

uint8_t policydb_proxy_append_ext(const char* host, uint8_t balance, const char* note, int32_t ssl_opt,
                                  const char* ssl_crt_content, const char* ssl_key_content,
                                  const char* ssl_extra_params, uint32_t* wid) {
  return append_proxy(host, balance, note, ssl_opt, ssl_crt_content, ssl_key_content, ssl_extra_params, wid) ? 1 : 0;
}

uint8_t policydb_proxy_append(const char* host, uint8_t balance, const char* note, uint32_t* wid) {
  return policydb_proxy_append_ext(host, balance, note, 0, nullptr, nullptr, nullptr, wid);
}

uint8_t policydb_proxy_modify_ext(uint32_t wid, const char* host, uint8_t balance, const char* note, int32_t ssl_opt,
                                  const char* ssl_crt_content, const char* ssl_key_content,
                                  const char* ssl_extra_params) {
  return modify_proxy(wid, host, balance, note, ssl_opt, ssl_crt_content, ssl_key_content, ssl_extra_params) ? 1 : 0;
}

uint8_t policydb_proxy_modify(uint32_t wid, const char* host, uint8_t balance, const char* note) {
  return policydb_proxy_modify_ext(wid, host, balance, note, 0, nullptr, nullptr, nullptr);
}

uint8_t policydb_proxy_delete(uint32_t wid) { return delete_proxy(wid) ? 1 : 0; }
uint8_t policydb_proxy_clean(void) { return clean_proxies() ? 1 : 0; }

uint8_t policydb_proxy_enable_1(const char* host, uint8_t on) {
  if (!host) return 0;
  return enable_proxy(on != 0, [&](const Proxy& p) { return same_host(p.host, host); }) ? 1 : 0;
}

uint8_t policydb_proxy_enable_2(uint32_t wid, uint8_t on) {
  return enable_proxy(on != 0, [&](const Proxy& p) { return p.wid == wid; }) ? 1 : 0;
}

uint8_t policydb_proxy_IsHitExtExt(const char* host, const char* client, const char* url, char* buffer, int32_t len,
                                   uint32_t* wid, uint32_t* upstreamid, uint32_t* proxy_ssl_opt,
                                   uint32_t* upstream_ssl_opt) {
  return choose(host, client, url, buffer, len, {wid, upstreamid, proxy_ssl_opt, upstream_ssl_opt}) ? 1 : 0;
}

uint8_t policydb_proxy_IsHitExt(const char* host, const char* client, const char* url, char* buffer, int32_t len,
                                uint32_t* wid, uint32_t* upstreamid) {
  return policydb_proxy_IsHitExtExt(host, client, url, buffer, len, wid, upstreamid, nullptr, nullptr);
}

uint8_t policydb_proxy_IsHit(const char* host, const char* client, const char* url, char* buffer, int32_t len) {
  return policydb_proxy_IsHitExtExt(host, client, url, buffer, len, nullptr, nullptr, nullptr, nullptr);
}

uint8_t policydb_proxy_IsExist(void) { return have_proxies() ? 1 : 0; }

uint8_t policydb_upstream_append_ext(uint32_t wid, const char* host, uint32_t weight, const char* note,
                                     int32_t ssl_opt, const char* ssl_crt_content, const char* ssl_key_content,
                                     const char* ssl_extra_params, uint32_t* upstreamid) {
  return append_upstream(wid, host, weight, note, ssl_opt, ssl_crt_content, ssl_key_content, ssl_extra_params,
                         upstreamid)
             ? 1
             : 0;
}

uint8_t policydb_upstream_append(uint32_t wid, const char* host, uint32_t weight, const char* note,
                                 uint32_t* upstreamid) {
  return policydb_upstream_append_ext(wid, host, weight, note, 0, nullptr, nullptr, nullptr, upstreamid);
}

uint8_t policydb_upstream_modify_ext(uint32_t upstreamid, uint32_t wid, const char* host, uint32_t weight,
                                     const char* note, int32_t ssl_opt, const char* ssl_crt_content,
                                     const char* ssl_key_content, const char* ssl_extra_params) {
  return modify_upstream(upstreamid, wid, host, weight, note, ssl_opt, ssl_crt_content, ssl_key_content,
                         ssl_extra_params)
             ? 1
             : 0;
}

uint8_t policydb_upstream_modify(uint32_t upstreamid, uint32_t wid, const char* host, uint32_t weight,
                                 const char* note) {
  return policydb_upstream_modify_ext(upstreamid, wid, host, weight, note, 0, nullptr, nullptr, nullptr);
}

uint8_t policydb_upstream_delete(uint32_t wid, uint32_t upstreamid) { return delete_upstream(wid, upstreamid) ? 1 : 0; }

uint8_t policydb_upstream_enable(const char* host, uint8_t on) {
  if (!host || !have_proxies()) return 0;
  ProxyLock lock;
  for (const auto& p : store().list) {
    for (Upstream& u : p->upstreams) {
      if (same_host(u.host, host)) u.disabled = on == 0;
    }
  }
  return 1;
}

uint8_t policydb_upstream_down_1(const char* host, uint8_t down) {
  if (!host || !have_proxies()) return 0;
  ProxyLock lock;
  bool any = false;
  for (const auto& p : store().list) {
    for (Upstream& u : p->upstreams) {
      if (!same_host(u.host, host)) continue;
      mark(*p, u, down != 0);
      any = true;
    }
  }
  return any ? 1 : 0;
}

uint8_t policydb_upstream_down_2(uint32_t wid, uint32_t upstreamid, uint8_t down) {
  if (!have_proxies()) return 0;
  ProxyLock lock;
  Proxy* p = store().find(wid);
  Upstream* u = find_upstream(p, upstreamid);
  if (!u) return 0;
  mark(*p, *u, down != 0);
  return 1;
}

uint8_t policydb_upstream_down_status(uint32_t wid, uint32_t upstreamid, uint8_t* down, int64_t* down_time,
                                      char* host) {
  if (down) *down = 0;
  if (down_time) *down_time = 0;
  if (host) host[0] = '\0';
  if (!have_proxies()) return 0;
  ProxyLock lock;
  const Upstream* u = find_upstream(store().find(wid), upstreamid);
  if (!u) return 0;
  if (down) *down = u->down ? 1 : 0;
  if (down_time) *down_time = u->down_time;
  if (host) {
    const size_t n = std::min<size_t>(u->host.size(), 256);
    std::memcpy(host, u->host.data(), n);
    host[n] = '\0';
  }
  return 1;
}
