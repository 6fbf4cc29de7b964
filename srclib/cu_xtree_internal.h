// Internal to vorcore: the tree core's steps that the typed families (cu_rtree, cu_i64tree)
// build on. Not exported.
#pragma once
#include "vor_internal.h"
#include "cu_xtree.h"

#include <cstddef>

// Bytes copied into the node's own allocation right after its fields; the node's key then
// points at the copy.
struct CuTreeKeyCopy {
  const void* bytes;
  size_t size;
};

namespace vor::xtree {

// A new empty tree with the given memory source (process allocator when allocate is absent).
cu_xtree* new_typed(cu_xtree_alloc_fn allocate, cu_xtree_release_fn release, void* context,
                    cu_xtree_compare_fn compare);
// A tree whose nodes come from an arena (process allocator when arena is NULL).
cu_xtree* new_in_arena(cu_mem* arena, cu_xtree_compare_fn compare);
// Insert or replace; with copy, a new node carries copy->size key bytes after its fields.
bool insert(cu_xtree* tree, void* key, void* value, bool replace, const CuTreeKeyCopy* copy);
// The node holding key, or NULL.
cu_xtree_node* lookup(cu_xtree* tree, void* key);
// Sets the value of the node holding key; false when absent.
bool update(cu_xtree* tree, void* key, void* value);
// fn(value, arg) on every value in order; with stop_on_one, stops after fn answers exactly 1.
void foreach_value(cu_xtree* tree, cu_tree_value_fn fn, void* arg);
void foreach_value_if(cu_xtree* tree, cu_tree_value_if_fn fn, void* arg);
// Removes key after calling destroy on its value (when given); false when absent.
bool delete_with(cu_xtree* tree, void* key, cu_tree_value_fn destroy, void* arg);
// Prints "assert at '<unit>:<line>'!\r\n" to standard error and ends the process with -1.
[[noreturn]] void assert_failed(const char* unit, int line);

}  // namespace vor::xtree

// The operations every family shares under its own names.
#define CU_TREE_FAMILY_SHARED(fam)                                                                                     \
  void fam##_traverse(fam* tree, cu_xtree_walk_fn fn, void* arg) { cu_xtree_foreach(tree, fn, arg); }                  \
  void fam##_foreach(fam* tree, cu_tree_value_fn fn, void* arg) { vor::xtree::foreach_value(tree, fn, arg); }          \
  void fam##_foreach_if(fam* tree, cu_tree_value_if_fn fn, void* arg) { vor::xtree::foreach_value_if(tree, fn, arg); } \
  void fam##_empty(fam* tree) { cu_xtree_empty(tree); }                                                                \
  void fam##_emptyx(fam* tree, cu_tree_value_fn fn, void* arg) {                                                       \
    if (tree && fn) vor::xtree::foreach_value(tree, fn, arg);                                                          \
    cu_xtree_empty(tree);                                                                                              \
  }                                                                                                                    \
  void fam##_free(fam* tree) { cu_xtree_destroy(tree); }                                                               \
  void fam##_freex(fam* tree, cu_tree_value_fn fn, void* arg) {                                                        \
    if (tree && fn) vor::xtree::foreach_value(tree, fn, arg);                                                          \
    cu_xtree_destroy(tree);                                                                                            \
  }                                                                                                                    \
  int32_t fam##_height(fam* tree) { return cu_xtree_height(tree); }                                                    \
  int32_t fam##_nnodes(fam* tree) { return cu_xtree_nnodes(tree); }
