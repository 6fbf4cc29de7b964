#include "cu_xhash.h"

#include "cu_malloc.h"
#include "cu_mem_internal.h"
#include "cu_util.h"

#include <climits>
#include <cstring>

namespace {

constexpr char kUnit[] = "srclib\\cu_xhash";

template <typename T>
struct Kind;
template <>
struct Kind<cu_ihash> {
  using Node = cu_ihash_node;
  using Count = int32_t;
};
template <>
struct Kind<cu_i64hash> {
  using Node = cu_i64hash_node;
  using Count = int64_t;
};
template <>
struct Kind<cu_shash> {
  using Node = cu_shash_node;
  using Count = int32_t;
};
template <typename T>
using NodeOf = typename Kind<T>::Node;
template <typename T>
using CountOf = typename Kind<T>::Count;

template <typename T>
void* obtain(const T* t, uint64_t size) {
  return t->alloc ? t->alloc(t->ctx, size) : _cu_malloc(size, kUnit, __LINE__);
}

// Memory of a caller's allocator without a releaser stays with the caller.
template <typename T>
void give_back(const T* t, void* p) {
  if (!t->alloc)
    _cu_free(p, kUnit, __LINE__);
  else if (t->release)
    t->release(t->ctx, p);
}

template <typename T>
T* create(NodeOf<T>** buckets, CountOf<T> n, cu_hash_alloc_fn alloc, cu_hash_release_fn release, void* ctx) {
  if (!buckets || n < 1) return nullptr;
  void* p = alloc ? alloc(ctx, sizeof(T)) : _cu_malloc(sizeof(T), kUnit, __LINE__);
  if (!p) return nullptr;
  auto* t = static_cast<T*>(p);
  memset(t, 0, sizeof *t);
  t->buckets = buckets;
  t->nbuckets = n;
  t->alloc = alloc;
  t->release = release;
  t->ctx = ctx;
  for (CountOf<T> i = 0; i < n; ++i) buckets[i] = nullptr;
  return t;
}

template <typename T>
T* create_in(NodeOf<T>** buckets, CountOf<T> n, cu_mem* mem) {
  if (mem) return create<T>(buckets, n, cu_mem__alloc_from, cu_mem__free_to, mem);
  return create<T>(buckets, n, nullptr, nullptr, nullptr);
}

template <typename T>
T* create_owning(CountOf<T> n) {
  if (n <= 0) return nullptr;
  auto** buckets = static_cast<NodeOf<T>**>(
      _cu_calloc(static_cast<uint64_t>(n), sizeof(NodeOf<T>*), kUnit, __LINE__));
  if (!buckets) return nullptr;
  T* t = create<T>(buckets, n, nullptr, nullptr, nullptr);
  if (!t) {
    _cu_free(buckets, kUnit, __LINE__);
    return nullptr;
  }
  t->owns_buckets = 1;
  return t;
}

template <typename T>
void clear(T* t, cu_hash_destroy_fn destroy, void* arg) {
  for (CountOf<T> b = 0; b < t->nbuckets; ++b) {
    for (NodeOf<T>* node = t->buckets[b]; node;) {
      NodeOf<T>* next = node->next;
      if (destroy) destroy(node->value, arg);
      give_back(t, node);
      node = next;
    }
    t->buckets[b] = nullptr;
  }
  t->nnodes = 0;
  t->cursor_bucket = 0;
  t->cursor_pos = 0;
}

template <typename T>
void release_table(T* t, cu_hash_destroy_fn destroy, void* arg) {
  if (!t) return;
  clear(t, destroy, arg);
  if (t->owns_buckets) _cu_free(t->buckets, kUnit, __LINE__);
  give_back(t, t);
}

template <typename T>
void empty_table(T* t, cu_hash_destroy_fn destroy, void* arg) {
  if (t) clear(t, destroy, arg);
}

// Bucket of a hash value: its magnitude as an unsigned number (so the most negative value
// has one), modulo the bucket count.
uint32_t bucket_of(int32_t h, int32_t n) {
  uint32_t magnitude = h < 0 ? 0u - static_cast<uint32_t>(h) : static_cast<uint32_t>(h);
  return magnitude % static_cast<uint32_t>(n);
}

uint64_t bucket_of(int64_t h, int64_t n) {
  uint64_t magnitude = h < 0 ? 0u - static_cast<uint64_t>(h) : static_cast<uint64_t>(h);
  return magnitude % static_cast<uint64_t>(n);
}

// h = h x 31 + b over the key bytes, each read as a signed 8-bit value, in wrapping 32 bits.
int32_t string_hash(const char* key, int32_t len) {
  uint32_t h = 0;
  for (int32_t i = 0; i < len; ++i) {
    int32_t byte = static_cast<int8_t>(key[i]);
    h = h * 31u + static_cast<uint32_t>(byte);
  }
  return static_cast<int32_t>(h);
}

template <typename T>
void link_head(T* t, CountOf<T> b, NodeOf<T>* node) {
  node->prev = nullptr;
  node->next = t->buckets[b];
  if (node->next) node->next->prev = node;
  t->buckets[b] = node;
  ++t->nnodes;
}

template <typename T>
void unlink(T* t, CountOf<T> b, NodeOf<T>* node) {
  if (node->prev)
    node->prev->next = node->next;
  else
    t->buckets[b] = node->next;
  if (node->next) node->next->prev = node->prev;
  give_back(t, node);
  --t->nnodes;
}

template <typename T, typename Match>
NodeOf<T>* first_in(T* t, CountOf<T> b, Match match) {
  NodeOf<T>* node = t->buckets[b];
  while (node && !match(node)) node = node->next;
  return node;
}

template <typename T>
void delete_by_value(T* t, CountOf<T> b, void* value) {
  NodeOf<T>* node = first_in(t, b, [value](auto* n) { return n->value == value; });
  if (node) unlink(t, b, node);
}

template <typename T>
uint8_t find_by_predicate(T* t, CountOf<T> b, cu_hash_value_fn pred, void* arg, void** value) {
  NodeOf<T>* node = pred ? first_in(t, b, [pred, arg](auto* n) { return pred(n->value, arg) == 1; }) : t->buckets[b];
  if (!node) return 0;
  if (value) *value = node->value;
  return 1;
}

// Every walk reads the successor before its callback, which may therefore remove its own node.
template <typename T, typename Visit>
void walk_bucket(T* t, CountOf<T> b, Visit visit) {
  for (NodeOf<T>* node = t->buckets[b]; node;) {
    NodeOf<T>* next = node->next;
    if (visit(node)) return;
    node = next;
  }
}

// Walks the buckets from `start` round to start - 1; stops once visit answers true.
template <typename T, typename Visit>
void walk_all(T* t, CountOf<T> start, Visit visit) {
  bool stopped = false;
  for (CountOf<T> i = 0; i < t->nbuckets && !stopped; ++i) {
    CountOf<T> b = start + i < t->nbuckets ? start + i : start + i - t->nbuckets;
    walk_bucket(t, b, [&](NodeOf<T>* node) { return stopped = visit(node); });
  }
}

template <typename T>
void foreach_value(T* t, cu_hash_value_fn fn, void* arg, bool stop_at_one) {
  if (!t || !fn || t->nnodes == 0) return;
  walk_all(t, 0, [&](NodeOf<T>* node) { return fn(node->value, arg) == 1 && stop_at_one; });
}

template <typename T>
void foreach_in_bucket(T* t, CountOf<T> b, cu_hash_value_fn fn, void* arg) {
  if (!fn) return;
  walk_bucket(t, b, [&](NodeOf<T>* node) {
    fn(node->value, arg);
    return false;
  });
}

template <typename T>
void rewind(T* t) {
  if (!t) return;
  t->cursor_bucket = 0;
  t->cursor_pos = 0;
}

// The cursor re-walks its bucket from the head on every step, so changes in that bucket
// between steps shift the positions.
template <typename T>
NodeOf<T>* cursor_next(T* t) {
  while (t->cursor_bucket >= 0 && t->cursor_bucket < t->nbuckets) {
    NodeOf<T>* node = t->buckets[t->cursor_bucket];
    for (CountOf<T> k = 0; node && k < t->cursor_pos; ++k) node = node->next;
    if (node) {
      ++t->cursor_pos;
      return node;
    }
    t->cursor_pos = 0;
    ++t->cursor_bucket;
  }
  return nullptr;
}

// Integer-keyed operations shared by cu_ihash and cu_i64hash.
template <typename T, typename K>
CountOf<T> int_bucket(const T* t, K key) {
  return static_cast<CountOf<T>>(bucket_of(key, t->nbuckets));
}

template <typename T, typename K>
NodeOf<T>* int_lookup(T* t, K key) {
  return first_in(t, int_bucket(t, key), [key](auto* n) { return n->key == key; });
}

template <typename T, typename K>
uint8_t int_insert(T* t, K key, void* value) {
  if (!t) return 0;
  auto* node = static_cast<NodeOf<T>*>(obtain(t, sizeof(NodeOf<T>)));
  if (!node) return 0;
  memset(node, 0, sizeof *node);
  node->key = key;
  node->value = value;
  link_head(t, int_bucket(t, key), node);
  return 1;
}

template <typename T, typename K>
void int_update(T* t, K key, void* value) {
  if (!t) return;
  if (NodeOf<T>* node = int_lookup(t, key)) node->value = value;
}

template <typename T, typename K>
uint8_t int_find(T* t, K key, void** value) {
  if (!t) return 0;
  NodeOf<T>* node = int_lookup(t, key);
  if (!node) return 0;
  if (value) *value = node->value;
  return 1;
}

template <typename T, typename K>
void int_delete(T* t, K key) {
  if (!t) return;
  if (NodeOf<T>* node = int_lookup(t, key)) unlink(t, int_bucket(t, key), node);
}

template <typename T, typename K>
void int_delete3x(T* t, K key, cu_hash_destroy_fn destroy, void* arg) {
  if (!t) return;
  if (destroy) {
    NodeOf<T>* node = int_lookup(t, key);
    if (!node) return;
    destroy(node->value, arg);
  }
  int_delete(t, key);
}

template <typename T, typename K>
void int_traverse(T* t, uint8_t (*fn)(K, void*, void*), void* arg) {
  if (!t || !fn || t->nnodes == 0) return;
  walk_all(t, 0, [&](NodeOf<T>* node) { return fn(node->key, node->value, arg) == 1; });
}

template <typename T, typename K>
uint8_t int_cursor(T* t, K* key, void** value) {
  if (!t) return 0;
  NodeOf<T>* node = cursor_next(t);
  if (!node) return 0;
  if (key) *key = node->key;
  if (value) *value = node->value;
  return 1;
}

// String-keyed helpers.
int32_t text_length(const char* text) {
  size_t n = strlen(text);
  return n > INT32_MAX ? -1 : static_cast<int32_t>(n);
}

int32_t str_bucket(const cu_shash* t, const char* key, int32_t len) {
  return static_cast<int32_t>(bucket_of(string_hash(key, len), t->nbuckets));
}

cu_shash_node* str_lookup(cu_shash* t, const char* key, int32_t len) {
  return first_in(t, str_bucket(t, key, len), [key, len](cu_shash_node* n) {
    return n->len == len && (n->key == key || memcmp(n->key, key, static_cast<size_t>(len)) == 0);
  });
}

bool valid_key(const cu_shash* t, const char* key, int32_t len) { return t && key && len >= 0; }

uint8_t str_cursor(cu_shash* t, const char** key, int32_t* len, void** value) {
  if (!t) return 0;
  cu_shash_node* node = cursor_next(t);
  if (!node) return 0;
  if (key) *key = node->key;
  if (len) *len = node->len;
  if (value) *value = node->value;
  return 1;
}

void str_traverse(cu_shash* t, int32_t start, cu_shash_traverse_fn fn, void* arg) {
  if (!t || !fn || t->nnodes == 0) return;
  walk_all(t, start, [&](cu_shash_node* node) { return fn(node->key, node->value, arg) == 1; });
}

}  // namespace

