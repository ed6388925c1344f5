#include "stats/regression_criterion.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "stats/node_fixture.hpp"

namespace quorvanta {
namespace {

using testing::all_rows;
using testing::fault_message;
using testing::NodeRow;
using testing::one_feature_matrix;

TEST(RegressionScore, VarianceMinusSquaredEffectPlusImbalance) {
  // Control 0, 0; treated 1, 1: effect 1, no variance.
  EXPECT_EQ(regression_score(2, 2, 0, 2, 0, 2, 0.9f), -1.0f);
  // Control 0, 1; treated 1, 3: 0.125 + 0.5 - 2.25.
  EXPECT_EQ(regression_score(2, 2, 1, 4, 1, 10, 0.9f), -1.625f);
  // Control 0, 0; treated 1, 1, 1, 1: imbalance penalty 0.9 * |4 - 2| = 1.8.
  EXPECT_EQ(regression_score(2, 4, 0, 4, 0, 4, 0.9f), 2.0f * 0.9f + -1.0f);
  EXPECT_TRUE(std::isnan(regression_score(0, 2, 0, 2, 0, 2, 0.9f)));
}

// Slot 0: control 0, 0 and treated 1, 1; slot 1: control 0, 0 and treated 3, 3.
std::vector<NodeRow> two_slot_rows() {
  return {{0, 0, 0.0f}, {0, 0, 0.0f}, {0, 1, 1.0f}, {0, 1, 1.0f},
          {1, 0, 0.0f}, {1, 0, 0.0f}, {1, 1, 3.0f}, {1, 1, 3.0f}};
}

TEST(RegressionBestSplit, GainIsNodeScoreMinusWeightedChildScores) {
  const DataMatrix data = one_feature_matrix(two_slot_rows(), 2, 2);
  const SplitInfo split =
      regression_best_split(RegressionCriterionParams{}, data, 3, 0, all_rows(data));
  // Node -3.75; children -1 and -9, each half the weight: -3.75 + 0.5 + 4.5. Slot 1 leaves the
  // right child empty (NaN score) and is never chosen.
  EXPECT_EQ(split.node_id, 3u);
  EXPECT_EQ(split.treatment_id, 0u);
  EXPECT_FALSE(split.iscat);
  EXPECT_EQ(split.value, (std::vector<std::uint8_t>{0}));
  EXPECT_EQ(split.gain, 1.25f);
  EXPECT_EQ(split.gain_importance, split.gain);
  EXPECT_EQ(split.summary, (GroupSummary{{0.0f}, {2.0f}}));
}

TEST(RegressionBestSplit, ChildWithoutTreatedRowsIsNeverChosen) {
  std::vector<NodeRow> rows{{0, 0, 0.0f}, {0, 0, 1.0f}, {1, 0, 0.0f}, {1, 1, 5.0f}};
  const DataMatrix data = one_feature_matrix(rows, 2, 2);
  const SplitInfo split =
      regression_best_split(RegressionCriterionParams{}, data, 0, 0, all_rows(data));
  EXPECT_FALSE(split.value.has_value());
  EXPECT_EQ(split.gain, 0.0f);
  EXPECT_EQ(split.gain_importance, 0.0f);
}

TEST(RegressionBestSplit, FurtherGroupsOnlyExtendTheSummary) {
  const DataMatrix two_groups = one_feature_matrix(two_slot_rows(), 2, 2);
  std::vector<NodeRow> rows = two_slot_rows();
  rows.push_back({1, 2, 100.0f, 3.0f});
  const DataMatrix three_groups = one_feature_matrix(rows, 2, 3);
  const SplitInfo base =
      regression_best_split(RegressionCriterionParams{}, two_groups, 0, 0, all_rows(two_groups));
  const SplitInfo extended = regression_best_split(RegressionCriterionParams{}, three_groups, 0, 0,
                                                   all_rows(three_groups));
  EXPECT_EQ(extended.value, base.value);
  EXPECT_EQ(extended.gain, base.gain);
  EXPECT_EQ(extended.summary, (GroupSummary{{0.0f}, {2.0f}, {100.0f}}));

  // A group with no rows in the node has a NaN mean.
  const DataMatrix empty_group = one_feature_matrix(two_slot_rows(), 2, 3);
  const SplitInfo split =
      regression_best_split(RegressionCriterionParams{}, empty_group, 0, 0, all_rows(empty_group));
  ASSERT_EQ(split.summary.size(), 3u);
  EXPECT_TRUE(std::isnan(split.summary[2][0]));
}

TEST(RegressionBestSplit, LowestSlotWinsTies) {
  // Categorical slots 1 and 3 hold identical large-effect rows; slots 0, 2 and 4 have no effect.
  std::vector<NodeRow> rows;
  for (std::uint8_t slot : {1, 3}) {
    rows.insert(rows.end(), {{slot, 0, 0.0f}, {slot, 0, 1.0f}, {slot, 1, 10.0f}, {slot, 1, 11.0f}});
  }
  for (std::uint8_t slot : {0, 2, 4}) {
    rows.insert(rows.end(), {{slot, 0, 0.0f}, {slot, 0, 1.0f}, {slot, 1, 0.0f}, {slot, 1, 1.0f}});
  }
  const DataMatrix data = one_feature_matrix(rows, 5, 2, true);
  const SplitInfo split =
      regression_best_split(RegressionCriterionParams{}, data, 0, 0, all_rows(data));
  EXPECT_TRUE(split.iscat);
  EXPECT_EQ(split.value, (std::vector<std::uint8_t>{1}));
  EXPECT_EQ(split.gain, 9.475f);
}

TEST(RegressionBestSplit, NeedsTreatmentGroupOne) {
  // The node's score reads group 0, then group 1, of the per-group totals.
  const DataMatrix control_only = one_feature_matrix({{0, 0, 1.0f}}, 2, 1);
  EXPECT_EQ(fault_message([&] {
              regression_best_split(RegressionCriterionParams{}, control_only, 0, 0,
                                    all_rows(control_only));
            }),
            "index out of bounds: the len is 1 but the index is 1");
  const DataMatrix no_groups = one_feature_matrix({{0, 0, 1.0f}}, 2, 0);
  EXPECT_EQ(
      fault_message([&] { regression_best_split(RegressionCriterionParams{}, no_groups, 0, 0, {}); }),
      "index out of bounds: the len is 0 but the index is 0");
  DataMatrix unknown_name = one_feature_matrix({{0, 0, 1.0f}}, 2, 2);
  unknown_name.feature_names[0] = "renamed";
  EXPECT_EQ(fault_message([&] {
              regression_best_split(RegressionCriterionParams{}, unknown_name, 0, 0, {});
            }),
            std::string(kAbsentValueMessage));
}

}  // namespace
}  // namespace quorvanta
