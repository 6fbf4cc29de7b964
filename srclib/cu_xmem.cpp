#include "cu_xmem.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>

#include "cu_malloc.h"
#include "cu_malloc_internal.h"
#include "cu_mem_internal.h"
#include "cu_mem_text.h"
#include "cu_rtree.h"
#include "cu_xmem_internal.h"
#include "vor_kit.h"

namespace {
constexpr char kUnit[] = "srclib\\cu_xmem";
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kPageHeader = 88;
// Page bytes beyond a request: the page's arena header and one chunk header.
constexpr uint64_t kPageOverhead = kPageHeader + kCuMemChunkHeader;
// Pool allocation: the record, then the page table, 8 bytes, then the inner arena.
constexpr uint64_t kPerPageBytes = 81;
constexpr uint64_t kFixedBytes = 441;
constexpr uint64_t kInnerPerPage = 73;
constexpr uint64_t kInnerFixed = 313;

void* source_alloc(cu_xmem_page_alloc_fn page_alloc, void* user, uint64_t size) {
  return page_alloc ? page_alloc(user, size) : _cu_malloc(size, kUnit, __LINE__);
}

void source_free(const cu_xmem* pool, void* block) {
  if (pool->page_free)
    pool->page_free(pool->user, block);
  else
    _cu_free(block, kUnit, __LINE__);
}

int64_t address(const void* p) { return static_cast<int64_t>(reinterpret_cast<uintptr_t>(p)); }

cu_mem* page_of(cu_xmem* pool, const void* p) {
  void* page = nullptr;
  if (!p || pool->page_count == 0 || !cu_rtree_find(pool->ranges, address(p), &page)) return nullptr;
  return static_cast<cu_mem*>(page);
}

void* take_from(cu_xmem* pool, cu_mem* page, uint64_t n) {
  uint64_t taken;
  void* p = cu_mem__malloc(page, n, &taken);
  if (!p) return nullptr;
  cu_mem__unpoison(p, taken - kCuMemChunkHeader);
  // The next chunk's header stays out of reach too, so an overflow is reported.
  auto* next = static_cast<uint8_t*>(p) - kCuMemChunkHeader + taken;
  if (next < page->base + page->size) cu_mem__poison(next, kCuMemChunkHeader);
  pool->used_bytes += taken;
  pool->free_bytes -= taken;
  return p;
}

// Frees p in its page and keeps the pool counters; false when the page refused it.
bool give_back(cu_xmem* pool, cu_mem* page, void* p) {
  uint64_t released;
  if (!cu_mem__free(page, p, &released)) return false;
  cu_mem__poison(static_cast<uint8_t*>(p) - kCuMemChunkHeader, released);
  if (page->page_index < pool->page_count && pool->pages[page->page_index] == page) pool->hint = page->page_index;
  pool->used_bytes -= released;
  pool->free_bytes += released;
  return true;
}

void release_block(const cu_xmem* pool, cu_mem* page) {
  cu_mem__unpoison(page->base, page->size);
  source_free(pool, page->base);
}

void drop_page(cu_xmem* pool, cu_mem* page) {
  cu_rtree_delete(pool->ranges, address(page->base));
  for (uint64_t i = page->page_index; i + 1 < pool->page_count; ++i) {
    pool->pages[i] = pool->pages[i + 1];
    pool->pages[i]->page_index = i;
  }
  --pool->page_count;
  pool->hint = 0;
  pool->used_bytes -= page->used_bytes;
  pool->free_bytes -= page->free_bytes;
  release_block(pool, page);
}

// Bytes of a new page for n: the page size, or the smallest multiple of it that holds n.
bool page_bytes_for(const cu_xmem* pool, uint64_t n, uint64_t* bytes) {
  if (n > kMax - kPageOverhead) return false;
  const uint64_t need = n + kPageOverhead;
  const uint64_t pages = need / pool->page_size + (need % pool->page_size ? 1 : 0);
  if (pages > kMax / pool->page_size) return false;
  *bytes = pages == 0 ? pool->page_size : pages * pool->page_size;
  return true;
}

cu_mem* add_page(cu_xmem* pool, uint64_t n) {
  uint64_t size;
  if (!page_bytes_for(pool, n, &size)) return nullptr;
  void* block = source_alloc(pool->page_alloc, pool->user, size);
  if (!block) return nullptr;
  // Chunk headers are 8-byte words: a page must start on an 8-byte boundary.
  cu_mem* page = reinterpret_cast<uintptr_t>(block) % kCuMemAlign
                     ? nullptr
                     : cu_mem_init_ext(nullptr, nullptr, block, size, pool->granularity);
  if (!page) {
    source_free(pool, block);
    return nullptr;
  }
  if (!cu_rtree_insert(pool->ranges, address(block), address(block) + static_cast<int64_t>(page->size) - 1, page)) {
    std::fputs("ERROR: cu_xmem_malloc() -> cu_rtree_insert() -> no memory in inner rtree!\r\n", stdout);
    std::fflush(stdout);
    source_free(pool, block);
    return nullptr;
  }
  // Chunk headers and freed chunks are poisoned as they appear; space never handed out is
  // left alone, which keeps a new page cheap.
  cu_mem__poison(page->first_chunk, kCuMemChunkHeader);
  page->page_index = pool->page_count;
  pool->pages[pool->page_count] = page;
  pool->hint = pool->page_count;
  ++pool->page_count;
  pool->used_bytes += page->used_bytes;
  pool->free_bytes += page->free_bytes;
  return page;
}

void* alloc_request(cu_xmem* pool, uint64_t granularity, uint64_t n) {
  vor::sysalloc::count_pool_alloc(pool);
  uint64_t rounded;
  if (!cu_mem__round(granularity, n, &rounded)) return nullptr;
  return cu_xmem__malloc(pool, rounded);
}

template <class Read>
uint64_t read_counter(cu_xmem* pool, Read read) {
  if (!pool) return 0;
  vor::SemLock guard(pool->lock);
  return read(pool);
}
}  // namespace

