#include "data/data_matrix.hpp"

#include <gtest/gtest.h>

#include "data_test_support.hpp"

namespace quorvanta {
namespace {

using testing::fault_message;
using Rows = std::vector<RowId>;

DataMatrix matrix_with(std::vector<std::vector<std::uint8_t>> x) {
  DataMatrix data;
  data.x = std::move(x);
  return data;
}

TEST(DataMatrix, RowCountAndCells) {
  const DataMatrix data = matrix_with({{3, kMissingBin, 1}, {0, 0, 0}});
  EXPECT_EQ(data.n_rows(), 3u);
  EXPECT_EQ(data.get(0, 0), std::optional<std::uint8_t>(3));
  EXPECT_EQ(data.get(0, 1), std::nullopt);
  EXPECT_EQ(fault_message([&] { data.get(2, 0); }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(fault_message([&] { data.get(1, 3); }),
            "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(matrix_with({{}}).n_rows(), 0u);
  EXPECT_EQ(fault_message([] { DataMatrix().n_rows(); }), std::string(kAbsentValueMessage));
}

TEST(DataMatrix, SortRowsIsStableWithMissingLast) {
  const DataMatrix data = matrix_with({{3, kMissingBin, 1, 3, 254, kMissingBin}});
  Rows rows{0, 1, 2, 3};
  data.sort_rows(rows, 0);
  EXPECT_EQ(rows, (Rows{2, 0, 3, 1}));

  // A slice of a larger array, with scratch left over from a bigger sort.
  Rows all{9, 5, 1, 4, 3, 0, 9};
  Rows scratch(20, 7);
  data.sort_rows(std::span<RowId>(all).subspan(1, 5), 0, scratch);
  EXPECT_EQ(all, (Rows{9, 3, 0, 4, 5, 1, 9}));

  rows = {5, 1};
  data.sort_rows(rows, 0);
  EXPECT_EQ(rows, (Rows{5, 1})) << "all missing: unchanged";
}

TEST(DataMatrix, SortRowsRejectsBadNumbersWithoutTouchingTheRows) {
  const DataMatrix data = matrix_with({{2, 1}});
  Rows rows{1, 0, 2};
  EXPECT_EQ(fault_message([&] { data.sort_rows(rows, 0); }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(rows, (Rows{1, 0, 2}));
  EXPECT_EQ(fault_message([&] { data.sort_rows(rows, 1); }),
            "index out of bounds: the len is 1 but the index is 1");
}

}  // namespace
}  // namespace quorvanta
