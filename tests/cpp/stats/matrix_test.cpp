#include "stats/matrix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "common/fault.hpp"
#include "fault_message.hpp"

namespace quorvanta {
namespace {

using testing::fault_message;

TEST(Matrix, AddAndSubCutRowsToTheShorterLength) {
  EXPECT_EQ(matrix_add({{1, 2}, {3}}, {{10, 20, 30}, {40, 50}}), (Matrix{{11, 22}, {43}}));
  EXPECT_EQ(matrix_sub({{5, 5}}, {{1, 2}, {9, 9}}), (Matrix{{4, 3}})) << "extra rows of b ignored";
  EXPECT_EQ(matrix_add({}, {{1}}), Matrix{});
  EXPECT_EQ(matrix_sub({}, {}), Matrix{});
}

TEST(Matrix, AddAndSubFailures) {
  EXPECT_EQ(fault_message([] { matrix_sub({{1}}, {}); }),
            "index out of bounds: the len is 0 but the index is 0");
  EXPECT_EQ(fault_message([] {
              matrix_add({{1}, {2}}, {{1}});
            }),
            "index out of bounds: the len is 1 but the index is 1");
  EXPECT_EQ(fault_message([] { matrix_add({{}}, {{1}}); }), "assertion failed: n_col > 0");
  EXPECT_EQ(fault_message([] {
              matrix_sub({{}, {1}}, {{1}, {1}});
            }),
            "assertion failed: n_col > 0");
}

TEST(Matrix, DivScalarUsesTheFirstRowWidthAndTurnsZeroDivisorsIntoZeros) {
  const Matrix a{{2, 4}, {6, 8, 10}, {1}};
  EXPECT_EQ(matrix_div_scalar(a, 2), (Matrix{{1, 2}, {3, 4}, {0.5f}}));
  EXPECT_EQ(matrix_div_scalar(a, 0), (Matrix{{0, 0}, {0, 0}, {0}}));
  EXPECT_EQ(matrix_div_scalar(a, -0.0f), (Matrix{{0, 0}, {0, 0}, {0}}));
  const Matrix by_nan = matrix_div_scalar({{1}}, std::numeric_limits<float>::quiet_NaN());
  EXPECT_TRUE(std::isnan(by_nan.at(0).at(0)));
  EXPECT_EQ(matrix_div_scalar({}, 0), Matrix{});
  EXPECT_EQ(fault_message([] { matrix_div_scalar({{}, {1}}, 2); }), "assertion failed: n_col > 0");
}

TEST(Matrix, ColumnTakesOneEntryPerRow) {
  EXPECT_EQ(matrix_column({{0.25f, 7}, {0.5f, 9}}, 1), (std::vector<float>{7, 9}));
  EXPECT_TRUE(matrix_column({}, 3).empty());
  EXPECT_EQ(fault_message([] {
              matrix_column({{1, 2}, {3}}, 1);
            }),
            std::string(kAbsentValueMessage));
}

}  // namespace
}  // namespace quorvanta
