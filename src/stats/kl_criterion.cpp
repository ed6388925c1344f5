#include "stats/kl_criterion.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "common/fault.hpp"
#include "stats/flat_histogram.hpp"
#include "stats/histogram.hpp"
#include "stats/matrix.hpp"
#include "stats/split_scan.hpp"

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

namespace {

// The node's part of kl_normalization, which is the same for every candidate of a scan.
struct NormalizationTerms {
  float pooled_weight = 0.0f;  // entropy_term(N_T / n, n_c / n) * alpha
  float control_offset = 0.0f;
  float treated_offset = 0.0f;
  float control_share_of_total = 0.0f;
};

// group_terms holds three floats per treatment group i = 1..G-1, at 3 * i: the pair weight
// entropy_term(n_i / (n_c + n_i), n_c / (n_c + n_i)) * (1 - alpha), n_i + 0.1 and n_i / n.
NormalizationTerms normalization_terms(std::span<const float> node_n, float alpha,
                                       std::vector<float>& group_terms) {
  const std::size_t n_groups = node_n.size();
  const float n_control = node_n[0];
  float n_treated = 0.0f;
  for (std::size_t i = 1; i < n_groups; ++i) n_treated = n_treated + node_n[i];
  const float n_total = n_control + n_treated;
  NormalizationTerms terms;
  terms.pooled_weight = entropy_term(n_treated / n_total, n_control / n_total) * alpha;
  terms.control_offset = n_control + kCountOffset;
  terms.treated_offset = n_treated + kCountOffset;
  terms.control_share_of_total = n_control / n_total;
  group_terms.resize(3 * n_groups);
  for (std::size_t i = 1; i < n_groups; ++i) {
    const float n_group = node_n[i];
    const float pair_total = n_control + n_group;
    group_terms[3 * i] =
        entropy_term(n_group / pair_total, n_control / pair_total) * (1.0f - alpha);
    group_terms[3 * i + 1] = n_group + kCountOffset;
    group_terms[3 * i + 2] = n_group / n_total;
  }
  return terms;
}

// kl_normalization(node, left, alpha) from the node's precomputed terms and the left child's
// group weights, evaluated in the same order.
float candidate_normalization(const NormalizationTerms& terms,
                              const std::vector<float>& group_terms,
                              std::span<const float> left_n) {
  const std::size_t n_groups = left_n.size();
  float left_treated = 0.0f;
  for (std::size_t i = 1; i < n_groups; ++i) left_treated = left_treated + left_n[i];
  const float control_share = left_n[0] / terms.control_offset;
  const float treated_share = left_treated / terms.treated_offset;
  float norm = terms.pooled_weight * kl_divergence(treated_share, control_share) + 0.0f;
  for (std::size_t i = 1; i < n_groups; ++i) {
    const float group_share = left_n[i] / group_terms[3 * i + 1];
    norm = norm + group_terms[3 * i] * kl_divergence(group_share, control_share);
    norm = norm + group_terms[3 * i + 2] * entropy(group_share);
  }
  norm = norm + terms.control_share_of_total * entropy(control_share);
  return norm + kNormalizationOffset;
}

// Regularised child probabilities into `p` (class-1 weights and group weights given), and the
// summed divergence of every treatment group from the control group.
float child_divergence(std::span<const float> positive, std::span<const float> n,
                       std::span<const float> node_p, float min_samples_treatment, float n_reg,
                       std::span<float> p) {
  const std::size_t n_groups = n.size();
  for (std::size_t g = 0; g < n_groups; ++g) {
    // Strict test: a NaN weight keeps the parent's probability.
    p[g] = n[g] > min_samples_treatment ? (positive[g] + node_p[g] * n_reg) / (n[g] + n_reg)
                                        : node_p[g];
  }
  float total = 0.0f;
  for (std::size_t g = 1; g < n_groups; ++g) total = total + kl_divergence(p[g], p[0]);
  return total;
}

}  // namespace

