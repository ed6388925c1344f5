// The split chosen at a node, with the node's per-group statistics.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "stats/matrix.hpp"

namespace quorvanta {

// One row per treatment group, group 0 (control) first; column 0 is the group's outcome estimate.
using GroupSummary = Matrix;

struct SplitInfo {
  std::uint64_t node_id = 0;
  std::uint64_t feature_id = 0;
  std::uint64_t treatment_id = 0;
  bool iscat = false;
  std::optional<std::vector<std::uint8_t>> value;  // split bin; absent when no split was found
  float gain = 0.0f;
  float gain_importance = 0.0f;
  GroupSummary summary;

  bool operator==(const SplitInfo&) const = default;
};

}  // namespace quorvanta