// cu_ihash
cu_ihash* cu_ihash_mallocxx(cu_ihash_node** buckets, int32_t n, cu_hash_alloc_fn alloc, cu_hash_release_fn release,
                            void* ctx) {
  return create<cu_ihash>(buckets, n, alloc, release, ctx);
}
cu_ihash* cu_ihash_mallocx(cu_ihash_node** buckets, int32_t n, cu_mem* mem) {
  return create_in<cu_ihash>(buckets, n, mem);
}
cu_ihash* cu_ihash_malloc(int32_t n) { return create_owning<cu_ihash>(n); }
void cu_ihash_freex(cu_ihash* t, cu_hash_destroy_fn destroy, void* arg) { release_table(t, destroy, arg); }
void cu_ihash_free(cu_ihash* t) { release_table(t, nullptr, nullptr); }
void cu_ihash_emptyx(cu_ihash* t, cu_hash_destroy_fn destroy, void* arg) { empty_table(t, destroy, arg); }
void cu_ihash_empty(cu_ihash* t) { empty_table(t, nullptr, nullptr); }
uint8_t cu_ihash_insert(cu_ihash* t, int32_t key, void* value) { return int_insert(t, key, value); }
void cu_ihash_update(cu_ihash* t, int32_t key, void* value) { int_update(t, key, value); }
uint8_t cu_ihash_find(cu_ihash* t, int32_t key, void** value) { return int_find(t, key, value); }
void cu_ihash_delete(cu_ihash* t, int32_t key) { int_delete(t, key); }
void cu_ihash_delete3x(cu_ihash* t, int32_t key, cu_hash_destroy_fn destroy, void* arg) {
  int_delete3x(t, key, destroy, arg);
}
void cu_ihash_deletex(cu_ihash* t, int32_t key, void* value) {
  if (t) delete_by_value(t, int_bucket(t, key), value);
}
uint8_t cu_ihash_findx(cu_ihash* t, int32_t key, cu_hash_value_fn pred, void* arg, void** value) {
  return t ? find_by_predicate(t, int_bucket(t, key), pred, arg, value) : 0;
}
void cu_ihash_foreachx(cu_ihash* t, int32_t key, cu_hash_value_fn fn, void* arg) {
  if (t) foreach_in_bucket(t, int_bucket(t, key), fn, arg);
}
void cu_ihash_foreach(cu_ihash* t, cu_hash_value_fn fn, void* arg) { foreach_value(t, fn, arg, false); }
void cu_ihash_foreach_if(cu_ihash* t, cu_hash_value_fn fn, void* arg) { foreach_value(t, fn, arg, true); }
void cu_ihash_traverse(cu_ihash* t, cu_ihash_traverse_fn fn, void* arg) { int_traverse(t, fn, arg); }
void cu_ihash_rewind(cu_ihash* t) { rewind(t); }
uint8_t cu_ihash_GetFirst(cu_ihash* t, int32_t* key, void** value) {
  rewind(t);
  return int_cursor(t, key, value);
}
uint8_t cu_ihash_GetNext(cu_ihash* t, int32_t* key, void** value) { return int_cursor(t, key, value); }
int32_t cu_ihash_nnodes(cu_ihash* t) { return t ? t->nnodes : 0; }

