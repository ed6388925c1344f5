#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "data/cell_table.hpp"
#include "data_test_support.hpp"

namespace quorvanta {
namespace {

using testing::fault_message;
using testing::table_of;

const std::string kAbsent(kAbsentValueMessage);

std::vector<float> column_of(const CellTable& table, std::size_t position, std::size_t begin,
                             std::size_t end) {
  std::vector<float> out(end - begin);
  table.read_column(position, begin, end, out);
  return out;
}

std::uint32_t bits(float value) {
  return std::bit_cast<std::uint32_t>(value);
}

// One column of a given element type laid out as n x 1, elements packed one after another.
template <class Stored>
std::vector<std::uint32_t> read_one_column(const std::vector<Stored>& elements, CellType type) {
  StridedCells cells;
  cells.data = reinterpret_cast<const std::byte*>(elements.data());
  cells.n_rows = elements.size();
  cells.n_columns = 1;
  cells.row_stride = sizeof(Stored);
  cells.column_stride = 0;
  cells.type = type;
  std::vector<std::uint32_t> read;
  for (float cell : column_of(CellTable(cells), 0, 0, elements.size())) read.push_back(bits(cell));
  return read;
}

TEST(CellTable, BorrowedElementsReadAsTheirValuesDo) {
  // Integers pass through double first: 2^53 + 1 becomes 2^53 and only then an f32.
  EXPECT_EQ(read_one_column<std::int64_t>({-3, (std::int64_t{1} << 53) + 1}, CellType::kInt64),
            (std::vector<std::uint32_t>{bits(-3.0f), bits(0x1p53f)}));
  EXPECT_EQ(read_one_column<std::uint64_t>({std::numeric_limits<std::uint64_t>::max()},
                                           CellType::kUInt64),
            (std::vector<std::uint32_t>{bits(0x1p64f)}));
  EXPECT_EQ(read_one_column<std::int8_t>({-128, 127}, CellType::kInt8),
            (std::vector<std::uint32_t>{bits(-128.0f), bits(127.0f)}));
  EXPECT_EQ(read_one_column<std::uint16_t>({65535}, CellType::kUInt16),
            (std::vector<std::uint32_t>{bits(65535.0f)}));
  // Any nonzero byte of a boolean is true.
  EXPECT_EQ(read_one_column<std::uint8_t>({0, 1, 2}, CellType::kBool),
            (std::vector<std::uint32_t>{bits(0.0f), bits(1.0f), bits(1.0f)}));
  // Half precision: 1.0, the smallest subnormal, -infinity, a NaN with payload (quieted).
  EXPECT_EQ(read_one_column<std::uint16_t>({0x3C00, 0x0001, 0xFC00, 0x7C01}, CellType::kHalf),
            (std::vector<std::uint32_t>{bits(1.0f), bits(0x1p-24f), 0xFF800000u, 0x7FC02000u}));
  // A signalling NaN in the caller's f32 data is quieted, never read as a missing cell; doubles
  // are rounded to nearest.
  EXPECT_EQ(read_one_column<std::uint32_t>({kMissingCellBits, 0x7F800001u}, CellType::kFloat),
            (std::vector<std::uint32_t>{kMissingCellBits | 0x00400000u, 0x7FC00001u}));
  EXPECT_EQ(read_one_column<double>({0.1, 1e300}, CellType::kDouble),
            (std::vector<std::uint32_t>{bits(0.1f), bits(std::numeric_limits<float>::infinity())}));
}

// A random 7 x 5 table of doubles placed in memory by `place`, read back column by column and
// range by range, must give the cells of the same table built cell by cell.
TEST(CellTable, EveryLayoutReadsLikeTheOwnedTable) {
  constexpr std::size_t kRows = 7;
  constexpr std::size_t kColumns = 5;
  std::mt19937 random(7);
  std::uniform_real_distribution<double> uniform(-1e6, 1e6);
  std::vector<double> values(kRows * kColumns);
  for (double& value : values) value = uniform(random);

  CellTable owned;
  for (std::size_t row = 0; row < kRows; ++row) {
    for (std::size_t column = 0; column < kColumns; ++column) {
      owned.push_cell(static_cast<float>(values[row * kColumns + column]));
    }
    owned.end_row();
  }

  // Storage with one spare byte in front, so that an odd start leaves every element unaligned.
  std::vector<std::byte> storage(1 + 2 * kRows * kColumns * sizeof(double));
  struct Layout {
    const char* name;
    std::size_t first;             // byte offset of cell (0, 0)
    std::ptrdiff_t row_stride;     // in bytes
    std::ptrdiff_t column_stride;  // in bytes
  };
  constexpr auto kSize = static_cast<std::ptrdiff_t>(sizeof(double));
  constexpr auto kR = static_cast<std::ptrdiff_t>(kRows);
  constexpr auto kC = static_cast<std::ptrdiff_t>(kColumns);
  const Layout layouts[] = {
      {"row-major", 0, kC * kSize, kSize},
      {"column-major", 0, kSize, kR * kSize},
      {"every other element", 0, 2 * kC * kSize, 2 * kSize},
      {"rows reversed", static_cast<std::size_t>((kR - 1) * kC * kSize), -kC * kSize, kSize},
      {"both reversed", static_cast<std::size_t>((kR * kC - 1) * kSize), -kC * kSize, -kSize},
      {"unaligned", 1, kC * kSize, kSize},
  };
  for (const Layout& layout : layouts) {
    for (std::size_t row = 0; row < kRows; ++row) {
      for (std::size_t column = 0; column < kColumns; ++column) {
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(layout.first) +
                                  static_cast<std::ptrdiff_t>(row) * layout.row_stride +
                                  static_cast<std::ptrdiff_t>(column) * layout.column_stride;
        std::memcpy(storage.data() + at, &values[row * kColumns + column], sizeof(double));
      }
    }
    StridedCells cells{storage.data() + layout.first, kRows, kColumns, layout.row_stride,
                       layout.column_stride, CellType::kDouble};
    const CellTable borrowed(cells);
    EXPECT_EQ(borrowed.n_rows(), kRows);
    EXPECT_EQ(borrowed.shortest_row_length(), kColumns);
    for (std::size_t column = 0; column < kColumns; ++column) {
      for (std::size_t begin = 0; begin < kRows; begin += 3) {
        EXPECT_EQ(column_of(borrowed, column, begin, kRows), column_of(owned, column, begin, kRows))
            << layout.name << ", column " << column << " from row " << begin;
      }
    }
  }
}

TEST(CellTable, AMaskMarksCellsMissingWhateverTheyHold) {
  const std::vector<float> values{1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f};  // 3 rows x 2 columns
  // The mask in column-major order, as a transposed view would give it; 2 is also "masked".
  const std::vector<std::uint8_t> mask{0, 1, 0, 2, 0, 0};
  StridedCells cells{reinterpret_cast<const std::byte*>(values.data()),
                     3,
                     2,
                     2 * sizeof(float),
                     sizeof(float),
                     CellType::kFloat,
                     reinterpret_cast<const std::byte*>(mask.data()),
                     1,
                     3};
  const CellTable table(cells);
  const std::vector<float> first = column_of(table, 0, 0, 3);
  const std::vector<float> second = column_of(table, 1, 1, 3);
  EXPECT_EQ(bits(first[0]), bits(1.0f));
  EXPECT_TRUE(is_missing_cell(first[1]));
  EXPECT_EQ(bits(first[2]), bits(5.0f));
  EXPECT_EQ(bits(second[0]), bits(4.0f));
  EXPECT_EQ(bits(second[1]), bits(6.0f));
  EXPECT_TRUE(is_missing_cell(*table.cell(0, 1)));
  EXPECT_FALSE(table.cell(0, 2).has_value());
}

TEST(CellTable, ReadsOutsideTheTableFail) {
  const CellTable ragged = table_of({{1.0f, 2.0f}, {3.0f}, {4.0f, std::nullopt, 6.0f}});
  EXPECT_EQ(ragged.shortest_row_length(), 1u);
  EXPECT_EQ(CellTable().shortest_row_length(), std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(column_of(ragged, 0, 0, 3), (std::vector<float>{1.0f, 3.0f, 4.0f}));
  EXPECT_TRUE(is_missing_cell(column_of(ragged, 1, 2, 3)[0]));
  EXPECT_FALSE(ragged.cell(1, 1).has_value());
  // Row 1 has no second cell.
  EXPECT_EQ(fault_message([&] { column_of(ragged, 1, 0, 3); }), kAbsent);
  EXPECT_EQ(fault_message([&] { column_of(ragged, 0, 1, 4); }), index_message(3, 3));
  std::vector<float> short_out(1);
  EXPECT_EQ(fault_message([&] { ragged.read_column(0, 0, 2, short_out); }), index_message(1, 1));
  EXPECT_EQ(fault_message([&] { ragged.cell(3, 0); }), index_message(3, 3));

  const std::vector<float> values{1.0f, 2.0f};
  const CellTable borrowed(StridedCells{reinterpret_cast<const std::byte*>(values.data()), 1, 2,
                                        2 * sizeof(float), sizeof(float), CellType::kFloat});
  EXPECT_EQ(fault_message([&] { column_of(borrowed, 2, 0, 1); }), kAbsent);
  EXPECT_EQ(column_of(borrowed, 1, 1, 1), std::vector<float>{});
}

}  // namespace
}  // namespace quorvanta
