// Chained hash tables with a bucket count fixed at creation and no rehashing: cu_ihash (signed
// 32-bit keys), cu_i64hash (signed 64-bit keys) and cu_shash (byte-string keys copied into the
// node). Duplicates are kept, newest first in their bucket, so a key's newest node hides older
// ones from key lookups. No table takes a lock: the owner serialises access.
#pragma once
#include "cu_mem.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef void* (*cu_hash_alloc_fn)(void* ctx, uint64_t size);
typedef void (*cu_hash_release_fn)(void* ctx, void* p);
typedef void (*cu_hash_destroy_fn)(void* value, void* arg);
/* Value callbacks and predicates; a walk or search takes only the answer 1 as "stop" or "match". */
typedef uint8_t (*cu_hash_value_fn)(void* value, void* arg);
typedef uint8_t (*cu_ihash_traverse_fn)(int32_t key, void* value, void* arg);
typedef uint8_t (*cu_i64hash_traverse_fn)(int64_t key, void* value, void* arg);
typedef uint8_t (*cu_shash_traverse_fn)(const char* key, void* value, void* arg);

typedef struct cu_ihash_node {
  struct cu_ihash_node* prev; /* NULL for the bucket head */
  struct cu_ihash_node* next;
  int32_t key;
  void* value;
} cu_ihash_node;

typedef struct cu_i64hash_node {
  struct cu_i64hash_node* prev;
  struct cu_i64hash_node* next;
  int64_t key;
  void* value;
} cu_i64hash_node;

/* One allocation: the record, then the key bytes and a NUL. */
typedef struct cu_shash_node {
  struct cu_shash_node* prev;
  struct cu_shash_node* next;
  char* key;
  int32_t len;
  void* value;
} cu_shash_node;

/* Without alloc, nodes and header use the process allocator; with alloc, they go back through
   release, and without release they stay with the caller's memory. */
typedef struct cu_ihash {
  cu_ihash_node** buckets;
  uint8_t owns_buckets;
  int32_t nbuckets;
  int32_t nnodes;
  cu_hash_alloc_fn alloc;
  cu_hash_release_fn release;
  void* ctx;
  int32_t cursor_bucket;
  int32_t cursor_pos;
} cu_ihash;

typedef struct cu_i64hash {
  cu_i64hash_node** buckets;
  uint8_t owns_buckets;
  int64_t nbuckets;
  int32_t nnodes;
  cu_hash_alloc_fn alloc;
  cu_hash_release_fn release;
  void* ctx;
  int64_t cursor_bucket;
  int64_t cursor_pos;
} cu_i64hash;

typedef struct cu_shash {
  cu_shash_node** buckets;
  uint8_t owns_buckets;
  int32_t nbuckets;
  int32_t nnodes;
  cu_hash_alloc_fn alloc;
  cu_hash_release_fn release;
  void* ctx;
  int32_t cursor_bucket;
  int32_t cursor_pos;
} cu_shash;

/* cu_ihash */
/* A table over the caller's bucket array (cleared, stays the caller's); NULL for no array or n < 1. */
VOR_API cu_ihash* cu_ihash_mallocxx(cu_ihash_node** buckets, int32_t n, cu_hash_alloc_fn alloc,
                                    cu_hash_release_fn release, void* ctx);
