#include "tree/tree_learner.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "common/fault.hpp"

namespace quorvanta {

TreeLearner TreeLearner::create(ModelKind kind, const TreeConfig& config) {
  TreeLearner learner;
  learner.kind = kind;
  learner.config = config;
  learner.max_features = config.max_features;
  learner.max_depth = config.max_depth;
  learner.kl_params = KlCriterionParams{config.min_samples_leaf, config.min_samples_treatment,
                                        config.n_reg, config.alpha, config.normalization};
  learner.regression_params = RegressionCriterionParams{config.min_samples_leaf,
                                                        config.min_samples_treatment, config.alpha};
  return learner;
}

SplitInfo best_split(const TreeLearner& learner, const DataMatrix& data, std::uint64_t node,
                     std::uint64_t feature, std::span<const RowId> rows) {
  if (learner.kind == ModelKind::Classification) {
    return kl_best_split(learner.kl_params, data, node, feature, rows);
  }
  return regression_best_split(learner.regression_params, data, node, feature, rows);
}

namespace {

// Keeps `candidate` only if it beats `best`: a present split beats an absent one, a larger gain
// beats a smaller one, and equal gains (or NaN) keep the earlier feature.
void keep_better(std::optional<SplitInfo>& best, SplitInfo&& candidate) {
  if (!best) {
    best = std::move(candidate);
  } else if (!candidate.value) {
    return;
  } else if (!best->value || candidate.gain > best->gain) {
    best = std::move(candidate);
  }
}

// Grows one node: draws its features, stores its best split and, when it is split, creates its
// two children. Returns true when the node got children.
template <class Search>
bool grow_node(TreeLearner& learner, std::uint64_t node, const DataMatrix& data, SharedRng& rng,
               const Search& search) {
  const std::uint64_t n_features = data.x.size();
  const std::vector<std::uint64_t> features =
      rng.sample_indices(n_features, std::min(n_features, learner.max_features), false);

  std::optional<SplitInfo> best;
  const std::span<const RowId> rows = std::as_const(learner.partition).node_range(node);
  for (const std::uint64_t feature : features) {
    keep_better(best, search(node, feature, rows));
  }
  std::optional<SplitInfo>& stored = checked_at(learner.tree.split, node);
  stored = std::move(unwrap(best));
  if (!stored->value) return false;
  if (learner.tree.level[node] >= learner.max_depth) return false;

  learner.tree.add_left_child(node);
  learner.tree.add_right_child(node);
  // The children were appended to the record, so re-read the stored split.
  const SplitInfo& split = *learner.tree.split[node];
  const std::uint64_t n_left = partition_node(learner.partition, split, data);
  learner.partition.append_children(split.node_id, n_left);
  return true;
}

// Depth first with an explicit stack rather than recursion, so that a chain-shaped tree of any
// depth cannot exhaust the thread's stack. Popping the left child before the right one visits
// nodes in the same order as recursion would: node, its whole left subtree, then its right one.
template <class Search>
void grow_from_root(TreeLearner& learner, const DataMatrix& data, SharedRng& rng,
                    const Search& search) {
  const std::uint64_t n_rows = data.n_rows();
  const std::uint64_t k = row_draw_size(n_rows, learner.config.subsample);
  learner.partition = Partition::from_samples(rng.sample_indices(n_rows, k, true));
  learner.tree = TreeRecord::with_root();

  std::vector<std::uint64_t> pending{0};
  while (!pending.empty()) {
    const std::uint64_t node = pending.back();
    pending.pop_back();
    if (!grow_node(learner, node, data, rng, search)) continue;
    pending.push_back(*learner.tree.right_children[node]);
    pending.push_back(*learner.tree.left_children[node]);
  }
}

}  // namespace

void grow_tree(TreeLearner& learner, const DataMatrix& data, SharedRng& rng) {
  const auto search = [&learner, &data](std::uint64_t node, std::uint64_t feature,
                                        std::span<const RowId> rows) {
    return best_split(learner, data, node, feature, rows);
  };
  grow_from_root(learner, data, rng, search);
}

void grow_tree(TreeLearner& learner, const DataMatrix& data, SharedRng& rng,
               const SplitSearch& search) {
  grow_from_root(learner, data, rng, search);
}

}  // namespace quorvanta
