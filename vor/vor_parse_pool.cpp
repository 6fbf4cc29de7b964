#include "vor_parse_pool.h"

#include "cu_jitter.h"
#include "cu_malloc.h"

#include <algorithm>

namespace {

constexpr char kUnit[] = "vor\\vor_parse_pool";
constexpr int32_t kRingCapacity = 20497;  // two maximal packets
constexpr int32_t kQueueBlock = 10257;
constexpr int32_t kQueueBlocks = 100000;
constexpr int32_t kMaxPacket = 10240;     // a packet with its NUL
constexpr int32_t kRefillStep = 1024;

}  // namespace

struct vor_parse_pool {
  _cu_jitter_block* ring;
  cu_jitter* queue;
};

namespace {

void free_pool(vor_parse_pool* pool) {
  cu_jitter_free(pool->queue);
  _cu_jitter_block_free(pool->ring);
  _cu_free(pool, kUnit, __LINE__);
}

vor_parse_pool* make_pool() {
  auto* pool = static_cast<vor_parse_pool*>(_cu_calloc(1, sizeof(vor_parse_pool), kUnit, __LINE__));
  if (!pool) return nullptr;
  pool->ring = _cu_jitter_block_new(kRingCapacity);
  pool->queue = cu_jitter_mallocx(kQueueBlock, kQueueBlocks, nullptr);
  if (!pool->ring || !pool->queue) {
    free_pool(pool);
    return nullptr;
  }
  return pool;
}

// While the queue holds bytes, new input goes behind them so the stream keeps its order.
bool input(vor_parse_pool* pool, const void* bytes, int32_t len) {
  if (cu_jitter_GetLen(pool->queue) == 0 && _cu_jitter_block_GetAvailableLen(pool->ring) >= len) {
    return _cu_jitter_block_SetData(pool->ring, bytes, len);
  }
  if (cu_jitter_GetAvailableLen(pool->queue) < len) return false;
  // A short count here means memory ran out mid-way; the caller must drop the connection.
  return cu_jitter_SetData(pool->queue, bytes, len) == len;
}

void refill_ring(vor_parse_pool* pool) {
  uint8_t step[kRefillStep];
  for (;;) {
    const int32_t n = std::min({cu_jitter_GetLen(pool->queue), _cu_jitter_block_GetAvailableLen(pool->ring), kRefillStep});
    if (n <= 0) return;
    cu_jitter_GetData(pool->queue, step, n);
    _cu_jitter_block_SetData(pool->ring, step, n);
  }
}

void drop(vor_parse_pool* pool, int32_t n) { _cu_jitter_block_GetData(pool->ring, nullptr, n); }

// Empty packets, packets over the limit or the caller's buffer, and 10,240 bytes without a
// NUL are dropped; the search then goes on with the bytes that follow.
bool get(vor_parse_pool* pool, uint8_t* buf, int32_t size, int32_t* len) {
  for (;;) {
    *len = 0;
    refill_ring(pool);
    int32_t total = 0, nuls = 0;
    if (!_cu_jitter_block_CalPacketLen(pool->ring, &total, &nuls)) {
      const int32_t held = _cu_jitter_block_GetLen(pool->ring);
      if (held < kMaxPacket) return false;
      drop(pool, held);
      continue;
    }
    const int32_t n = total - nuls;
    if (n == 0 || n + 1 > kMaxPacket || n + 1 > size) {
      drop(pool, total);
      continue;
    }
    _cu_jitter_block_GetData(pool->ring, buf, n);
    buf[n] = 0;
    drop(pool, nuls);
    *len = n + 1;
    return true;
  }
}

}  // namespace

vor_parse_pool* vor_parse_pool_malloc(void) { return make_pool(); }

void vor_parse_pool_free(vor_parse_pool* pool) {
  if (pool) free_pool(pool);
}

bool vor_parse_pool_input(vor_parse_pool* pool, const void* bytes, int32_t len) {
  if (!pool || len < 0 || (!bytes && len > 0)) return false;
  return len == 0 || input(pool, bytes, len);
}

bool vor_parse_pool_get(vor_parse_pool* pool, void* buf, int32_t size, int32_t* len) {
  if (len) *len = 0;
  if (!pool || !buf || !len) return false;
  return get(pool, static_cast<uint8_t*>(buf), size, len);
}

int32_t vor_parse_pool_GetLen(vor_parse_pool* pool) {
  if (!pool) return 0;
  return _cu_jitter_block_GetLen(pool->ring) + cu_jitter_GetLen(pool->queue);
}

int32_t vor_parse_pool_GetAvailableLen(vor_parse_pool* pool) {
  if (!pool) return 0;
  return _cu_jitter_block_GetAvailableLen(pool->ring) + cu_jitter_GetAvailableLen(pool->queue);
}
