#include "tree/tree_rows.hpp"

#include <algorithm>
#include <limits>
#include <tuple>
#include <utility>

#include "common/fault.hpp"
#include "data/bin.hpp"
#include "stats/flat_histogram.hpp"
#include "stats/histogram.hpp"
#include "tree/tree_record.hpp"

namespace quorvanta {
namespace {

// Histogram rows are addressed with 32-bit cell numbers; larger group counts (which a loaded
// table cannot have) take the exact path.
constexpr std::uint64_t kMaxFastGroups = 256;
constexpr std::uint64_t kMaxNarrowRow = std::numeric_limits<std::uint32_t>::max();

template <class T>
void ensure_size(std::vector<T>& buffer, std::size_t size) {
  if (buffer.size() < size) buffer.resize(size);
}

// The group count of the narrower paths, or 0 when every tree takes the exact path.
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

// A column the Counts path can read without checks: it covers every row and every present bin
// lies within the bin count, so no row can fail and counts index straight by bin.
bool countable_column(const DataMatrix& data, std::size_t feature, std::size_t n_rows) {
  const std::optional<std::size_t> n_bins = bin_count(data, feature);
  if (!n_bins || *n_bins > kMissingBin) return false;
  const std::vector<std::uint8_t>& column = data.x[feature];
  if (column.size() < n_rows) return false;
  // Shifted by one, a missing cell (255) wraps to 0 and every present bin b becomes b + 1: a plain
  // byte maximum, which the compiler turns into vector instructions.
  std::uint8_t largest_shifted = 0;
  for (std::size_t row = 0; row < n_rows; ++row) {
    largest_shifted = std::max(largest_shifted, static_cast<std::uint8_t>(column[row] + 1));
  }
  return largest_shifted == 0 || largest_shifted - 1u <= *n_bins;
}

bool unit_weights(const DataMatrix& data, std::size_t n_rows) {
  if (data.weight.size() < n_rows) return false;
  return std::all_of(data.weight.begin(), data.weight.begin() + n_rows,
                     [](float w) { return w == 1.0f; });
}

// to[destinations[i]] = from[i]: the reads are sequential, the writes go to a few sequential
// streams (one per bin of a numeric split, two for a categorical one).
template <class T>
void reorder(const T* from, T* to, const std::uint32_t* destinations, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) to[destinations[i]] = from[i];
}

// The part of the split search that differs between the criteria: what a row adds to a
// histogram, how many histogram rows there are, and the scan.
struct ClassRows {
  using Params = KlCriterionParams;
  static constexpr std::size_t kWidth = 1;
  static std::size_t histogram_rows(std::size_t n_groups) { return 2 * n_groups; }
  static bool make_entry(const DataMatrix& data, RowId row, std::uint64_t n_groups,
                         RowEntry<1>& entry) {
    const std::uint64_t outcome = outcome_class(data.y[row]);
    const std::uint8_t group = data.treatment.front()[row];
    if (outcome >= 2 || group >= n_groups) return false;
    entry.cell = static_cast<std::uint32_t>((outcome * n_groups + group) * kSlotStride);
    entry.values[0] = data.weight[row];
    return true;
  }
  static void fill_exact(const DataMatrix& data, std::size_t feature, std::span<const RowId> rows,
                         std::size_t n_slots, std::size_t n_groups, std::vector<float>& cells) {
    fill_class_cells(data, feature, rows, n_slots, n_groups, cells);
  }
  static FeatureSplit scan(const Params& params, const FeatureShape& shape,
                           std::vector<float>& cells, ScanScratch& scratch,
                           std::vector<float>& summary) {
    return scan_kl_cells(params, shape, cells, scratch, summary);
  }
};

struct RegressionRows {
  using Params = RegressionCriterionParams;
  static constexpr std::size_t kWidth = kRegressionSums;
  static std::size_t histogram_rows(std::size_t n_groups) { return n_groups; }
  static bool make_entry(const DataMatrix& data, RowId row, std::uint64_t n_groups,
                         RowEntry<3>& entry) {
    const std::uint8_t group = data.treatment.front()[row];
    if (group >= n_groups) return false;
    const float w = data.weight[row];
    const float y = data.y[row];
    entry.cell = static_cast<std::uint32_t>(group * kSlotStride * kRegressionSums);
    // The same products the exact builder adds, so the sums come out identical.
    entry.values[0] = w;
    entry.values[1] = y * w;
    entry.values[2] = (y * y) * w;
    return true;
  }
  static void fill_exact(const DataMatrix& data, std::size_t feature, std::span<const RowId> rows,
                         std::size_t n_slots, std::size_t n_groups, std::vector<float>& cells) {
    fill_regression_cells(data, feature, rows, n_slots, n_groups, cells);
  }
  static FeatureSplit scan(const Params& params, const FeatureShape& shape,
                           std::vector<float>& cells, ScanScratch& scratch,
                           std::vector<float>& summary) {
    return scan_regression_cells(params, shape, cells, scratch, summary);
  }
};

}  // namespace

