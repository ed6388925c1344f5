#include "data/threshold_lookup.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "common/fault.hpp"
#include "data/float_key.hpp"
#include "data/missing_cell.hpp"

namespace quorvanta {
namespace {

constexpr int kBucketBits = 16;
constexpr std::size_t kBuckets = std::size_t{1} << kBucketBits;
constexpr int kKeyShift = 32 - kBucketBits;
// A bucket whose values may fall into more than three bins, or that holds NaN keys (and with
// them the missing-cell pattern and the infinities next to them), is left to the search.
constexpr std::uint16_t kSearch = 0xFFFF;
constexpr std::uint16_t kMaxDirectSpan = 2;

}  // namespace

ThresholdLookup::ThresholdLookup(const ContinuousBin& bin) : bin_(bin) {
  if (bin.counts_thresholds) return;
  const std::vector<float>& threshold = bin.threshold;
  const std::size_t n_threshold = threshold.size();
  padded_.assign(threshold.begin(), threshold.end());
  padded_.resize(n_threshold + 2, std::numeric_limits<float>::infinity());

  // The bin of x is the number of thresholds at or below it, which never decreases along the
  // key order (-0.0 and 0.0 compare equal). So the bins of a bucket lie between those of its
  // smallest and largest value, and the counts can be carried from bucket to bucket.
  bucket_.resize(kBuckets);
  std::size_t at_or_below_low = 0;
  for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) {
    const auto first_key = static_cast<std::uint32_t>(bucket << kKeyShift);
    const float low = value_of_float_key(first_key);
    const float high = value_of_float_key(first_key | ((std::uint32_t{1} << kKeyShift) - 1));
    if (std::isnan(low) || std::isnan(high)) {
      bucket_[bucket] = kSearch;
      continue;
    }
    while (at_or_below_low < n_threshold && threshold[at_or_below_low] <= low) ++at_or_below_low;
    std::size_t at_or_below_high = at_or_below_low;
    while (at_or_below_high < n_threshold && threshold[at_or_below_high] <= high) {
      ++at_or_below_high;
    }
    const std::size_t span = at_or_below_high - at_or_below_low;
    bucket_[bucket] =
        span > kMaxDirectSpan ? kSearch : static_cast<std::uint16_t>(at_or_below_low | (span << 8));
  }
}

bool ThresholdLookup::is_direct(float value) const {
  if (bucket_.empty()) return false;
  return bucket_[float_key(std::bit_cast<std::uint32_t>(value)) >> kKeyShift] != kSearch;
}

void ThresholdLookup::to_bins(std::span<const float> column, std::span<std::uint8_t> out) const {
  if (bucket_.empty()) {
    bin_.to_bins(column, out);
    return;
  }
  if (out.size() < column.size()) fail_index(out.size(), column.size() - 1);
  // Within a bucket of lowest bin `low`, thresholds low and low + 1 are the only ones a value may
  // reach (the next lies above the bucket, or is padding), so two comparisons finish the count.
  // 1M rows, 253 thresholds: 1.5 ms instead of 4 ms for the interleaved search (bench_loader).
  std::size_t searched = 0;
  for (std::size_t row = 0; row < column.size(); ++row) {
    const float cell = column[row];
    const std::uint16_t entry = bucket_[float_key(std::bit_cast<std::uint32_t>(cell)) >> kKeyShift];
    if (entry == kSearch) {
      ++searched;
      out[row] = kMissingBin;  // marks the row for the search below
      continue;
    }
    const std::size_t low = entry & 0xFFu;
    out[row] = static_cast<std::uint8_t>(low + (cell >= padded_[low] ? 1 : 0) +
                                         (cell >= padded_[low + 1] ? 1 : 0));
  }
  if (searched == 0) return;
  std::vector<float> values;
  values.reserve(searched);
  for (std::size_t row = 0; row < column.size(); ++row) {
    if (out[row] == kMissingBin) values.push_back(column[row]);
  }
  std::vector<std::uint8_t> bins(values.size());
  bin_.to_bins(values, bins);
  std::size_t next = 0;
  for (std::size_t row = 0; row < column.size(); ++row) {
    if (out[row] == kMissingBin) out[row] = bins[next++];
  }
}

}  // namespace quorvanta
