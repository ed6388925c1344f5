#include "stats/regression_criterion.hpp"

#include <cmath>
#include <vector>

#include "common/fault.hpp"
#include "stats/flat_histogram.hpp"
#include "stats/histogram.hpp"
#include "stats/split_scan.hpp"

namespace quorvanta {
namespace {

// Weight, outcome and squared-outcome sums of the control group (0) and treatment group 1.
struct PairSums {
  float w0, w1, s0, s1, q0, q1;
};

float pair_score(const PairSums& sums, float alpha) {
  return regression_score(sums.w0, sums.w1, sums.s0, sums.s1, sums.q0, sums.q1, alpha);
}

}  // namespace

float regression_score(float w0, float w1, float s0, float s1, float q0, float q1, float alpha) {
  const float tau = s1 / w1 - s0 / w0;
  const float v1 = q1 / w1 - (s1 * s1) / (w1 * w1);
  const float v0 = q0 / w0 - (s0 * s0) / (w0 * w0);
  return std::fabs(w1 - w0) * alpha + ((v0 / w0 + v1 / w1) - tau * tau);
}

FeatureSplit scan_regression_cells(const RegressionCriterionParams& params,
                                   const FeatureShape& shape, std::vector<float>& cells,
                                   ScanScratch& scratch, std::vector<float>& summary) {
  const std::size_t n_groups = shape.n_groups;
  const std::size_t n_slots = slot_count(shape.n_bins);
  // Totals (W_g, S_g, Q_g) per group; cumulative form in place for a numeric feature.
  std::vector<float>& totals = scratch.totals;
  totals.resize(kRegressionSums * n_groups);
  for (std::size_t g = 0; g < n_groups; ++g) {
    for (std::size_t sum = 0; sum < kRegressionSums; ++sum) {
      float* const row = &cells[g * kSlotStride * kRegressionSums + sum];
      totals[g * kRegressionSums + sum] =
          accumulate_row(row, n_slots, kRegressionSums, !shape.is_cat);
    }
  }
  // Without treatment group 1 there is nothing to compare: the read of the missing group fails.
  if (n_groups < 2) fail_index(n_groups, n_groups);
  const float* const group0 = &totals[0];
  const float* const group1 = &totals[kRegressionSums];
  const PairSums node{group0[0], group1[0], group0[1], group1[1], group0[2], group1[2]};
  const float node_score = pair_score(node, params.alpha);
  const float n = node.w0 + node.w1;

  FeatureSplit best;
  best.is_cat = shape.is_cat;
  const float* const cells0 = &cells[0];
  const float* const cells1 = &cells[kSlotStride * kRegressionSums];
  // Slot B holds the missing values and is never a candidate.
  for (std::size_t k = 0; k < shape.n_bins; ++k) {
    const float* const left0 = cells0 + k * kRegressionSums;
    const float* const left1 = cells1 + k * kRegressionSums;
    const PairSums left{left0[0], left1[0], left0[1], left1[1], left0[2], left1[2]};
    const PairSums right{node.w0 - left.w0, node.w1 - left.w1, node.s0 - left.s0,
                         node.s1 - left.s1, node.q0 - left.q0, node.q1 - left.q1};
    const float left_score = pair_score(left, params.alpha);
    const float right_score = pair_score(right, params.alpha);
    const float n_left = left.w1 + left.w0;
    const float n_right = right.w0 + right.w1;
    const float gain = (node_score - (n_left * left_score) / n) - (n_right * right_score) / n;
    // Strictly better only: the lowest slot wins ties, and an empty group's NaN score never wins.
    if (gain > best.gain) {
      best.gain = gain;
      best.value = static_cast<std::uint8_t>(k);
    }
  }
  best.gain_importance = best.gain;
  summary.resize(n_groups);
  for (std::size_t g = 0; g < n_groups; ++g) {
    summary[g] = totals[g * kRegressionSums + 1] / totals[g * kRegressionSums];
  }
  return best;
}

SplitInfo regression_best_split(const RegressionCriterionParams& params, const DataMatrix& data,
                                std::uint64_t node_id, std::uint64_t feature,
                                std::span<const RowId> rows) {
  const FeatureShape shape = feature_shape(data, feature);
  std::vector<float> cells;
  fill_regression_cells(data, feature, rows, slot_count(shape.n_bins), shape.n_groups, cells);
  ScanScratch scratch;
  std::vector<float> summary;
  const FeatureSplit split = scan_regression_cells(params, shape, cells, scratch, summary);
  return make_split_info(node_id, feature, split, summary, 1);
}

}  // namespace quorvanta
