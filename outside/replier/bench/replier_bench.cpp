// replier_bench PORT SECONDS CONCURRENCY: against an HTTP server on 127.0.0.1:PORT (nginx, from
// bench/replier_bench.sh), connect-request-close cycles per second through replier on a bigbox,
// CONCURRENCY connections at a time on each of 4 slaves, then the MB/s of one GET /big.bin.
// Prints figures only.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "replier.h"
#include "replier_test_util.h"

namespace {

constexpr char kRequest[] = "GET / HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
constexpr char kStream[] = "GET /big.bin HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";

struct Load {
  vor_bigbox* bb = nullptr;
  uint16_t port = 0;
  const char* request = kRequest;
  std::chrono::steady_clock::time_point end;
  std::atomic<int64_t> cycles{0}, failures{0}, bytes{0};
  std::atomic<int> open{0};
};

void start_one(Load* load);

void on_connected(void*, int64_t, int32_t, int32_t) {}
void on_data(void* ud, int64_t, char*, int32_t len) { static_cast<Load*>(ud)->bytes.fetch_add(len); }
void next(Load* load, int64_t id) {
  replier_close(id);
  load->open.fetch_sub(1);
  if (std::chrono::steady_clock::now() < load->end) start_one(load);
}
void on_failed(void* ud, int64_t id) {
  static_cast<Load*>(ud)->failures.fetch_add(1);
  next(static_cast<Load*>(ud), id);
}
void on_closed(void* ud, int64_t id) {
  static_cast<Load*>(ud)->cycles.fetch_add(1);
  next(static_cast<Load*>(ud), id);
}

// On a slave thread: one connection with its request queued before the connect completes.
void start_one(Load* load) {
  cu_client* handle = nullptr;
  if (replier_make_STEP1_ext(nullptr, 0, "127.0.0.1", load->port, &handle) <= 0) {
    load->failures.fetch_add(1);
    return;
  }
  int64_t id = replier_make_STEP2(load->bb, handle, on_connected, load, on_failed, load, on_data, load, on_closed, load);
  if (id <= 0) {
    load->failures.fetch_add(1);
    return;
  }
  load->open.fetch_add(1);
  replier_write(id, load->request, static_cast<int32_t>(strlen(load->request)));
}

void wait_idle(Load& load) {
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (load.open.load() > 0 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: replier_bench PORT SECONDS CONCURRENCY\n");
    return 0;
  }
  uint16_t port = static_cast<uint16_t>(atoi(argv[1]));
  int seconds = atoi(argv[2]);
  int concurrency = atoi(argv[3]);
  replier_test::Bigbox box(4);
  if (!box.ready()) {
    fprintf(stderr, "no bigbox\n");
    return 0;
  }

  Load load;
  load.bb = box.get();
  load.port = port;
  auto start = std::chrono::steady_clock::now();
  load.end = start + std::chrono::seconds(seconds);
  for (size_t s = 0; s < box.slaves(); ++s)
    box.on_slave([&] { for (int i = 0; i < concurrency; ++i) start_one(&load); }, s);
  wait_idle(load);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("replier connect-request-close: %lld cycles in %.2f s = %.0f/s (%d slaves x %d at a time, %lld failures)\n",
         static_cast<long long>(load.cycles.load()), secs, load.cycles.load() / secs, static_cast<int>(box.slaves()),
         concurrency, static_cast<long long>(load.failures.load()));

  Load stream;
  stream.bb = box.get();
  stream.port = port;
  stream.request = kStream;
  stream.end = std::chrono::steady_clock::now();  // one connection, no follow-up
  start = std::chrono::steady_clock::now();
  box.on_slave([&] { start_one(&stream); });
  wait_idle(stream);
  secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("replier stream: %.1f MB in %.2f s = %.0f MB/s\n", stream.bytes.load() / 1e6, secs,
         stream.bytes.load() / 1e6 / secs);
  return 0;
}
