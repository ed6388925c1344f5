#include "stats/node_split.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>

#include "data/bin.hpp"
#include "stats/flat_histogram.hpp"
#include "stats/histogram.hpp"

namespace quorvanta {
namespace {

// Histogram rows are addressed with 32-bit cell numbers; larger group counts (which a loaded
// table cannot have) take the exact path.
constexpr std::uint64_t kMaxFastGroups = 256;

template <class T>
void ensure_size(std::vector<T>& buffer, std::size_t size) {
  if (buffer.size() < size) buffer.resize(size);
}

// The group count of the fast path, or 0 when every call takes the exact path.
std::uint64_t fast_group_count(const DataMatrix& data) {
  if (data.treatment.empty() || data.n_treatment.empty()) return 0;
  const std::uint64_t n_groups = data.n_treatment.front();
  return n_groups <= kMaxFastGroups ? n_groups : 0;
}

// Rows as far as the outcome, treatment and weight columns can all be read.
std::size_t readable_rows(const DataMatrix& data) {
  return std::min({data.y.size(), data.treatment.front().size(), data.weight.size()});
}

// The feature's bin count as feature_shape reads it, or nothing where feature_shape would fail.
std::optional<std::size_t> bin_count(const DataMatrix& data, std::size_t feature) {
  if (feature >= data.is_cat.size() || feature >= data.feature_names.size()) return std::nullopt;
  const std::uint64_t* n_bins = data.n_bins.find(data.feature_names[feature]);
  if (n_bins == nullptr) return std::nullopt;
  return std::min<std::uint64_t>(*n_bins, kMaxHistogramBins);
}

constexpr std::uint16_t kBadSlot = 0x100;
constexpr std::uint16_t kSharedSlot = 0x200;

// Slot of each bin value: its own below or at the bin count B, B for a missing cell, kBadSlot for
// a present bin above B (the exact path's failure) and for slots that do not fit a byte. A present
// bin equal to B is flagged kSharedSlot: it shares the missing cells' slot.
std::array<std::uint16_t, 256> slot_table(std::size_t n_bins) {
  std::array<std::uint16_t, 256> slots;
  for (std::size_t bin = 0; bin < slots.size(); ++bin) {
    slots[bin] = bin < n_bins    ? static_cast<std::uint16_t>(bin)
                 : bin == n_bins ? static_cast<std::uint16_t>(bin | kSharedSlot)
                                 : kBadSlot;
  }
  slots[kMissingBin] = n_bins <= 255 ? static_cast<std::uint16_t>(n_bins) : kBadSlot;
  return slots;
}

constexpr std::size_t kFeaturesPerWord = sizeof(std::uint64_t);

std::size_t word_blocks(std::size_t n_features) {
  return (n_features + kFeaturesPerWord - 1) / kFeaturesPerWord;
}

// Byte f % 8 of the first word of the feature's block at `position`; a feature's slots are then
// every kFeaturesPerWord-th byte.
std::uint8_t* slot_bytes(std::vector<std::uint64_t>& words, std::size_t feature,
                         std::size_t n_drawn, std::size_t position) {
  if (words.empty()) return nullptr;  // no drawn rows, so no slot is ever read
  std::uint64_t* const block = words.data() + feature / kFeaturesPerWord * n_drawn + position;
  return reinterpret_cast<std::uint8_t*>(block) + feature % kFeaturesPerWord;
}

// Every feature's slots in draw order, for the features where every drawn row has one.
void order_bins(const DataMatrix& data, std::span<const RowId> drawn, NodeSplitScratch& scratch) {
  const std::size_t n_features = data.x.size();
  const std::size_t n = drawn.size();
  ensure_size(scratch.slot_words[0], word_blocks(n_features) * n);
  scratch.slots_ready.assign(n_features, 0);
  scratch.missing_slots.assign(n_features, kNoKeys);
  for (std::size_t feature = 0; feature < n_features; ++feature) {
    const std::optional<std::size_t> n_bins = bin_count(data, feature);
    const std::vector<std::uint8_t>& column = data.x[feature];
    if (!n_bins || (n > 0 && scratch.largest_row >= column.size())) continue;
    const std::array<std::uint16_t, 256> slots = slot_table(*n_bins);
    std::uint8_t* const out = slot_bytes(scratch.slot_words[0], feature, n, 0);
    std::uint16_t seen = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint16_t slot = slots[column[drawn[i]]];
      seen |= slot;
      out[kFeaturesPerWord * i] = static_cast<std::uint8_t>(slot);
    }
    scratch.slots_ready[feature] = (seen & kBadSlot) == 0;
    if ((seen & (kBadSlot | kSharedSlot)) == 0) {
      scratch.missing_slots[feature] = static_cast<std::uint16_t>(*n_bins);
    }
  }
  scratch.bins_in_order = true;
}

// Nothing of an earlier tree stays usable once a new one starts.
void reset_for_tree(NodeSplitScratch& scratch, bool classification) {
  scratch.rows_usable = false;
  scratch.bins_in_order = false;
  scratch.classification = classification;
  scratch.slots_ready.clear();
}

// Entries of the drawn rows in draw order; false when a row cannot be read without failure.
template <std::size_t Width, class MakeEntry>
bool draw_entries(const DataMatrix& data, std::span<const RowId> drawn,
                  std::vector<RowEntry<Width>>& entries, NodeSplitScratch& scratch,
                  MakeEntry make_entry) {
  if (drawn.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  const std::size_t limit = readable_rows(data);
  ensure_size(entries, drawn.size());
  RowId largest = 0;
  for (std::size_t i = 0; i < drawn.size(); ++i) {
    const RowId row = drawn[i];
    if (row >= limit || !make_entry(row, entries[i])) return false;
    largest = std::max(largest, row);
  }
  scratch.largest_row = largest;
  scratch.n_drawn = drawn.size();
  return true;
}

// to[destinations[i]] = from[i]: the reads are sequential, the writes go to a few sequential
// streams (one per bin of a numeric split, two for a categorical one).
template <class T>
void reorder(const T* from, T* to, const std::uint32_t* destinations, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) to[destinations[i]] = from[i];
}

// Fills cell_of_row with each row's cell (its entry's cell plus the slot's offset, `Width` floats
// per cell), gathering the bins through the row indices. False when a row lies beyond the
// feature's column or has a present bin above the bin count.
template <std::size_t Width>
bool gather_feature_cells(const DataMatrix& data, std::uint64_t feature,
                          std::span<const RowId> rows, std::size_t n_bins,
                          const RowEntry<Width>* entries, NodeSplitScratch& scratch) {
  if (feature >= data.x.size()) return false;
  const std::vector<std::uint8_t>& column = data.x[feature];
  if (!rows.empty() && scratch.largest_row >= column.size()) return false;
  const std::array<std::uint16_t, 256> slots = slot_table(n_bins);
  const std::uint8_t* const bins = column.data();
  ensure_size(scratch.cell_of_row, rows.size());
  std::uint32_t* const cell_of_row = scratch.cell_of_row.data();
  std::uint16_t seen = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::uint16_t slot = slots[bins[rows[i]]];
    seen |= slot;  // the flags above the low byte
    cell_of_row[i] = entries[i].cell + static_cast<std::uint32_t>((slot & 0xFF) * Width);
  }
  return (seen & kBadSlot) == 0;
}