void* cu_xmem__malloc(cu_xmem* pool, uint64_t n) {
  if (n < 16) n = 16;
  if (n > kMax - kCuMemAlign) return nullptr;
  n = (n + kCuMemAlign - 1) & ~(kCuMemAlign - 1);
  vor::SemLock guard(pool->lock);
  if (pool->page_count > 0 && n <= kMax - kCuMemChunkHeader && pool->free_bytes >= n + kCuMemChunkHeader) {
    if (pool->hint > 0) {
      if (void* p = take_from(pool, pool->pages[pool->hint % pool->page_count], n)) return p;
    }
    for (uint64_t i = 0; i < pool->page_count; ++i) {
      if (void* p = take_from(pool, pool->pages[i], n)) {
        pool->hint = i;
        return p;
      }
    }
  }
  if (pool->page_count >= pool->max_pages) return nullptr;
  cu_mem* page = add_page(pool, n);
  return page ? take_from(pool, page, n) : nullptr;
}

void* cu_xmem__alloc_from(void* pool, uint64_t size) { return cu_xmem_malloc(static_cast<cu_xmem*>(pool), size); }

void cu_xmem__free_to(void* pool, void* block) { cu_xmem_free(static_cast<cu_xmem*>(pool), block); }

uint64_t cu_xmem_sizeof(void) { return sizeof(cu_xmem); }

