#include "data/bin.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "data/category_index.hpp"
#include "data/cell_table.hpp"
#include "data/column_keys.hpp"
#include "data/float_key.hpp"
#include "data/ranked_keys.hpp"

namespace quorvanta {
namespace {

// Neighbouring sorted values a, b are cut apart only when b + kGapTolerance > a in f32: equal and
// nearly equal values (closer than 2^-23 near zero, adjacent floats around 1) stay together.
constexpr float kGapTolerance = -1.1920929e-7f;

constexpr std::size_t kMaxCategories = 254;

// Unsigned key whose order is the f32 order. Missing cells take the key of +infinity and -0.0 the
// key of 0.0, so equal keys are exactly the cells that compare equal. NaN must not reach here.
std::uint32_t sort_key(float cell) {
  if (is_missing_cell(cell)) cell = std::numeric_limits<float>::infinity();
  if (cell == 0.0f) cell = 0.0f;
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(cell);
  return (bits & 0x80000000u) != 0 ? ~bits : (bits | 0x80000000u);
}

// Stable ascending sort of the cells by sort_key: an LSD radix sort in three 11-bit passes, which
// keeps equal keys in column order (it matters for 0.0 / -0.0 and for missing cells next to +inf).
std::vector<float> sort_cells(std::span<const float> column) {
  constexpr int kDigitBits = 11;
  constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
  constexpr int kPasses = 3;
  const auto digit = [](float cell, int pass) {
    return (sort_key(cell) >> (pass * kDigitBits)) & (kBuckets - 1);
  };

  std::vector<std::size_t> counts(kPasses * kBuckets, 0);
  for (const auto [begin, end] : checked_pieces(column.size())) {
    for (std::size_t k = begin; k < end; ++k) {
      for (int pass = 0; pass < kPasses; ++pass) ++counts[pass * kBuckets + digit(column[k], pass)];
    }
  }

  std::vector<float> from(column.begin(), column.end());
  std::vector<float> to(column.size());
  for (int pass = 0; pass < kPasses; ++pass) {
    std::size_t* offsets = &counts[pass * kBuckets];
    if (offsets[digit(from.front(), pass)] == from.size()) continue;  // one digit: order kept
    std::size_t next = 0;
    for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) {
      next += std::exchange(offsets[bucket], next);
    }
    for (const auto [begin, end] : checked_pieces(from.size())) {
      for (std::size_t k = begin; k < end; ++k) to[offsets[digit(from[k], pass)]++] = from[k];
    }
    std::swap(from, to);
  }
  return from;
}

// Cells read between two checks for an interrupt.
constexpr std::size_t kCellsPerCheck = std::size_t{1} << 18;

// Sorts keys ascending: LSD radix passes over bytes, a pass skipped when every key has the same
// byte there. Equal keys are equal bits, so stability does not matter here. Byte digits: each
// pass scatters into 256 places, few enough for the writes to stay in cache; 11-bit digits
// (3 passes into 2048 places) took longer in all (bench_loader, 1M rows).
void sort_keys(KeyBuffer& from) {
  if (from.size() < 2) return;
  if (from.size() > RankedKeys::kMaxKeys) {  // counts are 32-bit
    std::sort(from.begin(), from.end());
    return;
  }
  constexpr std::size_t kBuckets = 256;
  constexpr int kPasses = 4;
  std::vector<std::uint32_t> counts(kPasses * kBuckets, 0);
  for (std::size_t begin = 0; begin < from.size(); begin += kCellsPerCheck) {
    check_interruption();
    const std::size_t end = std::min(from.size(), begin + kCellsPerCheck);
    for (std::size_t k = begin; k < end; ++k) {
      const std::uint32_t key = from[k];
      ++counts[key & 0xFFu];
      ++counts[kBuckets + ((key >> 8) & 0xFFu)];
      ++counts[2 * kBuckets + ((key >> 16) & 0xFFu)];
      ++counts[3 * kBuckets + (key >> 24)];
    }
  }
  KeyBuffer to(from.size());
  for (int pass = 0; pass < kPasses; ++pass) {
    const auto digit = [pass](std::uint32_t key) { return (key >> (pass * 8)) & 0xFFu; };
    std::uint32_t* offsets = &counts[pass * kBuckets];
    if (offsets[digit(from.front())] == from.size()) continue;
    std::uint32_t next = 0;
    for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) {
      next += std::exchange(offsets[bucket], next);
    }
    for (const auto [begin, end] : checked_pieces(from.size())) {
      for (std::size_t k = begin; k < end; ++k) to[offsets[digit(from[k])]++] = from[k];
    }
    std::swap(from, to);
  }
}

// The ranks whose values start the scans of cut_at_gaps, with the neighbour each scan reads first.
std::vector<std::size_t> scan_starts(std::size_t valid, std::uint64_t n_bin) {
  std::vector<std::size_t> ranks;
  const std::uint64_t step = valid / n_bin;
  for (std::uint64_t i = 1; i < n_bin; ++i) {
    const std::size_t start = i * step;
    if (start + 1 >= valid) break;
    ranks.push_back(start);
    ranks.push_back(start + 1);
    if (step == 0) break;
  }
  return ranks;
}

