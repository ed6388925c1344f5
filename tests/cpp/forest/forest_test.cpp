#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>

#include "common/fault.hpp"
#include "forest/effect_sum.hpp"
#include "fault_message.hpp"
#include "forest/model.hpp"
#include "persist/model_text.hpp"

namespace quorvanta {
namespace {

const std::vector<std::string> kHeaders{"f0", "f1", "c0", "t", "y"};

// Uplift data: treatment 1 raises the outcome where f0 is large, treatment 2 where c0 is 1.
CellTable make_table(std::size_t n_rows, bool binary_outcome, unsigned seed, float outcome_shift = 0) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  CellTable table;
  for (std::size_t r = 0; r < n_rows; ++r) {
    const float f0 = unit(random);
    const float f1 = unit(random);
    const float c0 = static_cast<float>(random() % 4);
    const float t = static_cast<float>(random() % 3);
    float effect = (t == 1 && f0 > 0.5f ? 0.3f : 0.0f) + (t == 2 && c0 == 1 ? 0.2f : 0.0f);
    float y = binary_outcome ? (unit(random) < 0.3f + effect ? 1.0f : 0.0f)
                             : effect + f1 + unit(random) * 0.1f + outcome_shift;
    table.push_cell(r % 17 == 0 ? missing_cell() : f0);
    table.push_cell(f1);
    table.push_cell(c0);
    table.push_cell(t);
    table.push_cell(y);
    table.end_row();
  }
  return table;
}

TreeConfig make_config(std::uint64_t n_tree, std::uint64_t n_thread) {
  TreeConfig config;
  config.feature_cols = {"f0", "f1", "c0"};
  config.cat_cols = {"c0"};
  config.treatment_cols = {"t"};
  config.y_col = "y";
  config.n_tree = n_tree;
  config.n_thread = n_thread;
  config.max_depth = 4;
  config.min_samples_leaf = 20;
  config.seed = 7;
  return config;
}

struct Fitted {
  ForestModel model;
  DataMatrix data;
};

Fitted fit_model(ModelKind kind, std::uint64_t n_tree, std::uint64_t n_thread) {
  ForestModel model(kind, make_config(n_tree, n_thread));
  const CellTable table = make_table(600, kind == ModelKind::Classification, 11);
  model.fit(model.data_loader().load(kHeaders, table));
  DataMatrix data = model.data_loader().load(kHeaders, table);
  return {std::move(model), std::move(data)};
}

using testing::fault_message;

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return false;
  }
  return true;
}

// One tree's effects as a table of their own.
EffectSum tree_effects(const TreeLearner& tree, const DataMatrix& data) {
  TreeRouting routing;
  route_tree(tree, data, routing);
  EffectSum table;
  table.add(routing);
  return table;
}

TEST(TreeGroups, SplitsTreesOverThreads) {
  EXPECT_EQ(tree_groups(10, 4), (std::vector<std::uint64_t>{3, 3, 2, 2}));
  EXPECT_EQ(tree_groups(3, 8), (std::vector<std::uint64_t>{1, 1, 1}));
  EXPECT_TRUE(tree_groups(0, 2).empty());
  EXPECT_EQ(fault_message([] { tree_groups(0, 0); }), "attempt to divide by zero");
}

TEST(ForestFit, SeededSingleThreadFitsAreIdenticalAndFitsAccumulate) {
  for (ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
    Fitted first = fit_model(kind, 5, 1);
    Fitted second = fit_model(kind, 5, 1);
    ASSERT_EQ(first.model.trees().size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
      // Compared as text: regression summaries hold NaN for groups a leaf lacks.
      EXPECT_EQ(tree_record_to_json(first.model.trees()[i].tree),
                tree_record_to_json(second.model.trees()[i].tree))
          << "tree " << i;
    }
    EXPECT_GT(first.model.trees()[0].tree.n_nodes(), 1u) << "the data carry an effect to split on";
    first.model.fit(std::move(first.data));
    EXPECT_EQ(first.model.trees().size(), 10u);
  }
}

