// The configuration record of a model: column roles, binning, growing and threading settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvanta {

// Fields in declared order; the order is also the key order of the model file.
struct TreeConfig {
  std::vector<std::string> index_cols;
  std::vector<std::string> feature_cols;
  std::vector<std::string> cat_cols;
  std::vector<std::string> treatment_cols;
  std::string y_col;
  std::string weight_col;
  std::uint64_t n_bin = 30;
  std::uint64_t min_samples_leaf = 100;
  std::uint64_t min_samples_treatment = 10;
  std::uint64_t n_reg = 10;
  float alpha = 0.9f;  // bit pattern 0x3F666666
  bool normalization = true;
  std::uint64_t max_features = 10;
  std::uint64_t max_depth = 6;
  std::uint64_t n_tree = 100;
  float subsample = 1.0f;
  std::uint64_t n_thread = 1;
  std::optional<std::uint64_t> seed;  // absent: seeded from the operating system

  bool operator==(const TreeConfig&) const = default;
};

}  // namespace quorvanta
