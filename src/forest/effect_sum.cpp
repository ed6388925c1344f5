#include "forest/effect_sum.hpp"

#include <algorithm>

#include "common/fault.hpp"

namespace quorvanta {

std::size_t added_width(std::size_t width, std::size_t other_width) {
  require_columns(width);
  return std::min(width, other_width);
}

void require_columns(std::size_t width) {
  if (width == 0) fail("assertion failed: n_col > 0");
}

template <class RowOf>
void EffectSum::add_rows(std::size_t other_width, RowOf other_row) {
  if (n_rows_ == 0) return;
  width_ = added_width(width_, other_width);
  for (std::size_t r = 0; r < n_rows_; ++r) {
    float* sum = row(r);
    const float* other = other_row(r);
    for (std::size_t c = 0; c < width_; ++c) sum[c] = sum[c] + other[c];
  }
}

void EffectSum::add(EffectSum&& table) {
  if (!started_) {
    *this = std::move(table);
    started_ = true;
    return;
  }
  add_rows(table.width_, [&table](std::size_t r) { return table.row(r); });
}

void EffectSum::add(const TreeRouting& tree) {
  if (!started_) {
    started_ = true;
    n_rows_ = tree.leaves.size();
    stride_ = width_ = tree.width;
    values_.resize(n_rows_ * width_);
    for (std::size_t r = 0; r < n_rows_; ++r) {
      const float* effect = tree.effect_of_row(r);
      std::copy(effect, effect + width_, row(r));
    }
    return;
  }
  add_rows(tree.width, [&tree](std::size_t r) { return tree.effect_of_row(r); });
}

EffectTable EffectSum::mean(std::size_t n_trees) const {
  EffectTable result;
  if (n_rows_ == 0) return result;
  require_columns(width_);
  const float divisor = static_cast<float>(n_trees);
  result.n_rows = n_rows_;
  result.n_cols = width_;
  result.values.resize(n_rows_ * width_);
  for (std::size_t r = 0; r < n_rows_; ++r) {
    const float* sum = values_.data() + r * stride_;
    float* out = result.values.data() + r * width_;
    for (std::size_t c = 0; c < width_; ++c) out[c] = sum[c] / divisor;
  }
  return result;
}

}  // namespace quorvanta
