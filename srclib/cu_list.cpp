#include "cu_list.h"

#include "cu_malloc.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kUnit[] = "srclib\\cu_list";

// Where nodes come from and go back to: a caller's pool functions, or the process allocator.
struct NodeSource {
  cu_list_node_alloc_fn alloc = nullptr;
  cu_list_node_free_fn release = nullptr;
  void* pool = nullptr;

  cu_list* make(void* data) const {
    void* p = alloc ? alloc(pool, sizeof(cu_list)) : _cu_malloc(sizeof(cu_list), kUnit, __LINE__);
    if (!p) return nullptr;
    auto* node = static_cast<cu_list*>(p);
    memset(node, 0, sizeof *node);
    node->data = data;
    return node;
  }
  // A node of a caller's allocator with no releaser given stays with the caller's pool.
  void drop(cu_list* node) const {
    if (release)
      release(pool, node);
    else if (!alloc)
      _cu_free(node, kUnit, __LINE__);
  }
};

NodeSource allocating(cu_list_node_alloc_fn alloc, void* pool) { return NodeSource{alloc, nullptr, pool}; }
NodeSource releasing(cu_list_node_free_fn release, void* pool) { return NodeSource{nullptr, release, pool}; }

cu_list* first_of(cu_list* node) {
  if (!node) return nullptr;
  while (node->prev) node = node->prev;
  return node;
}

cu_list* last_of(cu_list* node) {
  if (!node) return nullptr;
  while (node->next) node = node->next;
  return node;
}

cu_list* step_forward(cu_list* node, int32_t n) {
  for (int32_t i = 0; node && i < n; ++i) node = node->next;
  return node;
}

cu_list* step_backward(cu_list* node, int32_t n) {
  for (int32_t i = 0; node && i < n; ++i) node = node->prev;
  return node;
}

int32_t length_of(const cu_list* node) {
  int32_t n = 0;
  for (; node; node = node->next) ++n;
  return n;
}

// Links node before `at`, after at's predecessor when it has one.
void link_before(cu_list* at, cu_list* node) {
  node->next = at;
  node->prev = at->prev;
  if (at->prev) at->prev->next = node;
  at->prev = node;
}

void link_after(cu_list* at, cu_list* node) {
  node->prev = at;
  node->next = at->next;
  if (at->next) at->next->prev = node;
  at->next = node;
}

// Unlinks node, clears its links and answers the head that remains.
cu_list* unlink(cu_list* head, cu_list* node) {
  if (node == head) head = node->next;
  if (node->prev) node->prev->next = node->next;
  if (node->next) node->next->prev = node->prev;
  node->prev = node->next = nullptr;
  return head;
}

cu_list* append(cu_list* head, void* data, const NodeSource& src) {
  cu_list* node = src.make(data);
  if (!node) return head;
  if (!head) return node;
  link_after(last_of(head), node);
  return head;
}

cu_list* prepend(cu_list* node, void* data, const NodeSource& src) {
  cu_list* fresh = src.make(data);
  if (!fresh) return node;
  if (node) link_before(node, fresh);
  return fresh;
}

// Answers the head; `ok` tells whether a node was made.
cu_list* insert_at(cu_list* head, void* data, int32_t position, const NodeSource& src, bool* ok) {
  cu_list* node = src.make(data);
  *ok = node != nullptr;
  if (!node) return head;
  if (!head) return node;
  cu_list* at = position < 0 ? nullptr : step_forward(head, position);
  if (!at) {
    link_after(last_of(head), node);
    return head;
  }
  link_before(at, node);
  return at == head ? node : head;
}

cu_list* insert_first(cu_list* node, void* data, const NodeSource& src) {
  cu_list* fresh = src.make(data);
  if (!fresh) return node;
  if (node) link_before(first_of(node), fresh);
  return fresh;
}

// A new item goes before existing equal items.
cu_list* link_sorted(cu_list* head, cu_list* node, cu_list_compare_fn compare) {
  if (!head) return node;
  cu_list* at = head;
  while (compare(node->data, at->data) > 0) {
    if (!at->next) {
      link_after(at, node);
      return head;
    }
    at = at->next;
  }
  link_before(at, node);
  return at == head ? node : head;
}