// cu_i64hash
cu_i64hash* cu_i64hash_mallocxx(cu_i64hash_node** buckets, int64_t n, cu_hash_alloc_fn alloc,
                                cu_hash_release_fn release, void* ctx) {
  return create<cu_i64hash>(buckets, n, alloc, release, ctx);
}
cu_i64hash* cu_i64hash_mallocx(cu_i64hash_node** buckets, int64_t n, cu_mem* mem) {
  return create_in<cu_i64hash>(buckets, n, mem);
}
cu_i64hash* cu_i64hash_malloc(int64_t n) { return create_owning<cu_i64hash>(n); }
void cu_i64hash_freex(cu_i64hash* t, cu_hash_destroy_fn destroy, void* arg) { release_table(t, destroy, arg); }
void cu_i64hash_free(cu_i64hash* t) { release_table(t, nullptr, nullptr); }
void cu_i64hash_emptyx(cu_i64hash* t, cu_hash_destroy_fn destroy, void* arg) { empty_table(t, destroy, arg); }
void cu_i64hash_empty(cu_i64hash* t) { empty_table(t, nullptr, nullptr); }
uint8_t cu_i64hash_insert(cu_i64hash* t, int64_t key, void* value) { return int_insert(t, key, value); }
void cu_i64hash_update(cu_i64hash* t, int64_t key, void* value) { int_update(t, key, value); }
uint8_t cu_i64hash_find(cu_i64hash* t, int64_t key, void** value) { return int_find(t, key, value); }
void cu_i64hash_delete(cu_i64hash* t, int64_t key) { int_delete(t, key); }
void cu_i64hash_delete3x(cu_i64hash* t, int64_t key, cu_hash_destroy_fn destroy, void* arg) {
  int_delete3x(t, key, destroy, arg);
}
void cu_i64hash_deletex(cu_i64hash* t, int64_t key, void* value) {
  if (t) delete_by_value(t, int_bucket(t, key), value);
}
uint8_t cu_i64hash_findx(cu_i64hash* t, int64_t key, cu_hash_value_fn pred, void* arg, void** value) {
  return t ? find_by_predicate(t, int_bucket(t, key), pred, arg, value) : 0;
}
void cu_i64hash_foreachx(cu_i64hash* t, int64_t key, cu_hash_value_fn fn, void* arg) {
  if (t) foreach_in_bucket(t, int_bucket(t, key), fn, arg);
}
void cu_i64hash_foreach(cu_i64hash* t, cu_hash_value_fn fn, void* arg) { foreach_value(t, fn, arg, false); }
void cu_i64hash_foreach_if(cu_i64hash* t, cu_hash_value_fn fn, void* arg) { foreach_value(t, fn, arg, true); }
void cu_i64hash_traverse(cu_i64hash* t, cu_i64hash_traverse_fn fn, void* arg) { int_traverse(t, fn, arg); }
void cu_i64hash_rewind(cu_i64hash* t) { rewind(t); }
uint8_t cu_i64hash_GetFirst(cu_i64hash* t, int64_t* key, void** value) {
  rewind(t);
  return int_cursor(t, key, value);
}
uint8_t cu_i64hash_GetNext(cu_i64hash* t, int64_t* key, void** value) { return int_cursor(t, key, value); }
int32_t cu_i64hash_nnodes(cu_i64hash* t) { return t ? t->nnodes : 0; }