// The cut rule over the first `valid` sorted values, read through value_at: each i in 1..n_bin-1
// looks for the first gap at or after position i * step. Start positions only grow, so a scan may
// resume at the gap found last: the positions before it cannot yield a new cut.
template <class ValueAt>
std::vector<float> cut_at_gaps(std::size_t valid, std::uint64_t n_bin, ValueAt&& value_at) {
  std::vector<float> threshold;
  const std::uint64_t step = valid / n_bin;
  std::size_t resume = 0;
  for (std::uint64_t i = 1; i < n_bin; ++i) {
    std::size_t j = std::max<std::size_t>(i * step, resume);
    for (; j + 1 < valid; ++j) {
      if (j % kCellsPerCheck == 0) check_interruption();  // runs of nearly equal values
      const float a = value_at(j);
      const float b = value_at(j + 1);
      // Only when present +inf values share the missing cells' sort key.
      if (is_missing_cell(a) || is_missing_cell(b)) fail_absent_value();
      if (b + kGapTolerance > a) {
        if (threshold.empty() || threshold.back() != a) threshold.push_back(a);
        break;
      }
    }
    // No gap up to the end: later starts lie further right and find none either. With step 0
    // every i starts at position 0 and finds the same first gap.
    if (j + 1 >= valid || step == 0) break;
    resume = j;
  }
  return threshold;
}

struct Category {
  float value;
  std::uint64_t count;
};

// The output must have a slot for every cell.
void require_output(std::span<const float> column, std::span<std::uint8_t> out) {
  if (out.size() < column.size()) fail_index(out.size(), column.size() - 1);
}

}  // namespace

ContinuousBin ContinuousBin::from_values(std::span<const float> column, std::uint64_t n_bin,
                                         ThresholdSearch* search) {
  ColumnKeys keys = ColumnKeys::of(column);
  if (std::optional<ContinuousBin> bin = from_keys(keys, n_bin, search)) return std::move(*bin);
  // Missing cells and +inf share a sort key, so their column order decides whether the scan
  // meets a missing cell: only the stable sort of the cells themselves tells.
  const std::vector<float> sorted = sort_cells(column);
  ContinuousBin bin;
  bin.threshold = cut_at_gaps(keys.n_present(), n_bin, [&](std::size_t at) { return sorted[at]; });
  bin.n_bin = bin.threshold.size() + 1;
  if (search != nullptr) *search = {};
  return bin;
}

std::optional<ContinuousBin> ContinuousBin::from_keys(ColumnKeys& keys, std::uint64_t n_bin,
                                                      ThresholdSearch* search) {
  // NaN cannot be ordered: sorting two or more cells compares every one of them at least once.
  if (keys.has_nan() && keys.n_cells() >= 2) fail_absent_value();
  if (n_bin == 0) fail_division();

  const std::size_t valid = keys.n_present();
  if (valid >= 2 && keys.has_missing() && keys.has_positive_infinity()) return std::nullopt;
  ContinuousBin bin;
  ThresholdSearch taken;
  if (valid >= 2) {
    // Only present cells, ordered as one-to-one keys: a quarter of the work of the stable sort
    // of cells (bench_loader, 1M rows). Its one difference, -0.0 before 0.0 instead of column
    // order, matters only for a cut at zero, which is the last zero of the run: in the stable
    // sort, the zero that comes last in the column.
    if (!keys.bucket_counts().empty() && valid >= RankedKeys::kMinKeys &&
        valid <= RankedKeys::kMaxKeys) {
      // The scans read a few ranks each: only the buckets of those ranks are sorted.
      RankedKeys ranked(keys.take_keys(), keys.bucket_counts());
      ranked.prepare(scan_starts(valid, n_bin));
      bin.threshold = cut_at_gaps(
          valid, n_bin, [&](std::size_t at) { return value_of_float_key(ranked.key_at(at)); });
      taken = {true, ranked.gathering_passes(), ranked.sorted_everything()};
    } else {
      KeyBuffer sorted = keys.take_keys();
      sort_keys(sorted);
      bin.threshold =
          cut_at_gaps(valid, n_bin, [&](std::size_t at) { return value_of_float_key(sorted[at]); });
    }
    for (float& cut : bin.threshold) {
      if (cut == 0.0f) cut = keys.last_zero_negative() ? -0.0f : 0.0f;
    }
  }
  bin.n_bin = bin.threshold.size() + 1;
  if (search != nullptr) *search = taken;
  return bin;
}

void ContinuousBin::choose_binning() {
  counts_thresholds = false;
  for (std::size_t k = 0; k < threshold.size(); ++k) {
    // Equal neighbours are fine: the search finds the count past all of them.
    if (std::isnan(threshold[k]) || (k > 0 && threshold[k] < threshold[k - 1])) {
      counts_thresholds = true;
      return;
    }
  }
}

