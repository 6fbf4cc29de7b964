#include "nameres.h"

#include <ares.h>
#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "cu_console.h"
#include "cu_lib.h"
#include "cu_sock.h"
#include "cu_util.h"
#include "nameres_internal.h"

namespace {

constexpr int64_t kDeadlineMs = 5000;     // every accepted look-up is answered within this
constexpr int kTryTimeoutMs = 1000;       // one try of one server
constexpr size_t kMaxWaiting = 65536;
constexpr size_t kMaxNameLen = 253;
constexpr int64_t kStaleGraceMs = 60000;  // an entry still serves the pipe's resolve this long after expiry
constexpr size_t kMaxListRows = 100000;
constexpr int kUpstreams = 8;
constexpr int32_t kThreadStack = 256 * 1024;
constexpr int kIdleWaitMs = 1000;
// Queries on the wire at once: a burst of names beyond this waits its turn here instead of
// overflowing the socket buffers of the server or of the channel (lost packets cost a retry).
constexpr size_t kMaxInFlight = 256;
constexpr size_t kEntryOverhead = 128;    // map node, list node and bookkeeping of one entry

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Host names as they reach us from Host headers: letters, digits, '-', '_' and '.'.
bool valid_name(const char* name) {
  if (!name || !*name) return false;
  size_t n = 0;
  for (const char* p = name; *p; ++p, ++n) {
    unsigned char ch = static_cast<unsigned char>(*p);
    if (n >= kMaxNameLen) return false;
    if (!isalnum(ch) && ch != '-' && ch != '_' && ch != '.') return false;
  }
  return true;
}

// A strict dotted quad; answered as itself, never cached.
bool dotted_ipv4(const char* name, std::string* text) {
  in_addr a{};
  if (!name || inet_pton(AF_INET, name, &a) != 1) return false;
  char buf[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  *text = buf;
  return true;
}

std::string lower(const char* name) {
  std::string s(name);
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ip_text(uint32_t host_order) {
  char buf[16];
  cu_sock_32bitsToIP(buf, host_order);
  return buf;
}

void write_ip(char* out, const std::string& ip) { cu_strncpy(out, ip.c_str(), 15); }

// An IPv4 text of a setting: empty for none, else it must parse (host order out).
bool parse_setting_ip(const char* text, uint32_t* value) {
  *value = 0;
  if (!text || !*text) return true;
  return cu_sock_IPTo32bits(value, text);
}

struct Settings {
  uint32_t max_entries = 50000;
  uint32_t min_ttl = 300;
  uint32_t tries = 8;
  uint32_t type = 0;
  uint32_t upstream[kUpstreams] = {};
  uint32_t redirect_ip = 0;
};

// A blocked wc_gethostbyname's side of its look-up; shared, as the answer may come after it gave up.
struct SyncWait {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  bool ok = false;
  std::string ip;
};

struct Request {
  std::string name;  // as asked
  std::string key;   // lower-case
  nameres_callback_fn cb = nullptr;
  int64_t sid = 0;
  char* data = nullptr;
  int32_t len = 0;
  vor_box* box = nullptr;
  char* tag = nullptr;
  int32_t flag = 0;
  char* host = nullptr;
  std::shared_ptr<SyncWait> sync;
  int64_t deadline = 0;
};

struct Completion {
  Request req;
  bool ok;
  std::string ip;
};

struct Entry {
  std::vector<uint32_t> addrs;  // host order, as answered
  int64_t expires = 0;
  size_t next = 0;              // the address given next
  std::list<std::string>::iterator lru;
};

class Resolver;
struct QueryTag {
  Resolver* resolver;
  std::string key;
};

class Resolver {
 public:
  bool start();
  bool running() const { return state_.load(std::memory_order_acquire) == kRunning; }
  bool on_thread() const { return running() && cu_GetThisThreadId() == thread_id_.load(); }
  nameres_dns* handle() { return reinterpret_cast<nameres_dns*>(this); }

  bool submit(Request&& r);
  void reset();
  size_t waiting() {
    std::lock_guard<std::mutex> g(mu_);
    return waiting_;
  }

  // Cache questions, any thread.
  bool hit_fresh(const std::string& key, std::string* ip);
  bool give(const std::string& key, int64_t max_age_ms, std::string* ip);
  bool drop(const std::string& key);
  void clear();
  int64_t bytes() {
    std::lock_guard<std::mutex> g(mu_);
    return static_cast<int64_t>(bytes_);
  }
  uint32_t count() {
    std::lock_guard<std::mutex> g(mu_);
    return static_cast<uint32_t>(cache_.size());
  }
  std::string cache_list();

  // Settings, any thread.
  template <typename Fn>
  void change(Fn fn, bool rebuild) {
    {
      std::lock_guard<std::mutex> g(mu_);
      fn(settings_);
      evict_to_cap();
      if (rebuild) rebuild_ = true;
    }
    if (rebuild) wake();
  }

  void answered(const std::string& key, int status, ares_addrinfo* res);

 private:
  enum State { kNew, kRunning, kFailed };
  static void thread_main(void* arg) { static_cast<Resolver*>(arg)->run(); }
  static void sock_state(void* data, ares_socket_t fd, int readable, int writable);

  void run();
  void wake();
  int next_wait_ms();
  void take_incoming();
  void accept(Request&& r);
  void issue(const std::string& key);
  void pump();
  void expire();
  void run_done();
  void do_reset();
  bool build_channel(const Settings& s);
  void rebuild_channel(const Settings& s);
  void store(const std::string& key, std::vector<uint32_t> addrs, int ttl);
  void evict_to_cap();
  void erase_entry(std::unordered_map<std::string, Entry>::iterator it);
  static size_t entry_bytes(const std::string& key, size_t addrs) { return kEntryOverhead + 2 * key.size() + 4 * addrs; }

  std::mutex start_mu_;
  std::atomic<int> state_{kNew};
  std::atomic<uint32_t> thread_id_{0};

  // Guarded by mu_.
  std::mutex mu_;
  std::condition_variable reset_cv_;
  Settings settings_;
  bool rebuild_ = false;
  bool reset_asked_ = false;
  uint64_t resets_done_ = 0;
  std::deque<Request> incoming_;
  size_t waiting_ = 0;
  std::unordered_map<std::string, Entry> cache_;
  std::list<std::string> lru_;  // most recently used first
  size_t bytes_ = 0;

  // The resolver thread's own.
  int epfd_ = -1;
  int evfd_ = -1;
  ares_channel channel_ = nullptr;
  struct Query {
    std::vector<Request> waiters;  // in the order of their deadlines
  };
  std::unordered_map<std::string, Query> queries_;
  std::deque<std::pair<int64_t, std::string>> deadlines_;
  std::deque<std::string> to_issue_;  // names waiting for a place on the wire
  size_t in_flight_ = 0;
  std::vector<Completion> done_;
};

Resolver& resolver() {
  static Resolver* r = new Resolver;  // never destroyed: its thread lives until the process ends
  return *r;
}

bool Resolver::start() {
  int s = state_.load(std::memory_order_acquire);
  if (s != kNew) return s == kRunning;
  std::lock_guard<std::mutex> g(start_mu_);
  s = state_.load(std::memory_order_acquire);
  if (s != kNew) return s == kRunning;
  Settings initial;
  {
    std::lock_guard<std::mutex> lock(mu_);
    initial = settings_;
    rebuild_ = false;
  }
  epfd_ = epoll_create1(EPOLL_CLOEXEC);
  evfd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = evfd_;
  bool ok = epfd_ >= 0 && evfd_ >= 0 && epoll_ctl(epfd_, EPOLL_CTL_ADD, evfd_, &ev) == 0 &&
            ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS && build_channel(initial);
  uint32_t tid = 0;
  // The channel made here is handed to the thread with its start (a happens-before edge).
  ok = ok && cu_CreateThread(&tid, kThreadStack, thread_main, this);
  if (!ok) {
    cu_console_printf("[nameres] the resolver cannot start: look-ups go to the system resolver!\r\n");
    if (channel_) ares_destroy(channel_);
    channel_ = nullptr;
    state_.store(kFailed, std::memory_order_release);
    return false;
  }
  thread_id_.store(tid);
  state_.store(kRunning, std::memory_order_release);
  return true;
}

void Resolver::wake() {
  if (!running()) return;
  uint64_t one = 1;
  ssize_t n = write(evfd_, &one, sizeof one);
  (void)n;  // a full counter already wakes the loop
}

bool Resolver::submit(Request&& r) {
  if (!start()) return false;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (waiting_ >= kMaxWaiting) return false;
    ++waiting_;
    r.deadline = now_ms() + kDeadlineMs;
    incoming_.push_back(std::move(r));
  }
  wake();
  return true;
}

void Resolver::sock_state(void* data, ares_socket_t fd, int readable, int writable) {
  auto* self = static_cast<Resolver*>(data);
  if (!readable && !writable) {
    epoll_ctl(self->epfd_, EPOLL_CTL_DEL, fd, nullptr);
    return;
  }
  epoll_event ev{};
  ev.events = (readable ? EPOLLIN : 0u) | (writable ? EPOLLOUT : 0u);
  ev.data.fd = fd;
  if (epoll_ctl(self->epfd_, EPOLL_CTL_MOD, fd, &ev) != 0) epoll_ctl(self->epfd_, EPOLL_CTL_ADD, fd, &ev);
}

// NAMERES_SERVERS replaces every server (tests keep their queries on the machine); else the
// configured servers for type 1 (the system's when none is set), configured then system for 2.
bool apply_servers(ares_channel ch, const Settings& s) {
  const char* forced = getenv("NAMERES_SERVERS");
  if (forced && *forced) return ares_set_servers_ports_csv(ch, forced) == ARES_SUCCESS;
  if (s.type == 0) return true;
  std::vector<ares_addr_port_node> nodes;
  for (uint32_t ip : s.upstream) {
    if (!ip) continue;
    ares_addr_port_node n{};
    n.family = AF_INET;
    n.addr.addr4.s_addr = htonl(ip);
    nodes.push_back(n);
  }
  if (nodes.empty()) return true;
  ares_addr_port_node* system = nullptr;
  if (s.type == 2 && ares_get_servers_ports(ch, &system) == ARES_SUCCESS) {
    for (ares_addr_port_node* p = system; p; p = p->next) nodes.push_back(*p);
  }
  for (size_t i = 0; i < nodes.size(); ++i) nodes[i].next = i + 1 < nodes.size() ? &nodes[i + 1] : nullptr;
  bool ok = ares_set_servers_ports(ch, nodes.data()) == ARES_SUCCESS;
  if (system) ares_free_data(system);
  return ok;
}

bool Resolver::build_channel(const Settings& s) {
  ares_options o{};
  o.timeout = kTryTimeoutMs;
  o.tries = static_cast<int>(std::max<uint32_t>(1, std::min<uint32_t>(s.tries, 128)));
  o.sock_state_cb = sock_state;
  o.sock_state_cb_data = this;
  ares_channel ch = nullptr;
  if (ares_init_options(&ch, &o, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_SOCK_STATE_CB) != ARES_SUCCESS)
    return false;
  if (!apply_servers(ch, s)) cu_console_printf("[nameres] the upstream DNS servers cannot be set!\r\n");
  channel_ = ch;
  return true;
}

// The old channel's queries end with ARES_EDESTRUCTION (ignored); every name still waited for
// is asked again on the new one.
void Resolver::rebuild_channel(const Settings& s) {
  if (channel_) ares_destroy(channel_);
  channel_ = nullptr;
  if (!build_channel(s)) cu_console_printf("[nameres] the resolver channel cannot be rebuilt!\r\n");
  in_flight_ = 0;
  to_issue_.clear();
  for (auto& q : queries_) to_issue_.push_back(q.first);
  pump();
}

void on_answer(void* arg, int status, int, ares_addrinfo* res) {
  std::unique_ptr<QueryTag> tag(static_cast<QueryTag*>(arg));
  if (status != ARES_EDESTRUCTION) tag->resolver->answered(tag->key, status, res);
  if (res) ares_freeaddrinfo(res);
}

void Resolver::issue(const std::string& key) { to_issue_.push_back(key); }

// Puts waiting names on the wire up to the window. A name may be answered inside
// ares_getaddrinfo (a hosts-file name): nothing here holds a query across the call.
void Resolver::pump() {
  if (!channel_) return;  // the deadlines fail the waiters
  while (in_flight_ < kMaxInFlight && !to_issue_.empty()) {
    std::string key = std::move(to_issue_.front());
    to_issue_.pop_front();
    // Nobody waits any more for a name not yet asked (a black-holed server): it is dropped, so
    // names can pile up only as far as their waiters do.
    auto q = queries_.find(key);
    if (q == queries_.end()) continue;
    if (q->second.waiters.empty()) {
      queries_.erase(q);
      continue;
    }
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_INET;
    ++in_flight_;
    ares_getaddrinfo(channel_, key.c_str(), nullptr, &hints, on_answer, new QueryTag{this, key});
  }
}

void Resolver::answered(const std::string& key, int status, ares_addrinfo* res) {
  if (in_flight_ > 0) --in_flight_;
  std::vector<uint32_t> addrs;
  int ttl = INT_MAX;
  if (status == ARES_SUCCESS && res) {
    for (ares_addrinfo_node* n = res->nodes; n; n = n->ai_next) {
      if (n->ai_family != AF_INET || !n->ai_addr) continue;
      uint32_t a = ntohl(reinterpret_cast<sockaddr_in*>(n->ai_addr)->sin_addr.s_addr);
      if (std::find(addrs.begin(), addrs.end(), a) == addrs.end()) addrs.push_back(a);
      ttl = std::min(ttl, n->ai_ttl);
    }
  }
  bool ok = !addrs.empty();
  std::string ip;
  if (ok) {
    ip = ip_text(addrs[0]);
    std::lock_guard<std::mutex> g(mu_);
    store(key, std::move(addrs), ttl);
    auto it = cache_.find(key);
    if (it != cache_.end()) ip = ip_text(it->second.addrs[it->second.next]);
  }
  auto q = queries_.find(key);
  if (q == queries_.end()) return;  // every waiter already failed at its deadline: the cache is filled
  for (auto& w : q->second.waiters) done_.push_back(Completion{std::move(w), ok, ip});
  queries_.erase(q);
}

void Resolver::store(const std::string& key, std::vector<uint32_t> addrs, int ttl) {
  int64_t keep_s = std::max<int64_t>(std::max(ttl, 0), settings_.min_ttl);
  auto it = cache_.find(key);
  if (it == cache_.end()) {
    it = cache_.emplace(key, Entry{}).first;
    lru_.push_front(key);
    it->second.lru = lru_.begin();
  } else {
    bytes_ -= entry_bytes(key, it->second.addrs.size());
    lru_.splice(lru_.begin(), lru_, it->second.lru);
  }
  Entry& e = it->second;
  e.addrs = std::move(addrs);
  e.next %= e.addrs.size();
  e.expires = now_ms() + keep_s * 1000;
  bytes_ += entry_bytes(key, e.addrs.size());
  evict_to_cap();
}

void Resolver::erase_entry(std::unordered_map<std::string, Entry>::iterator it) {
  bytes_ -= entry_bytes(it->first, it->second.addrs.size());
  lru_.erase(it->second.lru);
  cache_.erase(it);
}

void Resolver::evict_to_cap() {
  size_t cap = std::max<uint32_t>(settings_.max_entries, 1);
  while (cache_.size() > cap) erase_entry(cache_.find(lru_.back()));
}

bool Resolver::hit_fresh(const std::string& key, std::string* ip) {
  int64_t now = now_ms();
  uint32_t addr;
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = cache_.find(key);
    if (it == cache_.end() || it->second.expires <= now) return false;
    lru_.splice(lru_.begin(), lru_, it->second.lru);
    addr = it->second.addrs[it->second.next];
  }
  *ip = ip_text(addr);
  return true;
}

// The next address of an entry expired at most max_age_ms ago (negative: any entry), rotating.
bool Resolver::give(const std::string& key, int64_t max_age_ms, std::string* ip) {
  std::lock_guard<std::mutex> g(mu_);
  auto it = cache_.find(key);
  if (it == cache_.end()) return false;
  Entry& e = it->second;
  if (max_age_ms >= 0 && now_ms() - e.expires >= max_age_ms) return false;
  lru_.splice(lru_.begin(), lru_, e.lru);
  *ip = ip_text(e.addrs[e.next]);
  e.next = (e.next + 1) % e.addrs.size();
  return true;
}

bool Resolver::drop(const std::string& key) {
  std::lock_guard<std::mutex> g(mu_);
  auto it = cache_.find(key);
  if (it == cache_.end()) return false;
  erase_entry(it);
  return true;
}

void Resolver::clear() {
  std::lock_guard<std::mutex> g(mu_);
  cache_.clear();
  lru_.clear();
  bytes_ = 0;
}

std::string Resolver::cache_list() {
  std::string out = "{\r\n  \"Return\":\"True\",\r\n  \"Lists\":\r\n   [\r\n";
  std::lock_guard<std::mutex> g(mu_);
  size_t rows = std::min(cache_.size(), kMaxListRows);
  size_t no = 0;
  int64_t now = now_ms();
  for (auto it = lru_.begin(); it != lru_.end() && no < rows; ++it) {
    const Entry& e = cache_.at(*it);
    std::string ips;
    for (uint32_t a : e.addrs) ips += (ips.empty() ? "" : ",") + ip_text(a);
    int64_t left = e.expires > now ? (e.expires - now + 999) / 1000 : 0;
    ++no;
    // Names are letters, digits, '-', '_' and '.': nothing to escape.
    out += "    {\"NO\":\"" + std::to_string(no) + "\",\"Name\":\"" + *it + "\",\"IP\":\"" + ips + "\",\"TTL\":\"" +
           std::to_string(left) + "\",\"Expired\":\"" + (e.expires > now ? "0" : "1") + "\"}" +
           (no < rows ? ",\r\n" : "\r\n");
  }
  out += "   ],\r\n  \"NumOfLists\":\"" + std::to_string(rows) + "\"\r\n}\r\n";
  return out;
}

// --- the resolver thread ---------------------------------------------------------------------

int Resolver::next_wait_ms() {
  int64_t wait = kIdleWaitMs;
  timeval tv{};
  if (channel_ && ares_timeout(channel_, nullptr, &tv)) wait = std::min<int64_t>(wait, tv.tv_sec * 1000 + tv.tv_usec / 1000 + 1);
  if (!deadlines_.empty()) wait = std::min(wait, deadlines_.front().first - now_ms());
  return static_cast<int>(std::max<int64_t>(wait, 0));
}

void Resolver::run() {
  epoll_event events[64];
  for (;;) {
    int n = epoll_wait(epfd_, events, 64, next_wait_ms());
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == evfd_) {
        uint64_t v;
        ssize_t r = read(evfd_, &v, sizeof v);
        (void)r;
        continue;
      }
      bool in = events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP);
      bool out = events[i].events & EPOLLOUT;
      if (channel_) ares_process_fd(channel_, in ? fd : ARES_SOCKET_BAD, out ? fd : ARES_SOCKET_BAD);
    }
    if (channel_) ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // time-outs
    run_done();
    take_incoming();
    pump();
    expire();
    run_done();
  }
}