// Whether the fast path may take this feature at all.
bool fast_path_open(const DataMatrix& data, const FeatureShape& shape,
                    const NodeSplitScratch& scratch) {
  return scratch.rows_usable && shape.n_groups == fast_group_count(data);
}

// The slots of the node in partition order, every kFeaturesPerWord-th byte from the one
// returned, or null when the feature has none.
const std::uint8_t* ordered_slots(std::uint64_t feature, NodeSplitScratch& scratch) {
  if (feature >= scratch.slots_ready.size() || !scratch.slots_ready[feature]) return nullptr;
  return slot_bytes(scratch.slot_words[scratch.node_copy], feature, scratch.n_drawn,
                    scratch.node_start);
}

}  // namespace

void start_class_tree(const DataMatrix& data, std::span<const RowId> drawn, bool bins_in_order,
                      NodeSplitScratch& scratch) {
  reset_for_tree(scratch, true);
  const std::uint64_t n_groups = fast_group_count(data);
  if (n_groups == 0) return;
  const std::uint8_t* const groups = data.treatment.front().data();
  const auto make_entry = [&](RowId row, RowEntry<1>& entry) {
    const std::uint64_t outcome = outcome_class(data.y[row]);
    const std::uint8_t group = groups[row];
    if (outcome >= 2 || group >= n_groups) return false;
    entry.cell = static_cast<std::uint32_t>((outcome * n_groups + group) * kSlotStride);
    entry.values[0] = data.weight[row];
    return true;
  };
  if (!draw_entries(data, drawn, scratch.class_entries[0], scratch, make_entry)) return;
  scratch.rows_usable = true;
  if (bins_in_order) order_bins(data, drawn, scratch);
}

