// Small hand-made data matrices for the tree tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "data/data_matrix.hpp"

namespace quorvanta::testing {

inline constexpr std::uint8_t kMissing = kMissingBin;

// Features given as bin columns (kMissing for a missing cell), each with one bin more than its
// largest present bin; one treatment column with two groups; outcome 0 unless given; weights 1.
inline DataMatrix matrix_of(std::vector<std::vector<std::uint8_t>> columns,
                            std::vector<std::uint8_t> categorical = {},
                            std::vector<std::uint8_t> treatment = {}, std::vector<float> y = {}) {
  DataMatrix data;
  const std::size_t n_rows = columns.empty() ? 0 : columns[0].size();
  data.x = std::move(columns);
  categorical.resize(data.x.size(), 0);
  data.is_cat = std::move(categorical);
  treatment.resize(n_rows, 0);
  data.treatment = {std::move(treatment)};
  data.n_treatment = {2};
  y.resize(n_rows, 0.0f);
  data.y = std::move(y);
  data.weight.assign(n_rows, 1.0f);
  for (std::size_t f = 0; f < data.x.size(); ++f) {
    data.feature_names.push_back(std::string("f").append(std::to_string(f)));
    std::uint64_t n_bin = 0;
    for (const std::uint8_t bin : data.x[f]) {
      if (bin != kMissing) n_bin = std::max<std::uint64_t>(n_bin, bin + 1u);
    }
    data.n_bins.insert_or_assign(data.feature_names.back(), n_bin);
  }
  return data;
}

}  // namespace quorvanta::testing