/* As mallocxx with memory from the arena, or from the process allocator when mem is NULL. */
VOR_API cu_ihash* cu_ihash_mallocx(cu_ihash_node** buckets, int32_t n, cu_mem* mem);
/* A table of n buckets that owns its array; NULL for n <= 0 or no memory. */
VOR_API cu_ihash* cu_ihash_malloc(int32_t n);
/* destroy(value, arg) on every node when given, then releases nodes, owned array and header. */
VOR_API void cu_ihash_freex(cu_ihash* t, cu_hash_destroy_fn destroy, void* arg);
/* cu_ihash_freex without destroy. */
VOR_API void cu_ihash_free(cu_ihash* t);
/* As freex but keeps the table, empty, cursor rewound. */
VOR_API void cu_ihash_emptyx(cu_ihash* t, cu_hash_destroy_fn destroy, void* arg);
/* cu_ihash_emptyx without destroy. */
VOR_API void cu_ihash_empty(cu_ihash* t);
/* A new node at the head of the key's bucket; 0 when no node can be made. */
VOR_API uint8_t cu_ihash_insert(cu_ihash* t, int32_t key, void* value);
/* The newest node with the key takes the value; nothing when absent. */
VOR_API void cu_ihash_update(cu_ihash* t, int32_t key, void* value);
/* 1 with the newest node's value (when value is not NULL); 0 when absent. */
VOR_API uint8_t cu_ihash_find(cu_ihash* t, int32_t key, void** value);
/* Removes the newest node with the key; its value is untouched. */
VOR_API void cu_ihash_delete(cu_ihash* t, int32_t key);
/* destroy(value, arg) on the newest node's value when given and present, then removes that node. */
VOR_API void cu_ihash_delete3x(cu_ihash* t, int32_t key, cu_hash_destroy_fn destroy, void* arg);
/* Removes the first node of the key's bucket that holds value, whatever its key. */
VOR_API void cu_ihash_deletex(cu_ihash* t, int32_t key, void* value);
/* In the key's bucket: the first value pred answers 1 for, or the head node without pred. */
VOR_API uint8_t cu_ihash_findx(cu_ihash* t, int32_t key, cu_hash_value_fn pred, void* arg, void** value);
/* fn(value, arg) on every node of the key's bucket, whatever their keys. */
VOR_API void cu_ihash_foreachx(cu_ihash* t, int32_t key, cu_hash_value_fn fn, void* arg);
/* fn(value, arg) on every node; fn may remove the node it is given. */
VOR_API void cu_ihash_foreach(cu_ihash* t, cu_hash_value_fn fn, void* arg);
/* As foreach, stopping right after fn answers 1. */
VOR_API void cu_ihash_foreach_if(cu_ihash* t, cu_hash_value_fn fn, void* arg);
/* fn(key, value, arg) on every node, stopping right after fn answers 1. */
VOR_API void cu_ihash_traverse(cu_ihash* t, cu_ihash_traverse_fn fn, void* arg);
/* Cursor back to the start. */
VOR_API void cu_ihash_rewind(cu_ihash* t);
/* Rewinds, then as GetNext. */
VOR_API uint8_t cu_ihash_GetFirst(cu_ihash* t, int32_t* key, void** value);
/* The next node of the cursor walk; 0 once past the last bucket. */
VOR_API uint8_t cu_ihash_GetNext(cu_ihash* t, int32_t* key, void** value);
/* Node count; 0 for NULL. */
VOR_API int32_t cu_ihash_nnodes(cu_ihash* t);

/* cu_i64hash: the same operations with 64-bit keys and bucket counts. */
VOR_API cu_i64hash* cu_i64hash_mallocxx(cu_i64hash_node** buckets, int64_t n, cu_hash_alloc_fn alloc,
                                        cu_hash_release_fn release, void* ctx);
