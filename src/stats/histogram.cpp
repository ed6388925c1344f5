#include "stats/histogram.hpp"

#include <algorithm>
#include <cstdint>

#include "common/fault.hpp"
#include "stats/flat_histogram.hpp"

namespace quorvanta {
namespace {

void make_cumulative(std::vector<float>& row) {
  accumulate_row(row.data(), row.size(), 1, true);
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
  const std::size_t n_slots = slot_count(n_bins);
  std::vector<float> cells;
  fill_class_cells(data, feature, rows, n_slots, n_groups, cells);
  ClassHistogram histogram(2, std::vector<std::vector<float>>(n_groups));
  for (std::size_t c = 0; c < 2; ++c) {
    for (std::size_t g = 0; g < n_groups; ++g) {
      const auto first = cells.begin() + (c * n_groups + g) * kSlotStride;
      histogram[c][g].assign(first, first + n_slots);
    }
  }
  return histogram;
}

RegressionHistograms build_regression_histograms(const DataMatrix& data, std::size_t feature,
                                                 std::span<const RowId> rows, std::size_t n_bins,
                                                 std::size_t n_groups, bool is_cat) {
  const std::size_t n_slots = slot_count(n_bins);
  std::vector<float> cells;
  fill_regression_cells(data, feature, rows, n_slots, n_groups, cells);
  RegressionHistograms histograms;
  std::vector<std::vector<float>>* const outputs[kRegressionSums] = {
      &histograms.sum_w, &histograms.sum_wy, &histograms.sum_wy2};
  for (std::size_t sum = 0; sum < kRegressionSums; ++sum) {
    outputs[sum]->assign(n_groups, std::vector<float>(n_slots));
    for (std::size_t g = 0; g < n_groups; ++g) {
      std::vector<float>& out = (*outputs[sum])[g];
      for (std::size_t slot = 0; slot < n_slots; ++slot) {
        out[slot] = cells[(g * kSlotStride + slot) * kRegressionSums + sum];
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
