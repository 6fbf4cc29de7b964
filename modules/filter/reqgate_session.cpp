// The session cache. One store per process under the session lock: a tree of cookie domains,
// each with a tree of session keys (cookie names), each with a tree of cookie values. Every
// record, tree and text lives in the session arena or in the six pools whose pages it provides,
// so the arena's bytes in use measure the store against its size limit.
#include "reqgate_session.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cu_log.h"
#include "cu_sem.h"
#include "cu_xmem.h"
#include "cu_xtree.h"
#include "http_setcookie.h"
#include "policydb.h"
#include "reqgate_internal.h"
#include "vor_kit.h"

namespace vor::reqgate {

namespace {

constexpr int32_t kRuleBlock = 4096;
constexpr size_t kMaxMatchingDomains = 16;

struct DomainRecord {
  char* text;
  int32_t length;
  cu_stree* keys;
};

struct KeyRecord {
  char* text;
  cu_stree* values;
};

struct ValueRecord {
  uint32_t lifetime;
  int64_t expiry;
  char inline_path[2];  // the path "/"
  char* path_copy;      // any other path
  const char* path;
  const char* domain;  // the domain record's text
  const char* key;     // the key record's text
};

enum Pool : int { kDomainStruct, kDomainTree, kKeyStruct, kKeyTree, kValueStruct, kValueTree, kPoolCount };

constexpr const char* kPoolNames[kPoolCount] = {"domain struct", "domain stree", "key struct",
                                                "key stree",     "value struct", "value stree"};
constexpr const char* kPoolOver[kPoolCount] = {
    "session -> domain cache is over, return null!\r\n", "session -> domain stree cache is over, return null!\r\n",
    "session -> key cache is over, return null!\r\n",    "session -> key stree cache is over, return null!\r\n",
    "session -> value cache is over, return null!\r\n",  "session -> value stree cache is over, return null!\r\n",
};
constexpr char kTextOver[] = "session -> cache is over, return null!\r\n";

struct Store {
  cu_sem* lock = nullptr;  // the session lock: the trees, the counter and the arena
  cu_xmem* arena = nullptr;
  cu_xmem* pools[kPoolCount] = {};
  cu_stree* domains = nullptr;
  uint32_t count = 0;
  uint64_t baseline = 0;
  int64_t fail_after = -1;  // tests: allocations left before one fails
};

std::atomic<Store*> g_store{nullptr};

Store* store() { return g_store.load(std::memory_order_acquire); }

// ---- memory ----

void report(const char* text) {
  trace("%s", text);
  edgeserv_ctx* ctx = edge_context();
  if (ctx && ctx->log) cu_log_error(ctx->log, "%s", text);
}

// Every allocation of the store goes through here, under the session lock.
void* take(cu_xmem* pool, uint64_t size) {
  Store* s = store();
  if (s && s->fail_after == 0) return nullptr;
  if (s && s->fail_after > 0) --s->fail_after;
  return cu_xmem_malloc(pool, size);
}

void* tree_alloc(void* pool, uint64_t size) { return take(static_cast<cu_xmem*>(pool), size); }
void tree_release(void* pool, void* block) { cu_xmem_free(static_cast<cu_xmem*>(pool), block); }
void* arena_page(void* arena, uint64_t size) { return cu_xmem_malloc(static_cast<cu_xmem*>(arena), size); }
void arena_page_free(void* arena, void* block) { cu_xmem_free(static_cast<cu_xmem*>(arena), block); }

char* copy_text(Store& s, std::string_view text) {
  auto* copy = static_cast<char*>(take(s.arena, text.size() + 1));
  if (!copy) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

cu_stree* new_tree(Store& s, Pool pool) { return cu_stree_mallocxx(tree_alloc, tree_release, s.pools[pool]); }

uint64_t in_use(Store& s) {
  const uint64_t used = cu_xmem_used_space_size(s.arena);
  return used > s.baseline ? used - s.baseline : 0;
}

// ---- walks ----

// fn(text, value) on every node in order; an answer of true stops the walk.
template <class Fn>
void walk(cu_stree* tree, Fn&& fn) {
  using F = std::remove_reference_t<Fn>;
  cu_stree_traverse(
      tree,
      [](void* text, void* value, void* arg) -> uint8_t {
        return (*static_cast<F*>(arg))(static_cast<const char*>(text), value) ? 1 : 0;
      },
      &fn);
}

template <class Fn>
void each_key(Store& s, Fn&& fn) {
  walk(s.domains, [&](const char*, void* d) {
    walk(static_cast<DomainRecord*>(d)->keys, [&](const char*, void* k) {
      fn(*static_cast<KeyRecord*>(k));
      return false;
    });
    return false;
  });
}

// ---- records ----

void free_value(Store& s, ValueRecord* v) {
  if (v->path_copy) cu_xmem_free(s.arena, v->path_copy);
  cu_xmem_free(s.pools[kValueStruct], v);
}

// Frees every record of a tree with free_child, then the tree.
template <class Child>
void free_tree(Store& s, cu_stree* tree, void (*free_child)(Store&, Child*)) {
  if (!tree) return;
  walk(tree, [&](const char*, void* child) {
    free_child(s, static_cast<Child*>(child));
    return false;
  });
  cu_stree_free(tree);
}

void free_key(Store& s, KeyRecord* k) {
  free_tree(s, k->values, free_value);
  if (k->text) cu_xmem_free(s.arena, k->text);
  cu_xmem_free(s.pools[kKeyStruct], k);
}

void free_domain(Store& s, DomainRecord* d) {
  free_tree(s, d->keys, free_key);
  if (d->text) cu_xmem_free(s.arena, d->text);
  cu_xmem_free(s.pools[kDomainStruct], d);
}

void empty_store(Store& s) {
  walk(s.domains, [&](const char*, void* d) {
    free_domain(s, static_cast<DomainRecord*>(d));
    return false;
  });
  cu_stree_empty(s.domains);
  s.count = 0;
}

// A part of a record that cannot be made: the record is freed, its error reported.
template <class Record>
Record* abandon(Store& s, Record* record, void (*free_record)(Store&, Record*), const char* text) {
  if (record) free_record(s, record);
  report(text);
  return nullptr;
}

DomainRecord* domain_record(Store& s, const char* domain) {
  void* found = nullptr;
  if (cu_stree_find(s.domains, domain, &found)) return static_cast<DomainRecord*>(found);
  auto* d = static_cast<DomainRecord*>(take(s.pools[kDomainStruct], sizeof(DomainRecord)));
  if (!d) return abandon<DomainRecord>(s, nullptr, nullptr, kPoolOver[kDomainStruct]);
  *d = DomainRecord{nullptr, static_cast<int32_t>(std::strlen(domain)), nullptr};
  if (!(d->text = copy_text(s, domain))) return abandon(s, d, free_domain, kTextOver);
  if (!(d->keys = new_tree(s, kKeyTree))) return abandon(s, d, free_domain, kPoolOver[kKeyTree]);
  if (!cu_stree_insert(s.domains, domain, d)) return abandon(s, d, free_domain, kPoolOver[kDomainTree]);
  return d;
}

KeyRecord* key_record(Store& s, DomainRecord& d, const char* key) {
  void* found = nullptr;
  if (cu_stree_find(d.keys, key, &found)) return static_cast<KeyRecord*>(found);
  auto* k = static_cast<KeyRecord*>(take(s.pools[kKeyStruct], sizeof(KeyRecord)));
  if (!k) return abandon<KeyRecord>(s, nullptr, nullptr, kPoolOver[kKeyStruct]);
  *k = KeyRecord{nullptr, nullptr};
  if (!(k->text = copy_text(s, key))) return abandon(s, k, free_key, kTextOver);
  if (!(k->values = new_tree(s, kValueTree))) return abandon(s, k, free_key, kPoolOver[kValueTree]);
  if (!cu_stree_insert(d.keys, key, k)) return abandon(s, k, free_key, kPoolOver[kKeyTree]);
  return k;
}

ValueRecord* value_record(Store& s, const DomainRecord& d, KeyRecord& k, const char* value, const char* path,
                          uint32_t lifetime, int64_t now) {
  auto* v = static_cast<ValueRecord*>(take(s.pools[kValueStruct], sizeof(ValueRecord)));
  if (!v) return abandon<ValueRecord>(s, nullptr, nullptr, kPoolOver[kValueStruct]);
  *v = ValueRecord{lifetime, now + lifetime, {'/', '\0'}, nullptr, nullptr, d.text, k.text};
  if (std::strcmp(path, "/") == 0) {
    v->path = v->inline_path;
  } else {
    if (!(v->path_copy = copy_text(s, path))) return abandon(s, v, free_value, kTextOver);
    v->path = v->path_copy;
  }
  if (!cu_stree_insert(k.values, value, v)) return abandon(s, v, free_value, kPoolOver[kValueTree]);
  return v;
}

// Takes one value out of its key's tree and frees it, with its trace line when one is given.
void remove_value(Store& s, KeyRecord& k, const std::string& value, const char* trace_format) {
  void* found = nullptr;
  if (!cu_stree_find(k.values, value.c_str(), &found)) return;
  if (trace_format) trace(trace_format, k.text, value.c_str());
  cu_stree_delete(k.values, value.c_str());
  free_value(s, static_cast<ValueRecord*>(found));
  --s.count;
}

// ---- sweep and eviction ----

void sweep_locked(Store& s, int64_t now) {
  each_key(s, [&](KeyRecord& k) {
    std::vector<std::string> expired;
    walk(k.values, [&](const char* value, void* v) {
      if (static_cast<ValueRecord*>(v)->expiry <= now) expired.emplace_back(value);
      return false;
    });
    for (const std::string& value : expired) remove_value(s, k, value, "[ExpiredSessionValue] %s=%s\r\n");
  });
}

// The value of the key with the least time left; an expired one is taken at once.
bool closest_to_expiry(KeyRecord& k, int64_t now, std::string& out) {
  bool found = false;
  int64_t least = 0;
  walk(k.values, [&](const char* value, void* v) {
    const int64_t left = static_cast<ValueRecord*>(v)->expiry - now;
    if (!found || left < least) {
      found = true;
      least = left;
      out = value;
    }
    return left <= 0;
  });
  return found;
}

// At most one value per key goes, key after key, until the store is below its limit.
void evict_locked(Store& s, int64_t now, uint64_t limit) {
  if (in_use(s) < limit) return;
  walk(s.domains, [&](const char*, void* d) {
    walk(static_cast<DomainRecord*>(d)->keys, [&](const char*, void* kv) {
      if (in_use(s) < limit) return true;
      auto& k = *static_cast<KeyRecord*>(kv);
      std::string value;
      if (closest_to_expiry(k, now, value)) remove_value(s, k, value, "[LessSessionValue] %s=%s\r\n");
      return false;
    });
    return false;
  });
}

enum class Stored : uint8_t { kAdded, kPresent, kFailed };

// Finds or makes the domain and key records and adds the value unless the key holds it; over
// the size limit the store is swept, then values are evicted.
Stored store_value(Store& s, const char* domain, const char* key, const char* value, const char* path,
                   uint32_t lifetime, int64_t now) {
  DomainRecord* d = domain_record(s, domain);
  if (!d) return Stored::kFailed;
  KeyRecord* k = key_record(s, *d, key);
  if (!k) return Stored::kFailed;
  if (cu_stree_find(k->values, value, nullptr)) return Stored::kPresent;
  if (!value_record(s, *d, *k, value, path, lifetime, now)) return Stored::kFailed;
  ++s.count;
  const uint64_t limit = session_questions().max_size();
  if (in_use(s) > limit) {
    sweep_locked(s, now);
    evict_locked(s, now, limit);
  }
  return Stored::kAdded;
}

// ---- learning ----

struct SessionRule {
  uint32_t lifetime;
  std::string key;
};

std::vector<SessionRule> session_rules(const char* cache_key) {
  alignas(16) char block[kRuleBlock];
  cu_list* list = nullptr;
  std::vector<SessionRule> out;
  if (!session_questions().hit_list(cache_key, &list, block, kRuleBlock)) return out;
  for (cu_list* node = cu_list_first(list); node; node = node->next) {
    const auto* entry = static_cast<const scache_hit_entry*>(node->data);
    if (entry) out.push_back({static_cast<uint32_t>(entry->expire), entry->name});
  }
  return out;
}

// The text of the cache key before its first '/', at most 200 characters; empty without '/'.
std::string_view host_part(std::string_view cache_key) {
  const size_t slash = cache_key.find('/');
  if (slash == std::string_view::npos) return {};
  return cache_key.substr(0, std::min<size_t>(slash, 200));
}

// The path a cookie without a Path attribute gets: the directory of the request path (the path
// up to, not including, its last '/'), or "/". The browser sends the cookie under that whole
// directory, so a narrower path would make its later requests non-members.
std::string default_path(std::string_view cache_key) {
  const size_t slash = cache_key.find('/');
  if (slash == std::string_view::npos) return "/";
  std::string_view path = cache_key.substr(slash);
  path = path.substr(0, path.find('?'));
  const size_t last = path.rfind('/');
  if (last == 0) return "/";
  return std::string(path.substr(0, std::min<size_t>(last, 255)));
}

struct Learned {
  std::string domain;
  std::string value;
  std::string path;
};

// The first Set-Cookie of the response that sets the rule's key to a value of at least 8
// characters, is not Secure and has a known domain.
bool pick_cookie(http_parser* response, const char* key, std::string_view cache_key, Learned& out) {
  char line[4096];
  for (int32_t n = 0; http_parser_GetNthKey(response, "Set-Cookie", n, line, sizeof line); ++n) {
    char value[4096];
    if (!http_setcookie_GetKey(line, key, value, sizeof value) || std::strlen(value) < 8) continue;
    if (http_setcookie_IsSecure(line)) continue;
    char attribute[256];
    std::string domain;
    if (http_setcookie_GetDomain(line, attribute, sizeof attribute) && attribute[0]) {
      domain = attribute;
    } else if (host_part(cache_key).size() >= 4) {
      domain = host_part(cache_key);
    } else {
      continue;
    }
    domain = domain.substr(0, domain.find(':'));
    if (domain.empty()) continue;
    std::transform(domain.begin(), domain.end(), domain.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    out.domain = domain;
    out.value = value;
    const bool has_path = http_setcookie_GetPath(line, attribute, sizeof attribute) && attribute[0] == '/';
    out.path = has_path ? std::string(attribute) : default_path(cache_key);
    return true;
  }
  return false;
}

void sweep_tick(void*, void*, int32_t, int32_t) { session_sweep(); }

}  // namespace

SessionQuestions& session_questions() {
  static SessionQuestions instance{policydb_scache_GetHitListMM, policydb_scache_GetSessionidListMM,
                                   policydb_system_get_MaxSessionCacheSize, edgeserv_mytime};
  return instance;
}

void session_store_init(const SessionGeometry& geometry) {
  if (store()) return;
  auto fail = [](const char* name) {
    char line[256];
    std::snprintf(line, sizeof line, "[zazudaza -> filter] session -> cu_xmem_init_ext(%s) -> return NULL -> exit!\r\n",
                  name);
    std::fputs(line, stdout);
    std::fflush(stdout);
    edgeserv_ctx* ctx = edge_context();
    if (ctx && ctx->log) cu_log_error(ctx->log, "%s", line);
    std::exit(-1);
  };
  auto* s = new Store();
  s->lock = cu_sem_malloc();
  const PoolShape& a = geometry.arena;
  s->arena =
      s->lock ? cu_xmem_init_ext(s->lock, a.page_size, a.max_pages, a.granularity, nullptr, nullptr, nullptr) : nullptr;
  if (!s->arena) fail("session cache");
  for (int i = 0; i < kPoolCount; ++i) {
    const PoolShape& p = geometry.pools[i];
    // Emptied pages go back to the arena, so that freed values bring the store below its limit.
    s->pools[i] = cu_xmem_init_ext_ext(nullptr, p.page_size, p.max_pages, p.granularity, true, arena_page,
                                       arena_page_free, s->arena);
    if (!s->pools[i]) fail(kPoolNames[i]);
  }
  s->domains = new_tree(*s, kDomainTree);
  if (!s->domains) fail(kPoolNames[kDomainTree]);
  s->baseline = cu_xmem_used_space_size(s->arena);
  g_store.store(s, std::memory_order_release);
}

void session_store_destroy() {
  Store* s = g_store.exchange(nullptr, std::memory_order_acq_rel);
  if (!s) return;
  {
    SemLock hold(s->lock);
    empty_store(*s);
    cu_stree_free(s->domains);
    for (cu_xmem* pool : s->pools) cu_xmem_exit(pool);
  }
  cu_xmem_exit(s->arena);
  cu_sem_free(s->lock);
  delete s;
}

void learn_sessions(http_parser* response, const char* cache_key) {
  Store* s = store();
  if (!s || !response || !cache_key) return;
  struct Pick {
    const SessionRule* rule;
    Learned cookie;
  };
  const std::vector<SessionRule> rules = session_rules(cache_key);
  std::vector<Pick> picks;
  for (const SessionRule& rule : rules) {
    Pick pick{&rule, {}};
    if (pick_cookie(response, rule.key.c_str(), cache_key, pick.cookie)) picks.push_back(std::move(pick));
  }
  if (picks.empty()) return;
  SemLock hold(s->lock);
  for (const Pick& pick : picks) {
    const SessionRule& rule = *pick.rule;
    const Learned& c = pick.cookie;
    const int64_t now = session_questions().now();
    if (store_value(*s, c.domain.c_str(), rule.key.c_str(), c.value.c_str(), c.path.c_str(), rule.lifetime, now) ==
        Stored::kFailed) {
      continue;
    }
    reqgate_session_learned_fn hook = session_learned_hook();
    if (!hook) continue;
    // The hook may call back into the store: it runs without the lock, on texts of its own.
    hold.unlock();
    hook(c.domain.c_str(), rule.key.c_str(), c.value.c_str(), c.path.c_str(), rule.lifetime);
    hold.relock();
  }
}

bool is_member(http_parser* request, const char* cache_key) {
  Store* s = store();
  if (!s || !request || !cache_key) return false;
  char host[256];
  if (!http_parser_GetKey(request, "Host", host, sizeof host)) return false;
  std::string cookie(16384, '\0');
  if (!http_parser_GetKey(request, "Cookie", cookie.data(), static_cast<int32_t>(cookie.size()))) return false;
  SemLock hold(s->lock);
  if (s->count == 0) return false;
  std::vector<DomainRecord*> domains;
  walk(s->domains, [&](const char* text, void* d) {
    if (!http_setcookie_MatchDomain(text, host)) return false;
    if (domains.size() == kMaxMatchingDomains) return true;
    domains.push_back(static_cast<DomainRecord*>(d));
    return false;
  });
  DomainRecord* domain = nullptr;
  KeyRecord* key = nullptr;
  ValueRecord* session = nullptr;
  for (DomainRecord* d : domains) {
    walk(d->keys, [&](const char* text, void* k) {
      char value[1024];
      void* found = nullptr;
      if (!http_setcookie_GetKey(cookie.c_str(), text, value, sizeof value)) return false;
      if (!cu_stree_find(static_cast<KeyRecord*>(k)->values, value, &found)) return false;
      key = static_cast<KeyRecord*>(k);
      session = static_cast<ValueRecord*>(found);
      return true;
    });
    domain = d;
    if (session) break;
  }
  if (!session) return false;
  session->expiry = session_questions().now() + session->lifetime;
  const char* path = std::strchr(cache_key, '/');
  if (!path) return false;
  if (http_setcookie_MatchPath(session->path, path)) return true;
  trace(
      "[filter -> session -> PathNotMatch] -> [SessionDomain -> SessionKey -> SessionPath -> RequestPath -> "
      "RequestUrl] %s -> %s -> %s -> %s -> %s\r\n",
      domain->text, key->text, session->path, path, cache_key);
  return false;
}

void strip_session_cookies(http_parser* request) {
  if (!request) return;
  alignas(16) char block[kRuleBlock];
  cu_list* names = session_questions().session_ids(block, kRuleBlock);
  if (!names || !http_parser_IsKey(request, "Cookie")) return;
  // Every Cookie line is read whole, so that nothing past a fixed length is lost when the line is
  // written back; a name that stands twice goes every time.
  std::vector<std::string> lines;
  std::string line(static_cast<size_t>(std::max(http_parser_GetLen(request), 0)) + 1, '\0');
  bool changed = false;
  for (int32_t n = 0; http_parser_GetNthKey(request, "Cookie", n, line.data(), static_cast<int32_t>(line.size()));
       ++n) {
    std::string text = line.c_str();
    for (cu_list* node = cu_list_first(names); node; node = node->next) {
      const auto* name = static_cast<const char*>(node->data);
      char value[2];
      while (name && http_setcookie_GetKey(text.c_str(), name, value, sizeof value)) {
        const size_t before = text.size();
        http_setcookie_DelKey(text.data(), name);
        text.resize(std::strlen(text.c_str()));
        if (text.size() == before) break;
        changed = true;
      }
    }
    // The first cookie removed leaves its separator behind.
    text.erase(0, text.find_first_not_of("; "));
    lines.push_back(std::move(text));
  }
  if (!changed) return;
  for (size_t n = 0; n < lines.size(); ++n) http_parser_DelKey(request, "Cookie");
  for (const std::string& text : lines) {
    if (!text.empty()) http_parser_InsertKey(request, "Cookie", text.c_str());
  }
}

void session_sweep() {
  Store* s = store();
  if (!s) return;
  const int64_t now = session_questions().now();
  SemLock hold(s->lock);
  sweep_locked(*s, now);
}

int32_t start_session_sweep(vor_box* box, int32_t seconds) {
  if (!box || seconds <= 0) return 0;
  const uint64_t ms = std::min<uint64_t>(static_cast<uint64_t>(seconds) * 1000u, UINT32_MAX);
  const int32_t id = vor_box_NewLoopTimer(box, static_cast<uint32_t>(ms), sweep_tick, nullptr);
  return id > 0 ? id : 0;
}

std::vector<SessionEntry> session_snapshot() {
  std::vector<SessionEntry> out;
  Store* s = store();
  if (!s) return out;
  SemLock hold(s->lock);
  walk(s->domains, [&](const char* domain, void* dv) {
    auto* d = static_cast<DomainRecord*>(dv);
    if (cu_stree_nnodes(d->keys) == 0) out.push_back({SessionEntry::kDomain, domain, {}, {}, 0, 0, {}});
    walk(d->keys, [&](const char* key, void* kv) {
      auto* k = static_cast<KeyRecord*>(kv);
      if (cu_stree_nnodes(k->values) == 0) out.push_back({SessionEntry::kKey, domain, key, {}, 0, 0, {}});
      walk(k->values, [&](const char* value, void* vv) {
        auto* v = static_cast<ValueRecord*>(vv);
        out.push_back({SessionEntry::kValue, domain, key, value, v->expiry, v->lifetime, v->path});
        return false;
      });
      return false;
    });
    return false;
  });
  return out;
}

void session_fail_allocation_after(int64_t n) {
  Store* s = store();
  if (!s) return;
  SemLock hold(s->lock);
  s->fail_after = n;
}

}  // namespace vor::reqgate

using namespace vor::reqgate;

void wc_sessionvalue_add(const char* domain, const char* key, const char* value, const char* path, uint32_t lifetime) {
  Store* s = store();
  if (!s || !domain || !key || !value) return;
  const int64_t now = session_questions().now();
  vor::SemLock hold(s->lock);
  store_value(*s, domain, key, value, path ? path : "/", lifetime, now);
}

void wc_sessionvalue_del(const char* domain, const char* key, const char* value) {
  Store* s = store();
  if (!s || !domain || !key || !value) return;
  vor::SemLock hold(s->lock);
  void* d = nullptr;
  void* k = nullptr;
  if (!cu_stree_find(s->domains, domain, &d) || !cu_stree_find(static_cast<DomainRecord*>(d)->keys, key, &k)) return;
  remove_value(*s, *static_cast<KeyRecord*>(k), value, nullptr);
}

void reqgate_CleanSessionCaches(void) {
  Store* s = store();
  if (!s) return;
  vor::SemLock hold(s->lock);
  empty_store(*s);
}

uint32_t reqgate_GetNumOfSessionCaches(void) {
  Store* s = store();
  if (!s) return 0;
  vor::SemLock hold(s->lock);
  return s->count;
}

uint64_t reqgate_GetSessionCacheSize(void) {
  Store* s = store();
  if (!s) return 0;
  vor::SemLock hold(s->lock);
  return in_use(*s);
}
