#include "vor_afile.h"

#include <cerrno>
#include <cstring>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "cu_console.h"
#include "cu_pool_failure.h"
#include "cu_sem.h"
#include "cu_xfile_internal.h"
#include "cu_xmem.h"
#include "vor_afile_internal.h"
#include "vor_box_internal.h"
#include "vor_kit.h"

namespace {

constexpr int32_t kDefaultWorkers = 4;
constexpr size_t kFileBuckets = 512;
constexpr uint64_t kCopyPageSize = 32768;
constexpr uint64_t kCopyPageMax = 1024;

struct Worker {
  vor_box* box = nullptr;
  std::deque<vor_afile*> queue;  // head: the copy under way or next to run
  int32_t pending = 0;           // copies queued and not yet completed
  bool ssd = false;
};

// A file with queued copies, bound to one worker until the last of them completes.
struct FileOp {
  Worker* worker;
  int32_t pending;
};

// Set up once, never torn down: workers and late completions may run until the process ends.
struct Afile {
  cu_sem lock;  // guards everything below but the pool, which has a lock of its own
  cu_sem pool_lock;
  cu_xmem* copies = nullptr;
  std::vector<std::unique_ptr<Worker>> workers;  // creation order: SSD workers first
  std::unordered_map<const cu_xfile*, FileOp> files;
  bool ssd_asked = false;
};

std::mutex g_setup_mutex;
std::atomic<Afile*> g_afile{nullptr};  // published once, whole, by the first set-up

Afile* afile() { return g_afile.load(std::memory_order_acquire); }

void free_copy(Afile* a, vor_afile* copy) { cu_xmem_free(a->copies, copy); }

// The least-loaded worker of one kind; ties go to the first in creation order.
Worker* least_loaded(Afile* a, bool ssd) {
  Worker* best = nullptr;
  for (auto& w : a->workers) {
    if (w->ssd != ssd) continue;
    if (w->pending == 0) return w.get();
    if (!best || w->pending < best->pending) best = w.get();
  }
  return best;
}

Worker* choose_worker(Afile* a, bool prefer_ssd) {
  bool ssd = prefer_ssd && a->ssd_asked;
  Worker* w = least_loaded(a, ssd);
  return w ? w : least_loaded(a, !ssd);
}

void run_step(vor_box*, const char*, void* layer, void* worker, void*, void*, void*, void*, void*, void*);

// Queues a copy of op on the file's bound worker, or on a chosen one for a file with nothing
// queued. The worker's step is posted under the lock so that a failed post can take back
// exactly this copy.
bool enqueue(Afile* a, const vor_afile* op, bool prefer_ssd) {
  auto* copy = static_cast<vor_afile*>(cu_xmem_malloc(a->copies, sizeof(vor_afile)));
  if (!copy) return false;
  *copy = *op;
  copy->cancelled = 0;
  vor::SemLock held(&a->lock);
  auto found = a->files.find(op->file);
  bool new_file = found == a->files.end();
  Worker* w = new_file ? choose_worker(a, prefer_ssd) : found->second.worker;
  if (!w) {
    free_copy(a, copy);
    return false;
  }
  try {
    if (new_file) found = a->files.emplace(op->file, FileOp{w, 0}).first;
    w->queue.push_back(copy);
  } catch (const std::bad_alloc&) {
    if (new_file && found != a->files.end()) a->files.erase(found);
    free_copy(a, copy);
    return false;
  }
  if (!vor_box_AddInEvent(w->box, nullptr, run_step, a, w, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr)) {
    w->queue.pop_back();
    if (new_file) a->files.erase(found);
    free_copy(a, copy);
    return false;
  }
  found->second.pending++;
  w->pending++;
  return true;
}

void keep_outcome(vor_afile* op, int32_t result) {
  op->result = result;
  op->error = result < 0 ? cu_xfile_GetLastError() : 0;
}

// The operation itself, without the lock. cancelled was read under the lock at the start.
void perform(vor_afile* op, bool cancelled) {
  op->result = 0;
  op->error = 0;
  switch (op->type) {
    case VOR_AFILE_READ:
      if (!cancelled) keep_outcome(op, cu_xfile_read_at(op->file, op->buffer, op->length, op->offset));
      break;
    case VOR_AFILE_WRITE:
      if (!cancelled) keep_outcome(op, cu_xfile_write_at(op->file, op->buffer, op->length, op->offset));
      break;
    case VOR_AFILE_FLUSH:
      // A failed flush is reported: the data may not be on the disk.
      if (!cancelled && !cu_xfile_flush_data(op->file)) keep_outcome(op, -1);
      break;
    case VOR_AFILE_CANCEL:  // its own flag is cleared under the lock once it is done
      break;
    case VOR_AFILE_CLOSE:
      if (!cancelled) cu_xfile_close(op->file);
      break;
    default:  // event
      break;
  }
}

// Runs the callback on the caller's box, then frees the copy.
void complete_on_caller(vor_box*, const char*, void* copy, void* layer, void*, void*, void*, void*, void*, void*) {
  auto* op = static_cast<vor_afile*>(copy);
  op->callback(op, op->ud, op->a1, op->a2, op->a3, op->a4);
  free_copy(static_cast<Afile*>(layer), op);
}

// A completion the caller's box never runs: the box is gone, or freed with it still queued.
void release_copy(vor_box*, const char*, void* copy, void* layer, void*, void*, void*, void*, void*, void*) {
  free_copy(static_cast<Afile*>(layer), static_cast<vor_afile*>(copy));
}

void complete(Afile* a, vor_afile* op) {
  if (!op->callback) {
    free_copy(a, op);
  } else if (!op->box) {
    op->callback(op, op->ud, op->a1, op->a2, op->a3, op->a4);
    free_copy(a, op);
  } else {
    vor::box::add_inevent_with_release(op->box, nullptr, complete_on_caller, release_copy, op, a, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr);
  }
}

// One queued copy on the worker's thread: the head of its queue, which stays queued (and can be
// marked by a cancel) while it runs.
void run_step(vor_box*, const char*, void* layer, void* worker, void*, void*, void*, void*, void*, void*) {
  auto* a = static_cast<Afile*>(layer);
  auto* w = static_cast<Worker*>(worker);
  vor_afile* op;
  bool cancelled;
  {
    vor::SemLock held(&a->lock);
    if (w->queue.empty()) return;
    op = w->queue.front();
    cancelled = op->cancelled != 0;
  }
  perform(op, cancelled);
  {
    vor::SemLock held(&a->lock);
    auto found = a->files.find(op->file);
    if (found != a->files.end() && --found->second.pending == 0) a->files.erase(found);
    w->pending--;
    w->queue.pop_front();
    // A later cancel may have marked this one while it ran; a cancel itself never counts as cancelled.
    if (op->type == VOR_AFILE_CANCEL) op->cancelled = 0;
  }
  complete(a, op);
}

// Every copy of the file on its worker, the one under way included, completes without its I/O
// (the running one keeps its real result). Called with the lock held.
void mark_cancelled(Worker* w, const cu_xfile* file) {
  for (vor_afile* copy : w->queue) {
    if (copy->file == file) copy->cancelled = 1;
  }
}

bool submit(const vor_afile* op, uint8_t type, uint8_t prefer_ssd) {
  if (!op || !op->file || op->type != type) return false;
  if ((type == VOR_AFILE_READ || type == VOR_AFILE_WRITE) && (!op->buffer || op->length < 0)) return false;
  Afile* a = afile();
  if (!a) return false;
  if (type != VOR_AFILE_CANCEL) return enqueue(a, op, prefer_ssd != 0);
  // One hold (the lock is re-entrant) so that the cancel lands behind exactly the copies it marked.
  vor::SemLock held(&a->lock);
  auto found = a->files.find(op->file);
  if (found == a->files.end() && !op->callback) return true;  // nothing to cancel, nobody to tell
  if (found != a->files.end()) mark_cancelled(found->second.worker, op->file);
  return enqueue(a, op, prefer_ssd != 0);
}

// Builds the layer and its workers; the first SSD-count workers are the SSD group.
Afile* build(int32_t hdd, int32_t ssd) {
  hdd = hdd < 0 ? 0 : hdd;
  ssd = ssd < 0 ? 0 : ssd;
  auto* a = new Afile;
  cu_sem_init(&a->lock);
  a->copies = vor::pool::make_unit_pool(&a->pool_lock, kCopyPageSize, kCopyPageMax, 0, false,
                                        "vor_afile__xmem -> vor_box__xmem_init() -> cu_xmem_init_ext(afile struct) -> "
                                        "return NULL -> exit!\r\n");
  a->ssd_asked = ssd > 0;
  a->files.reserve(kFileBuckets);
  int64_t total = static_cast<int64_t>(hdd) + ssd;
  if (total == 0) total = kDefaultWorkers;
  for (int64_t i = 0; i < total; ++i) {
    vor_box* box = vorx_ThreadBox_create();
    if (!box) continue;
    auto w = std::unique_ptr<Worker>(new (std::nothrow) Worker);
    if (!w) {
      vorx_ThreadBox_destroy(box);
      continue;
    }
    w->box = box;
    w->ssd = i < ssd;
    a->workers.push_back(std::move(w));
  }
  return a;
}

}  // namespace

