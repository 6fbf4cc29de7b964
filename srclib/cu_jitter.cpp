#include "cu_jitter.h"

#include "cu_malloc.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

constexpr char kUnit[] = "srclib\\cu_jitter";
constexpr int32_t kDefaultBlockSize = 16384;
constexpr int32_t kDefaultMaxBlocks = 100000;

using Block = _cu_jitter_block;

// Position `offset` bytes after p on the ring; p may sit at capacity after a write or read
// that ended exactly at the end of the buffer.
int32_t ring_pos(const Block* b, int32_t p, int32_t offset) {
  int64_t at = static_cast<int64_t>(p) + offset;
  while (at >= b->capacity) at -= b->capacity;
  return static_cast<int32_t>(at);
}

int32_t advance(const Block* b, int32_t p, int32_t k) {
  return p + k <= b->capacity ? p + k : p + k - b->capacity;
}

// Copies k held bytes that start `offset` bytes after the read position.
void copy_out(const Block* b, int32_t offset, uint8_t* dst, int32_t k) {
  int32_t at = ring_pos(b, b->rpos, offset);
  int32_t first = std::min(k, b->capacity - at);
  memcpy(dst, b->data + at, first);
  memcpy(dst + first, b->data, k - first);
}

// The caller has checked that k bytes fit.
void copy_in(Block* b, const uint8_t* src, int32_t k) {
  int32_t first = std::min(k, b->capacity - b->wpos);
  memcpy(b->data + b->wpos, src, first);
  memcpy(b->data, src + first, k - first);
  b->wpos = advance(b, b->wpos, k);
  b->used += k;
}

int32_t take(Block* b, uint8_t* dst, int32_t n) {
  int32_t k = std::min(n, b->used);
  if (k <= 0) return 0;
  if (dst) copy_out(b, 0, dst, k);
  b->rpos = advance(b, b->rpos, k);
  b->used -= k;
  return k;
}

uint8_t at_offset(const Block* b, int32_t offset) { return b->data[ring_pos(b, b->rpos, offset)]; }

Block* block_new(int32_t capacity) {
  if (capacity <= 0) return nullptr;
  auto* b = static_cast<Block*>(_cu_malloc(sizeof(Block), kUnit, __LINE__));
  if (!b) return nullptr;
  memset(b, 0, sizeof *b);
  b->data = static_cast<uint8_t*>(_cu_malloc(static_cast<uint64_t>(capacity), kUnit, __LINE__));
  if (!b->data) {
    _cu_free(b, kUnit, __LINE__);
    return nullptr;
  }
  b->capacity = capacity;
  return b;
}

void block_free(Block* b) {
  if (!b) return;
  _cu_free(b->data, kUnit, __LINE__);
  _cu_free(b, kUnit, __LINE__);
}

void block_free_cb(void* data, void*) { block_free(static_cast<Block*>(data)); }

Block* block_of(const cu_list* node) { return static_cast<Block*>(node->data); }

int32_t limit_of(const cu_jitter* q) {
  int64_t product = static_cast<int64_t>(q->block_size) * q->max_blocks;
  return static_cast<int32_t>(std::min<int64_t>(product, INT32_MAX));
}

// A new empty block linked after the current (last) one; NULL at the block limit or without memory.
Block* add_block(cu_jitter* q) {
  if (q->block_count >= q->max_blocks) return nullptr;
  Block* b = block_new(q->block_size);
  if (!b) return nullptr;
  cu_list* node = cu_list__node_new();
  if (!node) {
    block_free(b);
    return nullptr;
  }
  node->data = b;
  if (q->current) {
    q->current->next = node;
    node->prev = q->current;
  } else {
    q->head = node;
  }
  q->current = node;
  ++q->block_count;
  return b;
}

void drop_first_block(cu_jitter* q) {
  cu_list* node = q->head;
  q->head = node->next;
  if (q->head) q->head->prev = nullptr;
  if (q->current == node) q->current = q->head;
  node->next = nullptr;
  cu_list__free_all(node, block_free_cb, nullptr);
  --q->block_count;
}

int32_t append(cu_jitter* q, const uint8_t* src, int32_t n) {
  n = std::min(n, limit_of(q) - q->stored);
  int32_t done = 0;
  while (done < n) {
    Block* b = q->current ? block_of(q->current) : nullptr;
    if (!b || b->capacity - b->used <= 0) b = add_block(q);
    if (!b) break;
    int32_t k = std::min(b->capacity - b->used, n - done);
    copy_in(b, src + done, k);
    done += k;
    q->stored += k;
  }
  return done;
}

int32_t remove_front(cu_jitter* q, uint8_t* dst, int32_t n) {
  n = std::min(n, q->stored);
  int32_t removed = 0;
  while (removed < n && q->head) {
    Block* b = block_of(q->head);
    bool drains = b->used <= n - removed;
    removed += take(b, dst ? dst + removed : nullptr, n - removed);
    if (drains) drop_first_block(q);
  }
  q->stored -= removed;
  return removed;
}

int32_t peek_at(const cu_jitter* q, uint8_t* dst, int32_t offset, int32_t n) {
  n = std::min(n, q->stored - offset);
  int32_t copied = 0;
  for (cu_list* node = q->head; node && copied < n; node = node->next) {
    const Block* b = block_of(node);
    if (b->used <= offset) {
      offset -= b->used;
      continue;
    }
    int32_t k = std::min(b->used - offset, n - copied);
    copy_out(b, offset, dst + copied, k);
    copied += k;
    offset = 0;
  }
  return copied;
}

