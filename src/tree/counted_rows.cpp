#include "tree/counted_rows.hpp"

#include <algorithm>
#include <utility>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "stats/flat_histogram.hpp"
#include "stats/histogram.hpp"
#include "stats/node_histogram.hpp"
#include "tree/tree_record.hpp"

namespace quorvanta {

bool CountedRows::serves(const GrowingTable& table) {
  return table.kind() == ModelKind::Classification && table.unit_weights() &&
         table.clean_columns() && table.narrow_rows() && 2 * table.n_groups() <= kMaxCountRows;
}

bool CountedRows::count_draw(std::uint32_t row) {
  std::uint8_t& times = multiplicity_[row];
  if (times == kMaxMultiplicity) {
    overflow_.push_back(row);
    return false;
  }
  return times++ == 0;
}

bool CountedRows::start(std::span<const std::uint32_t> drawn, NodeStretch& root) {
  const DataMatrix& data = table_.data();
  const std::uint64_t n_rows = table_.n_rows();
  const std::uint64_t n_groups = table_.n_groups();
  const std::uint8_t* const groups = data.treatment.front().data();
  // A drawn row beyond the outcome, group or weight column, or with an outcome or group that
  // cannot be counted, leaves the tree to the exact builders, which report it.
  if (!table_.every_row_countable()) {
    const std::size_t readable =
        std::min({data.y.size(), data.treatment.front().size(), data.weight.size()});
    bool countable = true;
    for (const auto [begin, end] : checked_pieces(drawn.size())) {
      for (std::size_t i = begin; i < end && countable; ++i) {
        const std::uint32_t row = drawn[i];
        countable = row < readable && outcome_class(data.y[row]) < 2 && groups[row] < n_groups;
      }
    }
    if (!countable) return false;
  }
  grow_checked(multiplicity_, n_rows);
  overflow_.clear();
  std::size_t distinct = 0;
  for (const auto [begin, end] : checked_pieces(drawn.size())) {
    for (std::size_t i = begin; i < end; ++i) distinct += count_draw(drawn[i]);
  }

  const std::size_t n_entries = distinct + overflow_.size();
  for (std::vector<std::uint32_t>& rows : rows_) grow_checked(rows, n_entries);
  for (std::vector<std::uint16_t>& counts : counts_) grow_checked(counts, n_entries);
  const auto histogram_row = [&](std::uint32_t row) -> std::size_t {
    return outcome_class(data.y[row]) * n_groups + groups[row];
  };
  // Ascending row order: a node's rows are then read forward through every column.
  std::size_t entry = 0;
  for (const auto [begin, end] : checked_pieces(n_rows)) {
    if (entry >= distinct) break;
    for (std::size_t row = begin; entry < distinct && row < end; ++row) {
      const std::uint8_t times = std::exchange(multiplicity_[row], std::uint8_t{0});
      if (times == 0) continue;
      rows_[0][entry] = static_cast<std::uint32_t>(row);
      counts_[0][entry] = count_entry(histogram_row(row), times);
      ++entry;
    }
  }
  for (const std::uint32_t row : overflow_) {
    rows_[0][entry] = row;
    counts_[0][entry] = count_entry(histogram_row(row), 1);
    ++entry;
  }
  root = NodeStretch{0, 0, n_entries, 0, drawn.size(), 0, false};
  return true;
}

void CountedRows::search(const NodeCriterion& criterion, const NodeStretch& node,
                         std::span<const std::uint64_t> features, const SplitVisit& visit) {
  const DataMatrix& data = table_.data();
  const std::uint32_t* const rows = rows_[node.copy].data() + node.entry_start;
  const std::uint16_t* const entries = counts_[node.copy].data() + node.entry_start;
  const std::size_t n_rows = 2 * table_.n_groups();
  const std::size_t per_feature = n_rows * kCountRowSize;
  grow_checked(counters_, kCountedTogether * per_feature);
  grow_checked(cells_, n_rows * kSlotStride);
  FeatureShape shapes[kCountedTogether];
  const std::uint8_t* columns[kCountedTogether];
  std::uint32_t* counters[kCountedTogether];
  for (std::size_t done = 0; done < features.size(); done += kCountedTogether) {
    const std::size_t block = std::min(features.size() - done, kCountedTogether);
    for (std::size_t j = 0; j < block; ++j) {
      const std::uint64_t feature = features[done + j];
      shapes[j] = feature_shape(data, feature);
      columns[j] = data.x[feature].data();
      counters[j] = counters_.data() + j * per_feature;
      std::fill_n(counters[j], per_feature, 0u);
    }
    for (const auto [begin, end] : checked_pieces(node.entry_length)) {
      add_counts(rows + begin, entries + begin, end - begin, std::span(columns, block),
                 std::span(counters, block));
    }
    for (std::size_t j = 0; j < block; ++j) {
      counts_to_cells(counters[j], n_rows, shapes[j].n_bins, kSlotStride, cells_.data());
      visit(features[done + j], scan_kl_cells(criterion.kl, shapes[j], cells_, scan_, summary_),
            summary_);
    }
  }
}

std::pair<std::uint64_t, std::uint64_t> CountedRows::split(const SplitInfo& split,
                                                           const NodeStretch& node) {
  // Row order does not change a count, so the split only needs to keep each side's rows
  // ascending: a stable two-way partition, no sort.
  const std::size_t n = node.entry_length;
  const std::uint32_t* const rows = rows_[node.copy].data() + node.entry_start;
  const std::uint16_t* const entries = counts_[node.copy].data() + node.entry_start;
  std::uint32_t* const to_rows = rows_[node.copy ^ 1].data() + node.entry_start;
  std::uint16_t* const to_entries = counts_[node.copy ^ 1].data() + node.entry_start;
  const std::uint8_t* const column = checked_at(table_.data().x, split.feature_id).data();
  const bool is_cat = split.iscat;
  const std::uint8_t split_bin = (*split.value)[0];
  grow_checked(sides_, n);
  std::uint64_t n_left = 0;
  std::uint64_t n_left_rows = 0;
  for (const auto [begin, end] : checked_pieces(n)) {
    for (std::size_t i = begin; i < end; ++i) {
      const bool left = goes_left(is_cat, split_bin, column[rows[i]]);
      sides_[i] = left;
      n_left += left;
      n_left_rows += left ? (entries[i] & kMaxMultiplicity) : 0;
    }
  }
  std::uint64_t next_left = 0;
  std::uint64_t next_right = n_left;
  for (const auto [begin, end] : checked_pieces(n)) {
    for (std::size_t i = begin; i < end; ++i) {
      const bool left = sides_[i] != 0;
      const std::uint64_t to = left ? next_left : next_right;
      to_rows[to] = rows[i];
      to_entries[to] = entries[i];
      next_left += left;
      next_right += !left;
    }
  }
  return {n_left, n_left_rows};
}

void CountedRows::write_rows(const NodeStretch& node, RowId* out) const {
  const std::uint32_t* const rows = rows_[node.copy].data() + node.entry_start;
  const std::uint16_t* const counts = counts_[node.copy].data() + node.entry_start;
  for (const auto [begin, end] : checked_pieces(node.entry_length)) {
    for (std::size_t i = begin; i < end; ++i) {
      out = std::fill_n(out, counts[i] & kMaxMultiplicity, RowId{rows[i]});
    }
  }
}

}  // namespace quorvanta
