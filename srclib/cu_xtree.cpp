#include "cu_xtree.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cu_malloc.h"
#include "cu_mem_internal.h"
#include "cu_xtree_internal.h"

static_assert(sizeof(cu_xtree_node) == 40, "a range node plus its range must stay a 56-byte request");
static_assert(sizeof(cu_xtree) == 88, "the tree record is an 88-byte request");

namespace {
constexpr char kUnit[] = "srclib\\cu_xtree";
// Far above the height of any tree whose count fits in 32 bits (about 45).
constexpr int kMaxPath = 66;
constexpr int kLeft = 0;
constexpr int kRight = 1;

using Node = cu_xtree_node;

struct Path {
  Node* node[kMaxPath];
  uint8_t dir[kMaxPath];
  int depth = 0;

  void push(Node* n, int d) {
    if (depth == kMaxPath) vor::xtree::assert_failed(kUnit, __LINE__);
    node[depth] = n;
    dir[depth] = static_cast<uint8_t>(d);
    ++depth;
  }
};

void* tree_alloc(cu_xtree* tree, size_t size) {
  if (tree->allocate) return tree->allocate(tree->context, size);
  return _cu_malloc(size, kUnit, __LINE__);
}

void tree_release(cu_xtree* tree, void* block) {
  if (tree->release)
    tree->release(tree->context, block);
  else
    _cu_free(block, kUnit, __LINE__);
}

Node* leftmost(Node* n) {
  while (n->is_child[kLeft]) n = n->link[kLeft];
  return n;
}

Node* rightmost(Node* n) {
  while (n->is_child[kRight]) n = n->link[kRight];
  return n;
}

Node* first_node(const cu_xtree* tree) { return tree->root ? leftmost(tree->root) : nullptr; }

Node* next_node(Node* n) {
  if (!n->is_child[kRight]) return n->link[kRight];
  return leftmost(n->link[kRight]);
}

int side_of(int64_t order) { return order < 0 ? kLeft : kRight; }

// Rotations keep the threads: a link that stops being a child keeps pointing at the node that
// is now its in-order neighbour.
Node* rotate_left(Node* a) {
  Node* r = a->link[kRight];
  const int ab = a->balance;
  const int rb = r->balance;
  if (r->is_child[kLeft]) {
    a->link[kRight] = r->link[kLeft];
  } else {
    a->is_child[kRight] = 0;
    r->is_child[kLeft] = 1;
  }
  r->link[kLeft] = a;
  const int na = ab - 1 - (rb > 0 ? rb : 0);
  const int nr = rb - 1 + (na < 0 ? na : 0);
  a->balance = static_cast<int8_t>(na);
  r->balance = static_cast<int8_t>(nr);
  return r;
}

Node* rotate_right(Node* a) {
  Node* l = a->link[kLeft];
  const int ab = a->balance;
  const int lb = l->balance;
  if (l->is_child[kRight]) {
    a->link[kLeft] = l->link[kRight];
  } else {
    a->is_child[kLeft] = 0;
    l->is_child[kRight] = 1;
  }
  l->link[kRight] = a;
  const int na = ab + 1 - (lb < 0 ? lb : 0);
  const int nl = lb + 1 + (na > 0 ? na : 0);
  a->balance = static_cast<int8_t>(na);
  l->balance = static_cast<int8_t>(nl);
  return l;
}

// Restores the balance of a node at -2 or +2; answers the node now in its place.
Node* rebalance(Node* n) {
  if (n->balance < -1) {
    if (n->link[kLeft]->balance > 0) n->link[kLeft] = rotate_left(n->link[kLeft]);
    return rotate_right(n);
  }
  if (n->link[kRight]->balance < 0) n->link[kRight] = rotate_right(n->link[kRight]);
  return rotate_left(n);
}

// Puts replacement where path entry `at` (the parent; -1 for the root) linked to old.
void relink(cu_xtree* tree, const Path& path, int at, Node* old, Node* replacement) {
  if (at < 0) {
    if (tree->root != old) vor::xtree::assert_failed(kUnit, __LINE__);
    tree->root = replacement;
    return;
  }
  Node* parent = path.node[at];
  const int d = path.dir[at];
  if (!parent->is_child[d] || parent->link[d] != old) vor::xtree::assert_failed(kUnit, __LINE__);
  parent->link[d] = replacement;
}

Node* make_node(cu_xtree* tree, void* key, void* value, const CuTreeKeyCopy* copy) {
  const size_t extra = copy ? copy->size : 0;
  auto* n = static_cast<Node*>(tree_alloc(tree, sizeof(Node) + extra));
  if (!n) return nullptr;
  n->key = key;
  if (copy) {
    std::memcpy(n + 1, copy->bytes, extra);
    n->key = n + 1;
  }
  n->value = value;
  n->link[kLeft] = n->link[kRight] = nullptr;
  n->is_child[kLeft] = n->is_child[kRight] = 0;
  n->balance = 0;
  return n;
}

void update_equal(cu_xtree* tree, Node* n, void* key, void* value, bool replace, bool key_copied) {
  if (tree->value_destroy) tree->value_destroy(n->value, tree->value_destroy_data);
  n->value = value;
  if (replace && !key_copied) {
    if (tree->key_destroy) tree->key_destroy(n->key, tree->key_destroy_data);
    n->key = key;
  } else if (tree->key_destroy) {
    tree->key_destroy(key, tree->key_destroy_data);
  }
}

void grow_rebalance(cu_xtree* tree, Path& path) {
  for (int i = path.depth - 1; i >= 0; --i) {
    Node* y = path.node[i];
    y->balance = static_cast<int8_t>(y->balance + (path.dir[i] == kLeft ? -1 : 1));
    if (y->balance == 0) return;
    if (y->balance == 1 || y->balance == -1) continue;
    relink(tree, path, i - 1, y, rebalance(y));
    return;
  }
}

void shrink_rebalance(cu_xtree* tree, Path& path) {
  for (int i = path.depth - 1; i >= 0; --i) {
    Node* y = path.node[i];
    y->balance = static_cast<int8_t>(y->balance + (path.dir[i] == kLeft ? 1 : -1));
    if (y->balance == 1 || y->balance == -1) return;
    if (y->balance == 0) continue;
    Node* w = rebalance(y);
    relink(tree, path, i - 1, y, w);
    if (w->balance != 0) return;
  }
}

// Unlinks n (found at the end of path) and leaves in path the nodes whose side shrank.
void unlink_node(cu_xtree* tree, Path& path, Node* n) {
  const int parent = path.depth - 1;
  if (!n->is_child[kRight]) {
    if (n->is_child[kLeft]) {
      rightmost(n->link[kLeft])->link[kRight] = n->link[kRight];
      relink(tree, path, parent, n, n->link[kLeft]);
    } else if (parent < 0) {
      tree->root = nullptr;
    } else {
      Node* p = path.node[parent];
      const int d = path.dir[parent];
      if (!p->is_child[d] || p->link[d] != n) vor::xtree::assert_failed(kUnit, __LINE__);
      p->link[d] = n->link[d];
      p->is_child[d] = 0;
    }
    return;
  }
  Node* r = n->link[kRight];
  if (!r->is_child[kLeft]) {
    // r is n's successor: it takes n's left side and n's place.
    r->link[kLeft] = n->link[kLeft];
    r->is_child[kLeft] = n->is_child[kLeft];
    if (r->is_child[kLeft]) rightmost(n->link[kLeft])->link[kRight] = r;
    r->balance = n->balance;
    relink(tree, path, parent, n, r);
    path.push(r, kRight);
    return;
  }
  const int slot = path.depth;
  path.push(nullptr, kRight);
  Node* sp = r;
  Node* s;
  for (;;) {
    path.push(sp, kLeft);
    s = sp->link[kLeft];
    if (!s->is_child[kLeft]) break;
    sp = s;
  }
  if (s->is_child[kRight]) {
    sp->link[kLeft] = s->link[kRight];
  } else {
    sp->link[kLeft] = s;
    sp->is_child[kLeft] = 0;
  }
  s->link[kLeft] = n->link[kLeft];
  s->is_child[kLeft] = n->is_child[kLeft];
  if (s->is_child[kLeft]) rightmost(n->link[kLeft])->link[kRight] = s;
  s->link[kRight] = n->link[kRight];
  s->is_child[kRight] = 1;
  s->balance = n->balance;
  relink(tree, path, parent, n, s);
  path.node[slot] = s;
}

bool remove_key(cu_xtree* tree, void* key, bool steal) {
  if (!tree || !tree->root) return false;
  Path path;
  Node* n = tree->root;
  for (;;) {
    const int64_t order = tree->compare(n->key, key, tree->compare_data);
    if (order == 0) break;
    const int d = side_of(order);
    path.push(n, d);
    if (!n->is_child[d]) return false;
    n = n->link[d];
  }
  unlink_node(tree, path, n);
  shrink_rebalance(tree, path);
  if (!steal) {
    if (tree->key_destroy) tree->key_destroy(n->key, tree->key_destroy_data);
    if (tree->value_destroy) tree->value_destroy(n->value, tree->value_destroy_data);
  }
  tree_release(tree, n);
  --tree->count;
  return true;
}

// Recursive walk for cu_xtree_traverse; true when the callback asked to stop.
bool walk(Node* n, cu_xtree_walk_fn fn, int32_t type, void* data) {
  if (type == M_TRAVERSE_PRE_ORDER && fn(n->key, n->value, data) != 0) return true;
  if (n->is_child[kLeft] && walk(n->link[kLeft], fn, type, data)) return true;
  if (type == M_TRAVERSE_IN_ORDER && fn(n->key, n->value, data) != 0) return true;
  if (n->is_child[kRight] && walk(n->link[kRight], fn, type, data)) return true;
  return type == M_TRAVERSE_POST_ORDER && fn(n->key, n->value, data) != 0;
}

void release_all(cu_xtree* tree) {
  Node* n = first_node(tree);
  while (n) {
    Node* next = next_node(n);
    if (tree->key_destroy) tree->key_destroy(n->key, tree->key_destroy_data);
    if (tree->value_destroy) tree->value_destroy(n->value, tree->value_destroy_data);
    tree_release(tree, n);
    n = next;
  }
  tree->root = nullptr;
  tree->count = 0;
}

// Plain three-way order: a wrapping difference is not transitive for keys far apart.
int64_t compare_int32(void* node_key, void* key, void*) {
  const auto n = static_cast<int32_t>(reinterpret_cast<intptr_t>(node_key));
  const auto k = static_cast<int32_t>(reinterpret_cast<intptr_t>(key));
  return (k > n) - (k < n);
}

int64_t compare_text(void* node_key, void* key, void*) {
  if (node_key == key) return 0;
  if (!node_key || !key) return -1;
  const auto* n = static_cast<const unsigned char*>(node_key);
  const auto* k = static_cast<const unsigned char*>(key);
  for (;; ++n, ++k) {
    if (*n != *k) return *k < *n ? -1 : 1;
    if (*k == 0) return 0;
  }
}

void* int_key(int32_t key) { return reinterpret_cast<void*>(static_cast<intptr_t>(key)); }
void* text_key(const char* text) { return const_cast<char*>(text); }

bool insert_text(cu_stree* tree, const char* text, void* value) {
  const CuTreeKeyCopy copy{text, std::strlen(text) + 1};
  return vor::xtree::insert(tree, text_key(text), value, false, &copy);
}
}  // namespace

