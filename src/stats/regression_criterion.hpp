// The regression uplift criterion: control (group 0) against treatment group 1.
#pragma once

#include <cstdint>
#include <span>

#include "data/data_matrix.hpp"
#include "stats/split_info.hpp"

namespace quorvanta {

struct RegressionCriterionParams {
  std::uint64_t min_samples_leaf = 100;
  std::uint64_t min_samples_treatment = 10;
  float alpha = 0.9f;

  bool operator==(const RegressionCriterionParams&) const = default;
};

float regression_score(float w0, float w1, float s0, float s1, float q0, float q1, float alpha);

SplitInfo regression_best_split(const RegressionCriterionParams& params, const DataMatrix& data,
                                std::uint64_t node_id, std::uint64_t feature,
                                std::span<const RowId> rows);

}  // namespace quorvanta
