#include "data/column_keys.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "data/float_key.hpp"
#include "data/missing_cell.hpp"
#include "data/ranked_keys.hpp"

namespace quorvanta {
namespace {

// Cells read between two checks for an interrupt.
constexpr std::size_t kCellsPerCheck = std::size_t{1} << 18;

}  // namespace

ColumnKeys::ColumnKeys(std::size_t expected_cells) {
  keys_.resize(expected_cells);
  if (expected_cells >= RankedKeys::kMinKeys) bucket_counts_.assign(RankedKeys::kBuckets, 0);
}

ColumnKeys ColumnKeys::of(std::span<const float> column) {
  ColumnKeys keys(column.size());
  for (std::size_t begin = 0; begin < column.size(); begin += kCellsPerCheck) {
    check_interruption();
    keys.add(column.subspan(begin, std::min(kCellsPerCheck, column.size() - begin)));
  }
  return keys;
}

void ColumnKeys::add(std::span<const float> cells) {
  if (cells.empty()) return;
  if (cells.size() > keys_.size() - n_cells_) fail_index(keys_.size(), n_cells_ + cells.size() - 1);
  // What the cells hold, in a loop of branch-free reductions that vectorises; then the keys, with
  // a compacting loop only for blocks that hold missing cells.
  const std::size_t count = cells.size();
  const float* const first = cells.data();
  bool missing = false;
  bool nan = false;
  bool positive_infinity = false;
  std::size_t zeros_end = 0;  // one past the last zero
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(first[i]);
    const std::uint32_t magnitude = bits & 0x7FFFFFFFu;
    missing |= bits == kMissingCellBits;
    nan |= magnitude > 0x7F800000u && bits != kMissingCellBits;
    positive_infinity |= bits == 0x7F800000u;
    zeros_end = magnitude == 0 ? i + 1 : zeros_end;
  }
  has_nan_ |= nan;
  has_positive_infinity_ |= positive_infinity;
  if (zeros_end > 0) last_zero_negative_ = std::bit_cast<std::uint32_t>(first[zeros_end - 1]) != 0;

  std::uint32_t* const out = keys_.data() + n_present_;
  std::size_t written = 0;
  if (!missing) {
    for (std::size_t i = 0; i < count; ++i)
      out[i] = float_key(std::bit_cast<std::uint32_t>(first[i]));
    written = count;
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t bits = std::bit_cast<std::uint32_t>(first[i]);
      if (bits != kMissingCellBits) out[written++] = float_key(bits);
    }
  }
  if (!bucket_counts_.empty()) {
    std::uint32_t* const counts = bucket_counts_.data();
    for (std::size_t i = 0; i < written; ++i) ++counts[out[i] >> (32 - RankedKeys::kBucketBits)];
  }
  n_cells_ += count;
  n_present_ += written;
}

KeyBuffer ColumnKeys::take_keys() {
  keys_.resize(n_present_);
  return std::exchange(keys_, {});
}

}  // namespace quorvanta
