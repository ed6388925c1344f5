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

// Where one feature's raw values are in a table, and the record that bins them: `continuous` for a
// numeric feature, `discrete` for a categorical one. The record belongs to the loader and stays
// valid until the loader next changes.
struct RawFeature {
  std::size_t position = 0;
  const ContinuousBin* continuous = nullptr;
  const DiscreteBin* discrete = nullptr;
};

// A table checked for prediction but not binned: its row count and every feature, in feature order.
struct RawFeatures {
  std::size_t n_rows = 0;
  std::vector<RawFeature> features;
};

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

  // Checks a table as load does, with the same failures in the same order, and builds (and keeps)
  // the records of features met for the first time, but converts no cell: prediction reads the
  // features' raw values itself.
  RawFeatures locate_features(const std::vector<std::string>& headers, const CellTable& rows,
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

  // For tests: which ways the last load or locate_features took.
  struct Routes {
    std::size_t records_from_keys = 0;   // numeric records built from keys read block by block
    std::size_t records_from_cells = 0;  // numeric records that needed a whole column's cells
    std::size_t binned_by_lookup = 0;    // numeric features binned through a lookup table
  };
  const Routes& last_routes() const { return routes_; }

 private:
  struct Staging;
  // The steps load and locate_features share: column positions, records of new features, the
  // other columns' positions.
  void stage(const std::vector<std::string>& headers, const CellTable& rows, std::uint64_t n_thread,
             Staging& staging);

  std::vector<std::string> feature_cols_;
  std::string y_col_;
  std::vector<std::string> treatment_cols_;
  std::string weight_col_;
  std::vector<std::string> cat_cols_;
  OrderedMap<ContinuousBin> continuous_bins_;
  OrderedMap<DiscreteBin> discrete_bins_;
  std::uint64_t n_bin_;
  Routes routes_;
};

}  // namespace quorvanta