[[noreturn]] void vor::xtree::assert_failed(const char* unit, int line) {
  std::fprintf(stderr, "assert at '%s:%d'!\r\n", unit, line);
  std::fflush(stderr);
  std::exit(-1);
}

cu_xtree* vor::xtree::new_typed(cu_xtree_alloc_fn allocate, cu_xtree_release_fn release, void* context,
                                cu_xtree_compare_fn compare) {
  return cu_xtree_new_full(allocate, release, context, compare, nullptr, nullptr, nullptr, nullptr, nullptr);
}

cu_xtree* vor::xtree::new_in_arena(cu_mem* arena, cu_xtree_compare_fn compare) {
  if (!arena) return vor::xtree::new_typed(nullptr, nullptr, nullptr, compare);
  return vor::xtree::new_typed(cu_mem__alloc_from, cu_mem__free_to, arena, compare);
}

bool vor::xtree::insert(cu_xtree* tree, void* key, void* value, bool replace, const CuTreeKeyCopy* copy) {
  if (!tree) return false;
  if (!tree->root) {
    Node* n = make_node(tree, key, value, copy);
    if (!n) return false;
    tree->root = n;
    tree->count = 1;
    return true;
  }
  Path path;
  Node* n = tree->root;
  int d;
  for (;;) {
    const int64_t order = tree->compare(n->key, key, tree->compare_data);
    if (order == 0) {
      update_equal(tree, n, key, value, replace, copy != nullptr);
      return true;
    }
    d = side_of(order);
    path.push(n, d);
    if (!n->is_child[d]) break;
    n = n->link[d];
  }
  Node* q = make_node(tree, key, value, copy);
  if (!q) return false;
  q->link[d] = n->link[d];
  q->link[1 - d] = n;
  n->link[d] = q;
  n->is_child[d] = 1;
  ++tree->count;
  grow_rebalance(tree, path);
  return true;
}

