#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "common/fault.hpp"
#include "data/bin.hpp"
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

// One node of a tree in the form the row-by-row walk reads. A row goes left when its bin, minus
// `low`, is at most `span` as a byte: numeric splits take bins 0..b, categorical ones b..b, and a
// missing bin (255) never fits since b <= 254. A leaf sends every row to itself.
struct RoutingNode {
  std::uint64_t left = 0;
  std::uint64_t right = 0;
  const std::uint8_t* bins = nullptr;
  std::uint8_t low = 0;
  std::uint8_t span = 255;
};

std::vector<RoutingNode> routing_nodes(const TreeRecord& tree, const DataMatrix& data) {
  std::vector<RoutingNode> nodes(tree.n_nodes());
  for (std::uint64_t node = 0; node < tree.n_nodes(); ++node) {
    RoutingNode& at = nodes[node];
    if (!tree.left_children[node]) {
      at = {node, node, data.x.front().data(), 0, 255};
      continue;
    }
    const SplitInfo& split = *tree.split[node];
    // A numeric split bin of 255 sends every present bin left, as 254 does; missing still goes
    // right. A categorical one equals no present bin, so every row goes right.
    const std::uint8_t split_bin = std::min<std::uint8_t>(split.value->front(), 254);
    at.right = *tree.right_children[node];
    at.left = split.iscat && split.value->front() == kMissingBin ? at.right
                                                                 : *tree.left_children[node];
    at.bins = data.x[split.feature_id].data();
    at.low = split.iscat ? split_bin : 0;
    at.span = split.iscat ? 0 : split_bin;
  }
  return nodes;
}

// Longest path from the root, in edges.
std::size_t tree_depth(const TreeRecord& tree) {
  std::size_t depth = 0;
  std::vector<std::pair<std::uint64_t, std::size_t>> pending{{0, 0}};
  while (!pending.empty()) {
    const auto [node, level] = pending.back();
    pending.pop_back();
    depth = std::max(depth, level);
    if (!tree.left_children[node]) continue;
    pending.emplace_back(*tree.left_children[node], level + 1);
    pending.emplace_back(*tree.right_children[node], level + 1);
  }
  return depth;
}

// The leaf of every row. Shallow trees take every row through the same number of steps (leaves
// keep a row where it is), which needs no data-dependent branch; deep ones stop at each leaf.
void leaves_row_by_row(const TreeRecord& tree, const DataMatrix& data,
                       std::vector<std::uint64_t>& leaves) {
  constexpr std::size_t kMaxBranchFreeDepth = 32;
  const std::vector<RoutingNode> nodes = routing_nodes(tree, data);
  const auto next = [&nodes](std::uint64_t node, std::size_t row) {
    const RoutingNode& at = nodes[node];
    const std::uint8_t offset = static_cast<std::uint8_t>(at.bins[row] - at.low);
    // Arithmetic select: the direction is as unpredictable as the data, so no branch on it.
    const std::uint64_t go_right = offset > at.span;
    return at.left + ((at.right - at.left) & (0 - go_right));
  };
  leaves.assign(data.n_rows(), 0);
  const std::size_t depth = tree_depth(tree);
  if (depth <= kMaxBranchFreeDepth) {
    for (std::size_t step = 0; step < depth; ++step) {
      for (std::size_t row = 0; row < leaves.size(); ++row) leaves[row] = next(leaves[row], row);
    }
    return;
  }
  for (std::size_t row = 0; row < leaves.size(); ++row) {
    std::uint64_t node = 0;
    while (tree.left_children[node]) node = next(node, row);
    leaves[row] = node;
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
  routing.by_partition = !routes_row_by_row(tree, data);
  if (routing.by_partition) {
    leaves_by_partition(tree, data, routing.leaves);
  } else {
    leaves_row_by_row(tree, data, routing.leaves);
  }
  collect_leaf_effects(tree, routing);
}

}  // namespace quorvanta
