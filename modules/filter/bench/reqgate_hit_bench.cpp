// Memory-cache hits served through reqgate_HitCache_v4, each after its admission
// (reqgate_NewRequest_v4): 10,000 warmed hits per case on a 1 KB binary, a 100 KB binary and a
// 100 KB text stored gzip-encoded (served decoded to a client without Accept-Encoding, and as
// stored to one with gzip), each with a plain force-cache answer and with a regular-expression
// force-cache rule (every match allocates its match data); beside them the floor of a hit, the
// memory cache's reads alone (read_copy). Per hit it prints the calls into the
// process allocator, the C++ allocations (operator new), the pool allocations by pool, the memory cache's lock takes and the bytes
// written; beside hits/s, the hits/s a single-lock allocator would allow at the allocation
// rate measured, from its rates of 15.8, 4.1, 2.1 and 1.0 M operations/s (allocations + frees,
// over all threads) at 1, 2, 4 and 8 threads.
//
// The edge server's writers and closes are this program's own (the linker takes them before
// the edge server's): bytes are counted and dropped, so the hit path is all that is measured.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "bench_pages.h"
#include "cu_config.h"
#include "cu_malloc.h"
#include "cu_xjitter.h"
#include "cu_xmem.h"
#include "edgeserv.h"
#include "memstore.h"
#include "policydb.h"
#include "reqgate.h"
#include "reqgate_internal.h"
#include "vor_regex.h"

// C++ allocations bypass the process allocator: this program's operator new counts them per
// thread too.
namespace {
thread_local uint64_t t_news = 0;
}  // namespace