cu_xtree_node* vor::xtree::lookup(cu_xtree* tree, void* key) {
  if (!tree) return nullptr;
  Node* n = tree->root;
  while (n) {
    const int64_t order = tree->compare(n->key, key, tree->compare_data);
    if (order == 0) return n;
    const int d = side_of(order);
    if (!n->is_child[d]) return nullptr;
    n = n->link[d];
  }
  return nullptr;
}

void vor::xtree::foreach_value(cu_xtree* tree, cu_tree_value_fn fn, void* arg) {
  if (!tree || !fn) return;
  for (Node* n = first_node(tree); n; n = next_node(n)) fn(n->value, arg);
}

void vor::xtree::foreach_value_if(cu_xtree* tree, cu_tree_value_if_fn fn, void* arg) {
  if (!tree || !fn) return;
  for (Node* n = first_node(tree); n; n = next_node(n))
    if (fn(n->value, arg) == 1) return;
}

bool vor::xtree::update(cu_xtree* tree, void* key, void* value) {
  Node* n = vor::xtree::lookup(tree, key);
  if (!n) return false;
  n->value = value;
  return true;
}

bool vor::xtree::delete_with(cu_xtree* tree, void* key, cu_tree_value_fn destroy, void* arg) {
  if (!destroy) return cu_xtree_delete(tree, key);
  Node* n = vor::xtree::lookup(tree, key);
  if (!n) return false;
  destroy(n->value, arg);
  return remove_key(tree, key, false);
}

