// The memory cache's costs: slice reads and stores at 1 to 8 threads; one replacement call on a
// full cache of 100,000 entries; how long a regular-expression purge over 100,000 entries runs,
// and the longest a hit waits while it runs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "memstore_internal.h"

namespace {

using vor::memstore::Geometry;
using vor::memstore::Kind;
using vor::memstore::Settings;
using vor::memstore::Sizing;
using vor::memstore::Store;

constexpr int kUrls = 256;

std::unique_ptr<Store> make_store(uint64_t budget) {
  Sizing sizing;
  sizing.mem = budget;
  sizing.budget = budget;
  sizing.page_limit = budget / vor::memstore::kBodyPageSize + 1;
  sizing.public_slots = vor::memstore::public_slots_of(budget);
  auto store = std::make_unique<Store>(sizing, vor::memstore::live_environment(), Geometry{});
  if (store->setup() != vor::memstore::PoolFailure::kNone) return nullptr;
  Settings quiet;
  quiet.verbose = false;
  store->configure(quiet);
  return store;
}

void put(Store& store, const std::string& url, const std::string& body) {
  vor::XJitter caller(nullptr, 4096, 1024);
  cu_xjitter_SetData(caller.get(), body.data(), body.size());
  store.set_data_x(Kind::kPublic, 0, url.c_str(), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", caller.get(),
                   2000000000, 1);
}

std::string url_of(int i) { return "bench.host/path/" + std::to_string(i) + ".html"; }

std::unique_ptr<Store> g_shared;

// One read of up to 16 KiB (the whole body of 1 KB, a slice of the 100 KB one) per operation.
void BM_GetDataXSlice(benchmark::State& state) {
  const auto body_size = static_cast<uint32_t>(state.range(0));
  if (state.thread_index() == 0) {
    g_shared = make_store(uint64_t{512} << 20);
    for (int i = 0; i < kUrls; ++i) put(*g_shared, url_of(i), std::string(body_size, 'b'));
  }
  std::vector<std::string> urls;
  for (int i = 0; i < kUrls; ++i) urls.push_back(url_of(i));
  std::string out(16384, '\0');
  uint32_t n = static_cast<uint32_t>(state.thread_index()) * 7919;
  for (auto _ : state) {
    ++n;
    const uint32_t from = body_size > 16384 ? (n * 16384) % body_size : 0;
    benchmark::DoNotOptimize(g_shared->get_data(Kind::kPublic, urls[n % kUrls].c_str(), true, nullptr, nullptr, 0, from,
                                                from + 16384, out.data()));
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) g_shared.reset();
}
BENCHMARK(BM_GetDataXSlice)->Arg(1024)->Arg(102400)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();

// One store of a 1 KB body per operation, over 256 urls per thread (each store replaces a version).
void BM_SetDataX(benchmark::State& state) {
  if (state.thread_index() == 0) g_shared = make_store(uint64_t{512} << 20);
  const std::string body(1024, 's');
  std::vector<std::string> urls;
  for (int i = 0; i < kUrls; ++i) urls.push_back(url_of(i) + "/" + std::to_string(state.thread_index()));
  vor::XJitter caller(nullptr, 4096, 1024);
  int n = 0;
  for (auto _ : state) {
    cu_xjitter_SetData(caller.get(), body.data(), body.size());
    g_shared->set_data_x(Kind::kPublic, 0, urls[static_cast<size_t>(++n % kUrls)].c_str(), "HTTP/1.1 200 OK\r\n\r\n",
                         caller.get(), 2000000000, 1);
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) g_shared.reset();
}
BENCHMARK(BM_SetDataX)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();

std::unique_ptr<Store> full_cache(int entries) {
  auto store = make_store(uint64_t{1} << 30);
  const std::string body(1000, 'f');
  for (int i = 0; i < entries; ++i) put(*store, url_of(i), body);
  return store;
}

// One replacement call for 2,048 bytes on 100,000 entries; the freed entries are stored again
// outside the timing so the cache stays full.
void BM_ReplaceOnFullCache(benchmark::State& state) {
  auto store = full_cache(100000);
  const std::string body(1000, 'f');
  int next = 100000;
  for (auto _ : state) {
    store->replace(2048);
    state.PauseTiming();
    while (store->table_count(Kind::kPublic) < 100000) put(*store, url_of(next++), body);
    state.ResumeTiming();
  }
  state.counters["entries"] = store->table_count(Kind::kPublic);
}
BENCHMARK(BM_ReplaceOnFullCache)->Unit(benchmark::kMicrosecond);

// A regular-expression purge that walks 100,000 entries and drops none, while another thread
// reads whole entries: longest_hit_us is the slowest read seen during the purges (the longest
// time the purge kept a hit waiting), hits the reads done meanwhile.
void BM_RegexPurgeLockHold(benchmark::State& state) {
  auto store = full_cache(100000);
  std::atomic<bool> purging{true};
  std::atomic<int64_t> longest_ns{0};
  std::atomic<int64_t> hits{0};
  std::thread reader([&] {
    std::string head(256, '\0'), body(1000, '\0');
    for (int i = 0; purging.load(std::memory_order_relaxed); ++i) {
      const std::string url = url_of(i % 100000);
      const auto start = std::chrono::steady_clock::now();
      store->get_data(Kind::kPublic, url.c_str(), false, nullptr, head.data(), 256, 0, 1000, body.data());
      const int64_t took =
          std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
      if (took > longest_ns.load(std::memory_order_relaxed)) longest_ns.store(took, std::memory_order_relaxed);
      hits.fetch_add(1, std::memory_order_relaxed);
    }
  });
  while (hits.load() == 0) std::this_thread::yield();
  for (auto _ : state) benchmark::DoNotOptimize(store->clean_rules(Kind::kPublic, "^other\\.host/.*\\.jpg$", 0, 1));
  purging = false;
  reader.join();
  state.counters["entries"] = store->table_count(Kind::kPublic);
  state.counters["longest_hit_us"] = static_cast<double>(longest_ns.load()) / 1000.0;
  state.counters["hits"] = static_cast<double>(hits.load());
}
BENCHMARK(BM_RegexPurgeLockHold)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace
