// Turns the caller's headers and rows into a DataMatrix, binning each feature with the bin record
// built the first time the feature was met.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/ordered_map.hpp"
#include "data/bin.hpp"
#include "data/cell_table.hpp"
#include "data/data_matrix.hpp"

namespace quorvanta {

inline constexpr std::uint64_t kMaxBins = 255;

class DataLoader {
 public:
  // Fails with "n_bin {} exceeds max {}" when n_bin > 254.
  DataLoader(std::vector<std::string> feature_cols, std::string y_col,
             std::vector<std::string> treatment_cols, std::string weight_col,
             std::vector<std::string> cat_cols, std::uint64_t n_bin,
             OrderedMap<ContinuousBin> continuous_bins = {},
             OrderedMap<DiscreteBin> discrete_bins = {});

  // May add bin records; a failed load keeps those inserted before the failure. Features are read
  // and binned on up to n_thread threads (0 or 1: the caller's only) with the same result, records
  // and failure as on one.
  DataMatrix load(const std::vector<std::string>& headers, const CellTable& rows,
                  std::uint64_t n_thread = 1);

  // Position of the first header equal to each wanted name; "Column is missing: {}" when
  // `required` and a name has none.
  static std::vector<std::optional<std::size_t>> find_columns(
      const std::vector<std::string>& headers, const std::vector<std::string>& wanted,
      bool required);

  const std::vector<std::string>& feature_cols() const { return feature_cols_; }
  const OrderedMap<ContinuousBin>& continuous_bins() const { return continuous_bins_; }
  const OrderedMap<DiscreteBin>& discrete_bins() const { return discrete_bins_; }
  std::uint64_t n_bin() const { return n_bin_; }

 private:
  std::vector<std::string> feature_cols_;
  std::string y_col_;
  std::vector<std::string> treatment_cols_;
  std::string weight_col_;
  std::vector<std::string> cat_cols_;
  OrderedMap<ContinuousBin> continuous_bins_;
  OrderedMap<DiscreteBin> discrete_bins_;
  std::uint64_t n_bin_;
};

}  // namespace quorvanta
