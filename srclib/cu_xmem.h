// cu_xmem: a pool of pages, each page a cu_mem arena, with a page limit, an optional lock,
// optional release of emptied pages and a pluggable page source (a parent pool, caller
// functions, or the process allocator). Every module makes its own pools at init.
#pragma once
#include "cu_mem.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef void* (*cu_xmem_page_alloc_fn)(void* user, uint64_t size);
typedef void (*cu_xmem_page_free_fn)(void* user, void* block);

typedef struct cu_xmem cu_xmem;

VOR_API uint64_t cu_xmem_sizeof(void);
VOR_API cu_xmem* cu_xmem_init_ext_ext(cu_sem* lock, uint64_t page_size, uint64_t max_pages, uint64_t granularity,
                                      bool release_empty, cu_xmem_page_alloc_fn page_alloc,
                                      cu_xmem_page_free_fn page_free, void* user);
VOR_API cu_xmem* cu_xmem_init_ext(cu_sem* lock, uint64_t page_size, uint64_t max_pages, uint64_t granularity,
                                  cu_xmem_page_alloc_fn page_alloc, cu_xmem_page_free_fn page_free, void* user);
VOR_API cu_xmem* cu_xmem_init(uint64_t page_size, uint64_t max_pages);
VOR_API void cu_xmem_exit(cu_xmem* pool);
VOR_API void* cu_xmem_malloc(cu_xmem* pool, uint64_t n);
VOR_API void* cu_xmem_memalign(cu_xmem* pool, uint64_t step, uint64_t n);
VOR_API uint64_t cu_xmem_memalign_usable_size(uint64_t step, uint64_t n);
VOR_API uint64_t cu_xmem_malloc_usable_size(cu_xmem* pool, const void* p);
VOR_API void* cu_xmem_realloc(cu_xmem* pool, void* p, uint64_t n);
VOR_API void cu_xmem_free(cu_xmem* pool, void* p);
VOR_API bool cu_xmem_is_valid(cu_xmem* pool, const void* p);
VOR_API uint64_t cu_xmem_used_page_count(cu_xmem* pool);
VOR_API uint64_t cu_xmem_free_page_count(cu_xmem* pool);
VOR_API uint64_t cu_xmem_used_space_size(cu_xmem* pool);
VOR_API uint64_t cu_xmem_free_space_size(cu_xmem* pool);
VOR_API uint64_t cu_xmem_used_chunk_count(cu_xmem* pool);
VOR_API uint64_t cu_xmem_free_chunk_count(cu_xmem* pool);
VOR_API char* cu_xmem_strdup(cu_xmem* pool, const char* s);
VOR_API char* cu_xmem_strndup(cu_xmem* pool, const char* s, int32_t n);
VOR_API char* cu_xmem_strdup2(cu_xmem* pool, const char* s1, const char* s2);
VOR_API char* cu_xmem_strdup3(cu_xmem* pool, const char* s1, const char* s2, const char* s3);
VOR_API char* cu_xmem_strdup4(cu_xmem* pool, const char* s1, const char* s2, const char* s3, const char* s4);
VOR_API char* cu_xmem_strdup5(cu_xmem* pool, const char* s1, const char* s2, const char* s3, const char* s4,
                              const char* s5);
VOR_API void* cu_xmem_memdup(cu_xmem* pool, const void* data, int32_t n);
VOR_API char* cu_xmem_strtolower(cu_xmem* pool, const char* s);
VOR_API char* cu_xmem_strtoupper(cu_xmem* pool, const char* s);
VOR_API char* cu_xmem_strreverse(cu_xmem* pool, const char* s, int32_t n);

VOR_EXTERN_C_END