void Resolver::take_incoming() {
  std::deque<Request> batch;
  bool rebuild, reset;
  Settings s;
  {
    std::lock_guard<std::mutex> g(mu_);
    batch.swap(incoming_);
    rebuild = rebuild_;
    reset = reset_asked_;
    rebuild_ = false;
    s = settings_;
  }
  if (reset) {
    for (auto& r : batch) done_.push_back(Completion{std::move(r), false, ""});
    batch.clear();
    do_reset();
    return;
  }
  if (rebuild) rebuild_channel(s);
  for (auto& r : batch) accept(std::move(r));
}

void Resolver::accept(Request&& r) {
  std::string ip;
  if (dotted_ipv4(r.name.c_str(), &ip) || hit_fresh(r.key, &ip)) {
    done_.push_back(Completion{std::move(r), true, ip});
    return;
  }
  std::string key = r.key;
  deadlines_.emplace_back(r.deadline, key);
  auto [it, first] = queries_.try_emplace(key);
  it->second.waiters.push_back(std::move(r));
  if (first) issue(key);
}

// Waiters past their deadline fail; their query goes on and its answer still fills the cache.
void Resolver::expire() {
  int64_t now = now_ms();
  while (!deadlines_.empty() && deadlines_.front().first <= now) {
    auto q = queries_.find(deadlines_.front().second);
    deadlines_.pop_front();
    if (q == queries_.end()) continue;
    auto& w = q->second.waiters;
    auto end = std::find_if(w.begin(), w.end(), [now](const Request& r) { return r.deadline > now; });
    for (auto i = w.begin(); i != end; ++i) done_.push_back(Completion{std::move(*i), false, ""});
    w.erase(w.begin(), end);
  }
}

