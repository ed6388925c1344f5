// A numeric column's present cells as one-to-one keys (float_key), in column order, with what
// building its bins must know of the other cells. Filled block by block as a table's rows are
// read, so a column is never copied whole before its bins are built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "data/key_buffer.hpp"

namespace quorvanta {

class ColumnKeys {
 public:
  // Room for a column of `expected_cells` cells; that length decides whether buckets are counted.
  explicit ColumnKeys(std::size_t expected_cells);
  // The whole column at once, checking for an interrupt now and then.
  static ColumnKeys of(std::span<const float> column);

  // Appends the next cells of the column: the index failure past `expected_cells` in all.
  void add(std::span<const float> cells);

  std::size_t n_cells() const { return n_cells_; }
  std::size_t n_present() const { return n_present_; }
  bool has_nan() const { return has_nan_; }
  bool has_missing() const { return n_present_ < n_cells_; }
  bool has_positive_infinity() const { return has_positive_infinity_; }
  bool last_zero_negative() const { return last_zero_negative_; }
  // Per bucket of RankedKeys, the present keys with its top bits; empty for columns too short
  // for reading ranks without a full sort.
  const std::vector<std::uint32_t>& bucket_counts() const { return bucket_counts_; }

  // The present cells' keys in column order; leaves this empty.
  KeyBuffer take_keys();

 private:
  KeyBuffer keys_;  // the first n_present_ are written
  std::vector<std::uint32_t> bucket_counts_;
  std::size_t n_cells_ = 0;
  std::size_t n_present_ = 0;
  bool has_nan_ = false;
  bool has_positive_infinity_ = false;
  bool last_zero_negative_ = false;  // the sign of the zero that comes last in column order
};

}  // namespace quorvanta