// ---- core exports ----

cu_xtree* cu_xtree_new_full(cu_xtree_alloc_fn allocate, cu_xtree_release_fn release, void* context,
                            cu_xtree_compare_fn compare, void* compare_data, cu_xtree_destroy_fn key_destroy,
                            void* key_destroy_data, cu_xtree_destroy_fn value_destroy, void* value_destroy_data) {
  if (!compare || !allocate != !release) return nullptr;
  void* block = allocate ? allocate(context, sizeof(cu_xtree)) : _cu_malloc(sizeof(cu_xtree), kUnit, __LINE__);
  if (!block) return nullptr;
  auto* tree = static_cast<cu_xtree*>(block);
  *tree = cu_xtree{allocate,    release,          context,       nullptr,           0, compare, compare_data,
                   key_destroy, key_destroy_data, value_destroy, value_destroy_data};
  return tree;
}

cu_xtree* cu_xtree_new(cu_xtree_compare_fn compare) { return cu_xtree_new_with_data(compare, nullptr); }

cu_xtree* cu_xtree_new_with_data(cu_xtree_compare_fn compare, void* compare_data) {
  return cu_xtree_new_full(nullptr, nullptr, nullptr, compare, compare_data, nullptr, nullptr, nullptr, nullptr);
}

bool cu_xtree_insert(cu_xtree* tree, void* key, void* value) {
  return vor::xtree::insert(tree, key, value, false, nullptr);
}

bool cu_xtree_replace(cu_xtree* tree, void* key, void* value) {
  return vor::xtree::insert(tree, key, value, true, nullptr);
}

bool cu_xtree_delete(cu_xtree* tree, void* key) { return remove_key(tree, key, false); }

bool cu_xtree_steal(cu_xtree* tree, void* key) { return remove_key(tree, key, true); }

void* cu_xtree_find(cu_xtree* tree, void* key) {
  Node* n = vor::xtree::lookup(tree, key);
  return n ? n->value : nullptr;
}

bool cu_xtree_findx(cu_xtree* tree, void* key, void** key_out, void** value_out) {
  Node* n = vor::xtree::lookup(tree, key);
  if (!n) return false;
  if (key_out) *key_out = n->key;
  if (value_out) *value_out = n->value;
  return true;
}

void cu_xtree_foreach(cu_xtree* tree, cu_xtree_walk_fn fn, void* data) {
  if (!tree || !fn) return;
  for (Node* n = first_node(tree); n; n = next_node(n))
    if (fn(n->key, n->value, data) == 1) return;
}

void cu_xtree_traverse(cu_xtree* tree, cu_xtree_walk_fn fn, int32_t type, void* data) {
  if (!tree || !tree->root) return;
  if (type == M_TRAVERSE_LEVEL_ORDER) {
    std::fputs("cu_xtree_traverse(): traverse type M_TRAVERSE_LEVEL_ORDER isn't implemented.", stdout);
    std::fflush(stdout);
    return;
  }
  if (!fn || type < M_TRAVERSE_IN_ORDER || type > M_TRAVERSE_POST_ORDER) return;
  walk(tree->root, fn, type, data);
}

