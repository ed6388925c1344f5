// The rows of the tree being grown and the split search over them. Every node owns one contiguous
// stretch of the tree's entries; how entries are kept and searched is the business of the
// growing path that serves the tree (tree/grow_path.hpp): one type per path, each owning its
// buffers, which live as long as this object, so growing many trees touches fresh memory only
// for the first. split_node is the one operation that changes the rows.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/tree_config.hpp"
#include "data/data_matrix.hpp"
#include "tree/counted_rows.hpp"
#include "tree/exact_rows.hpp"
#include "tree/grow_path.hpp"
#include "tree/growing_table.hpp"
#include "tree/ordered_rows.hpp"
#include "tree/partition.hpp"
#include "tree/shared_rng.hpp"

namespace quorvanta {

class TreeRows {
 public:
  using Visit = SplitVisit;

  // Over a table studied once per fit and shared by the fit's worker threads.
  explicit TreeRows(const GrowingTable& table);
  // Studies the table itself, for each model kind when a tree of that kind first starts.
  explicit TreeRows(const DataMatrix& data);
  TreeRows(const TreeRows&) = delete;
  TreeRows& operator=(const TreeRows&) = delete;

  const DataMatrix& data() const { return data_; }

  // Draws the tree's rows (sample_indices(n_rows, k, true), k from `subsample`) and makes them
  // the root's, in draw order, on the first path that serves the table and takes every drawn
  // row. Without features the row count fails before any draw.
  void start_tree(ModelKind kind, float subsample, SharedRng& rng);

  // The best split of `node` on each feature, in the order given, as the per-call criterion
  // (kl_best_split or regression_best_split) computes it over the node's rows.
  void search_node(const NodeCriterion& criterion, std::uint64_t node,
                   std::span<const std::uint64_t> features, const Visit& visit);

  // Divides the rows of split.node_id as partition_node divides them and gives the two parts to
  // two new nodes, the next two ids, left first. Returns the left part's row count.
  std::uint64_t split_node(const SplitInfo& split);

  // The node ranges of the tree so far; `with_rows` adds every node's rows (in the Counts path a
  // node's rows come in ascending order rather than in the order partition_node would leave).
  Partition partition(bool with_rows) const;

  // Getters for tests: the path of the current tree and how many node searches each path ran
  // since construction.
  GrowPath path() const { return path_; }
  std::uint64_t searches(GrowPath path) const { return searches_[static_cast<std::size_t>(path)]; }
  // Entries of the root: drawn rows, or distinct drawn rows in the Counts path.
  std::uint64_t root_entries() const;
  // Drawn rows whose records the ordered paths checked before taking a tree.
  std::uint64_t checked_rows() const;

 private:
  // The paths over one table, in the order a tree tries them; the last, Exact, takes any tree.
  struct Paths {
    explicit Paths(const GrowingTable& table)
        : counted(table), ordered_class(table), ordered_regression(table), exact(table) {}
    CountedRows counted;
    OrderedClassRows ordered_class;
    OrderedRegressionRows ordered_regression;
    ExactRows exact;
  };
  Paths& paths_of(ModelKind kind);

  const DataMatrix& data_;
  const GrowingTable* shared_table_ = nullptr;
  std::unique_ptr<GrowingTable> own_tables_[2];
  std::unique_ptr<Paths> paths_[2];  // by kind

  GrowPath path_ = GrowPath::Exact;
  GrowPathRows* rows_ = nullptr;  // of the current tree
  std::array<std::uint64_t, kGrowPaths> searches_{};
  std::vector<NodeStretch> nodes_;
};

}  // namespace quorvanta