// Callbacks run here, on the resolver thread, without nameres's lock.
void Resolver::run_done() {
  std::vector<Completion> batch;
  batch.swap(done_);
  for (auto& c : batch) {
    {
      std::lock_guard<std::mutex> g(mu_);
      --waiting_;
    }
    Request& r = c.req;
    if (r.sync) {
      std::lock_guard<std::mutex> g(r.sync->mu);
      r.sync->done = true;
      r.sync->ok = c.ok;
      r.sync->ip = c.ip;
      r.sync->cv.notify_all();
      continue;
    }
    r.cb(handle(), r.name.c_str(), c.ok ? c.ip.c_str() : "", c.ok, r.sid, r.data, r.len, r.box, r.tag, r.flag,
         r.host);
  }
}

void Resolver::do_reset() {
  for (auto& q : queries_)
    for (auto& w : q.second.waiters) done_.push_back(Completion{std::move(w), false, ""});
  queries_.clear();
  deadlines_.clear();
  to_issue_.clear();
  run_done();
  Settings s;
  {
    std::lock_guard<std::mutex> g(mu_);
    settings_ = Settings{};
    s = settings_;
    cache_.clear();
    lru_.clear();
    bytes_ = 0;
  }
  rebuild_channel(s);
  std::lock_guard<std::mutex> g(mu_);
  reset_asked_ = false;
  ++resets_done_;
  reset_cv_.notify_all();
}

