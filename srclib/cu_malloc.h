// The process allocator: small blocks from six size-class pools, large ones from the C heap
// in 4 KB steps, optional per-site allocation statistics. Every call passes its unit's label
// (such as "srclib\\cu_config") and the source line.
//
// Threads: each thread keeps a small cache of free chunks per chunk size and moves them to and
// from the size-class pools in batches under each pool's own lock, so no lock is shared by all
// allocations; it also keeps a few freed C-heap blocks of 4 to 16 KB. A block may be freed on
// any thread. A thread's cache goes back to the pools and the C heap when the thread ends. Pool
// pages are 2 MB aligned and listed in a page map, so a free finds its pool without a search.
// With statistics on, every call also takes the statistics lock.
//
// Floor: this unit is the ground of the library. It calls only cu_xmem, cu_mem and cu_sem (and
// platform/ and the C library); its statistics live in standard containers over the plain C
// heap. cu_xmem and cu_sem call back into _cu_malloc for a pool made without page callbacks and
// for cu_sem_malloc, but the pools made here all have page callbacks (mapped pages and C-heap
// blocks) and their locks live in static storage, so no pool call made here comes back. The one
// call back, cu_sem_malloc for the system pool's lock, is made holding no lock of this unit.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

struct cu_xmem;

VOR_API void* _cu_malloc(uint64_t n, const char* file, int32_t line);
/* count x size zero-filled; NULL when the product overflows. */
VOR_API void* _cu_calloc(uint64_t count, uint64_t size, const char* file, int32_t line);
/* NULL when the new size cannot be had; p then stays valid and unchanged. */
VOR_API void* _cu_realloc(void* p, uint64_t n, const char* file, int32_t line);
/* NULL ignored. */
VOR_API void _cu_free(void* p, const char* file, int32_t line);

/* Allocation-site statistics. */
VOR_API void _cu_mdebug_turnon(void);
VOR_API void _cu_mdebug_turnoff(void);
VOR_API void _cu_mdebug_AddRefuseFile(const char* name);
VOR_API void _cu_mdebug_DelRefuseFile(const char* name);
/* Writes one "site(line)\r\n" per live tracked block, in block-address order. */
VOR_API void _cu_mdebug_GetMallocStat(const char* path);

/* Allocation calls of the calling thread since it started: relaxed counters that only the thread
   itself writes and reads, so reading them neither locks nor sees other threads' calls. A pool
   is listed by its address from its first allocation on this thread until the thread ends it
   with cu_xmem_exit; pools beyond the list still count in pool_allocs. */
#define CU_ALLOC_TALLY_POOLS 16
typedef struct cu_alloc_pool_tally {
  const struct cu_xmem* pool;
  uint64_t allocs; /* cu_xmem_malloc, cu_xmem_memalign (and the copies made with them), and
                      cu_xmem_realloc calls that need a larger chunk */
} cu_alloc_pool_tally;
typedef struct cu_alloc_tally {
  uint64_t mallocs;     /* _cu_malloc, _cu_calloc and _cu_realloc calls */
  uint64_t frees;       /* _cu_free calls with a block */
  uint64_t pool_allocs; /* allocations of every pool, listed or not */
  uint32_t pool_count;  /* entries of pools in use */
  cu_alloc_pool_tally pools[CU_ALLOC_TALLY_POOLS];
} cu_alloc_tally;
/* Fills out with the calling thread's counts; false for NULL. */
VOR_API bool cu_alloc_counts(cu_alloc_tally* out);

/* The library's system pool (16 MB pages, its own lock) that unit pools take pages from. */
VOR_API extern struct cu_xmem* cu_system__xmem;
VOR_API void cu_system__xmem_init(void);
/* Used and free bytes of the six size-class pools; answers the free total. */
VOR_API uint64_t cu_system__xmem_size(uint64_t* used, uint64_t* free_bytes);
VOR_API void cu_system__xmem_print(void);

VOR_EXTERN_C_END
