#include "cu_mem.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <limits>

#include "cu_mem_internal.h"
#include "cu_mem_text.h"
#include "vor_fd.h"
#include "vor_kit.h"

#if defined(VOR_ASAN) || defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

static_assert(sizeof(cu_mem) == 88, "the arena header is eleven 8-byte words");

// Pool pages are poisoned where unused, so everything here that reads chunk headers and free
// links is built without AddressSanitizer checks (CU_MEM_NO_ASAN).
namespace {
constexpr uint64_t kHeaderSize = sizeof(cu_mem);
constexpr uint64_t kMinChunk = 32;
constexpr uint64_t kMinInnerBlock = kHeaderSize + kMinChunk;  // 120
constexpr uint64_t kPrevInUse = 1;
constexpr uint64_t kSizeMask = ~(kCuMemAlign - 1);
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
// Above this many free chunks a free looks for its list neighbour by walking chunks first.
constexpr uint64_t kWalkSteps = 32;

struct Chunk {
  uint64_t prev_size;
  uint64_t size_bits;  // size | kPrevInUse
  Chunk* prev_free;    // free chunks only: list links in the data area
  Chunk* next_free;
};

CU_MEM_NO_ASAN inline uint8_t* bytes(Chunk* c) { return reinterpret_cast<uint8_t*>(c); }
CU_MEM_NO_ASAN inline Chunk* at(uint8_t* p) { return reinterpret_cast<Chunk*>(p); }
CU_MEM_NO_ASAN inline uint64_t size_of(const Chunk* c) { return c->size_bits & kSizeMask; }
CU_MEM_NO_ASAN inline Chunk* head(const cu_mem* m) { return reinterpret_cast<Chunk*>(m->free_head); }
CU_MEM_NO_ASAN inline void set_head(cu_mem* m, Chunk* c) { m->free_head = reinterpret_cast<uint8_t*>(c); }
CU_MEM_NO_ASAN inline Chunk* first(const cu_mem* m) { return reinterpret_cast<Chunk*>(m->first_chunk); }
CU_MEM_NO_ASAN inline uint8_t* end_of(const cu_mem* m) { return m->base + m->size; }
CU_MEM_NO_ASAN inline Chunk* after(Chunk* c) { return at(bytes(c) + size_of(c)); }
CU_MEM_NO_ASAN inline bool is_last(const cu_mem* m, Chunk* c) { return bytes(c) + size_of(c) == end_of(m); }
CU_MEM_NO_ASAN inline Chunk* chunk_of(const void* p) {
  return reinterpret_cast<Chunk*>(const_cast<uint8_t*>(static_cast<const uint8_t*>(p)) - kCuMemChunkHeader);
}
CU_MEM_NO_ASAN inline void* data_of(Chunk* c) { return bytes(c) + kCuMemChunkHeader; }

bool round_up(uint64_t n, uint64_t step, uint64_t* out) {
  if (n > kMax - (step - 1)) return false;
  *out = (n + step - 1) / step * step;
  return true;
}

CU_MEM_NO_ASAN void unlink_free(cu_mem* m, Chunk* c) {
  if (c->prev_free)
    c->prev_free->next_free = c->next_free;
  else
    set_head(m, c->next_free);
  if (c->next_free) c->next_free->prev_free = c->prev_free;
}

// Nearest free chunk below c along the list; head must lie below c.
CU_MEM_NO_ASAN Chunk* list_left_of(cu_mem* m, Chunk* c) {
  Chunk* l = head(m);
  while (l->next_free && l->next_free < c) l = l->next_free;
  return l;
}

// Walks physical predecessors from *cursor, at most steps of them (0: down to the first
// chunk); answers the first free one. *cursor is left where the walk stopped.
CU_MEM_NO_ASAN Chunk* walk_back(cu_mem* m, Chunk** cursor, uint64_t steps) {
  Chunk* x = *cursor;
  for (uint64_t i = 0; (steps == 0 || i < steps) && x != first(m); ++i) {
    const uint64_t prev = x->prev_size;
    if (prev < kMinChunk || prev > static_cast<uint64_t>(bytes(x) - m->first_chunk)) break;
    Chunk* p = at(bytes(x) - prev);
    if (!(x->size_bits & kPrevInUse)) return p;
    x = p;
  }
  *cursor = x;
  return nullptr;
}

// The nearest free chunk below c when the list head lies below c.
CU_MEM_NO_ASAN Chunk* find_left(cu_mem* m, Chunk* c) {
  if (m->free_chunks < kWalkSteps) return list_left_of(m, c);
  Chunk* cursor = c;
  if (Chunk* l = walk_back(m, &cursor, kWalkSteps)) return l;
  if (m->free_chunks < m->used_chunks / 2) return list_left_of(m, c);
  Chunk* l = head(m);
  for (uint64_t i = 0; i < kWalkSteps; ++i) {
    if (!l->next_free || l->next_free >= c) return l;
    l = l->next_free;
  }
  if (Chunk* found = walk_back(m, &cursor, 0)) return found;
  return list_left_of(m, c);
}

// Header checks before a free: sizes sane, neighbours' tags agree, c in use.
CU_MEM_NO_ASAN bool free_is_sound(cu_mem* m, Chunk* c) {
  const uint64_t s = size_of(c);
  const uint64_t room = static_cast<uint64_t>(end_of(m) - bytes(c));
  if (s < kMinChunk || s > room) return false;
  if (c == first(m)) {
    if (c->prev_size != 0) return false;
  } else {
    const uint64_t prev = c->prev_size;
    if (prev < kMinChunk || prev % kCuMemAlign || prev > static_cast<uint64_t>(bytes(c) - m->first_chunk))
      return false;
    if (size_of(at(bytes(c) - prev)) != prev) return false;
  }
  if (is_last(m, c)) return true;
  Chunk* n = after(c);
  if (static_cast<uint64_t>(end_of(m) - bytes(n)) < kMinChunk) return false;
  // The successor's bit says whether c is in use: clear means c is already free.
  return n->prev_size == s && (n->size_bits & kPrevInUse);
}

CU_MEM_NO_ASAN void set_next_prev_size(cu_mem* m, Chunk* c) {
  if (!is_last(m, c)) after(c)->prev_size = size_of(c);
}

CU_MEM_NO_ASAN bool free_chunk(cu_mem* m, Chunk* c, uint64_t* released) {
  if (!free_is_sound(m, c)) return false;
  const uint64_t s = size_of(c);
  Chunk* p = c == first(m) ? nullptr : at(bytes(c) - c->prev_size);
  Chunk* n = is_last(m, c) ? nullptr : after(c);
  const bool p_free = p && !(c->size_bits & kPrevInUse);
  Chunk* l = nullptr;
  Chunk* r = head(m);
  if (r && r < c) {
    l = find_left(m, c);
    if (!l) return false;
    r = l->next_free;
  }
  // c on the list already (a second free of the last chunk), or tags that contradict the list.
  if (r == c || l == c || p_free != (l && l == p)) return false;

  if (p_free && r && r == n) {
    p->size_bits = (p->size_bits & kPrevInUse) | (size_of(p) + s + size_of(n));
    p->next_free = n->next_free;
    if (n->next_free) n->next_free->prev_free = p;
    set_next_prev_size(m, p);
    --m->free_chunks;
  } else if (p_free) {
    p->size_bits = (p->size_bits & kPrevInUse) | (size_of(p) + s);
    if (n) n->size_bits &= ~kPrevInUse;
    set_next_prev_size(m, p);
  } else if (r && r == n) {
    c->size_bits = (c->size_bits & kPrevInUse) | (s + size_of(n));
    c->prev_free = l;
    c->next_free = n->next_free;
    if (l)
      l->next_free = c;
    else
      set_head(m, c);
    if (n->next_free) n->next_free->prev_free = c;
    set_next_prev_size(m, c);
  } else {
    c->prev_free = l;
    c->next_free = r;
    if (l)
      l->next_free = c;
    else
      set_head(m, c);
    if (r) r->prev_free = c;
    if (n) n->size_bits &= ~kPrevInUse;
    ++m->free_chunks;
  }
  --m->used_chunks;
  m->used_bytes -= s;
  m->free_bytes += s;
  *released = s;
  return true;
}

CU_MEM_NO_ASAN void* take_chunk(cu_mem* m, uint64_t n, uint64_t* taken) {
  const uint64_t need = n + kCuMemChunkHeader;
  Chunk* c = head(m);
  while (c && size_of(c) - kCuMemChunkHeader < n) c = c->next_free;
  if (!c) return nullptr;
  const uint64_t s = size_of(c);
  const uint64_t room = s - kCuMemChunkHeader;
  if (room < n + kMinChunk || room < m->granularity + n + kCuMemChunkHeader) {
    unlink_free(m, c);
    if (!is_last(m, c)) after(c)->size_bits |= kPrevInUse;
    ++m->used_chunks;
    --m->free_chunks;
    m->used_bytes += s;
    m->free_bytes -= s;
    *taken = s;
    return data_of(c);
  }
  Chunk* rest = at(bytes(c) + need);
  rest->prev_size = need;
  rest->size_bits = (s - need) | kPrevInUse;
  rest->prev_free = c->prev_free;
  rest->next_free = c->next_free;
  if (rest->prev_free)
    rest->prev_free->next_free = rest;
  else
    set_head(m, rest);
  if (rest->next_free) rest->next_free->prev_free = rest;
  set_next_prev_size(m, rest);
  c->size_bits = (c->size_bits & kPrevInUse) | need;
  ++m->used_chunks;
  m->used_bytes += need;
  m->free_bytes -= need;
  *taken = need;
  return data_of(c);
}

void* alloc_rounded(cu_mem* m, uint64_t granularity, uint64_t n) {
  uint64_t rounded;
  if (!cu_mem__round(granularity, n, &rounded)) return nullptr;
  uint64_t taken;
  return cu_mem__malloc(m, rounded, &taken);
}

bool in_chunk_range(const cu_mem* m, const void* p) {
  const auto* c = static_cast<const uint8_t*>(p) - kCuMemChunkHeader;
  if (static_cast<const uint8_t*>(p) < m->first_chunk + kCuMemChunkHeader) return false;
  if (static_cast<uint64_t>(end_of(m) - c) < kMinChunk) return false;
  return (c - m->first_chunk) % kCuMemAlign == 0;
}

// ---- the dump ----

constexpr char kSeparator[] =
    "+------------+--------+------------------+------------------+------------+------------+---+-----------------"
    "-+------------------+\r\n";
constexpr char kColumns[] =
    "| NO         |  STAT  | THIS-LINK-H      | THIS-LINK-T      | PREV-SIZE  | THIS-SIZE  | P | PREV-FREE-LINK-H "
    "| NEXT-FREE-LINK-T |\r\n";

struct Num {
  char text[24];
  explicit Num(uint64_t v) { std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(v)); }
};

