#include "stats/regression_criterion.hpp"

#include <cmath>
#include <vector>

#include "common/fault.hpp"
#include "stats/histogram.hpp"

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

SplitInfo regression_best_split(const RegressionCriterionParams& params, const DataMatrix& data,
                                std::uint64_t node_id, std::uint64_t feature,
                                std::span<const RowId> rows) {
  const FeatureShape shape = feature_shape(data, feature);
  const RegressionHistograms histograms =
      build_regression_histograms(data, feature, rows, shape.n_bins, shape.n_groups, shape.is_cat);
  const std::size_t n_groups = shape.n_groups;
  std::vector<float> w_totals(n_groups);
  std::vector<float> s_totals(n_groups);
  std::vector<float> q_totals(n_groups);
  for (std::size_t g = 0; g < n_groups; ++g) {
    w_totals[g] = row_total(histograms.sum_w[g], shape.is_cat);
    s_totals[g] = row_total(histograms.sum_wy[g], shape.is_cat);
    q_totals[g] = row_total(histograms.sum_wy2[g], shape.is_cat);
  }

  // Without treatment group 1 there is nothing to compare: the first read of a missing group fails.
  const PairSums node{checked_at(w_totals, 0),
                      checked_at(w_totals, 1),
                      s_totals[0],
                      s_totals[1],
                      q_totals[0],
                      q_totals[1]};
  const float node_score = pair_score(node, params.alpha);
  const float n = node.w0 + node.w1;

  SplitInfo best;
  best.node_id = node_id;
  best.feature_id = feature;
  best.treatment_id = 0;
  best.iscat = shape.is_cat;
  const auto& sum_w = histograms.sum_w;
  const auto& sum_wy = histograms.sum_wy;
  const auto& sum_wy2 = histograms.sum_wy2;
  // Slot B holds the missing values and is never a candidate.
  for (std::size_t k = 0; k < shape.n_bins; ++k) {
    const PairSums left{sum_w[0][k],  sum_w[1][k],   sum_wy[0][k],
                        sum_wy[1][k], sum_wy2[0][k], sum_wy2[1][k]};
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
      best.value = std::vector<std::uint8_t>{static_cast<std::uint8_t>(k)};
    }
  }
  best.gain_importance = best.gain;
  best.summary = regression_group_summary(s_totals, w_totals);
  return best;
}

}  // namespace quorvanta
