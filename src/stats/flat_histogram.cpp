#include "stats/flat_histogram.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "common/fault.hpp"
#include "data/bin.hpp"

namespace quorvanta {
namespace {

const std::vector<std::uint8_t>& feature_column(const DataMatrix& data, std::size_t feature) {
  if (feature >= data.x.size()) fail_absent_value();
  return data.x[feature];
}

// Only the first treatment column takes part in splitting.
const std::vector<std::uint8_t>& group_column(const DataMatrix& data) {
  if (data.treatment.empty()) fail_absent_value();
  return data.treatment.front();
}

// A present bin is its own slot; a missing one goes to the last slot.
std::size_t bin_slot(std::uint8_t bin, std::size_t n_slots) {
  if (bin == kMissingBin) return n_slots - 1;
  if (bin >= n_slots) fail_index(n_slots, bin);
  return bin;
}

}  // namespace

void reset_cells(std::vector<float>& cells, std::size_t n_rows, std::size_t n_slots,
                 std::size_t width) {
  const std::size_t row_size = kSlotStride * width;
  if (cells.size() < n_rows * row_size) cells.resize(n_rows * row_size);
  for (std::size_t row = 0; row < n_rows; ++row) {
    std::fill_n(cells.begin() + row * row_size, n_slots * width, 0.0f);
  }
}

void fill_class_cells(const DataMatrix& data, std::size_t feature, std::span<const RowId> rows,
                      std::size_t n_slots, std::size_t n_groups, std::vector<float>& cells) {
  const std::vector<std::uint8_t>& bins = feature_column(data, feature);
  const std::vector<std::uint8_t>& groups = group_column(data);
  reset_cells(cells, 2 * n_groups, n_slots, 1);
  for (const RowId row : rows) {
    const float y = checked_at(data.y, row);
    const std::uint8_t group = checked_at(groups, row);
    const std::uint8_t bin = checked_at(bins, row);
    const float w = checked_at(data.weight, row);
    const std::uint64_t outcome = outcome_class(y);
    if (outcome >= 2) fail_index(2, outcome);
    if (group >= n_groups) fail_index(n_groups, group);
    float& cell = cells[(outcome * n_groups + group) * kSlotStride + bin_slot(bin, n_slots)];
    cell = w + cell;
  }
}

void fill_regression_cells(const DataMatrix& data, std::size_t feature, std::span<const RowId> rows,
                           std::size_t n_slots, std::size_t n_groups, std::vector<float>& cells) {
  const std::vector<std::uint8_t>& bins = feature_column(data, feature);
  const std::vector<std::uint8_t>& groups = group_column(data);
  reset_cells(cells, n_groups, n_slots, kRegressionSums);
  // The weight sums never read the outcome, so a row past the end of the outcome column is
  // reported only once every row has passed the other checks.
  std::optional<RowId> first_row_without_outcome;
  for (const RowId row : rows) {
    const std::uint8_t group = checked_at(groups, row);
    const std::uint8_t bin = checked_at(bins, row);
    const float w = checked_at(data.weight, row);
    if (group >= n_groups) fail_index(n_groups, group);
    float* cell = &cells[(group * kSlotStride + bin_slot(bin, n_slots)) * kRegressionSums];
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
}

}  // namespace quorvanta