CU_MEM_NO_ASAN void write_rows(cu_mem* m, FILE* out) {
  std::fprintf(out, "free_link_header = %u\r\n", static_cast<uint32_t>(reinterpret_cast<uintptr_t>(m->free_head)));
  std::fprintf(out, "link_header = %u\r\nlink_tailer = %u\r\n",
               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(m->first_chunk)),
               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(end_of(m))));
  std::fprintf(out, "used_space  = %u\r\nfree_space  = %u\r\n", static_cast<uint32_t>(m->used_bytes),
               static_cast<uint32_t>(m->free_bytes));
  std::fprintf(out, "used_count  = %u\r\nfree_count  = %u\r\n", static_cast<uint32_t>(m->used_chunks),
               static_cast<uint32_t>(m->free_chunks));
  std::fputs(kSeparator, out);
  std::fputs(kColumns, out);
  std::fputs(kSeparator, out);
  const uint64_t rows = m->used_chunks + m->free_chunks;
  auto offset = [m](Chunk* c) { return c ? static_cast<uint64_t>(bytes(c) - m->first_chunk) : 0; };
  Chunk* next_free = head(m);
  Chunk* c = first(m);
  for (uint64_t row = 1; row <= rows && bytes(c) < end_of(m) && size_of(c) > 0; ++row, c = after(c)) {
    const bool is_free = c == next_free;
    const Num no(row), from(offset(c)), to(offset(c) + size_of(c)), prev(c->prev_size), size(size_of(c));
    const int bit = static_cast<int>(c->size_bits & kPrevInUse);
    if (is_free) {
      next_free = c->next_free;
      const Num left(offset(c->prev_free)), right(offset(c->next_free));
      std::fprintf(out, "| %-10.10s |  free  | %-16.16s | %-16.16s | %-10.10s | %-10.10s | %d | %-16.16s | %-16.16s |\r\n",
                   no.text, from.text, to.text, prev.text, size.text, bit, left.text, right.text);
    } else {
      std::fprintf(out, "| %-10.10s |  used  | %-16.16s | %-16.16s | %-10.10s | %-10.10s | %d | %-16.16s | %-16.16s |\r\n",
                   no.text, from.text, to.text, prev.text, size.text, bit, "-", "-");
    }
    std::fputs(kSeparator, out);
  }
}