void Resolver::reset() {
  if (!start()) return;
  std::unique_lock<std::mutex> lock(mu_);
  uint64_t target = resets_done_ + 1;
  reset_asked_ = true;
  lock.unlock();
  wake();
  lock.lock();
  reset_cv_.wait(lock, [&] { return resets_done_ >= target; });
}

Request make_request(const char* name) {
  Request r;
  r.name = name;
  r.key = lower(name);
  return r;
}

bool set_upstream(int index, const char* ip) {
  uint32_t value;
  if (!parse_setting_ip(ip, &value)) return false;
  resolver().change([&](Settings& s) { s.upstream[index] = value; }, false);
  return true;
}

std::once_flag g_bind_logged;

}  // namespace

namespace nameres_internal {
void reset() { resolver().reset(); }
bool on_resolver_thread() { return resolver().on_thread(); }
size_t waiting() { return resolver().waiting(); }
}  // namespace nameres_internal

nameres_dns* nameres_GetDnsHandle(void) { return resolver().start() ? resolver().handle() : nullptr; }

bool nameres_HitCache(const char* name, char* ip) {
  if (!ip || !valid_name(name)) return false;
  std::string text;
  if (!dotted_ipv4(name, &text) && !resolver().hit_fresh(lower(name), &text)) return false;
  write_ip(ip, text);
  return true;
}

