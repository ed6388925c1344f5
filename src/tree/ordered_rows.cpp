#include "tree/ordered_rows.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "stats/flat_histogram.hpp"
#include "stats/histogram.hpp"
#include "tree/partition.hpp"

namespace quorvanta {
namespace {

// Rows ahead whose records a search fetches.
constexpr std::size_t kFetchAhead = 48;

}  // namespace

bool OrderedRows::start(std::span<const std::uint32_t> drawn, NodeStretch& root) {
  // A drawn row that cannot be read leaves the tree to the exact builders, which report it. The
  // check reads one scattered record per drawn row, as costly as a node's search: the table
  // knows when no row needs it.
  if (!table_.every_record_readable()) {
    checked_rows_ += drawn.size();
    bool readable = true;
    for (const auto [begin, end] : checked_pieces(drawn.size())) {
      for (std::size_t i = begin; i < end && readable; ++i) {
        readable =
            table_.record(drawn[i])[GrowingTable::kHistogramRowOffset] != GrowingTable::kUnreadable;
      }
    }
    if (!readable) return false;
  }
  for (std::vector<std::uint32_t>& rows : rows_) grow_checked(rows, drawn.size());
  // The draw is normally made in the first copy already.
  if (drawn.data() != rows_[0].data()) std::copy(drawn.begin(), drawn.end(), rows_[0].begin());
  root = NodeStretch{0, 0, drawn.size(), 0, drawn.size(), 0, false};
  return true;
}

void OrderedRows::prepare_block(std::span<const std::uint64_t> features, std::size_t histogram_rows,
                                std::size_t cell_width) {
  shapes_.resize(features.size());
  block_.resize(features.size());
  std::size_t widest = 1;
  for (std::size_t j = 0; j < features.size(); ++j) {
    shapes_[j] = feature_shape(table_.data(), features[j]);
    widest = std::max(widest, slot_count(shapes_[j].n_bins));
  }
  // A row's first cell is then a shift of its histogram row, the same for every feature.
  row_shift_ = static_cast<std::uint32_t>(std::bit_width(widest - 1));
  const std::size_t per_feature = (histogram_rows << row_shift_) * cell_width;
  const std::size_t n_cells = features.size() * per_feature;
  grow_checked(compact_, n_cells);
  std::fill_n(compact_.begin(), n_cells, 0.0f);
  for (std::size_t j = 0; j < features.size(); ++j) {
    block_[j] = BlockFeature{static_cast<std::uint32_t>(GrowingTable::kBinsOffset + features[j]),
                             static_cast<std::uint32_t>(j * per_feature)};
  }
}

std::pair<std::uint64_t, std::uint64_t> OrderedRows::split(const SplitInfo& split,
                                                           const NodeStretch& node) {
  const std::size_t n = node.entry_length;
  const std::span<const std::uint32_t> rows(node_rows(node), n);
  std::uint32_t* const to = rows_[node.copy ^ 1].data() + node.entry_start;
  if (split.feature_id >= table_.data().x.size()) {
    // partition_node reports the unknown feature.
    std::vector<RowId> wide(n);
    write_rows(node, wide.data());
    Partition alone = Partition::from_samples(std::move(wide));
    SplitInfo of_alone = split;
    of_alone.node_id = 0;
    const std::uint64_t n_left = partition_node(alone, of_alone, table_.data());
    std::copy(alone.indices.begin(), alone.indices.end(), to);
    return {n_left, n_left};
  }
  // One column is small enough to stay in the second-level cache, unlike the records.
  const std::uint8_t* const column = table_.data().x[split.feature_id].data();
  grow_checked(keys_, n);
  std::uint8_t* const keys = keys_.data();  // a byte store could alias the vector's own pointer
  for (const auto [begin, end] : checked_pieces(n)) {
    for (std::size_t i = begin; i < end; ++i) keys[i] = column[rows[i]];
  }
  const std::uint64_t n_left = divide_by_keys(split.iscat, (*split.value)[0],
                                              std::span<const std::uint8_t>(keys, n), rows, to);
  return {n_left, n_left};
}

void OrderedRows::write_rows(const NodeStretch& node, RowId* out) const {
  const std::uint32_t* const rows = node_rows(node);
  std::copy(rows, rows + node.entry_length, out);
}

namespace {

// Adds each of the node's rows to the cells of a block of N features. N is known at compile time,
// so the loop over the block unrolls and keeps the features' offsets at hand: per feature and row
// only the bin's load and the cell's addition remain.
template <std::size_t N, class AddRow>
void add_block_rows(const GrowingTable& table, std::span<const std::uint32_t> rows,
                    std::uint32_t row_shift, const BlockFeature* features, float* cells,
                    const AddRow& add_row) {
  std::array<BlockFeature, N> block;
  std::copy_n(features, N, block.begin());
  const std::size_t n = rows.size();
  for (std::size_t i = 0; i < n; ++i) {
    // Records of rows in a node's order are scattered over the whole table: fetching them well
    // ahead keeps many fetches in flight.
    if (i + kFetchAhead < n) __builtin_prefetch(table.record(rows[i + kFetchAhead]));
    const std::uint8_t* const record = table.record(rows[i]);
    const std::uint32_t row_offset = std::uint32_t{record[GrowingTable::kHistogramRowOffset]}
                                     << row_shift;
    add_row(record, row_offset, block, cells);
  }
}

// add_block_rows for the block's size, 1 to sizeof...(Sizes).
template <class AddRow, std::size_t... Sizes>
void add_rows_by_size(std::size_t size, const GrowingTable& table,
                      std::span<const std::uint32_t> rows, std::uint32_t row_shift,
                      const BlockFeature* features, float* cells, const AddRow& add_row,
                      std::index_sequence<Sizes...>) {
  (void)((size == Sizes + 1 &&
          (add_block_rows<Sizes + 1>(table, rows, row_shift, features, cells, add_row), true)) ||
         ...);
}

}  // namespace

template <class AddRow, class ScanFeature>
void OrderedRows::search_blocks(const NodeStretch& node, std::span<const std::uint64_t> features,
                                std::size_t histogram_rows, std::size_t cell_width,
                                const AddRow& add_row, const ScanFeature& scan_feature) {
  const std::span<const std::uint32_t> rows(node_rows(node), node.entry_length);
  for (std::size_t done = 0; done < features.size(); done += kSearchedTogether) {
    const std::span<const std::uint64_t> block =
        features.subspan(done, std::min(features.size() - done, kSearchedTogether));
    prepare_block(block, histogram_rows, cell_width);
    // In pieces, each checking for an interrupt first; a piece's last rows fetch nothing ahead.
    for (const auto [begin, end] : checked_pieces(rows.size())) {
      add_rows_by_size(block.size(), table_, rows.subspan(begin, end - begin), row_shift_,
                       block_.data(), compact_.data(), add_row,
                       std::make_index_sequence<kSearchedTogether>());
    }
    for (std::size_t j = 0; j < block.size(); ++j) {
      const std::size_t n_slots = slot_count(shapes_[j].n_bins);
      scan_feature(block[j], shapes_[j], compact_.data() + block_[j].cell_offset, n_slots);
    }
  }
}

void OrderedClassRows::search(const NodeCriterion& criterion, const NodeStretch& node,
                              std::span<const std::uint64_t> features, const SplitVisit& visit) {
  const std::size_t n_histogram_rows = 2 * table_.n_groups();
  const auto add_row = [](const std::uint8_t* record, std::uint32_t row_offset, const auto& block,
                          float* cells) {
    float w;
    std::memcpy(&w, record + GrowingTable::kWeightOffset, sizeof w);
#pragma GCC unroll 16
    for (const BlockFeature& feature : block) {
      float& cell = cells[feature.cell_offset + row_offset + record[feature.slot_offset]];
      cell = cell + w;
    }
  };
  const auto scan = [&](std::uint64_t feature, const FeatureShape& shape, const float* from,
                        std::size_t n_slots) {
    reset_cells(cells_, n_histogram_rows, n_slots, 1);
    for (std::size_t row = 0; row < n_histogram_rows; ++row) {
      std::copy_n(from + (row << row_shift_), n_slots, &cells_[row * kSlotStride]);
    }
    visit(feature, scan_kl_cells(criterion.kl, shape, cells_, scan_, summary_), summary_);
  };
  search_blocks(node, features, n_histogram_rows, 1, add_row, scan);
}

namespace {

// The three sums of a regression cell and a fourth lane that stays zero: one vector add per row
// adds all three, lane by lane, exactly as three scalar adds would.
using RegressionLanes [[gnu::vector_size(16)]] = float;
constexpr std::size_t kRegressionLanes = 4;

}  // namespace

void OrderedRegressionRows::search(const NodeCriterion& criterion, const NodeStretch& node,
                                   std::span<const std::uint64_t> features,
                                   const SplitVisit& visit) {
  const std::size_t n_groups = table_.n_groups();
  const auto add_row = [](const std::uint8_t* record, std::uint32_t group_offset, const auto& block,
                          float* cells) {
    float w;
    float y;
    std::memcpy(&w, record + GrowingTable::kWeightOffset, sizeof w);
    std::memcpy(&y, record + GrowingTable::kOutcomeOffset, sizeof y);
    // The products the per-call builders add: y * w, and the square first, then the weight.
    const RegressionLanes sums = {w, y * w, (y * y) * w, 0.0f};
#pragma GCC unroll 16
    for (const BlockFeature& feature : block) {
      float* const cell = cells + feature.cell_offset +
                          (group_offset + record[feature.slot_offset]) * kRegressionLanes;
      RegressionLanes lanes;
      std::memcpy(&lanes, cell, sizeof lanes);
      lanes = lanes + sums;
      std::memcpy(cell, &lanes, sizeof lanes);
    }
  };
  const auto scan = [&](std::uint64_t feature, const FeatureShape& shape, const float* from,
                        std::size_t n_slots) {
    reset_cells(cells_, n_groups, n_slots, kRegressionSums);
    for (std::size_t group = 0; group < n_groups; ++group) {
      for (std::size_t slot = 0; slot < n_slots; ++slot) {
        const float* const cell = from + ((group << row_shift_) + slot) * kRegressionLanes;
        std::copy_n(cell, kRegressionSums, &cells_[(group * kSlotStride + slot) * kRegressionSums]);
      }
    }
    visit(feature, scan_regression_cells(criterion.regression, shape, cells_, scan_, summary_),
          summary_);
  };
  search_blocks(node, features, n_groups, kRegressionLanes, add_row, scan);
}

}  // namespace quorvanta
