// Summing a compiled forest's effects over a table, chunk by chunk, with the chunks spread over
// worker threads. Each row's sum is built in the order the tree-by-tree sum uses (tree by tree
// within each tree group, then group by group), so the result is the same to the bit, and so are
// the failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "forest/compiled_forest.hpp"
#include "forest/effect_sum.hpp"
#include "forest/model.hpp"

namespace quorvanta {

// How one tree's effect enters a row's sum: the first tree of a group starts the group's sum, each
// later one is added over the columns the sum still has.
struct TreeTerm {
  TreeRouting effects;  // every leaf's effect; `leaves` unused
  // With one effect column: per node, its leaf's effect (0 for an internal node), read with one
  // load instead of two.
  std::vector<float> node_effect;
  bool starts_group = false;
  std::size_t width_after = 0;
};

struct GroupTerm {
  std::size_t first_tree = 0;
  std::size_t n_trees = 0;
  std::size_t width = 0;              // of the group's own sum
  std::size_t total_width_after = 0;  // of the total once this group is added
};

struct SumPlan {
  std::vector<TreeTerm> trees;
  std::vector<GroupTerm> groups;
  std::size_t width = 0;   // columns of the result
  std::size_t stride = 1;  // per-row room in the working sums: the widest tree
};

// The row-free part of summing tree tables: every leaf's effect and the width of every partial
// sum, computed on the same threads, in the same order and with the same failures as summing the
// trees' tables one by one would give. A table without features fails where its row count is
// first asked. Depends on the row count only through whether there are rows.
SumPlan plan_sum(const std::vector<TreeLearner>& trees, std::size_t n_features, std::size_t n_rows,
                 std::uint64_t n_thread);

// Fills the keys of rows [begin, end) as CompiledForest::gather does.
using GatherChunk = std::function<void(std::size_t begin, std::size_t end, std::span<float> cells,
                                       std::uint32_t* keys)>;

// The mean effect of every row of a table of `n_rows` rows. `ready`, when given, hears of rows
// done while worker threads route the rest (see RowsReady); `overlapped`, when given, is told
// whether it could (several threads and chunks).
EffectTable sum_compiled(const CompiledForest& forest, const SumPlan& plan, std::size_t n_rows,
                         std::uint64_t n_thread, const GatherChunk& gather,
                         const RowsReady& ready = {}, bool* overlapped = nullptr);

}  // namespace quorvanta
