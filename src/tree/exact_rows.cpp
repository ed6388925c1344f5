#include "tree/exact_rows.hpp"

#include <algorithm>
#include <utility>

#include "common/interruption.hpp"
#include "stats/flat_histogram.hpp"
#include "stats/histogram.hpp"

namespace quorvanta {

void ExactRows::start_wide(std::vector<RowId> drawn, NodeStretch& root) {
  const std::uint64_t n = drawn.size();
  partition_ = Partition::from_samples(std::move(drawn));
  root = NodeStretch{0, 0, n, 0, n, 0, false};
}

bool ExactRows::start(std::span<const std::uint32_t> drawn, NodeStretch& root) {
  start_wide(std::vector<RowId>(drawn.begin(), drawn.end()), root);
  return true;
}

void ExactRows::search(const NodeCriterion& criterion, const NodeStretch& node,
                       std::span<const std::uint64_t> features, const SplitVisit& visit) {
  const DataMatrix& data = table_.data();
  const std::span<const RowId> rows = std::as_const(partition_).node_range(node.id);
  for (const std::uint64_t feature : features) {
    check_interruption();
    const FeatureShape shape = feature_shape(data, feature);
    const std::size_t n_slots = slot_count(shape.n_bins);
    FeatureSplit split;
    if (criterion.kind == ModelKind::Classification) {
      fill_class_cells(data, feature, rows, n_slots, shape.n_groups, cells_);
      split = scan_kl_cells(criterion.kl, shape, cells_, scan_, summary_);
    } else {
      fill_regression_cells(data, feature, rows, n_slots, shape.n_groups, cells_);
      split = scan_regression_cells(criterion.regression, shape, cells_, scan_, summary_);
    }
    visit(feature, split, summary_);
  }
}

std::pair<std::uint64_t, std::uint64_t> ExactRows::split(const SplitInfo& split,
                                                         const NodeStretch&) {
  const std::uint64_t n_left = partition_node(partition_, split, table_.data());
  partition_.append_children(split.node_id, n_left);
  return {n_left, n_left};
}

void ExactRows::write_rows(const NodeStretch& node, RowId* out) const {
  const std::span<const RowId> rows = partition_.node_range(node.id);
  std::copy(rows.begin(), rows.end(), out);
}

}  // namespace quorvanta