cu_list* insert_sorted(cu_list* head, void* data, cu_list_compare_fn compare, const NodeSource& src, bool* ok) {
  *ok = true;
  if (!compare) return head;
  cu_list* node = src.make(data);
  if (!node) {
    *ok = false;
    return head;
  }
  return link_sorted(head, node, compare);
}

// All or nothing: a copy cut short by memory would look like a whole one to the caller.
cu_list* copy(cu_list* node, const NodeSource& src) {
  cu_list* head = nullptr;
  cu_list* tail = nullptr;
  for (; node; node = node->next) {
    cu_list* fresh = src.make(node->data);
    if (!fresh) {
      for (cu_list* p = head; p;) {
        cu_list* next = p->next;
        src.drop(p);
        p = next;
      }
      return nullptr;
    }
    if (tail)
      link_after(tail, fresh);
    else
      head = fresh;
    tail = fresh;
  }
  return head;
}

cu_list* remove_node(cu_list* head, cu_list* node, cu_list_destroy_fn destroy, void* arg, const NodeSource& src) {
  head = unlink(head, node);
  if (destroy) destroy(node->data, arg);
  src.drop(node);
  return head;
}

cu_list* find_data(cu_list* node, const void* data) {
  while (node && node->data != data) node = node->next;
  return node;
}

cu_list* remove_all(cu_list* head, const void* data, cu_list_destroy_fn destroy, void* arg, const NodeSource& src) {
  for (cu_list* node = head; node;) {
    cu_list* next = node->next;
    if (node->data == data) head = remove_node(head, node, destroy, arg, src);
    node = next;
  }
  return head;
}

cu_list* nth_remove(cu_list* head, int32_t n, cu_list_destroy_fn destroy, void* arg, const NodeSource& src) {
  if (n < 0) return head;
  cu_list* node = step_forward(head, n);
  return node ? remove_node(head, node, destroy, arg, src) : head;
}

void free_all(cu_list* node, cu_list_destroy_fn destroy, void* arg, const NodeSource& src) {
  for (node = first_of(node); node;) {
    cu_list* next = node->next;
    if (destroy) destroy(node->data, arg);
    src.drop(node);
    node = next;
  }
}

// Ties keep a's node first, which makes both sorts stable.
cu_list* merge(cu_list* a, cu_list* b, cu_list_compare_fn compare) {
  if (!a) return b;
  if (!b) return a;
  cu_list* head = nullptr;
  cu_list* tail = nullptr;
  while (a && b) {
    cu_list*& from = compare(a->data, b->data) > 0 ? b : a;
    cu_list* taken = from;
    from = from->next;
    taken->prev = tail;
    if (tail)
      tail->next = taken;
    else
      head = taken;
    tail = taken;
  }
  cu_list* rest = a ? a : b;
  tail->next = rest;
  rest->prev = tail;
  head->prev = nullptr;
  return head;
}

cu_list* merge_sort(cu_list* head, cu_list_compare_fn compare) {
  if (!head || !head->next) return head;
  // Slow and fast pointers: slow ends on the last node of the first floor(length / 2).
  cu_list* slow = head;
  for (cu_list* fast = head->next->next; fast && fast->next; fast = fast->next->next) slow = slow->next;
  cu_list* second = slow->next;
  slow->next = nullptr;
  second->prev = nullptr;
  return merge(merge_sort(head, compare), merge_sort(second, compare), compare);
}

