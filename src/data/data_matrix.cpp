#include "data/data_matrix.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "common/fault.hpp"

namespace quorvanta {

std::size_t DataMatrix::n_rows() const {
  if (x.empty()) fail_absent_value();
  return x.front().size();
}

std::optional<std::uint8_t> DataMatrix::get(std::size_t feature, std::size_t row) const {
  const std::uint8_t bin = checked_at(checked_at(x, feature), row);
  if (bin == kMissingBin) return std::nullopt;
  return bin;
}

// A counting sort over the 256 possible keys: linear, stable, and a missing cell's key (255) sorts
// after every bin without a special case.
void DataMatrix::sort_rows(std::span<RowId> rows, std::size_t feature,
                           std::vector<RowId>& scratch) const {
  const std::vector<std::uint8_t>& column = checked_at(x, feature);
  std::array<std::size_t, 256> offsets{};
  // Every row is checked before anything moves, so a failure leaves `rows` as it was.
  for (RowId row : rows) {
    if (row >= column.size()) fail_index(column.size(), row);
    ++offsets[column[row]];
  }
  if (std::any_of(offsets.begin(), offsets.end(),
                  [&](std::size_t count) { return count == rows.size(); })) {
    return;  // one key for all rows: already in order
  }
  std::size_t next = 0;
  for (std::size_t& offset : offsets) next += std::exchange(offset, next);
  scratch.resize(rows.size());
  for (RowId row : rows) scratch[offsets[column[row]]++] = row;
  std::copy(scratch.begin(), scratch.begin() + rows.size(), rows.begin());
}

void DataMatrix::sort_rows(std::span<RowId> rows, std::size_t feature) const {
  std::vector<RowId> scratch;
  sort_rows(rows, feature, scratch);
}

}  // namespace quorvanta