void empty(cu_jitter* q) {
  cu_list__free_all(q->head, block_free_cb, nullptr);
  q->head = q->current = nullptr;
  q->block_count = 0;
  q->stored = 0;
}

}  // namespace

cu_jitter* cu_jitter_mallocx(int32_t block_size, int32_t max_blocks, void* /*unused*/) {
  if (block_size <= 0 || max_blocks <= 0) return nullptr;
  auto* q = static_cast<cu_jitter*>(_cu_malloc(sizeof(cu_jitter), kUnit, __LINE__));
  if (!q) return nullptr;
  cu_jitter_init(q, block_size, max_blocks);
  return q;
}

cu_jitter* cu_jitter_malloc(void) { return cu_jitter_mallocx(kDefaultBlockSize, kDefaultMaxBlocks, nullptr); }

// Besides zero-filling, the sizes must be stored, or every append would answer 0.
bool cu_jitter_init(cu_jitter* q, int32_t block_size, int32_t max_blocks) {
  if (!q) return false;
  memset(q, 0, sizeof *q);
  if (block_size <= 0 || max_blocks <= 0) return false;
  q->block_size = block_size;
  q->max_blocks = max_blocks;
  return true;
}

int32_t cu_jitter_SetData(cu_jitter* q, const void* data, int32_t n) {
  if (!q || !data || n <= 0) return 0;
  return append(q, static_cast<const uint8_t*>(data), n);
}

int32_t cu_jitter_GetData(cu_jitter* q, void* buf, int32_t n) {
  if (!q || n <= 0) return 0;
  return remove_front(q, static_cast<uint8_t*>(buf), n);
}

int32_t cu_jitter_PeekData(cu_jitter* q, void* buf, int32_t n) {
  if (!q || !buf || n < 1 || q->stored <= 0) return 0;
  return peek_at(q, static_cast<uint8_t*>(buf), 0, n);
}

int32_t cu_jitter_PeekDatax(cu_jitter* q, void* buf, int32_t offset, int32_t n) {
  if (!q || !buf || offset < 0 || n <= 0 || offset >= q->stored) return 0;
  return peek_at(q, static_cast<uint8_t*>(buf), offset, n);
}

int32_t cu_jitter_GetLen(cu_jitter* q) { return q ? q->stored : 0; }

int32_t cu_jitter_GetAvailableLen(cu_jitter* q) { return q ? limit_of(q) - q->stored : 0; }

void cu_jitter_empty(cu_jitter* q) {
  if (q) empty(q);
}

void cu_jitter_destroy(cu_jitter* q) { cu_jitter_empty(q); }

void cu_jitter_free(cu_jitter* q) {
  if (!q) return;
  empty(q);
  _cu_free(q, kUnit, __LINE__);
}

_cu_jitter_block* _cu_jitter_block_new(int32_t capacity) { return block_new(capacity); }

void _cu_jitter_block_free(_cu_jitter_block* b) { block_free(b); }

void _cu_jitter_block_reset(_cu_jitter_block* b) {
  if (!b) return;
  b->used = b->wpos = b->rpos = 0;
}

bool _cu_jitter_block_SetData(_cu_jitter_block* b, const void* data, int32_t n) {
  if (n <= 0) return true;
  if (!b || !data || static_cast<int64_t>(b->used) + n > b->capacity) return false;
  copy_in(b, static_cast<const uint8_t*>(data), n);
  return true;
}

int32_t _cu_jitter_block_GetData(_cu_jitter_block* b, void* buf, int32_t n) {
  if (!b || n <= 0) return 0;
  return take(b, static_cast<uint8_t*>(buf), n);
}

int32_t _cu_jitter_block_PeekData(_cu_jitter_block* b, void* buf, int32_t n) {
  if (!b || n <= 0) return 0;
  int32_t k = std::min(n, b->used);
  if (buf && k > 0) copy_out(b, 0, static_cast<uint8_t*>(buf), k);
  return k;
}

// The count is cut to the bytes held after `from`: a range past them would copy stale ring bytes.
int32_t _cu_jitter_block_PeekData_ext(_cu_jitter_block* b, void* buf, int32_t from, int32_t to) {
  if (!b || !buf || to <= from || from < 0 || from >= b->used) return 0;
  int32_t k = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(to) - from, b->used - from));
  copy_out(b, from, static_cast<uint8_t*>(buf), k);
  return k;
}

bool _cu_jitter_block_CalPacketLen(_cu_jitter_block* b, int32_t* total, int32_t* nuls) {
  if (!b || b->used < 1) return false;
  int32_t first = 0;
  while (first < b->used && at_offset(b, first) != 0) ++first;
  if (first == b->used) return false;
  int32_t run = 0;
  while (first + run < b->used && at_offset(b, first + run) == 0) ++run;
  if (total) *total = first + run;
  if (nuls) *nuls = run;
  return true;
}

int32_t _cu_jitter_block_GetLen(_cu_jitter_block* b) { return b ? b->used : 0; }

int32_t _cu_jitter_block_GetAvailableLen(_cu_jitter_block* b) { return b ? b->capacity - b->used : 0; }
