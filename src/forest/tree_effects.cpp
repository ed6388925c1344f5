#include <algorithm>
#include <optional>
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

// True when every internal node can route a row: its split is its own, has a split bin and a
// feature of the data, and the right child exists. Then sending rows down one at a time puts every
// row in the leaf that partitioning the node ranges would, and no routing step can fail. Trained
// trees always qualify; only a damaged model file may not. Children that point forward also
// guarantee that the walk ends.
bool points_forward(std::uint64_t node, std::uint64_t child, std::size_t n_nodes) {
  return child > node && child < n_nodes;
}

bool routes_row_by_row(const TreeRecord& tree, const DataMatrix& data) {
  const std::size_t n_rows = data.n_rows();
  for (const std::vector<std::uint8_t>& column : data.x) {
    if (column.size() != n_rows) return false;
  }
  for (std::uint64_t node = 0; node < tree.n_nodes(); ++node) {
    if (!tree.left_children[node]) continue;
    const std::optional<SplitInfo>& split = tree.split[node];
    if (!split || split->node_id != node || !split->value || split->value->empty() ||
        split->feature_id >= data.x.size() || !tree.right_children[node] ||
        !points_forward(node, *tree.left_children[node], tree.n_nodes()) ||
        !points_forward(node, *tree.right_children[node], tree.n_nodes())) {
      return false;
    }
  }
  return true;
}

// One node of a tree in the form the row-by-row walk reads.
struct RoutingNode {
  std::uint64_t left = 0;  // 0: a leaf (no node has the root as child)
  std::uint64_t right = 0;
  const std::uint8_t* bins = nullptr;
  std::uint8_t split_bin = 0;
  bool iscat = false;
};

// The leaf of every row.
std::vector<std::uint64_t> leaves_row_by_row(const TreeRecord& tree, const DataMatrix& data) {
  std::vector<RoutingNode> nodes(tree.n_nodes());
  for (std::uint64_t node = 0; node < tree.n_nodes(); ++node) {
    if (!tree.left_children[node]) continue;
    const SplitInfo& split = *tree.split[node];
    nodes[node] = {*tree.left_children[node], *tree.right_children[node],
                   data.x[split.feature_id].data(), split.value->front(), split.iscat};
  }
  std::vector<std::uint64_t> leaves(data.n_rows());
  for (std::size_t row = 0; row < leaves.size(); ++row) {
    std::uint64_t node = 0;
    while (nodes[node].left != 0) {
      const RoutingNode& at = nodes[node];
      node = goes_left(at.iscat, at.split_bin, at.bins[row]) ? at.left : at.right;
    }
    leaves[row] = node;
  }
  return leaves;
}

std::vector<std::uint64_t> leaves_by_partition(const TreeRecord& tree, const DataMatrix& data) {
  Partition partition = Partition::for_rows(data.n_rows(), tree.n_nodes());
  route_rows(tree, partition, data);
  std::vector<std::uint64_t> leaves(data.n_rows());
  for (std::uint64_t node = 0; node < tree.n_nodes(); ++node) {
    if (tree.left_children[node]) continue;
    for (RowId row : partition.node_range(node)) leaves[row] = node;
  }
  return leaves;
}

}  // namespace

EffectSum tree_effects(const TreeLearner& learner, const DataMatrix& data) {
  const std::size_t n_rows = data.n_rows();
  const TreeRecord& tree = learner.tree;
  const std::vector<std::uint64_t> leaves = routes_row_by_row(tree, data)
                                                ? leaves_row_by_row(tree, data)
                                                : leaves_by_partition(tree, data);

  // Every leaf's effect, also of leaves no row reaches, in node order.
  std::vector<float> effects;
  std::vector<std::size_t> effect_offset(tree.n_nodes(), 0);
  std::optional<std::size_t> width;
  for (std::uint64_t node = 0; node < tree.n_nodes(); ++node) {
    if (!tree.is_leaf(node)) continue;
    const std::vector<float> effect = tree.leaf_effect(node);
    if (!width) {
      width = effect.size();
    } else if (effect.size() != *width) {
      fail("leaves of one tree give effects of different lengths");
    }
    effect_offset[node] = effects.size();
    effects.insert(effects.end(), effect.begin(), effect.end());
  }

  EffectSum sum;
  sum.n_rows_ = n_rows;
  sum.stride_ = sum.width_ = width.value_or(0);
  sum.values_.resize(n_rows * sum.width_);
  for (std::size_t row = 0; row < n_rows; ++row) {
    const float* effect = effects.data() + effect_offset[leaves[row]];
    std::copy(effect, effect + sum.width_, sum.row(row));
  }
  return sum;
}

}  // namespace quorvanta
