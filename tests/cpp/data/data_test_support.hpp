// Small builders for the data tests: tables from literal rows and the message of a failure.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "fault_message.hpp"
#include "data/cell_table.hpp"

namespace quorvanta::testing {

using Cell = std::optional<float>;

inline CellTable table_of(const std::vector<std::vector<Cell>>& rows) {
  CellTable table;
  for (const auto& row : rows) {
    for (const Cell& cell : row) table.push_cell(cell ? present_cell(*cell) : missing_cell());
    table.end_row();
  }
  return table;
}

// One column of cells as binning takes it.
inline std::vector<float> column_of(const std::vector<Cell>& cells) {
  std::vector<float> column;
  for (const Cell& cell : cells) column.push_back(cell ? present_cell(*cell) : missing_cell());
  return column;
}

}  // namespace quorvanta::testing