/* As mallocxx with memory from the arena, or from the process allocator when mem is NULL. */
VOR_API cu_i64hash* cu_i64hash_mallocx(cu_i64hash_node** buckets, int64_t n, cu_mem* mem);
/* A table of n buckets that owns its array; NULL for n <= 0 or no memory. */
VOR_API cu_i64hash* cu_i64hash_malloc(int64_t n);
/* destroy(value, arg) on every node when given, then releases nodes, owned array and header. */
VOR_API void cu_i64hash_freex(cu_i64hash* t, cu_hash_destroy_fn destroy, void* arg);
/* cu_i64hash_freex without destroy. */
VOR_API void cu_i64hash_free(cu_i64hash* t);
/* As freex but keeps the table, empty, cursor rewound. */
VOR_API void cu_i64hash_emptyx(cu_i64hash* t, cu_hash_destroy_fn destroy, void* arg);
/* cu_i64hash_emptyx without destroy. */
VOR_API void cu_i64hash_empty(cu_i64hash* t);
/* A new node at the head of the key's bucket; 0 when no node can be made. */
VOR_API uint8_t cu_i64hash_insert(cu_i64hash* t, int64_t key, void* value);
/* The newest node with the key takes the value; nothing when absent. */
VOR_API void cu_i64hash_update(cu_i64hash* t, int64_t key, void* value);
/* 1 with the newest node's value (when value is not NULL); 0 when absent. */
VOR_API uint8_t cu_i64hash_find(cu_i64hash* t, int64_t key, void** value);
/* Removes the newest node with the key; its value is untouched. */
VOR_API void cu_i64hash_delete(cu_i64hash* t, int64_t key);
/* destroy(value, arg) on the newest node's value when given and present, then removes that node. */
VOR_API void cu_i64hash_delete3x(cu_i64hash* t, int64_t key, cu_hash_destroy_fn destroy, void* arg);
/* Removes the first node of the key's bucket that holds value, whatever its key. */
VOR_API void cu_i64hash_deletex(cu_i64hash* t, int64_t key, void* value);
/* In the key's bucket: the first value pred answers 1 for, or the head node without pred. */
VOR_API uint8_t cu_i64hash_findx(cu_i64hash* t, int64_t key, cu_hash_value_fn pred, void* arg, void** value);
/* fn(value, arg) on every node of the key's bucket, whatever their keys. */
VOR_API void cu_i64hash_foreachx(cu_i64hash* t, int64_t key, cu_hash_value_fn fn, void* arg);
/* fn(value, arg) on every node; fn may remove the node it is given. */
VOR_API void cu_i64hash_foreach(cu_i64hash* t, cu_hash_value_fn fn, void* arg);
/* As foreach, stopping right after fn answers 1. */
VOR_API void cu_i64hash_foreach_if(cu_i64hash* t, cu_hash_value_fn fn, void* arg);
/* fn(key, value, arg) on every node, stopping right after fn answers 1. */
VOR_API void cu_i64hash_traverse(cu_i64hash* t, cu_i64hash_traverse_fn fn, void* arg);
/* Cursor back to the start. */
VOR_API void cu_i64hash_rewind(cu_i64hash* t);
/* Rewinds, then as GetNext. */
VOR_API uint8_t cu_i64hash_GetFirst(cu_i64hash* t, int64_t* key, void** value);
/* The next node of the cursor walk; 0 once past the last bucket. */
VOR_API uint8_t cu_i64hash_GetNext(cu_i64hash* t, int64_t* key, void** value);
/* Node count; 0 for NULL. */
VOR_API int32_t cu_i64hash_nnodes(cu_i64hash* t);

/* cu_shash: keys are (bytes, len); the forms without a length take a NUL-terminated text. */
VOR_API cu_shash* cu_shash_mallocxx(cu_shash_node** buckets, int32_t n, cu_hash_alloc_fn alloc,
                                    cu_hash_release_fn release, void* ctx);