TreeRows::TreeRows(const DataMatrix& data) : data_(data) {
  n_rows_ = data.x.empty() ? 0 : data.x.front().size();
  n_groups_ = fast_group_count(data);
  narrow_rows_ = n_rows_ <= kMaxNarrowRow;
  countable_ = n_groups_ > 0 && ClassRows::histogram_rows(n_groups_) <= kMaxCountRows &&
               unit_weights(data, n_rows_);
  for (std::size_t feature = 0; countable_ && feature < data.x.size(); ++feature) {
    countable_ = countable_column(data, feature, n_rows_);
  }
  every_row_readable_ = countable_ && readable_rows(data) >= n_rows_;
  const std::uint8_t* const groups = countable_ ? data.treatment.front().data() : nullptr;
  for (std::size_t row = 0; every_row_readable_ && row < n_rows_; ++row) {
    every_row_readable_ = outcome_class(data.y[row]) < 2 && groups[row] < n_groups_;
  }
}

std::uint64_t TreeRows::root_entries() const {
  return nodes_.empty() ? 0 : nodes_.front().entry_length;
}

void TreeRows::start_tree(ModelKind kind, float subsample, SharedRng& rng) {
  const std::uint64_t n_rows = data_.n_rows();
  const std::uint64_t k = row_draw_size(n_rows, subsample);
  kind_ = kind;
  nodes_.clear();
  exact_ = Partition();
  if (n_groups_ == 0 || !narrow_rows_ || k > kMaxNarrowRow) {
    start_exact(rng.sample_indices(n_rows, k, true));
    return;
  }
  const bool counts = countable_ && kind == ModelKind::Classification;
  // The Counts path keeps the draw only until its entries are made, in the second copy.
  const std::span<const std::uint32_t> draw =
      rng.draw_with_replacement<std::uint32_t>(n_rows, k, rows_[counts ? 1 : 0]);
  if (counts && every_row_readable_) {
    // No drawn row can fail, so the draws go straight into the multiplicities.
    multiplicity_.resize(n_rows_);
    overflow_.clear();
    std::size_t distinct = 0;
    for (const std::uint32_t row : draw) distinct += count_draw(row);
    make_count_entries(distinct, k);
    return;
  }
  if (counts ? start_counts(draw) : start_ordered(draw)) return;
  start_exact(std::vector<RowId>(draw.begin(), draw.end()));
}

bool TreeRows::count_draw(std::uint32_t row) {
  std::uint8_t& times = multiplicity_[row];
  if (times == kMaxMultiplicity) {
    overflow_.push_back(row);
    return false;
  }
  return times++ == 0;
}

bool TreeRows::start_counts(std::span<const std::uint32_t> drawn) {
  const std::size_t limit = readable_rows(data_);
  multiplicity_.resize(n_rows_);
  overflow_.clear();
  std::size_t distinct = 0;
  for (const std::uint32_t row : drawn) {
    if (row >= limit) {
      std::fill(multiplicity_.begin(), multiplicity_.end(), std::uint8_t{0});
      return false;
    }
    distinct += count_draw(row);
  }
  return make_count_entries(distinct, drawn.size());
}

