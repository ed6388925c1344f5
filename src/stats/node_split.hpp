// The split search of tree growing, node by node. What a node's rows add to a histogram (their
// histogram row and weight, or weight and weighted outcomes) and, when most features are searched
// at every node, every feature's bin slots are kept in the order of the tree's partition, so each
// candidate feature accumulates straight from contiguous arrays, in node row order: every sum
// equals the one kl_best_split / regression_best_split compute.
//
// The fast path runs only where no row can fail. Whenever a check does not pass, the call is
// recomputed by the exact builders, which report the same failure, in the same order, as the
// per-call criteria.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "data/data_matrix.hpp"
#include "stats/kl_criterion.hpp"
#include "stats/regression_criterion.hpp"
#include "stats/split_scan.hpp"

namespace quorvanta {

// What one row adds to a histogram wherever it is counted: the first cell of its histogram row
// (class and group, or group) and its values (classification: w; regression: w, y * w,
// (y * y) * w).
template <std::size_t Width>
struct RowEntry {
  std::uint32_t cell;
  float values[Width];
};

// Working storage of the split search of one tree, reused by all its nodes and features so that
// growing allocates nothing once the buffers have reached the root's size.
//
// What the search reads of a row is kept in the order of the tree's partition: position p of the
// arrays belongs to entry p of the partition's index array, so a node's rows are one contiguous
// stretch. There are two copies: a node at level d reads copy d % 2, and its split writes its
// children's stretches, reordered as the partition reordered the indices, into the other copy.
// Depth first, no stretch is overwritten while a node still needs it: a node's descendants write
// only inside its own stretch.
struct NodeSplitScratch {
  // Every drawn row can be read without failure; otherwise every call takes the exact path.
  bool rows_usable = false;
  bool classification = true;  // which entries are in use
  RowId largest_row = 0;       // of the drawn rows
  std::size_t n_drawn = 0;
  std::vector<RowEntry<1>> class_entries[2];
  std::vector<RowEntry<3>> regression_entries[2];
  // With bins in partition order: each row's slot (missing = slot B) of every feature, for the
  // features whose every drawn row has a bin within the slots (slots_ready). Eight features share
  // a 64-bit word per row, feature f in byte f % 8 of word block f / 8, so that a split moves one
  // word per row for eight features. Otherwise each feature gathers its bins through the rows.
  bool bins_in_order = false;
  std::vector<std::uint64_t> slot_words[2];
  std::vector<std::uint8_t> slots_ready;
  // Per feature whose slots tell its bins back (no drawn row has a present bin equal to B, so
  // slot B means missing): B, else kNoKeys.
  std::vector<std::uint16_t> missing_slots;
  std::vector<std::uint8_t> keys;
  // The node being searched: its stretch's first position and the copy holding it.
  std::size_t node_start = 0;
  std::size_t node_copy = 0;
  // Per split: partition_node's record of where each entry went.
  std::vector<std::uint32_t> destinations;
  // Per feature: the histogram cell of each row, the flat histogram and the scan's values.
  std::vector<std::uint32_t> cell_of_row;
  std::vector<float> cells;
  ScanScratch scan;
  // The node summary of the last feature searched: [p_g, n_g] or [m_g] per group.
  std::vector<float> summary;
};

// Takes the tree's drawn rows, in draw order, as the order of the root. `bins_in_order` keeps
// every feature's bins in partition order too, which pays when most features are searched at
// every node: reordering them per split is sequential, gathering them per node is not.
void start_class_tree(const DataMatrix& data, std::span<const RowId> drawn, bool bins_in_order,
                      NodeSplitScratch& scratch);
void start_regression_tree(const DataMatrix& data, std::span<const RowId> drawn, bool bins_in_order,
                           NodeSplitScratch& scratch);

// The node searched and split next: the first position of its stretch in the partition and its
// level in the tree.
void begin_node(std::size_t start, std::uint64_t level, NodeSplitScratch& scratch);

inline constexpr std::uint16_t kNoKeys = 0xFFFF;

// The bins of the current node's `n` rows for `feature` in partition order (kMissingBin for a
// missing cell) into scratch.keys, as partition_node_by_keys takes them. False when the slots
// cannot tell them.
bool node_keys(std::uint64_t feature, std::size_t n, NodeSplitScratch& scratch);

// After partition_node divided the current node's stretch (and filled scratch.destinations), writes
// the reordered stretch into the other copy, where the node's children read it.
void follow_partition(NodeSplitScratch& scratch);

// kl_best_split / regression_best_split of one feature over the current node, whose rows are
// `rows`, as a FeatureSplit with the node summary left in scratch.summary.
FeatureSplit kl_node_split(const KlCriterionParams& params, const DataMatrix& data,
                           std::uint64_t feature, std::span<const RowId> rows,
                           NodeSplitScratch& scratch);
FeatureSplit regression_node_split(const RegressionCriterionParams& params, const DataMatrix& data,
                                   std::uint64_t feature, std::span<const RowId> rows,
                                   NodeSplitScratch& scratch);

}  // namespace quorvanta