// cu_shash
cu_shash* cu_shash_mallocxx(cu_shash_node** buckets, int32_t n, cu_hash_alloc_fn alloc, cu_hash_release_fn release,
                            void* ctx) {
  return create<cu_shash>(buckets, n, alloc, release, ctx);
}
cu_shash* cu_shash_mallocx(cu_shash_node** buckets, int32_t n, cu_mem* mem) {
  return create_in<cu_shash>(buckets, n, mem);
}
cu_shash* cu_shash_malloc(int32_t n) { return create_owning<cu_shash>(n); }
void cu_shash_freex(cu_shash* t, cu_hash_destroy_fn destroy, void* arg) { release_table(t, destroy, arg); }
void cu_shash_free(cu_shash* t) { release_table(t, nullptr, nullptr); }
void cu_shash_emptyx(cu_shash* t, cu_hash_destroy_fn destroy, void* arg) { empty_table(t, destroy, arg); }
void cu_shash_empty(cu_shash* t) { empty_table(t, nullptr, nullptr); }

// The node stores and hashes exactly len bytes, so exactly len bytes are copied (then a NUL).
uint8_t cu_shash_insertx(cu_shash* t, const char* key, int32_t len, void* value) {
  if (!valid_key(t, key, len)) return 0;
  uint64_t size = sizeof(cu_shash_node) + static_cast<uint64_t>(len) + 1;
  auto* node = static_cast<cu_shash_node*>(obtain(t, size));
  if (!node) return 0;
  memset(node, 0, sizeof *node);
  node->key = reinterpret_cast<char*>(node + 1);
  memcpy(node->key, key, static_cast<size_t>(len));
  node->key[len] = '\0';
  node->len = len;
  node->value = value;
  link_head(t, str_bucket(t, key, len), node);
  return 1;
}

