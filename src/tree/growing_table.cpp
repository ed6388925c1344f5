#include "tree/growing_table.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "common/interruption.hpp"
#include "data/bin.hpp"
#include "stats/flat_histogram.hpp"
#include "stats/histogram.hpp"

namespace quorvanta {
namespace {

constexpr std::uint64_t kMaxNarrowRow = std::numeric_limits<std::uint32_t>::max();
// Records are read one scattered row at a time: on pages of 4 KiB nearly every read would also
// miss the address translation cache, so they ask for huge pages.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Rows between two polls for interruption.
constexpr std::size_t kPollRows = 1 << 16;

// The feature's bin count as feature_shape reads it, or nothing where feature_shape would fail.
std::optional<std::uint64_t> bin_count(const DataMatrix& data, std::size_t feature) {
  if (feature >= data.is_cat.size() || feature >= data.feature_names.size()) return std::nullopt;
  const std::uint64_t* n_bins = data.n_bins.find(data.feature_names[feature]);
  if (n_bins == nullptr) return std::nullopt;
  return std::min<std::uint64_t>(*n_bins, kMaxHistogramBins);
}

// A column read without checks: it covers every row and every present bin lies within the bin
// count (a bin equal to it shares the missing cells' slot).
bool clean_column(const DataMatrix& data, std::size_t feature, std::size_t n_rows,
                  std::uint64_t n_bins) {
  if (n_bins > kMissingBin) return false;
  const std::vector<std::uint8_t>& column = data.x[feature];
  if (column.size() < n_rows) return false;
  // Shifted by one, a missing cell (255) wraps to 0 and every present bin b becomes b + 1: a plain
  // byte maximum, which the compiler turns into vector instructions.
  std::uint8_t largest_shifted = 0;
  for (std::size_t row = 0; row < n_rows; ++row) {
    largest_shifted = std::max(largest_shifted, static_cast<std::uint8_t>(column[row] + 1));
  }
  return largest_shifted == 0 || largest_shifted - 1u <= n_bins;
}

// Rows as far as the outcome, treatment and weight columns can all be read.
std::size_t readable_rows(const DataMatrix& data) {
  return std::min({data.y.size(), data.treatment.front().size(), data.weight.size()});
}

}  // namespace

GrowingTable::GrowingTable(const DataMatrix& data, ModelKind kind) : data_(data), kind_(kind) {
  n_rows_ = data.x.empty() ? 0 : data.x.front().size();
  narrow_rows_ = n_rows_ <= kMaxNarrowRow;
  if (data.treatment.empty() || data.n_treatment.empty()) return;
  n_groups_ = data.n_treatment.front() <= kMaxFastGroups ? data.n_treatment.front() : 0;
  if (n_groups_ == 0) return;
  clean_columns_ = true;
  n_bins_.resize(data.x.size());
  for (std::size_t feature = 0; clean_columns_ && feature < data.x.size(); ++feature) {
    check_interruption();
    const std::optional<std::uint64_t> n_bins = bin_count(data, feature);
    clean_columns_ = n_bins && clean_column(data, feature, n_rows_, *n_bins);
    if (clean_columns_) n_bins_[feature] = *n_bins;
  }
  unit_weights_ = data.weight.size() >= n_rows_;
  const bool readable = readable_rows(data) >= n_rows_;
  every_row_countable_ = clean_columns_ && readable;
  const std::uint8_t* const groups = data.treatment.front().data();
  for (std::size_t start = 0; start < n_rows_; start += kPollRows) {
    check_interruption();
    const std::size_t end = std::min<std::size_t>(n_rows_, start + kPollRows);
    unit_weights_ =
        unit_weights_ && std::all_of(data.weight.begin() + start, data.weight.begin() + end,
                                     [](float w) { return w == 1.0f; });
    for (std::size_t row = start; every_row_countable_ && row < end; ++row) {
      every_row_countable_ = outcome_class(data.y[row]) < 2 && groups[row] < n_groups_;
    }
  }
  // Unit-weight classification counts from the columns themselves.
  const bool counted = kind == ModelKind::Classification && unit_weights_;
  if (clean_columns_ && narrow_rows_ && !counted) make_records();
}

void GrowingTable::make_records() {
  const std::size_t n_features = data_.x.size();
  // Rounded up to 8 bytes, so that the floats stay aligned and a 20-feature record fits half a
  // cache line.
  record_size_ = (kBinsOffset + n_features + 7) / 8 * 8;
  const std::size_t size = (n_rows_ * record_size_ + kHugePage - 1) / kHugePage * kHugePage;
  if (size > 0) {
    auto* const memory = static_cast<std::uint8_t*>(std::aligned_alloc(kHugePage, size));
    if (memory == nullptr) throw std::bad_alloc();
    records_.reset(memory);
#ifdef MADV_HUGEPAGE
    madvise(memory, size, MADV_HUGEPAGE);  // a hint: without huge pages the records still work
#endif
    // The padding after the last record; the records are cleared piece by piece below.
    std::memset(memory + n_rows_ * record_size_, 0, size - n_rows_ * record_size_);
  }
  const std::size_t readable = readable_rows(data_);
  const std::uint8_t* const groups = data_.treatment.front().data();
  const float* const weights = data_.weight.data();
  const float* const outcomes = data_.y.data();
  const bool classification = kind_ == ModelKind::Classification;
  // Locals throughout: a byte store could alias any member, which the loops would then reload.
  std::uint8_t* const records = records_.get();
  const std::size_t record_size = record_size_;
  const std::uint64_t n_groups = n_groups_;
  bool every_readable = true;
  // Clean columns hold no present bin above the count B (at most 255): the slot of bin b is
  // min(b, B), missing cells (255) and bins equal to B sharing slot B.
  std::vector<const std::uint8_t*> columns(n_features);
  std::vector<std::uint8_t> last_slots(n_features);
  for (std::size_t feature = 0; feature < n_features; ++feature) {
    columns[feature] = data_.x[feature].data();
    last_slots[feature] = static_cast<std::uint8_t>(n_bins_[feature]);
  }
  for (std::size_t start = 0; start < n_rows_; start += kPollRows) {
    check_interruption();
    const std::size_t end = std::min<std::size_t>(n_rows_, start + kPollRows);
    std::memset(records + start * record_size, 0, (end - start) * record_size);
    for (std::size_t row = start; row < end; ++row) {
      std::uint8_t* const out = records + row * record_size;
      std::uint8_t histogram_row = kUnreadable;
      if (row < readable && groups[row] < n_groups) {
        const std::uint64_t outcome = classification ? outcome_class(outcomes[row]) : 0;
        if (outcome < 2)
          histogram_row = static_cast<std::uint8_t>(outcome * n_groups + groups[row]);
        std::memcpy(out + kWeightOffset, &weights[row], sizeof(float));
        std::memcpy(out + kOutcomeOffset, &outcomes[row], sizeof(float));
      }
      out[kHistogramRowOffset] = histogram_row;
      every_readable = every_readable && histogram_row != kUnreadable;
    }
    // Row by row, so that each record is written whole while the columns are read in step.
    for (std::size_t row = start; row < end; ++row) {
      std::uint8_t* const out = records + row * record_size + kBinsOffset;
      for (std::size_t feature = 0; feature < n_features; ++feature) {
        out[feature] = std::min(columns[feature][row], last_slots[feature]);
      }
    }
  }
  every_record_readable_ = every_readable;
}

void GrowingTable::FreeRecords::operator()(std::uint8_t* records) const {
  std::free(records);
}

}  // namespace quorvanta