// Natural merge sort over ascending runs. The run records are all made before the list is cut,
// so a shortage falls back to the non-allocating sort with the list still whole.
cu_list* natural_sort(cu_list* head, cu_list_compare_fn compare, const NodeSource& src) {
  if (!head || !head->next) return head;
  cu_list* runs = nullptr;
  cu_list* runs_tail = nullptr;
  for (cu_list* start = head; start;) {
    cu_list* end = start;
    while (end->next && compare(end->data, end->next->data) <= 0) end = end->next;
    if (start == head && !end->next) return head;  // already sorted: one run
    cu_list* record = src.make(start);
    if (!record) {
      free_all(runs, nullptr, nullptr, src);
      return merge_sort(head, compare);
    }
    if (runs_tail)
      link_after(runs_tail, record);
    else
      runs = record;
    runs_tail = record;
    start = end->next;
  }
  for (cu_list* r = runs; r; r = r->next) {
    auto* start = static_cast<cu_list*>(r->data);
    start->prev = nullptr;
    if (r->next) static_cast<cu_list*>(r->next->data)->prev->next = nullptr;
  }
  while (runs->next) {
    for (cu_list* r = runs; r && r->next; r = r->next) {
      cu_list* later = r->next;
      r->data = merge(static_cast<cu_list*>(r->data), static_cast<cu_list*>(later->data), compare);
      runs = remove_node(runs, later, nullptr, nullptr, src);
    }
  }
  cu_list* sorted = static_cast<cu_list*>(runs->data);
  src.drop(runs);
  return sorted;
}

}  // namespace

cu_list* cu_list__node_new(void) { return NodeSource{}.make(nullptr); }

void cu_list__free_all(cu_list* node, cu_list_destroy_fn destroy, void* arg) {
  free_all(node, destroy, arg, NodeSource{});
}

void cu_list_MM__free_all(cu_list* node, cu_list_destroy_fn destroy, void* arg, cu_list_node_free_fn node_free,
                          void* pool) {
  free_all(node, destroy, arg, releasing(node_free, pool));
}

// Allocation-free members.
cu_list* cu_list_first(cu_list* node) { return first_of(node); }
cu_list* cu_list_last(cu_list* node) { return last_of(node); }
cu_list* cu_list_nth(cu_list* node, int32_t n) { return step_forward(node, n); }
cu_list* cu_list_nth_prev(cu_list* node, int32_t n) { return step_backward(node, n); }

void* cu_list_nth_data(cu_list* node, int32_t n) {
  cu_list* at = step_forward(node, n);
  return at ? at->data : nullptr;
}

int32_t cu_list_length(cu_list* node) { return length_of(node); }
cu_list* cu_list_find(cu_list* node, const void* data) { return find_data(node, data); }

int32_t cu_list_index(cu_list* node, const void* data) {
  for (int32_t i = 0; node; node = node->next, ++i)
    if (node->data == data) return i;
  return -1;
}

int32_t cu_list_position(cu_list* node, const cu_list* target) {
  for (int32_t i = 0; node; node = node->next, ++i)
    if (node == target) return i;
  return -1;
}

cu_list* cu_list_find_custom(cu_list* node, cu_list_if_fn fn, void* arg) {
  if (!fn) return node;
  while (node && fn(node->data, arg) != 1) node = node->next;
  return node;
}

void cu_list_foreach(cu_list* node, cu_list_fn fn, void* arg) {
  if (!fn) return;
  while (node) {
    cu_list* next = node->next;
    fn(node->data, arg);
    node = next;
  }
}

void cu_list_foreach_if(cu_list* node, cu_list_if_fn fn, void* arg) {
  if (!fn) return;
  while (node) {
    cu_list* next = node->next;
    if (fn(node->data, arg) == 1) return;
    node = next;
  }
}

cu_list* cu_list_reverse(cu_list* node) {
  cu_list* last = nullptr;
  while (node) {
    cu_list* next = node->next;
    node->next = node->prev;
    node->prev = next;
    last = node;
    node = next;
  }
  return last;
}

cu_list* cu_list_concat(cu_list* a, cu_list* b) {
  if (!b) return a;
  if (!a) {
    b->prev = nullptr;
    return b;
  }
  cu_list* tail = last_of(a);
  tail->next = b;
  b->prev = tail;
  return a;
}

cu_list* cu_list_remove_link_only(cu_list* head, cu_list* node) { return node ? unlink(head, node) : head; }