uint8_t cu_shash_insert(cu_shash* t, const char* text, void* value) {
  return text ? cu_shash_insertx(t, text, text_length(text), value) : 0;
}

void cu_shash_updatex(cu_shash* t, const char* key, int32_t len, void* value) {
  if (!valid_key(t, key, len)) return;
  if (cu_shash_node* node = str_lookup(t, key, len)) node->value = value;
}

void cu_shash_update(cu_shash* t, const char* text, void* value) {
  if (text) cu_shash_updatex(t, text, text_length(text), value);
}

uint8_t cu_shash_findx(cu_shash* t, const char* key, int32_t len, void** value) {
  if (!valid_key(t, key, len) || len < 1) return 0;
  cu_shash_node* node = str_lookup(t, key, len);
  if (!node) return 0;
  if (value) *value = node->value;
  return 1;
}

uint8_t cu_shash_find(cu_shash* t, const char* text, void** value) {
  return text ? cu_shash_findx(t, text, text_length(text), value) : 0;
}

void cu_shash_deletex(cu_shash* t, const char* key, int32_t len) {
  if (!valid_key(t, key, len)) return;
  if (cu_shash_node* node = str_lookup(t, key, len)) unlink(t, str_bucket(t, key, len), node);
}

void cu_shash_delete(cu_shash* t, const char* text) {
  if (text) cu_shash_deletex(t, text, text_length(text));
}

