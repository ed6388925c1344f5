#include "tree/tree_learner.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "common/fault.hpp"
#include "common/interruption.hpp"
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

// Node by node search through a caller's split search over the learner's own partition.
class CallbackSearch {
 public:
  CallbackSearch(TreeLearner& learner, const DataMatrix& data, const SplitSearch& search)
      : learner_(learner), data_(data), search_(search) {}

  void start_tree(SharedRng& rng) {
    const std::uint64_t n_rows = data_.n_rows();
    const std::uint64_t k = row_draw_size(n_rows, learner_.config.subsample);
    learner_.partition = Partition::from_samples(rng.sample_indices(n_rows, k, true));
  }

  std::optional<SplitInfo> best_split(std::uint64_t node, std::span<const std::uint64_t> features) {
    const std::span<const RowId> rows = std::as_const(learner_.partition).node_range(node);
    std::optional<SplitInfo> best;
    for (const std::uint64_t feature : features) {
      SplitInfo candidate = search_(node, feature, rows);
      if (is_better(best, candidate)) best = std::move(candidate);
    }
    return best;
  }

  void divide(const SplitInfo& split) {
    const std::uint64_t n_left = partition_node(learner_.partition, split, data_);
    learner_.partition.append_children(split.node_id, n_left);
  }

  void finish() {}

 private:
  TreeLearner& learner_;
  const DataMatrix& data_;
  const SplitSearch& search_;
};

// The learner's own criterion over the tree's rows. The candidates are kept as FeatureSplits
// until the node's winner becomes its SplitInfo.
class CriterionSearch {
 public:
  CriterionSearch(TreeLearner& learner, TreeRows& rows, bool keep_rows)
      : learner_(learner),
        rows_(rows),
        keep_rows_(keep_rows),
        criterion_{learner.kind, learner.kl_params, learner.regression_params} {}

  void start_tree(SharedRng& rng) {
    rows_.start_tree(learner_.kind, learner_.config.subsample, rng);
  }

  std::optional<SplitInfo> best_split(std::uint64_t node, std::span<const std::uint64_t> features) {
    best_.reset();
    rows_.search_node(
        criterion_, node, features,
        [this](std::uint64_t feature, const FeatureSplit& candidate, std::vector<float>& summary) {
          if (!is_better(best_, candidate)) return;
          best_ = candidate;
          best_feature_ = feature;
          std::swap(best_summary_, summary);
        });
    if (!best_) return std::nullopt;
    const std::size_t columns = learner_.kind == ModelKind::Classification ? 2 : 1;
    return make_split_info(node, best_feature_, *best_, best_summary_, columns);
  }

  void divide(const SplitInfo& split) { rows_.split_node(split); }

  void finish() { learner_.partition = rows_.partition(keep_rows_); }

 private:
  TreeLearner& learner_;
  TreeRows& rows_;
  bool keep_rows_;
  NodeCriterion criterion_;
  std::optional<FeatureSplit> best_;
  std::uint64_t best_feature_ = 0;
  std::vector<float> best_summary_;
};

// Grows one node: draws its features, stores its best split and, when it is split, creates its
// two children. Returns true when the node got children.
template <class Search>
bool grow_node(TreeLearner& learner, std::uint64_t node, std::uint64_t n_features, SharedRng& rng,
               Search& search) {
  const std::vector<std::uint64_t> features =
      rng.sample_indices(n_features, std::min(n_features, learner.max_features), false);
  std::optional<SplitInfo> best = search.best_split(node, features);
  std::optional<SplitInfo>& stored = checked_at(learner.tree.split, node);
  stored = std::move(unwrap(best));
  if (!stored->value) return false;
  if (learner.tree.level[node] >= learner.max_depth) return false;

  learner.tree.add_left_child(node);
  learner.tree.add_right_child(node);
  // The children were appended to the record, so re-read the stored split.
  search.divide(*learner.tree.split[node]);
  return true;
}

// Depth first with an explicit stack rather than recursion, so that a chain-shaped tree of any
// depth cannot exhaust the thread's stack. Popping the left child before the right one visits
// nodes in the same order as recursion would: node, its whole left subtree, then its right one.
template <class Search>
void grow_from_root(TreeLearner& learner, std::uint64_t n_features, SharedRng& rng,
                    Search& search) {
  search.start_tree(rng);
  learner.tree = TreeRecord::with_root();

  std::vector<std::uint64_t> pending{0};
  while (!pending.empty()) {
    check_interruption();
    const std::uint64_t node = pending.back();
    pending.pop_back();
    if (!grow_node(learner, node, n_features, rng, search)) continue;
    pending.push_back(*learner.tree.right_children[node]);
    pending.push_back(*learner.tree.left_children[node]);
  }
  search.finish();
}

}  // namespace

void grow_tree(TreeLearner& learner, const DataMatrix& data, SharedRng& rng) {
  TreeRows rows(data);
  CriterionSearch search(learner, rows, true);
  grow_from_root(learner, data.x.size(), rng, search);
}

void grow_tree(TreeLearner& learner, TreeRows& rows, SharedRng& rng) {
  CriterionSearch search(learner, rows, false);
  grow_from_root(learner, rows.data().x.size(), rng, search);
}

void grow_tree(TreeLearner& learner, const DataMatrix& data, SharedRng& rng,
               const SplitSearch& search) {
  CallbackSearch callback(learner, data, search);
  grow_from_root(learner, data.x.size(), rng, callback);
}

}  // namespace quorvanta
