// What the C++ benchmarks share: process CPU and wall clocks, binned random feature columns and the
// forest they fit (20 trees, depth 6, max_features 10, seed 1). Uses only the table and the
// configuration, so it builds against older versions of the library too.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/tree_config.hpp"
#include "data/data_matrix.hpp"

namespace quorvanta::bench {

// CPU time of this process: the machine is shared, so wall time alone is noisy.
inline double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

inline double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct FitTimes {
  double wall = 1e30;
  double cpu = 1e30;  // of the whole process: every thread's work
};

// `n_features` numeric features of `n_bins` bins, about 1% of the cells missing.
inline void add_binned_features(DataMatrix& data, std::size_t n_rows, std::size_t n_features,
                                std::uint64_t n_bins, std::mt19937& random) {
  std::uniform_int_distribution<int> bin(0, static_cast<int>(n_bins) - 1);
  std::uniform_int_distribution<int> percent(0, 99);
  data.x.assign(n_features, std::vector<std::uint8_t>(n_rows));
  for (std::size_t f = 0; f < n_features; ++f) {
    for (std::uint8_t& cell : data.x[f]) {
      cell = percent(random) == 0 ? kMissingBin : static_cast<std::uint8_t>(bin(random));
    }
    data.feature_names.push_back(std::string("f").append(std::to_string(f)));
    data.n_bins.insert_or_assign(data.feature_names.back(), n_bins);
    data.is_cat.push_back(0);
  }
}

// A table of `n_features` such features with one treatment column, outcomes and weights sized
// for the caller to fill.
inline DataMatrix sized_matrix(std::size_t n_rows, std::size_t n_features, std::uint64_t n_bins,
                               std::mt19937& random) {
  DataMatrix data;
  add_binned_features(data, n_rows, n_features, n_bins, random);
  data.treatment.emplace_back(n_rows);
  data.y.resize(n_rows);
  data.weight.resize(n_rows);
  return data;
}

inline TreeConfig forest_config(std::uint64_t n_thread) {
  TreeConfig config;
  config.n_tree = 20;
  config.max_depth = 6;
  config.max_features = 10;
  config.n_thread = n_thread;
  config.seed = 1;
  return config;
}

}  // namespace quorvanta::bench
