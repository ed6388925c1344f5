// The candidate scans of both criteria over a flat raw histogram (stats/flat_histogram.hpp), shared
// by the per-call criteria and by the node-level search of tree growing. A scan works in O(B x G)
// on buffers it is handed, and allocates nothing once they have grown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "stats/histogram.hpp"
#include "stats/kl_criterion.hpp"
#include "stats/regression_criterion.hpp"
#include "stats/split_info.hpp"

namespace quorvanta {

// What one feature offers its node: the chosen slot, if any, and its gains. The node's summary is
// written separately, as flat rows.
struct FeatureSplit {
  bool is_cat = false;
  std::optional<std::uint8_t> value;
  float gain = 0.0f;
  float gain_importance = 0.0f;
};

// Per-group working values of a scan.
struct ScanScratch {
  std::vector<float> totals;
  std::vector<float> node;
  std::vector<float> group_terms;
  std::vector<float> left;
  std::vector<float> right;
};

// Classification: `cells` holds the raw 2 x G class histogram rows, turned into cumulative form in
// place for a numeric feature. `summary` receives the node's rows [p_g, n_g], two floats per group.
FeatureSplit scan_kl_cells(const KlCriterionParams& params, const FeatureShape& shape,
                           std::vector<float>& cells, ScanScratch& scratch,
                           std::vector<float>& summary);
// Regression: `cells` holds the raw (w, y * w, y * y * w) triples of G rows. `summary` receives the
// node's rows [m_g], one float per group. G below 2 is the index failure of reading group 1.
FeatureSplit scan_regression_cells(const RegressionCriterionParams& params,
                                   const FeatureShape& shape, std::vector<float>& cells,
                                   ScanScratch& scratch, std::vector<float>& summary);

// The SplitInfo of a scan result; `summary` holds `columns` floats per group row.
SplitInfo make_split_info(std::uint64_t node_id, std::uint64_t feature, const FeatureSplit& split,
                          std::span<const float> summary, std::size_t columns);

}  // namespace quorvanta
