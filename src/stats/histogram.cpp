#include "stats/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "common/fault.hpp"
#include "data/bin.hpp"

namespace quorvanta {
namespace {

std::size_t slot_count(std::size_t n_bins) {
  return std::min(n_bins, kMaxHistogramBins) + 1;
}

const std::vector<std::uint8_t>& feature_column(const DataMatrix& data, std::size_t feature) {
  if (feature >= data.x.size()) fail_absent_value();
  return data.x[feature];
}

// Only the first treatment column takes part in splitting.
const std::vector<std::uint8_t>& group_column(const DataMatrix& data) {
  if (data.treatment.empty()) fail_absent_value();
  return data.treatment.front();
}

// Truncation toward zero, saturating: negative outcomes and NaN are class 0.
std::uint64_t outcome_class(float y) {
  // Classes 0 and 1 without a branch on the outcome itself, which is as unpredictable as the data.
  if (y < 2.0f) return y >= 1.0f ? 1 : 0;
  if (std::isnan(y)) return 0;
  if (y >= 18446744073709551616.0f) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(y);
}

// A present bin is its own slot; a missing one goes to the last slot.
std::size_t bin_slot(std::uint8_t bin, std::size_t n_slots) {
  if (bin == kMissingBin) return n_slots - 1;
  if (bin >= n_slots) fail_index(n_slots, bin);
  return bin;
}

void make_cumulative(std::vector<float>& row) {
  float running = 0.0f;
  for (float& entry : row) {
    running = running + entry;
    entry = running;
  }
}

}  // namespace

FeatureShape feature_shape(const DataMatrix& data, std::size_t feature) {
  if (feature >= data.is_cat.size() || feature >= data.feature_names.size()) fail_absent_value();
  const std::uint64_t* n_bins = data.n_bins.find(data.feature_names[feature]);
  if (n_bins == nullptr || data.n_treatment.empty()) fail_absent_value();
  FeatureShape shape;
  shape.is_cat = data.is_cat[feature] != 0;
  shape.n_bins = std::min<std::uint64_t>(*n_bins, kMaxHistogramBins);
  shape.n_groups = data.n_treatment.front();
  return shape;
}

ClassHistogram build_class_histogram(const DataMatrix& data, std::size_t feature,
                                     std::span<const RowId> rows, std::size_t n_bins,
                                     std::size_t n_groups) {
  const std::vector<std::uint8_t>& bins = feature_column(data, feature);
  const std::vector<std::uint8_t>& groups = group_column(data);
  const std::size_t n_slots = slot_count(n_bins);
  // Accumulate in one flat block, [c][g][s] row-major, and split it into rows at the end.
  std::vector<float> cells(2 * n_groups * n_slots, 0.0f);
  for (const RowId row : rows) {
    const float y = checked_at(data.y, row);
    const std::uint8_t group = checked_at(groups, row);
    const std::uint8_t bin = checked_at(bins, row);
    const float w = checked_at(data.weight, row);
    const std::uint64_t outcome = outcome_class(y);
    if (outcome >= 2) fail_index(2, outcome);
    if (group >= n_groups) fail_index(n_groups, group);
    float& cell = cells[(outcome * n_groups + group) * n_slots + bin_slot(bin, n_slots)];
    cell = w + cell;
  }
  ClassHistogram histogram(2, std::vector<std::vector<float>>(n_groups));
  auto next_row = cells.begin();
  for (auto& class_rows : histogram) {
    for (std::vector<float>& group_row : class_rows) {
      group_row.assign(next_row, next_row + n_slots);
      next_row += n_slots;
    }
  }
  return histogram;
}

RegressionHistograms build_regression_histograms(const DataMatrix& data, std::size_t feature,
                                                 std::span<const RowId> rows, std::size_t n_bins,
                                                 std::size_t n_groups, bool is_cat) {
  const std::vector<std::uint8_t>& bins = feature_column(data, feature);
  const std::vector<std::uint8_t>& groups = group_column(data);
  const std::size_t n_slots = slot_count(n_bins);
  // One pass builds all three sums, accumulated as (w, y * w, y * y * w) triples per [g][s] in one
  // flat block and split into rows at the end. The weight sums never read the outcome, so a row
  // past the end of the outcome column is reported only once every row has passed the other checks.
  constexpr std::size_t kSums = 3;
  std::vector<float> cells(n_groups * n_slots * kSums, 0.0f);
  std::optional<RowId> first_row_without_outcome;
  for (const RowId row : rows) {
    const std::uint8_t group = checked_at(groups, row);
    const std::uint8_t bin = checked_at(bins, row);
    const float w = checked_at(data.weight, row);
    if (group >= n_groups) fail_index(n_groups, group);
    float* cell = &cells[(group * n_slots + bin_slot(bin, n_slots)) * kSums];
    cell[0] = cell[0] + w;
    if (row >= data.y.size()) {
      if (!first_row_without_outcome) first_row_without_outcome = row;
      continue;
    }
    const float y = data.y[row];
    cell[1] = cell[1] + y * w;
    cell[2] = cell[2] + (y * y) * w;
  }
  if (first_row_without_outcome) fail_index(data.y.size(), *first_row_without_outcome);

  RegressionHistograms histograms;
  std::vector<std::vector<float>>* const outputs[kSums] = {&histograms.sum_w, &histograms.sum_wy,
                                                           &histograms.sum_wy2};
  for (std::size_t sum = 0; sum < kSums; ++sum) {
    outputs[sum]->assign(n_groups, std::vector<float>(n_slots));
    for (std::size_t g = 0; g < n_groups; ++g) {
      std::vector<float>& out = (*outputs[sum])[g];
      for (std::size_t slot = 0; slot < n_slots; ++slot) {
        out[slot] = cells[(g * n_slots + slot) * kSums + sum];
      }
      if (!is_cat) make_cumulative(out);
    }
  }
  return histograms;
}

std::vector<float> to_cumulative(const std::vector<float>& row) {
  std::vector<float> out = row;
  make_cumulative(out);
  return out;
}

float row_total(const std::vector<float>& row, bool is_cat) {
  if (!is_cat) {
    if (row.empty()) fail_absent_value();
    return row.back();
  }
  float total = 0.0f;
  for (const float entry : row) total = total + entry;
  return total;
}

void class_group_summary_into(const Matrix& totals, const GroupSummary* parent,
                              float min_samples_treatment, float n_reg, GroupSummary& out) {
  const std::vector<float>& class0 = checked_at(totals, 0);
  const std::vector<float>& class1 = checked_at(totals, 1);
  const std::size_t n_groups = class0.size();
  out.resize(n_groups);
  for (std::size_t g = 0; g < n_groups; ++g) {
    const float positive = checked_at(class1, g);
    const float n = class0[g] + positive;
    float p;
    if (parent == nullptr) {
      p = n > 0.0f ? positive / n : 0.0f;
    } else {
      const float parent_p = checked_at(checked_at(*parent, g), 0);
      // Strict test: a NaN weight keeps the parent's probability.
      p = n > min_samples_treatment ? (positive + parent_p * n_reg) / (n + n_reg) : parent_p;
    }
    out[g].resize(2);
    out[g][0] = p;
    out[g][1] = n;
  }
}

GroupSummary class_group_summary(const Matrix& totals, const GroupSummary* parent,
                                 std::uint64_t min_samples_treatment, std::uint64_t n_reg) {
  GroupSummary summary;
  class_group_summary_into(totals, parent, static_cast<float>(min_samples_treatment),
                           static_cast<float>(n_reg), summary);
  return summary;
}

GroupSummary regression_group_summary(const std::vector<float>& sum_wy_totals,
                                      const std::vector<float>& sum_w_totals) {
  GroupSummary summary(sum_wy_totals.size());
  for (std::size_t g = 0; g < sum_wy_totals.size(); ++g) {
    summary[g] = {sum_wy_totals[g] / checked_at(sum_w_totals, g)};
  }
  return summary;
}

}  // namespace quorvanta
