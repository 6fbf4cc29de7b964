#include "cu_malloc.h"

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "cu_malloc_internal.h"
#include "cu_mem.h"
#include "cu_mem_internal.h"
#include "cu_sem.h"
#include "vor_kit.h"
#include "cu_xmem.h"
#include "vor_fd.h"

#if defined(VOR_ASAN) || defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#define CU_MALLOC_ASAN 1
#endif

cu_xmem* cu_system__xmem = nullptr;

namespace vor::sysalloc {
namespace {
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kHeapStep = 4096;
constexpr int kClassPageShift = 21;
constexpr uint64_t kClassPage = uint64_t{1} << kClassPageShift;
constexpr uint64_t kSystemPage = 16 * 1024 * 1024;
constexpr uint64_t kSystemPages = 64;
constexpr size_t kSiteBytes = 32;

// ---- size classes and the bins of the thread caches ----

struct SizeClass {
  uint64_t max_pages;
  uint64_t granularity;
  uint64_t below;  // requests under this start here (and above the previous class)
  int bins;        // chunk sizes a request routed here first can get
};
constexpr SizeClass kClasses[] = {
    {4096, 32, 64, 2},     {2048, 64, 128, 2},    {1024, 128, 256, 2},
    {1024, 256, 512, 2},   {1024, 512, 1024, 2},  {1024, 1024, 4096, 4},
};
constexpr int kClassCount = 6;
constexpr int kFirstBin[kClassCount + 1] = {0, 2, 4, 6, 8, 10, 14};
static_assert(kFirstBin[kClassCount - 1] + kClasses[kClassCount - 1].bins == kFirstBin[kClassCount]);
constexpr int kBinCount = kFirstBin[kClassCount];

// A bin holds chunks of one size: the k-th multiple of its class step (granularity + header).
// A thread keeps up to cap chunks of a bin (about 32 KB of them, 8 to 64 chunks) and moves half
// of that to or from the rest at a time.
struct BinShape {
  int cls;
  uint64_t chunk;   // bytes with the chunk header
  uint64_t usable;  // bytes the caller gets
  uint32_t cap;
};

constexpr std::array<BinShape, kBinCount> make_bins() {
  std::array<BinShape, kBinCount> bins{};
  for (int c = 0; c < kClassCount; ++c) {
    const uint64_t step = kClasses[c].granularity + kCuMemChunkHeader;
    for (int bin = kFirstBin[c]; bin < kFirstBin[c + 1]; ++bin) {
      const uint64_t chunk = step * static_cast<uint64_t>(bin - kFirstBin[c] + 1);
      bins[bin] = {c, chunk, chunk - kCuMemChunkHeader,
                   static_cast<uint32_t>(std::clamp<uint64_t>(32 * 1024 / chunk, 8, 64))};
    }
  }
  return bins;
}
constexpr std::array<BinShape, kBinCount> kBins = make_bins();

// The bin of a chunk with usable bytes u in class c; -1 when u is not one of the class's bins
// (a request spilled from another class, or a chunk handed out whole with a small remainder).
int bin_of(int c, uint64_t u) {
  for (int bin = kFirstBin[c]; bin < kFirstBin[c + 1]; ++bin)
    if (u == kBins[bin].usable) return bin;
  return -1;
}

int start_class(uint64_t n) {
  int c = 0;
  while (c < kClassCount - 1 && n >= kClasses[c].below) ++c;
  return c;
}

// ---- process-wide state ----

std::atomic<bool> g_ready{false};
std::once_flag g_setup;
cu_xmem* g_classes[kClassCount];
// Each size-class pool's own lock: one allocation or free, or a batch of them.
cu_sem g_class_locks[kClassCount];
// The bin of each request below 4 KB in its start class (255 for none: then the request is routed).
uint8_t g_request_bin[kHeapStep];

// A cached chunk carries this mark in its second word, so that a second free of a block is
// noticed without a search on every free.
uint64_t g_cache_mark;

std::atomic<PageGate> g_page_gate{nullptr};
std::atomic<HeapGate> g_heap_gate{nullptr};

std::mutex g_system_init;
cu_sem* g_system_lock;

// ---- the C heap ----

bool heap_allows(uint64_t size) {
  HeapGate gate = g_heap_gate.load(std::memory_order_relaxed);
  return !gate || gate(size);
}

// Heap blocks come in 4 KB steps (at least one step); false when the rounding would wrap.
bool heap_size(uint64_t n, uint64_t* size) {
  if (n > kMax - (kHeapStep - 1)) return false;
  *size = std::max(kHeapStep, (n + kHeapStep - 1) / kHeapStep * kHeapStep);
  return true;
}

void* heap_block(uint64_t size) { return heap_allows(size) ? std::malloc(size) : nullptr; }

// Never 0 bytes: the heap would free the block instead of resizing it.
void* heap_resize(void* p, uint64_t n) {
  uint64_t size;
  if (!heap_size(n, &size) || !heap_allows(size)) return nullptr;
  return std::realloc(p, size);
}

// Pages of the system pool: C-heap blocks, laid 8 bytes into a 16-byte aligned block so that
// after the page's 88-byte header and a 16-byte chunk header the caller's data is 16-byte
// aligned.
void* heap_page_alloc(void*, uint64_t size) {
  if (size > kMax - 8) return nullptr;
  auto* block = static_cast<uint8_t*>(std::malloc(size + 8));
  return block ? block + 8 : nullptr;
}

void heap_page_free(void*, void* page) { std::free(static_cast<uint8_t*>(page) - 8); }

// ---- the page map: which 2 MB regions of the address space hold size-class pages ----

// Two levels over 47-bit user addresses: 2^13 leaves of 2^13 regions, one byte per region
// (class index + 1, or 0). Leaves are made on first use and never go away, so a lookup needs
// no lock.
constexpr int kAddressBits = 47;
constexpr int kLeafBits = 13;
constexpr int kTopBits = kAddressBits - kClassPageShift - kLeafBits;
using Leaf = std::atomic<uint8_t>;
std::atomic<Leaf*> g_page_map[size_t{1} << kTopBits];
std::mutex g_page_map_lock;

Leaf* leaf_for(uintptr_t region_number) {
  auto& top = g_page_map[region_number >> kLeafBits];
  if (Leaf* leaf = top.load(std::memory_order_acquire)) return leaf;
  std::lock_guard<std::mutex> hold(g_page_map_lock);
  if (Leaf* leaf = top.load(std::memory_order_relaxed)) return leaf;
  void* block = mmap(nullptr, sizeof(Leaf) << kLeafBits, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  auto* leaf = static_cast<Leaf*>(block);  // zero-filled: every region unmarked
  top.store(leaf, std::memory_order_release);
  return leaf;
}

bool mark_regions(const uint8_t* start, uint64_t bytes, uint8_t value) {
  const uintptr_t first = reinterpret_cast<uintptr_t>(start) >> kClassPageShift;
  for (uintptr_t r = first; r < first + (bytes >> kClassPageShift); ++r) {
    Leaf* leaf = leaf_for(r);
    if (!leaf) return false;
    leaf[r & ((uintptr_t{1} << kLeafBits) - 1)].store(value, std::memory_order_release);
  }
  return true;
}

inline int region_class(const void* p) {
  const auto a = reinterpret_cast<uintptr_t>(p);
  if (a >> kAddressBits) return -1;
  const uintptr_t r = a >> kClassPageShift;
  Leaf* leaf = g_page_map[r >> kLeafBits].load(std::memory_order_acquire);
  if (!leaf) return -1;
  return static_cast<int>(leaf[r & ((uintptr_t{1} << kLeafBits) - 1)].load(std::memory_order_relaxed)) - 1;
}

// ---- size-class pages: mappings aligned to 2 MB ----

// A page of S bytes (a multiple of 2 MB) starts 8 bytes into a 2 MB aligned mapping of S + 4 KB
// whose first word keeps the mapping's length. Every data address of the page then lies in
// one of its own 2 MB regions, and no other block can lie in them.
constexpr uint64_t kPageOffset = 8;
constexpr uint64_t kPageTail = 4096;

uint8_t* map_aligned(uint64_t length) {
  const uint64_t over = length + kClassPage;
  void* raw = mmap(nullptr, over, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kClassPage - 1) & ~(kClassPage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = aligned + length;
  if (start + over > end) munmap(reinterpret_cast<void*>(end), start + over - end);
  return reinterpret_cast<uint8_t*>(aligned);
}

void unmap_page(uint8_t* region) {
  const uint64_t length = *reinterpret_cast<uint64_t*>(region);
  mark_regions(region, length - kPageTail, 0);
#ifdef CU_MALLOC_ASAN
  __lsan_unregister_root_region(region, length);
#endif
  munmap(region, length);
}

// The page source of the size-class pools (user = the class index). The pool record itself,
// not a multiple of the page size, comes from the C heap.
void* class_page_alloc(void* user, uint64_t size) {
  if (size % kClassPage != 0) return heap_page_alloc(nullptr, size);
  const int c = static_cast<int>(reinterpret_cast<intptr_t>(user));
  PageGate gate = g_page_gate.load(std::memory_order_relaxed);
  if (gate && !gate(c)) return nullptr;
  if (size > kMax - kPageTail - kClassPage) return nullptr;
  uint8_t* region = map_aligned(size + kPageTail);
  if (!region) return nullptr;
  *reinterpret_cast<uint64_t*>(region) = size + kPageTail;
#ifdef CU_MALLOC_ASAN
  // Leak checking scans heap blocks and registered regions only: pointers kept in pool blocks
  // must still count as references.
  __lsan_register_root_region(region, size + kPageTail);
#endif
  if (reinterpret_cast<uintptr_t>(region) >> kAddressBits || !mark_regions(region, size, static_cast<uint8_t>(c + 1))) {
    unmap_page(region);
    return nullptr;
  }
  return region + kPageOffset;
}

void class_page_free(void*, void* block) {
  auto* region = static_cast<uint8_t*>(block) - kPageOffset;
  if (region_class(block) >= 0)
    unmap_page(region);
  else
    heap_page_free(nullptr, block);
}

// ---- set-up ----

void setup() {
  for (int c = 0; c < kClassCount; ++c) {
    cu_sem_init(&g_class_locks[c]);
    g_classes[c] = cu_xmem_init_ext_ext(&g_class_locks[c], kClassPage, kClasses[c].max_pages, kClasses[c].granularity,
                                        true, class_page_alloc, class_page_free,
                                        reinterpret_cast<void*>(static_cast<intptr_t>(c)));
  }
  for (uint64_t n = 0; n < kHeapStep; ++n) {
    const int c = start_class(n);
    g_request_bin[n] = static_cast<uint8_t>(bin_of(c, cu_xmem_memalign_usable_size(kClasses[c].granularity, n)));
  }
  if (getrandom(&g_cache_mark, sizeof g_cache_mark, GRND_NONBLOCK) != sizeof g_cache_mark)
    g_cache_mark = reinterpret_cast<uintptr_t>(&g_cache_mark) * 0x9E3779B97F4A7C15ull;
  g_cache_mark |= 1;
  g_ready.store(true, std::memory_order_release);
}

inline void pools_init() {
  if (!g_ready.load(std::memory_order_acquire)) std::call_once(g_setup, setup);
}

// ---- thread caches ----

// Free chunks a thread keeps per bin, as a stack of pointers: handing one out reads no chunk
// memory (another thread may have freed it last, and its lines then sit in that thread's
// cache). A cached chunk carries the cache mark in its second word. The chunks stay "used" in
// their pool; the statistics move the cached bytes over to the free side. The count is written
// by the owner only and read by the statistics of any thread.
constexpr uint32_t kMaxCap = 64;
static_assert(std::all_of(kBins.begin(), kBins.end(), [](const BinShape& b) { return b.cap <= kMaxCap; }));

struct Bin {
  std::atomic<uint32_t> count;
  void* slots[kMaxCap];
};

// Freed C-heap blocks of 4, 8, 12 and 16 KB a thread keeps (linked through their first word),
// up to these counts.
constexpr int kHeapBins = 4;
constexpr uint32_t kHeapCaps[kHeapBins] = {8, 4, 2, 2};

struct HeapBin {
  void* head;
  std::atomic<uint32_t> count;
};

template <class B>
uint32_t count_of(const B& b) {
  return b.count.load(std::memory_order_relaxed);
}
template <class B>
void set_count(B& b, uint32_t n) {
  b.count.store(n, std::memory_order_relaxed);
}

struct alignas(64) ThreadCache {
  Bin bins[kBinCount];
  HeapBin heap_bins[kHeapBins];
  ThreadCache* prev;
  ThreadCache* next;
};

// Chunk bytes (headers included) a cache holds in one class.
uint64_t cached_bytes(const ThreadCache& cache, int c) {
  uint64_t sum = 0;
  for (int bin = kFirstBin[c]; bin < kFirstBin[c + 1]; ++bin) sum += count_of(cache.bins[bin]) * kBins[bin].chunk;
  return sum;
}

// Every live thread's cache, for the statistics.
std::mutex g_registry_lock;
ThreadCache* g_registry;

pthread_key_t g_cache_key;
bool g_cache_key_made;
std::once_flag g_cache_key_once;

enum : uint8_t { kNoCache = 0, kCacheLive = 1, kCacheGone = 2 };
// One pointer and one byte in the static TLS block: reached without a call.
__thread ThreadCache* tl_cache __attribute__((tls_model("initial-exec")));
__thread uint8_t tl_cache_state __attribute__((tls_model("initial-exec")));

CU_MEM_NO_ASAN void* next_of(void* chunk) { return *static_cast<void**>(chunk); }
CU_MEM_NO_ASAN void set_next(void* chunk, void* next) { *static_cast<void**>(chunk) = next; }
CU_MEM_NO_ASAN uint64_t mark_of(void* chunk) { return static_cast<uint64_t*>(chunk)[1]; }
CU_MEM_NO_ASAN void set_mark(void* chunk, uint64_t mark) { static_cast<uint64_t*>(chunk)[1] = mark; }

bool in_list(void* head, const void* chunk) {
  for (void* c = head; c; c = next_of(c))
    if (c == chunk) return true;
  return false;
}

// Cached chunks are poisoned under AddressSanitizer like free chunks in a page (the calls are
// left out otherwise: they sit on every allocation and free).
inline void poison(void* chunk, uint64_t n) {
#ifdef CU_MALLOC_ASAN
  cu_mem__poison(chunk, n);
#else
  (void)chunk, (void)n;
#endif
}

inline void unpoison(void* block, uint64_t n) {
#ifdef CU_MALLOC_ASAN
  cu_mem__unpoison(block, n);
#else
  (void)block, (void)n;
#endif
}

// The whole chunk as its header says: a page's last chunk may be handed out larger than its bin.
inline void unpoison(void* chunk) {
#ifdef CU_MALLOC_ASAN
  cu_mem__unpoison(chunk, cu_mem__usable(chunk));
#else
  (void)chunk;
#endif
}

// ---- shared batches: chunks handed between threads without touching the pools ----

// Held for a handful of instructions only: spinning is cheaper than sleeping in the kernel.
class SpinLock {
 public:
  void lock() {
    for (int spins = 0; flag_.exchange(true, std::memory_order_acquire);) {
      while (flag_.load(std::memory_order_relaxed)) {
        if (++spins < 64)
          pause();
        else
          sched_yield();
      }
    }
  }
  void unlock() { flag_.store(false, std::memory_order_release); }

 private:
  static void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  std::atomic<bool> flag_{false};
};

// Per bin, a bounded stack of whole batches (half a thread's capacity each) that threads flush
// into and refill from.
constexpr int kSharedBatches = 32;
struct Batch {
  uint32_t count;
  void* slots[kMaxCap / 2];
};
struct alignas(64) Shared {
  SpinLock lock;
  int count;
  Batch batches[kSharedBatches];
};
Shared g_shared[kBinCount];
// Chunk bytes (headers included) per class lying in the shared batches.
std::atomic<uint64_t> g_shared_bytes[kClassCount];

bool put_shared(int bin, void* const* slots, uint32_t count) {
  Shared& s = g_shared[bin];
  std::lock_guard<SpinLock> hold(s.lock);
  if (s.count == kSharedBatches) return false;
  Batch& batch = s.batches[s.count++];
  batch.count = count;
  std::memcpy(batch.slots, slots, count * sizeof(void*));
  g_shared_bytes[kBins[bin].cls].fetch_add(count * kBins[bin].chunk, std::memory_order_relaxed);
  return true;
}

// Copies the top batch of a bin into slots; its count, 0 when there is none.
uint32_t take_shared(int bin, void** slots) {
  Shared& s = g_shared[bin];
  std::lock_guard<SpinLock> hold(s.lock);
  if (s.count == 0) return 0;
  const Batch& batch = s.batches[--s.count];
  std::memcpy(slots, batch.slots, batch.count * sizeof(void*));
  g_shared_bytes[kBins[bin].cls].fetch_sub(batch.count * kBins[bin].chunk, std::memory_order_relaxed);
  return batch.count;
}

// Frees chunks into their class, under the class lock once.
void free_to_class(int c, void* const* slots, uint32_t count) {
  if (count == 0) return;
  vor::SemLock hold(&g_class_locks[c]);
  for (uint32_t i = 0; i < count; ++i) cu_xmem_free(g_classes[c], slots[i]);
}

// Every shared batch of every bin back into the pools.
void drain_shared() {
  void* slots[kMaxCap / 2];
  for (int bin = 0; bin < kBinCount; ++bin)
    while (const uint32_t n = take_shared(bin, slots)) free_to_class(kBins[bin].cls, slots, n);
}

// ---- moving chunks between a thread cache and the rest ----

// Gives the k oldest chunks of a bin away: to the shared batches when there is room, else back
// to their class.
[[gnu::noinline]] void flush(ThreadCache* cache, int bin, uint32_t k) {
  Bin& b = cache->bins[bin];
  const uint32_t count = count_of(b);
  k = std::min(k, count);
  void* out[kMaxCap];
  std::memcpy(out, b.slots, k * sizeof(void*));
  std::memmove(b.slots, b.slots + k, (count - k) * sizeof(void*));
  // Off the cached side before the chunks go on: the statistics may count a chunk as used for a
  // moment, never twice.
  set_count(b, count - k);
  if (!put_shared(bin, out, k)) free_to_class(kBins[bin].cls, out, k);
}

// Takes a shared batch, or half a bin's capacity from its class under the class lock once;
// false when neither gives anything. The bin is empty here.
[[gnu::noinline]] bool refill(ThreadCache* cache, int bin) {
  Bin& b = cache->bins[bin];
  uint32_t n = take_shared(bin, b.slots);
  if (n == 0) {
    const int c = kBins[bin].cls;
    const uint64_t usable = kBins[bin].usable;
    vor::SemLock hold(&g_class_locks[c]);
    for (const uint32_t want = kBins[bin].cap / 2; n < want; ++n) {
      void* chunk = cu_xmem_malloc(g_classes[c], usable);
      if (!chunk) break;
      set_mark(chunk, g_cache_mark);
      poison(chunk, usable);
      b.slots[n] = chunk;
    }
  }
  set_count(b, n);
  return n > 0;
}

// The hot paths are inlined; refill, flush and the cache set-up are not.
[[gnu::always_inline]] inline void* pop(ThreadCache* cache, int bin) {
  Bin& b = cache->bins[bin];
  uint32_t n = count_of(b);
  if (n == 0) {
    if (!refill(cache, bin)) return nullptr;
    n = count_of(b);
  }
  void* chunk = b.slots[--n];
  set_count(b, n);
  set_mark(chunk, 0);
  unpoison(chunk);
  return chunk;
}

[[gnu::always_inline]] inline void push(ThreadCache* cache, int bin, void* chunk) {
  Bin& b = cache->bins[bin];
  uint32_t n = count_of(b);
  if (n == kBins[bin].cap) {
    flush(cache, bin, n / 2);
    n = count_of(b);
  }
  set_mark(chunk, g_cache_mark);
  poison(chunk, kBins[bin].usable);
  b.slots[n] = chunk;
  set_count(b, n + 1);
}

// The thread's end: every cached chunk goes back to its pool, and the shared batches with them,
// so pages can still empty and be released. Runs after the thread's C++ thread_local
// destructors (which may still free into the cache); anything freed by a later key destructor
// takes the uncached path.
void free_heap_blocks(HeapBin& b, uint32_t k);

void cache_ended(void* arg) {
  auto* cache = static_cast<ThreadCache*>(arg);
  tl_cache = nullptr;
  tl_cache_state = kCacheGone;
  for (int bin = 0; bin < kBinCount; ++bin) {
    Bin& b = cache->bins[bin];
    const uint32_t n = count_of(b);
    set_count(b, 0);
    free_to_class(kBins[bin].cls, b.slots, n);
  }
  drain_shared();
  for (HeapBin& b : cache->heap_bins) free_heap_blocks(b, count_of(b));
  {
    std::lock_guard<std::mutex> hold(g_registry_lock);
    if (cache->prev) cache->prev->next = cache->next;
    else g_registry = cache->next;
    if (cache->next) cache->next->prev = cache->prev;
  }
  cache->~ThreadCache();
  std::free(cache);
}

[[gnu::noinline]] ThreadCache* make_cache() {
  tl_cache_state = kCacheGone;  // until made; a failure leaves the thread uncached
  std::call_once(g_cache_key_once, [] { g_cache_key_made = pthread_key_create(&g_cache_key, cache_ended) == 0; });
  if (!g_cache_key_made) return nullptr;
  // Cache lines of its own: the counts are written on every call.
  void* block = std::aligned_alloc(alignof(ThreadCache), sizeof(ThreadCache));
  if (!block) return nullptr;
  auto* cache = new (block) ThreadCache{};
  if (pthread_setspecific(g_cache_key, cache) != 0) {
    cache->~ThreadCache();
    std::free(cache);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> hold(g_registry_lock);
    cache->next = g_registry;
    if (g_registry) g_registry->prev = cache;
    g_registry = cache;
  }
  tl_cache = cache;
  tl_cache_state = kCacheLive;
  return cache;
}

[[gnu::always_inline]] inline ThreadCache* this_cache() {
  if (ThreadCache* cache = tl_cache) return cache;
  return tl_cache_state == kNoCache ? make_cache() : nullptr;
}

// ---- C-heap blocks of 4 to 16 KB ----

// Freeing a heap block next to free space lets the C heap give pages back to the kernel, which
// stops every thread of the process for a moment; a thread that frees and takes such blocks in
// turn keeps a few instead. Kept blocks are poisoned under AddressSanitizer.
int heap_bin_of_size(uint64_t size) {
  return size <= kHeapStep * kHeapBins ? static_cast<int>(size / kHeapStep) - 1 : -1;
}

int heap_bin_of_block(void* p) {
  const uint64_t steps = malloc_usable_size(p) / kHeapStep;
  return steps >= 1 && steps <= kHeapBins ? static_cast<int>(steps) - 1 : -1;
}

inline void* heap_alloc(uint64_t n) {
  uint64_t size;
  if (!heap_size(n, &size)) return nullptr;
  const int hb = heap_bin_of_size(size);
  if (ThreadCache* cache = hb >= 0 ? this_cache() : nullptr) {
    HeapBin& b = cache->heap_bins[hb];
    if (void* p = b.head) {
      b.head = next_of(p);
      set_mark(p, 0);
      set_count(b, count_of(b) - 1);
      unpoison(p, size);
      return p;
    }
  }
  return heap_block(size);
}

void free_heap_blocks(HeapBin& b, uint32_t k) {
  for (; k > 0 && b.head; --k) {
    void* p = b.head;
    b.head = next_of(p);
    set_count(b, count_of(b) - 1);
    unpoison(p, malloc_usable_size(p));
    std::free(p);
  }
}

void release_heap_block(void* p) {
  ThreadCache* cache = this_cache();
  // A block kept here already is freed a second time: refused.
  if (cache && mark_of(p) == g_cache_mark)
    for (const HeapBin& b : cache->heap_bins)
      if (in_list(b.head, p)) return;
  const int hb = cache ? heap_bin_of_block(p) : -1;
  if (hb < 0) {
    std::free(p);
    return;
  }
  HeapBin& b = cache->heap_bins[hb];
  set_next(p, b.head);
  set_mark(p, g_cache_mark);
  // The link and the mark stay readable: leak checking ignores pointers kept in poisoned memory,
  // and the next kept block is referenced from here only.
  poison(static_cast<uint8_t*>(p) + 16, kHeapStep * static_cast<uint64_t>(hb + 1) - 16);
  b.head = p;
  set_count(b, count_of(b) + 1);
  if (count_of(b) > kHeapCaps[hb]) free_heap_blocks(b, kHeapCaps[hb] / 2);
}

// ---- per-thread allocation counts ----

// Written and read by their own thread only: plain increments, no lock, no atomic.
struct CallTally {
  uint64_t mallocs;
  uint64_t frees;
};
__thread CallTally tl_calls __attribute__((tls_model("initial-exec")));

// Pools in first-use order; the last one counted is tried first, since runs of allocations
// mostly go to one pool.
struct PoolTally {
  uint64_t total;
  uint32_t used;
  uint32_t last;
  cu_alloc_pool_tally slots[CU_ALLOC_TALLY_POOLS];
};
// The default TLS model: only the pool path reaches it, and that path takes the pool's lock.
thread_local PoolTally tl_pools;

int pool_slot(const PoolTally& t, const cu_xmem* pool) {
  if (t.last < t.used && t.slots[t.last].pool == pool) return static_cast<int>(t.last);
  for (uint32_t i = 0; i < t.used; ++i)
    if (t.slots[i].pool == pool) return static_cast<int>(i);
  return -1;
}

// ---- routing ----

// n from class c: through the thread's cache when the rounded size is one of the class's bins.
void* take(int c, uint64_t n) {
  if (!g_classes[c]) return nullptr;
  const int bin = bin_of(c, cu_xmem_memalign_usable_size(kClasses[c].granularity, n));
  if (bin >= 0)
    if (ThreadCache* cache = this_cache()) return pop(cache, bin);
  return cu_xmem_malloc(g_classes[c], n);
}

// Routing when the thread's cache could not serve the request in its start class.
[[gnu::noinline]] void* route_further(uint64_t n) {
  int start = kClassCount - 1;
  if (n >= kHeapStep) {
    if (void* p = heap_alloc(n)) return p;
  } else {
    start = start_class(n);
  }
  for (int c = start; c >= 0; --c)
    if (void* p = take(c, n)) return p;
  for (int c = 1; c < kClassCount; ++c)
    if (void* p = take(c, n)) return p;
  return n >= kHeapStep ? nullptr : heap_alloc(n);
}

inline void* route(uint64_t n) {
  // A class whose pool could not be made never fills its bins: refill finds no pool.
  if (n < kHeapStep && g_request_bin[n] < kBinCount)
    if (ThreadCache* cache = this_cache())
      if (void* p = pop(cache, g_request_bin[n])) return p;
  return route_further(n);
}

bool in_slots(void* const* slots, uint32_t count, const void* chunk) {
  return std::find(slots, slots + count, chunk) != slots + count;
}

bool in_shared(int bin, const void* chunk) {
  Shared& s = g_shared[bin];
  std::lock_guard<SpinLock> hold(s.lock);
  for (int i = 0; i < s.count; ++i)
    if (in_slots(s.batches[i].slots, s.batches[i].count, chunk)) return true;
  return false;
}

// A freed block that carries the cache mark: a second free when it lies in this thread's bin or
// the shared batches (refused, nothing changes); otherwise its pool decides, whose arena refuses
// a chunk that is free already. (A block still in another thread's cache is not found.)
[[gnu::noinline]] void release_marked(ThreadCache* cache, int bin, void* p) {
  const Bin& b = cache->bins[bin];
  if (in_slots(b.slots, count_of(b), p) || in_shared(bin, p)) return;
  cu_xmem_free(g_classes[kBins[bin].cls], p);
}

inline void release_pool_block(int c, void* p) {
#ifdef CU_MALLOC_ASAN
  // Every free chunk is poisoned, cached or not: a block freed a second time is refused.
  if (__asan_address_is_poisoned(p)) return;
#endif
  const int bin = bin_of(c, cu_mem__usable(p));
  ThreadCache* cache = bin >= 0 ? this_cache() : nullptr;
  if (!cache)
    cu_xmem_free(g_classes[c], p);
  else if (mark_of(p) == g_cache_mark)
    release_marked(cache, bin, p);
  else
    push(cache, bin, p);
}

inline void release(void* p) {
  const int c = region_class(p);
  if (c >= 0)
    release_pool_block(c, p);
  else
    release_heap_block(p);
}

// ---- allocation-site tracking: standard containers over the plain C heap ----

template <class T>
struct CHeap {
  using value_type = T;
  CHeap() = default;
  template <class U>
  CHeap(const CHeap<U>&) {}
  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
    if (void* p = std::malloc(n * sizeof(T))) return static_cast<T*>(p);
    throw std::bad_alloc();
  }
  void deallocate(T* p, size_t) { std::free(p); }
  template <class U>
  bool operator==(const CHeap<U>&) const {
    return true;
  }
};

using Text = std::basic_string<char, std::char_traits<char>, CHeap<char>>;
using Site = std::array<char, kSiteBytes>;

struct Tracking {
  std::mutex lock;
  bool made = false;  // turned on at least once: refused names are kept from then on
  std::map<Text, int32_t, std::less<>, CHeap<std::pair<const Text, int32_t>>> sites;  // live blocks per site
  std::map<uintptr_t, Site, std::less<>, CHeap<std::pair<const uintptr_t, Site>>> blocks;
  std::set<Text, std::less<>, CHeap<Text>> refused;  // file names never recorded
};

std::atomic<bool> g_track_on{false};

// Made on first use and never destroyed: a block freed by a late static destructor still
// finds it.
Tracking& tracking() {
  alignas(Tracking) static unsigned char storage[sizeof(Tracking)];
  static Tracking* t = new (storage) Tracking;
  return *t;
}

bool tracking_on() { return g_track_on.load(std::memory_order_relaxed); }

const char* base_name(const char* file) {
  const char* name = file;
  for (const char* c = file; *c; ++c)
    if (*c == '\\' || *c == '/') name = c + 1;
  return name;
}

// The calls below run under the tracking lock.

// Blocks are known by address only: the heap may have moved or freed them already.
uintptr_t key_of(const void* block) { return reinterpret_cast<uintptr_t>(block); }

void forget(uintptr_t block) {
  Tracking& t = tracking();
  auto it = t.blocks.find(block);
  if (it == t.blocks.end()) return;
  auto site = t.sites.find(it->second.data());
  if (site != t.sites.end() && --site->second <= 0) t.sites.erase(site);
  t.blocks.erase(it);
}

void record(const void* block, const char* file, int32_t line) {
  if (!tracking_on() || !block || !file) return;
  Tracking& t = tracking();
  const char* name = base_name(file);
  if (t.refused.find(name) != t.refused.end()) return;
  Site site{};
  std::snprintf(site.data(), site.size(), "%s(%d)", name, static_cast<int>(line));
  // A record left by a block freed without a file name is stale once its address comes back.
  forget(key_of(block));
  try {
    auto placed = t.blocks.emplace(key_of(block), site).first;
    try {
      ++t.sites.try_emplace(Text(site.data()), 0).first->second;
    } catch (const std::bad_alloc&) {
      t.blocks.erase(placed);  // keep the counters equal to the blocks recorded
    }
  } catch (const std::bad_alloc&) {
    // Statistics fail silently.
  }
}

void move_record(uintptr_t from, const void* to, const char* file, int32_t line) {
  if (!tracking_on() || !file || from == key_of(to)) return;
  Tracking& t = tracking();
  if (t.blocks.find(from) == t.blocks.end()) return;
  forget(from);
  record(to, file, line);
}

// ---- resize ----

// tracked: the caller holds the tracking lock and the record moves with the block.
void* resize(void* p, uint64_t n, const char* file, int32_t line, bool tracked) {
  if (!p) {
    void* q = route(n);
    if (tracked) record(q, file, line);
    return q;
  }
  const uintptr_t from = key_of(p);
  const int c = region_class(p);
  if (c < 0) {
    void* q = heap_resize(p, n);
    if (q && tracked) move_record(from, q, file, line);
    return q;
  }
  const uint64_t usable = cu_mem__usable(p);
  if (usable >= n && usable < kHeapStep) return p;
  void* q = route(n);
  if (!q) return nullptr;
  std::memcpy(q, p, std::min(usable, n));
  if (tracked) move_record(from, q, file, line);  // before p is free to come back to another thread
  release_pool_block(c, p);
  return q;
}

// ---- statistics ----

uint64_t cached_in_class(int c) {
  uint64_t sum = g_shared_bytes[c].load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> hold(g_registry_lock);
  for (ThreadCache* cache = g_registry; cache; cache = cache->next) sum += cached_bytes(*cache, c);
  return sum;
}

void class_sums(uint64_t* used, uint64_t* free_bytes) {
  *used = *free_bytes = 0;
  for (int c = 0; c < kClassCount; ++c) {
    if (!g_classes[c]) continue;
    // Under the class lock no batch is half done: every cached chunk is inside the pool's used bytes.
    vor::SemLock hold(&g_class_locks[c]);
    const uint64_t pool_used = cu_xmem_used_space_size(g_classes[c]);
    const uint64_t cached = std::min(pool_used, cached_in_class(c));
    *used += pool_used - cached;
    *free_bytes += cu_xmem_free_space_size(g_classes[c]) + cached;
  }
}

void print_size(const char* label, uint64_t bytes) {
  const auto b = static_cast<int64_t>(bytes);
  std::printf("system xmem %s size: %" PRId64 "B, %" PRId64 "KB, %" PRId64 "MB\r\n", label, b, b / 1024,
              b / 1048576);
}

bool write_all(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}
}  // namespace

int class_of(const void* p) {
  pools_init();
  return p ? region_class(p) : -1;
}

cu_xmem* class_pool(int index) {
  pools_init();
  return index >= 0 && index < kClassCount ? g_classes[index] : nullptr;
}

void set_gates_for_test(PageGate pages, HeapGate heap) {
  g_page_gate.store(pages, std::memory_order_relaxed);
  g_heap_gate.store(heap, std::memory_order_relaxed);
}

void count_pool_alloc(const cu_xmem* pool) {
  PoolTally& t = tl_pools;
  ++t.total;
  int i = pool_slot(t, pool);
  if (i < 0) {
    if (t.used == CU_ALLOC_TALLY_POOLS) return;
    i = static_cast<int>(t.used++);
    t.slots[i] = {pool, 0};
  }
  ++t.slots[i].allocs;
  t.last = static_cast<uint32_t>(i);
}

// An ended pool leaves the list, so that a new pool at its address starts from 0.
void forget_pool(const cu_xmem* pool) {
  PoolTally& t = tl_pools;
  const int i = pool_slot(t, pool);
  if (i < 0) return;
  t.slots[i] = t.slots[--t.used];
  t.last = 0;
}

uint64_t cached_bytes_of_this_thread(int index) {
  if (index < 0 || index >= kClassCount || !tl_cache) return 0;
  return cached_bytes(*tl_cache, index);
}

}  // namespace vor::sysalloc

namespace sa = vor::sysalloc;

void* _cu_malloc(uint64_t n, const char* file, int32_t line) {
  ++sa::tl_calls.mallocs;
  sa::pools_init();
  void* p = sa::route(n);
  if (p && file && sa::tracking_on()) {
    std::lock_guard<std::mutex> hold(sa::tracking().lock);
    sa::record(p, file, line);
  }
  return p;
}

void* _cu_calloc(uint64_t count, uint64_t size, const char* file, int32_t line) {
  if (size != 0 && count > sa::kMax / size) return nullptr;
  void* p = _cu_malloc(count * size, file, line);
  if (p) std::memset(p, 0, count * size);
  return p;
}

void* _cu_realloc(void* p, uint64_t n, const char* file, int32_t line) {
  ++sa::tl_calls.mallocs;
  sa::pools_init();
  if (!sa::tracking_on()) return sa::resize(p, n, file, line, false);
  // Tracked: the record moves in the same step as the block, before another thread can be
  // handed the old address.
  std::lock_guard<std::mutex> hold(sa::tracking().lock);
  return sa::resize(p, n, file, line, true);
}

void _cu_free(void* p, const char* file, int32_t) {
  sa::pools_init();
  if (!p) return;
  ++sa::tl_calls.frees;
  if (file && sa::tracking_on()) {
    std::lock_guard<std::mutex> hold(sa::tracking().lock);
    sa::forget(sa::key_of(p));
  }
  sa::release(p);
}

bool cu_alloc_counts(cu_alloc_tally* out) {
  if (!out) return false;
  const sa::PoolTally& t = sa::tl_pools;
  *out = {};
  out->mallocs = sa::tl_calls.mallocs;
  out->frees = sa::tl_calls.frees;
  out->pool_allocs = t.total;
  out->pool_count = t.used;
  std::copy(t.slots, t.slots + t.used, out->pools);
  return true;
}

void _cu_mdebug_turnon(void) {
  sa::pools_init();
  sa::Tracking& t = sa::tracking();
  std::lock_guard<std::mutex> hold(t.lock);
  t.made = true;
  sa::g_track_on.store(true, std::memory_order_relaxed);
}

void _cu_mdebug_turnoff(void) {
  sa::pools_init();
  sa::Tracking& t = sa::tracking();
  std::lock_guard<std::mutex> hold(t.lock);
  if (!sa::tracking_on()) return;
  t.sites.clear();
  t.blocks.clear();
  sa::g_track_on.store(false, std::memory_order_relaxed);
}

void _cu_mdebug_AddRefuseFile(const char* name) {
  sa::pools_init();
  if (!name) return;
  sa::Tracking& t = sa::tracking();
  std::lock_guard<std::mutex> hold(t.lock);
  if (!t.made) return;
  try {
    t.refused.emplace(name);
  } catch (const std::bad_alloc&) {
  }
}

void _cu_mdebug_DelRefuseFile(const char* name) {
  sa::pools_init();
  if (!name) return;
  sa::Tracking& t = sa::tracking();
  std::lock_guard<std::mutex> hold(t.lock);
  auto it = t.refused.find(name);
  if (it != t.refused.end()) t.refused.erase(it);
}

void _cu_mdebug_GetMallocStat(const char* path) {
  sa::pools_init();
  if (!path) return;
  sa::Tracking& t = sa::tracking();
  std::lock_guard<std::mutex> hold(t.lock);
  const int fd = vor::open_file(path, O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return;
  sa::Text text;
  try {
    for (const auto& entry : t.blocks) {
      text.append(entry.second.data());
      text.append("\r\n");
    }
  } catch (const std::bad_alloc&) {
  }
  sa::write_all(fd, text.data(), text.size());
  close(fd);
}

void cu_system__xmem_init(void) {
  sa::pools_init();
  std::lock_guard<std::mutex> hold(sa::g_system_init);
  if (sa::g_system_lock) return;
  sa::g_system_lock = cu_sem_malloc();
  if (sa::g_system_lock && !cu_system__xmem)
    cu_system__xmem = cu_xmem_init_ext_ext(sa::g_system_lock, sa::kSystemPage, sa::kSystemPages, 32, false,
                                           sa::heap_page_alloc, sa::heap_page_free, nullptr);
}

uint64_t cu_system__xmem_size(uint64_t* used, uint64_t* free_bytes) {
  cu_system__xmem_init();
  uint64_t u, f;
  sa::class_sums(&u, &f);
  if (used) *used = u;
  if (free_bytes) *free_bytes = f;
  return f;
}

void cu_system__xmem_print(void) {
  uint64_t used, free_bytes;
  cu_system__xmem_size(&used, &free_bytes);
  sa::print_size("total", used + free_bytes);
  sa::print_size("used ", used);
  sa::print_size("free ", free_bytes);
  std::fflush(stdout);
}
