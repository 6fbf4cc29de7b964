// cu_xtree: height-balanced search trees whose empty child links are threads to the in-order
// neighbours, so walks and release need neither recursion nor a stack. The typed families
// cu_itree (32-bit keys) and cu_stree (text keys copied into the node) live here too;
// cu_rtree.h and cu_i64tree.h hold the range and 64-bit families. No tree takes a lock.
#pragma once
#include "cu_mem.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

#define M_TRAVERSE_IN_ORDER 0
#define M_TRAVERSE_PRE_ORDER 1
#define M_TRAVERSE_POST_ORDER 2
#define M_TRAVERSE_LEVEL_ORDER 3

/* Memory source of a tree: allocate(context, size) and release(context, block). To use a pool,
   pass small functions of exactly these shapes that call cu_xmem_malloc / cu_xmem_free
   (calling through a cast function pointer is undefined behaviour). */
typedef void* (*cu_xtree_alloc_fn)(void* context, uint64_t size);
typedef void (*cu_xtree_release_fn)(void* context, void* block);
/* Order of the searched key against the node's key: negative before, 0 equal, positive after. */
typedef int64_t (*cu_xtree_compare_fn)(void* node_key, void* key, void* data);
/* Called on keys or values that leave the tree. */
typedef void (*cu_xtree_destroy_fn)(void* item, void* data);
/* Walk callback on (key, value, data); the answer decides whether the walk stops. */
typedef uint8_t (*cu_xtree_walk_fn)(void* key, void* value, void* data);
/* Callbacks on values only (typed foreach, emptyx, freex, deletex). */
typedef void (*cu_tree_value_fn)(void* value, void* arg);
typedef uint8_t (*cu_tree_value_if_fn)(void* value, void* arg);

typedef struct cu_xtree_node {
  void* key;                      /* the key itself, or a pointer to key bytes after the node */
  void* value;
  struct cu_xtree_node* link[2];  /* left, right: a child, or a thread to the in-order neighbour */
  int8_t balance;                 /* right height minus left height */
  uint8_t is_child[2];            /* left, right: 1 when the link is a real child */
} cu_xtree_node;

typedef struct cu_xtree {
  cu_xtree_alloc_fn allocate;
  cu_xtree_release_fn release;
  void* context;
  cu_xtree_node* root;
  int32_t count;
  cu_xtree_compare_fn compare;
  void* compare_data;
  cu_xtree_destroy_fn key_destroy;
  void* key_destroy_data;
  cu_xtree_destroy_fn value_destroy;
  void* value_destroy_data;
} cu_xtree;

typedef cu_xtree cu_itree;
typedef cu_xtree cu_stree;

/* Core. */
/* A new empty tree; NULL when compare is absent or memory runs out. */
VOR_API cu_xtree* cu_xtree_new_full(cu_xtree_alloc_fn allocate, cu_xtree_release_fn release, void* context,
                                    cu_xtree_compare_fn compare, void* compare_data, cu_xtree_destroy_fn key_destroy,
                                    void* key_destroy_data, cu_xtree_destroy_fn value_destroy,
                                    void* value_destroy_data);
/* A new empty tree from the process allocator. */
VOR_API cu_xtree* cu_xtree_new(cu_xtree_compare_fn compare);
/* The same with compare data. */
VOR_API cu_xtree* cu_xtree_new_with_data(cu_xtree_compare_fn compare, void* compare_data);
/* Adds key/value; an existing key keeps its node and old key, its value is replaced. */
VOR_API bool cu_xtree_insert(cu_xtree* tree, void* key, void* value);
/* As insert, but an existing key is replaced as well. */
VOR_API bool cu_xtree_replace(cu_xtree* tree, void* key, void* value);
/* Removes key, running the destroy functions; true when it was present. */
VOR_API bool cu_xtree_delete(cu_xtree* tree, void* key);
/* Removes key without the destroy functions. */
VOR_API bool cu_xtree_steal(cu_xtree* tree, void* key);
/* The value of key, NULL when absent. */
VOR_API void* cu_xtree_find(cu_xtree* tree, void* key);
/* Finds key; stores the stored key and the value into the outputs given. */
VOR_API bool cu_xtree_findx(cu_xtree* tree, void* key, void** key_out, void** value_out);
/* fn on every node in ascending order; stops after a call that answers exactly 1. */
VOR_API void cu_xtree_foreach(cu_xtree* tree, cu_xtree_walk_fn fn, void* data);
/* Walk in order, pre-order or post-order; stops at the first answer other than 0. */
VOR_API void cu_xtree_traverse(cu_xtree* tree, cu_xtree_walk_fn fn, int32_t type, void* data);
/* Descends by fn(node key, NULL, data): 0 answers the value, negative left, positive right. */
VOR_API void* cu_xtree_search(cu_xtree* tree, cu_xtree_compare_fn fn, void* data);
/* Height of the tree, 0 when empty. */
VOR_API int32_t cu_xtree_height(cu_xtree* tree);
/* Number of nodes. */
VOR_API int32_t cu_xtree_nnodes(cu_xtree* tree);
/* Releases every node (destroy functions applied); the tree stays usable. */
VOR_API void cu_xtree_empty(cu_xtree* tree);
/* Releases every node and the tree itself. */
VOR_API void cu_xtree_destroy(cu_xtree* tree);