void* cu_xtree_search(cu_xtree* tree, cu_xtree_compare_fn fn, void* data) {
  if (!tree || !fn) return nullptr;
  Node* n = tree->root;
  while (n) {
    const int64_t order = fn(n->key, nullptr, data);
    if (order == 0) return n->value;
    const int d = side_of(order);
    if (!n->is_child[d]) return nullptr;
    n = n->link[d];
  }
  return nullptr;
}

int32_t cu_xtree_height(cu_xtree* tree) {
  if (!tree) return 0;
  int32_t height = 0;
  for (Node* n = tree->root; n; n = n->is_child[kLeft] ? n->link[kLeft] : nullptr)
    height += 1 + (n->balance > 0 ? n->balance : 0);
  return height;
}

int32_t cu_xtree_nnodes(cu_xtree* tree) { return tree ? tree->count : 0; }

void cu_xtree_empty(cu_xtree* tree) {
  if (tree) release_all(tree);
}

void cu_xtree_destroy(cu_xtree* tree) {
  if (!tree) return;
  release_all(tree);
  tree_release(tree, tree);
}

// ---- cu_itree ----

CU_TREE_FAMILY_SHARED(cu_itree)

cu_itree* cu_itree_mallocxx(cu_xtree_alloc_fn allocate, cu_xtree_release_fn release, void* context) {
  return vor::xtree::new_typed(allocate, release, context, compare_int32);
}

cu_itree* cu_itree_mallocx(cu_mem* arena) { return vor::xtree::new_in_arena(arena, compare_int32); }

cu_itree* cu_itree_malloc(void) { return cu_itree_mallocxx(nullptr, nullptr, nullptr); }

bool cu_itree_insert(cu_itree* tree, int32_t key, void* value) {
  return vor::xtree::insert(tree, int_key(key), value, false, nullptr);
}

bool cu_itree_update(cu_itree* tree, int32_t key, void* value) { return vor::xtree::update(tree, int_key(key), value); }

bool cu_itree_find(cu_itree* tree, int32_t key, void** value_out) {
  return cu_xtree_findx(tree, int_key(key), nullptr, value_out);
}

bool cu_itree_deletex(cu_itree* tree, int32_t key, cu_tree_value_fn destroy, void* arg) {
  return vor::xtree::delete_with(tree, int_key(key), destroy, arg);
}

bool cu_itree_delete(cu_itree* tree, int32_t key) { return cu_xtree_delete(tree, int_key(key)); }

// ---- cu_stree ----

CU_TREE_FAMILY_SHARED(cu_stree)

cu_stree* cu_stree_mallocxx(cu_xtree_alloc_fn allocate, cu_xtree_release_fn release, void* context) {
  return vor::xtree::new_typed(allocate, release, context, compare_text);
}

cu_stree* cu_stree_mallocx(cu_mem* arena) { return vor::xtree::new_in_arena(arena, compare_text); }

cu_stree* cu_stree_malloc(void) { return cu_stree_mallocxx(nullptr, nullptr, nullptr); }

bool cu_stree_insert(cu_stree* tree, const char* text, void* value) {
  if (!tree || !text) return false;
  return insert_text(tree, text, value);
}

bool cu_stree_insertx(cu_stree* tree, const char* text, int32_t len, void* value) {
  if (!tree || !text || len < 0) return false;
  // text need not be terminated within len bytes: nothing at or past len is read.
  const size_t cut = strnlen(text, static_cast<size_t>(len));
  if (cut < static_cast<size_t>(len)) return insert_text(tree, text, value);
  // The node is placed and found by the key it stores, never by the longer text.
  const std::string key(text, cut);
  return insert_text(tree, key.c_str(), value);
}

bool cu_stree_update(cu_stree* tree, const char* text, void* value) {
  return text && vor::xtree::update(tree, text_key(text), value);
}

bool cu_stree_find(cu_stree* tree, const char* text, void** value_out) {
  return text && cu_xtree_findx(tree, text_key(text), nullptr, value_out);
}

bool cu_stree_deletex(cu_stree* tree, const char* text, cu_tree_value_fn destroy, void* arg) {
  if (!text) return false;
  return vor::xtree::delete_with(tree, text_key(text), destroy, arg);
}

bool cu_stree_delete(cu_stree* tree, const char* text) {
  if (!text) return false;
  return cu_xtree_delete(tree, text_key(text));
}
