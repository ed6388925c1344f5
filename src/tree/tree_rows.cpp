#include "tree/tree_rows.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/fault.hpp"

namespace quorvanta {
namespace {

constexpr std::uint64_t kMaxNarrowRow = std::numeric_limits<std::uint32_t>::max();

std::size_t kind_index(ModelKind kind) {
  return kind == ModelKind::Classification ? 0 : 1;
}

}  // namespace

TreeRows::TreeRows(const GrowingTable& table) : data_(table.data()), shared_table_(&table) {}

TreeRows::TreeRows(const DataMatrix& data) : data_(data) {}

TreeRows::Paths& TreeRows::paths_of(ModelKind kind) {
  std::unique_ptr<Paths>& paths = paths_[kind_index(kind)];
  if (paths) return *paths;
  const GrowingTable* table = shared_table_;
  if (table == nullptr || table->kind() != kind) {
    std::unique_ptr<GrowingTable>& own = own_tables_[kind_index(kind)];
    own = std::make_unique<GrowingTable>(data_, kind);
    table = own.get();
  }
  paths = std::make_unique<Paths>(*table);
  return *paths;
}

std::uint64_t TreeRows::root_entries() const {
  return nodes_.empty() ? 0 : nodes_.front().entry_length;
}

std::uint64_t TreeRows::checked_rows() const {
  std::uint64_t checked = 0;
  for (const std::unique_ptr<Paths>& paths : paths_) {
    if (paths)
      checked += paths->ordered_class.checked_rows() + paths->ordered_regression.checked_rows();
  }
  return checked;
}

void TreeRows::start_tree(ModelKind kind, float subsample, SharedRng& rng) {
  const std::uint64_t n_rows = data_.n_rows();
  const std::uint64_t k = row_draw_size(n_rows, subsample);
  Paths& paths = paths_of(kind);
  const GrowingTable& table = paths.exact.table();
  nodes_.assign(1, NodeStretch{});
  if (table.n_groups() == 0 || !table.narrow_rows() || k > kMaxNarrowRow) {
    paths.exact.start_wide(rng.sample_indices(n_rows, k, true), nodes_.front());
    path_ = GrowPath::Exact;
    rows_ = &paths.exact;
    return;
  }
  const std::pair<GrowPath, GrowPathRows*> candidates[] = {
      {GrowPath::Counts, CountedRows::serves(table) ? &paths.counted : nullptr},
      {GrowPath::OrderedClass, OrderedClassRows::serves(table) ? &paths.ordered_class : nullptr},
      {GrowPath::OrderedRegression,
       OrderedRegressionRows::serves(table) ? &paths.ordered_regression : nullptr},
      {GrowPath::Exact, &paths.exact},
  };
  const auto first =
      std::find_if(std::begin(candidates), std::end(candidates),
                   [](const auto& candidate) { return candidate.second != nullptr; });
  const std::span<const std::uint32_t> draw =
      rng.draw_with_replacement<std::uint32_t>(n_rows, k, first->second->draw_buffer());
  for (auto candidate = first; candidate != std::end(candidates); ++candidate) {
    if (candidate->second == nullptr || !candidate->second->start(draw, nodes_.front())) continue;
    path_ = candidate->first;
    rows_ = candidate->second;
    return;
  }
}

void TreeRows::search_node(const NodeCriterion& criterion, std::uint64_t node,
                           std::span<const std::uint64_t> features, const Visit& visit) {
  const NodeStretch stretch = checked_at(nodes_, node);
  ++searches_[static_cast<std::size_t>(path_)];
  rows_->search(criterion, stretch, features, visit);
}

std::uint64_t TreeRows::split_node(const SplitInfo& split) {
  const NodeStretch node = checked_at(nodes_, split.node_id);
  const std::vector<std::uint8_t>& value = unwrap(split.value);
  if (value.empty()) fail_absent_value();
  const auto [n_left_entries, n_left_rows] = rows_->split(split, node);
  nodes_[split.node_id].divided = true;
  const std::uint8_t copy = node.copy ^ 1;
  const std::uint64_t left = nodes_.size();
  nodes_.push_back(NodeStretch{left, node.entry_start, n_left_entries, node.row_start, n_left_rows,
                               copy, false});
  nodes_.push_back(NodeStretch{left + 1, node.entry_start + n_left_entries,
                               node.entry_length - n_left_entries, node.row_start + n_left_rows,
                               node.row_length - n_left_rows, copy, false});
  return n_left_rows;
}

Partition TreeRows::partition(bool with_rows) const {
  Partition result;
  for (const NodeStretch& node : nodes_) {
    result.starts.push_back(node.row_start);
    result.lengths.push_back(node.row_length);
  }
  if (!with_rows || nodes_.empty()) return result;
  result.indices.resize(nodes_.front().row_length);
  // Every position belongs to one undivided node, whose entries hold its final order.
  for (const NodeStretch& node : nodes_) {
    if (!node.divided) rows_->write_rows(node, result.indices.data() + node.row_start);
  }
  return result;
}

}  // namespace quorvanta
