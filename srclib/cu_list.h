// cu_list: a doubly linked list of data pointers whose handle is its first node. The list never
// owns its data. cu_list_MM_* take a node allocator and its pool per call; a NULL allocator
// (or releaser) means the process allocator.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct cu_list {
  struct cu_list* prev;
  struct cu_list* next;
  void* data;
} cu_list;

typedef void (*cu_list_destroy_fn)(void* data, void* arg);
typedef void (*cu_list_fn)(void* data, void* arg);
/* Only the answer 1 counts as "yes". */
typedef uint8_t (*cu_list_if_fn)(void* data, void* arg);
typedef int32_t (*cu_list_compare_fn)(const void* a, const void* b);
typedef void* (*cu_list_node_alloc_fn)(void* pool, uint64_t size);
typedef void (*cu_list_node_free_fn)(void* pool, void* node);

/* A zero-filled node from the process allocator; NULL when memory is short. */
VOR_API cu_list* cu_list__node_new(void);
/* Rewinds to the first node, calls destroy(data, arg) when given and frees every node. */
VOR_API void cu_list__free_all(cu_list* node, cu_list_destroy_fn destroy, void* arg);
/* The same for nodes released through node_free(pool, node). */
VOR_API void cu_list_MM__free_all(cu_list* node, cu_list_destroy_fn destroy, void* arg, cu_list_node_free_fn node_free,
                                  void* pool);

/* Allocation-free members (each also under its cu_list_MM_ name). */
/* Follows previous links to the first node; NULL for NULL. */
VOR_API cu_list* cu_list_first(cu_list* node);
/* Same as cu_list_first. */
VOR_API cu_list* cu_list_MM_first(cu_list* node);
/* Follows next links to the last node. */
VOR_API cu_list* cu_list_last(cu_list* node);
/* Same as cu_list_last. */
VOR_API cu_list* cu_list_MM_last(cu_list* node);
/* n steps forward (n <= 0: the node itself); NULL past the end. */
VOR_API cu_list* cu_list_nth(cu_list* node, int32_t n);
/* Same as cu_list_nth. */
VOR_API cu_list* cu_list_MM_nth(cu_list* node, int32_t n);
/* n steps backward (n <= 0: the node itself); NULL past the start. */
VOR_API cu_list* cu_list_nth_prev(cu_list* node, int32_t n);
/* Same as cu_list_nth_prev. */
VOR_API cu_list* cu_list_MM_nth_prev(cu_list* node, int32_t n);
/* Data of the node n steps forward; NULL past the end. */
VOR_API void* cu_list_nth_data(cu_list* node, int32_t n);
/* Same as cu_list_nth_data. */
VOR_API void* cu_list_MM_nth_data(cu_list* node, int32_t n);
/* Nodes from the node to the end; 0 for NULL. */
VOR_API int32_t cu_list_length(cu_list* node);
/* Same as cu_list_length. */
VOR_API int32_t cu_list_MM_length(cu_list* node);
/* First node whose data pointer equals data; NULL when none. */
VOR_API cu_list* cu_list_find(cu_list* node, const void* data);
/* Same as cu_list_find. */
VOR_API cu_list* cu_list_MM_find(cu_list* node, const void* data);
/* 0-based position of the first node holding data; -1 when none. */
VOR_API int32_t cu_list_index(cu_list* node, const void* data);
/* Same as cu_list_index. */
VOR_API int32_t cu_list_MM_index(cu_list* node, const void* data);
/* 0-based position of the target node; -1 when absent. */
VOR_API int32_t cu_list_position(cu_list* node, const cu_list* target);
/* Same as cu_list_position. */
VOR_API int32_t cu_list_MM_position(cu_list* node, const cu_list* target);
/* First node for which fn(data, arg) answers 1; the node itself when fn is NULL. */
VOR_API cu_list* cu_list_find_custom(cu_list* node, cu_list_if_fn fn, void* arg);
/* Same as cu_list_find_custom. */
VOR_API cu_list* cu_list_MM_find_custom(cu_list* node, cu_list_if_fn fn, void* arg);
/* fn(data, arg) for every node; fn may free its own node. */
VOR_API void cu_list_foreach(cu_list* node, cu_list_fn fn, void* arg);
/* Same as cu_list_foreach. */
VOR_API void cu_list_MM_foreach(cu_list* node, cu_list_fn fn, void* arg);
/* As foreach, stopping right after the first call that answers 1. */
VOR_API void cu_list_foreach_if(cu_list* node, cu_list_if_fn fn, void* arg);
/* Same as cu_list_foreach_if. */
VOR_API void cu_list_MM_foreach_if(cu_list* node, cu_list_if_fn fn, void* arg);
/* Swaps the links of every node from the given one on; answers the new first node. */
VOR_API cu_list* cu_list_reverse(cu_list* node);
/* Same as cu_list_reverse. */
VOR_API cu_list* cu_list_MM_reverse(cu_list* node);
/* Links b after the last node of a; answers a (b when a is NULL). */
VOR_API cu_list* cu_list_concat(cu_list* a, cu_list* b);
/* Same as cu_list_concat. */
VOR_API cu_list* cu_list_MM_concat(cu_list* a, cu_list* b);
/* Unlinks node without freeing it; answers the head. */
VOR_API cu_list* cu_list_remove_link_only(cu_list* head, cu_list* node);
/* Same as cu_list_remove_link_only. */
VOR_API cu_list* cu_list_MM_remove_link_only(cu_list* head, cu_list* node);
/* Links an existing node before the first node it compares <= 0 to; answers the head. */
VOR_API cu_list* cu_list_insert_link_sorted(cu_list* head, cu_list* node, cu_list_compare_fn compare);
/* Same as cu_list_insert_link_sorted. */
VOR_API cu_list* cu_list_MM_insert_link_sorted(cu_list* head, cu_list* node, cu_list_compare_fn compare);
/* Stable merge sort; answers the head. */
VOR_API cu_list* cu_list_sort(cu_list* head, cu_list_compare_fn compare);
/* Same as cu_list_sort. */
VOR_API cu_list* cu_list_MM_sort(cu_list* head, cu_list_compare_fn compare);
/* Merges two sorted lists, ties taking a's node first; answers the head. */
VOR_API cu_list* cu_list_sort_merge(cu_list* a, cu_list* b, cu_list_compare_fn compare);
/* Same as cu_list_sort_merge. */
VOR_API cu_list* cu_list_MM_sort_merge(cu_list* a, cu_list* b, cu_list_compare_fn compare);
/* Prints the length to standard output, then calls fn(data, 0) for every node when given. */
VOR_API void cu_list_print(cu_list* head, cu_list_fn fn);
/* Same as cu_list_print. */
VOR_API void cu_list_MM_print(cu_list* head, cu_list_fn fn);

