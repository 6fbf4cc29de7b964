// Asynchronous file reads with 4 HDD workers: 4 KB reads at random offsets of 16 files held in
// the page cache, completed on a caller box. Reads per second with 256 in flight, and the
// completion latency (submit to callback) of single reads and of reads under that load.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cu_xfile.h"
#include "vor_afile.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFiles = 16;
constexpr int64_t kFileSize = 1 << 20;
constexpr int32_t kRead = 4096;
constexpr int kSlots = 256;

struct Slot {
  struct Run* run;
  int64_t submitted_ns;
  char buffer[kRead];
};

struct Run {
  std::vector<cu_xfile*> files;
  vor_box* caller = nullptr;
  std::vector<Slot> slots{kSlots};
  std::mt19937_64 rng{12345};  // touched on the caller box's thread only, once running
  std::atomic<int64_t> left{0};
  std::atomic<int64_t> done{0};
  std::mutex m;
  std::vector<int64_t> latencies_ns;
};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

bool submit(Run* run, Slot* slot, std::mt19937_64& rng);

// On the caller box: note the latency and, while reads are owed, reuse the slot for the next.
void read_done(vor_afile* op, void* ud, void*, void*, void*, void*) {
  auto* slot = static_cast<Slot*>(ud);
  Run* run = slot->run;
  int64_t latency = now_ns() - slot->submitted_ns;
  if (op->result != kRead) abort();
  {
    std::lock_guard<std::mutex> g(run->m);
    run->latencies_ns.push_back(latency);
  }
  if (run->left.fetch_sub(1) > 0) {
    if (!submit(run, slot, run->rng)) abort();
  }
  run->done.fetch_add(1);
}

bool submit(Run* run, Slot* slot, std::mt19937_64& rng) {
  vor_afile op;
  memset(&op, 0, sizeof op);
  op.file = run->files[rng() % kFiles];
  op.box = run->caller;
  op.type = VOR_AFILE_READ;
  op.offset = static_cast<int64_t>(rng() % (kFileSize / kRead)) * kRead;
  op.buffer = slot->buffer;
  op.length = kRead;
  op.callback = read_done;
  op.ud = slot;
  slot->submitted_ns = now_ns();
  return vor_afile_read(&op);
}

struct Files {
  std::string dir;
  std::vector<cu_xfile*> handles;
  Files() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vorbench.XXXXXX").string();
    dir = mkdtemp(tmpl.data()) ? tmpl : std::string();
    std::vector<char> bytes(kFileSize, 'q');
    for (int i = 0; i < kFiles; ++i) {
      std::string path = dir + "/f" + std::to_string(i);
      FILE* f = fopen(path.c_str(), "wb");
      fwrite(bytes.data(), 1, bytes.size(), f);
      fclose(f);
      handles.push_back(cu_xfile_open_r(path.c_str(), 0));
    }
  }
  ~Files() {
    for (cu_xfile* f : handles) cu_xfile_close(f);
    std::filesystem::remove_all(dir);
  }
};

void report_latency(benchmark::State& state, std::vector<int64_t>& ns) {
  if (ns.empty()) return;
  std::sort(ns.begin(), ns.end());
  state.counters["p50_us"] = static_cast<double>(ns[ns.size() / 2]) / 1000.0;
  state.counters["p99_us"] = static_cast<double>(ns[ns.size() * 99 / 100]) / 1000.0;
}

// Each iteration: 8,192 reads with `in_flight` outstanding at a time.
void BM_AfileRead(benchmark::State& state) {
  vor_afile_setupx(4, 0);
  Files files;
  Run run;
  run.files = files.handles;
  run.caller = vorx_ThreadBox_create();
  int in_flight = static_cast<int>(state.range(0));
  constexpr int64_t kPerIteration = 8192;
  std::mt19937_64 rng(777);
  for (auto _ : state) {
    run.done = 0;
    run.left = kPerIteration - in_flight;
    for (int i = 0; i < in_flight; ++i) {
      run.slots[i].run = &run;
      if (!submit(&run, &run.slots[i], rng)) abort();
    }
    while (run.done.load() < kPerIteration) std::this_thread::yield();
  }
  state.SetItemsProcessed(state.iterations() * kPerIteration);
  {
    std::lock_guard<std::mutex> g(run.m);
    report_latency(state, run.latencies_ns);
  }
  vorx_ThreadBox_destroy(run.caller);
}
BENCHMARK(BM_AfileRead)->Arg(1)->Arg(kSlots)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