void cu_shash_delete3x(cu_shash* t, const char* text, cu_hash_destroy_fn destroy, void* arg) {
  if (!t || !text) return;
  if (destroy) {
    void* value = nullptr;
    if (!cu_shash_find(t, text, &value)) return;
    destroy(value, arg);
  }
  cu_shash_delete(t, text);
}

void cu_shash_deletexx(cu_shash* t, const char* key, int32_t len, void* value) {
  if (valid_key(t, key, len)) delete_by_value(t, str_bucket(t, key, len), value);
}

uint8_t cu_shash_findxx(cu_shash* t, const char* key, int32_t len, cu_hash_value_fn pred, void* arg, void** value) {
  return valid_key(t, key, len) ? find_by_predicate(t, str_bucket(t, key, len), pred, arg, value) : 0;
}

void cu_shash_foreach_line(cu_shash* t, const char* key, int32_t len, cu_hash_value_fn fn, void* arg) {
  if (valid_key(t, key, len)) foreach_in_bucket(t, str_bucket(t, key, len), fn, arg);
}

void cu_shash_foreach(cu_shash* t, cu_hash_value_fn fn, void* arg) { foreach_value(t, fn, arg, false); }
void cu_shash_foreach_if(cu_shash* t, cu_hash_value_fn fn, void* arg) { foreach_value(t, fn, arg, true); }
void cu_shash_traverse(cu_shash* t, cu_shash_traverse_fn fn, void* arg) { str_traverse(t, 0, fn, arg); }

void cu_shash_RandomTraverse(cu_shash* t, cu_shash_traverse_fn fn, void* arg) {
  if (!t || !fn || t->nnodes == 0) return;
  // The start comes from the process-wide generator, its value already 0 .. 2^31 - 1.
  str_traverse(t, cu_RandomValue() % t->nbuckets, fn, arg);
}

void cu_shash_rewind(cu_shash* t) { rewind(t); }
uint8_t cu_shash_GetFirstx(cu_shash* t, const char** key, int32_t* len, void** value) {
  rewind(t);
  return str_cursor(t, key, len, value);
}
uint8_t cu_shash_GetNextx(cu_shash* t, const char** key, int32_t* len, void** value) {
  return str_cursor(t, key, len, value);
}
uint8_t cu_shash_GetFirst(cu_shash* t, const char** key, void** value) {
  rewind(t);
  return str_cursor(t, key, nullptr, value);
}
uint8_t cu_shash_GetNext(cu_shash* t, const char** key, void** value) { return str_cursor(t, key, nullptr, value); }
int32_t cu_shash_nnodes(cu_shash* t) { return t ? t->nnodes : 0; }
