#include "vor_queue.h"

#include "cu_malloc.h"
#include "cu_xmem_internal.h"

#include <cstring>

namespace {

constexpr char kUnit[] = "vor\\vor_queue";

cu_list_node_alloc_fn node_alloc(cu_xmem* pool) { return pool ? cu_xmem__alloc_from : nullptr; }
cu_list_node_free_fn node_free(cu_xmem* pool) { return pool ? cu_xmem__free_to : nullptr; }

template <typename Record>
Record* make_record(cu_xmem* pool) {
  void* p = pool ? cu_xmem_malloc(pool, sizeof(Record)) : _cu_malloc(sizeof(Record), kUnit, __LINE__);
  if (!p) return nullptr;
  auto* r = static_cast<Record*>(p);
  memset(r, 0, sizeof *r);
  r->pool = pool;
  return r;
}

template <typename Record>
void free_record(Record* r) {
  if (r->pool)
    cu_xmem_free(r->pool, r);
  else
    _cu_free(r, kUnit, __LINE__);
}

// Detaches the first node of a chain and answers its item; the caller fixes its own links.
void* take_first(cu_list*& first, int32_t& count, cu_xmem* pool) {
  cu_list* node = first;
  void* item = node->data;
  first = cu_list_MM_delete_link_only(first, node, node_free(pool), pool);
  if (count > 0) --count;
  return item;
}

void* peek(cu_list* first, int32_t i) { return cu_list_nth_data(first, i < 0 ? 0 : i); }

}  // namespace

vor_queue* vor_queue_makex(cu_xmem* pool) { return make_record<vor_queue>(pool); }
vor_queue* vor_queue_make(void) { return vor_queue_makex(nullptr); }

bool vor_queue_push(vor_queue* q, void* item) {
  if (!q) return false;
  cu_list* node = cu_list_MM_new(node_alloc(q->pool), q->pool);
  if (!node) return false;
  node->data = item;
  if (q->tail) {
    q->tail->next = node;
    node->prev = q->tail;
  } else {
    q->head = node;
  }
  q->tail = node;
  ++q->count;
  return true;
}

void* vor_queue_pop(vor_queue* q) {
  if (!q || !q->head) return nullptr;
  void* item = take_first(q->head, q->count, q->pool);
  if (!q->head) q->tail = nullptr;
  return item;
}

int32_t vor_queue_nnodes(vor_queue* q) { return q ? q->count : 0; }

void vor_queue_free(vor_queue* q) { vorx_queue_free(q, nullptr, nullptr); }

void vorx_queue_free(vor_queue* q, vor_queue_item_fn fn, void* arg) {
  if (!q) return;
  cu_list_MM__free_all(q->head, fn, arg, node_free(q->pool), q->pool);
  free_record(q);
}

void* vorx_queue_peek(vor_queue* q, int32_t i) { return q ? peek(q->head, i) : nullptr; }

void vorx_queue_foreach(vor_queue* q, vor_queue_item_fn fn, void* arg) {
  if (q) cu_list_foreach(q->head, fn, arg);
}

vor_stack* vor_stack_makex(cu_xmem* pool) { return make_record<vor_stack>(pool); }
vor_stack* vor_stack_make(void) { return vor_stack_makex(nullptr); }

bool vor_stack_push(vor_stack* s, void* item) {
  if (!s || !cu_list_MM_prepend_s(&s->top, item, node_alloc(s->pool), s->pool)) return false;
  ++s->count;
  return true;
}

void* vor_stack_pop(vor_stack* s) {
  if (!s || !s->top) return nullptr;
  return take_first(s->top, s->count, s->pool);
}

int32_t vor_stack_nnodes(vor_stack* s) { return s ? s->count : 0; }

void vor_stack_free(vor_stack* s) { vorx_stack_free(s, nullptr, nullptr); }

void vorx_stack_free(vor_stack* s, vor_queue_item_fn fn, void* arg) {
  if (!s) return;
  cu_list_MM__free_all(s->top, fn, arg, node_free(s->pool), s->pool);
  free_record(s);
}

void* vorx_stack_peek(vor_stack* s, int32_t i) { return s ? peek(s->top, i) : nullptr; }

void vorx_stack_foreach(vor_stack* s, vor_queue_item_fn fn, void* arg) {
  if (s) cu_list_foreach(s->top, fn, arg);
}
