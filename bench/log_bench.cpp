// Log lines per second: threads sharing one log, each line a levelled, flushed write.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "cu_log.h"

namespace {

cu_log* g_log = nullptr;
std::string g_path;

void open_log(const benchmark::State&) {
  g_path = (std::filesystem::temp_directory_path() / ("log_bench_" + std::to_string(getpid()) + ".log")).string();
  g_log = cu_log_malloc(g_path.c_str());
}

void close_log(const benchmark::State&) {
  cu_log_free(g_log);
  g_log = nullptr;
  std::filesystem::remove(g_path);
}

void BM_LogNotice(benchmark::State& state) {
  if (!g_log) {
    state.SkipWithError("log file cannot be opened");
    return;
  }
  int64_t i = 0;
  for (auto _ : state) {
    cu_log_notice(g_log, "request %lld from 127.0.0.1:%d answered 200 in %d ms\r\n", static_cast<long long>(i++),
                  40000 + state.thread_index(), 3);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_LogWriteNoFlush(benchmark::State& state) {
  if (!g_log) {
    state.SkipWithError("log file cannot be opened");
    return;
  }
  static const char kLine[] = "GET /index.html 200 1234\r\n";
  for (auto _ : state) cu_log_write_NoFlush(g_log, kLine, sizeof kLine - 1);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_LogNotice)->Setup(open_log)->Teardown(close_log)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_LogWriteNoFlush)->Setup(open_log)->Teardown(close_log)->Threads(1)->Threads(8)->UseRealTime();
