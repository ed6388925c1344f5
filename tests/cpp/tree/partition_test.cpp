#include "tree/partition.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/fault.hpp"
#include "tree/tree_test_data.hpp"

namespace quorvanta {
namespace {

using testing::kMissing;
using testing::matrix_of;

SplitInfo split_on(std::uint64_t node, std::uint64_t feature, bool iscat, std::uint8_t bin) {
  SplitInfo split;
  split.node_id = node;
  split.feature_id = feature;
  split.iscat = iscat;
  split.value = std::vector<std::uint8_t>{bin};
  return split;
}

std::vector<RowId> range_of(const Partition& partition, std::uint64_t node) {
  const auto range = partition.node_range(node);
  return {range.begin(), range.end()};
}

void expect_failure(const auto& operation, const std::string& message) {
  try {
    operation();
    ADD_FAILURE() << "expected failure: " << message;
  } catch (const Fault& fault) {
    EXPECT_EQ(fault.what(), message);
  }
}

TEST(Partition, ConstructionForGrowingAndForPrediction) {
  const Partition grown = Partition::from_samples({4, 1, 4, 0});
  EXPECT_EQ(grown.indices, (std::vector<RowId>{4, 1, 4, 0}));
  EXPECT_EQ(grown.starts, std::vector<std::uint64_t>{0});
  EXPECT_EQ(grown.lengths, std::vector<std::uint64_t>{4});

  const Partition routed = Partition::for_rows(5, 3);
  EXPECT_EQ(routed.indices, (std::vector<RowId>{0, 1, 2, 3, 4}));
  EXPECT_EQ(routed.starts, (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_EQ(routed.lengths, (std::vector<std::uint64_t>{5, 0, 0}));

  const Partition no_nodes = Partition::for_rows(2, 0);
  EXPECT_EQ(no_nodes.starts, std::vector<std::uint64_t>{0});
  EXPECT_EQ(no_nodes.lengths, std::vector<std::uint64_t>{2});
}

TEST(Partition, ChildrenRangesAndIndexFailures) {
  Partition grown = Partition::from_samples({7, 8, 9, 10, 11});
  grown.append_children(0, 2);
  EXPECT_EQ(range_of(grown, 1), (std::vector<RowId>{7, 8}));
  EXPECT_EQ(range_of(grown, 2), (std::vector<RowId>{9, 10, 11}));
  grown.append_children(2, 3);
  EXPECT_EQ(range_of(grown, 3), (std::vector<RowId>{9, 10, 11}));
  EXPECT_TRUE(range_of(grown, 4).empty());
  expect_failure([&] { grown.node_range(5); },
                 "index out of bounds: the len is 5 but the index is 5");
  expect_failure([&] { grown.append_children(9, 0); },
                 "index out of bounds: the len is 5 but the index is 9");

  grown.lengths[1] = 9;  // a range reaching past the index array
  expect_failure([&] { grown.node_range(1); },
                 "index out of bounds: the len is 5 but the index is 9");

  Partition routed = Partition::for_rows(6, 3);
  routed.set_children(0, 1, 2, 4);
  EXPECT_EQ(routed.starts, (std::vector<std::uint64_t>{0, 0, 4}));
  EXPECT_EQ(routed.lengths, (std::vector<std::uint64_t>{6, 4, 2}));
  routed.set_children(2, 5, 6, 1);  // ids beyond the arrays are skipped
  EXPECT_EQ(routed.starts.size(), 3u);
  EXPECT_EQ(routed.lengths, (std::vector<std::uint64_t>{6, 4, 2}));
}

TEST(Partition, CategoricalExchangeFromBothEnds) {
  // Rows 0..5 with the split bin 1: pattern R L R R L L.
  const DataMatrix data = matrix_of({{0, 1, 2, kMissing, 1, 1}}, {1});
  Partition partition = Partition::from_samples({0, 1, 2, 3, 4, 5});
  EXPECT_EQ(partition_node(partition, split_on(0, 0, true, 1), data), 3u);
  // Traced by hand: swap ends (0 <-> 5), step over 1, swap 2 <-> 4, then 3 stays right.
  EXPECT_EQ(partition.indices, (std::vector<RowId>{5, 1, 4, 3, 2, 0}));

  Partition r_l_l = Partition::from_samples({0, 1, 4});
  EXPECT_EQ(partition_node(r_l_l, split_on(0, 0, true, 1), data), 2u);
  EXPECT_EQ(r_l_l.indices, (std::vector<RowId>{4, 1, 0}));
}

TEST(Partition, CategoricalEdgeRanges) {
  const DataMatrix data = matrix_of({{3, 2, kMissing, 3}}, {1});
  const SplitInfo on_3 = split_on(0, 0, true, 3);
  for (const RowId row : {0, 1, 2}) {
    Partition one_row = Partition::from_samples({row});
    EXPECT_EQ(partition_node(one_row, on_3, data), row == 0 ? 1u : 0u) << "row " << row;
  }
  Partition none_left = Partition::from_samples({2, 1, 2, 1});
  EXPECT_EQ(partition_node(none_left, on_3, data), 0u);
  EXPECT_EQ(none_left.indices, (std::vector<RowId>{2, 1, 2, 1}));

  Partition all_left = Partition::from_samples({3, 0, 3});
  EXPECT_EQ(partition_node(all_left, on_3, data), 3u);
  EXPECT_EQ(all_left.indices, (std::vector<RowId>{3, 0, 3}));

  // Bootstrap duplicates go to the same side; a missing bin never goes left, not even for 255.
  Partition duplicates = Partition::from_samples({2, 0, 1, 0, 2, 3, 0});
  EXPECT_EQ(partition_node(duplicates, on_3, data), 4u);
  for (std::size_t i = 0; i < 7; ++i) {
    const RowId row = duplicates.indices[i];
    EXPECT_EQ(i < 4, row == 0 || row == 3) << "position " << i << " holds row " << row;
  }
  Partition missing = Partition::from_samples({2, 2});
  EXPECT_EQ(partition_node(missing, split_on(0, 0, true, 255), data), 0u);
}

TEST(Partition, NumericSortsTheRangeStablyAndCutsAPrefix) {
  // Bins 3, missing, 1, 3, 0, 5, 254 for rows 0..6.
  const DataMatrix data = matrix_of({{3, kMissing, 1, 3, 0, 5, 254}});
  Partition partition = Partition::from_samples({3, 1, 5, 0, 6, 2, 4, 3});
  EXPECT_EQ(partition_node(partition, split_on(0, 0, false, 3), data), 5u);
  EXPECT_EQ(partition.indices, (std::vector<RowId>{4, 2, 3, 0, 3, 5, 6, 1}));

  Partition all_left = Partition::from_samples({6, 0});
  EXPECT_EQ(partition_node(all_left, split_on(0, 0, false, 254), data), 2u);
  EXPECT_EQ(all_left.indices, (std::vector<RowId>{0, 6}));

  Partition only_missing = Partition::from_samples({1, 1});
  EXPECT_EQ(partition_node(only_missing, split_on(0, 0, false, 254), data), 0u);
}

TEST(Partition, OnlyTheNodesOwnRangeChanges) {
  const DataMatrix data = matrix_of({{4, 0, 3, 1, 2, 0}, {0, 1, 1, 0, 1, 0}}, {0, 1});
  Partition partition = Partition::from_samples({5, 4, 3, 2, 1, 0});
  partition.append_children(0, 2);  // node 1: rows 5 4; node 2: rows 3 2 1 0
  EXPECT_EQ(partition_node(partition, split_on(2, 0, false, 1), data), 2u);
  EXPECT_EQ(partition.indices, (std::vector<RowId>{5, 4, 1, 3, 2, 0}));
  EXPECT_EQ(partition_node(partition, split_on(1, 1, true, 0), data), 1u);
  EXPECT_EQ(partition.indices, (std::vector<RowId>{5, 4, 1, 3, 2, 0}));
}

TEST(Partition, EmptyRangeAndInvalidSplits) {
  const DataMatrix data = matrix_of({{1, 2}});
  Partition partition = Partition::from_samples({1, 0});
  partition.append_children(0, 2);  // node 2 owns no rows
  EXPECT_EQ(partition_node(partition, split_on(2, 0, true, 1), data), 0u);
  EXPECT_EQ(partition_node(partition, split_on(2, 0, false, 1), data), 0u);
  EXPECT_EQ(partition.indices, (std::vector<RowId>{1, 0}));

  SplitInfo no_value = split_on(0, 0, false, 1);
  no_value.value.reset();
  expect_failure([&] { partition_node(partition, no_value, data); },
                 std::string(kAbsentValueMessage));
  no_value.value = std::vector<std::uint8_t>{};
  expect_failure([&] { partition_node(partition, no_value, data); },
                 std::string(kAbsentValueMessage));
  expect_failure([&] { partition_node(partition, split_on(3, 0, false, 1), data); },
                 "index out of bounds: the len is 3 but the index is 3");
  expect_failure([&] { partition_node(partition, split_on(0, 4, true, 1), data); },
                 "index out of bounds: the len is 1 but the index is 4");
  Partition beyond_rows = Partition::from_samples({0, 9});
  expect_failure([&] { partition_node(beyond_rows, split_on(0, 0, true, 7), data); },
                 "index out of bounds: the len is 2 but the index is 9");
  EXPECT_EQ(partition.indices, (std::vector<RowId>{1, 0}));
}

// Growing divides its rows from the split feature's bins without a partition: the result must be
// partition_node's order exactly, for ranges of every length modulo the four counting lanes, with
// keys in random order, already sorted (a child split on its parent's feature) or all equal.
TEST(Partition, DividingByKeysLeavesPartitionNodesOrder) {
  std::uint32_t state = 12345;
  const auto next = [&state](std::uint32_t below) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % below;
  };
  for (const std::size_t n : {0u, 1u, 3u, 4u, 5u, 7u, 64u, 1001u}) {
    for (const int order : {0, 1, 2}) {
      std::vector<std::uint8_t> column(n);
      for (std::uint8_t& bin : column) {
        bin = order == 2 ? 4 : next(10) == 0 ? kMissing : static_cast<std::uint8_t>(next(12));
      }
      if (order == 1) std::sort(column.begin(), column.end());
      const DataMatrix data = matrix_of({column});
      std::vector<RowId> rows(n);
      for (RowId& row : rows) row = next(static_cast<std::uint32_t>(std::max<std::size_t>(n, 1)));
      std::vector<std::uint8_t> keys(n);
      std::vector<std::uint32_t> from(n);
      for (std::size_t i = 0; i < n; ++i) {
        keys[i] = column[rows[i]];
        from[i] = static_cast<std::uint32_t>(rows[i]);
      }
      for (const bool iscat : {false, true}) {
        for (const std::uint8_t bin : {0, 4, 11, 254}) {
          Partition expected = Partition::from_samples(rows);
          const std::uint64_t n_left = partition_node(expected, split_on(0, 0, iscat, bin), data);
          std::vector<std::uint32_t> to(n);
          EXPECT_EQ(divide_by_keys(iscat, bin, keys, from, to.data()), n_left);
          EXPECT_TRUE(std::equal(to.begin(), to.end(), expected.indices.begin()))
              << "n " << n << ", key order " << order << (iscat ? ", categorical" : ", numeric")
              << " bin " << int{bin};
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorvanta
