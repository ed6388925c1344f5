// The counting loops of unit-weight growing against plain per-row sums, and the cells they give
// against adding ones in f32, the sum the criteria are defined by.
#include "stats/node_histogram.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "data/bin.hpp"

namespace quorvanta {
namespace {

// Counting any number of features at once, in blocks, gives each feature the counts of a plain
// loop over its rows.
TEST(NodeHistogram, CountsEveryFeatureLikeAPlainLoop) {
  std::mt19937 random(5);
  constexpr std::size_t kTableRows = 500;
  constexpr std::size_t kHistogramRows = 6;
  for (const std::size_t n_features : {1u, 2u, 3u, 4u, 5u, 9u}) {
    SCOPED_TRACE(std::to_string(n_features) + " features");
    std::vector<std::vector<std::uint8_t>> columns(n_features,
                                                   std::vector<std::uint8_t>(kTableRows));
    for (auto& column : columns) {
      for (std::uint8_t& bin : column) bin = random() % 7 == 0 ? kMissingBin : random() % 40;
    }
    std::vector<std::uint32_t> rows;
    std::vector<std::uint16_t> entries;
    for (std::uint32_t row = 0; row < kTableRows; row += 1 + random() % 3) {
      rows.push_back(row);
      entries.push_back(count_entry(random() % kHistogramRows, 1 + random() % kMaxMultiplicity));
    }
    std::vector<std::vector<std::uint32_t>> counters(
        n_features, std::vector<std::uint32_t>(kHistogramRows * kCountRowSize, 0));
    std::vector<const std::uint8_t*> column_data;
    std::vector<std::uint32_t*> counter_data;
    for (std::size_t f = 0; f < n_features; ++f) {
      column_data.push_back(columns[f].data());
      counter_data.push_back(counters[f].data());
    }
    add_counts(rows.data(), entries.data(), rows.size(), column_data, counter_data);
    for (std::size_t f = 0; f < n_features; ++f) {
      std::vector<std::uint32_t> expected(kHistogramRows * kCountRowSize, 0);
      for (std::size_t i = 0; i < rows.size(); ++i) {
        expected[(entries[i] >> 8) * kCountRowSize + columns[f][rows[i]]] += entries[i] & 0xFF;
      }
      EXPECT_EQ(counters[f], expected) << "feature " << f;
    }
  }
}

// f32 additions of 1 from 0, one at a time.
float added_ones(std::uint64_t count) {
  float sum = 0.0f;
  for (std::uint64_t i = 0; i < count; ++i) sum = sum + 1.0f;
  return sum;
}

TEST(NodeHistogram, CountsBecomeTheSumsOfOnesIncludingWhereF32StopsGrowing) {
  for (const std::uint64_t count : {0ull, 1ull, 1000ull, (1ull << 24) - 1, 1ull << 24}) {
    EXPECT_EQ(sum_of_ones(count), added_ones(count)) << count;
  }
  // Past 2^24 adding one rounds back to 2^24: the sum stays there however many rows follow.
  const float at_limit = added_ones(1ull << 24);
  EXPECT_EQ(at_limit + 1.0f, at_limit);
  for (const std::uint64_t count : {(1ull << 24) + 1, (1ull << 24) + 7, 1ull << 30}) {
    EXPECT_EQ(sum_of_ones(count), at_limit) << count;
  }
}

TEST(NodeHistogram, CellsFoldMissingAndBinCountIntoTheLastSlot) {
  constexpr std::size_t kStride = 300;
  std::vector<std::uint32_t> counters(2 * kCountRowSize, 0);
  counters[0] = 3;
  counters[4] = 5;                               // bin 4 = the bin count: shares the last slot
  counters[kMissingBin] = 2;                     // missing cells
  counters[kCountRowSize + 1] = (1u << 24) + 9;  // a second row, past the f32 limit
  counters[kCountRowSize + kMissingBin] = 1;
  std::vector<float> cells(2 * kStride, -1.0f);
  counts_to_cells(counters.data(), 2, 4, kStride, cells.data());
  EXPECT_EQ(std::vector<float>(cells.begin(), cells.begin() + 6),
            (std::vector<float>{3, 0, 0, 0, 7, -1}));
  EXPECT_EQ(std::vector<float>(cells.begin() + kStride, cells.begin() + kStride + 5),
            (std::vector<float>{0, 16777216.0f, 0, 0, 1}));

  // With 255 bins every present bin is its own slot and slot 255 holds only the missing cells.
  std::vector<std::uint32_t> full(kCountRowSize, 0);
  full[254] = 4;
  full[kMissingBin] = 6;
  std::vector<float> full_cells(kCountRowSize, -1.0f);
  counts_to_cells(full.data(), 1, 255, kCountRowSize, full_cells.data());
  EXPECT_EQ(full_cells[254], 4.0f);
  EXPECT_EQ(full_cells[255], 6.0f);
}

TEST(NodeHistogram, GatheredCellsFlagBinsBeyondTheBinCount) {
  const std::array<std::uint16_t, 256> slots = slot_table(3);
  EXPECT_EQ(slots[2], 2);
  EXPECT_EQ(slots[kMissingBin], 3);
  EXPECT_EQ(slots[3], 3 | kSharedSlot);
  EXPECT_EQ(slots[4], kBadSlot);
  EXPECT_EQ(slot_table(256)[kMissingBin], kBadSlot) << "slot 256 does not fit a byte";

  const std::vector<std::uint8_t> column{0, 2, kMissingBin, 3, 4};
  const std::vector<RowEntry<3>> entries(5, RowEntry<3>{10, {1, 2, 3}});
  std::vector<std::uint32_t> cells(5);
  const std::vector<std::uint32_t> good_rows{3, 2, 1, 0};
  ASSERT_TRUE(
      gather_cells(column.data(), good_rows.data(), entries.data(), 4, slots, cells.data()));
  EXPECT_EQ(cells, (std::vector<std::uint32_t>{19, 19, 16, 10, 0}));
  const std::vector<std::uint32_t> bad_rows{0, 4};
  EXPECT_FALSE(
      gather_cells(column.data(), bad_rows.data(), entries.data(), 2, slots, cells.data()));

  // Ordered sums add each row's values in row order: 1 is lost against 1e8 before -1e8 comes.
  std::vector<float> sums(30, 0.0f);
  const std::vector<std::uint32_t> cell_of_row{0, 3, 0, 0};
  const std::vector<RowEntry<3>> values{
      {0, {1, 0, 0}}, {0, {5, 6, 7}}, {0, {1e8f, 0, 0}}, {0, {-1e8f, 0, 0}}};
  add_in_order(values.data(), cell_of_row.data(), 4, sums.data());
  EXPECT_EQ(sums[0], 0.0f);
  EXPECT_EQ(sums[3], 5.0f);
  EXPECT_EQ(sums[5], 7.0f);
}

}  // namespace
}  // namespace quorvanta
