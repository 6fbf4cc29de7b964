#include "cu_xjitter.h"

#include <cstring>

#include "cu_malloc.h"

namespace {

constexpr char kUnit[] = "srclib\\cu_xjitter";

static_assert(sizeof(cu_xjitter) == 7 * 8, "owners embed the record");
static_assert(sizeof(cu_xjitter_block) == 7 * 8, "data follows the header");

uint64_t min64(uint64_t a, uint64_t b) { return a < b ? a : b; }

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// ---- One block: a ring of capacity bytes ----

cu_xjitter_block* new_block(cu_xmem* pool, uint64_t capacity) {
  if (capacity > UINT64_MAX - sizeof(cu_xjitter_block)) return nullptr;
  const uint64_t size = sizeof(cu_xjitter_block) + capacity;
  void* memory = pool ? cu_xmem_malloc(pool, size) : _cu_malloc(size, kUnit, __LINE__);
  if (!memory) return nullptr;
  auto* b = static_cast<cu_xjitter_block*>(memory);
  *b = cu_xjitter_block{};
  b->data = reinterpret_cast<uint8_t*>(b + 1);
  b->capacity = capacity;
  return b;
}

void free_block(cu_xjitter_block* b, cu_xmem* pool) {
  if (!b) return;
  if (pool)
    cu_xmem_free(pool, b);
  else
    _cu_free(b, kUnit, __LINE__);
}

uint64_t room(const cu_xjitter_block* b) { return b->capacity - b->used; }

// Caller checks that n fits.
void ring_write(cu_xjitter_block* b, const uint8_t* data, uint64_t n) {
  const uint64_t first = min64(n, b->capacity - b->write_pos);
  memcpy(b->data + b->write_pos, data, first);
  memcpy(b->data, data + first, n - first);
  b->write_pos = first == n ? b->write_pos + n : n - first;
  b->used += n;
}

// Copies n held bytes that start offset bytes after the read position; caller checks the range.
void ring_copy(const cu_xjitter_block* b, uint8_t* out, uint64_t offset, uint64_t n) {
  uint64_t start = b->read_pos + offset;
  if (start >= b->capacity) start -= b->capacity;
  const uint64_t first = min64(n, b->capacity - start);
  memcpy(out, b->data + start, first);
  memcpy(out + first, b->data, n - first);
}

uint64_t block_take(cu_xjitter_block* b, uint8_t* out, uint64_t n) {
  n = min64(n, b->used);
  if (out) ring_copy(b, out, 0, n);
  b->read_pos += n;
  if (b->read_pos >= b->capacity && b->capacity) b->read_pos -= b->capacity;
  b->used -= n;
  return n;
}

// The held bytes from offset `from` to `to`, clamped to what the block holds.
uint64_t block_peek_range(const cu_xjitter_block* b, uint8_t* out, uint64_t from, uint64_t to) {
  to = min64(to, b->used);
  if (from >= to) return 0;
  ring_copy(b, out, from, to - from);
  return to - from;
}

// ---- The queue ----

uint64_t limit_of(const cu_xjitter* q) { return saturating_mul(q->block_size, q->max_blocks); }

uint64_t available(const cu_xjitter* q) {
  const uint64_t limit = limit_of(q);
  return limit > q->stored ? limit - q->stored : 0;
}

bool add_block(cu_xjitter* q, cu_xjitter_block*& last) {
  if (q->block_count >= q->max_blocks) return false;
  cu_xjitter_block* b = new_block(q->pool, q->block_size);
  if (!b) return false;
  b->prev = last;
  if (last)
    last->next = b;
  else
    q->head = b;
  q->current = last = b;
  ++q->block_count;
  return true;
}

uint64_t append(cu_xjitter* q, const uint8_t* data, uint64_t n) {
  n = min64(n, available(q));
  cu_xjitter_block* last = q->current;
  uint64_t done = 0;
  while (done < n) {
    if ((!last || room(last) == 0) && !add_block(q, last)) break;
    const uint64_t k = min64(room(last), n - done);
    ring_write(last, data + done, k);
    q->stored += k;
    done += k;
  }
  return done;
}

void unlink_head(cu_xjitter* q) {
  cu_xjitter_block* b = q->head;
  q->head = b->next;
  if (q->head) q->head->prev = nullptr;
  if (q->current == b) q->current = q->head;
  --q->block_count;
  free_block(b, q->pool);
}

uint64_t take(cu_xjitter* q, uint8_t* out, uint64_t n) {
  n = min64(n, q->stored);
  uint64_t done = 0;
  while (done < n && q->head) {
    cu_xjitter_block* b = q->head;
    done += block_take(b, out ? out + done : nullptr, n - done);
    if (b->used == 0) unlink_head(q);
  }
  q->stored -= done;
  return done;
}

uint64_t peek_at(const cu_xjitter* q, uint8_t* out, uint64_t offset, uint64_t n) {
  n = min64(n, q->stored - offset);
  const cu_xjitter_block* b = q->head;
  while (b && b->used <= offset) {
    offset -= b->used;
    b = b->next;
  }
  uint64_t done = 0;
  for (; b && done < n; b = b->next, offset = 0)
    done += block_peek_range(b, out + done, offset, offset + min64(n - done, b->used - offset));
  return done;
}

void empty(cu_xjitter* q) {
  while (q->head) unlink_head(q);
  q->current = nullptr;
  q->block_count = 0;
  q->stored = 0;
}

}  // namespace