cu_list* cu_list_insert_link_sorted(cu_list* head, cu_list* node, cu_list_compare_fn compare) {
  if (!compare || !node) return head;
  node->prev = node->next = nullptr;
  return link_sorted(head, node, compare);
}

cu_list* cu_list_sort(cu_list* head, cu_list_compare_fn compare) {
  return compare ? merge_sort(head, compare) : head;
}

cu_list* cu_list_sort_merge(cu_list* a, cu_list* b, cu_list_compare_fn compare) {
  return compare ? merge(a, b, compare) : a;
}

void cu_list_print(cu_list* head, cu_list_fn fn) {
  printf("list information below:\n");
  printf("list length: %d\n", length_of(head));
  if (fn)
    for (cu_list* node = head; node; node = node->next) fn(node->data, nullptr);
}

cu_list* cu_list_MM_first(cu_list* node) { return cu_list_first(node); }
cu_list* cu_list_MM_last(cu_list* node) { return cu_list_last(node); }
cu_list* cu_list_MM_nth(cu_list* node, int32_t n) { return cu_list_nth(node, n); }
cu_list* cu_list_MM_nth_prev(cu_list* node, int32_t n) { return cu_list_nth_prev(node, n); }
void* cu_list_MM_nth_data(cu_list* node, int32_t n) { return cu_list_nth_data(node, n); }
int32_t cu_list_MM_length(cu_list* node) { return cu_list_length(node); }
cu_list* cu_list_MM_find(cu_list* node, const void* data) { return cu_list_find(node, data); }
int32_t cu_list_MM_index(cu_list* node, const void* data) { return cu_list_index(node, data); }
int32_t cu_list_MM_position(cu_list* node, const cu_list* target) { return cu_list_position(node, target); }
cu_list* cu_list_MM_find_custom(cu_list* node, cu_list_if_fn fn, void* arg) {
  return cu_list_find_custom(node, fn, arg);
}
void cu_list_MM_foreach(cu_list* node, cu_list_fn fn, void* arg) { cu_list_foreach(node, fn, arg); }
void cu_list_MM_foreach_if(cu_list* node, cu_list_if_fn fn, void* arg) { cu_list_foreach_if(node, fn, arg); }
cu_list* cu_list_MM_reverse(cu_list* node) { return cu_list_reverse(node); }
cu_list* cu_list_MM_concat(cu_list* a, cu_list* b) { return cu_list_concat(a, b); }
cu_list* cu_list_MM_remove_link_only(cu_list* head, cu_list* node) { return cu_list_remove_link_only(head, node); }
cu_list* cu_list_MM_insert_link_sorted(cu_list* head, cu_list* node, cu_list_compare_fn compare) {
  return cu_list_insert_link_sorted(head, node, compare);
}
cu_list* cu_list_MM_sort(cu_list* head, cu_list_compare_fn compare) { return cu_list_sort(head, compare); }
cu_list* cu_list_MM_sort_merge(cu_list* a, cu_list* b, cu_list_compare_fn compare) {
  return cu_list_sort_merge(a, b, compare);
}
void cu_list_MM_print(cu_list* head, cu_list_fn fn) { cu_list_print(head, fn); }

// Allocating members, process allocator.
cu_list* cu_list_new(void) { return NodeSource{}.make(nullptr); }
cu_list* cu_list_append(cu_list* head, void* data) { return append(head, data, NodeSource{}); }
cu_list* cu_list_insert_last(cu_list* head, void* data) { return append(head, data, NodeSource{}); }