void* operator new(std::size_t n) {
  ++t_news;
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

// The hit path may not be in this build yet: the whole request filter is linked in, and the
// benchmark says so when the export is missing instead of failing to link.
#pragma weak reqgate_HitCache_v4

namespace {

// ---- the edge server's side: counted and dropped ----

struct Sink {
  uint64_t writes = 0;
  uint64_t bytes = 0;
  uint64_t closes = 0;
  uint64_t errors = 0;
};
thread_local Sink t_sink;
thread_local client_rec t_client{};

}  // namespace

extern "C" {
uint8_t edgeserv_WriteJitter(int64_t, const char* data, int32_t len) {
  ++t_sink.writes;
  t_sink.bytes += data && len > 0 ? static_cast<uint64_t>(len) : 0;
  return 1;
}
void edgeserv_close(int64_t, uint32_t) { ++t_sink.closes; }
void edgeserv_TryFasterSafeClose(int64_t) { ++t_sink.closes; }
void edgeserv_unclose(int64_t) {}
void edgeserv_return500(int64_t, const char*, const char*) { ++t_sink.errors; }
client_rec* edgeserv_GetClient_BySid(int64_t sid) {
  t_client.sid = sid;
  return &t_client;
}
// The cached clock of a running edge server.
int64_t edgeserv_mytime(void) { return static_cast<int64_t>(std::time(nullptr)); }
// The node under the peers benchmark runs with X-Cache on.
uint8_t policydb_system_get_AddXCacheToHeader(void) { return 1; }
}

namespace {

using namespace vor::reqgate;

constexpr char kHost[] = "bench.example";
constexpr uint32_t kLifetime = 3600;
constexpr int kHits = 10000;
constexpr double kSingleLockOpsAt1 = 15.8e6;
constexpr double kSingleLockOpsAt8 = 1.0e6;

// ---- admission: a plain force-cache answer, or a regular-expression rule ----

vor_regex* g_rule = nullptr;
thread_local bool t_regex_rule = false;  // each benchmark thread sets its case's rule

uint32_t force_rule(const char* url, uint8_t*, uint32_t*, uint32_t*) {
  if (!t_regex_rule) return kLifetime;
  return vor_regex_match(g_rule, url) ? kLifetime : 0;
}
uint8_t refuse_none(const char*, uint32_t*, uint32_t*) { return 0; }

void answer_rules() {
  rules() = RuleQuestions{
      force_rule,
      []() -> uint32_t { return 4u << 20; },
      []() -> uint8_t { return 1; },
      [](const char*, int32_t*, char*, int32_t) -> uint8_t { return 0; },
      []() -> uint8_t { return 0; },
      {force_rule, force_rule, force_rule},
      {refuse_none, refuse_none, refuse_none},
  };
}

// ---- the stored copies ----

std::string binary_body(size_t size) {
  std::string body(size, '\0');
  uint32_t x = 2463534242u;
  for (char& c : body) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  return body;
}


// A head as the node keeps it: the origin's head with Age, Via and Keep-Alive gone and
// "Connection: keep-alive" set last.
std::string origin_head(const char* type, size_t length) {
  return std::string("HTTP/1.1 200 OK\r\nServer: nginx\r\nDate: Fri, 11 Dec 2026 00:00:00 GMT\r\n") +
         "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(length) +
         "\r\nLast-Modified: Thu, 10 Dec 2026 12:00:00 GMT\r\nETag: \"6759-" + std::to_string(length) +
         "\"\r\nCache-Control: max-age=3600\r\nAccept-Ranges: bytes\r\nConnection: keep-alive\r\n\r\n";
}

void store(const std::string& key, const std::string& head, const std::string& body, uint8_t content_class) {
  cu_xjitter queue{};
  cu_xjitter_init(&queue, nullptr, 2048, 1024);
  cu_xjitter_SetData(&queue, body.data(), body.size());
  wc_publiccache_SetDataX(1, key.c_str(), head.c_str(), &queue,
                          static_cast<uint32_t>(edgeserv_mytime() + kLifetime), content_class);
  cu_xjitter_destroy(&queue);
}

// A text body stored the way the filter keeps it: gzip-encoded, its head saying so.
void store_text(const std::string& key, size_t size) {
  const std::string page = vor::reqgate::bench::html(size);
  http_parser* head = vor::reqgate::bench::head_of(origin_head("text/html", size));
  char* coded = nullptr;
  uint32_t coded_len = 0;
  if (reqgate_plugin__EncodeContent(nullptr, head, page.data(), static_cast<uint32_t>(page.size()), &coded,
                                    &coded_len)) {
    store(key, http_parser_GetStr(head), std::string(coded, coded_len), 1);
  }
  reqgate_plugin__EncodeMemFree(coded);
  http_parser_free(head);
}

struct Object {
  const char* path;
  size_t size;
  bool text;
};
const Object kObjects[] = {
    {"/obj/1k.bin", 1024, false},
    {"/obj/100k.bin", 100 * 1024, false},
    {"/obj/100k.html", 100 * 1024, true},
};

std::string key_of(const Object& o) { return std::string(kHost) + o.path; }

// The module set-up of a node, once: the memory cache and the request filter on a context
// without console lines, the objects stored.
bool setup() {
  static const bool ready = [] {
    static edgeserv_ctx ctx{};
    ctx.config = cu_config_make1("[system]\ndisplay_console=0\n");
    if (!cache.init(&ctx) || !reqgate_module_init(&ctx)) return false;
    set_console_trace(false);
    answer_rules();
    g_rule = vor_regex_make("^bench\\.example/obj/[0-9]+k\\.(bin|html)$");
    for (const Object& o : kObjects) {
      if (o.text)
        store_text(key_of(o), o.size);
      else
        store(key_of(o), origin_head("application/octet-stream", o.size), binary_body(o.size), 0);
    }
    return g_rule && memstore_GetNumOfCaches() == std::size(kObjects);
  }();
  return ready;
}

// ---- naming the pools a hit allocates from ----

// The process allocator's own size-class pools, found by the blocks they hand out; the
// edge server's file registry pool and the system pool by their exports.
std::map<const cu_xmem*, std::string> known_pools(const cu_alloc_tally& seen) {
  std::map<const cu_xmem*, std::string> names;
  if (cu_system__xmem) names[cu_system__xmem] = "system";
  if (cu_xmem* files = edgeserv_GetFOPxmemHandle()) names[files] = "edge_files";
  const uint64_t sizes[] = {40, 100, 200, 400, 800, 2000};
  const char* labels[] = {"alloc_class_32", "alloc_class_64", "alloc_class_128", "alloc_class_256",
                          "alloc_class_512", "alloc_class_1024"};
  for (size_t i = 0; i < std::size(sizes); ++i) {
    void* probe = _cu_malloc(sizes[i], "bench\\reqgate_hit_bench", __LINE__);
    for (uint32_t k = 0; k < seen.pool_count; ++k) {
      auto* pool = const_cast<cu_xmem*>(seen.pools[k].pool);
      if (!names.count(pool) && cu_xmem_is_valid(pool, probe)) names[pool] = labels[i];
    }
    _cu_free(probe, "bench\\reqgate_hit_bench", __LINE__);
  }
  return names;
}

// ---- the hit ----

struct Case {
  const Object& object;
  bool regex;
  bool gzip_client;
  bool floor;  // read_copy in place of the hit
};

std::string request_text(const Case& c) {
  std::string text = std::string("GET ") + c.object.path + " HTTP/1.1\r\nHost: " + kHost +
                     "\r\nUser-Agent: wrk\r\nAccept: */*\r\nConnection: keep-alive\r\n";
  if (c.gzip_client) text += "Accept-Encoding: gzip\r\n";
  return text + "\r\n";
}

// One request: admission, then the hit; true when the hit answered.
bool serve(http_parser* request, const char* key, int64_t sid) {
  uint8_t kind = 0, icookie = 1, permitted = 1, refused = 0;
  uint32_t lifetime = 0;
  if (!reqgate_NewRequest_v4(sid, request, key, &kind, &icookie, &lifetime, &permitted, &refused)) return false;
  uint8_t expired = 0, revalidate = 0, rewritten = 0;
  return reqgate_HitCache_v4(sid, request, key, kind, 1, &expired, &revalidate, &rewritten, permitted) == 1;
}

// The floor a memory hit stays above, to read the hits against: admission and the memory
// cache's reads of the copy as a hit makes them (its check, its head, its body in 65,536-byte
// slices), written as stored, without parsing or changing the head.
bool read_copy(http_parser* request, const char* key, int64_t sid) {
  uint8_t kind = 0, icookie = 1, permitted = 1, refused = 0;
  uint32_t lifetime = 0;
  if (!reqgate_NewRequest_v4(sid, request, key, &kind, &icookie, &lifetime, &permitted, &refused)) return false;
  static thread_local std::vector<char> head(16384), slice(65536);
  uint32_t expire = 0;
  char tag[17];
  if (!wc_publiccache_CheckDataX(key, &expire, tag) ||
      wc_publiccache_GetDataX(key, tag, head.data(), static_cast<uint32_t>(head.size()), 0, 0, nullptr) < 0)
    return false;
  edgeserv_WriteJitter(sid, head.data(), static_cast<int32_t>(std::strlen(head.data())));
  for (uint32_t from = 0;; from += static_cast<uint32_t>(slice.size())) {
    const int32_t n = wc_publiccache_GetDataX(key, tag, nullptr, 0, from, from + static_cast<uint32_t>(slice.size()),
                                              slice.data());
    if (n <= 0) break;
    edgeserv_WriteJitter(sid, slice.data(), n);
    if (static_cast<size_t>(n) < slice.size()) break;
  }
  return true;
}

void report(benchmark::State& state, const cu_alloc_tally& before, const cu_alloc_tally& after, uint64_t locks,
            uint64_t news, const Sink& sink, double hits) {
  using benchmark::Counter;
  // Per-hit figures are each thread's own: averaged over the threads, not added up.
  auto per_hit = [&](const std::string& name, double value) { state.counters[name] = Counter(value, Counter::kAvgThreads); };
  const double mallocs = static_cast<double>(after.mallocs - before.mallocs) / hits;
  const double frees = static_cast<double>(after.frees - before.frees) / hits;
  per_hit("cu_malloc/hit", mallocs);
  per_hit("cu_free/hit", frees);
  per_hit("new/hit", static_cast<double>(news) / hits);
  per_hit("pool_allocs/hit", static_cast<double>(after.pool_allocs - before.pool_allocs) / hits);
  const std::map<const cu_xmem*, std::string> names = known_pools(after);
  int unnamed = 0;
  for (uint32_t i = 0; i < after.pool_count; ++i) {
    uint64_t was = 0;
    for (uint32_t k = 0; k < before.pool_count; ++k)
      if (before.pools[k].pool == after.pools[i].pool) was = before.pools[k].allocs;
    if (after.pools[i].allocs == was) continue;
    const auto name = names.find(after.pools[i].pool);
    const std::string label = name != names.end() ? name->second : "pool_" + std::to_string(++unnamed);
    per_hit("pool[" + label + "]/hit", static_cast<double>(after.pools[i].allocs - was) / hits);
  }
  per_hit("cache_locks/hit", static_cast<double>(locks) / hits);
  per_hit("bytes/hit", static_cast<double>(sink.bytes) / hits);
  per_hit("writes/hit", static_cast<double>(sink.writes) / hits);
  state.counters["hits/s"] = Counter(hits, Counter::kIsRate);
  // A single-lock allocator serves so many allocations + frees per second over all threads
  // (inf: the hit does not call it).
  const double ops = mallocs + frees;
  per_hit("single_lock_hits/s@1t", kSingleLockOpsAt1 / ops);
  per_hit("single_lock_hits/s@8t", kSingleLockOpsAt8 / ops);
}

void Hit(benchmark::State& state, Case c) {
  if (!c.floor && !reqgate_HitCache_v4) {
    state.SkipWithError("reqgate_HitCache_v4 is not in this build: the hit path has not landed");
    return;
  }
  if (!setup()) {
    state.SkipWithError("the memory cache or the request filter could not be set up");
    return;
  }
  t_regex_rule = c.regex;
  const std::string key = key_of(c.object);
  http_parser* request = vor::reqgate::bench::head_of(request_text(c));
  const int64_t sid = 1000 + state.thread_index();
  const auto once = c.floor ? read_copy : serve;
  int served = 0;
  for (int i = 0; i < 200; ++i) served += once(request, key.c_str(), sid);  // warm the caches
  if (served != 200) {
    state.SkipWithError("the stored copy was not served (X-Cache: MISS)");
    http_parser_free(request);
    return;
  }
  t_sink = {};
  cu_alloc_tally before, after;
  cu_alloc_counts(&before);
  const uint64_t locks = memstore_GetLockTakes();
  const uint64_t news = t_news;
  for (auto _ : state) benchmark::DoNotOptimize(once(request, key.c_str(), sid));
  const uint64_t new_calls = t_news - news;
  const uint64_t lock_takes = memstore_GetLockTakes() - locks;
  cu_alloc_counts(&after);
  report(state, before, after, lock_takes, new_calls, t_sink, static_cast<double>(state.iterations()));
  http_parser_free(request);
}

void register_case(const std::string& name, const Case& c) {
  for (int threads : {1, 8})
    benchmark::RegisterBenchmark(name.c_str(), Hit, c)->Iterations(kHits)->Threads(threads)->UseRealTime();
}

void register_cases() {
  for (bool floor : {false, true}) {
    for (const Object& o : kObjects) {
      for (bool regex : {false, true}) {
        const std::string name = std::string(floor ? "Floor" : "Hit") + o.path + (regex ? "/regex_rule" : "/plain_rule");
        if (!o.text) {
          register_case(name, Case{o, regex, false, floor});
        } else {
          // The floor reads the copy as stored: only the gzip client takes it so.
          if (!floor) register_case(name + "/identity_client", Case{o, regex, false, floor});
          register_case(name + "/gzip_client", Case{o, regex, true, floor});
        }
      }
    }
  }
}

const bool g_registered = (register_cases(), true);

}  // namespace