/* Allocating members with nodes from the process allocator. */
/* One empty node; NULL when memory is short. */
VOR_API cu_list* cu_list_new(void);
/* A new node after the last one; answers the head (unchanged when memory is short). */
VOR_API cu_list* cu_list_append(cu_list* head, void* data);
/* Same as cu_list_append. */
VOR_API cu_list* cu_list_insert_last(cu_list* head, void* data);
/* Appends through the head pointer; false for a NULL pointer or no memory. */
VOR_API bool cu_list_append_s(cu_list** head, void* data);
/* Same as cu_list_append_s. */
VOR_API bool cu_list_insert_last_s(cu_list** head, void* data);
/* A new node before node (after its predecessor); answers the new node, or node when memory is short. */
VOR_API cu_list* cu_list_prepend(cu_list* node, void* data);
/* Prepends through the head pointer, which then points at the new node. */
VOR_API bool cu_list_prepend_s(cu_list** head, void* data);
/* position < 0 appends, 0 prepends, k > 0 goes before the node k steps on (or appends). */
VOR_API cu_list* cu_list_insert(cu_list* head, void* data, int32_t position);
/* cu_list_insert through the head pointer. */
VOR_API bool cu_list_insert_s(cu_list** head, void* data, int32_t position);
/* A new node before the first node; answers the new node. */
VOR_API cu_list* cu_list_insert_first(cu_list* node, void* data);
/* cu_list_insert_first through the head pointer. */
VOR_API bool cu_list_insert_first_s(cu_list** head, void* data);
/* A new node before the first node that compare(data, node data) puts at or after it. */
VOR_API cu_list* cu_list_insert_sorted(cu_list* head, void* data, cu_list_compare_fn compare);
/* cu_list_insert_sorted through the head pointer; true without inserting when compare is NULL. */
VOR_API bool cu_list_insert_sorted_s(cu_list** head, void* data, cu_list_compare_fn compare);
/* New nodes with the same data from node to the end; NULL when memory runs out. */
VOR_API cu_list* cu_list_copy(cu_list* node);
/* Removes the first node holding data (destroy(data, arg) when given); answers the head. */
VOR_API cu_list* cu_list_remove(cu_list* head, const void* data, cu_list_destroy_fn destroy, void* arg);
/* Removes the node at 0-based position n; answers the head. */
VOR_API cu_list* cu_list_nth_remove(cu_list* head, int32_t n, cu_list_destroy_fn destroy, void* arg);
/* Removes every node holding data, destroy once per node; answers the head. */
VOR_API cu_list* cu_list_remove_all(cu_list* head, const void* data, cu_list_destroy_fn destroy, void* arg);
/* Unlinks and frees node without touching its data; answers the head. */
VOR_API cu_list* cu_list_delete_link_only(cu_list* head, cu_list* node);
/* Rewinds to the first node and frees every node, destroy(data, arg) first when given. */
VOR_API void cu_list_free_all(cu_list* node, cu_list_destroy_fn destroy, void* arg);
/* Same as cu_list_free_all. */
VOR_API void cu_list_destroy_all(cu_list* node, cu_list_destroy_fn destroy, void* arg);
/* Stable natural merge sort; answers the head. */
VOR_API cu_list* cu_list_sort2(cu_list* head, cu_list_compare_fn compare);

