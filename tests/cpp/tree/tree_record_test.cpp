#include "tree/tree_record.hpp"

#include <gtest/gtest.h>

#include "common/fault.hpp"
#include "data/bin.hpp"

namespace quorvanta {
namespace {

void expect_absent_value_failure(const auto& operation) {
  try {
    operation();
    ADD_FAILURE() << "expected the absent-value failure";
  } catch (const Fault& fault) {
    EXPECT_EQ(fault.what(), std::string(kAbsentValueMessage));
  }
}

SplitInfo split_with_summary(GroupSummary summary) {
  SplitInfo split;
  split.summary = std::move(summary);
  return split;
}

TEST(TreeRecord, RootOnlyRecordIsALeafWithoutPrediction) {
  const TreeRecord tree = TreeRecord::with_root();
  EXPECT_EQ(tree.n_nodes(), 1u);
  EXPECT_EQ(tree.level, std::vector<std::uint64_t>{0});
  EXPECT_TRUE(tree.is_leaf(0));
  EXPECT_FALSE(tree.get_split(0).has_value());
  expect_absent_value_failure([&] { tree.leaf_effect(0); });
  expect_absent_value_failure([&] { tree.get_split(1); });
  expect_absent_value_failure([&] { tree.is_leaf(1); });
  expect_absent_value_failure([&] { tree.leaf_effect(1); });
}

TEST(TreeRecord, ChildrenTakeIdsInCreationOrderOneLevelDown) {
  TreeRecord tree = TreeRecord::with_root();
  EXPECT_EQ(tree.add_left_child(0), 1u);
  EXPECT_EQ(tree.add_right_child(0), 2u);
  EXPECT_EQ(tree.add_left_child(2), 3u);
  EXPECT_EQ(tree.add_right_child(2), 4u);
  EXPECT_EQ(tree.level, (std::vector<std::uint64_t>{0, 1, 1, 2, 2}));
  EXPECT_EQ(tree.left_children[0], 1u);
  EXPECT_EQ(tree.right_children[0], 2u);
  EXPECT_EQ(tree.left_children[2], 3u);
  EXPECT_EQ(tree.right_children[2], 4u);
  EXPECT_FALSE(tree.left_children[1].has_value());
  EXPECT_FALSE(tree.is_leaf(0));
  EXPECT_TRUE(tree.is_leaf(1));
  EXPECT_EQ(tree.split.size(), 5u);
  EXPECT_EQ(tree.right_children.size(), 5u);
}

TEST(TreeRecord, InvalidParentFailsAndChangesNothing) {
  TreeRecord tree = TreeRecord::with_root();
  tree.add_left_child(0);
  const TreeRecord before = tree;
  expect_absent_value_failure([&] { tree.add_left_child(2); });
  expect_absent_value_failure([&] { tree.add_right_child(7); });
  EXPECT_EQ(tree, before);
}

TEST(TreeRecord, LeafEffectIsEachGroupAgainstControl) {
  TreeRecord tree = TreeRecord::with_root();
  tree.split[0] = split_with_summary({{0.2f, 10.0f}, {0.5f, 4.0f}, {0.1f, 7.0f}});
  const std::vector<float> expected{0.5f - 0.2f, 0.1f - 0.2f};
  EXPECT_EQ(tree.leaf_effect(0), expected);

  tree.split[0] = split_with_summary({{0.2f, 10.0f}});
  EXPECT_TRUE(tree.leaf_effect(0).empty());
  tree.split[0] = split_with_summary({});
  EXPECT_TRUE(tree.leaf_effect(0).empty());

  tree.split[0] = split_with_summary({{0.2f}, {}});
  expect_absent_value_failure([&] { tree.leaf_effect(0); });
  tree.split[0] = split_with_summary({{}});
  expect_absent_value_failure([&] { tree.leaf_effect(0); });
}

TEST(TreeRecord, RoutingPredicate) {
  for (int bin = 0; bin < 255; ++bin) {
    const auto b = static_cast<std::uint8_t>(bin);
    EXPECT_EQ(goes_left(false, 3, b), bin <= 3) << "numeric, bin " << bin;
    EXPECT_EQ(goes_left(true, 3, b), bin == 3) << "categorical, bin " << bin;
  }
  EXPECT_FALSE(goes_left(false, 3, kMissingBin));
  EXPECT_FALSE(goes_left(true, 3, kMissingBin));
  EXPECT_FALSE(goes_left(true, 255, kMissingBin));
}

}  // namespace
}  // namespace quorvanta
