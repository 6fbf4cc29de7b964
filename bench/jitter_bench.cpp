// Byte queue throughput for 32 KB chunks: append one chunk and take one chunk per iteration,
// with the queue empty between chunks or holding a standing backlog of 1 MB.
#include "cu_jitter.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

constexpr int32_t kChunk = 32768;

void BM_JitterSetGet(benchmark::State& state) {
  const auto block_size = static_cast<int32_t>(state.range(0));
  const auto backlog = static_cast<int32_t>(state.range(1));
  cu_jitter* q = cu_jitter_mallocx(block_size, 100000, nullptr);
  std::vector<uint8_t> in(kChunk, 0x5a), out(kChunk);
  for (int32_t held = 0; held < backlog; held += kChunk) cu_jitter_SetData(q, in.data(), kChunk);
  for (auto _ : state) {
    benchmark::DoNotOptimize(cu_jitter_SetData(q, in.data(), kChunk));
    benchmark::DoNotOptimize(cu_jitter_GetData(q, out.data(), kChunk));
  }
  // Each byte is copied in and copied out once.
  state.SetBytesProcessed(state.iterations() * int64_t{kChunk});
  cu_jitter_free(q);
}
BENCHMARK(BM_JitterSetGet)
    ->ArgNames({"block", "backlog"})
    ->Args({16384, 0})
    ->Args({16384, 1 << 20})
    ->Args({4096, 0})
    ->Args({4096, 1 << 20});

}  // namespace
