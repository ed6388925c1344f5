// Elementwise operations on small row-major tables of f32. Rows may differ in length; the column
// count of a table is the length of its first row.
#pragma once

#include <cstddef>
#include <vector>

namespace quorvanta {

using Matrix = std::vector<std::vector<float>>;

Matrix matrix_add(const Matrix& a, const Matrix& b);
Matrix matrix_sub(const Matrix& a, const Matrix& b);
Matrix matrix_div_scalar(const Matrix& a, float x);
std::vector<float> matrix_column(const Matrix& rows, std::size_t j);

}  // namespace quorvanta