CU_MEM_NO_ASAN std::string check_arena(cu_mem* m) {
  const uint8_t* end = end_of(m);
  uint64_t used_chunks = 0, free_chunks = 0, used_bytes = 0, free_bytes = 0;
  Chunk* next_free = head(m);
  Chunk* prev_listed = nullptr;
  bool prev_was_free = false;
  uint64_t prev_size = 0;
  Chunk* c = first(m);
  if (next_free && next_free->prev_free) return "list head has a predecessor";
  while (bytes(c) < end) {
    const uint64_t s = size_of(c);
    if (s < kMinChunk || s % kCuMemAlign || s > static_cast<uint64_t>(end - bytes(c))) return "bad chunk size";
    if (c->prev_size != prev_size) return "previous size tag disagrees";
    if (c != first(m) && bool(c->size_bits & kPrevInUse) == prev_was_free) return "in-use bit disagrees";
    const bool is_free = c == next_free;
    if (is_free) {
      if (prev_was_free) return "two free chunks adjacent";
      if (c->prev_free != prev_listed) return "free list back link broken";
      if (c->next_free && c->next_free <= c) return "free list not ascending";
      prev_listed = c;
      next_free = c->next_free;
      ++free_chunks;
      free_bytes += s;
    } else {
      ++used_chunks;
      used_bytes += s;
    }
    prev_was_free = is_free;
    prev_size = s;
    c = after(c);
  }
  if (bytes(c) != end) return "chunks overrun the block";
  if (next_free) return "free list entry outside the chunk chain";
  if (used_chunks != m->used_chunks || free_chunks != m->free_chunks) return "chunk counters wrong";
  if (used_bytes != m->used_bytes || free_bytes != m->free_bytes) return "byte counters wrong";
  if (used_bytes + free_bytes != static_cast<uint64_t>(end - m->first_chunk)) return "used + free != span";
  return "";
}
}  // namespace