bool cu_list_append_s(cu_list** head, void* data) {
  return cu_list_MM_append_s(head, data, nullptr, nullptr);
}
bool cu_list_insert_last_s(cu_list** head, void* data) { return cu_list_append_s(head, data); }
cu_list* cu_list_prepend(cu_list* node, void* data) { return prepend(node, data, NodeSource{}); }
bool cu_list_prepend_s(cu_list** head, void* data) { return cu_list_MM_prepend_s(head, data, nullptr, nullptr); }
cu_list* cu_list_insert(cu_list* head, void* data, int32_t position) {
  return cu_list_MM_insert(head, data, position, nullptr, nullptr);
}
bool cu_list_insert_s(cu_list** head, void* data, int32_t position) {
  return cu_list_MM_insert_s(head, data, position, nullptr, nullptr);
}
cu_list* cu_list_insert_first(cu_list* node, void* data) { return insert_first(node, data, NodeSource{}); }
bool cu_list_insert_first_s(cu_list** head, void* data) {
  return cu_list_MM_insert_first_s(head, data, nullptr, nullptr);
}
cu_list* cu_list_insert_sorted(cu_list* head, void* data, cu_list_compare_fn compare) {
  return cu_list_MM_insert_sorted(head, data, compare, nullptr, nullptr);
}
bool cu_list_insert_sorted_s(cu_list** head, void* data, cu_list_compare_fn compare) {
  return cu_list_MM_insert_sorted_s(head, data, compare, nullptr, nullptr);
}
cu_list* cu_list_copy(cu_list* node) { return copy(node, NodeSource{}); }
cu_list* cu_list_remove(cu_list* head, const void* data, cu_list_destroy_fn destroy, void* arg) {
  return cu_list_MM_remove(head, data, destroy, arg, nullptr, nullptr);
}
cu_list* cu_list_nth_remove(cu_list* head, int32_t n, cu_list_destroy_fn destroy, void* arg) {
  return nth_remove(head, n, destroy, arg, NodeSource{});
}
cu_list* cu_list_remove_all(cu_list* head, const void* data, cu_list_destroy_fn destroy, void* arg) {
  return remove_all(head, data, destroy, arg, NodeSource{});
}
cu_list* cu_list_delete_link_only(cu_list* head, cu_list* node) {
  return cu_list_MM_delete_link_only(head, node, nullptr, nullptr);
}
void cu_list_free_all(cu_list* node, cu_list_destroy_fn destroy, void* arg) { cu_list__free_all(node, destroy, arg); }
void cu_list_destroy_all(cu_list* node, cu_list_destroy_fn destroy, void* arg) {
  cu_list__free_all(node, destroy, arg);
}
cu_list* cu_list_sort2(cu_list* head, cu_list_compare_fn compare) {
  return compare ? natural_sort(head, compare, NodeSource{}) : head;
}

// Allocating members, caller's node source.
cu_list* cu_list_MM_new(cu_list_node_alloc_fn node_alloc, void* pool) {
  return allocating(node_alloc, pool).make(nullptr);
}
cu_list* cu_list_MM_append(cu_list* head, void* data, cu_list_node_alloc_fn node_alloc, void* pool) {
  return append(head, data, allocating(node_alloc, pool));
}
cu_list* cu_list_MM_insert_last(cu_list* head, void* data, cu_list_node_alloc_fn node_alloc, void* pool) {
  return append(head, data, allocating(node_alloc, pool));
}

bool cu_list_MM_append_s(cu_list** head, void* data, cu_list_node_alloc_fn node_alloc, void* pool) {
  if (!head) return false;
  bool ok = false;
  *head = insert_at(*head, data, -1, allocating(node_alloc, pool), &ok);
  return ok;
}
bool cu_list_MM_insert_last_s(cu_list** head, void* data, cu_list_node_alloc_fn node_alloc, void* pool) {
  return cu_list_MM_append_s(head, data, node_alloc, pool);
}
cu_list* cu_list_MM_prepend(cu_list* node, void* data, cu_list_node_alloc_fn node_alloc, void* pool) {
  return prepend(node, data, allocating(node_alloc, pool));
}

bool cu_list_MM_prepend_s(cu_list** head, void* data, cu_list_node_alloc_fn node_alloc, void* pool) {
  if (!head) return false;
  cu_list* fresh = prepend(*head, data, allocating(node_alloc, pool));
  if (!fresh || fresh == *head) return false;
  *head = fresh;
  return true;
}

