#include "cu_rtree.h"

#include "cu_xtree_internal.h"

namespace {
// Two ranges compare equal when one lies inside the other; otherwise by their low bounds.
int64_t compare_range(void* node_key, void* key, void*) {
  const auto* n = static_cast<const cu_rtree_range*>(node_key);
  const auto* k = static_cast<const cu_rtree_range*>(key);
  const bool k_in_n = n->low <= k->low && k->high <= n->high;
  const bool n_in_k = k->low <= n->low && n->high <= k->high;
  if (k_in_n || n_in_k) return 0;
  return k->low < n->low ? -1 : 1;
}

bool holds(cu_rtree* tree, int64_t point) {
  cu_rtree_range probe{point, point};
  return vor::xtree::lookup(tree, &probe) != nullptr;
}
}  // namespace

CU_TREE_FAMILY_SHARED(cu_rtree)

cu_rtree* cu_rtree_mallocxx(cu_xtree_alloc_fn allocate, cu_xtree_release_fn release, void* context) {
  return vor::xtree::new_typed(allocate, release, context, compare_range);
}

cu_rtree* cu_rtree_mallocx(cu_mem* arena) { return vor::xtree::new_in_arena(arena, compare_range); }

cu_rtree* cu_rtree_malloc(void) { return cu_rtree_mallocxx(nullptr, nullptr, nullptr); }

bool cu_rtree_insert(cu_rtree* tree, int64_t low, int64_t high, void* value) {
  if (!tree || low > high) return false;
  cu_rtree_range range{low, high};
  // A stored range inside the new one, or one holding either end, would overlap it.
  if (vor::xtree::lookup(tree, &range) || holds(tree, low) || (low != high && holds(tree, high))) return false;
  const CuTreeKeyCopy copy{&range, sizeof(range)};
  return vor::xtree::insert(tree, &range, value, false, &copy);
}

bool cu_rtree_find(cu_rtree* tree, int64_t point, void** value_out) {
  return cu_rtree_findx(tree, point, point, value_out);
}

bool cu_rtree_findx(cu_rtree* tree, int64_t low, int64_t high, void** value_out) {
  cu_rtree_range probe{low, high};
  return cu_xtree_findx(tree, &probe, nullptr, value_out);
}

bool cu_rtree_deletex(cu_rtree* tree, int64_t point, cu_tree_value_fn destroy, void* arg) {
  if (!tree) return true;
  cu_rtree_range probe{point, point};
  while (cu_xtree_node* n = vor::xtree::lookup(tree, &probe)) {
    if (destroy) destroy(n->value, arg);
    cu_xtree_delete(tree, &probe);
  }
  return true;
}

bool cu_rtree_delete(cu_rtree* tree, int64_t point) { return cu_rtree_deletex(tree, point, nullptr, nullptr); }