void vor_afile_setupx(int32_t hdd, int32_t ssd) {
  std::lock_guard<std::mutex> guard(g_setup_mutex);
  if (afile()) return;
  try {
    g_afile.store(build(hdd, ssd), std::memory_order_release);
  } catch (const std::bad_alloc&) {
    // No layer: every submit answers false.
  }
}

void vor_afile_setup(int32_t n) { vor_afile_setupx(n, 0); }

bool vor_afile_readx(const vor_afile* op, uint8_t prefer_ssd) { return submit(op, VOR_AFILE_READ, prefer_ssd); }
bool vor_afile_writex(const vor_afile* op, uint8_t prefer_ssd) { return submit(op, VOR_AFILE_WRITE, prefer_ssd); }
bool vor_afile_flushx(const vor_afile* op, uint8_t prefer_ssd) { return submit(op, VOR_AFILE_FLUSH, prefer_ssd); }
bool vor_afile_cancelx(const vor_afile* op, uint8_t prefer_ssd) { return submit(op, VOR_AFILE_CANCEL, prefer_ssd); }
bool vor_afile_closex(const vor_afile* op, uint8_t prefer_ssd) { return submit(op, VOR_AFILE_CLOSE, prefer_ssd); }
bool vor_afile_eventx(const vor_afile* op, uint8_t prefer_ssd) { return submit(op, VOR_AFILE_EVENT, prefer_ssd); }
bool vor_afile_read(const vor_afile* op) { return vor_afile_readx(op, 0); }
bool vor_afile_write(const vor_afile* op) { return vor_afile_writex(op, 0); }
bool vor_afile_flush(const vor_afile* op) { return vor_afile_flushx(op, 0); }
bool vor_afile_cancel(const vor_afile* op) { return vor_afile_cancelx(op, 0); }
bool vor_afile_close(const vor_afile* op) { return vor_afile_closex(op, 0); }
bool vor_afile_event(const vor_afile* op) { return vor_afile_eventx(op, 0); }

void vor_afile_debug(void) {
  cu_console_printf("---------AFILE DEBUG:\r\n");
  Afile* a = afile();
  if (!a) {
    cu_console_printf("files: 0\r\n");
    cu_console_printf("theads: 0\r\n");
    return;
  }
  vor::SemLock held(&a->lock);
  cu_console_printf("files: %d\r\n", static_cast<int>(a->files.size()));
  int number = 0;
  for (auto& w : a->workers) {
    cu_console_printf(w->ssd ? "    SSD-thread-%d: %d ops\r\n" : "    HDD-thread-%d: %d ops\r\n", ++number,
                      w->pending);
  }
  cu_console_printf("theads: %d\r\n", static_cast<int>(a->workers.size()));
}

int32_t vor_filter_nfiles(void) {
  Afile* a = afile();
  if (!a) return 0;
  vor::SemLock held(&a->lock);
  return static_cast<int32_t>(a->files.size());
}

int64_t vor::afile::copies_in_use(void) {
  Afile* a = ::afile();
  return a ? static_cast<int64_t>(cu_xmem_used_chunk_count(a->copies)) : 0;
}