TEST(ForestFit, WorkerThreadsGrowEveryTreeInGroupOrder) {
  Fitted fitted = fit_model(ModelKind::Classification, 10, 4);
  EXPECT_EQ(fitted.model.trees().size(), 10u);
  Fitted none = fit_model(ModelKind::Regression, 0, 3);
  EXPECT_TRUE(none.model.trees().empty());
}

TEST(ForestFit, FailuresLeaveTheModelUnchanged) {
  ForestModel model(ModelKind::Classification, make_config(4, 0));
  const CellTable table = make_table(200, true, 3);
  EXPECT_EQ(fault_message([&] { model.fit(model.data_loader().load(kHeaders, table)); }),
            "attempt to divide by zero");
  EXPECT_TRUE(model.trees().empty());

  // An outcome of 2 is no class: the worker's failure reaches the caller wrapped.
  CellTable bad = make_table(200, true, 3, 0);
  CellTable with_two;
  for (std::size_t r = 0; r < bad.n_rows(); ++r) {
    for (std::size_t c = 0; c < 5; ++c) with_two.push_cell(c == 4 ? 2.0f : *bad.cell(r, c));
    with_two.end_row();
  }
  ForestModel threaded(ModelKind::Classification, make_config(4, 2));
  EXPECT_EQ(fault_message([&] { threaded.fit(threaded.data_loader().load(kHeaders, with_two)); }),
            "called `Result::unwrap()` on an `Err` value: index out of bounds: the len is 2 but "
            "the index is 2");
  EXPECT_TRUE(threaded.trees().empty());
  ForestModel single(ModelKind::Classification, make_config(4, 1));
  EXPECT_EQ(fault_message([&] { single.fit(single.data_loader().load(kHeaders, with_two)); }),
            "index out of bounds: the len is 2 but the index is 2");
}

// Batches of trees grown apart on one model's bins must come out as a fresh model with the same
// bins and the batch's count and seed would grow them, and leave the original alone.
TEST(UntrainedCopy, KeepsKindConfigurationAndBinsWithTheNewCountAndSeed) {
  const CellTable table = make_table(600, true, 11);
  Fitted fitted = fit_model(ModelKind::Classification, 3, 1);
  const std::string original_text = fitted.model.to_text();

  std::unique_ptr<Model> copy = fitted.model.untrained_copy(2, 99);
  const auto& forest = dynamic_cast<const ForestModel&>(*copy);
  TreeConfig expected = fitted.model.config();
  expected.n_tree = 2;
  expected.seed = 99;
  EXPECT_EQ(forest.kind(), ModelKind::Classification);
  EXPECT_EQ(forest.config(), expected);
  EXPECT_TRUE(forest.trees().empty());
  EXPECT_EQ(copy->to_text(), model_to_text(expected, fitted.model.loader(), {}));

  copy->fit(copy->data_loader().load(kHeaders, table));
  ForestModel fresh(ModelKind::Classification, expected);
  fresh.fit(fresh.data_loader().load(kHeaders, table));
  EXPECT_EQ(copy->to_text(), fresh.to_text());
  EXPECT_EQ(fitted.model.to_text(), original_text) << "the original keeps its trees";

  const std::unique_ptr<Model> unseeded = fitted.model.untrained_copy(0, std::nullopt);
  EXPECT_FALSE(dynamic_cast<const ForestModel&>(*unseeded).config().seed.has_value());
}

