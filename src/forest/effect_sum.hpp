// Running sum of per-row effect tables, stored flat. Tables of one prediction share their row
// count; when widths differ (trees fitted on data with different treatment groups) the sum keeps
// the shorter width, as an elementwise sum of rows cut to the shorter length does.
#pragma once

#include <cstddef>
#include <vector>

#include "forest/model.hpp"

namespace quorvanta {

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
  // Every entry divided by the tree count as f32; the result is compacted to the final width.
  EffectTable mean(std::size_t n_trees) const;

 private:
  bool started_ = false;
  std::size_t n_rows_ = 0;
  std::size_t stride_ = 0;
  std::size_t width_ = 0;
  std::vector<float> values_;

  friend EffectSum tree_effects(const TreeLearner&, const DataMatrix&);
};

// One tree's effects: every row gets the effect vector of the leaf that holds it.
EffectSum tree_effects(const TreeLearner& learner, const DataMatrix& data);

}  // namespace quorvanta
