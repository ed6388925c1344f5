#include <algorithm>
#include <vector>

#include "common/fault.hpp"
#include "forest/effect_sum.hpp"
#include "tree/partition.hpp"

namespace quorvanta {
namespace {

// Routes every row to its leaf by partitioning node ranges. The walk keeps its own stack, left
// subtree before right, so a deep tree cannot exhaust the thread's stack.
void route_rows(const TreeRecord& tree, Partition& partition, const DataMatrix& data) {
  std::vector<std::uint64_t> pending{0};
  while (!pending.empty()) {
    std::uint64_t node = pending.back();
    pending.pop_back();
    while (!tree.is_leaf(node)) {
      const std::uint64_t left = *tree.left_children[node];
      const std::uint64_t right = unwrap(tree.right_children[node]);
      const SplitInfo& split = unwrap(tree.split[node]);
      const std::uint64_t n_left = partition_node(partition, split, data);
      partition.set_children(node, left, right, n_left);
      const std::uint64_t n_rows = partition.lengths[node];
      if (n_left == n_rows) {
        node = left;  // the right child has no rows
        if (n_left == 0) break;
        continue;
      }
      if (n_left > 0) {
        pending.push_back(right);
        node = left;
      } else {
        node = right;
      }
    }
  }
}

}  // namespace

EffectSum tree_effects(const TreeLearner& learner, const DataMatrix& data) {
  const std::size_t n_rows = data.n_rows();
  const TreeRecord& tree = learner.tree;
  Partition partition = Partition::for_rows(n_rows, tree.n_nodes());
  route_rows(tree, partition, data);

  EffectSum sum;
  sum.n_rows_ = n_rows;
  bool width_known = false;
  for (std::uint64_t node = 0; node < tree.n_nodes(); ++node) {
    if (!tree.is_leaf(node)) continue;
    const std::vector<float> effect = tree.leaf_effect(node);
    if (!width_known) {
      width_known = true;
      sum.stride_ = sum.width_ = effect.size();
      sum.values_.assign(n_rows * effect.size(), 0.0f);
    } else if (effect.size() != sum.width_) {
      fail("leaves of one tree give effects of different lengths");
    }
    for (RowId row : partition.node_range(node)) {
      std::copy(effect.begin(), effect.end(), sum.row(row));
    }
  }
  return sum;
}

}  // namespace quorvanta
