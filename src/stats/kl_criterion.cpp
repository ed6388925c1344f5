#include "stats/kl_criterion.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "common/fault.hpp"
#include "stats/histogram.hpp"
#include "stats/matrix.hpp"

namespace quorvanta {
namespace {

constexpr float kEpsilon = std::numeric_limits<float>::epsilon();  // 2^-23
constexpr float kLowerClamp = 1e-6f;
constexpr float kUpperClamp = 0.999999f;
constexpr float kCountOffset = 0.1f;
constexpr float kNormalizationOffset = 0.5f;
// entropy_term treats a second argument of -1 (within one epsilon) as "use p itself".
constexpr float kSentinelLow = -1.0f - kEpsilon;
constexpr float kSentinelHigh = -1.0f + kEpsilon;

// Column 1 of a summary row, with matrix_column's failure for a short row.
void require_weight_column(const GroupSummary& summary) {
  for (const std::vector<float>& row : summary) {
    if (row.size() <= 1) fail_absent_value();
  }
}

// right = totals - left entry by entry, as matrix_sub computes it, without allocating per
// candidate. Both tables are 2 x G here, so the only failure matrix_sub can report is the one for
// G = 0; it is delegated to matrix_sub so the text stays its own.
void subtract_into(const Matrix& totals, const Matrix& left, Matrix& right) {
  if (totals.front().empty()) (void)matrix_sub(totals, left);
  for (std::size_t c = 0; c < totals.size(); ++c) {
    for (std::size_t g = 0; g < totals[c].size(); ++g) right[c][g] = totals[c][g] - left[c][g];
  }
}

struct ChildWeights {
  float total = 0.0f;
  float smallest = std::numeric_limits<float>::infinity();
};

// Total weight in group order and the smallest group weight; a NaN weight never becomes the
// smallest, so it cannot reject a candidate.
ChildWeights child_weights(const GroupSummary& summary) {
  ChildWeights weights;
  for (const std::vector<float>& row : summary) {
    weights.total = weights.total + row[1];
    weights.smallest = std::fmin(weights.smallest, row[1]);
  }
  return weights;
}

}  // namespace

float kl_divergence(float p, float q) {
  if (q < kEpsilon) return 0.0f;
  // fmin/fmax drop a NaN operand, so a NaN q clamps to the lower bound.
  const float q_clamped = std::fmin(std::fmax(q, kLowerClamp), kUpperClamp);
  if (p < kEpsilon) return -std::log(1.0f - q_clamped);
  if (1.0f - p < kEpsilon) return -std::log(q_clamped);
  return p * std::log(p / q_clamped) + (1.0f - p) * std::log((1.0f - p) / (1.0f - q_clamped));
}

float treatment_divergence(const GroupSummary& summary) {
  float total = 0.0f;
  for (std::size_t g = 1; g < summary.size(); ++g) {
    const float treated = checked_at(summary[g], 0);
    const float control = checked_at(summary[0], 0);
    total = total + kl_divergence(treated, control);
  }
  return total;
}

float entropy(float p) {
  return p > 0.0f ? -p * std::log(p) : 0.0f;
}

float entropy_term(float p, float q) {
  if (p > 0.0f && kSentinelLow <= q && q <= kSentinelHigh) return -p * std::log(p);
  if (q > 0.0f) return -p * std::log(q);
  return 0.0f;
}

float kl_normalization(const GroupSummary& node, const GroupSummary& left, float alpha) {
  require_weight_column(node);
  require_weight_column(left);
  const std::size_t n_groups = node.size();
  const float n_control = checked_at(node, 0)[1];
  float n_treated = 0.0f;
  for (std::size_t i = 1; i < n_groups; ++i) n_treated = n_treated + node[i][1];
  const float n_total = n_control + n_treated;
  const float left_control = checked_at(left, 0)[1];
  float left_treated = 0.0f;
  for (std::size_t i = 1; i < n_groups; ++i) left_treated = left_treated + checked_at(left, i)[1];

  const float control_share = left_control / (n_control + kCountOffset);
  const float treated_share = left_treated / (n_treated + kCountOffset);
  float norm = (entropy_term(n_treated / n_total, n_control / n_total) * alpha) *
                   kl_divergence(treated_share, control_share) +
               0.0f;
  for (std::size_t i = 1; i < n_groups; ++i) {
    const float n_group = node[i][1];
    const float group_share = left[i][1] / (n_group + kCountOffset);
    const float pair_total = n_control + n_group;
    norm = norm + (entropy_term(n_group / pair_total, n_control / pair_total) * (1.0f - alpha)) *
                      kl_divergence(group_share, control_share);
    norm = norm + (n_group / n_total) * entropy(group_share);
  }
  norm = norm + (n_control / n_total) * entropy(control_share);
  return norm + kNormalizationOffset;
}

SplitInfo kl_best_split(const KlCriterionParams& params, const DataMatrix& data,
                        std::uint64_t node_id, std::uint64_t feature, std::span<const RowId> rows) {
  const FeatureShape shape = feature_shape(data, feature);
  ClassHistogram histogram =
      build_class_histogram(data, feature, rows, shape.n_bins, shape.n_groups);
  if (!shape.is_cat) {
    for (auto& class_rows : histogram) {
      for (std::vector<float>& row : class_rows) row = to_cumulative(row);
    }
  }
  const std::size_t n_groups = shape.n_groups;
  Matrix totals(2, std::vector<float>(n_groups));
  for (std::size_t c = 0; c < 2; ++c) {
    for (std::size_t g = 0; g < n_groups; ++g) {
      totals[c][g] = row_total(histogram[c][g], shape.is_cat);
    }
  }

  const float min_samples_leaf = static_cast<float>(params.min_samples_leaf);
  const float min_samples_treatment = static_cast<float>(params.min_samples_treatment);
  const float n_reg = static_cast<float>(params.n_reg);

  SplitInfo best;
  best.node_id = node_id;
  best.feature_id = feature;
  best.treatment_id = 0;
  best.iscat = shape.is_cat;
  class_group_summary_into(totals, nullptr, min_samples_treatment, n_reg, best.summary);
  const GroupSummary& node = best.summary;
  const float node_divergence = treatment_divergence(node);

  // Scratch tables reused by every candidate.
  Matrix left = totals;
  Matrix right = totals;
  GroupSummary left_summary;
  GroupSummary right_summary;
  // Slot B holds the missing values and is never a candidate.
  for (std::size_t k = 0; k < shape.n_bins; ++k) {
    for (std::size_t c = 0; c < 2; ++c) {
      for (std::size_t g = 0; g < n_groups; ++g) left[c][g] = histogram[c][g][k];
    }
    subtract_into(totals, left, right);
    class_group_summary_into(left, &node, min_samples_treatment, n_reg, left_summary);
    class_group_summary_into(right, &node, min_samples_treatment, n_reg, right_summary);
    const ChildWeights left_weights = child_weights(left_summary);
    const ChildWeights right_weights = child_weights(right_summary);
    if (left_weights.total < min_samples_leaf || right_weights.total < min_samples_leaf ||
        left_weights.smallest < min_samples_treatment ||
        right_weights.smallest < min_samples_treatment) {
      continue;
    }
    // Divergences only for admissible candidates: they cannot fail, and skip most logarithms.
    const float left_divergence = treatment_divergence(left_summary);
    const float right_divergence = treatment_divergence(right_summary);
    const float norm =
        params.normalization ? kl_normalization(node, left_summary, params.alpha) : 1.0f;
    const float n_left = left_weights.total;
    const float n_right = right_weights.total;
    const float left_share = n_left / (n_left + n_right);
    const float gain = (((1.0f - left_share) * right_divergence + left_divergence * left_share) -
                        node_divergence) /
                       norm;
    // Strictly better only: the lowest slot wins ties and NaN never wins.
    if (gain > best.gain) {
      best.gain = gain;
      best.value = std::vector<std::uint8_t>{static_cast<std::uint8_t>(k)};
      best.gain_importance = (right_divergence * n_right + left_divergence * n_left) -
                             (n_left + n_right) * node_divergence;
    }
  }
  return best;
}

}  // namespace quorvanta