void start_regression_tree(const DataMatrix& data, std::span<const RowId> drawn, bool bins_in_order,
                           NodeSplitScratch& scratch) {
  reset_for_tree(scratch, false);
  const std::uint64_t n_groups = fast_group_count(data);
  if (n_groups == 0) return;
  const std::uint8_t* const groups = data.treatment.front().data();
  const auto make_entry = [&](RowId row, RowEntry<3>& entry) {
    const std::uint8_t group = groups[row];
    if (group >= n_groups) return false;
    const float w = data.weight[row];
    const float y = data.y[row];
    entry.cell = static_cast<std::uint32_t>(group * kSlotStride * kRegressionSums);
    // The same products the exact builder adds, so the sums come out identical.
    entry.values[0] = w;
    entry.values[1] = y * w;
    entry.values[2] = (y * y) * w;
    return true;
  };
  if (!draw_entries(data, drawn, scratch.regression_entries[0], scratch, make_entry)) return;
  scratch.rows_usable = true;
  if (bins_in_order) order_bins(data, drawn, scratch);
}

void begin_node(std::size_t start, std::uint64_t level, NodeSplitScratch& scratch) {
  scratch.node_start = start;
  scratch.node_copy = level % 2;
}

bool node_keys(std::uint64_t feature, std::size_t n, NodeSplitScratch& scratch) {
  if (!scratch.rows_usable || !scratch.bins_in_order) return false;
  if (feature >= scratch.missing_slots.size()) return false;
  const std::uint16_t missing_slot = scratch.missing_slots[feature];
  if (missing_slot == kNoKeys) return false;
  const std::uint8_t* const slots = ordered_slots(feature, scratch);
  scratch.keys.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t slot = slots[kFeaturesPerWord * i];
    scratch.keys[i] = slot == missing_slot ? kMissingBin : slot;
  }
  return true;
}

void follow_partition(NodeSplitScratch& scratch) {
  if (!scratch.rows_usable) return;
  const std::size_t from = scratch.node_copy;
  const std::size_t to = 1 - from;
  const std::size_t start = scratch.node_start;
  const std::size_t n = scratch.destinations.size();
  const std::uint32_t* const destinations = scratch.destinations.data();
  const std::size_t n_blocks = scratch.bins_in_order ? word_blocks(scratch.slots_ready.size()) : 0;
  // The other copy is made on the first split.
  ensure_size(scratch.class_entries[to], scratch.class_entries[from].size());
  ensure_size(scratch.regression_entries[to], scratch.regression_entries[from].size());
  ensure_size(scratch.slot_words[to], scratch.slot_words[from].size());
  if (scratch.classification) {
    reorder(scratch.class_entries[from].data() + start, scratch.class_entries[to].data() + start,
            destinations, n);
  } else {
    reorder(scratch.regression_entries[from].data() + start,
            scratch.regression_entries[to].data() + start, destinations, n);
  }
  for (std::size_t block = 0; block < n_blocks; ++block) {
    const std::size_t offset = block * scratch.n_drawn + start;
    reorder(scratch.slot_words[from].data() + offset, scratch.slot_words[to].data() + offset,
            destinations, n);
  }
}

