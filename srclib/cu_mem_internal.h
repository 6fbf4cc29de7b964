// Internal to vorcore: the arena steps the pools build on, the shared size rounding, the
// AddressSanitizer poisoning of unused pool memory and an invariant check for tests.
#pragma once
#include "vor_internal.h"
#include "cu_mem.h"

#include <cstddef>
#include <string>

// Chunk header bytes (previous size, own size with the in-use bit of the previous chunk).
constexpr uint64_t kCuMemChunkHeader = 16;
// Every chunk size, granularity step and alignment step is a multiple of this.
constexpr uint64_t kCuMemAlign = 8;

#if defined(VOR_ASAN) || defined(__SANITIZE_ADDRESS__)
#define CU_MEM_NO_ASAN __attribute__((no_sanitize_address))
#else
#define CU_MEM_NO_ASAN
#endif

// Granularity as stored: 0 stays 0, anything else at least 16 and a multiple of 8.
uint64_t cu_mem__granularity(uint64_t granularity);
// Rounds a request by a granularity (0: none) as the arena allocates it; false when it wraps.
bool cu_mem__round(uint64_t granularity, uint64_t n, uint64_t* rounded);
// First fit of an already rounded n, under the arena lock; *taken = chunk size (0 on failure).
void* cu_mem__malloc(cu_mem* mem, uint64_t n, uint64_t* taken);
// Validates and frees p, under the arena lock; *released = chunk size (0 when refused).
bool cu_mem__free(cu_mem* mem, void* p, uint64_t* released);
// Usable bytes of p's chunk without taking the lock.
uint64_t cu_mem__usable(const void* p);
// Memory source backed by an arena (context = the cu_mem), in the callback shape that trees,
// hash tables and the string copies take.
void* cu_mem__alloc_from(void* arena, uint64_t size);
void cu_mem__free_to(void* arena, void* block);
// Empty string when every invariant of the arena holds, else what is wrong. No lock taken.
std::string cu_mem__check(cu_mem* mem);

// Unused memory of pool pages is poisoned under AddressSanitizer, so a use after free through
// the pools is reported; no-ops otherwise.
void cu_mem__poison(const void* p, uint64_t size);
void cu_mem__unpoison(const void* p, uint64_t size);
