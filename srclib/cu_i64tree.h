// cu_i64tree: cu_xtree keyed by signed 64-bit integers held in the node's key field.
#pragma once
#include "cu_xtree.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef cu_xtree cu_i64tree;

VOR_API cu_i64tree* cu_i64tree_mallocxx(cu_xtree_alloc_fn allocate, cu_xtree_release_fn release, void* context);
VOR_API cu_i64tree* cu_i64tree_mallocx(cu_mem* arena);
VOR_API cu_i64tree* cu_i64tree_malloc(void);
/* fn(key, value, arg) in ascending order; stops after fn answers exactly 1. */
VOR_API void cu_i64tree_traverse(cu_i64tree* tree, cu_xtree_walk_fn fn, void* arg);
VOR_API void cu_i64tree_foreach(cu_i64tree* tree, cu_tree_value_fn fn, void* arg);
VOR_API void cu_i64tree_foreach_if(cu_i64tree* tree, cu_tree_value_if_fn fn, void* arg);
VOR_API void cu_i64tree_empty(cu_i64tree* tree);
VOR_API void cu_i64tree_emptyx(cu_i64tree* tree, cu_tree_value_fn fn, void* arg);
VOR_API void cu_i64tree_free(cu_i64tree* tree);
VOR_API void cu_i64tree_freex(cu_i64tree* tree, cu_tree_value_fn fn, void* arg);
VOR_API int32_t cu_i64tree_height(cu_i64tree* tree);
VOR_API int32_t cu_i64tree_nnodes(cu_i64tree* tree);
/* Adds key/value; an existing key gets the new value. */
VOR_API bool cu_i64tree_insert(cu_i64tree* tree, int64_t key, void* value);
/* Replaces the value of an existing key; false when absent. */
VOR_API bool cu_i64tree_update(cu_i64tree* tree, int64_t key, void* value);
/* Finds key; stores its value when value_out is given. */
VOR_API bool cu_i64tree_find(cu_i64tree* tree, int64_t key, void** value_out);
/* Removes key, calling destroy on its value first when given. */
VOR_API bool cu_i64tree_deletex(cu_i64tree* tree, int64_t key, cu_tree_value_fn destroy, void* arg);
/* Removes key; true when it was present. */
VOR_API bool cu_i64tree_delete(cu_i64tree* tree, int64_t key);
/* Answers its argument unchanged. */
VOR_API int64_t cu_i64tree_realkey(int64_t key);

VOR_EXTERN_C_END
