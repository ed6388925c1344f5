// The forest compiled for prediction: every tree as range tests on routing columns. A column holds
// a feature's values as keys, either its raw values straight from the caller's table (so that
// prediction reads only the features the trees use and bins nothing) or its bins (a binned table,
// or a record that value tests cannot mirror). Compiling depends only on the trees and the
// features' records, so a model compiles once and reuses the result until either changes.
//
// A numeric split "bin <= k" on an ascending threshold list is "x < threshold[k]", a categorical
// split "bin == k" is "x == mapping[k]" for a kept category. Values are gathered as unsigned keys
// whose order is the f32 order (so the test is one unsigned range check, key - low <= span), with
// -0.0 as 0.0, and missing cells (and, for categories, NaN) as a key above every range. Records
// that such tests cannot mirror exactly (unsorted or NaN thresholds, an -inf threshold, the shared
// bin of unseen categories, oversized lists from a hand-made file) route on the bins their record
// gives, computed chunk by chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "data/cell_table.hpp"
#include "data/data_loader.hpp"
#include "data/data_matrix.hpp"
#include "forest/level_walk.hpp"
#include "forest/model.hpp"
#include "forest/value_keys.hpp"
#include "tree/tree_learner.hpp"

namespace quorvanta {

// How a routing column holds a feature's values, each as a key.
enum class ColumnForm : std::uint8_t {
  kNumericValue,   // the value's key; a present NaN has the key of -inf (bin 0)
  kCategoryValue,  // the value's key; NaN equals no category and has the missing key
  kBin,            // the bin the feature's record gives; missing is 255
};

struct RoutingColumn {
  std::size_t feature = 0;
  ColumnForm form = ColumnForm::kNumericValue;
};

// A row goes to `left` when key - low <= span in unsigned arithmetic, key being its key at
// `key_offset` from the row's first key (column times kChunkRows, so that finding it is one
// load), and to the tree's `right` entry of the node otherwise. A leaf keeps every row: both its
// children are itself; a split that takes no row has its right child on both sides, and a span
// that takes every key.
struct CompiledNode {
  std::uint32_t low = 0;
  std::uint32_t span = 0;
  std::uint32_t key_offset = 0;
  std::uint32_t left = 0;
};

struct CompiledTree {
  std::vector<CompiledNode> nodes;   // 16 bytes each: four to a cache line
  std::vector<std::uint32_t> right;  // per node: its right child (read only when not adjacent)
  std::size_t depth = 0;             // longest path from the root, in edges
  // Every right child directly follows its left sibling, as growing numbers them: the child is
  // then `left` plus the comparison's outcome, with no second load.
  bool adjacent_children = true;
  // The same tree by heap position, for trees no deeper than LevelLayout::kMaxDepth.
  std::optional<LevelLayout> levels;
};

// Every internal node can route a row: its split is its own, has a split bin and a feature of the
// table, and both children exist further on. Trained trees always qualify; only a damaged model
// file holds others, and those route by partitioning node ranges, with that route's failures.
bool well_formed(const TreeRecord& tree, std::size_t n_features);

class CompiledForest {
 public:
  // Shallow trees send every row through `depth` steps with no data-dependent branch; deeper ones
  // walk each row until it reaches its leaf.
  static constexpr std::size_t kMaxBranchFreeDepth = 32;
  // Rows gathered and routed together; their keys stay in the first-level cache.
  static constexpr std::size_t kChunkRows = 256;

  // On the raw values of a table whose features `features` locates, where their records allow.
  // Nothing when some tree is not well formed.
  static std::optional<CompiledForest> on_values(const std::vector<TreeLearner>& trees,
                                                 const RawFeatures& features);
  // On the bins of a binned table of `n_features` features. Nothing when some tree is not well
  // formed.
  static std::optional<CompiledForest> on_bins(const std::vector<TreeLearner>& trees,
                                               std::size_t n_features);

  const std::vector<RoutingColumn>& columns() const { return columns_; }
  const std::vector<CompiledTree>& trees() const { return trees_; }

  // Fill keys[c * kChunkRows + i] with column c of row begin + i, for at most kChunkRows rows
  // [begin, end): from the raw table (`cells` is room for one column's cells), or from a binned
  // table. The fixed stride makes a node's key one shift and add away.
  void gather(const CellTable& rows, const RawFeatures& features, std::size_t begin,
              std::size_t end, std::span<float> cells, std::uint32_t* keys) const;
  // The buffer whose value columns gather keys from without reading cells first: an f32 or f64
  // buffer, with or without a mask. Null for other tables.
  static const StridedCells* keys_in_place(const CellTable& rows);
  void gather(const DataMatrix& data, std::size_t begin, std::size_t end,
              std::uint32_t* keys) const;

  // The leaf of each of `count` rows whose keys are in `keys` (laid out as by gather).
  static void route(const CompiledTree& tree, const std::uint32_t* keys, std::size_t count,
                    std::uint32_t* leaves);
  // The same with the given walk for trees laid out by level, so that tests can hold every walk
  // against the others.
  static void route(const CompiledTree& tree, const std::uint32_t* keys, std::size_t count,
                    std::uint32_t* leaves, LevelWalk walk);

  // Trees that walk by level.
  std::size_t trees_walked_by_level() const;

 private:
  template <class CompileSplit>
  static std::optional<CompiledForest> compile(const std::vector<TreeLearner>& trees,
                                               std::size_t n_features, CompileSplit compile_split);
  std::uint32_t column_of(std::size_t feature, ColumnForm form);
  // The node of a split, children not yet set: false when it takes no row.
  bool compile_split(const SplitInfo& split, const RawFeature& feature, CompiledNode& node);
  bool compile_bin_split(const SplitInfo& split, CompiledNode& node);

  std::vector<RoutingColumn> columns_;
  std::vector<CompiledTree> trees_;
};

// Records in `paths` how many trees walk by level, and how wide the walk is.
void note_level_walk(const CompiledForest& forest, PredictionPaths& paths);

}  // namespace quorvanta
