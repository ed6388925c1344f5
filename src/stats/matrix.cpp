#include "stats/matrix.hpp"

#include <algorithm>

#include "common/fault.hpp"

namespace quorvanta {
namespace {

// The column count of a table is the length of its first row, and it must not be zero.
void require_columns(const Matrix& a) {
  if (a.front().empty()) fail("assertion failed: n_col > 0");
}

template <class Operation>
Matrix elementwise(const Matrix& a, const Matrix& b, Operation operation) {
  if (a.empty()) return {};
  require_columns(a);
  Matrix result(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::vector<float>& left = a[i];
    const std::vector<float>& right = checked_at(b, i);
    std::vector<float>& row = result[i];
    row.resize(std::min(left.size(), right.size()));
    for (std::size_t j = 0; j < row.size(); ++j) row[j] = operation(left[j], right[j]);
  }
  return result;
}

}  // namespace

Matrix matrix_add(const Matrix& a, const Matrix& b) {
  return elementwise(a, b, [](float left, float right) { return left + right; });
}

Matrix matrix_sub(const Matrix& a, const Matrix& b) {
  return elementwise(a, b, [](float left, float right) { return left - right; });
}

Matrix matrix_div_scalar(const Matrix& a, float x) {
  if (a.empty()) return {};
  require_columns(a);
  const std::size_t n_col = a.front().size();
  Matrix result(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::vector<float>& row = result[i];
    row.resize(std::min(a[i].size(), n_col));
    // A zero divisor (either sign) yields zeros rather than infinities; NaN still divides.
    if (x == 0.0f) continue;
    for (std::size_t j = 0; j < row.size(); ++j) row[j] = a[i][j] / x;
  }
  return result;
}

std::vector<float> matrix_column(const Matrix& rows, std::size_t j) {
  std::vector<float> column;
  column.reserve(rows.size());
  for (const std::vector<float>& row : rows) {
    if (j >= row.size()) fail_absent_value();
    column.push_back(row[j]);
  }
  return column;
}

}  // namespace quorvanta
