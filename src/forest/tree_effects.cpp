#include <algorithm>
#include <optional>
#include <utility>
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

void leaves_by_partition(const TreeRecord& tree, const DataMatrix& data,
                         std::vector<std::uint64_t>& leaves) {
  Partition partition = Partition::for_rows(data.n_rows(), tree.n_nodes());
  route_rows(tree, partition, data);
  leaves.assign(data.n_rows(), 0);
  for (std::uint64_t node = 0; node < tree.n_nodes(); ++node) {
    if (tree.left_children[node]) continue;
    for (RowId row : partition.node_range(node)) leaves[row] = node;
  }
}

}  // namespace

void collect_leaf_effects(const TreeRecord& tree, TreeRouting& routing) {
  routing.effects.clear();
  routing.effect_offset.assign(tree.n_nodes(), 0);
  std::optional<std::size_t> width;
  for (std::uint64_t node = 0; node < tree.n_nodes(); ++node) {
    if (!tree.is_leaf(node)) continue;
    const std::vector<float> effect = tree.leaf_effect(node);
    if (!width) {
      width = effect.size();
    } else if (effect.size() != *width) {
      fail("leaves of one tree give effects of different lengths");
    }
    routing.effect_offset[node] = routing.effects.size();
    routing.effects.insert(routing.effects.end(), effect.begin(), effect.end());
  }
  routing.width = width.value_or(0);
}

void route_tree(const TreeLearner& learner, const DataMatrix& data, TreeRouting& routing) {
  const TreeRecord& tree = learner.tree;
  routing.by_partition = true;
  leaves_by_partition(tree, data, routing.leaves);
  collect_leaf_effects(tree, routing);
}

}  // namespace quorvanta