cu_list* cu_list_MM_insert(cu_list* head, void* data, int32_t position, cu_list_node_alloc_fn node_alloc,
                           void* pool) {
  bool ok = false;
  return insert_at(head, data, position, allocating(node_alloc, pool), &ok);
}

bool cu_list_MM_insert_s(cu_list** head, void* data, int32_t position, cu_list_node_alloc_fn node_alloc,
                         void* pool) {
  if (!head) return false;
  bool ok = false;
  *head = insert_at(*head, data, position, allocating(node_alloc, pool), &ok);
  return ok;
}

cu_list* cu_list_MM_insert_first(cu_list* node, void* data, cu_list_node_alloc_fn node_alloc, void* pool) {
  return insert_first(node, data, allocating(node_alloc, pool));
}

bool cu_list_MM_insert_first_s(cu_list** head, void* data, cu_list_node_alloc_fn node_alloc, void* pool) {
  if (!head) return false;
  cu_list* fresh = insert_first(*head, data, allocating(node_alloc, pool));
  if (!fresh || fresh == *head) return false;
  *head = fresh;
  return true;
}

cu_list* cu_list_MM_insert_sorted(cu_list* head, void* data, cu_list_compare_fn compare,
                                  cu_list_node_alloc_fn node_alloc, void* pool) {
  bool ok = false;
  return insert_sorted(head, data, compare, allocating(node_alloc, pool), &ok);
}

bool cu_list_MM_insert_sorted_s(cu_list** head, void* data, cu_list_compare_fn compare,
                                cu_list_node_alloc_fn node_alloc, void* pool) {
  if (!head) return false;
  bool ok = false;
  *head = insert_sorted(*head, data, compare, allocating(node_alloc, pool), &ok);
  return ok;
}

cu_list* cu_list_MM_copy(cu_list* node, cu_list_node_alloc_fn node_alloc, void* pool) {
  // Without a releaser the nodes of a partial copy stay with the caller's pool.
  return copy(node, allocating(node_alloc, pool));
}

cu_list* cu_list_MM_remove(cu_list* head, const void* data, cu_list_destroy_fn destroy, void* arg,
                           cu_list_node_free_fn node_free, void* pool) {
  cu_list* node = find_data(head, data);
  return node ? remove_node(head, node, destroy, arg, releasing(node_free, pool)) : head;
}

cu_list* cu_list_MM_nth_remove(cu_list* head, int32_t n, cu_list_destroy_fn destroy, void* arg,
                               cu_list_node_free_fn node_free, void* pool) {
  return nth_remove(head, n, destroy, arg, releasing(node_free, pool));
}

cu_list* cu_list_MM_remove_all(cu_list* head, const void* data, cu_list_destroy_fn destroy, void* arg,
                               cu_list_node_free_fn node_free, void* pool) {
  return remove_all(head, data, destroy, arg, releasing(node_free, pool));
}

cu_list* cu_list_MM_delete_link_only(cu_list* head, cu_list* node, cu_list_node_free_fn node_free, void* pool) {
  return node ? remove_node(head, node, nullptr, nullptr, releasing(node_free, pool)) : head;
}

void cu_list_MM_free_all(cu_list* node, cu_list_destroy_fn destroy, void* arg, cu_list_node_free_fn node_free,
                         void* pool) {
  cu_list_MM__free_all(node, destroy, arg, node_free, pool);
}

void cu_list_MM_destroy_all(cu_list* node, cu_list_destroy_fn destroy, void* arg, cu_list_node_free_fn node_free,
                            void* pool) {
  cu_list_MM__free_all(node, destroy, arg, node_free, pool);
}

cu_list* cu_list_MM_sort2(cu_list* head, cu_list_compare_fn compare, cu_list_node_alloc_fn node_alloc,
                          cu_list_node_free_fn node_free, void* pool) {
  // Records made by the process allocator go back to it, whatever releaser is given.
  NodeSource records{node_alloc, node_alloc ? node_free : nullptr, pool};
  return compare ? natural_sort(head, compare, records) : head;
}
