// The caller's table as loading reads it: rows of optional 32-bit cells, either owned (built cell
// by cell from a list of rows) or borrowed from a numeric buffer that is read where it lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "data/missing_cell.hpp"

namespace quorvanta {

// Element types of a borrowed buffer; each is read as the item-by-item conversion reads its value.
enum class CellType : std::uint8_t {
  kBool,
  kInt8,
  kUInt8,
  kInt16,
  kUInt16,
  kInt32,
  kUInt32,
  kInt64,
  kUInt64,
  kHalf,
  kFloat,
  kDouble,
};

// A 2-D buffer owned by someone else: cell (row, column) starts at
// data + row * row_stride + column * column_stride. Strides may be negative or zero and elements
// unaligned. With a mask, a nonzero mask byte at the same (row, column) marks the cell missing.
// The owner keeps both alive and unchanged for as long as a table reads them.
struct StridedCells {
  const std::byte* data = nullptr;
  std::size_t n_rows = 0;
  std::size_t n_columns = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t column_stride = 0;
  CellType type = CellType::kFloat;
  const std::byte* mask = nullptr;
  std::ptrdiff_t mask_row_stride = 0;
  std::ptrdiff_t mask_column_stride = 0;
};

// Rows may differ in length; a position past the end of a row is "no cell", which loading reports
// as an absent value where the cell is needed. Readers see cells only through read_column, so they
// work alike on both kinds of storage.
class CellTable {
 public:
  CellTable() { row_starts_.push_back(0); }
  // Reads `cells` in place; every row has n_columns cells.
  explicit CellTable(const StridedCells& cells) : borrowed_(cells) {}

  std::size_t n_rows() const;
  // Every row has a cell at each position below this length (the maximum for no rows).
  std::size_t shortest_row_length() const;

  // Writes the cells of rows [begin, end) at `position` to out[0 .. end - begin), missing cells as
  // the missing pattern. The index failure when the range or `out` is too short, the absent-value
  // failure when one of those rows has no cell at `position`. Safe to call from several threads.
  void read_column(std::size_t position, std::size_t begin, std::size_t end,
                   std::span<float> out) const;

  // The cell at (row, position), or nullopt when the row has no such position. A present cell
  // may hold the missing pattern; check it with is_missing_cell.
  std::optional<float> cell(std::size_t row, std::size_t position) const;

  // The buffer read in place, or null for an owned table: readers that know an element type can
  // take its cells where they lie.
  const StridedCells* borrowed_cells() const { return borrowed_ ? &*borrowed_ : nullptr; }

  // Building an owned table; a borrowed one is never built on.
  void reserve(std::size_t rows, std::size_t cells) {
    row_starts_.reserve(rows + 1);
    cells_.reserve(cells);
  }
  // Appends one cell to the row being built; end_row closes it.
  void push_cell(float cell) { cells_.push_back(cell); }
  void end_row() { row_starts_.push_back(cells_.size()); }

 private:
  std::size_t owned_row_length(std::size_t row) const {
    return row_starts_[row + 1] - row_starts_[row];
  }

  std::optional<StridedCells> borrowed_;
  std::vector<float> cells_;
  std::vector<std::size_t> row_starts_;
};

}  // namespace quorvanta
