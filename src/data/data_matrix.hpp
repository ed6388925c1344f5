// The loaded table on which a model trains and predicts. Read only after loading.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/ordered_map.hpp"
#include "data/bin.hpp"

namespace quorvanta {

using RowId = std::uint64_t;

struct DataMatrix {
  std::vector<std::vector<std::uint8_t>> x;          // per feature, per row: bin or kMissingBin
  std::vector<float> y;                              // empty when the outcome column was not given
  std::vector<std::vector<std::uint8_t>> treatment;  // per treatment column, per row
  std::vector<float> weight;
  std::vector<std::uint8_t> is_cat;  // per feature: 1 when categorical
  std::vector<std::string> feature_names;
  std::vector<std::uint64_t> n_treatment;  // per treatment column: largest value + 1, mod 256
  OrderedMap<std::uint64_t> n_bins;        // per binned feature name: its bin count

  // Length of the first feature column; absent-value failure without features.
  std::size_t n_rows() const;
  // The cell's bin, nullopt when missing; index failure out of range.
  std::optional<std::uint8_t> get(std::size_t feature, std::size_t row) const;
  // Stable ascending sort of `rows` by bin (missing = 255). `scratch` is reused storage.
  void sort_rows(std::span<RowId> rows, std::size_t feature, std::vector<RowId>& scratch) const;
  void sort_rows(std::span<RowId> rows, std::size_t feature) const;

  bool operator==(const DataMatrix&) const = default;
};

}  // namespace quorvanta
