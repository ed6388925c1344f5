// Binning of a numeric column by table lookup, for columns long enough to repay building a table:
// the bin of almost every value follows from the top 16 bits of its order-preserving key, and the
// rest from one or two comparisons or, rarely, the search of ContinuousBin::to_bins.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "data/bin.hpp"

namespace quorvanta {

class ThresholdLookup {
 public:
  // Columns shorter than this are binned by ContinuousBin::to_bins: the table costs about as
  // much to build as it saves on this many values.
  static constexpr std::size_t kMinRows = std::size_t{1} << 17;

  // `bin` must outlive the lookup. A record whose thresholds are out of order or hold a NaN
  // (counts_thresholds) gets no table: every value then goes to bin.to_bins.
  explicit ThresholdLookup(const ContinuousBin& bin);

  // The same bins as bin.to_bins(column, out), bit for bit.
  void to_bins(std::span<const float> column, std::span<std::uint8_t> out) const;

  // For tests: whether values in the bucket of `value` are binned without the search.
  bool is_direct(float value) const;

 private:
  const ContinuousBin& bin_;
  std::vector<float> padded_;          // the thresholds, then two +inf
  std::vector<std::uint16_t> bucket_;  // lowest bin | (bins spanned << 8); kSearch: search
};

}  // namespace quorvanta
