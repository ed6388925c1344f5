#include "tree/ordered_rows.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/fault.hpp"
#include "stats/flat_histogram.hpp"
#include "stats/histogram.hpp"
#include "tree/partition.hpp"

namespace quorvanta {
namespace {

template <class T>
void ensure_size(std::vector<T>& buffer, std::size_t size) {
  if (buffer.size() < size) buffer.resize(size);
}

// Rows ahead whose records a search fetches.
constexpr std::size_t kFetchAhead = 48;

}  // namespace

bool OrderedRows::start(std::span<const std::uint32_t> drawn, NodeStretch& root) {
  // A drawn row that cannot be read leaves the tree to the exact builders, which report it.
  for (const std::uint32_t row : drawn) {
    if (table_.record(row)[GrowingTable::kHistogramRowOffset] == GrowingTable::kUnreadable) {
      return false;
    }
  }
  for (std::vector<std::uint32_t>& rows : rows_) ensure_size(rows, drawn.size());
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
  ensure_size(compact_, n_cells);
  std::fill_n(compact_.begin(), n_cells, 0.0f);
  for (std::size_t j = 0; j < features.size(); ++j) {
    block_[j] = BlockFeature{static_cast<std::uint32_t>(GrowingTable::kBinsOffset + features[j]),
                             compact_.data() + j * per_feature};
  }
}

std::pair<std::uint64_t, std::uint64_t> OrderedRows::split(const SplitInfo& split,
                                                           const NodeStretch& node) {
  const std::size_t n = node.entry_length;
  const std::uint32_t* const rows = node_rows(node);
  std::uint64_t n_left = 0;
  if (split.feature_id < table_.data().x.size()) {
    // One column is small enough to stay in the second-level cache, unlike the records.
    const std::uint8_t* const column = table_.data().x[split.feature_id].data();
    ensure_size(keys_, n);
    for (std::size_t i = 0; i < n; ++i) keys_[i] = column[rows[i]];
    n_left = split_destinations(split.iscat, (*split.value)[0],
                                std::span<const std::uint8_t>(keys_.data(), n), destinations_);
  } else {
    // partition_node reports the unknown feature.
    std::vector<RowId> wide(n);
    write_rows(node, wide.data());
    Partition alone = Partition::from_samples(std::move(wide));
    SplitInfo of_alone = split;
    of_alone.node_id = 0;
    n_left = partition_node(alone, of_alone, table_.data(), destinations_);
  }
  std::uint32_t* const to = rows_[node.copy ^ 1].data() + node.entry_start;
  // The reads are sequential, the writes go to a few sequential streams (one per bin of a numeric
  // split, two for a categorical one).
  for (std::size_t i = 0; i < n; ++i) to[destinations_[i]] = rows[i];
  return {n_left, n_left};
}

void OrderedRows::write_rows(const NodeStretch& node, RowId* out) const {
  const std::uint32_t* const rows = node_rows(node);
  std::copy(rows, rows + node.entry_length, out);
}

template <class AddRow, class ScanFeature>
void OrderedRows::search_blocks(const NodeStretch& node, std::span<const std::uint64_t> features,
                                std::size_t histogram_rows, std::size_t cell_width,
                                const AddRow& add_row, const ScanFeature& scan_feature) {
  const std::uint32_t* const rows = node_rows(node);
  const std::size_t n = node.entry_length;
  for (std::size_t done = 0; done < features.size(); done += kSearchedTogether) {
    const std::span<const std::uint64_t> block =
        features.subspan(done, std::min(features.size() - done, kSearchedTogether));
    prepare_block(block, histogram_rows, cell_width);
    const std::span<const BlockFeature> in_block(block_.data(), block_.size());
    for (std::size_t i = 0; i < n; ++i) {
      // Records of rows in a node's order are scattered over the whole table: fetching them well
      // ahead keeps many fetches in flight.
      if (i + kFetchAhead < n) __builtin_prefetch(table_.record(rows[i + kFetchAhead]));
      const std::uint8_t* const record = table_.record(rows[i]);
      const std::uint32_t row_offset = std::uint32_t{record[GrowingTable::kHistogramRowOffset]}
                                       << row_shift_;
      add_row(record, row_offset, in_block);
    }
    for (std::size_t j = 0; j < block.size(); ++j) {
      const std::size_t n_slots = slot_count(shapes_[j].n_bins);
      scan_feature(block[j], shapes_[j], block_[j].cells, n_slots);
    }
  }
}

void OrderedClassRows::search(const NodeCriterion& criterion, const NodeStretch& node,
                              std::span<const std::uint64_t> features, const SplitVisit& visit) {
  const std::size_t n_histogram_rows = 2 * table_.n_groups();
  const auto add_row = [](const std::uint8_t* record, std::uint32_t row_offset,
                          std::span<const BlockFeature> block) {
    float w;
    std::memcpy(&w, record + GrowingTable::kWeightOffset, sizeof w);
    for (const BlockFeature& feature : block) {
      float& cell = feature.cells[row_offset + record[feature.slot_offset]];
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
  const auto add_row = [](const std::uint8_t* record, std::uint32_t group_offset,
                          std::span<const BlockFeature> block) {
    float w;
    float y;
    std::memcpy(&w, record + GrowingTable::kWeightOffset, sizeof w);
    std::memcpy(&y, record + GrowingTable::kOutcomeOffset, sizeof y);
    // The products the per-call builders add: y * w, and the square first, then the weight.
    const RegressionLanes sums = {w, y * w, (y * y) * w, 0.0f};
    for (const BlockFeature& feature : block) {
      float* const cell =
          feature.cells + (group_offset + record[feature.slot_offset]) * kRegressionLanes;
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
