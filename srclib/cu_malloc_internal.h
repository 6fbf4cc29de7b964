// Internal to vorcore: where the process allocator placed a block (for tests and checks).
#pragma once
#include "vor_internal.h"
#include "cu_xmem.h"

// Index 0..5 of the size-class pool holding p (classes 32 to 1024), or -1 for the C heap.
int cu_system__class_of(const void* p);
// The size-class pool of that index, NULL when it could not be made.
cu_xmem* cu_system__class_pool(int index);