bool nameres_AddRequest(nameres_dns* dns, const char* name, nameres_callback_fn cb, int64_t sid, char* data,
                        int32_t len, vor_box* box, char* tag, int32_t flag, char* host, int32_t, int32_t) {
  if (!dns || dns != resolver().handle() || !cb || !valid_name(name)) return false;
  Request r = make_request(name);
  r.cb = cb;
  r.sid = sid;
  r.data = data;
  r.len = len;
  r.box = box;
  r.tag = tag;
  r.flag = flag;
  r.host = host;
  return resolver().submit(std::move(r));
}

bool wc_gethostbyname(const char* name, char* ip) {
  if (!ip || !valid_name(name)) return false;
  std::string text;
  if (dotted_ipv4(name, &text) || resolver().give(lower(name), kStaleGraceMs, &text)) {
    write_ip(ip, text);
    return true;
  }
  Resolver& r = resolver();
  if (!r.start()) {
    char first[16];
    if (!cu_sock_GetHostFirstIP(name, first)) return false;
    write_ip(ip, first);
    return true;
  }
  if (r.on_thread()) return false;  // it would wait for itself
  cu_console_printf("[nameres] host(%s) is not cached: the caller waits for its look-up!\r\n", name);
  Request req = make_request(name);
  auto sync = std::make_shared<SyncWait>();
  req.sync = sync;
  if (!r.submit(std::move(req))) return false;
  std::unique_lock<std::mutex> lock(sync->mu);
  sync->cv.wait_for(lock, std::chrono::milliseconds(kDeadlineMs), [&] { return sync->done; });
  if (!sync->done || !sync->ok) return false;
  write_ip(ip, sync->ip);
  return true;
}

