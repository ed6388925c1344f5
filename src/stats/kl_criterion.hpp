// The KL-divergence uplift criterion of the classification forest.
#pragma once

#include <cstdint>
#include <span>

#include "data/data_matrix.hpp"
#include "stats/split_info.hpp"

namespace quorvanta {

struct KlCriterionParams {
  std::uint64_t min_samples_leaf = 100;
  std::uint64_t min_samples_treatment = 10;
  std::uint64_t n_reg = 10;
  float alpha = 0.9f;
  bool normalization = true;

  bool operator==(const KlCriterionParams&) const = default;
};

float kl_divergence(float p, float q);
float treatment_divergence(const GroupSummary& summary);
float entropy(float p);
float entropy_term(float p, float q);
float kl_normalization(const GroupSummary& node, const GroupSummary& left, float alpha);

SplitInfo kl_best_split(const KlCriterionParams& params, const DataMatrix& data,
                        std::uint64_t node_id, std::uint64_t feature, std::span<const RowId> rows);

}  // namespace quorvanta
