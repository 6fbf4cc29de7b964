#include "cu_malloc.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>

#include "cu_i64tree.h"
#include "cu_lib_internal.h"
#include "cu_malloc_internal.h"
#include "cu_sem.h"
#include "cu_xmem.h"
#include "cu_xmem_internal.h"
#include "cu_xtree.h"
#include "vor_fd.h"

#if defined(VOR_ASAN) || defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif


cu_xmem* cu_system__xmem = nullptr;

namespace {
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kHeapStep = 4096;
constexpr uint64_t kClassPage = 2 * 1024 * 1024;
constexpr uint64_t kSystemPage = 16 * 1024 * 1024;
constexpr uint64_t kSystemPages = 64;
constexpr uint64_t kTrackPage = 32 * 1024;
constexpr uint64_t kTrackPages = 1024;
constexpr size_t kSiteBytes = 32;

struct SizeClass {
  uint64_t max_pages;
  uint64_t granularity;
  uint64_t below;  // requests under this start here (and above the previous class)
};
constexpr SizeClass kClasses[] = {
    {4096, 32, 64}, {2048, 64, 128}, {1024, 128, 256}, {1024, 256, 512}, {1024, 512, 1024}, {1024, 1024, 4096},
};
constexpr int kClassCount = 6;

// One re-entrant lock over the size-class pools and the statistics; constant-initialised so
// that an allocation from any static constructor finds it ready.
pthread_mutex_t g_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
std::once_flag g_setup;
cu_xmem* g_classes[kClassCount];
cu_sem* g_system_lock;

struct Tracking {
  bool on;
  cu_xmem* pool;
  cu_stree* sites;      // site text -> int32_t live-block counter (C heap)
  cu_i64tree* blocks;   // block address -> 32-byte copy of its site text (C heap)
  cu_stree* refused;    // file names never recorded
};
Tracking g_track;

class GlobalLock {
 public:
  GlobalLock() { pthread_mutex_lock(&g_lock); }
  ~GlobalLock() { pthread_mutex_unlock(&g_lock); }
  GlobalLock(const GlobalLock&) = delete;
  GlobalLock& operator=(const GlobalLock&) = delete;
};

// Pages laid 8 bytes into a 16-byte aligned block: after the page's 88-byte header and a
// 16-byte chunk header the caller's data is 16-byte aligned.
#if defined(VOR_ASAN) || defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer a 2 MB heap block costs some 300 us to allocate and free (its shadow
// is rewritten and quarantined), and a size class whose only block comes and goes makes and
// returns a page each time; mapped pages cost a few microseconds. The first word keeps the
// mapping's length.
void* heap_page_alloc(void*, uint64_t size) {
  if (size > kMax - 8) return nullptr;
  void* block = mmap(nullptr, size + 8, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  *static_cast<uint64_t*>(block) = size + 8;
  // Leak checking scans heap blocks and registered regions only: pointers kept in pool blocks
  // must still count as references.
  __lsan_register_root_region(block, size + 8);
  return static_cast<uint8_t*>(block) + 8;
}

void heap_page_free(void*, void* page) {
  uint8_t* block = static_cast<uint8_t*>(page) - 8;
  const uint64_t length = *reinterpret_cast<uint64_t*>(block);
  // The pool has unpoisoned the page already: nothing stale is left for a later mapping.
  __lsan_unregister_root_region(block, length);
  munmap(block, length);
}
#else
void* heap_page_alloc(void*, uint64_t size) {
  if (size > kMax - 8) return nullptr;
  auto* block = static_cast<uint8_t*>(std::malloc(size + 8));
  return block ? block + 8 : nullptr;
}

void heap_page_free(void*, void* page) { std::free(static_cast<uint8_t*>(page) - 8); }
#endif

void pools_init() {
  std::call_once(g_setup, [] {
    GlobalLock lock;
    for (int i = 0; i < kClassCount; ++i)
      g_classes[i] = cu_xmem_init_ext_ext(nullptr, kClassPage, kClasses[i].max_pages, kClasses[i].granularity, true,
                                          heap_page_alloc, heap_page_free, nullptr);
  });
}

// Heap blocks come in 4 KB steps (at least one step); NULL when the rounding would wrap.
void* heap_alloc(uint64_t n) {
  if (n > kMax - (kHeapStep - 1)) return nullptr;
  const uint64_t size = std::max(kHeapStep, (n + kHeapStep - 1) / kHeapStep * kHeapStep);
  return std::malloc(size);
}

int class_of(uint64_t n) {
  int c = 0;
  while (c < kClassCount - 1 && n >= kClasses[c].below) ++c;
  return c;
}

void* try_class(int c, uint64_t n) { return g_classes[c] ? cu_xmem_malloc(g_classes[c], n) : nullptr; }

void* route(uint64_t n) {
  int start = kClassCount - 1;
  if (n >= kHeapStep) {
    if (void* p = heap_alloc(n)) return p;
  } else {
    start = class_of(n);
  }
  for (int c = start; c >= 0; --c)
    if (void* p = try_class(c, n)) return p;
  for (int c = 1; c < kClassCount; ++c)
    if (void* p = try_class(c, n)) return p;
  return n >= kHeapStep ? nullptr : heap_alloc(n);
}

// Index of the size-class pool holding p, in class order; -1 for the C heap.
int class_index_of(const void* p) {
  for (int i = 0; i < kClassCount; ++i)
    if (g_classes[i] && cu_xmem_is_valid(g_classes[i], p)) return i;
  return -1;
}

cu_xmem* pool_of(const void* p) {
  const int i = class_index_of(p);
  return i < 0 ? nullptr : g_classes[i];
}

void free_block(void* p) {
  if (cu_xmem* pool = pool_of(p))
    cu_xmem_free(pool, p);
  else
    std::free(p);
}

const char* base_name(const char* file) {
  const char* name = file;
  for (const char* c = file; *c; ++c)
    if (*c == '\\' || *c == '/') name = c + 1;
  return name;
}

int64_t key_of(const void* p) { return static_cast<int64_t>(reinterpret_cast<uintptr_t>(p)); }

void forget(void* block) {
  void* site = nullptr;
  if (!g_track.on || !block || !cu_i64tree_find(g_track.blocks, key_of(block), &site)) return;
  void* counter = nullptr;
  if (cu_stree_find(g_track.sites, static_cast<char*>(site), &counter) && --*static_cast<int32_t*>(counter) <= 0) {
    cu_stree_delete(g_track.sites, static_cast<char*>(site));
    std::free(counter);
  }
  cu_i64tree_delete(g_track.blocks, key_of(block));
  std::free(site);
}

void record(void* block, const char* file, int32_t line) {
  if (!g_track.on || !block || !file) return;
  const char* name = base_name(file);
  if (cu_stree_find(g_track.refused, name, nullptr)) return;
  char site[kSiteBytes] = {};
  std::snprintf(site, sizeof site, "%s(%d)", name, static_cast<int>(line));
  // A record left by a block freed without a file name is stale once its address comes back.
  forget(block);
  auto* copy = static_cast<char*>(std::malloc(kSiteBytes));
  if (!copy) return;
  std::memcpy(copy, site, kSiteBytes);
  void* counter = nullptr;
  if (cu_stree_find(g_track.sites, site, &counter)) {
    ++*static_cast<int32_t*>(counter);
  } else {
    auto* fresh = static_cast<int32_t*>(std::malloc(sizeof(int32_t)));
    if (fresh) *fresh = 1;
    if (!fresh || !cu_stree_insert(g_track.sites, site, fresh)) {
      std::free(fresh);
      std::free(copy);
      return;
    }
    counter = fresh;
  }
  if (!cu_i64tree_insert(g_track.blocks, key_of(block), copy)) {
    // Keep the counter equal to the blocks recorded under the site.
    std::free(copy);
    if (--*static_cast<int32_t*>(counter) <= 0) {
      cu_stree_delete(g_track.sites, site);
      std::free(counter);
    }
  }
}

void free_value(void* value, void*) { std::free(value); }

bool tracking_made() {
  if (g_track.pool) return true;
  g_track.pool = cu_xmem_init_ext_ext(nullptr, kTrackPage, kTrackPages, 32, true, heap_page_alloc, heap_page_free,
                                      nullptr);
  if (!g_track.pool) return false;
  g_track.sites = cu_stree_mallocxx(cu_xmem__alloc_from, cu_xmem__free_to, g_track.pool);
  g_track.blocks = cu_i64tree_mallocxx(cu_xmem__alloc_from, cu_xmem__free_to, g_track.pool);
  g_track.refused = cu_stree_mallocxx(cu_xmem__alloc_from, cu_xmem__free_to, g_track.pool);
  if (g_track.sites && g_track.blocks && g_track.refused) return true;
  cu_xmem_exit(g_track.pool);
  g_track = Tracking{};
  return false;
}

uint8_t write_site(void*, void* site, void* out) {
  auto* text = static_cast<std::string*>(out);
  text->append(static_cast<const char*>(site));
  text->append("\r\n");
  return 0;
}

void class_sums(uint64_t* used, uint64_t* free_bytes) {
  *used = *free_bytes = 0;
  for (cu_xmem* pool : g_classes) {
    *used += cu_xmem_used_space_size(pool);
    *free_bytes += cu_xmem_free_space_size(pool);
  }
}

void print_size(const char* label, uint64_t bytes) {
  const auto b = static_cast<int64_t>(bytes);
  std::printf("system xmem %s size: %" PRId64 "B, %" PRId64 "KB, %" PRId64 "MB\r\n", label, b, b / 1024,
              b / 1048576);
}
}  // namespace

void* _cu_malloc(uint64_t n, const char* file, int32_t line) {
  pools_init();
  GlobalLock lock;
  void* p = route(n);
  record(p, file, line);
  return p;
}

void* _cu_calloc(uint64_t count, uint64_t size, const char* file, int32_t line) {
  if (size != 0 && count > kMax / size) return nullptr;
  void* p = _cu_malloc(count * size, file, line);
  if (p) std::memset(p, 0, count * size);
  return p;
}

void* _cu_realloc(void* p, uint64_t n, const char* file, int32_t line) {
  pools_init();
  GlobalLock lock;
  if (!p) {
    void* q = route(n);
    record(q, file, line);
    return q;
  }
  void* q;
  if (cu_xmem* pool = pool_of(p)) {
    const uint64_t usable = cu_xmem_malloc_usable_size(pool, p);
    if (usable >= n && usable < kHeapStep) return p;
    q = route(n);
    if (!q) return nullptr;
    std::memcpy(q, p, std::min(usable, n));
    cu_xmem_free(pool, p);
  } else {
    if (n > kMax - (kHeapStep - 1)) return nullptr;
    // Never 0 bytes: the heap would free the block instead of resizing it.
    q = std::realloc(p, std::max(kHeapStep, (n + kHeapStep - 1) / kHeapStep * kHeapStep));
    if (!q) return nullptr;
  }
  if (g_track.on && file && q != p && cu_i64tree_find(g_track.blocks, key_of(p), nullptr)) {
    forget(p);
    record(q, file, line);
  }
  return q;
}

void _cu_free(void* p, const char* file, int32_t) {
  pools_init();
  if (!p) return;
  GlobalLock lock;
  if (file) forget(p);
  free_block(p);
}

void _cu_mdebug_turnon(void) {
  pools_init();
  GlobalLock lock;
  if (tracking_made()) g_track.on = true;
}

void _cu_mdebug_turnoff(void) {
  pools_init();
  GlobalLock lock;
  if (!g_track.on) return;
  cu_stree_emptyx(g_track.sites, free_value, nullptr);
  cu_i64tree_emptyx(g_track.blocks, free_value, nullptr);
  g_track.on = false;
}

void _cu_mdebug_AddRefuseFile(const char* name) {
  pools_init();
  GlobalLock lock;
  if (name && g_track.refused) cu_stree_insert(g_track.refused, name, nullptr);
}

void _cu_mdebug_DelRefuseFile(const char* name) {
  pools_init();
  GlobalLock lock;
  if (name && g_track.refused) cu_stree_delete(g_track.refused, name);
}

void _cu_mdebug_GetMallocStat(const char* path) {
  pools_init();
  if (!path) return;
  GlobalLock lock;
  const int fd = vor::open_file(path, O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return;
  std::string text;
  cu_i64tree_traverse(g_track.blocks, write_site, &text);
  cu_internal::write_fully(fd, text.data(), text.size());
  close(fd);
}

void cu_system__xmem_init(void) {
  pools_init();
  GlobalLock lock;
  if (g_system_lock) return;
  g_system_lock = cu_sem_malloc();
  if (g_system_lock && !cu_system__xmem)
    cu_system__xmem = cu_xmem_init_ext_ext(g_system_lock, kSystemPage, kSystemPages, 32, false, heap_page_alloc,
                                           heap_page_free, nullptr);
}

uint64_t cu_system__xmem_size(uint64_t* used, uint64_t* free_bytes) {
  cu_system__xmem_init();
  uint64_t u, f;
  {
    GlobalLock lock;
    class_sums(&u, &f);
  }
  if (used) *used = u;
  if (free_bytes) *free_bytes = f;
  return f;
}

void cu_system__xmem_print(void) {
  uint64_t used, free_bytes;
  cu_system__xmem_size(&used, &free_bytes);
  print_size("total", used + free_bytes);
  print_size("used ", used);
  print_size("free ", free_bytes);
  std::fflush(stdout);
}

int cu_system__class_of(const void* p) {
  pools_init();
  GlobalLock lock;
  return class_index_of(p);
}

cu_xmem* cu_system__class_pool(int index) {
  pools_init();
  return index >= 0 && index < kClassCount ? g_classes[index] : nullptr;
}
