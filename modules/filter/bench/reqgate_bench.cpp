// Encode and decode throughput on HTML of 16 KB, 256 KB and 1 MB beside gzip -c and zcat on the
// same files; the chunked completeness parser fed in 1-byte and 16 KB pieces; admission per
// request with 0, 100 and 1,000 force-cache patterns in a stand-in rule store (the rules store's
// own lookup is measured by its benchmarks); a 32 KiB chunk of a response through the capture.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_pages.h"
#include "reqgate.h"
#include "reqgate_internal.h"

namespace {

using namespace vor::reqgate;

using bench::head_of;
using bench::html;

void Encode(benchmark::State& state) {
  const std::string page = html(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    http_parser* head = head_of("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n");
    char* out = nullptr;
    uint32_t len = 0;
    benchmark::DoNotOptimize(reqgate_plugin__EncodeContent(nullptr, head, page.data(),
                                                           static_cast<uint32_t>(page.size()), &out, &len));
    reqgate_plugin__EncodeMemFree(out);
    http_parser_free(head);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

std::string gzip_of(const std::string& page) {
  http_parser* head = head_of("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n");
  char* out = nullptr;
  uint32_t len = 0;
  reqgate_plugin__EncodeContent(nullptr, head, page.data(), static_cast<uint32_t>(page.size()), &out, &len);
  std::string coded(out, len);
  reqgate_plugin__EncodeMemFree(out);
  http_parser_free(head);
  return coded;
}

void Decode(benchmark::State& state) {
  const std::string page = html(static_cast<size_t>(state.range(0)));
  const std::string coded = gzip_of(page);
  for (auto _ : state) {
    http_parser* head = head_of("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n");
    char* out = nullptr;
    uint32_t len = 0;
    benchmark::DoNotOptimize(reqgate_plugin__DecodeContent(nullptr, head, coded.data(),
                                                           static_cast<uint32_t>(coded.size()), &out, &len));
    reqgate_plugin__DecodeMemFree(out);
    http_parser_free(head);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

// The command-line tools on the same bytes, in-process start-up included (one run = one file).
std::string temp_file(const std::string& name, const std::string& bytes) {
  const std::string path = "/tmp/reqgate_bench_" + std::to_string(getpid()) + "_" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return path;
}

void run_tool(benchmark::State& state, const std::string& command, size_t bytes) {
  for (auto _ : state) benchmark::DoNotOptimize(std::system(command.c_str()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void GzipCli(benchmark::State& state) {
  const std::string page = html(static_cast<size_t>(state.range(0)));
  const std::string path = temp_file("page.html", page);
  run_tool(state, "gzip -c '" + path + "' > /dev/null", page.size());
  std::remove(path.c_str());
}

void ZcatCli(benchmark::State& state) {
  const std::string page = html(static_cast<size_t>(state.range(0)));
  const std::string path = temp_file("page.gz", gzip_of(page));
  run_tool(state, "zcat '" + path + "' > /dev/null", page.size());
  std::remove(path.c_str());
}

std::string chunked_body(size_t size) {
  const std::string page = html(size);
  std::string body;
  for (size_t at = 0; at < page.size(); at += 4000) {
    const std::string part = page.substr(at, 4000);
    char line[16];
    std::snprintf(line, sizeof line, "%zx\r\n", part.size());
    body += line + part + "\r\n";
  }
  return body + "0\r\n\r\n";
}

void ChunkedIntegrity(benchmark::State& state) {
  const std::string body = chunked_body(1 << 20);
  const size_t piece = static_cast<size_t>(state.range(0));
  http_parser* head = head_of("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
  for (auto _ : state) {
    IntegrityState integrity;
    integrity_init(integrity, nullptr, head, "bench");
    for (size_t at = 0; at < body.size(); at += piece) {
      integrity_feed(integrity, body.data() + at, std::min(piece, body.size() - at));
    }
    benchmark::DoNotOptimize(integrity_complete(integrity));
  }
  http_parser_free(head);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

std::vector<std::string> g_patterns;

uint32_t force_scan(const char* url, uint8_t*, uint32_t*, uint32_t*) {
  for (const std::string& p : g_patterns) {
    if (std::strstr(url, p.c_str())) return 60;
  }
  return 0;
}
uint8_t refuse_none(const char*, uint32_t*, uint32_t*) { return 0; }

void AdmitRequest(benchmark::State& state) {
  g_patterns.clear();
  for (int64_t i = 0; i < state.range(0); ++i) g_patterns.push_back("/never/" + std::to_string(i) + "/");
  rules() = RuleQuestions{
      force_scan,
      []() -> uint32_t { return 1 << 20; },
      []() -> uint8_t { return 1; },
      [](const char*, int32_t*, char*, int32_t) -> uint8_t { return 0; },
      []() -> uint8_t { return 0; },
      {force_scan, force_scan, force_scan},
      {refuse_none, refuse_none, refuse_none},
  };
  set_console_trace(false);
  http_parser* request = head_of("GET /static/app.js HTTP/1.1\r\nHost: www.example.com\r\n\r\n");
  int64_t sid = 1;
  for (auto _ : state) {
    uint8_t kind = 0, icookie = 1, permitted = 1, refused = 0;
    uint32_t lifetime = 0;
    benchmark::DoNotOptimize(reqgate_NewRequest_v4(++sid, request, "www.example.com/static/app.js", &kind, &icookie,
                                                   &lifetime, &permitted, &refused));
  }
  http_parser_free(request);
}

uint32_t discard(int64_t, const char*, uint32_t len) { return len; }

// One 32 KiB chunk of a long body through the capture: uncacheable ('o', streamed only) or
// public (copied for the memory cache until the block size is passed).
void ResponseInput32K(benchmark::State& state) {
  set_console_trace(false);
  http_parser* request = head_of("GET /big.bin HTTP/1.1\r\nHost: www.example.com\r\n\r\n");
  const int64_t response_sid = 1 << 20;
  reqgate_NewFilter_v4(7, request, response_sid, "www.example.com/big.bin", static_cast<uint8_t>(state.range(0)), 1,
                       3600, 0, 0, 0, 1);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1000000000000000\r\n\r\n";
  reqgate_ResponseInput_v3(response_sid, head.data(), static_cast<uint32_t>(head.size()), discard, discard);
  const std::string chunk(32 << 10, 'x');
  for (auto _ : state) {
    reqgate_ResponseInput_v3(response_sid, chunk.data(), static_cast<uint32_t>(chunk.size()), discard, discard);
  }
  finish_client_record(7, false);
  http_parser_free(request);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk.size()));
}

}  // namespace

BENCHMARK(ResponseInput32K)->Arg('o')->Arg(kPublic);
BENCHMARK(Encode)->Arg(16 << 10)->Arg(256 << 10)->Arg(1000 << 10);
BENCHMARK(GzipCli)->Arg(16 << 10)->Arg(256 << 10)->Arg(1000 << 10)->Iterations(20)->UseRealTime();
BENCHMARK(Decode)->Arg(16 << 10)->Arg(256 << 10)->Arg(1000 << 10);
BENCHMARK(ZcatCli)->Arg(16 << 10)->Arg(256 << 10)->Arg(1000 << 10)->Iterations(20)->UseRealTime();
BENCHMARK(ChunkedIntegrity)->Arg(1)->Arg(16 << 10);
BENCHMARK(AdmitRequest)->Arg(0)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