bool TreeRows::make_count_entries(std::size_t distinct, std::uint64_t n_drawn) {
  const std::size_t n_entries = distinct + overflow_.size();
  for (std::vector<std::uint32_t>& rows : rows_) ensure_size(rows, n_entries);
  for (std::vector<std::uint16_t>& counts : counts_) ensure_size(counts, n_entries);
  const std::uint8_t* const groups = data_.treatment.front().data();
  bool readable = true;
  const auto histogram_row = [&](std::uint32_t row) -> std::size_t {
    const std::uint64_t outcome = outcome_class(data_.y[row]);
    const std::uint8_t group = groups[row];
    if (outcome >= 2 || group >= n_groups_) readable = false;
    return readable ? outcome * n_groups_ + group : 0;
  };
  // Ascending row order: a node's rows are then read forward through every column.
  std::size_t entry = 0;
  for (std::uint32_t row = 0; entry < distinct && row < n_rows_; ++row) {
    const std::uint8_t times = std::exchange(multiplicity_[row], std::uint8_t{0});
    if (times == 0) continue;
    rows_[0][entry] = row;
    counts_[0][entry] = count_entry(histogram_row(row), times);
    ++entry;
  }
  for (const std::uint32_t row : overflow_) {
    rows_[0][entry] = row;
    counts_[0][entry] = count_entry(histogram_row(row), 1);
    ++entry;
  }
  if (!readable) return false;
  path_ = GrowPath::Counts;
  nodes_.push_back(NodeStretch{0, n_entries, 0, n_drawn, 0, false});
  return true;
}

template <class Rows>
bool TreeRows::ordered_entries(std::span<const std::uint32_t> drawn,
                               std::vector<RowEntry<Rows::kWidth>> (&entries)[2]) {
  const std::size_t limit = readable_rows(data_);
  ensure_size(entries[0], drawn.size());
  ensure_size(entries[1], drawn.size());
  RowId largest = 0;
  for (std::size_t i = 0; i < drawn.size(); ++i) {
    const RowId row = drawn[i];
    if (row >= limit || !Rows::make_entry(data_, row, n_groups_, entries[0][i])) return false;
    largest = std::max(largest, row);
  }
  largest_row_ = largest;
  return true;
}

bool TreeRows::start_ordered(std::span<const std::uint32_t> drawn) {
  const bool readable = kind_ == ModelKind::Classification
                            ? ordered_entries<ClassRows>(drawn, class_entries_)
                            : ordered_entries<RegressionRows>(drawn, regression_entries_);
  if (!readable) return false;
  ensure_size(rows_[1], drawn.size());
  path_ = GrowPath::Ordered;
  nodes_.push_back(NodeStretch{0, drawn.size(), 0, drawn.size(), 0, false});
  return true;
}

void TreeRows::start_exact(std::vector<RowId> drawn) {
  const std::uint64_t n = drawn.size();
  exact_ = Partition::from_samples(std::move(drawn));
  path_ = GrowPath::Exact;
  nodes_.push_back(NodeStretch{0, n, 0, n, 0, false});
}

void TreeRows::search_node(const NodeCriterion& criterion, std::uint64_t node,
                           std::span<const std::uint64_t> features, const Visit& visit) {
  const NodeStretch stretch = checked_at(nodes_, node);
  ++searches_[static_cast<int>(path_)];
  if (path_ == GrowPath::Counts) {
    search_counts(criterion.kl, stretch, features, visit);
    return;
  }
  for (const std::uint64_t feature : features) {
    FeatureSplit split;
    if (path_ == GrowPath::Ordered) {
      split = kind_ == ModelKind::Classification
                  ? search_ordered<ClassRows>(criterion.kl, stretch, feature, class_entries_)
                  : search_ordered<RegressionRows>(criterion.regression, stretch, feature,
                                                   regression_entries_);
    } else {
      split = kind_ == ModelKind::Classification
                  ? search_exact<ClassRows>(criterion.kl, node, feature)
                  : search_exact<RegressionRows>(criterion.regression, node, feature);
    }
    visit(feature, split, summary_);
  }
}

