// Normalisation plus cache key per request for three typical heads, and write-hook calls per
// second from 1 and 8 threads while page-view statistics are on (each call takes the module lock).
#include <benchmark/benchmark.h>

#include <string>

#include "http_parser.h"
#include "upfetch.h"
#include "upfetch_internal.h"
#include "upfetch_request.h"

namespace {

using namespace vor::upfetch;

const std::string kBrowserGet =
    "GET /static/js/app.min.js?v=20261210 HTTP/1.1\r\n"
    "Host: www.example.com\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36\r\n"
    "Accept: */*\r\n"
    "Accept-Language: en-GB,en;q=0.9\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Referer: https://www.example.com/index.html\r\n"
    "Cookie: session=0123456789abcdef; theme=dark\r\n"
    "Connection: keep-alive\r\n\r\n";

const std::string kAbsoluteGet =
    "GET http://Cdn.Example.NET:80/images/logo.png HTTP/1.1\r\n"
    "Host: cdn.example.net\r\n"
    "X-Forwarded-For: 198.51.100.23, 203.0.113.7\r\n"
    "Proxy-Connection: keep-alive\r\n"
    "Accept-Encoding: gzip;q=1.0, identity;q=0.5\r\n\r\n";

std::string big_head() {
  std::string head = "GET /api/v2/items?page=3 HTTP/1.1\r\nHost: api.example.org\r\nAccept-Encoding: gzip\r\n";
  for (int i = 0; head.size() < 2000; ++i) head += "X-Trace-" + std::to_string(i) + ": " + std::string(48, 'a' + i % 26) + "\r\n";
  return head + "\r\n";
}

void normalise_and_key(benchmark::State& state, const std::string& text, bool forward) {
  RequestContext context;
  context.use_forwarded_for = forward;
  context.client_ip = "192.0.2.44";
  http_parser* head = http_parser_make();
  char key[kKeySize];
  char host[kHostSize];
  for (auto _ : state) {
    http_parser_empty(head);
    http_parser_parse(head, text.data(), static_cast<int32_t>(text.size()));
    http_parser_buildIndex(head);
    const bool ok = normalize_request(head, context) && cache_key(head, key, host, "GET");
    benchmark::DoNotOptimize(ok);
  }
  http_parser_free(head);
}

void BM_BrowserGet(benchmark::State& state) { normalise_and_key(state, kBrowserGet, false); }
void BM_AbsoluteGetWithForwardedFor(benchmark::State& state) { normalise_and_key(state, kAbsoluteGet, true); }
void BM_TwoKilobyteHead(benchmark::State& state) { normalise_and_key(state, big_head(), false); }
// The head parse alone, to read the figures above against.
void BM_ParseOnlyBrowserGet(benchmark::State& state) {
  http_parser* head = http_parser_make();
  for (auto _ : state) {
    http_parser_empty(head);
    http_parser_parse(head, kBrowserGet.data(), static_cast<int32_t>(kBrowserGet.size()));
    http_parser_buildIndex(head);
  }
  http_parser_free(head);
}

void BM_DownloadHook(benchmark::State& state) {
  if (state.thread_index() == 0) {
    std::lock_guard<std::mutex> hold(module().stats_lock);
    for (int64_t sid = 0; sid < 1024; ++sid) module().stats[sid] = {1, 2};
  }
  const char data[1460] = {};
  int64_t sid = state.thread_index();
  for (auto _ : state) {
    benchmark::DoNotOptimize(upfetch__download_hook(sid, data, sizeof data));
    sid = (sid + 8) & 1023;
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_BrowserGet);
BENCHMARK(BM_AbsoluteGetWithForwardedFor);
BENCHMARK(BM_TwoKilobyteHead);
BENCHMARK(BM_ParseOnlyBrowserGet);
BENCHMARK(BM_DownloadHook)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace
