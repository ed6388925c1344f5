// The caller's table after conversion: rows of optional 32-bit cells, stored flat.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvanta {

// A missing cell is stored as one signalling-NaN bit pattern. Narrowing a double never yields a
// signalling NaN (the conversion quiets it), so a present value can never look missing; code that
// copies raw f32 bits from elsewhere must pass them through `present_cell` first.
inline constexpr std::uint32_t kMissingCellBits = 0x7FA00000u;

inline float missing_cell() {
  return std::bit_cast<float>(kMissingCellBits);
}

inline bool is_missing_cell(float cell) {
  return std::bit_cast<std::uint32_t>(cell) == kMissingCellBits;
}

// Quiets a signalling NaN exactly as a float -> double -> float round trip does.
inline float present_cell(float value) {
  std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  if ((bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu) != 0) bits |= 0x00400000u;
  return std::bit_cast<float>(bits);
}

// Rows may differ in length; a position past the end of a row is "no cell", which loading reports
// as an absent value where the cell is needed.
class CellTable {
 public:
  CellTable() { row_starts_.push_back(0); }

  std::size_t n_rows() const { return row_starts_.size() - 1; }
  std::size_t row_length(std::size_t row) const { return row_starts_[row + 1] - row_starts_[row]; }

  // The cell at (row, position), or nullopt when the row has no such position. A present cell
  // may hold the missing pattern; check it with is_missing_cell.
  std::optional<float> cell(std::size_t row, std::size_t position) const {
    if (position >= row_length(row)) return std::nullopt;
    return cells_[row_starts_[row] + position];
  }

  // All cells of one row, for passes that read many positions of each row.
  std::span<const float> row_cells(std::size_t row) const {
    return std::span<const float>(cells_).subspan(row_starts_[row], row_length(row));
  }

  void reserve(std::size_t rows, std::size_t cells) {
    row_starts_.reserve(rows + 1);
    cells_.reserve(cells);
  }
  // Appends one cell to the row being built; end_row closes it.
  void push_cell(float cell) { cells_.push_back(cell); }
  void end_row() { row_starts_.push_back(cells_.size()); }

 private:
  std::vector<float> cells_;
  std::vector<std::size_t> row_starts_;
};

}  // namespace quorvanta