cu_xmem* cu_xmem_init_ext_ext(cu_sem* lock, uint64_t page_size, uint64_t max_pages, uint64_t granularity,
                              bool release_empty, cu_xmem_page_alloc_fn page_alloc, cu_xmem_page_free_fn page_free,
                              void* user) {
  if (page_size == 0 || !page_alloc != !page_free) return nullptr;
  if (max_pages > (kMax - kFixedBytes) / kPerPageBytes) return nullptr;
  const uint64_t total = kPerPageBytes * max_pages + kFixedBytes;
  auto* block = static_cast<uint8_t*>(source_alloc(page_alloc, user, total));
  if (!block) return nullptr;
  auto* pool = reinterpret_cast<cu_xmem*>(block);
  std::memset(pool, 0, sizeof(cu_xmem));
  pool->page_alloc = page_alloc;
  pool->page_free = page_free;
  pool->user = user;
  pool->pages = reinterpret_cast<cu_mem**>(block + sizeof(cu_xmem));
  // The inner arena holds the range tree's record and one node per page: sized for that.
  uint8_t* inner_block = block + sizeof(cu_xmem) + sizeof(cu_mem*) * max_pages + 8;
  pool->inner = cu_mem_init_ext(nullptr, nullptr, inner_block, (kInnerPerPage * max_pages + kInnerFixed) & ~1ull, 0);
  pool->ranges = pool->inner ? cu_rtree_mallocx(pool->inner) : nullptr;
  if (!pool->ranges) {
    source_free(pool, block);
    return nullptr;
  }
  pool->page_size = page_size;
  pool->max_pages = max_pages;
  pool->granularity = cu_mem__granularity(granularity);
  pool->lock = lock;
  pool->release_empty = release_empty ? 1 : 0;
  return pool;
}

cu_xmem* cu_xmem_init_ext(cu_sem* lock, uint64_t page_size, uint64_t max_pages, uint64_t granularity,
                          cu_xmem_page_alloc_fn page_alloc, cu_xmem_page_free_fn page_free, void* user) {
  return cu_xmem_init_ext_ext(lock, page_size, max_pages, granularity, false, page_alloc, page_free, user);
}

cu_xmem* cu_xmem_init(uint64_t page_size, uint64_t max_pages) {
  return cu_xmem_init_ext_ext(nullptr, page_size, max_pages, 32, false, nullptr, nullptr, nullptr);
}

void cu_xmem_exit(cu_xmem* pool) {
  if (!pool) return;
  vor::sysalloc::forget_pool(pool);
  vor::SemLock guard(pool->lock);
  for (uint64_t i = 0; i < pool->page_count; ++i) release_block(pool, pool->pages[i]);
  source_free(pool, pool);
}

void* cu_xmem_malloc(cu_xmem* pool, uint64_t n) {
  if (!pool) return nullptr;
  return alloc_request(pool, pool->granularity, n);
}

void* cu_xmem_memalign(cu_xmem* pool, uint64_t step, uint64_t n) {
  if (!pool) return nullptr;
  return alloc_request(pool, cu_mem__granularity(step), n);
}

uint64_t cu_xmem_memalign_usable_size(uint64_t step, uint64_t n) { return cu_mem_memalign_usable_size(step, n); }

uint64_t cu_xmem_malloc_usable_size(cu_xmem* pool, const void* p) {
  if (!pool || !p) return 0;
  vor::SemLock guard(pool->lock);
  cu_mem* page = page_of(pool, p);
  return page ? cu_mem_malloc_usable_size(page, p) : 0;
}

void* cu_xmem_realloc(cu_xmem* pool, void* p, uint64_t n) {
  if (!pool) return nullptr;
  if (!p) return cu_xmem_malloc(pool, n);
  vor::SemLock guard(pool->lock);
  cu_mem* page = page_of(pool, p);
  if (!page) return nullptr;
  const uint64_t usable = cu_mem_malloc_usable_size(page, p);
  if (usable == 0) return nullptr;
  if (usable >= n) return p;
  vor::sysalloc::count_pool_alloc(pool);
  uint64_t rounded;
  if (!cu_mem__round(pool->granularity, n, &rounded)) return nullptr;
  void* q = take_from(pool, page, rounded);
  if (!q) q = cu_xmem__malloc(pool, rounded);
  if (!q) return nullptr;
  std::memcpy(q, p, usable);
  cu_xmem_free(pool, p);
  return q;
}

