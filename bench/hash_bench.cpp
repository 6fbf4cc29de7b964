// Hash table costs at 10^4 to 10^6 entries: find, and an insert paired with a delete that keeps
// the table at its size. Buckets: as many as entries (load 1), and the 16,384 that the client
// tables of the proxy use (long chains at the larger sizes).
#include "cu_xhash.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

// Socket-id-like keys: a generation count in the high bits above a descriptor-like number.
int64_t sid_key(int64_t i) { return (int64_t{1} << 32) | i; }

void args(benchmark::internal::Benchmark* b) {
  for (int64_t entries : {10000, 100000, 1000000}) {
    b->Args({entries, entries});
    b->Args({entries, 16384});
  }
}

cu_i64hash* filled_i64(int64_t entries, int64_t buckets) {
  cu_i64hash* t = cu_i64hash_malloc(buckets);
  for (int64_t i = 0; i < entries; ++i) cu_i64hash_insert(t, sid_key(i), reinterpret_cast<void*>(i + 1));
  return t;
}

void BM_I64HashFind(benchmark::State& state) {
  const int64_t entries = state.range(0);
  cu_i64hash* t = filled_i64(entries, state.range(1));
  std::mt19937_64 rng(1);
  std::vector<int64_t> probes(4096);
  for (auto& p : probes) p = sid_key(static_cast<int64_t>(rng() % static_cast<uint64_t>(entries)));
  size_t i = 0;
  for (auto _ : state) {
    void* v = nullptr;
    benchmark::DoNotOptimize(cu_i64hash_find(t, probes[i++ & 4095], &v));
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations());
  cu_i64hash_free(t);
}
BENCHMARK(BM_I64HashFind)->Apply(args);

// One insert of a new key and one delete of the oldest key per iteration.
void BM_I64HashInsertDelete(benchmark::State& state) {
  const int64_t entries = state.range(0);
  cu_i64hash* t = filled_i64(entries, state.range(1));
  int64_t oldest = 0, next = entries;
  for (auto _ : state) {
    cu_i64hash_insert(t, sid_key(next++), &state);
    cu_i64hash_delete(t, sid_key(oldest++));
  }
  state.SetItemsProcessed(2 * state.iterations());
  cu_i64hash_free(t);
}
BENCHMARK(BM_I64HashInsertDelete)->Apply(args);

void BM_ShashFind(benchmark::State& state) {
  const int64_t entries = state.range(0);
  cu_shash* t = cu_shash_malloc(static_cast<int32_t>(state.range(1)));
  std::vector<std::string> keys;
  keys.reserve(static_cast<size_t>(entries));
  for (int64_t i = 0; i < entries; ++i) {
    keys.push_back("/static/img/" + std::to_string(i * 7919) + ".png");
    cu_shash_insert(t, keys.back().c_str(), &state);
  }
  std::mt19937_64 rng(2);
  size_t i = 0;
  std::vector<const char*> probes(4096);
  for (auto& p : probes) p = keys[rng() % keys.size()].c_str();
  for (auto _ : state) benchmark::DoNotOptimize(cu_shash_find(t, probes[i++ & 4095], nullptr));
  state.SetItemsProcessed(state.iterations());
  cu_shash_free(t);
}
BENCHMARK(BM_ShashFind)->Apply(args);

}  // namespace
