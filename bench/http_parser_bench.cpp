// Feeding request heads of 400 bytes and 2 KB (whole, and in 64-byte pieces), and header
// look-ups with the name index, by text search, and in a head too large for the index.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "http_parser.h"

namespace {

std::string request_head(size_t target_size) {
  std::string head =
      "GET /shop/catalog/item.html?id=12345&ref=home HTTP/1.1\r\n"
      "Host: www.example.test\r\n"
      "User-Agent: bench/1.0 (X11; Linux x86_64)\r\n"
      "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
      "Accept-Language: en-GB,en;q=0.5\r\n"
      "Accept-Encoding: gzip, deflate, br\r\n"
      "Connection: keep-alive\r\n";
  for (int i = 0; head.size() + 40 < target_size; ++i) head += "X-Extra-" + std::to_string(i) + ": some value\r\n";
  head += "Cookie: s=" + std::string(target_size - head.size() - 14, 'c') + "\r\n\r\n";
  return head;
}

void feed(benchmark::State& state, size_t size, size_t piece) {
  const std::string head = request_head(size);
  http_parser* p = http_parser_make();
  for (auto _ : state) {
    http_parser_empty(p);
    for (size_t at = 0; at < head.size(); at += piece) {
      const size_t n = std::min(piece, head.size() - at);
      benchmark::DoNotOptimize(http_parser_parse(p, head.data() + at, static_cast<int32_t>(n)));
    }
    benchmark::DoNotOptimize(http_parser_check(p));
  }
  state.counters["head_bytes"] = static_cast<double>(http_parser_GetLen(p));
  state.SetItemsProcessed(state.iterations());
  http_parser_free(p);
}

void BM_FeedWhole400(benchmark::State& s) { feed(s, 400, 1 << 20); }
void BM_FeedSplit400(benchmark::State& s) { feed(s, 400, 64); }
void BM_FeedWhole2K(benchmark::State& s) { feed(s, 2000, 1 << 20); }
void BM_FeedSplit2K(benchmark::State& s) { feed(s, 2000, 64); }
BENCHMARK(BM_FeedWhole400);
BENCHMARK(BM_FeedSplit400);
BENCHMARK(BM_FeedWhole2K);
BENCHMARK(BM_FeedSplit2K);

// The full round of the edge server for one head: feed, check, index, then five look-ups.
void BM_FeedIndexAndRead400(benchmark::State& state) {
  const std::string head = request_head(400);
  http_parser* p = http_parser_make();
  char value[256];
  for (auto _ : state) {
    http_parser_empty(p);
    http_parser_parse(p, head.data(), static_cast<int32_t>(head.size()));
    http_parser_buildIndex(p);
    for (const char* name : {"Host", "Cookie", "Accept-Encoding", "Connection", "Range"}) {
      benchmark::DoNotOptimize(http_parser_GetKey(p, name, value, sizeof(value)));
    }
  }
  state.SetItemsProcessed(state.iterations());
  http_parser_free(p);
}
BENCHMARK(BM_FeedIndexAndRead400);

// Look-ups of eight names (six present, two absent) in a head with `headers` extra lines.
void lookups(benchmark::State& state, int extra_headers, bool index) {
  std::string head = "GET / HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n";
  for (int i = 0; i < extra_headers; ++i) head += "X-Extra-" + std::to_string(i) + ": v\r\n";
  head += "Cookie: a=1\r\nConnection: close\r\nVia: 1.1 p\r\nReferer: /r\r\n\r\n";
  http_parser* p = http_parser_make();
  http_parser_parse(p, head.data(), static_cast<int32_t>(head.size()));
  if (index) http_parser_buildIndex(p);
  state.counters["indexed"] = p->index_count > 0 ? 1 : 0;
  static const char* const kNames[] = {"Host", "accept", "Cookie", "Connection",
                                       "Via",  "Referer", "Range", "If-None-Match"};
  char value[64];
  for (auto _ : state) {
    for (const char* name : kNames) benchmark::DoNotOptimize(http_parser_GetKey(p, name, value, sizeof(value)));
  }
  state.SetItemsProcessed(state.iterations() * 8);
  http_parser_free(p);
}

void BM_LookupIndexed(benchmark::State& s) { lookups(s, 10, true); }
void BM_LookupTextSearch(benchmark::State& s) { lookups(s, 10, false); }
void BM_LookupPastIndex70Headers(benchmark::State& s) { lookups(s, 64, true); }
BENCHMARK(BM_LookupIndexed);
BENCHMARK(BM_LookupTextSearch);
BENCHMARK(BM_LookupPastIndex70Headers);

}  // namespace
