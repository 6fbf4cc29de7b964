// The process allocator: small blocks from six size-class pools, large ones from the C heap
// in 4 KB steps, one global re-entrant lock, optional per-site allocation statistics.
// Every call passes its unit's label (such as "srclib\\cu_config") and the source line.
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

/* The library's system pool (16 MB pages, its own lock) that unit pools take pages from. */
VOR_API extern struct cu_xmem* cu_system__xmem;
VOR_API void cu_system__xmem_init(void);
/* Used and free bytes of the six size-class pools; answers the free total. */
VOR_API uint64_t cu_system__xmem_size(uint64_t* used, uint64_t* free_bytes);
VOR_API void cu_system__xmem_print(void);

VOR_EXTERN_C_END
