// The memory cache's tests: a store with small pools, a clock the test moves, rule answers the
// test sets, a seeded random generator and the console lines collected; a caller's body queue on a
// pool of its own, so a test sees every block go back.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cu_wtb.h"
#include "cu_xjitter.h"
#include "cu_xmem.h"
#include "memstore_internal.h"

namespace vor::memstore::test {

// The world of every test store of the process (plain function pointers reach only globals).
struct World {
  std::atomic<int64_t> clock{1700000000};
  std::atomic<bool> cache_on{true};
  std::atomic<uint32_t> random_state{12345};
  std::mutex mu;
  std::set<std::string> icache, fcache, rcache;
  std::vector<std::string> lines;

  void reset() {
    clock = 1700000000;
    cache_on = true;
    random_state = 12345;
    std::lock_guard<std::mutex> hold(mu);
    icache.clear();
    fcache.clear();
    rcache.clear();
    lines.clear();
  }
  std::vector<std::string> take_lines() {
    std::lock_guard<std::mutex> hold(mu);
    return std::exchange(lines, {});
  }
};

inline World& world() {
  static World w;
  return w;
}

inline bool in(const std::set<std::string>& set, const char* url) {
  std::lock_guard<std::mutex> hold(world().mu);
  return set.count(url) != 0;
}

inline Environment test_environment() {
  Environment env;
  env.now = [] { return world().clock.load(); };
  env.mem_cache_on = [] { return world().cache_on.load(); };
  env.icache_hit = [](const char* url) { return in(world().icache, url); };
  env.fcache_hit = [](const char* url) { return in(world().fcache, url); };
  env.rcache_hit = [](const char* url) { return in(world().rcache, url); };
  env.random = [] {
    // A fixed sequence (xorshift), so a failing seed replays.
    uint32_t x = world().random_state.load(std::memory_order_relaxed), next;
    do {
      next = x;
      next ^= next << 13;
      next ^= next >> 17;
      next ^= next << 5;
    } while (!world().random_state.compare_exchange_weak(x, next, std::memory_order_relaxed));
    return static_cast<int32_t>(next & 0x7FFFFFFF);
  };
  env.console = [](const char* line) {
    std::lock_guard<std::mutex> hold(world().mu);
    world().lines.emplace_back(line);
  };
  return env;
}

// Pools of 64 KiB pages: a body page holds 31 blocks of 2,048 bytes.
constexpr uint64_t kTestPage = 65536;

inline Sizing test_sizing(uint64_t pages, uint32_t public_slots = 16384) {
  Sizing s;
  s.budget = pages * kTestPage;
  s.mem = s.budget;
  s.page_limit = pages;
  s.public_slots = public_slots;
  return s;
}

inline Geometry test_geometry(uint64_t entry_pages = 1024) {
  Geometry g;
  g.body_page = kTestPage;
  g.small_page = kTestPage;
  g.entry_page_limit = entry_pages;
  return g;
}

inline std::unique_ptr<Store> make_store(uint64_t pages = 64, Settings settings = {}, uint64_t entry_pages = 1024,
                                         uint32_t public_slots = 16384) {
  world().reset();
  auto store =
      std::make_unique<Store>(test_sizing(pages, public_slots), test_environment(), test_geometry(entry_pages));
  if (store->setup() != PoolFailure::kNone) return nullptr;
  store->configure(settings);
  return store;
}

inline Settings quiet() {
  Settings s;
  s.verbose = false;
  return s;
}

// A caller's body queue on its own pool.
class CallerBody {
 public:
  CallerBody() : pool_(cu_xmem_init(1 << 20, 64)), queue_(pool_, 4096, 1 << 20) {
    baseline_ = cu_xmem_used_space_size(pool_);
  }
  ~CallerBody() {
    cu_xjitter_empty(queue_.get());
    cu_xmem_exit(pool_);
  }
  CallerBody(const CallerBody&) = delete;
  CallerBody& operator=(const CallerBody&) = delete;

  cu_xjitter* with(const std::string& bytes) {
    cu_xjitter_SetData(queue_.get(), bytes.data(), bytes.size());
    return queue_.get();
  }
  // Empty, and every block back in its pool.
  bool drained() { return cu_xjitter_GetLen(queue_.get()) == 0 && cu_xmem_used_space_size(pool_) == baseline_; }

 private:
  cu_xmem* pool_;
  XJitter queue_;
  uint64_t baseline_ = 0;
};

inline std::string pattern(size_t n, uint32_t seed = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
  return s;
}

// Stores through the public interface of the store with a body of those bytes.
inline void put(Store& store, Kind kind, const std::string& url, const std::string& body, uint32_t type = 0,
                uint8_t content_class = 0, const std::string& head = "HTTP/1.1 200 OK\r\n\r\n",
                uint32_t expire = 1800000000) {
  CallerBody caller;
  store.set_data_x(kind, type, url.c_str(), head.c_str(), caller.with(body), expire, content_class);
}

// The whole stored body, or "<absent>".
inline std::string body_of(Store& store, Kind kind, const std::string& url) {
  std::string out(2097152, '\0');
  const int32_t n = store.get_data(kind, url.c_str(), false, nullptr, nullptr, 0, 0, 2097152, out.data());
  if (n < 0) return "<absent>";
  out.resize(static_cast<size_t>(n));
  return out;
}

// The text listing of a table.
inline std::string list_of(Store& store, Kind kind) {
  wtb* w = wtb_make(nullptr, 0);
  store.list_text(kind, w);
  std::string text = wtb_GetTextString(w);
  wtb_free(w);
  return text;
}

// Every listed url with the access count its line shows.
inline std::map<std::string, long> counts_of(Store& store, Kind kind) {
  std::map<std::string, long> counts;
  const std::string text = list_of(store, kind);
  size_t pos = 0;
  while ((pos = text.find("accesscount: ", pos)) != std::string::npos) {
    const size_t eol = text.find("\r\n", pos);
    const size_t arrow = text.find(" -> ", pos);
    std::string url = text.substr(arrow + 4, eol - arrow - 4);
    if (url.rfind("http://", 0) == 0) url = url.substr(7);
    counts[url] = std::stol(text.substr(pos + 13, arrow - pos - 13));
    pos = eol;
  }
  return counts;
}

// The access count the listing shows for url; -1 when it is not listed.
inline long access_count(Store& store, Kind kind, const std::string& url) {
  const auto counts = counts_of(store, kind);
  auto it = counts.find(url);
  return it == counts.end() ? -1 : it->second;
}

// The urls stored in a table.
inline std::set<std::string> urls_of(Store& store, Kind kind) {
  std::set<std::string> urls;
  for (const auto& [url, count] : counts_of(store, kind)) urls.insert(url);
  return urls;
}

}  // namespace vor::memstore::test
