// Weighted per-group histograms of a node's rows over one feature's bin slots, and the per-group
// summaries derived from them. Slot B (the bin count) collects rows whose bin is missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "data/data_matrix.hpp"
#include "stats/split_info.hpp"

namespace quorvanta {

// h[c][g][s]: class c in {0, 1}, group g in 0..G-1, slot s in 0..B.
using ClassHistogram = std::vector<std::vector<std::vector<float>>>;

// Each indexed [g][s].
struct RegressionHistograms {
  std::vector<std::vector<float>> sum_w;
  std::vector<std::vector<float>> sum_wy;
  std::vector<std::vector<float>> sum_wy2;
};

// Bins are one byte and 255 marks a missing cell, so slots 255 and above never hold a row. A bin
// count above this (only a corrupt model file gives one) is treated as this: splits come out the
// same, since such slots repeat slot 254's cumulative sums or are empty like slot 255, and the
// histograms keep a bounded size.
inline constexpr std::size_t kMaxHistogramBins = 256;

// What the criteria read of a feature: categorical flag, bin count B and group count G.
struct FeatureShape {
  bool is_cat = false;
  std::size_t n_bins = 0;    // B, at most kMaxHistogramBins
  std::size_t n_groups = 0;  // G
};

// Absent-value failure for an unknown feature, a feature without bin count, or no treatment column.
FeatureShape feature_shape(const DataMatrix& data, std::size_t feature);

// Raw form. Rows are read in array order; duplicates count once per occurrence. Each histogram row
// has min(n_bins, kMaxHistogramBins) + 1 slots, the last one for missing bins.
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
// The same into `out`, reusing its rows, with the settings already converted to f32.
void class_group_summary_into(const Matrix& totals, const GroupSummary* parent,
                              float min_samples_treatment, float n_reg, GroupSummary& out);
// rows [sum_wy_g / sum_w_g]
GroupSummary regression_group_summary(const std::vector<float>& sum_wy_totals,
                                      const std::vector<float>& sum_w_totals);

}  // namespace quorvanta