/* cu_itree: signed 32-bit keys. */
/* A new tree taking memory from allocate/release (process allocator when absent). */
VOR_API cu_itree* cu_itree_mallocxx(cu_xtree_alloc_fn allocate, cu_xtree_release_fn release, void* context);
/* A new tree in an arena (process allocator when NULL). */
VOR_API cu_itree* cu_itree_mallocx(cu_mem* arena);
/* A new tree from the process allocator. */
VOR_API cu_itree* cu_itree_malloc(void);
/* fn(key, value, arg) in ascending order; stops after fn answers exactly 1. */
VOR_API void cu_itree_traverse(cu_itree* tree, cu_xtree_walk_fn fn, void* arg);
/* fn(value, arg) on every value in ascending order. */
VOR_API void cu_itree_foreach(cu_itree* tree, cu_tree_value_fn fn, void* arg);
/* fn(value, arg) in ascending order; stops after fn answers exactly 1. */
VOR_API void cu_itree_foreach_if(cu_itree* tree, cu_tree_value_if_fn fn, void* arg);
/* Releases every node. */
VOR_API void cu_itree_empty(cu_itree* tree);
/* fn on every value, then releases every node. */
VOR_API void cu_itree_emptyx(cu_itree* tree, cu_tree_value_fn fn, void* arg);
/* Releases the tree. */
VOR_API void cu_itree_free(cu_itree* tree);
/* fn on every value, then releases the tree. */
VOR_API void cu_itree_freex(cu_itree* tree, cu_tree_value_fn fn, void* arg);
/* Height, 0 when empty. */
VOR_API int32_t cu_itree_height(cu_itree* tree);
/* Number of nodes. */
VOR_API int32_t cu_itree_nnodes(cu_itree* tree);
/* Adds key/value; an existing key gets the new value. */
VOR_API bool cu_itree_insert(cu_itree* tree, int32_t key, void* value);
/* Replaces the value of an existing key; false when absent. */
VOR_API bool cu_itree_update(cu_itree* tree, int32_t key, void* value);
/* Finds key; stores its value when value_out is given. */
VOR_API bool cu_itree_find(cu_itree* tree, int32_t key, void** value_out);
/* Removes key, calling destroy on its value first when given. */
VOR_API bool cu_itree_deletex(cu_itree* tree, int32_t key, cu_tree_value_fn destroy, void* arg);
/* Removes key; true when a node was removed. */
VOR_API bool cu_itree_delete(cu_itree* tree, int32_t key);

/* cu_stree: text keys, copied into the node. */
VOR_API cu_stree* cu_stree_mallocxx(cu_xtree_alloc_fn allocate, cu_xtree_release_fn release, void* context);
VOR_API cu_stree* cu_stree_mallocx(cu_mem* arena);
VOR_API cu_stree* cu_stree_malloc(void);
/* fn(stored text, value, arg) in ascending order; stops after fn answers exactly 1. */
VOR_API void cu_stree_traverse(cu_stree* tree, cu_xtree_walk_fn fn, void* arg);
VOR_API void cu_stree_foreach(cu_stree* tree, cu_tree_value_fn fn, void* arg);
VOR_API void cu_stree_foreach_if(cu_stree* tree, cu_tree_value_if_fn fn, void* arg);
VOR_API void cu_stree_empty(cu_stree* tree);
VOR_API void cu_stree_emptyx(cu_stree* tree, cu_tree_value_fn fn, void* arg);
VOR_API void cu_stree_free(cu_stree* tree);
VOR_API void cu_stree_freex(cu_stree* tree, cu_tree_value_fn fn, void* arg);
VOR_API int32_t cu_stree_height(cu_stree* tree);
VOR_API int32_t cu_stree_nnodes(cu_stree* tree);
/* Adds a copy of text with value; an existing text gets the new value; false for NULL text. */
VOR_API bool cu_stree_insert(cu_stree* tree, const char* text, void* value);
/* As insert with the key cut to its first len characters; false for NULL text or len < 0. */
VOR_API bool cu_stree_insertx(cu_stree* tree, const char* text, int32_t len, void* value);
/* Replaces the value of an existing text; false when absent or NULL. */
VOR_API bool cu_stree_update(cu_stree* tree, const char* text, void* value);
/* Finds text; stores its value when value_out is given. */
VOR_API bool cu_stree_find(cu_stree* tree, const char* text, void** value_out);
/* Removes text, calling destroy on its value first when given. */
VOR_API bool cu_stree_deletex(cu_stree* tree, const char* text, cu_tree_value_fn destroy, void* arg);
/* Removes text; true when it was present. */
VOR_API bool cu_stree_delete(cu_stree* tree, const char* text);

VOR_EXTERN_C_END