FeatureSplit scan_kl_cells(const KlCriterionParams& params, const FeatureShape& shape,
                           std::vector<float>& cells, ScanScratch& scratch,
                           std::vector<float>& summary) {
  const std::size_t n_groups = shape.n_groups;
  const std::size_t n_slots = slot_count(shape.n_bins);
  // Without groups the children's tables have no columns: the subtraction's own failure.
  if (n_groups == 0 && shape.n_bins > 0) (void)matrix_sub(Matrix(2), Matrix(2));

  // Totals, class 0 row then class 1 row; cumulative form in place for a numeric feature.
  std::vector<float>& totals = scratch.totals;
  totals.resize(2 * n_groups);
  for (std::size_t row = 0; row < 2 * n_groups; ++row) {
    totals[row] = accumulate_row(&cells[row * kSlotStride], n_slots, 1, !shape.is_cat);
  }
  const float* const class0_totals = totals.data();
  const float* const class1_totals = totals.data() + n_groups;

  // Node summary without parent, rows [p_g, n_g]; p and n also kept apart for the scan.
  summary.resize(2 * n_groups);
  // left / right: p, n and class-1 weight per group, each a block of G floats.
  scratch.left.resize(3 * n_groups);
  scratch.right.resize(3 * n_groups);
  scratch.node.resize(2 * n_groups);
  const std::span<float> node_p(scratch.node.data(), n_groups);
  const std::span<float> node_n(scratch.node.data() + n_groups, n_groups);
  for (std::size_t g = 0; g < n_groups; ++g) {
    const float positive = class1_totals[g];
    const float n = class0_totals[g] + positive;
    node_p[g] = n > 0.0f ? positive / n : 0.0f;
    node_n[g] = n;
    summary[2 * g] = node_p[g];
    summary[2 * g + 1] = n;
  }
  float node_divergence = 0.0f;
  for (std::size_t g = 1; g < n_groups; ++g) {
    node_divergence = node_divergence + kl_divergence(node_p[g], node_p[0]);
  }

  const float min_samples_leaf = static_cast<float>(params.min_samples_leaf);
  const float min_samples_treatment = static_cast<float>(params.min_samples_treatment);
  const float n_reg = static_cast<float>(params.n_reg);
  NormalizationTerms terms;
  if (params.normalization && n_groups > 0) {
    terms = normalization_terms(node_n, params.alpha, scratch.group_terms);
  }

  const std::span<float> left_p(scratch.left.data(), n_groups);
  const std::span<float> left_n(scratch.left.data() + n_groups, n_groups);
  const std::span<float> left_positive(scratch.left.data() + 2 * n_groups, n_groups);
  const std::span<float> right_p(scratch.right.data(), n_groups);
  const std::span<float> right_n(scratch.right.data() + n_groups, n_groups);
  const std::span<float> right_positive(scratch.right.data() + 2 * n_groups, n_groups);

  FeatureSplit best;
  best.is_cat = shape.is_cat;
  // Slot B holds the missing values and is never a candidate.
  for (std::size_t k = 0; k < shape.n_bins; ++k) {
    // Child weights in group order, and the smallest group weight: a NaN weight never becomes
    // the smallest, so it cannot reject a candidate.
    float n_left = 0.0f;
    float n_right = 0.0f;
    float smallest_left = std::numeric_limits<float>::infinity();
    float smallest_right = std::numeric_limits<float>::infinity();
    for (std::size_t g = 0; g < n_groups; ++g) {
      const float left0 = cells[g * kSlotStride + k];
      const float left1 = cells[(n_groups + g) * kSlotStride + k];
      const float right0 = class0_totals[g] - left0;
      const float right1 = class1_totals[g] - left1;
      left_positive[g] = left1;
      right_positive[g] = right1;
      left_n[g] = left0 + left1;
      right_n[g] = right0 + right1;
      n_left = n_left + left_n[g];
      n_right = n_right + right_n[g];
      smallest_left = std::fmin(smallest_left, left_n[g]);
      smallest_right = std::fmin(smallest_right, right_n[g]);
    }
    if (n_left < min_samples_leaf || n_right < min_samples_leaf ||
        smallest_left < min_samples_treatment || smallest_right < min_samples_treatment) {
      continue;
    }
    // Probabilities, divergences and logarithms only for admissible candidates.
    const float left_divergence =
        child_divergence(left_positive, left_n, node_p, min_samples_treatment, n_reg, left_p);
    const float right_divergence =
        child_divergence(right_positive, right_n, node_p, min_samples_treatment, n_reg, right_p);
    const float norm =
        params.normalization ? candidate_normalization(terms, scratch.group_terms, left_n) : 1.0f;
    const float left_share = n_left / (n_left + n_right);
    const float gain = (((1.0f - left_share) * right_divergence + left_divergence * left_share) -
                        node_divergence) /
                       norm;
    // Strictly better only: the lowest slot wins ties and NaN never wins.
    if (gain > best.gain) {
      best.gain = gain;
      best.value = static_cast<std::uint8_t>(k);
      best.gain_importance = (right_divergence * n_right + left_divergence * n_left) -
                             (n_left + n_right) * node_divergence;
    }
  }
  return best;
}

SplitInfo kl_best_split(const KlCriterionParams& params, const DataMatrix& data,
                        std::uint64_t node_id, std::uint64_t feature, std::span<const RowId> rows) {
  const FeatureShape shape = feature_shape(data, feature);
  std::vector<float> cells;
  fill_class_cells(data, feature, rows, slot_count(shape.n_bins), shape.n_groups, cells);
  ScanScratch scratch;
  std::vector<float> summary;
  const FeatureSplit split = scan_kl_cells(params, shape, cells, scratch, summary);
  return make_split_info(node_id, feature, split, summary, 2);
}

}  // namespace quorvanta
