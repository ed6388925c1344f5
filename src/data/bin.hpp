// Feature binning: numeric features are cut at values taken from the data, categorical features
// keep their most frequent categories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvanta {

class ColumnKeys;

// Bin index of a cell: 0..254 are bins, kMissingBin marks a missing cell (and is its sort key).
inline constexpr std::uint8_t kMissingBin = 255;

// How from_values ordered a column's values; tests check that long columns keep the fast way.
struct ThresholdSearch {
  bool by_selection = false;  // only the buckets of the ranks read were sorted (RankedKeys)
  std::size_t gathering_passes = 0;
  bool sorted_everything = false;
};

// Columns passed to binning hold f32 cells, missing cells as the pattern of cell_table.hpp.
struct ContinuousBin {
  std::uint64_t n_bin = 1;       // threshold.size() + 1
  std::vector<float> threshold;  // strictly ascending cut values, at most 253
  // A value's bin is the number of thresholds t with x >= t. A list in ascending order without
  // NaN (every list from_values makes) is binary searched; a list read from a file may be in any
  // order or hold a NaN, and then each value counts the thresholds one by one.
  bool counts_thresholds = false;

  // `search`, when given, tells how the values were ordered.
  static ContinuousBin from_values(std::span<const float> column, std::uint64_t n_bin,
                                   ThresholdSearch* search = nullptr);
  // The same record from the column's keys, which it takes. Nothing, with the keys left, when
  // the cut needs the cells themselves (present +inf and missing cells, which share a sort key):
  // from_values on the column gives the record then. Fails as from_values does.
  static std::optional<ContinuousBin> from_keys(ColumnKeys& keys, std::uint64_t n_bin,
                                                ThresholdSearch* search = nullptr);
  // Chooses between the search and the count for a threshold list that from_values did not make.
  void choose_binning();
  // Writes one bin per cell to out (index failure when out is shorter); missing cells become
  // kMissingBin.
  void to_bins(std::span<const float> column, std::span<std::uint8_t> out) const;

  // The record's content; how it bins follows from the thresholds.
  bool operator==(const ContinuousBin& other) const {
    return n_bin == other.n_bin && threshold == other.threshold;
  }
};

struct DiscreteBin {
  std::uint64_t n_bin = 0;     // mapping.size(), plus one when categories were left out
  std::vector<float> mapping;  // kept categories; a value's position is its bin index

  static DiscreteBin from_values(std::span<const float> column);
  void to_bins(std::span<const float> column, std::span<std::uint8_t> out) const;

  bool operator==(const DiscreteBin&) const = default;
};

}  // namespace quorvanta
