// Internal to vorcore: where the process allocator placed a block, and a seam through which a
// test makes the page source and the C heap refuse (for tests and checks).
#pragma once
#include "vor_internal.h"
#include <cstdint>

#include "cu_xmem.h"

namespace vor::sysalloc {

// Index 0..5 of the size-class pool holding p (classes 32 to 1024), or -1 for the C heap.
int class_of(const void* p);
// The size-class pool of that index, NULL when it could not be made.
cu_xmem* class_pool(int index);

// Whether a new size-class page (for the class index given) or a C-heap block may be had;
// NULL restores the default of always. Only for tests: the gates are read without a lock.
using PageGate = bool (*)(int class_index);
using HeapGate = bool (*)(uint64_t size);
void set_gates_for_test(PageGate pages, HeapGate heap);

// Bytes of chunks the calling thread keeps in its cache for class index (0 without a cache).
uint64_t cached_bytes_of_this_thread(int index);

// The calling thread's pool counts: one more allocation of pool; pool ended by cu_xmem_exit.
void count_pool_alloc(const cu_xmem* pool);
void forget_pool(const cu_xmem* pool);

}  // namespace vor::sysalloc
