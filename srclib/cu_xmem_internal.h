// Internal to vorcore: the pool record (its layout is fixed at fifteen 8-byte fields) and the
// allocation step on an already rounded size.
#pragma once
#include "vor_internal.h"
#include "cu_rtree.h"
#include "cu_xmem.h"

struct cu_xmem {
  uint64_t page_size;
  uint64_t max_pages;
  uint64_t page_count;
  uint64_t granularity;
  cu_xmem_page_alloc_fn page_alloc;
  cu_xmem_page_free_fn page_free;
  void* user;
  cu_mem** pages;      // max_pages entries; the first page_count are live, in creation order
  cu_rtree* ranges;    // [page start, page end - 1] -> page, inside the inner arena
  cu_mem* inner;       // arena right after the page table holding the range tree
  cu_sem* lock;
  uint8_t release_empty;
  uint8_t reserved[7];
  uint64_t hint;
  uint64_t used_bytes;
  uint64_t free_bytes;
};
static_assert(sizeof(cu_xmem) == 120, "the pool record is fifteen 8-byte fields");

// Allocation of an already rounded n (made a multiple of 8, at least 16) under the pool lock.
void* cu_xmem__malloc(cu_xmem* pool, uint64_t n);

// Page source and tree memory source backed by a parent pool (user = the parent cu_xmem):
// exactly the callback shapes of cu_xmem_init_ext and the tree constructors, so no function
// pointer needs a cast.
void* cu_xmem__alloc_from(void* pool, uint64_t size);
void cu_xmem__free_to(void* pool, void* block);
