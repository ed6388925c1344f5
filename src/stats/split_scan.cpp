#include "stats/split_scan.hpp"

namespace quorvanta {

SplitInfo make_split_info(std::uint64_t node_id, std::uint64_t feature, const FeatureSplit& split,
                          std::span<const float> summary, std::size_t columns) {
  SplitInfo info;
  info.node_id = node_id;
  info.feature_id = feature;
  info.treatment_id = 0;
  info.iscat = split.is_cat;
  if (split.value) info.value = std::vector<std::uint8_t>{*split.value};
  info.gain = split.gain;
  info.gain_importance = split.gain_importance;
  info.summary.resize(summary.size() / columns);
  for (std::size_t g = 0; g < info.summary.size(); ++g) {
    info.summary[g].assign(summary.begin() + g * columns, summary.begin() + (g + 1) * columns);
  }
  return info;
}

}  // namespace quorvanta
