// The rows of the tree being grown and the split search over them. Every node owns one contiguous
// stretch of a single row array; what the search reads of a row (its histogram row and values)
// sits beside it at the same position. There are two copies: a node at level d reads copy d % 2,
// and splitting it writes its children's stretches into the other copy. Depth first, no stretch
// is overwritten while a node still needs it, since a node's descendants write only inside its
// own stretch. split_node is the one operation that changes the rows.
//
// The working state is O(drawn rows), whatever the feature count: worker threads share the table
// and read each searched feature's bins through the rows. Buffers live as long as the object, so
// growing many trees touches fresh memory only for the first.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "common/tree_config.hpp"
#include "data/data_matrix.hpp"
#include "stats/kl_criterion.hpp"
#include "stats/node_histogram.hpp"
#include "stats/regression_criterion.hpp"
#include "stats/split_scan.hpp"
#include "tree/partition.hpp"
#include "tree/shared_rng.hpp"
#include "tree/tree_record.hpp"

namespace quorvanta {

// How a tree's node searches build their histograms.
enum class GrowPath : std::uint8_t {
  // Classification where every row weighs 1: cells are counts, so each drawn row is one entry
  // with its multiplicity, in ascending row order, and counting is integer work.
  Counts,
  // Each row's values added in the node's row order, the order partition_node leaves.
  Ordered,
  // The per-call builders over a 64-bit partition: some drawn row cannot be read without
  // failure (the builders then report it), or the table is beyond the narrower paths' limits.
  Exact,
};

// The split criterion of a tree with its settings.
struct NodeCriterion {
  ModelKind kind = ModelKind::Classification;
  KlCriterionParams kl;
  RegressionCriterionParams regression;
};

class TreeRows {
 public:
  // Receives each searched feature's result with the node's summary rows, flat: [p_g, n_g] or
  // [m_g] per group. The summary may be swapped out.
  using Visit =
      std::function<void(std::uint64_t feature, const FeatureSplit&, std::vector<float>& summary)>;

  // Studies the table once: which paths its columns allow.
  explicit TreeRows(const DataMatrix& data);
  TreeRows(const TreeRows&) = delete;
  TreeRows& operator=(const TreeRows&) = delete;

  const DataMatrix& data() const { return data_; }

  // Draws the tree's rows (sample_indices(n_rows, k, true), k from `subsample`) and makes them
  // the root's, in draw order. Without features the row count fails before any draw.
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
  std::uint64_t searches(GrowPath path) const { return searches_[static_cast<int>(path)]; }
  // Entries of the root: drawn rows, or distinct drawn rows in the Counts path.
  std::uint64_t root_entries() const;

 private:
  struct NodeStretch {
    std::uint64_t entry_start = 0;
    std::uint64_t entry_length = 0;
    std::uint64_t row_start = 0;  // counted in drawn rows, as the partition counts them
    std::uint64_t row_length = 0;
    std::uint8_t copy = 0;
    bool divided = false;
  };

  bool start_counts(std::span<const std::uint32_t> drawn);
  // One more draw of `row`; true when it is the row's first.
  bool count_draw(std::uint32_t row);
  // The root's entries from the multiplicities, which it leaves zero; false when a drawn row's
  // outcome or group cannot be counted.
  bool make_count_entries(std::size_t distinct, std::uint64_t n_drawn);
  bool start_ordered(std::span<const std::uint32_t> drawn);
  void start_exact(std::vector<RowId> drawn);
  template <class Rows>
  bool ordered_entries(std::span<const std::uint32_t> drawn,
                       std::vector<RowEntry<Rows::kWidth>> (&entries)[2]);

  void search_counts(const KlCriterionParams& params, const NodeStretch& node,
                     std::span<const std::uint64_t> features, const Visit& visit);
  template <class Rows>
  FeatureSplit search_ordered(const typename Rows::Params& params, const NodeStretch& node,
                              std::uint64_t feature,
                              const std::vector<RowEntry<Rows::kWidth>> (&entries)[2]);
  template <class Rows>
  FeatureSplit search_exact(const typename Rows::Params& params, std::uint64_t node,
                            std::uint64_t feature);

  // Left entries and left drawn rows.
  std::pair<std::uint64_t, std::uint64_t> split_counts(const SplitInfo& split,
                                                       const NodeStretch& node);
  std::uint64_t split_ordered(const SplitInfo& split, const NodeStretch& node);
  std::vector<RowId> wide_rows(const NodeStretch& node) const;

  const DataMatrix& data_;
  // What the table allows, found once.
  std::uint64_t n_rows_ = 0;
  std::uint64_t n_groups_ = 0;       // 0: only the Exact path
  bool narrow_rows_ = false;         // row numbers fit 32 bits
  bool countable_ = false;           // unit weights and every feature's bins within its bin count
  bool every_row_readable_ = false;  // countable, and every row's outcome and group count

  ModelKind kind_ = ModelKind::Classification;
  GrowPath path_ = GrowPath::Exact;
  std::uint64_t searches_[3] = {0, 0, 0};
  std::vector<NodeStretch> nodes_;
  RowId largest_row_ = 0;  // of the drawn rows

  std::vector<std::uint32_t> rows_[2];
  std::vector<std::uint16_t> counts_[2];  // Counts: count_entry of each row
  std::vector<RowEntry<1>> class_entries_[2];
  std::vector<RowEntry<3>> regression_entries_[2];
  Partition exact_;  // Exact: the partition itself

  std::vector<std::uint8_t> multiplicity_;  // per table row, zero between trees
  std::vector<std::uint32_t> overflow_;     // draws of a row beyond kMaxMultiplicity
  std::vector<std::uint8_t> keys_;          // per entry of the node being split
  std::vector<std::uint32_t> destinations_;
  std::vector<std::uint32_t> cell_of_row_;
  std::vector<std::uint32_t> counters_;
  std::vector<float> cells_;
  ScanScratch scan_;
  std::vector<float> summary_;
};

}  // namespace quorvanta
