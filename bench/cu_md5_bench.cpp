// MD5 throughput: cache file names come from cache keys, and stored bodies are digested
// while they stream. Compare the figures with `openssl speed md5`.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "cu_md5.h"

namespace {

void BM_Md5Stream(benchmark::State& state) {
  const std::vector<uint8_t> data(size_t(state.range(0)), 0x5a);
  char out[33];
  for (auto _ : state) {
    cu_md5 ctx;
    cu_md5_init(&ctx);
    cu_md5_append(&ctx, data.data(), int32_t(data.size()));
    cu_md5_finish(&ctx, out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md5Stream)->Arg(16)->Arg(64)->Arg(256)->Arg(1024)->Arg(8192)->Arg(16384)->Arg(1 << 20);

// A typical cache key: the text of a URL.
void BM_Md5EncodeCacheKey(benchmark::State& state) {
  const std::string key = "http://www.example.com/static/images/product/12345/large-view.jpg?v=20261210";
  char out[33];
  for (auto _ : state) {
    cu_md5_encode(out, key.c_str());
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Md5EncodeCacheKey);

}  // namespace
