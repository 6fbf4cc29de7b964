// Cache-writer appends: the time a slave thread spends in writer_append per 32 KiB piece (copy
// into a file-operation buffer, queue the write, and the body digest when the response is large
// enough to share its body), 256 pieces per writer, with and without the digest. The writes
// themselves run on the file workers, outside the time measured.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "cu_daemon.h"
#include "edgeserv.h"
#include "reqgate.h"
#include "reqgate_internal.h"
#include "seams.h"
#include "vor_afile.h"
#include "vor_bigbox.h"
#include "vor_net_test_util.h"

namespace {

using namespace vor::reqgate;
namespace fs = std::filesystem;

constexpr int kPieces = 256;
constexpr size_t kPiece = 32 * 1024;

std::string g_disk;

bool disk_folder(uint32_t, char* path, size_t size) {
  std::snprintf(path, size, "%s", g_disk.c_str());
  return true;
}

// The module over a bigbox of one slave thread, pinned by a loopback connection so that work
// can be run on it with a once-timer.
struct Node {
  daemon_ctx daemon{};
  edgeserv_ctx ctx{};
  vor_box* slave = nullptr;
  std::atomic<int64_t> accepted{0};

  Node() {
    const fs::path root = fs::temp_directory_path() / ("reqgate-writer-bench-" + std::to_string(getpid()));
    for (const char* folder : {"bin", "config", "logs", "disk"}) fs::create_directories(root / folder);
    g_disk = (root / "disk").string();
    if (chdir((root / "bin").c_str()) != 0) return;
    vor_afile_setupx(2, 1);
    daemon.bigbox = vor_bigbox_make(1, 100);
    ctx.daemon = &daemon;
    reqgate_module_init(&ctx);
    set_console_trace(false);  // no line per file indexed
    seams::disk_calls().disk_path = disk_folder;
    pin_slave();
  }
  static void on_accept(vor_bigbox* bb, void* ud, int64_t, int64_t sid, const char* ip, uint16_t port) {
    vor_bigbox_accept(bb, sid, ip, port, [](vor_bigbox*, void*, int64_t, const char*, int32_t) {}, nullptr,
                      [](vor_bigbox*, void*, int64_t) {}, nullptr);
    static_cast<Node*>(ud)->accepted.store(sid);
  }
  void pin_slave() {
    const uint16_t port = vor::test::free_port();
    vor_bigbox_attach(daemon.bigbox, "127.0.0.1", port, on_accept, this);
    vor::test::connect_blocking(port);  // kept open for the run
    while (accepted.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    slave = vor_bigbox_GetSlaveBox(daemon.bigbox, accepted.load());
  }
  // Runs fn on the slave thread and waits for it.
  double on_slave(const std::function<double()>& fn) {
    auto task = new std::packaged_task<double()>(fn);
    auto done = task->get_future();
    vor_box_NewOnceTimer(
        slave, 1,
        [](void*, void* ud, int32_t, int32_t) {
          auto* t = static_cast<std::packaged_task<double()>*>(ud);
          (*t)();
          delete t;
        },
        task);
    return done.get();
  }
};

Node& node() {
  static Node* instance = new Node();
  return *instance;
}

http_parser* head_of(const std::string& text) {
  http_parser* head = http_parser_make();
  http_parser_parse(head, text.data(), static_cast<int32_t>(text.size()));
  http_parser_buildIndex(head);
  return head;
}

// One writer of kPieces appends; the seconds the appends took.
double one_writer(uint64_t announced, int n) {
  const std::string key = "bench.test/w" + std::to_string(n);
  const std::string path = cache_path(kPublic, g_disk, key);
  http_parser* request = head_of("GET /w HTTP/1.1\r\nHost: bench.test\r\n\r\n");
  http_parser* response =
      head_of("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(announced) + "\r\n\r\n");
  static const std::string piece(kPiece, 'p');
  double seconds = 0;
  if (writer_begin({kPublic, false, 60, 0, key, path}, request, response)) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kPieces; ++i) writer_append(path.c_str(), piece.data(), kPiece);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer_finish(path.c_str());
  }
  http_parser_free(request);
  http_parser_free(response);
  return seconds;
}

void BM_WriterAppend32K(benchmark::State& state) {
  const bool digest = state.range(0) != 0;
  const uint64_t announced = digest ? (kPieces * kPiece) : 1;  // 8 MiB is above the sharing size
  static int n = 0;
  for (auto _ : state) {
    const int id = ++n;
    const double seconds = node().on_slave([&] { return one_writer(announced, id); });
    state.SetIterationTime(seconds);
    while (writer_count() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  state.SetItemsProcessed(state.iterations() * kPieces);
  state.SetBytesProcessed(state.iterations() * kPieces * static_cast<int64_t>(kPiece));
  state.SetLabel(digest ? "with the body digest" : "without the digest");
}
BENCHMARK(BM_WriterAppend32K)->Arg(0)->Arg(1)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);

}  // namespace