TEST(ForestPredict, AveragesTreeByTreeThenGroupByGroup) {
  Fitted fitted = fit_model(ModelKind::Regression, 10, 1);
  const std::vector<TreeLearner>& trees = fitted.model.trees();

  EffectSum serial;
  for (const TreeLearner& tree : trees) serial.add(tree_effects(tree, fitted.data));
  const EffectTable expected_serial = serial.mean(trees.size());
  const EffectTable got_serial = fitted.model.predict(fitted.data);
  ASSERT_EQ(got_serial.n_rows, 600u);
  ASSERT_EQ(got_serial.n_cols, 2u);
  EXPECT_TRUE(same_bits(got_serial.values, expected_serial.values));

  // Four workers: trees 0-2, 3-5, 6-7, 8-9 summed separately, then the group sums in order.
  EffectSum grouped;
  std::size_t next = 0;
  for (std::size_t size : {3, 3, 2, 2}) {
    EffectSum group;
    for (std::size_t i = 0; i < size; ++i) group.add(tree_effects(trees[next++], fitted.data));
    grouped.add(std::move(group));
  }
  const EffectTable expected_grouped = grouped.mean(trees.size());
  ForestModel threaded(ModelKind::Regression, make_config(0, 4), fitted.model.loader(), trees);
  EXPECT_TRUE(same_bits(threaded.predict(fitted.data).values, expected_grouped.values));
  // Leaves of regression trees may lack a group (a NaN effect); elsewhere the two orders differ
  // only by rounding.
  for (std::size_t i = 0; i < expected_grouped.values.size(); ++i) {
    const float grouped_value = expected_grouped.values[i];
    const float serial_value = expected_serial.values[i];
    EXPECT_EQ(std::isnan(grouped_value), std::isnan(serial_value));
    if (!std::isnan(serial_value)) {
      EXPECT_NEAR(grouped_value, serial_value, 1e-5);
    }
  }
}

TEST(ForestPredict, RowByRowWalkAgreesWithRangePartitioning) {
  for (ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
    Fitted fitted = fit_model(kind, 4, 1);
    // A column of another length, which no split reads, makes prediction partition node ranges.
    DataMatrix partitioned = fitted.data;
    partitioned.x.push_back({0});
    for (const TreeLearner& tree : fitted.model.trees()) {
      EffectSum walked;
      walked.add(tree_effects(tree, fitted.data));
      EffectSum ranged;
      ranged.add(tree_effects(tree, partitioned));
      EXPECT_TRUE(same_bits(walked.mean(1).values, ranged.mean(1).values));
    }
  }
}

TEST(ForestPredict, SingleTreeGivesItsLeafEffects) {
  Fitted fitted = fit_model(ModelKind::Classification, 1, 1);
  const EffectTable result = fitted.model.predict(fitted.data);
  const EffectSum effects = tree_effects(fitted.model.trees()[0], fitted.data);
  EXPECT_TRUE(same_bits(result.values, effects.mean(1).values));
}

TEST(ForestPredict, Failures) {
  ForestModel fresh(ModelKind::Classification, make_config(3, 1));
  const CellTable table = make_table(50, true, 5);
  EXPECT_EQ(fault_message([&] { fresh.predict(fresh.data_loader().load(kHeaders, table)); }),
            "called `Option::unwrap()` on a `None` value");
  ForestModel no_threads(ModelKind::Classification, make_config(3, 0));
  EXPECT_EQ(fault_message([&] { no_threads.predict(no_threads.data_loader().load(kHeaders, table)); }),
            "attempt to divide by zero");

  // Only the control group: effects have no column.
  CellTable control_only;
  for (int r = 0; r < 300; ++r) {
    for (float cell : {static_cast<float>(r % 10), 1.0f, 0.0f, 0.0f, static_cast<float>(r % 2)}) {
      control_only.push_cell(cell);
    }
    control_only.end_row();
  }
  ForestModel control(ModelKind::Classification, make_config(2, 1));
  control.fit(control.data_loader().load(kHeaders, control_only));
  EXPECT_EQ(fault_message([&] { control.predict(control.data_loader().load(kHeaders, control_only)); }),
            "assertion failed: n_col > 0");
}

TEST(ForestPredict, ZeroRowsGiveAnEmptyResult) {
  Fitted fitted = fit_model(ModelKind::Regression, 3, 2);
  // Without the treatment column an empty table loads (a treatment column must have rows).
  const std::vector<std::string> features{"f0", "f1", "c0"};
  const EffectTable result =
      fitted.model.predict(fitted.model.data_loader().load(features, CellTable()));
  EXPECT_EQ(result.n_rows, 0u);
  EXPECT_TRUE(result.values.empty());
}

}  // namespace
}  // namespace quorvanta
