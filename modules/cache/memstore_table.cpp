// The chained string hash behind each of the three tables. Keys are compared by length and
// bytes (case matters); an empty key is never stored.
#include <atomic>
#include <cstring>

#include "memstore_internal.h"

namespace vor::memstore {

uint32_t memstore_table::bucket_of(const char* key, int32_t len, int32_t bucket_count) {
  // h x 31 + the byte taken as signed, wrapping; unsigned arithmetic gives the same bits
  // without signed overflow, and the magnitude of the signed value by unsigned negation.
  uint32_t h = 0;
  for (int32_t i = 0; i < len; ++i)
    h = h * 31 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(key[i])));
  const uint32_t magnitude = static_cast<int32_t>(h) < 0 ? 0u - h : h;
  return magnitude % static_cast<uint32_t>(bucket_count > 0 ? bucket_count : 1);
}

bool memstore_table::insert(const char* key, memcache_entry* entry) {
  const size_t len = key ? std::strlen(key) : 0;
  if (len == 0 || len > INT32_MAX - sizeof(Node) - 1 || bucket_count <= 0) return false;
  auto* node = static_cast<Node*>(cu_xmem_malloc(node_pool, sizeof(Node) + len + 1));
  if (!node) return false;
  node->key = reinterpret_cast<char*>(node + 1);
  std::memcpy(node->key, key, len + 1);
  node->key_len = static_cast<int32_t>(len);
  node->entry = entry;
  Node*& head = buckets[bucket_of(key, node->key_len, bucket_count)];
  node->prev = nullptr;
  node->next = head;
  if (head) head->prev = node;
  std::atomic_ref<Node*>(head).store(node, std::memory_order_relaxed);
  entry_count.fetch_add(1, std::memory_order_relaxed);
  return true;
}

Node* memstore_table::find(const char* key) const { return find_in(bucket_of_key(key), key); }

Node* memstore_table::find_in(int32_t bucket, const char* key) const {
  const size_t len = key ? std::strlen(key) : 0;
  if (len == 0 || len > INT32_MAX || bucket_count <= 0) return nullptr;
  for (Node* n = buckets[bucket]; n; n = n->next)
    if (static_cast<size_t>(n->key_len) == len && std::memcmp(n->key, key, len) == 0) return n;
  return nullptr;
}

int32_t memstore_table::bucket_of_key(const char* key) const {
  const size_t len = key ? std::strlen(key) : 0;
  if (len == 0 || len > INT32_MAX || bucket_count <= 0) return 0;
  return static_cast<int32_t>(bucket_of(key, static_cast<int32_t>(len), bucket_count));
}

void memstore_table::unlink(Node* node) {
  if (node->prev)
    node->prev->next = node->next;
  else
    std::atomic_ref<Node*>(buckets[bucket_of(node->key, node->key_len, bucket_count)])
        .store(node->next, std::memory_order_relaxed);
  if (node->next) node->next->prev = node->prev;
  entry_count.fetch_sub(1, std::memory_order_relaxed);
  cu_xmem_free(node_pool, node);
}

}  // namespace vor::memstore
