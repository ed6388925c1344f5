// Weighted per-group histograms of a node's rows over one feature's bin slots, and the per-group
// summaries derived from them. Slot B (the bin count) collects rows whose bin is missing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "data/data_matrix.hpp"
#include "tree/split_info.hpp"

namespace quorvanta {

// h[c][g][s]: class c in {0, 1}, group g in 0..G-1, slot s in 0..B.
using ClassHistogram = std::vector<std::vector<std::vector<float>>>;

// Each indexed [g][s].
struct RegressionHistograms {
  std::vector<std::vector<float>> sum_w;
  std::vector<std::vector<float>> sum_wy;
  std::vector<std::vector<float>> sum_wy2;
};

// What the criteria read of a feature: categorical flag, bin count B and group count G.
struct FeatureShape {
  bool is_cat = false;
  std::size_t n_bins = 0;    // B
  std::size_t n_groups = 0;  // G
};

// Absent-value failure for an unknown feature, a feature without bin count, or no treatment column.
FeatureShape feature_shape(const DataMatrix& data, std::size_t feature);

// Raw form.
ClassHistogram build_class_histogram(const DataMatrix& data, std::size_t feature,
                                     std::span<const RowId> rows, std::size_t n_bins,
                                     std::size_t n_groups);
// Cumulative form unless `is_cat`.
RegressionHistograms build_regression_histograms(const DataMatrix& data, std::size_t feature,
                                                 std::span<const RowId> rows, std::size_t n_bins,
                                                 std::size_t n_groups, bool is_cat);

std::vector<float> to_cumulative(const std::vector<float>& row);
// Total of a raw (categorical) or cumulative (numeric) histogram row.
float row_total(const std::vector<float>& row, bool is_cat);

// rows [p_g, n_g]; with a parent the probabilities are regularised toward it.
GroupSummary class_group_summary(const Matrix& totals, const GroupSummary* parent,
                                 std::uint64_t min_samples_treatment, std::uint64_t n_reg);
// rows [sum_wy_g / sum_w_g]
GroupSummary regression_group_summary(const std::vector<float>& sum_wy_totals,
                                      const std::vector<float>& sum_w_totals);

}  // namespace quorvanta