/* Pool forms: nodes from node_alloc(pool, size), back through node_free(pool, node); NULL: the process allocator. */
/* One empty node from node_alloc(pool, size). */
VOR_API cu_list* cu_list_MM_new(cu_list_node_alloc_fn node_alloc, void* pool);
/* cu_list_append with a node from node_alloc(pool, size). */
VOR_API cu_list* cu_list_MM_append(cu_list* head, void* data, cu_list_node_alloc_fn node_alloc, void* pool);
/* cu_list_insert_last with a node from node_alloc(pool, size). */
VOR_API cu_list* cu_list_MM_insert_last(cu_list* head, void* data, cu_list_node_alloc_fn node_alloc, void* pool);
/* cu_list_append_s with a node from node_alloc(pool, size). */
VOR_API bool cu_list_MM_append_s(cu_list** head, void* data, cu_list_node_alloc_fn node_alloc, void* pool);
/* cu_list_insert_last_s with a node from node_alloc(pool, size). */
VOR_API bool cu_list_MM_insert_last_s(cu_list** head, void* data, cu_list_node_alloc_fn node_alloc, void* pool);
/* cu_list_prepend with a node from node_alloc(pool, size). */
VOR_API cu_list* cu_list_MM_prepend(cu_list* node, void* data, cu_list_node_alloc_fn node_alloc, void* pool);
/* cu_list_prepend_s with a node from node_alloc(pool, size). */
VOR_API bool cu_list_MM_prepend_s(cu_list** head, void* data, cu_list_node_alloc_fn node_alloc, void* pool);
/* cu_list_insert with a node from node_alloc(pool, size). */
VOR_API cu_list* cu_list_MM_insert(cu_list* head, void* data, int32_t position, cu_list_node_alloc_fn node_alloc,
                                   void* pool);
/* cu_list_insert_s with a node from node_alloc(pool, size). */
VOR_API bool cu_list_MM_insert_s(cu_list** head, void* data, int32_t position, cu_list_node_alloc_fn node_alloc,
                                 void* pool);
/* cu_list_insert_first with a node from node_alloc(pool, size). */
VOR_API cu_list* cu_list_MM_insert_first(cu_list* node, void* data, cu_list_node_alloc_fn node_alloc, void* pool);
/* cu_list_insert_first_s with a node from node_alloc(pool, size). */
VOR_API bool cu_list_MM_insert_first_s(cu_list** head, void* data, cu_list_node_alloc_fn node_alloc, void* pool);
/* cu_list_insert_sorted with a node from node_alloc(pool, size). */
VOR_API cu_list* cu_list_MM_insert_sorted(cu_list* head, void* data, cu_list_compare_fn compare,
                                          cu_list_node_alloc_fn node_alloc, void* pool);
/* cu_list_insert_sorted_s with a node from node_alloc(pool, size). */
VOR_API bool cu_list_MM_insert_sorted_s(cu_list** head, void* data, cu_list_compare_fn compare,
                                        cu_list_node_alloc_fn node_alloc, void* pool);
/* cu_list_copy with nodes from node_alloc(pool, size); a partial copy stays with the pool. */
VOR_API cu_list* cu_list_MM_copy(cu_list* node, cu_list_node_alloc_fn node_alloc, void* pool);
/* cu_list_remove, the node going back through node_free(pool, node). */
VOR_API cu_list* cu_list_MM_remove(cu_list* head, const void* data, cu_list_destroy_fn destroy, void* arg,
                                   cu_list_node_free_fn node_free, void* pool);
/* cu_list_nth_remove, the node going back through node_free(pool, node). */
VOR_API cu_list* cu_list_MM_nth_remove(cu_list* head, int32_t n, cu_list_destroy_fn destroy, void* arg,
                                       cu_list_node_free_fn node_free, void* pool);
/* cu_list_remove_all, the nodes going back through node_free(pool, node). */
VOR_API cu_list* cu_list_MM_remove_all(cu_list* head, const void* data, cu_list_destroy_fn destroy, void* arg,
                                       cu_list_node_free_fn node_free, void* pool);
/* cu_list_delete_link_only, the node going back through node_free(pool, node). */
VOR_API cu_list* cu_list_MM_delete_link_only(cu_list* head, cu_list* node, cu_list_node_free_fn node_free, void* pool);
/* cu_list_free_all, the nodes going back through node_free(pool, node). */
VOR_API void cu_list_MM_free_all(cu_list* node, cu_list_destroy_fn destroy, void* arg, cu_list_node_free_fn node_free,
                                 void* pool);
/* Same as cu_list_MM_free_all. */
VOR_API void cu_list_MM_destroy_all(cu_list* node, cu_list_destroy_fn destroy, void* arg,
                                    cu_list_node_free_fn node_free, void* pool);
/* cu_list_sort2 with its run records from node_alloc and back through node_free. */
VOR_API cu_list* cu_list_MM_sort2(cu_list* head, cu_list_compare_fn compare, cu_list_node_alloc_fn node_alloc,
                                  cu_list_node_free_fn node_free, void* pool);

VOR_EXTERN_C_END
