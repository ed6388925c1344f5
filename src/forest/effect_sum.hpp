// Running sum of per-row effect tables, stored flat. Tables of one prediction share their row
// count; when widths differ (trees fitted on data with different treatment groups) the sum keeps
// the shorter width, as an elementwise sum of rows cut to the shorter length does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "forest/model.hpp"

namespace quorvanta {

// One tree's routing of a table: the leaf of every row and the effect of every leaf. Its buffers
// are reused from tree to tree.
struct TreeRouting {
  std::vector<std::uint64_t> leaves;       // per row
  std::vector<float> effects;              // every leaf's effect, in node order
  std::vector<std::size_t> effect_offset;  // per node: where its effect starts in `effects`
  std::size_t width = 0;                   // length of every leaf's effect
  bool by_partition = false;               // rows were routed by partitioning node ranges

  const float* effect_of_row(std::size_t row) const {
    return effects.data() + effect_offset[leaves[row]];
  }
};

// Routes every row to its leaf by partitioning node ranges, and computes every leaf's effect, also
// of leaves no row reaches: the route of trees that do not compile, and the reference of the
// compiled one.
void route_tree(const TreeLearner& learner, const DataMatrix& data, TreeRouting& routing);

// Only the effect of every leaf, with route_tree's failures about them; `leaves` is left alone.
void collect_leaf_effects(const TreeRecord& tree, TreeRouting& routing);

// Width of a sum of `width` columns after a table of `other_width` is added to it, when the tables
// have rows: the shorter one. "assertion failed: n_col > 0" when the sum has no column.
std::size_t added_width(std::size_t width, std::size_t other_width);
// "assertion failed: n_col > 0" when a sum with rows has no column to average.
void require_columns(std::size_t width);

class EffectSum {
 public:
  EffectSum() = default;
  EffectSum(std::size_t n_rows, std::size_t width)
      : n_rows_(n_rows), stride_(width), width_(width), values_(n_rows * width) {}

  bool empty() const { return !started_; }
  float* row(std::size_t r) { return values_.data() + r * stride_; }
  std::size_t width() const { return width_; }

  // The first table is taken as it is (its signs of zero included); later ones are added entry by
  // entry as sum + table. "assertion failed: n_col > 0" when rows exist but the sum is empty-wide.
  void add(EffectSum&& table);
  // The same for one tree's table, without materialising it.
  void add(const TreeRouting& tree);
  // Every entry divided by the tree count as f32; the result is compacted to the final width.
  EffectTable mean(std::size_t n_trees) const;

 private:
  // Adds another table given row by row: sum + other, cut to the shorter width.
  template <class RowOf>
  void add_rows(std::size_t other_width, RowOf other_row);

  bool started_ = false;
  std::size_t n_rows_ = 0;
  std::size_t stride_ = 0;
  std::size_t width_ = 0;
  std::vector<float> values_;
};

}  // namespace quorvanta
