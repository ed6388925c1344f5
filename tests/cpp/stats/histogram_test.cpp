#include "stats/histogram.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "stats/node_fixture.hpp"

namespace quorvanta {
namespace {

using testing::fault_message;
using testing::NodeRow;
using testing::one_feature_matrix;

constexpr std::uint8_t kMissing = kMissingBin;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(ClassHistogram, CountsWeightsByClassGroupAndSlot) {
  // Outcome classes truncate toward zero (0.5 -> 0, 1.7 -> 1); negative and NaN are class 0.
  const DataMatrix data = one_feature_matrix({{0, 0, 1.0f, 2.0f},
                                              {1, 1, 0.5f},
                                              {kMissing, 1, 1.7f, 0.25f},
                                              {2, 0, -3.0f},
                                              {0, 1, kNaN},
                                              {2, 1, 1.0f}},
                                             2, 2);
  // Row 0 twice (a bootstrap duplicate); a bin equal to B shares the missing slot.
  const std::vector<RowId> rows{0, 1, 2, 3, 4, 5, 0};
  const ClassHistogram histogram = build_class_histogram(data, 0, rows, 2, 2);
  const ClassHistogram expected{{{0, 0, 1}, {1, 1, 0}}, {{4, 0, 0}, {0, 0, 1.25f}}};
  EXPECT_EQ(histogram, expected);
}

TEST(ClassHistogram, NoRowsGiveZerosAndEmptySummaries) {
  const DataMatrix data = one_feature_matrix({{0, 0, 1.0f}}, 3, 2);
  const ClassHistogram histogram = build_class_histogram(data, 0, {}, 3, 2);
  ASSERT_EQ(histogram.size(), 2u);
  Matrix totals(2);
  for (std::size_t c = 0; c < 2; ++c) {
    ASSERT_EQ(histogram[c].size(), 2u);
    for (const auto& row : histogram[c]) {
      EXPECT_EQ(row, std::vector<float>(4, 0.0f));
      totals[c].push_back(row_total(row, true));
    }
  }
  EXPECT_EQ(class_group_summary(totals, nullptr, 10, 10), (GroupSummary{{0, 0}, {0, 0}}));
}

TEST(ClassHistogram, IndexFailuresFollowReadOrder) {
  // Outcome 2 is not a class; a treatment value >= G or a bin > B has no histogram row or slot.
  EXPECT_EQ(fault_message([] {
              const DataMatrix data = one_feature_matrix({{0, 0, 0.0f}, {0, 0, 2.5f}}, 2, 2);
              build_class_histogram(data, 0, std::vector<RowId>{0, 1}, 2, 2);
            }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(fault_message([] {
              const DataMatrix data = one_feature_matrix({{0, 3, 1.0f}}, 2, 3);
              build_class_histogram(data, 0, std::vector<RowId>{0}, 2, 3);
            }),
            "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(fault_message([] {
              const DataMatrix data = one_feature_matrix({{4, 0, 1.0f}}, 2, 2);
              build_class_histogram(data, 0, std::vector<RowId>{0}, 2, 2);
            }),
            "index out of bounds: the len is 3 but the index is 4");
  // A huge outcome saturates rather than wrapping into a valid class.
  EXPECT_EQ(fault_message([] {
              const DataMatrix data = one_feature_matrix({{0, 0, 1e30f}}, 2, 2);
              build_class_histogram(data, 0, std::vector<RowId>{0}, 2, 2);
            }),
            "index out of bounds: the len is 2 but the index is 18446744073709551615");

  // Short columns: the outcome is read first, then treatment, bin and weight.
  DataMatrix data = one_feature_matrix({{0, 0, 1.0f}, {0, 0, 1.0f}, {0, 0, 1.0f}}, 2, 2);
  const std::vector<RowId> rows{2, 0};
  data.y.clear();
  data.treatment[0].resize(2);
  data.x[0].resize(1);
  data.weight.clear();
  EXPECT_EQ(fault_message([&] { build_class_histogram(data, 0, rows, 2, 2); }),
            "index out of bounds: the len is 0 but the index is 2");
  data.y.assign(3, 1.0f);
  EXPECT_EQ(fault_message([&] { build_class_histogram(data, 0, rows, 2, 2); }),
            "index out of bounds: the len is 2 but the index is 2");
  data.treatment[0].assign(3, 0);
  EXPECT_EQ(fault_message([&] { build_class_histogram(data, 0, rows, 2, 2); }),
            "index out of bounds: the len is 1 but the index is 2");
  data.x[0].assign(3, 0);
  EXPECT_EQ(fault_message([&] { build_class_histogram(data, 0, rows, 2, 2); }),
            "index out of bounds: the len is 0 but the index is 2");
}

TEST(RegressionHistograms, CumulativeForNumericRawForCategorical) {
  const std::vector<NodeRow> rows{
      {0, 0, 2.0f}, {1, 0, 3.0f, 0.5f}, {kMissing, 0, 1.0f}, {1, 1, -2.0f}};
  const std::vector<RowId> ids{0, 1, 2, 3};
  const DataMatrix data = one_feature_matrix(rows, 2, 2);

  const RegressionHistograms raw = build_regression_histograms(data, 0, ids, 2, 2, true);
  EXPECT_EQ(raw.sum_w, (std::vector<std::vector<float>>{{1, 0.5f, 1}, {0, 1, 0}}));
  EXPECT_EQ(raw.sum_wy, (std::vector<std::vector<float>>{{2, 1.5f, 1}, {0, -2, 0}}));
  EXPECT_EQ(raw.sum_wy2, (std::vector<std::vector<float>>{{4, 4.5f, 1}, {0, 4, 0}}));

  const RegressionHistograms cumulative = build_regression_histograms(data, 0, ids, 2, 2, false);
  EXPECT_EQ(cumulative.sum_w, (std::vector<std::vector<float>>{{1, 1.5f, 2.5f}, {0, 1, 1}}));
  EXPECT_EQ(cumulative.sum_wy, (std::vector<std::vector<float>>{{2, 3.5f, 4.5f}, {0, -2, -2}}));
  EXPECT_EQ(cumulative.sum_wy2, (std::vector<std::vector<float>>{{4, 8.5f, 9.5f}, {0, 4, 4}}));

  const GroupSummary summary =
      regression_group_summary({row_total(raw.sum_wy[0], true), row_total(raw.sum_wy[1], true)},
                               {row_total(raw.sum_w[0], true), row_total(raw.sum_w[1], true)});
  EXPECT_EQ(summary, (GroupSummary{{4.5f / 2.5f}, {-2.0f}}));
}

TEST(RegressionHistograms, OutcomeFailureComesAfterEveryWeightCheck) {
  // Reported as if the weight sums were built over all rows before the outcome sums.
  DataMatrix data = one_feature_matrix({{0, 0, 1.0f}, {0, 0, 1.0f}, {0, 0, 1.0f}}, 1, 1);
  data.y.resize(1);
  EXPECT_EQ(fault_message([&] {
              build_regression_histograms(data, 0, std::vector<RowId>{2, 1}, 1, 1, false);
            }),
            "index out of bounds: the len is 1 but the index is 2");
  data.treatment[0][1] = 5;
  EXPECT_EQ(fault_message([&] {
              build_regression_histograms(data, 0, std::vector<RowId>{2, 1}, 1, 1, false);
            }),
            "index out of bounds: the len is 1 but the index is 5");
}

TEST(HistogramRows, CumulativeFormTotalsAndParts) {
  const std::vector<float> raw{1, 2, 3, 4};  // slot 3 = missing
  const std::vector<float> cumulative = to_cumulative(raw);
  EXPECT_EQ(cumulative, (std::vector<float>{1, 3, 6, 10}));
  EXPECT_EQ(row_total(cumulative, false), 10.0f);
  EXPECT_EQ(row_total(raw, true), 10.0f);
  EXPECT_TRUE(to_cumulative({}).empty());
}

TEST(ClassGroupSummary, RegularisesTowardParentAboveThreshold) {
  const GroupSummary parent{{0.5f, 40}, {0.5f, 40}};
  // Group 0: weight 20, class-1 weight 5; group 1: weight 10 (not above 10) keeps the parent.
  const Matrix child{{15, 7}, {5, 3}};
  const GroupSummary summary = class_group_summary(child, &parent, 10, 10);
  EXPECT_EQ(summary[0][0], 10.0f / 30.0f);
  EXPECT_EQ(summary[0][1], 20.0f);
  EXPECT_EQ(summary[1], (std::vector<float>{0.5f, 10.0f}));

  const GroupSummary unregularised = class_group_summary(child, nullptr, 10, 10);
  EXPECT_EQ(unregularised[0], (std::vector<float>{5.0f / 20.0f, 20.0f}));
  EXPECT_EQ(unregularised[1], (std::vector<float>{3.0f / 10.0f, 10.0f}));

  // A NaN weight fails the strict test and keeps the parent's probability.
  const GroupSummary with_nan = class_group_summary({{kNaN, 1}, {1, 1}}, &parent, 0, 10);
  EXPECT_EQ(with_nan[0][0], 0.5f);
  EXPECT_EQ(class_group_summary({{kNaN}, {1}}, nullptr, 0, 0)[0][0], 0.0f);
}

TEST(ClassGroupSummary, MalformedTablesFail) {
  EXPECT_EQ(fault_message([] {
              class_group_summary({{1, 2}}, nullptr, 0, 0);
            }),
            "index out of bounds: the len is 1 but the index is 1");
  const GroupSummary short_parent{{0.5f, 1}};
  EXPECT_EQ(fault_message([&] {
              class_group_summary({{1, 2}, {1, 2}}, &short_parent, 0, 0);
            }),
            "index out of bounds: the len is 1 but the index is 1");
}

TEST(FeatureShape, ReadsFlagBinCountAndGroupCount) {
  DataMatrix data = one_feature_matrix({{0, 0, 1.0f}}, 7, 3, true);
  const FeatureShape shape = feature_shape(data, 0);
  EXPECT_TRUE(shape.is_cat);
  EXPECT_EQ(shape.n_bins, 7u);
  EXPECT_EQ(shape.n_groups, 3u);

  const std::string absent(kAbsentValueMessage);
  EXPECT_EQ(fault_message([&] { feature_shape(data, 1); }), absent);
  EXPECT_EQ(fault_message([&] { build_class_histogram(data, 1, {}, 7, 3); }), absent);
  DataMatrix no_treatment = data;
  no_treatment.treatment.clear();
  no_treatment.n_treatment.clear();
  EXPECT_EQ(fault_message([&] { feature_shape(no_treatment, 0); }), absent);
  EXPECT_EQ(fault_message([&] { build_regression_histograms(no_treatment, 0, {}, 7, 3, true); }),
            absent);
  data.feature_names[0] = "g";
  EXPECT_EQ(fault_message([&] { feature_shape(data, 0); }), absent);
}

TEST(FeatureShape, CorruptBinCountIsBounded) {
  // No row can reach a slot at or past 255, so a bin count beyond 256 sizes nothing.
  const DataMatrix data = one_feature_matrix({{254, 0, 1.0f}, {kMissing, 0, 0.0f}},
                                             std::numeric_limits<std::uint64_t>::max(), 1);
  EXPECT_EQ(feature_shape(data, 0).n_bins, kMaxHistogramBins);
  const ClassHistogram histogram = build_class_histogram(
      data, 0, std::vector<RowId>{0, 1}, std::numeric_limits<std::size_t>::max(), 1);
  ASSERT_EQ(histogram[0][0].size(), kMaxHistogramBins + 1);
  EXPECT_EQ(histogram[1][0][254], 1.0f);
  EXPECT_EQ(histogram[0][0][kMaxHistogramBins], 1.0f);
}

}  // namespace
}  // namespace quorvanta