void cu_xjitter_init(cu_xjitter* q, cu_xmem* pool, uint64_t block_size, uint64_t max_blocks) {
  if (!q) return;
  *q = cu_xjitter{nullptr, nullptr, block_size, 0, max_blocks, 0, pool};
}

uint64_t cu_xjitter_SetData(cu_xjitter* q, const void* data, uint64_t n) {
  if (!q || !data || n == 0) return 0;
  return append(q, static_cast<const uint8_t*>(data), n);
}

uint64_t cu_xjitter_GetData(cu_xjitter* q, void* buf, uint64_t n) {
  if (!q || n == 0) return 0;
  return take(q, static_cast<uint8_t*>(buf), n);
}

uint64_t cu_xjitter_PeekData(cu_xjitter* q, void* buf, uint64_t n) {
  if (!q || !buf || n == 0 || q->stored == 0) return 0;
  return peek_at(q, static_cast<uint8_t*>(buf), 0, n);
}

uint64_t cu_xjitter_PeekDatax(cu_xjitter* q, void* buf, uint64_t offset, uint64_t n) {
  if (!q || !buf || n == 0 || offset >= q->stored) return 0;
  return peek_at(q, static_cast<uint8_t*>(buf), offset, n);
}

uint64_t cu_xjitter_GetLen(cu_xjitter* q) { return q ? q->stored : 0; }

uint64_t cu_xjitter_GetAvailableLen(cu_xjitter* q) { return q ? available(q) : 0; }

void cu_xjitter_empty(cu_xjitter* q) {
  if (q) empty(q);
}

void cu_xjitter_destroy(cu_xjitter* q) { cu_xjitter_empty(q); }

cu_xjitter_block* cu_xjitter_block_new(cu_xmem* pool, uint64_t capacity) { return new_block(pool, capacity); }

void cu_xjitter_block_free(cu_xjitter_block* b, cu_xmem* pool) { free_block(b, pool); }

void cu_xjitter_block_reset(cu_xjitter_block* b) {
  if (!b) return;
  b->used = b->write_pos = b->read_pos = 0;
}

bool cu_xjitter_block_SetData(cu_xjitter_block* b, const void* data, uint64_t n) {
  if (!b) return false;
  if (n == 0) return true;
  if (!data || n > room(b)) return false;
  ring_write(b, static_cast<const uint8_t*>(data), n);
  return true;
}

uint64_t cu_xjitter_block_GetData(cu_xjitter_block* b, void* buf, uint64_t n) {
  return b ? block_take(b, static_cast<uint8_t*>(buf), n) : 0;
}

uint64_t cu_xjitter_block_PeekData(cu_xjitter_block* b, void* buf, uint64_t n) {
  if (!b) return 0;
  n = min64(n, b->used);
  if (buf) ring_copy(b, static_cast<uint8_t*>(buf), 0, n);
  return n;
}

uint64_t cu_xjitter_block_PeekData_ext(cu_xjitter_block* b, void* buf, uint64_t from, uint64_t to) {
  if (!b || !buf) return 0;
  return block_peek_range(b, static_cast<uint8_t*>(buf), from, to);
}

uint64_t cu_xjitter_block_GetLen(cu_xjitter_block* b) { return b ? b->used : 0; }

uint64_t cu_xjitter_block_GetAvailableLen(cu_xjitter_block* b) { return b ? room(b) : 0; }
