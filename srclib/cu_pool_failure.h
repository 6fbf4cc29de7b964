// The pools of the library's units: pages drawn from the system pool, and the end of a process
// whose unit pool cannot be created (the unit's line goes to standard output and to "xmem.log",
// and the process exits with code -1). Internal to vorcore.
#pragma once
#include "vor_internal.h"
#include <cstdint>

#include "cu_sem.h"
#include "cu_xmem.h"

namespace vor::pool {

// line is the unit's whole text, such as
// "cu_xfile_xmem -> cu_xfile__xmem_init() -> cu_xmem_init_ext(xfile struct) -> return NULL -> exit!\r\n".
[[noreturn]] void init_failed(const char* line);

// Sets up lock and a pool under it whose pages come from the system pool (made first if need
// be); a pool that cannot be made ends the process with failure_line.
cu_xmem* make_unit_pool(cu_sem* lock, uint64_t page_size, uint64_t max_pages, uint64_t granularity, bool release_empty,
                        const char* failure_line);

}  // namespace vor::pool