// ---- internal steps ----

uint64_t cu_mem__granularity(uint64_t granularity) {
  if (granularity == 0) return 0;
  constexpr uint64_t kCap = uint64_t{1} << 62;
  if (granularity > kCap) return kCap;
  if (granularity < 16) granularity = 16;
  return (granularity + kCuMemAlign - 1) & kSizeMask;
}

bool cu_mem__round(uint64_t granularity, uint64_t n, uint64_t* rounded) {
  if (granularity > 0) {
    const uint64_t step = granularity + kCuMemChunkHeader;
    if (n > kMax - kCuMemChunkHeader) return false;
    const uint64_t with_header = n + kCuMemChunkHeader;
    if (with_header % step != 0) {
      const uint64_t steps = with_header / step + 1;
      if (steps > kMax / step) return false;
      n = step * steps - kCuMemChunkHeader;
    }
  }
  if (n <= 16) {
    *rounded = 16;
    return true;
  }
  return round_up(n, kCuMemAlign, rounded);
}

void* cu_mem__malloc(cu_mem* mem, uint64_t n, uint64_t* taken) {
  *taken = 0;
  if (!mem) return nullptr;
  if (n < 16) n = 16;
  if (!round_up(n, kCuMemAlign, &n) || n > kMax - kCuMemChunkHeader) return nullptr;
  vor::SemLock guard(mem->lock);
  if (mem->free_bytes < n || mem->free_bytes - n < kCuMemChunkHeader * mem->free_chunks) return nullptr;
  return take_chunk(mem, n, taken);
}

