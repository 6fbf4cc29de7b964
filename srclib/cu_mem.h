// cu_mem: a boundary-tag heap carved out of one caller-owned block (first fit, address-ordered
// free list, splitting and coalescing). The page allocator inside every cu_xmem pool.
#pragma once
#include "cu_sem.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* The 88-byte arena header; it lives at the block start or in caller storage. */
typedef struct cu_mem {
  uint8_t* base;
  uint64_t size;
  uint64_t granularity;
  uint8_t* first_chunk;
  uint8_t* free_head;
  uint64_t used_chunks;
  uint64_t free_chunks;
  uint64_t used_bytes;
  uint64_t free_bytes;
  cu_sem* lock;
  uint64_t page_index;
} cu_mem;

VOR_API uint64_t cu_mem_sizeof(void);
VOR_API cu_mem* cu_mem_init(void* block, uint64_t size);
VOR_API cu_mem* cu_mem_init_ext(void* header, cu_sem* lock, void* block, uint64_t size, uint64_t granularity);
VOR_API void* cu_mem_malloc(cu_mem* mem, uint64_t n);
VOR_API void* cu_mem_memalign(cu_mem* mem, uint64_t step, uint64_t n);
VOR_API uint64_t cu_mem_memalign_usable_size(uint64_t step, uint64_t n);
VOR_API uint64_t cu_mem_malloc_usable_size(cu_mem* mem, const void* p);
VOR_API bool cu_mem_is_valid(cu_mem* mem, const void* p);
VOR_API void cu_mem_free(cu_mem* mem, void* p);
VOR_API void* cu_mem_realloc(cu_mem* mem, void* p, uint64_t n);
VOR_API uint64_t cu_mem_used_space_size(cu_mem* mem);
VOR_API uint64_t cu_mem_free_space_size(cu_mem* mem);
VOR_API uint64_t cu_mem_used_chunk_count(cu_mem* mem);
VOR_API uint64_t cu_mem_free_chunk_count(cu_mem* mem);
VOR_API void cu_mem_info(cu_mem* mem, const char* path);
VOR_API char* cu_mem_strdup(cu_mem* mem, const char* s);
VOR_API char* cu_mem_strndup(cu_mem* mem, const char* s, int32_t n);
VOR_API char* cu_mem_strdup2(cu_mem* mem, const char* s1, const char* s2);
VOR_API char* cu_mem_strdup3(cu_mem* mem, const char* s1, const char* s2, const char* s3);
VOR_API char* cu_mem_strdup4(cu_mem* mem, const char* s1, const char* s2, const char* s3, const char* s4);
VOR_API char* cu_mem_strdup5(cu_mem* mem, const char* s1, const char* s2, const char* s3, const char* s4,
                             const char* s5);
VOR_API void* cu_mem_memdup(cu_mem* mem, const void* data, int32_t n);
VOR_API char* cu_mem_strtolower(cu_mem* mem, const char* s);
VOR_API char* cu_mem_strtoupper(cu_mem* mem, const char* s);

VOR_EXTERN_C_END