bool nameres_HitAnyCache(const char* name, char* ip) {
  if (!ip || !valid_name(name)) return false;
  std::string text;
  if (!dotted_ipv4(name, &text) && !resolver().give(lower(name), -1, &text)) return false;
  write_ip(ip, text);
  return true;
}

int64_t nameres_GetCacheSize(void) { return resolver().bytes(); }
uint32_t nameres_NumOfCache(void) { return resolver().count(); }

bool nameres_BindCheck(void) { return false; }
bool nameres_BindSetUp(void) {
  std::call_once(g_bind_logged, [] {
    cu_console_printf("[nameres] the DNS cache service is not part of this build!\r\n");
  });
  return false;
}
bool nameres_BindShutDown(void) { return true; }

bool nameres_set_MaxNumOfDNSCache(uint32_t n) {
  resolver().change([n](Settings& s) { s.max_entries = n; }, false);
  return true;
}
bool nameres_set_MinTTLOfDNSCache(uint32_t seconds) {
  resolver().change([seconds](Settings& s) { s.min_ttl = seconds; }, false);
  return true;
}
bool nameres_set_MaxRetryingTimes(uint32_t n) {
  resolver().change([n](Settings& s) { s.tries = std::max<uint32_t>(n, 1); }, true);
  return true;
}
bool nameres_set_DNSType(uint32_t type) {
  if (type > 2) return false;
  resolver().change([type](Settings& s) { s.type = type; }, true);
  return true;
}
bool nameres_set_CustomUpstreamDNS1(const char* ip) { return set_upstream(0, ip); }
bool nameres_set_CustomUpstreamDNS2(const char* ip) { return set_upstream(1, ip); }
bool nameres_set_CustomUpstreamDNS3(const char* ip) { return set_upstream(2, ip); }
bool nameres_set_CustomUpstreamDNS4(const char* ip) { return set_upstream(3, ip); }
bool nameres_set_CustomUpstreamDNS5(const char* ip) { return set_upstream(4, ip); }
bool nameres_set_CustomUpstreamDNS6(const char* ip) { return set_upstream(5, ip); }
bool nameres_set_CustomUpstreamDNS7(const char* ip) { return set_upstream(6, ip); }
bool nameres_set_CustomUpstreamDNS8(const char* ip) { return set_upstream(7, ip); }
bool nameres_set_DefaultRedirectIP(const char* ip) {
  uint32_t value;
  if (!parse_setting_ip(ip, &value)) return false;
  resolver().change([value](Settings& s) { s.redirect_ip = value; }, false);
  return true;
}
bool nameres_set_DNSRefresh(void) {
  resolver().change([](Settings&) {}, true);
  return true;
}

void nameres_GetXCacheList(cu_jitter* out) {
  if (!out) return;
  std::string text = resolver().cache_list();
  cu_jitter_SetData(out, text.data(), static_cast<int32_t>(text.size()));
}

void nameres_GetXRedirectList(cu_jitter* out) {
  static const char kText[] = "  \"SystemRedirectLists\":\r\n   [\r\n   ],\r\n  \"NumOfSystemRedirectLists\":\"0\",\r\n";
  if (out) cu_jitter_SetData(out, kText, sizeof kText - 1);
}

void nameres_GetXRedirecClassList(cu_jitter* out) {
  static const char kText[] = "  \"Lists\":\r\n   [\r\n   ],\r\n  \"NumOfLists\":\"0\"\r\n";
  if (out) cu_jitter_SetData(out, kText, sizeof kText - 1);
}

bool nameres_DelCache(const char* name) { return name && resolver().drop(lower(name)); }
void nameres_CleanAllCache(void) { resolver().clear(); }
bool nameres_EnableRedirectClass(const char*, bool) { return false; }
bool nameres_HitRedirect(const char*, char*, int32_t*, uint32_t*) { return false; }