/* As mallocxx with memory from the arena, or from the process allocator when mem is NULL. */
VOR_API cu_shash* cu_shash_mallocx(cu_shash_node** buckets, int32_t n, cu_mem* mem);
/* A table of n buckets that owns its array; NULL for n <= 0 or no memory. */
VOR_API cu_shash* cu_shash_malloc(int32_t n);
/* destroy(value, arg) on every node when given, then releases nodes, owned array and header. */
VOR_API void cu_shash_freex(cu_shash* t, cu_hash_destroy_fn destroy, void* arg);
/* cu_shash_freex without destroy. */
VOR_API void cu_shash_free(cu_shash* t);
/* As freex but keeps the table, empty, cursor rewound. */
VOR_API void cu_shash_emptyx(cu_shash* t, cu_hash_destroy_fn destroy, void* arg);
/* cu_shash_emptyx without destroy. */
VOR_API void cu_shash_empty(cu_shash* t);
/* A new node holding a copy of the len key bytes; 0 for a NULL key, len < 0 or no memory. */
VOR_API uint8_t cu_shash_insertx(cu_shash* t, const char* key, int32_t len, void* value);
/* cu_shash_insertx with the text's length; the empty text is a valid key. */
VOR_API uint8_t cu_shash_insert(cu_shash* t, const char* text, void* value);
/* The newest node with the same key takes the value. */
VOR_API void cu_shash_updatex(cu_shash* t, const char* key, int32_t len, void* value);
/* cu_shash_updatex with the text's length. */
VOR_API void cu_shash_update(cu_shash* t, const char* text, void* value);
/* 1 with the newest matching node's value; 0 for a NULL key or len < 1. */
VOR_API uint8_t cu_shash_findx(cu_shash* t, const char* key, int32_t len, void** value);
/* cu_shash_findx with the text's length, so the empty text is never found. */
VOR_API uint8_t cu_shash_find(cu_shash* t, const char* text, void** value);
/* Removes the newest node with the key (the empty key too). */
VOR_API void cu_shash_deletex(cu_shash* t, const char* key, int32_t len);
/* cu_shash_deletex with the text's length. */
VOR_API void cu_shash_delete(cu_shash* t, const char* text);
/* destroy(value, arg) when given and the non-empty key is present, then cu_shash_delete. */
VOR_API void cu_shash_delete3x(cu_shash* t, const char* text, cu_hash_destroy_fn destroy, void* arg);
/* Removes the first node of the key's bucket that holds value. */
VOR_API void cu_shash_deletexx(cu_shash* t, const char* key, int32_t len, void* value);
/* As cu_ihash_findx on the key's bucket. */
VOR_API uint8_t cu_shash_findxx(cu_shash* t, const char* key, int32_t len, cu_hash_value_fn pred, void* arg,
                                void** value);
/* As cu_ihash_foreachx on the key's bucket. */
VOR_API void cu_shash_foreach_line(cu_shash* t, const char* key, int32_t len, cu_hash_value_fn fn, void* arg);
/* fn(value, arg) on every node; fn may remove the node it is given. */
VOR_API void cu_shash_foreach(cu_shash* t, cu_hash_value_fn fn, void* arg);
/* As foreach, stopping right after fn answers 1. */
VOR_API void cu_shash_foreach_if(cu_shash* t, cu_hash_value_fn fn, void* arg);
/* fn gets the stored key. */
VOR_API void cu_shash_traverse(cu_shash* t, cu_shash_traverse_fn fn, void* arg);
/* As traverse, starting at a random bucket and wrapping round. */
VOR_API void cu_shash_RandomTraverse(cu_shash* t, cu_shash_traverse_fn fn, void* arg);
/* Cursor back to the start. */
VOR_API void cu_shash_rewind(cu_shash* t);
/* The cursor walk giving the stored key, its length and the value. */
VOR_API uint8_t cu_shash_GetFirstx(cu_shash* t, const char** key, int32_t* len, void** value);
/* The next node of the cursor walk with its stored key and length; 0 once past the end. */
VOR_API uint8_t cu_shash_GetNextx(cu_shash* t, const char** key, int32_t* len, void** value);
/* Rewinds, then as GetNext. */
VOR_API uint8_t cu_shash_GetFirst(cu_shash* t, const char** key, void** value);
/* The next node of the cursor walk with its stored key; 0 once past the last bucket. */
VOR_API uint8_t cu_shash_GetNext(cu_shash* t, const char** key, void** value);
/* Node count; 0 for NULL. */
VOR_API int32_t cu_shash_nnodes(cu_shash* t);

VOR_EXTERN_C_END
