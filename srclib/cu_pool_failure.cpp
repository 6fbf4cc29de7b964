#include "cu_pool_failure.h"

#include <cstdio>
#include <cstdlib>

#include "cu_log.h"
#include "cu_malloc.h"
#include "cu_xmem_internal.h"

void vor::pool::init_failed(const char* line) {
  fputs(line, stdout);
  fflush(stdout);
  __cu_system_log("xmem.log", "%s", line);
  exit(-1);
}

cu_xmem* vor::pool::make_unit_pool(cu_sem* lock, uint64_t page_size, uint64_t max_pages, uint64_t granularity,
                                   bool release_empty, const char* failure_line) {
  if (!cu_system__xmem) cu_system__xmem_init();
  cu_sem_init(lock);
  cu_xmem* pool = cu_xmem_init_ext_ext(lock, page_size, max_pages, granularity, release_empty, cu_xmem__alloc_from,
                                       cu_xmem__free_to, cu_system__xmem);
  if (!pool) vor::pool::init_failed(failure_line);
  return pool;
}
