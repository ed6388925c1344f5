// A one-feature DataMatrix ("f") built row by row, for the histogram and criterion tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "data/bin.hpp"
#include "data/data_matrix.hpp"
#include "fault_message.hpp"

namespace quorvanta::testing {

struct NodeRow {
  std::uint8_t bin;  // kMissingBin for a missing cell
  std::uint8_t group;
  float y;
  float weight = 1.0f;
};

inline DataMatrix one_feature_matrix(const std::vector<NodeRow>& rows, std::uint64_t n_bins,
                                     std::uint64_t n_groups, bool is_cat = false) {
  DataMatrix data;
  data.x.emplace_back();
  data.treatment.emplace_back();
  for (const NodeRow& row : rows) {
    data.x[0].push_back(row.bin);
    data.treatment[0].push_back(row.group);
    data.y.push_back(row.y);
    data.weight.push_back(row.weight);
  }
  data.is_cat = {static_cast<std::uint8_t>(is_cat)};
  data.feature_names = {"f"};
  data.n_treatment = {n_groups};
  data.n_bins.insert_or_assign("f", n_bins);
  return data;
}

// `count` copies of one row.
inline void add_rows(std::vector<NodeRow>& rows, std::size_t count, const NodeRow& row) {
  rows.insert(rows.end(), count, row);
}

inline std::vector<RowId> all_rows(const DataMatrix& data) {
  std::vector<RowId> ids(data.x[0].size());
  std::iota(ids.begin(), ids.end(), RowId{0});
  return ids;
}

// A value to 6 significant digits, the precision the reference figures are quoted in.
inline std::string six_digits(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", static_cast<double>(value));
  return text;
}

}  // namespace quorvanta::testing