bool cu_mem__free(cu_mem* mem, void* p, uint64_t* released) {
  *released = 0;
  if (!mem || !p || !in_chunk_range(mem, p)) return false;
  vor::SemLock guard(mem->lock);
  return free_chunk(mem, chunk_of(p), released);
}

// The owner of a live chunk reads its size without the arena lock: the size bits of a live chunk
// never change, while a neighbour's allocation or free may flip bit 0 of the same word under the
// lock. A whole-word read sees the same size either way, so ThreadSanitizer is told to look away.
#if defined(__SANITIZE_THREAD__)
__attribute__((no_sanitize_thread))
#endif
CU_MEM_NO_ASAN uint64_t cu_mem__usable(const void* p) {
  const uint64_t size_bits = __atomic_load_n(static_cast<const uint64_t*>(p) - 1, __ATOMIC_RELAXED);
  return (size_bits & kSizeMask) - kCuMemChunkHeader;
}

void* cu_mem__alloc_from(void* arena, uint64_t size) { return cu_mem_malloc(static_cast<cu_mem*>(arena), size); }

void cu_mem__free_to(void* arena, void* block) { cu_mem_free(static_cast<cu_mem*>(arena), block); }

std::string cu_mem__check(cu_mem* mem) { return mem ? check_arena(mem) : "no arena"; }

#if defined(VOR_ASAN) || defined(__SANITIZE_ADDRESS__)
void cu_mem__poison(const void* p, uint64_t size) { ASAN_POISON_MEMORY_REGION(p, size); }
void cu_mem__unpoison(const void* p, uint64_t size) { ASAN_UNPOISON_MEMORY_REGION(p, size); }
#else
void cu_mem__poison(const void*, uint64_t) {}
void cu_mem__unpoison(const void*, uint64_t) {}
#endif

// ---- exports ----

uint64_t cu_mem_sizeof(void) { return kHeaderSize; }

cu_mem* cu_mem_init(void* block, uint64_t size) { return cu_mem_init_ext(nullptr, nullptr, block, size, 16); }

CU_MEM_NO_ASAN cu_mem* cu_mem_init_ext(void* header, cu_sem* lock, void* block, uint64_t size,
                                       uint64_t granularity) {
  if (!block) return nullptr;
  // Chunk headers are 8-byte words: start on an 8-byte boundary, end on one.
  const uint64_t skip = (kCuMemAlign - reinterpret_cast<uintptr_t>(block) % kCuMemAlign) % kCuMemAlign;
  if (size < skip) return nullptr;
  auto* base = static_cast<uint8_t*>(block) + skip;
  size = (size - skip) & kSizeMask;
  cu_mem* m;
  uint8_t* first_chunk;
  if (!header) {
    if (size < kMinInnerBlock) return nullptr;
    m = reinterpret_cast<cu_mem*>(base);
    first_chunk = base + kHeaderSize;
  } else {
    if (size < kMinChunk) return nullptr;
    m = static_cast<cu_mem*>(header);
    first_chunk = base;
  }
  const uint64_t span = static_cast<uint64_t>(base + size - first_chunk);
  *m = cu_mem{base, size, cu_mem__granularity(granularity), first_chunk, first_chunk, 0, 1, 0, span, lock, 0};
  Chunk* c = at(first_chunk);
  c->prev_size = 0;
  c->size_bits = span | kPrevInUse;
  c->prev_free = nullptr;
  c->next_free = nullptr;
  return m;
}

void* cu_mem_malloc(cu_mem* mem, uint64_t n) {
  if (!mem) return nullptr;
  return alloc_rounded(mem, mem->granularity, n);
}

void* cu_mem_memalign(cu_mem* mem, uint64_t step, uint64_t n) {
  if (!mem) return nullptr;
  return alloc_rounded(mem, cu_mem__granularity(step), n);
}

uint64_t cu_mem_memalign_usable_size(uint64_t step, uint64_t n) {
  uint64_t rounded;
  return cu_mem__round(cu_mem__granularity(step), n, &rounded) ? rounded : 0;
}

uint64_t cu_mem_malloc_usable_size(cu_mem* mem, const void* p) {
  if (!mem || !p || !in_chunk_range(mem, p)) return 0;
  vor::SemLock guard(mem->lock);
  return cu_mem__usable(p);
}

