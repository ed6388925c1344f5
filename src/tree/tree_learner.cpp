#include "tree/tree_learner.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "stats/node_split.hpp"
#include "stats/split_scan.hpp"

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
template <class Split>
bool is_better(const std::optional<Split>& best, const Split& candidate) {
  if (!best) return true;
  if (!candidate.value) return false;
  return !best->value || candidate.gain > best->gain;
}

// Node by node search through a caller's split search, one SplitInfo per feature.
class CallbackSearch {
 public:
  explicit CallbackSearch(const SplitSearch& search) : search_(search) {}

  void start_tree(const Partition& /*partition*/) {}
  void start_node(std::uint64_t /*node*/) { best_.reset(); }
  void consider(std::uint64_t node, std::uint64_t feature, std::span<const RowId> rows) {
    SplitInfo candidate = search_(node, feature, rows);
    if (is_better(best_, candidate)) best_ = std::move(candidate);
  }
  std::optional<SplitInfo> take_best(std::uint64_t /*node*/) { return std::move(best_); }
  std::uint64_t divide(Partition& partition, const SplitInfo& split, const DataMatrix& data) {
    return partition_node(partition, split, data);
  }

 private:
  const SplitSearch& search_;
  std::optional<SplitInfo> best_;
};

// Features per node at which keeping every feature's bins in partition order beats gathering the
// searched features' bins through the row indices: reordering a feature's bins at a split is a
// sequential pass, a gather is a random access per row that grows dearer as nodes get smaller.
constexpr std::uint64_t kOrderedFeaturesPerSearched = 4;

// The learner's own criterion. What the search reads of a row follows the partition's order, so a
// node's rows are one contiguous stretch for all its features; the candidates are kept as
// FeatureSplits until the node's winner becomes its SplitInfo, and the buffers live as long as
// the tree's growing, so steady-state growing does not allocate per node or feature.
class CriterionSearch {
 public:
  CriterionSearch(const TreeLearner& learner, const DataMatrix& data, NodeSplitScratch& scratch)
      : learner_(learner), data_(data), scratch_(scratch) {}

  void start_tree(const Partition& partition) {
    const std::uint64_t n_features = data_.x.size();
    const std::uint64_t searched = std::min(n_features, learner_.max_features);
    const bool bins_in_order =
        learner_.max_depth > 0 && n_features <= kOrderedFeaturesPerSearched * searched;
    if (learner_.kind == ModelKind::Classification) {
      start_class_tree(data_, partition.indices, bins_in_order, scratch_);
    } else {
      start_regression_tree(data_, partition.indices, bins_in_order, scratch_);
    }
  }

  void start_node(std::uint64_t node) {
    best_.reset();
    begin_node(learner_.partition.starts[node], learner_.tree.level[node], scratch_);
  }

  void consider(std::uint64_t /*node*/, std::uint64_t feature, std::span<const RowId> rows) {
    const FeatureSplit candidate =
        learner_.kind == ModelKind::Classification
            ? kl_node_split(learner_.kl_params, data_, feature, rows, scratch_)
            : regression_node_split(learner_.regression_params, data_, feature, rows, scratch_);
    if (!is_better(best_, candidate)) return;
    best_ = candidate;
    best_feature_ = feature;
    std::swap(best_summary_, scratch_.summary);
  }

  std::optional<SplitInfo> take_best(std::uint64_t node) {
    if (!best_) return std::nullopt;
    const std::size_t columns = learner_.kind == ModelKind::Classification ? 2 : 1;
    return make_split_info(node, best_feature_, *best_, best_summary_, columns);
  }

  std::uint64_t divide(Partition& partition, const SplitInfo& split, const DataMatrix& data) {
    if (!scratch_.rows_usable) return partition_node(partition, split, data);
    // The split feature's bins are at hand in partition order when the search keeps them so.
    const std::size_t n = partition.node_range(split.node_id).size();
    const std::uint64_t n_left =
        node_keys(split.feature_id, n, scratch_)
            ? partition_node_by_keys(partition, split, scratch_.keys, scratch_.destinations)
            : partition_node(partition, split, data, scratch_.destinations);
    follow_partition(scratch_);
    return n_left;
  }

 private:
  const TreeLearner& learner_;
  const DataMatrix& data_;
  NodeSplitScratch& scratch_;
  std::optional<FeatureSplit> best_;
  std::uint64_t best_feature_ = 0;
  std::vector<float> best_summary_;
};

// Grows one node: draws its features, stores its best split and, when it is split, creates its
// two children. Returns true when the node got children.
template <class Search>
bool grow_node(TreeLearner& learner, std::uint64_t node, const DataMatrix& data, SharedRng& rng,
               Search& search) {
  const std::uint64_t n_features = data.x.size();
  const std::vector<std::uint64_t> features =
      rng.sample_indices(n_features, std::min(n_features, learner.max_features), false);

  const std::span<const RowId> rows = std::as_const(learner.partition).node_range(node);
  search.start_node(node);
  for (const std::uint64_t feature : features) search.consider(node, feature, rows);
  std::optional<SplitInfo> best = search.take_best(node);
  std::optional<SplitInfo>& stored = checked_at(learner.tree.split, node);
  stored = std::move(unwrap(best));
  if (!stored->value) return false;
  if (learner.tree.level[node] >= learner.max_depth) return false;

  learner.tree.add_left_child(node);
  learner.tree.add_right_child(node);
  // The children were appended to the record, so re-read the stored split.
  const SplitInfo& split = *learner.tree.split[node];
  const std::uint64_t n_left = search.divide(learner.partition, split, data);
  learner.partition.append_children(split.node_id, n_left);
  return true;
}

// Depth first with an explicit stack rather than recursion, so that a chain-shaped tree of any
// depth cannot exhaust the thread's stack. Popping the left child before the right one visits
// nodes in the same order as recursion would: node, its whole left subtree, then its right one.
template <class Search>
void grow_from_root(TreeLearner& learner, const DataMatrix& data, SharedRng& rng, Search& search) {
  const std::uint64_t n_rows = data.n_rows();
  const std::uint64_t k = row_draw_size(n_rows, learner.config.subsample);
  learner.partition = Partition::from_samples(rng.sample_indices(n_rows, k, true));
  learner.tree = TreeRecord::with_root();
  search.start_tree(learner.partition);

  std::vector<std::uint64_t> pending{0};
  while (!pending.empty()) {
    check_interruption();
    const std::uint64_t node = pending.back();
    pending.pop_back();
    if (!grow_node(learner, node, data, rng, search)) continue;
    pending.push_back(*learner.tree.right_children[node]);
    pending.push_back(*learner.tree.left_children[node]);
  }
}

}  // namespace

void grow_tree(TreeLearner& learner, const DataMatrix& data, SharedRng& rng) {
  NodeSplitScratch scratch;
  grow_tree(learner, data, rng, scratch);
}

void grow_tree(TreeLearner& learner, const DataMatrix& data, SharedRng& rng,
               NodeSplitScratch& scratch) {
  CriterionSearch search(learner, data, scratch);
  grow_from_root(learner, data, rng, search);
}

void grow_tree(TreeLearner& learner, const DataMatrix& data, SharedRng& rng,
               const SplitSearch& search) {
  CallbackSearch callback(search);
  grow_from_root(learner, data, rng, callback);
}

}  // namespace quorvanta
