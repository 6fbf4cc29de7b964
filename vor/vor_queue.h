// vor_queue (first in, first out) and vor_stack (last in, first out) of item pointers over
// cu_list nodes. Record and nodes come from the pool named at creation, or from the process
// allocator without one. Neither owns its items; neither has a lock.
#pragma once
#include "cu_list.h"
#include "cu_xmem.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_queue {
  cu_list* head; /* the oldest item */
  cu_list* tail;
  int32_t count;
  cu_xmem* pool;
} vor_queue;

typedef struct vor_stack {
  cu_list* top; /* the newest item */
  int32_t count;
  cu_xmem* pool;
} vor_stack;

typedef void (*vor_queue_item_fn)(void* item, void* arg);

/* An empty queue whose record and nodes come from pool (NULL: the process allocator). */
VOR_API vor_queue* vor_queue_makex(cu_xmem* pool);
/* vor_queue_makex without a pool. */
VOR_API vor_queue* vor_queue_make(void);
/* Adds item after the tail; false for NULL q or no memory. */
VOR_API bool vor_queue_push(vor_queue* q, void* item);
/* Removes and answers the head item; NULL when empty (a pushed NULL item: check the count). */
VOR_API void* vor_queue_pop(vor_queue* q);
/* Items held; 0 for NULL. */
VOR_API int32_t vor_queue_nnodes(vor_queue* q);
/* Frees every node and the record, not the items; NULL ignored. */
VOR_API void vor_queue_free(vor_queue* q);
/* fn(item, arg) for every item from head to tail (when fn is given), then frees nodes and record. */
VOR_API void vorx_queue_free(vor_queue* q, vor_queue_item_fn fn, void* arg);
/* The item i steps from the head (i <= 0: the head); NULL past the end. */
VOR_API void* vorx_queue_peek(vor_queue* q, int32_t i);
/* fn(item, arg) from the head on; fn may pop or free the item it is given. */
VOR_API void vorx_queue_foreach(vor_queue* q, vor_queue_item_fn fn, void* arg);

/* An empty stack whose record and nodes come from pool (NULL: the process allocator). */
VOR_API vor_stack* vor_stack_makex(cu_xmem* pool);
/* vor_stack_makex without a pool. */
VOR_API vor_stack* vor_stack_make(void);
/* Makes item the new top; false for NULL s or no memory. */
VOR_API bool vor_stack_push(vor_stack* s, void* item);
/* Removes and answers the top item; NULL when empty. */
VOR_API void* vor_stack_pop(vor_stack* s);
/* Items held; 0 for NULL. */
VOR_API int32_t vor_stack_nnodes(vor_stack* s);
/* Frees every node and the record, not the items; NULL ignored. */
VOR_API void vor_stack_free(vor_stack* s);
/* fn(item, arg) for every item from the top (when fn is given), then frees nodes and record. */
VOR_API void vorx_stack_free(vor_stack* s, vor_queue_item_fn fn, void* arg);
/* The item i steps from the top (i <= 0: the top); NULL past the end. */
VOR_API void* vorx_stack_peek(vor_stack* s, int32_t i);
/* fn(item, arg) from the top on; fn may pop or free the item it is given. */
VOR_API void vorx_stack_foreach(vor_stack* s, vor_queue_item_fn fn, void* arg);

VOR_EXTERN_C_END
