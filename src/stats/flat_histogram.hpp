// Histograms as one flat block of f32, the form the split scans work on. Row r of a histogram (one
// (class, group) pair, or one group) starts at r * kSlotStride, so a row's first cell does not
// depend on the feature's bin count. Regression histograms keep (w, y * w, y * y * w) triples per
// cell, cell c at 3 * c.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "data/data_matrix.hpp"
#include "stats/histogram.hpp"

namespace quorvanta {

inline constexpr std::size_t kSlotStride = kMaxHistogramBins + 1;
inline constexpr std::size_t kRegressionSums = 3;

// B + 1 slots, the last one for missing bins.
inline std::size_t slot_count(std::size_t n_bins) {
  return std::min(n_bins, kMaxHistogramBins) + 1;
}

// Outcome class of a classification row: truncation toward zero, saturating, so negative outcomes
// and NaN are class 0 and only outcomes in [0, 2) give a usable class. Inline: growing asks it of
// every drawn row.
inline std::uint64_t outcome_class(float y) {
  // Classes 0 and 1 without a branch on the outcome itself, which is as unpredictable as the data.
  if (y < 2.0f) return y >= 1.0f ? 1 : 0;
  if (std::isnan(y)) return 0;
  if (y >= 18446744073709551616.0f) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(y);
}

// Sizes `cells` for `n_rows` histogram rows of `width` floats per cell and zeroes the first
// `n_slots` cells of every row.
void reset_cells(std::vector<float>& cells, std::size_t n_rows, std::size_t n_slots,
                 std::size_t width);

// The raw class histogram, row (class * G + group), read row by row with every check in the order
// of build_class_histogram, so its failures are the ones reported.
void fill_class_cells(const DataMatrix& data, std::size_t feature, std::span<const RowId> rows,
                      std::size_t n_slots, std::size_t n_groups, std::vector<float>& cells);
// The raw regression triples, row g, with the failure order of build_regression_histograms.
void fill_regression_cells(const DataMatrix& data, std::size_t feature, std::span<const RowId> rows,
                           std::size_t n_slots, std::size_t n_groups, std::vector<float>& cells);

// Replaces the first n_slots values of a row read with `step` (1, or kRegressionSums for one sum
// of the triples) by their running sums when `cumulative`, and returns the row's total either way.
// Both are the same sequential sum from 0, so raw and cumulative rows have equal totals.
inline float accumulate_row(float* row, std::size_t n_slots, std::size_t step, bool cumulative) {
  float running = 0.0f;
  for (std::size_t slot = 0; slot < n_slots; ++slot) {
    float& entry = row[slot * step];
    running = running + entry;
    if (cumulative) entry = running;
  }
  return running;
}

}  // namespace quorvanta
