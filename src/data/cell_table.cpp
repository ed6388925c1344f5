#include "data/cell_table.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/fault.hpp"
#include "data/cell_values.hpp"

namespace quorvanta {
namespace {

// Storage tags for the element types whose bytes need their own reading.
struct BoolByte {
  std::uint8_t bits;
};
struct HalfBits {
  std::uint16_t bits;
};

inline float cell_from(BoolByte value) {
  return bool_cell(value.bits);
}
inline float cell_from(HalfBits value) {
  return half_cell(value.bits);
}
inline float cell_from(float value) {
  return float_cell(value);
}
inline float cell_from(double value) {
  return narrow_cell(value);
}
template <class Integer>
inline float cell_from(Integer value) {
  return integer_cell(value);
}

// Calls `visit.template operator()<Stored>()` with the C++ type that holds one element.
template <class Visit>
void with_stored_type(CellType type, Visit&& visit) {
  switch (type) {
    case CellType::kBool:
      return visit.template operator()<BoolByte>();
    case CellType::kInt8:
      return visit.template operator()<std::int8_t>();
    case CellType::kUInt8:
      return visit.template operator()<std::uint8_t>();
    case CellType::kInt16:
      return visit.template operator()<std::int16_t>();
    case CellType::kUInt16:
      return visit.template operator()<std::uint16_t>();
    case CellType::kInt32:
      return visit.template operator()<std::int32_t>();
    case CellType::kUInt32:
      return visit.template operator()<std::uint32_t>();
    case CellType::kInt64:
      return visit.template operator()<std::int64_t>();
    case CellType::kUInt64:
      return visit.template operator()<std::uint64_t>();
    case CellType::kHalf:
      return visit.template operator()<HalfBits>();
    case CellType::kFloat:
      return visit.template operator()<float>();
    case CellType::kDouble:
      return visit.template operator()<double>();
  }
}

// Elements may be unaligned (views into packed records) and strides negative, so every element is
// read by copying its bytes from its own address; for aligned data this compiles to a plain load.
template <class Stored>
void read_strided(const std::byte* first, std::ptrdiff_t stride, std::span<float> out) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    Stored value;
    std::memcpy(&value, first + static_cast<std::ptrdiff_t>(i) * stride, sizeof value);
    out[i] = cell_from(value);
  }
}

void mask_strided(const std::byte* first, std::ptrdiff_t stride, std::span<float> out) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (first[static_cast<std::ptrdiff_t>(i) * stride] != std::byte{0}) out[i] = missing_cell();
  }
}

}  // namespace

std::size_t CellTable::n_rows() const {
  return borrowed_ ? borrowed_->n_rows : row_starts_.size() - 1;
}

std::size_t CellTable::shortest_row_length() const {
  if (borrowed_) {
    return borrowed_->n_rows == 0 ? std::numeric_limits<std::size_t>::max() : borrowed_->n_columns;
  }
  std::size_t shortest = std::numeric_limits<std::size_t>::max();
  for (std::size_t row = 0; row < n_rows(); ++row) {
    shortest = std::min(shortest, owned_row_length(row));
  }
  return shortest;
}

void CellTable::read_column(std::size_t position, std::size_t begin, std::size_t end,
                            std::span<float> out) const {
  if (end > n_rows()) fail_index(n_rows(), end - 1);
  if (begin >= end) return;
  const std::size_t count = end - begin;
  if (out.size() < count) fail_index(out.size(), count - 1);
  out = out.first(count);

  if (!borrowed_) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t row = begin + i;
      if (position >= owned_row_length(row)) fail_absent_value();
      out[i] = cells_[row_starts_[row] + position];
    }
    return;
  }

  const StridedCells& cells = *borrowed_;
  if (position >= cells.n_columns) fail_absent_value();
  const auto row_offset = static_cast<std::ptrdiff_t>(begin);
  const auto column_offset = static_cast<std::ptrdiff_t>(position);
  const std::byte* first =
      cells.data + row_offset * cells.row_stride + column_offset * cells.column_stride;
  with_stored_type(cells.type,
                   [&]<class Stored>() { read_strided<Stored>(first, cells.row_stride, out); });
  if (cells.mask != nullptr) {
    mask_strided(
        cells.mask + row_offset * cells.mask_row_stride + column_offset * cells.mask_column_stride,
        cells.mask_row_stride, out);
  }
}

std::optional<float> CellTable::cell(std::size_t row, std::size_t position) const {
  if (row >= n_rows()) fail_index(n_rows(), row);
  if (borrowed_ ? position >= borrowed_->n_columns : position >= owned_row_length(row)) {
    return std::nullopt;
  }
  float value = 0.0f;
  read_column(position, row, row + 1, std::span<float>(&value, 1));
  return value;
}

}  // namespace quorvanta