void TreeRows::search_counts(const KlCriterionParams& params, const NodeStretch& node,
                             std::span<const std::uint64_t> features, const Visit& visit) {
  const std::uint32_t* const rows = rows_[node.copy].data() + node.entry_start;
  const std::uint16_t* const entries = counts_[node.copy].data() + node.entry_start;
  const std::size_t n_rows = ClassRows::histogram_rows(n_groups_);
  const std::size_t per_feature = n_rows * kCountRowSize;
  ensure_size(counters_, kCountedTogether * per_feature);
  ensure_size(cells_, n_rows * kSlotStride);
  FeatureShape shapes[kCountedTogether];
  const std::uint8_t* columns[kCountedTogether];
  std::uint32_t* counters[kCountedTogether];
  for (std::size_t done = 0; done < features.size(); done += kCountedTogether) {
    const std::size_t block = std::min(features.size() - done, kCountedTogether);
    for (std::size_t j = 0; j < block; ++j) {
      const std::uint64_t feature = features[done + j];
      shapes[j] = feature_shape(data_, feature);
      columns[j] = data_.x[feature].data();
      counters[j] = counters_.data() + j * per_feature;
      std::fill_n(counters[j], per_feature, 0u);
    }
    add_counts(rows, entries, node.entry_length, std::span(columns, block),
               std::span(counters, block));
    for (std::size_t j = 0; j < block; ++j) {
      counts_to_cells(counters[j], n_rows, shapes[j].n_bins, kSlotStride, cells_.data());
      visit(features[done + j], ClassRows::scan(params, shapes[j], cells_, scan_, summary_),
            summary_);
    }
  }
}

template <class Rows>
FeatureSplit TreeRows::search_ordered(const typename Rows::Params& params, const NodeStretch& node,
                                      std::uint64_t feature,
                                      const std::vector<RowEntry<Rows::kWidth>> (&entries)[2]) {
  const FeatureShape shape = feature_shape(data_, feature);
  const std::size_t n_slots = slot_count(shape.n_bins);
  const std::size_t n = node.entry_length;
  const std::uint32_t* const rows = rows_[node.copy].data() + node.entry_start;
  const RowEntry<Rows::kWidth>* const node_entries = entries[node.copy].data() + node.entry_start;
  bool built = false;
  if (shape.n_groups == n_groups_ && feature < data_.x.size() &&
      (n == 0 || largest_row_ < data_.x[feature].size())) {
    ensure_size(cell_of_row_, n);
    if (gather_cells(data_.x[feature].data(), rows, node_entries, n, slot_table(shape.n_bins),
                     cell_of_row_.data())) {
      reset_cells(cells_, Rows::histogram_rows(shape.n_groups), n_slots, Rows::kWidth);
      add_in_order(node_entries, cell_of_row_.data(), n, cells_.data());
      built = true;
    }
  }
  // Exact builders: they also report the failure of a row that cannot be read.
  if (!built) Rows::fill_exact(data_, feature, wide_rows(node), n_slots, shape.n_groups, cells_);
  return Rows::scan(params, shape, cells_, scan_, summary_);
}

template <class Rows>
FeatureSplit TreeRows::search_exact(const typename Rows::Params& params, std::uint64_t node,
                                    std::uint64_t feature) {
  const FeatureShape shape = feature_shape(data_, feature);
  const std::size_t n_slots = slot_count(shape.n_bins);
  Rows::fill_exact(data_, feature, std::as_const(exact_).node_range(node), n_slots, shape.n_groups,
                   cells_);
  return Rows::scan(params, shape, cells_, scan_, summary_);
}

std::uint64_t TreeRows::split_node(const SplitInfo& split) {
  const NodeStretch node = checked_at(nodes_, split.node_id);
  const std::vector<std::uint8_t>& value = unwrap(split.value);
  if (value.empty()) fail_absent_value();
  std::uint64_t n_left_entries = 0;
  std::uint64_t n_left_rows = 0;
  switch (path_) {
    case GrowPath::Counts:
      std::tie(n_left_entries, n_left_rows) = split_counts(split, node);
      break;
    case GrowPath::Ordered:
      n_left_entries = n_left_rows = split_ordered(split, node);
      break;
    case GrowPath::Exact:
      n_left_entries = n_left_rows = partition_node(exact_, split, data_);
      exact_.append_children(split.node_id, n_left_rows);
      break;
  }
  nodes_[split.node_id].divided = true;
  const std::uint8_t copy = path_ == GrowPath::Exact ? 0 : node.copy ^ 1;
  nodes_.push_back(
      NodeStretch{node.entry_start, n_left_entries, node.row_start, n_left_rows, copy, false});
  nodes_.push_back(NodeStretch{node.entry_start + n_left_entries,
                               node.entry_length - n_left_entries, node.row_start + n_left_rows,
                               node.row_length - n_left_rows, copy, false});
  return n_left_rows;
}

