// cu_rtree: disjoint closed ranges [low, high] of signed 64-bit integers over cu_xtree; a
// lookup by one value finds the range that holds it.
#pragma once
#include "cu_xtree.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef cu_xtree cu_rtree;

/* The stored copy of a range; walk callbacks get a pointer to it as the key. */
typedef struct cu_rtree_range {
  int64_t low;
  int64_t high;
} cu_rtree_range;

VOR_API cu_rtree* cu_rtree_mallocxx(cu_xtree_alloc_fn allocate, cu_xtree_release_fn release, void* context);
VOR_API cu_rtree* cu_rtree_mallocx(cu_mem* arena);
VOR_API cu_rtree* cu_rtree_malloc(void);
/* fn(range pointer, value, arg) in ascending order; stops after fn answers exactly 1. */
VOR_API void cu_rtree_traverse(cu_rtree* tree, cu_xtree_walk_fn fn, void* arg);
VOR_API void cu_rtree_foreach(cu_rtree* tree, cu_tree_value_fn fn, void* arg);
VOR_API void cu_rtree_foreach_if(cu_rtree* tree, cu_tree_value_if_fn fn, void* arg);
VOR_API void cu_rtree_empty(cu_rtree* tree);
VOR_API void cu_rtree_emptyx(cu_rtree* tree, cu_tree_value_fn fn, void* arg);
VOR_API void cu_rtree_free(cu_rtree* tree);
VOR_API void cu_rtree_freex(cu_rtree* tree, cu_tree_value_fn fn, void* arg);
VOR_API int32_t cu_rtree_height(cu_rtree* tree);
VOR_API int32_t cu_rtree_nnodes(cu_rtree* tree);
/* Adds [low, high]; false when it shares a value with a stored range or low > high. */
VOR_API bool cu_rtree_insert(cu_rtree* tree, int64_t low, int64_t high, void* value);
/* Finds the stored range holding point; stores its value when value_out is given. */
VOR_API bool cu_rtree_find(cu_rtree* tree, int64_t point, void** value_out);
/* Finds a stored range that holds [low, high] or lies inside it. */
VOR_API bool cu_rtree_findx(cu_rtree* tree, int64_t low, int64_t high, void** value_out);
/* Removes every stored range holding point, calling destroy on each value first; always true. */
VOR_API bool cu_rtree_deletex(cu_rtree* tree, int64_t point, cu_tree_value_fn destroy, void* arg);
/* cu_rtree_deletex without destroy. */
VOR_API bool cu_rtree_delete(cu_rtree* tree, int64_t point);

VOR_EXTERN_C_END