bool cu_mem_is_valid(cu_mem* mem, const void* p) {
  if (!mem || !p) return false;
  const auto* q = static_cast<const uint8_t*>(p);
  return q >= mem->first_chunk && q <= end_of(mem) - kCuMemChunkHeader;
}

void cu_mem_free(cu_mem* mem, void* p) {
  uint64_t released;
  cu_mem__free(mem, p, &released);
}

void* cu_mem_realloc(cu_mem* mem, void* p, uint64_t n) {
  if (!mem) return nullptr;
  if (!p) return cu_mem_malloc(mem, n);
  if (!in_chunk_range(mem, p)) return nullptr;
  const uint64_t usable = cu_mem_malloc_usable_size(mem, p);
  if (usable >= n) return p;
  void* q = cu_mem_malloc(mem, n);
  if (!q) return nullptr;
  std::memcpy(q, p, usable);
  cu_mem_free(mem, p);
  return q;
}

uint64_t cu_mem_used_space_size(cu_mem* mem) {
  if (!mem) return 0;
  vor::SemLock guard(mem->lock);
  return mem->used_bytes;
}

uint64_t cu_mem_free_space_size(cu_mem* mem) {
  if (!mem) return 0;
  vor::SemLock guard(mem->lock);
  return mem->free_bytes;
}

uint64_t cu_mem_used_chunk_count(cu_mem* mem) {
  if (!mem) return 0;
  vor::SemLock guard(mem->lock);
  return mem->used_chunks;
}

uint64_t cu_mem_free_chunk_count(cu_mem* mem) {
  if (!mem) return 0;
  vor::SemLock guard(mem->lock);
  return mem->free_chunks;
}

void cu_mem_info(cu_mem* mem, const char* path) {
  if (!mem) return;
  FILE* file = nullptr;
  if (path) {
    file = vor::open_stream(path, O_RDWR | O_CREAT | O_TRUNC, "wb", 0600);
    if (!file) {
      std::printf("cu_mem_info(): cann't create file '%s'!\r\n", path);
    }
  }
  {
    vor::SemLock guard(mem->lock);
    write_rows(mem, file ? file : stdout);
  }
  if (file)
    std::fclose(file);
  else
    std::fflush(stdout);
}

char* cu_mem_strdup(cu_mem* mem, const char* s) {
  return mem ? cu_text::concat(cu_mem__alloc_from, mem, {s}) : nullptr;
}
char* cu_mem_strndup(cu_mem* mem, const char* s, int32_t n) {
  return mem ? cu_text::strndup(cu_mem__alloc_from, mem, s, n) : nullptr;
}
char* cu_mem_strdup2(cu_mem* mem, const char* s1, const char* s2) {
  return mem ? cu_text::concat(cu_mem__alloc_from, mem, {s1, s2}) : nullptr;
}
char* cu_mem_strdup3(cu_mem* mem, const char* s1, const char* s2, const char* s3) {
  return mem ? cu_text::concat(cu_mem__alloc_from, mem, {s1, s2, s3}) : nullptr;
}
char* cu_mem_strdup4(cu_mem* mem, const char* s1, const char* s2, const char* s3, const char* s4) {
  return mem ? cu_text::concat(cu_mem__alloc_from, mem, {s1, s2, s3, s4}) : nullptr;
}
char* cu_mem_strdup5(cu_mem* mem, const char* s1, const char* s2, const char* s3, const char* s4, const char* s5) {
  return mem ? cu_text::concat(cu_mem__alloc_from, mem, {s1, s2, s3, s4, s5}) : nullptr;
}
void* cu_mem_memdup(cu_mem* mem, const void* data, int32_t n) {
  return mem ? cu_text::memdup(cu_mem__alloc_from, mem, data, n) : nullptr;
}
char* cu_mem_strtolower(cu_mem* mem, const char* s) {
  return mem ? cu_text::mapped_case(cu_mem__alloc_from, mem, s, false) : nullptr;
}
char* cu_mem_strtoupper(cu_mem* mem, const char* s) {
  return mem ? cu_text::mapped_case(cu_mem__alloc_from, mem, s, true) : nullptr;
}