std::pair<std::uint64_t, std::uint64_t> TreeRows::split_counts(const SplitInfo& split,
                                                               const NodeStretch& node) {
  // Row order does not change a count, so the split only needs to keep each side's rows
  // ascending: a stable two-way partition, no sort.
  const std::size_t n = node.entry_length;
  const std::uint32_t* const rows = rows_[node.copy].data() + node.entry_start;
  const std::uint16_t* const entries = counts_[node.copy].data() + node.entry_start;
  std::uint32_t* const to_rows = rows_[node.copy ^ 1].data() + node.entry_start;
  std::uint16_t* const to_entries = counts_[node.copy ^ 1].data() + node.entry_start;
  const std::uint8_t* const column = checked_at(data_.x, split.feature_id).data();
  const bool is_cat = split.iscat;
  const std::uint8_t split_bin = (*split.value)[0];
  ensure_size(keys_, n);
  std::uint64_t n_left = 0;
  std::uint64_t n_left_rows = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool left = goes_left(is_cat, split_bin, column[rows[i]]);
    keys_[i] = left;
    n_left += left;
    n_left_rows += left ? (entries[i] & kMaxMultiplicity) : 0;
  }
  std::uint64_t next_left = 0;
  std::uint64_t next_right = n_left;
  for (std::size_t i = 0; i < n; ++i) {
    const bool left = keys_[i] != 0;
    const std::uint64_t to = left ? next_left : next_right;
    to_rows[to] = rows[i];
    to_entries[to] = entries[i];
    next_left += left;
    next_right += !left;
  }
  return {n_left, n_left_rows};
}

std::uint64_t TreeRows::split_ordered(const SplitInfo& split, const NodeStretch& node) {
  const std::size_t n = node.entry_length;
  const std::uint32_t* const rows = rows_[node.copy].data() + node.entry_start;
  std::uint64_t n_left = 0;
  if (split.feature_id < data_.x.size() &&
      (n == 0 || largest_row_ < data_.x[split.feature_id].size())) {
    const std::uint8_t* const column = data_.x[split.feature_id].data();
    ensure_size(keys_, n);
    for (std::size_t i = 0; i < n; ++i) keys_[i] = column[rows[i]];
    n_left = split_destinations(split.iscat, (*split.value)[0],
                                std::span<const std::uint8_t>(keys_.data(), n), destinations_);
  } else {
    // Some row lies beyond the column: partition_node reports it.
    Partition alone = Partition::from_samples(wide_rows(node));
    SplitInfo of_alone = split;
    of_alone.node_id = 0;
    n_left = partition_node(alone, of_alone, data_, destinations_);
  }
  const std::size_t from = node.copy;
  const std::size_t to = from ^ 1;
  const std::size_t start = node.entry_start;
  reorder(rows, rows_[to].data() + start, destinations_.data(), n);
  if (kind_ == ModelKind::Classification) {
    reorder(class_entries_[from].data() + start, class_entries_[to].data() + start,
            destinations_.data(), n);
  } else {
    reorder(regression_entries_[from].data() + start, regression_entries_[to].data() + start,
            destinations_.data(), n);
  }
  return n_left;
}

std::vector<RowId> TreeRows::wide_rows(const NodeStretch& node) const {
  const std::uint32_t* const rows = rows_[node.copy].data() + node.entry_start;
  return std::vector<RowId>(rows, rows + node.entry_length);
}

Partition TreeRows::partition(bool with_rows) const {
  if (path_ == GrowPath::Exact) {
    Partition copy = exact_;
    if (!with_rows) copy.indices.clear();
    copy.scratch.clear();
    return copy;
  }
  Partition result;
  for (const NodeStretch& node : nodes_) {
    result.starts.push_back(node.row_start);
    result.lengths.push_back(node.row_length);
  }
  if (!with_rows || nodes_.empty()) return result;
  result.indices.resize(nodes_.front().row_length);
  // Every position belongs to one undivided node, whose copy holds its final order.
  for (const NodeStretch& node : nodes_) {
    if (node.divided) continue;
    RowId* out = result.indices.data() + node.row_start;
    const std::uint32_t* const rows = rows_[node.copy].data() + node.entry_start;
    for (std::size_t i = 0; i < node.entry_length; ++i) {
      const std::size_t times = path_ == GrowPath::Counts
                                    ? counts_[node.copy][node.entry_start + i] & kMaxMultiplicity
                                    : 1;
      out = std::fill_n(out, times, RowId{rows[i]});
    }
  }
  return result;
}

}  // namespace quorvanta
