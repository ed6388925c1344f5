// One tree with its configuration copy, criterion settings and working partition; grows the tree
// depth first, choosing at each node the best split over a random subset of features.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "common/tree_config.hpp"
#include "data/data_matrix.hpp"
#include "stats/kl_criterion.hpp"
#include "stats/regression_criterion.hpp"
#include "tree/partition.hpp"
#include "tree/shared_rng.hpp"
#include "tree/tree_record.hpp"
#include "tree/tree_rows.hpp"

namespace quorvanta {

struct TreeLearner {
  ModelKind kind = ModelKind::Classification;
  TreeConfig config;
  Partition partition;
  TreeRecord tree = TreeRecord::with_root();
  std::uint64_t max_features = 10;
  std::uint64_t max_depth = 6;
  KlCriterionParams kl_params;                  // used by the classification kind
  RegressionCriterionParams regression_params;  // used by the regression kind

  // A fresh learner: root only, empty partition, parameters copied from `config`.
  static TreeLearner create(ModelKind kind, const TreeConfig& config);

  bool operator==(const TreeLearner&) const = default;
};

// The split search of one node on one feature over the node's rows.
using SplitSearch = std::function<SplitInfo(std::uint64_t node, std::uint64_t feature,
                                            std::span<const RowId> rows)>;

// Draws the tree's rows, then grows every node in the order node, left subtree, right subtree.
// The learner's partition ends with every node's range and rows.
void grow_tree(TreeLearner& learner, const DataMatrix& data, SharedRng& rng);
// The same on the table of `rows`, whose buffers the caller keeps from tree to tree. The
// learner's partition keeps the node ranges only: a forest does not keep a tree's rows.
void grow_tree(TreeLearner& learner, TreeRows& rows, SharedRng& rng);
// The same growing with another split search in place of the learner's criterion.
void grow_tree(TreeLearner& learner, const DataMatrix& data, SharedRng& rng,
               const SplitSearch& search);

// The best split of one node on one feature, by the learner's criterion.
SplitInfo best_split(const TreeLearner& learner, const DataMatrix& data, std::uint64_t node,
                     std::uint64_t feature, std::span<const RowId> rows);

}  // namespace quorvanta
