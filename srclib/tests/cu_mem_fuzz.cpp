// Drives an arena with operations read from the input (allocate, aligned allocate, free,
// double free, reallocate, free of a pointer off the chunk grid) and aborts when an invariant breaks.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cu_mem.h"
#include "cu_mem_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  alignas(16) static uint8_t block[120 + 255 * 24];
  const uint64_t granularity = data[0] % 3 == 0 ? 0 : data[0];
  cu_mem* m = cu_mem_init_ext(nullptr, nullptr, block, 120 + data[1] * 24, granularity);
  if (!m) return 0;
  std::vector<void*> live;
  for (size_t i = 2; i + 1 < size; i += 2) {
    const uint8_t arg = data[i + 1];
    switch (data[i] % 6) {
      case 0:
        if (void* p = cu_mem_malloc(m, arg * 3u)) live.push_back(p);
        break;
      case 1:
        if (void* p = cu_mem_memalign(m, arg % 90, arg)) live.push_back(p);
        break;
      case 2:
      case 3:
        if (!live.empty()) {
          const size_t k = arg % live.size();
          cu_mem_free(m, live[k]);
          if (data[i] % 6 == 3) cu_mem_free(m, live[k]);  // a second free must be refused
          live.erase(live.begin() + static_cast<long>(k));
        }
        break;
      case 4:
        if (!live.empty()) {
          const size_t k = arg % live.size();
          if (void* q = cu_mem_realloc(m, live[k], arg * 5u)) live[k] = q;
        }
        break;
      default:
        if (!live.empty())  // a pointer into a block, off the chunk grid: refused
          cu_mem_free(m, static_cast<uint8_t*>(live[arg % live.size()]) + 1 + arg % 7);
        break;
    }
    if (!cu_mem__check(m).empty()) std::abort();
    if (cu_mem_used_chunk_count(m) != live.size()) std::abort();
  }
  return 0;
}