void cu_xmem_free(cu_xmem* pool, void* p) {
  if (!pool) return;
  vor::SemLock guard(pool->lock);
  cu_mem* page = page_of(pool, p);
  if (!page) {
    std::printf("debug: cu_xmem_free(void *m) -> invalid 'm=%" PRId64 "' pointer!\r\n", address(p));
    std::fflush(stdout);
    return;
  }
  if (!give_back(pool, page, p)) return;
  if (pool->release_empty && page->used_bytes == 0) drop_page(pool, page);
}

bool cu_xmem_is_valid(cu_xmem* pool, const void* p) {
  if (!pool) return false;
  // Even the "no page yet" answer reads the page count under the lock: it changes under it.
  vor::SemLock guard(pool->lock);
  return page_of(pool, p) != nullptr;
}

uint64_t cu_xmem_used_page_count(cu_xmem* pool) {
  return read_counter(pool, [](cu_xmem* x) { return x->page_count; });
}

uint64_t cu_xmem_free_page_count(cu_xmem* pool) {
  return read_counter(pool, [](cu_xmem* x) { return x->max_pages - x->page_count; });
}

uint64_t cu_xmem_used_space_size(cu_xmem* pool) {
  return read_counter(pool, [](cu_xmem* x) { return x->used_bytes; });
}

uint64_t cu_xmem_free_space_size(cu_xmem* pool) {
  return read_counter(pool, [](cu_xmem* x) { return x->free_bytes; });
}

uint64_t cu_xmem_used_chunk_count(cu_xmem* pool) {
  return read_counter(pool, [](cu_xmem* x) {
    uint64_t sum = 0;
    for (uint64_t i = 0; i < x->page_count; ++i) sum += x->pages[i]->used_chunks;
    return sum;
  });
}

uint64_t cu_xmem_free_chunk_count(cu_xmem* pool) {
  return read_counter(pool, [](cu_xmem* x) {
    uint64_t sum = 0;
    for (uint64_t i = 0; i < x->page_count; ++i) sum += x->pages[i]->free_chunks;
    return sum;
  });
}

char* cu_xmem_strdup(cu_xmem* pool, const char* s) {
  return pool ? cu_text::concat(cu_xmem__alloc_from, pool, {s}) : nullptr;
}
char* cu_xmem_strndup(cu_xmem* pool, const char* s, int32_t n) {
  return pool ? cu_text::strndup(cu_xmem__alloc_from, pool, s, n) : nullptr;
}
char* cu_xmem_strdup2(cu_xmem* pool, const char* s1, const char* s2) {
  return pool ? cu_text::concat(cu_xmem__alloc_from, pool, {s1, s2}) : nullptr;
}
char* cu_xmem_strdup3(cu_xmem* pool, const char* s1, const char* s2, const char* s3) {
  return pool ? cu_text::concat(cu_xmem__alloc_from, pool, {s1, s2, s3}) : nullptr;
}
char* cu_xmem_strdup4(cu_xmem* pool, const char* s1, const char* s2, const char* s3, const char* s4) {
  return pool ? cu_text::concat(cu_xmem__alloc_from, pool, {s1, s2, s3, s4}) : nullptr;
}
char* cu_xmem_strdup5(cu_xmem* pool, const char* s1, const char* s2, const char* s3, const char* s4,
                      const char* s5) {
  return pool ? cu_text::concat(cu_xmem__alloc_from, pool, {s1, s2, s3, s4, s5}) : nullptr;
}
void* cu_xmem_memdup(cu_xmem* pool, const void* data, int32_t n) {
  return pool ? cu_text::memdup(cu_xmem__alloc_from, pool, data, n) : nullptr;
}
char* cu_xmem_strtolower(cu_xmem* pool, const char* s) {
  return pool ? cu_text::mapped_case(cu_xmem__alloc_from, pool, s, false) : nullptr;
}
char* cu_xmem_strtoupper(cu_xmem* pool, const char* s) {
  return pool ? cu_text::mapped_case(cu_xmem__alloc_from, pool, s, true) : nullptr;
}
char* cu_xmem_strreverse(cu_xmem* pool, const char* s, int32_t n) {
  return pool ? cu_text::reversed(cu_xmem__alloc_from, pool, s, n) : nullptr;
}
