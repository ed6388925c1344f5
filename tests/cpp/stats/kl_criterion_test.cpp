#include "stats/kl_criterion.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "stats/histogram.hpp"
#include "stats/node_fixture.hpp"

namespace quorvanta {
namespace {

using testing::add_rows;
using testing::all_rows;
using testing::fault_message;
using testing::NodeRow;
using testing::one_feature_matrix;
using testing::six_digits;

constexpr std::uint8_t kMissing = kMissingBin;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

KlCriterionParams loose_params(std::uint64_t n_reg, bool normalization) {
  KlCriterionParams params;
  params.min_samples_leaf = 0;
  params.min_samples_treatment = 0;
  params.n_reg = n_reg;
  params.normalization = normalization;
  return params;
}

// Control: 20 rows, 10 with outcome 1; group 1 likewise. Slot 0 holds 10 control rows (5 with
// outcome 1) and 10 treated rows (9 with outcome 1); slot 1 the rest.
DataMatrix worked_example() {
  std::vector<NodeRow> rows;
  add_rows(rows, 5, {0, 0, 1.0f});
  add_rows(rows, 5, {0, 0, 0.0f});
  add_rows(rows, 9, {0, 1, 1.0f});
  add_rows(rows, 1, {0, 1, 0.0f});
  add_rows(rows, 5, {1, 0, 1.0f});
  add_rows(rows, 5, {1, 0, 0.0f});
  add_rows(rows, 1, {1, 1, 1.0f});
  add_rows(rows, 9, {1, 1, 0.0f});
  return one_feature_matrix(rows, 2, 2);
}

TEST(KlDivergence, ReferenceValues) {
  EXPECT_EQ(six_digits(kl_divergence(0.0f, 0.5f)), "0.693147");
  EXPECT_EQ(six_digits(kl_divergence(1.0f, 0.5f)), "0.693147");
  EXPECT_EQ(six_digits(kl_divergence(0.5f, 0.25f)), "0.143841");
  EXPECT_EQ(six_digits(kl_divergence(0.2f, 0.1f)), "0.0444031");
  // A control rate below epsilon contributes nothing; the test reads q before clamping.
  EXPECT_EQ(kl_divergence(0.5f, 0.0f), 0.0f);
  EXPECT_EQ(kl_divergence(0.5f, 1e-7f), 0.0f);
  // q = 1 clamps to 0.999999; a NaN q clamps to the lower bound 1e-6.
  EXPECT_EQ(kl_divergence(0.0f, 1.0f), -std::log(1.0f - 0.999999f));
  EXPECT_EQ(kl_divergence(1.0f, kNaN), -std::log(1e-6f));
}

TEST(KlDivergence, TreatmentDivergenceSumsEveryGroupAgainstControl) {
  const GroupSummary summary{{0.5f, 1}, {0.0f, 1}, {0.25f, 1}};
  EXPECT_EQ(treatment_divergence(summary), kl_divergence(0.0f, 0.5f) + kl_divergence(0.25f, 0.5f));
  EXPECT_EQ(treatment_divergence({{0.5f, 1}}), 0.0f);
  EXPECT_EQ(treatment_divergence({{0.0f, 1}, {0.9f, 1}, {0.1f, 1}}), 0.0f);
}

TEST(KlDivergence, EntropyTerms) {
  EXPECT_EQ(entropy(0.5f), -0.5f * std::log(0.5f));
  EXPECT_EQ(entropy(0.0f), 0.0f);
  EXPECT_EQ(entropy(-0.5f), 0.0f);
  // Second argument -1 within one epsilon: the first argument's own entropy.
  EXPECT_EQ(entropy_term(0.25f, -1.0f), -0.25f * std::log(0.25f));
  EXPECT_EQ(entropy_term(0.25f, -1.0f - std::numeric_limits<float>::epsilon()),
            -0.25f * std::log(0.25f));
  EXPECT_EQ(entropy_term(0.25f, -1.0f - 2 * std::numeric_limits<float>::epsilon()), 0.0f);
  EXPECT_EQ(entropy_term(0.0f, -1.0f), 0.0f);
  // Otherwise p times the logarithm of q, not a two-class entropy.
  EXPECT_EQ(entropy_term(0.25f, 0.5f), -0.25f * std::log(0.5f));
  EXPECT_EQ(entropy_term(0.25f, 0.0f), 0.0f);
}

TEST(KlBestSplit, WorkedExample) {
  const DataMatrix data = worked_example();
  const std::vector<RowId> rows = all_rows(data);
  const GroupSummary node_summary{{0.5f, 20}, {0.5f, 20}};

  const SplitInfo raw = kl_best_split(loose_params(0, false), data, 7, 0, rows);
  EXPECT_EQ(raw.node_id, 7u);
  EXPECT_EQ(raw.feature_id, 0u);
  EXPECT_EQ(raw.treatment_id, 0u);
  EXPECT_FALSE(raw.iscat);
  EXPECT_EQ(raw.value, (std::vector<std::uint8_t>{0}));
  EXPECT_EQ(six_digits(raw.gain), "0.368064");
  EXPECT_EQ(six_digits(raw.gain_importance), "14.7226");
  EXPECT_EQ(raw.summary, node_summary);

  const SplitInfo regularised = kl_best_split(loose_params(10, false), data, 7, 0, rows);
  EXPECT_EQ(regularised.value, (std::vector<std::uint8_t>{0}));
  EXPECT_EQ(six_digits(regularised.gain), "0.0822829");
  EXPECT_EQ(six_digits(regularised.gain_importance), "3.29131");

  // The normalisation factor depends on weights only, so it is the same for both n_reg.
  const GroupSummary left_summary{{0.5f, 10}, {0.9f, 10}};
  EXPECT_EQ(six_digits(kl_normalization(node_summary, left_summary, 0.9f)), "0.847331");
  const SplitInfo normalised = kl_best_split(loose_params(0, true), data, 7, 0, rows);
  EXPECT_EQ(six_digits(normalised.gain), "0.434381");
  EXPECT_EQ(normalised.gain_importance, raw.gain_importance);
  const SplitInfo both = kl_best_split(loose_params(10, true), data, 7, 0, rows);
  EXPECT_EQ(six_digits(both.gain), "0.0971083");
  EXPECT_EQ(both.gain_importance, regularised.gain_importance);
}

TEST(KlBestSplit, NoCandidateLeavesValueAbsent) {
  const auto expect_no_split = [](const KlCriterionParams& params, const DataMatrix& data) {
    const SplitInfo split = kl_best_split(params, data, 0, 0, all_rows(data));
    EXPECT_FALSE(split.value.has_value());
    EXPECT_EQ(split.gain, 0.0f);
    EXPECT_EQ(split.gain_importance, 0.0f);
    return split;
  };
  const DataMatrix example = worked_example();

  // Both children need 21 rows: never met although the divergences differ.
  KlCriterionParams strict_leaf = loose_params(0, false);
  strict_leaf.min_samples_leaf = 21;
  expect_no_split(strict_leaf, example);
  // A group with 11 rows per child is needed; every child has at most 10 of a group.
  KlCriterionParams strict_group = loose_params(0, false);
  strict_group.min_samples_treatment = 11;
  expect_no_split(strict_group, example);

  // Only a control group: every divergence is 0.
  std::vector<NodeRow> control_only;
  add_rows(control_only, 4, {0, 0, 1.0f});
  add_rows(control_only, 4, {1, 0, 0.0f});
  const SplitInfo single =
      expect_no_split(loose_params(0, false), one_feature_matrix(control_only, 2, 1));
  EXPECT_EQ(single.summary, (GroupSummary{{0.5f, 8}}));

  // No bins: no candidate at all.
  expect_no_split(loose_params(0, false), one_feature_matrix({{kMissing, 1, 1.0f}}, 0, 2));

  // All values missing: the left child is always empty.
  std::vector<NodeRow> missing;
  add_rows(missing, 5, {kMissing, 0, 1.0f});
  add_rows(missing, 5, {kMissing, 1, 0.0f});
  KlCriterionParams one_row_leaf = loose_params(0, false);
  one_row_leaf.min_samples_leaf = 1;
  expect_no_split(one_row_leaf, one_feature_matrix(missing, 3, 2));

  // A group present in the data but not in this node rejects every candidate.
  DataMatrix three_groups = worked_example();
  three_groups.n_treatment = {3};
  KlCriterionParams one_per_group = loose_params(0, false);
  one_per_group.min_samples_treatment = 1;
  EXPECT_FALSE(
      kl_best_split(one_per_group, three_groups, 0, 0, all_rows(three_groups)).value.has_value());
}

TEST(KlBestSplit, LowestSlotWinsTiesAndCategoricalLeftHoldsOneBin) {
  // Categorical slots 2 and 5 hold identical rows, so their gains are identical.
  const auto build = [](int treated_positive_in_slot_two) {
    std::vector<NodeRow> rows;
    for (std::uint8_t slot = 0; slot < 6; ++slot) {
      const int treated_positive = slot == 5 ? 9 : slot == 2 ? treated_positive_in_slot_two : 5;
      add_rows(rows, 5, {slot, 0, 1.0f});
      add_rows(rows, 5, {slot, 0, 0.0f});
      add_rows(rows, treated_positive, {slot, 1, 1.0f});
      add_rows(rows, 10 - treated_positive, {slot, 1, 0.0f});
    }
    return one_feature_matrix(rows, 6, 2, true);
  };
  const DataMatrix tied = build(9);
  const SplitInfo split = kl_best_split(loose_params(0, false), tied, 0, 0, all_rows(tied));
  EXPECT_TRUE(split.iscat);
  EXPECT_EQ(split.value, (std::vector<std::uint8_t>{2}));
  // Without the tie, slot 5 is the best: the tie above was real.
  const DataMatrix untied = build(5);
  EXPECT_EQ(kl_best_split(loose_params(0, false), untied, 0, 0, all_rows(untied)).value,
            (std::vector<std::uint8_t>{5}));
}

TEST(KlBestSplit, Failures) {
  DataMatrix data = worked_example();
  data.y[3] = 2.0f;
  EXPECT_EQ(fault_message([&] { kl_best_split(loose_params(0, false), data, 0, 0, all_rows(data)); }),
            "index out of bounds: the len is 2 but the index is 2");
  data = worked_example();
  data.n_treatment = {1};
  EXPECT_EQ(fault_message([&] { kl_best_split(loose_params(0, false), data, 0, 0, all_rows(data)); }),
            "index out of bounds: the len is 1 but the index is 1");
  EXPECT_EQ(fault_message([&] { kl_best_split(loose_params(0, false), data, 0, 1, {}); }),
            std::string(kAbsentValueMessage));
  // No treatment groups at all: the right part of the first candidate is an empty table.
  data.n_treatment = {0};
  EXPECT_EQ(fault_message([&] { kl_best_split(loose_params(0, false), data, 0, 0, {}); }),
            "assertion failed: n_col > 0");
}

TEST(KlBestSplit, CorruptBinCountIsHarmless) {
  // Slots past the real bins add only candidates with an empty right child.
  const DataMatrix example = worked_example();
  DataMatrix huge = example;
  huge.n_bins.insert_or_assign("f", 1000000000000u);
  EXPECT_EQ(kl_best_split(loose_params(0, true), huge, 0, 0, all_rows(huge)),
            kl_best_split(loose_params(0, true), example, 0, 0, all_rows(example)));
}

}  // namespace
}  // namespace quorvanta
