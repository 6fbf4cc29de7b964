// Test helper: walks a threaded tree and checks every invariant (order, balances, threads,
// node count); answers an empty string when all hold.
#pragma once
#include <string>
#include <vector>

#include "cu_xtree.h"

namespace tree_check {

struct Walk {
  const cu_xtree* tree;
  std::vector<cu_xtree_node*> order;
  std::string error;
};

// Height of the subtree at n; records faults in w.error.
inline int subtree(Walk& w, cu_xtree_node* n, cu_xtree_node* pred, cu_xtree_node* succ) {
  int hl = 0, hr = 0;
  if (n->is_child[0])
    hl = subtree(w, n->link[0], pred, n);
  else if (n->link[0] != pred)
    w.error = "left thread is not the in-order predecessor";
  w.order.push_back(n);
  if (n->is_child[1])
    hr = subtree(w, n->link[1], n, succ);
  else if (n->link[1] != succ)
    w.error = "right thread is not the in-order successor";
  if (n->balance != hr - hl) w.error = "stored balance differs from the heights";
  if (hr - hl > 1 || hr - hl < -1) w.error = "node out of balance";
  return 1 + (hl > hr ? hl : hr);
}

inline std::string check(const cu_xtree* tree, int* height = nullptr) {
  Walk w{tree, {}, {}};
  const int h = tree->root ? subtree(w, tree->root, nullptr, nullptr) : 0;
  if (height) *height = h;
  if (!w.error.empty()) return w.error;
  if (static_cast<int>(w.order.size()) != tree->count) return "node count differs from the nodes";
  for (size_t i = 1; i < w.order.size(); ++i)
    if (tree->compare(w.order[i - 1]->key, w.order[i]->key, tree->compare_data) <= 0)
      return "in-order keys not strictly ascending";
  return "";
}

}  // namespace tree_check
