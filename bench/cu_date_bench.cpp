// HTTP date writing and reading: every response head carries a Date, and cache checks parse
// Last-Modified and If-Modified-Since.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "cu_date.h"

namespace {

std::vector<int64_t> sample_times() {
  std::mt19937_64 rng(7);
  std::vector<int64_t> times(1024);
  for (auto& t : times) t = int64_t(rng() % 4102444800);
  return times;
}

void BM_GMTStringWrite(benchmark::State& state) {
  const auto times = sample_times();
  char buf[32];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cu_GetGMTString2(times[i++ & 1023], buf, sizeof buf));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_GMTStringWrite);

void parse_all(benchmark::State& state, const std::vector<std::string>& texts) {
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(cu_DateParse(texts[i++ & 1023].c_str()));
}

std::vector<std::string> written_texts() {
  std::vector<std::string> texts;
  char buf[32];
  for (int64_t t : sample_times()) texts.push_back(cu_GetGMTString2(t, buf, sizeof buf));
  return texts;
}

// The usual form, "Sun, 06 Nov 1994 08:49:37 GMT": the sixth layout tried.
void BM_DateParseUsualForm(benchmark::State& state) { parse_all(state, written_texts()); }
BENCHMARK(BM_DateParseUsualForm);

// "Sun Nov 6 08:49:37 GMT 1994": the last layout, after six failed tries.
void BM_DateParseLastLayout(benchmark::State& state) {
  std::vector<std::string> texts(1024, "Sun Nov 6 08:49:37 GMT 1994");
  parse_all(state, texts);
}
BENCHMARK(BM_DateParseLastLayout);

void BM_DateParseGarbage(benchmark::State& state) {
  std::vector<std::string> texts(1024, "not a date at all, but a long header value");
  parse_all(state, texts);
}
BENCHMARK(BM_DateParseGarbage);

void BM_DateToTime(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(cu_DateToTime("2024-01-02 03:04:05"));
}
BENCHMARK(BM_DateToTime);

}  // namespace