FeatureSplit kl_node_split(const KlCriterionParams& params, const DataMatrix& data,
                           std::uint64_t feature, std::span<const RowId> rows,
                           NodeSplitScratch& scratch) {
  const FeatureShape shape = feature_shape(data, feature);
  const std::size_t n_slots = slot_count(shape.n_bins);
  bool built = false;
  if (fast_path_open(data, shape, scratch)) {
    const RowEntry<1>* const entries =
        scratch.class_entries[scratch.node_copy].data() + scratch.node_start;
    if (scratch.bins_in_order) {
      if (const std::uint8_t* const slots = ordered_slots(feature, scratch)) {
        reset_cells(scratch.cells, 2 * shape.n_groups, n_slots, 1);
        float* const cells = scratch.cells.data();
        for (std::size_t i = 0; i < rows.size(); ++i) {
          float& cell = cells[entries[i].cell + slots[kFeaturesPerWord * i]];
          cell = entries[i].values[0] + cell;
        }
        built = true;
      }
    } else if (gather_feature_cells(data, feature, rows, shape.n_bins, entries, scratch)) {
      reset_cells(scratch.cells, 2 * shape.n_groups, n_slots, 1);
      float* const cells = scratch.cells.data();
      const std::uint32_t* const cell_of_row = scratch.cell_of_row.data();
      for (std::size_t i = 0; i < rows.size(); ++i) {
        float& cell = cells[cell_of_row[i]];
        cell = entries[i].values[0] + cell;
      }
      built = true;
    }
  }
  // Exact path: also reports any failure of this call, as kl_best_split would.
  if (!built) fill_class_cells(data, feature, rows, n_slots, shape.n_groups, scratch.cells);
  return scan_kl_cells(params, shape, scratch.cells, scratch.scan, scratch.summary);
}

FeatureSplit regression_node_split(const RegressionCriterionParams& params, const DataMatrix& data,
                                   std::uint64_t feature, std::span<const RowId> rows,
                                   NodeSplitScratch& scratch) {
  const FeatureShape shape = feature_shape(data, feature);
  const std::size_t n_slots = slot_count(shape.n_bins);
  const auto add = [](float* cell, const RowEntry<3>& entry) {
    cell[0] = cell[0] + entry.values[0];
    cell[1] = cell[1] + entry.values[1];
    cell[2] = cell[2] + entry.values[2];
  };
  bool built = false;
  if (fast_path_open(data, shape, scratch)) {
    const RowEntry<3>* const entries =
        scratch.regression_entries[scratch.node_copy].data() + scratch.node_start;
    if (scratch.bins_in_order) {
      if (const std::uint8_t* const slots = ordered_slots(feature, scratch)) {
        reset_cells(scratch.cells, shape.n_groups, n_slots, kRegressionSums);
        float* const cells = scratch.cells.data();
        for (std::size_t i = 0; i < rows.size(); ++i) {
          add(cells + entries[i].cell + kRegressionSums * slots[kFeaturesPerWord * i], entries[i]);
        }
        built = true;
      }
    } else if (gather_feature_cells(data, feature, rows, shape.n_bins, entries, scratch)) {
      reset_cells(scratch.cells, shape.n_groups, n_slots, kRegressionSums);
      float* const cells = scratch.cells.data();
      const std::uint32_t* const cell_of_row = scratch.cell_of_row.data();
      for (std::size_t i = 0; i < rows.size(); ++i) add(cells + cell_of_row[i], entries[i]);
      built = true;
    }
  }
  // Exact path: also reports any failure of this call, as regression_best_split would.
  if (!built) fill_regression_cells(data, feature, rows, n_slots, shape.n_groups, scratch.cells);
  return scan_regression_cells(params, shape, scratch.cells, scratch.scan, scratch.summary);
}

}  // namespace quorvanta