namespace {

void count_thresholds(std::span<const float> thresholds, std::span<const float> column,
                      std::span<std::uint8_t> out) {
  for (std::size_t row = 0; row < column.size(); ++row) {
    const float cell = column[row];
    if (is_missing_cell(cell)) {
      out[row] = kMissingBin;
      continue;
    }
    std::size_t count = 0;
    for (float t : thresholds) count += cell >= t ? 1 : 0;
    out[row] = static_cast<std::uint8_t>(count);
  }
}

}  // namespace

void ContinuousBin::to_bins(std::span<const float> column, std::span<std::uint8_t> out) const {
  // Bin of x = the number of thresholds t with x >= t, by a branch-free binary search over the
  // thresholds padded with +inf to 2^k - 1 entries. NaN fails every comparison and gets bin 0;
  // +inf passes the padding too, hence the clamp. The searches of a block of rows are interleaved
  // so that their load-compare chains overlap. Per column of 1M rows and 253 thresholds:
  // std::upper_bound about 35 ms (mispredicted branches), one branch-free search at a time 15 ms,
  // blocks of 32 rows 4 ms.
  require_output(column, out);
  if (counts_thresholds) {
    count_thresholds(threshold, column, out);
    return;
  }
  const std::size_t n_threshold = threshold.size();
  const std::size_t width = std::bit_ceil(n_threshold + 1);
  std::vector<float> padded(width, std::numeric_limits<float>::infinity());
  std::copy(threshold.begin(), threshold.end(), padded.begin());

  constexpr std::size_t kBlock = 32;
  std::size_t row = 0;
  for (; row + kBlock <= column.size(); row += kBlock) {
    std::array<std::uint32_t, kBlock> positions{};
    for (std::size_t half = width / 2; half > 0; half /= 2) {
      for (std::size_t k = 0; k < kBlock; ++k) {
        const bool at_or_above = padded[positions[k] + half - 1] <= column[row + k];
        positions[k] += static_cast<std::uint32_t>(half) & (0u - at_or_above);
      }
    }
    for (std::size_t k = 0; k < kBlock; ++k) {
      const float cell = column[row + k];
      const std::size_t bin = std::min<std::size_t>(positions[k], n_threshold);
      out[row + k] = is_missing_cell(cell) ? kMissingBin : static_cast<std::uint8_t>(bin);
    }
  }
  for (; row < column.size(); ++row) {
    const float cell = column[row];
    std::size_t position = 0;
    for (std::size_t half = width / 2; half > 0; half /= 2) {
      position += padded[position + half - 1] <= cell ? half : 0;
    }
    const std::size_t bin = std::min(position, n_threshold);
    out[row] = is_missing_cell(cell) ? kMissingBin : static_cast<std::uint8_t>(bin);
  }
}

DiscreteBin DiscreteBin::from_values(std::span<const float> column) {
  std::vector<Category> categories;
  CategoryIndex index;
  for (const auto [begin, end] : checked_pieces(column.size())) {
    for (const float cell : column.subspan(begin, end - begin)) {
      if (is_missing_cell(cell)) continue;
      if (std::isnan(cell)) {  // equal to nothing, so every NaN is a category of its own
        categories.push_back({cell, 1});
        continue;
      }
      const auto [position, inserted] = index.try_emplace(cell, categories.size());
      if (inserted) {
        categories.push_back({cell, 1});
      } else {
        ++categories[position].count;
      }
    }
  }
  std::stable_sort(categories.begin(), categories.end(),
                   [](const Category& a, const Category& b) { return a.count > b.count; });

  DiscreteBin bin;
  const std::size_t kept = std::min(categories.size(), kMaxCategories);
  bin.mapping.reserve(kept);
  for (std::size_t k = 0; k < kept; ++k) bin.mapping.push_back(categories[k].value);
  // The left-out categories share one extra bin.
  bin.n_bin = kept + (categories.size() > kMaxCategories ? 1 : 0);
  return bin;
}

void DiscreteBin::to_bins(std::span<const float> column, std::span<std::uint8_t> out) const {
  require_output(column, out);
  CategoryIndex index(mapping.size());
  for (std::size_t position = 0; position < mapping.size(); ++position) {
    if (!std::isnan(mapping[position])) index.try_emplace(mapping[position], position);
  }
  const auto unknown = static_cast<std::uint8_t>(mapping.size());
  for (std::size_t row = 0; row < column.size(); ++row) {
    const float cell = column[row];
    if (is_missing_cell(cell)) {
      out[row] = kMissingBin;
      continue;
    }
    const std::size_t position = index.find(cell);
    out[row] = position == CategoryIndex::kNotFound ? unknown : static_cast<std::uint8_t>(position);
  }
}

}  // namespace quorvanta
