#include "cu_i64tree.h"

#include "cu_xtree_internal.h"

namespace {
void* as_key(int64_t key) { return reinterpret_cast<void*>(static_cast<intptr_t>(key)); }

// Plain three-way order: a wrapping difference is not transitive (and signed overflow is
// undefined) for keys far apart.
int64_t compare_int64(void* node_key, void* key, void*) {
  const auto n = static_cast<int64_t>(reinterpret_cast<intptr_t>(node_key));
  const auto k = static_cast<int64_t>(reinterpret_cast<intptr_t>(key));
  return (k > n) - (k < n);
}
}  // namespace

CU_TREE_FAMILY_SHARED(cu_i64tree)

cu_i64tree* cu_i64tree_mallocxx(cu_xtree_alloc_fn allocate, cu_xtree_release_fn release, void* context) {
  return vor::xtree::new_typed(allocate, release, context, compare_int64);
}

cu_i64tree* cu_i64tree_mallocx(cu_mem* arena) { return vor::xtree::new_in_arena(arena, compare_int64); }

cu_i64tree* cu_i64tree_malloc(void) { return cu_i64tree_mallocxx(nullptr, nullptr, nullptr); }

bool cu_i64tree_insert(cu_i64tree* tree, int64_t key, void* value) {
  return vor::xtree::insert(tree, as_key(key), value, false, nullptr);
}

bool cu_i64tree_update(cu_i64tree* tree, int64_t key, void* value) {
  return vor::xtree::update(tree, as_key(key), value);
}

bool cu_i64tree_find(cu_i64tree* tree, int64_t key, void** value_out) {
  return cu_xtree_findx(tree, as_key(key), nullptr, value_out);
}

bool cu_i64tree_deletex(cu_i64tree* tree, int64_t key, cu_tree_value_fn destroy, void* arg) {
  return vor::xtree::delete_with(tree, as_key(key), destroy, arg);
}

bool cu_i64tree_delete(cu_i64tree* tree, int64_t key) { return cu_xtree_delete(tree, as_key(key)); }

int64_t cu_i64tree_realkey(int64_t key) { return key; }
