// What every way of growing a tree provides: the node searches and splits over the tree's rows,
// kept in whatever form suits the way. TreeRows picks one way per tree and keeps the nodes'
// stretches; each way owns its buffers, which live from tree to tree.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "common/tree_config.hpp"
#include "data/data_matrix.hpp"
#include "stats/kl_criterion.hpp"
#include "stats/regression_criterion.hpp"
#include "stats/split_info.hpp"
#include "stats/split_scan.hpp"
#include "tree/tree_record.hpp"

namespace quorvanta {

// How a tree's node searches build their histograms.
enum class GrowPath : std::uint8_t {
  // Classification where every row weighs 1: cells are counts, so each drawn row is one entry
  // with its multiplicity, in ascending row order, and counting is integer work.
  Counts,
  // Classification: each row's weight added in the node's row order, the order partition_node
  // leaves.
  OrderedClass,
  // Regression: each row's three sums added in the node's row order.
  OrderedRegression,
  // The per-call builders over a 64-bit partition: some drawn row cannot be read without
  // failure (the builders then report it), or the table is beyond the narrower paths' limits.
  Exact,
};
inline constexpr std::size_t kGrowPaths = 4;

// The split criterion of a tree with its settings.
struct NodeCriterion {
  ModelKind kind = ModelKind::Classification;
  KlCriterionParams kl;
  RegressionCriterionParams regression;
};

// Where a node's entries and drawn rows lie. An entry is one drawn row, or in the Counts path one
// distinct drawn row with its multiplicity. Entries live in one of two copies: a node at level d
// reads copy d % 2 and splitting it writes its children's entries into the other copy, inside
// its own stretch, so depth first no stretch is overwritten while a node still needs it.
struct NodeStretch {
  std::uint64_t id = 0;
  std::uint64_t entry_start = 0;
  std::uint64_t entry_length = 0;
  std::uint64_t row_start = 0;  // counted in drawn rows, as the partition counts them
  std::uint64_t row_length = 0;
  std::uint8_t copy = 0;
  bool divided = false;
};

// Receives each searched feature's result with the node's summary rows, flat: [p_g, n_g] or
// [m_g] per group. The summary may be swapped out.
using SplitVisit =
    std::function<void(std::uint64_t feature, const FeatureSplit&, std::vector<float>& summary)>;

class GrowPathRows {
 public:
  virtual ~GrowPathRows() = default;

  // Where the tree's row draw is made: a buffer of the path that start may read while it fills
  // its own (the Counts path draws into its second copy, the ordered paths into their first).
  virtual std::vector<std::uint32_t>& draw_buffer() = 0;
  // Takes the drawn rows (in draw order) as the root's entries; false when this path cannot take
  // some drawn row, and then the tree takes the next path. `root` receives the root's entries.
  virtual bool start(std::span<const std::uint32_t> drawn, NodeStretch& root) = 0;
  // The best split of `node` on each feature, in the order given, as the per-call criterion
  // (kl_best_split or regression_best_split) computes it over the node's rows.
  virtual void search(const NodeCriterion& criterion, const NodeStretch& node,
                      std::span<const std::uint64_t> features, const SplitVisit& visit) = 0;
  // Divides the node's entries as partition_node divides its rows, the left part first, into the
  // other copy. Returns the left part's entries and drawn rows; `split.value` is present.
  virtual std::pair<std::uint64_t, std::uint64_t> split(const SplitInfo& split,
                                                        const NodeStretch& node) = 0;
  // The drawn rows of an undivided node, from `out` on, in the node's order (in the Counts path
  // ascending, each as often as it was drawn).
  virtual void write_rows(const NodeStretch& node, RowId* out) const = 0;
};

}  // namespace quorvanta
