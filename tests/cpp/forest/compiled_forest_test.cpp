// Prediction on raw values against prediction on the binned table: the same bits, the same
// failures, the same records kept, and the fast path actually taken.
#include <gtest/gtest.h>

#include <cstring>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "forest/compiled_forest.hpp"
#include "forest/model.hpp"
#include "forest/value_keys.hpp"

namespace quorvanta {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const std::vector<std::string> kHeaders{"f0", "f1", "f2", "c0", "c1", "t", "y"};

TreeConfig make_config(std::uint64_t n_tree, std::uint64_t n_thread, bool regression = false) {
  TreeConfig config;
  config.feature_cols = {"f0", "f1", "f2", "c0", "c1"};
  config.cat_cols = {"c0", "c1"};
  config.treatment_cols = {"t"};
  config.y_col = "y";
  config.n_tree = n_tree;
  config.n_thread = n_thread;
  config.max_depth = regression ? 5 : 6;
  config.min_samples_leaf = 10;
  config.min_samples_treatment = 2;
  config.max_features = 5;
  config.n_bin = 12;
  config.seed = 3;
  return config;
}

// Training rows: three treatment groups whose effects depend on f0, f1 and the category c0.
CellTable training_table(std::size_t n_rows, bool binary_outcome, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  CellTable table;
  for (std::size_t r = 0; r < n_rows; ++r) {
    const float f0 = unit(random), f1 = unit(random) * 10 - 5, f2 = std::floor(unit(random) * 6);
    const float c0 = static_cast<float>(random() % 5), c1 = static_cast<float>(random() % 40);
    const float t = static_cast<float>(random() % 3);
    const float effect = (t == 1 && f0 > 0.4f ? 0.3f : 0.0f) + (t == 2 && c0 == 2 ? 0.25f : 0.0f) +
                         (t == 2 && f1 < 0 ? 0.1f : 0.0f);
    const float y = binary_outcome ? (unit(random) < 0.3f + effect ? 1.0f : 0.0f)
                                   : effect + f2 * 0.1f + unit(random) * 0.1f;
    for (float cell :
         {r % 13 == 0 ? missing_cell() : f0, f1, f2, r % 11 == 0 ? missing_cell() : c0, c1, t, y}) {
      table.push_cell(cell);
    }
    table.end_row();
  }
  return table;
}

// Values chosen to sit on and around every cut: thresholds, their neighbours, infinities, NaN,
// signed zeros, missing cells, unseen categories.
float tricky_value(std::mt19937& random, const std::vector<float>& cuts) {
  std::uniform_real_distribution<float> unit(-6.0f, 6.0f);
  const float cut = cuts.empty() ? 0.0f : cuts[random() % cuts.size()];
  switch (random() % 12) {
    case 0:
      return missing_cell();
    case 1:
      return std::numeric_limits<float>::quiet_NaN();
    case 2:
      return random() % 2 == 0 ? kInf : -kInf;
    case 3:
      return random() % 2 == 0 ? 0.0f : -0.0f;
    case 4:
    case 5:
      return cut;
    case 6:
      return std::nextafter(cut, -kInf);
    case 7:
      return std::nextafter(cut, kInf);
    case 8:
      return std::floor(unit(random));
    default:
      return unit(random);
  }
}

float present_or_missing(float value) {
  return is_missing_cell(value) ? value : present_cell(value);
}

// Prediction rows for a model: every feature drawn around its own record's cut values.
CellTable prediction_table(const ForestModel& model, std::size_t n_rows, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::vector<float>> cuts;
  for (const std::string& name : model.config().feature_cols) {
    if (const ContinuousBin* bin = model.loader().continuous_bins().find(name)) {
      cuts.push_back(bin->threshold);
    } else if (const DiscreteBin* bin = model.loader().discrete_bins().find(name)) {
      cuts.push_back(bin->mapping);
    } else {
      cuts.emplace_back();
    }
  }
  CellTable table;
  for (std::size_t r = 0; r < n_rows; ++r) {
    for (const std::vector<float>& feature_cuts : cuts) {
      table.push_cell(present_or_missing(tricky_value(random, feature_cuts)));
    }
    table.push_cell(static_cast<float>(random() % 3));
    table.push_cell(static_cast<float>(random() % 2));
    table.end_row();
  }
  return table;
}

ForestModel fitted_model(ModelKind kind, std::uint64_t n_tree, std::uint64_t n_thread) {
  ForestModel model(kind, make_config(n_tree, n_thread, kind == ModelKind::Regression));
  const CellTable table = training_table(3000, kind == ModelKind::Classification, 17);
  model.fit(model.data_loader().load(kHeaders, table));
  return model;
}

// Effects, or the failure's message.
struct Outcome {
  EffectTable effects;
  std::string failure;
};

template <class Predict>
Outcome outcome_of(Predict predict) {
  Outcome outcome;
  try {
    outcome.effects = predict();
  } catch (const Fault& fault) {
    outcome.failure = fault.what();
  }
  return outcome;
}

::testing::AssertionResult same_bits(const EffectTable& a, const EffectTable& b) {
  if (a.n_rows != b.n_rows || a.values.size() != b.values.size()) {
    return ::testing::AssertionFailure()
           << "shapes differ: " << a.n_rows << " rows, " << a.values.size() << " values against "
           << b.n_rows << " rows, " << b.values.size() << " values";
  }
  for (std::size_t i = 0; i < a.values.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(a.values[i]) != std::bit_cast<std::uint32_t>(b.values[i])) {
      return ::testing::AssertionFailure()
             << "value " << i << ": " << a.values[i] << " against " << b.values[i];
    }
  }
  return ::testing::AssertionSuccess();
}

// Predicts `rows` both ways on copies of `model` and expects the same effects or failure, and the
// same records kept afterwards. Returns the raw-value model's paths.
PredictionPaths expect_same_prediction(const ForestModel& model, const CellTable& rows,
                                       const std::vector<std::string>& headers = kHeaders) {
  ForestModel binned = model;
  ForestModel raw = model;
  const Outcome want = outcome_of(
      [&] { return binned.predict(binned.data_loader().load(headers, rows, binned.n_thread())); });
  const Outcome got = outcome_of([&] { return raw.predict_rows(headers, rows); });
  EXPECT_EQ(got.failure, want.failure);
  EXPECT_TRUE(same_bits(got.effects, want.effects));
  // As text: hand-made records may hold NaN, which equals nothing.
  EXPECT_EQ(raw.to_text(), binned.to_text()) << "the records kept differ";
  return raw.last_paths();
}

// The model with its records replaced, as a hand-edited model file could hold them.
ForestModel with_records(const ForestModel& model, const std::string& feature,
                         const std::optional<ContinuousBin>& continuous,
                         const std::optional<DiscreteBin>& discrete) {
  OrderedMap<ContinuousBin> continuous_bins = model.loader().continuous_bins();
  OrderedMap<DiscreteBin> discrete_bins = model.loader().discrete_bins();
  if (continuous) {
    ContinuousBin read = *continuous;
    read.choose_binning();  // as reading a model file does
    continuous_bins.insert_or_assign(feature, read);
  }
  if (discrete) discrete_bins.insert_or_assign(feature, *discrete);
  const TreeConfig& config = model.config();
  DataLoader loader(config.feature_cols, config.y_col, config.treatment_cols, config.weight_col,
                    config.cat_cols, config.n_bin, continuous_bins, discrete_bins);
  return ForestModel(model.kind(), config, std::move(loader), model.trees());
}

// Every split of every tree on `feature` gets `split_bin`.
ForestModel with_split_bins(const ForestModel& model, std::uint64_t feature,
                            std::uint8_t split_bin) {
  std::vector<TreeLearner> trees = model.trees();
  for (TreeLearner& learner : trees) {
    for (std::optional<SplitInfo>& split : learner.tree.split) {
      if (split && split->value && split->feature_id == feature) split->value = {split_bin};
    }
  }
  return ForestModel(model.kind(), model.config(), model.loader(), std::move(trees));
}

TEST(ValuePredict, TrainedForestsRouteEveryTreeOnValuesToTheSameBits) {
  for (ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
    for (std::uint64_t n_thread : {1, 2, 3, 4}) {
      SCOPED_TRACE(testing::Message()
                   << "kind " << static_cast<int>(kind) << ", threads " << n_thread);
      const ForestModel model = fitted_model(kind, 7, n_thread);
      // Several chunks and a partial one, so that worker threads share the rows.
      const CellTable rows = prediction_table(model, 9 * 256 + 77, 5 + n_thread);
      const PredictionPaths paths = expect_same_prediction(model, rows);
      // The fast path must not switch off unnoticed: every tree on values, nothing binned.
      EXPECT_EQ(paths.trees_on_values, 7u);
      EXPECT_EQ(paths.trees_on_binned_table, 0u);
      EXPECT_EQ(paths.columns_on_bins, 0u);
      EXPECT_GT(paths.columns_on_values, 0u);
    }
  }
}

TEST(ValuePredict, SumsFollowTheTreeGroupsOfTheThreadCount) {
  // 7 trees on 3 threads sum as (t0+t1+t2) + (t3+t4) + (t5+t6); one thread sums them in a row.
  // Both must match their own binned prediction, and the two may differ in the last bits.
  const ForestModel one = fitted_model(ModelKind::Regression, 7, 1);
  ForestModel three(one.kind(), make_config(7, 3, true), one.loader(), one.trees());
  const CellTable rows = prediction_table(one, 2000, 9);
  expect_same_prediction(one, rows);
  expect_same_prediction(three, rows);
}

TEST(ValuePredict, RowsReportedReadyAreFinalAndComeInOrder) {
  const ForestModel fitted = fitted_model(ModelKind::Classification, 7, 3);
  // Many runs of chunks, so that the caller hears of some while the workers route the rest.
  const CellTable rows = prediction_table(fitted, 40 * 4096 + 300, 11);
  ForestModel model = fitted;
  std::vector<std::size_t> reported;
  std::vector<std::vector<float>> seen;  // the values of each report's new rows, as reported
  const EffectTable effects =
      model.predict_rows(kHeaders, rows, [&](const EffectTable& so_far, std::size_t ready) {
        const std::size_t from = reported.empty() ? 0 : reported.back();
        ASSERT_GT(ready, from);
        ASSERT_LE(ready, so_far.n_rows);
        seen.emplace_back(so_far.values.begin() + from * so_far.n_cols,
                          so_far.values.begin() + ready * so_far.n_cols);
        reported.push_back(ready);
      });
  // The caller builds the finished rows' lists while the workers route the rest.
  EXPECT_TRUE(model.last_paths().rows_ready_while_routing);
  ForestModel plain = fitted;
  EXPECT_TRUE(same_bits(effects, plain.predict_rows(kHeaders, rows)));
  EXPECT_FALSE(plain.last_paths().rows_ready_while_routing) << "nobody asked for finished rows";
  std::size_t from = 0;
  for (std::size_t i = 0; i < reported.size(); ++i) {
    const std::vector<float> final_values(effects.values.begin() + from * effects.n_cols,
                                          effects.values.begin() + reported[i] * effects.n_cols);
    EXPECT_EQ(std::memcmp(seen[i].data(), final_values.data(), 4 * final_values.size()), 0)
        << "rows " << from << " to " << reported[i] << " changed after they were reported";
    from = reported[i];
  }

  // A failure while taking up rows ends the prediction with it; the model predicts as before.
  // The workers are stopped as an interrupt stops them, within the call's scope.
  bool told = false;
  try {
    const InterruptionScope scope({});
    model.predict_rows(kHeaders, rows, [&](const EffectTable&, std::size_t) {
      told = true;
      fail("taking up rows failed");
    });
    EXPECT_FALSE(told) << "the failure was lost";
  } catch (const Fault& fault) {
    EXPECT_TRUE(told);
    EXPECT_STREQ(fault.what(), "taking up rows failed");
  }
  EXPECT_TRUE(same_bits(model.predict_rows(kHeaders, rows), effects));
}

TEST(ValuePredict, HandMadeRecordsRouteAsTheirBinsDo) {
  const ForestModel model = fitted_model(ModelKind::Classification, 5, 2);
  const ContinuousBin trained = *model.loader().continuous_bins().find("f1");
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    ContinuousBin bin;
    bool on_bins;
  };
  ContinuousBin unsorted = trained;
  std::swap(unsorted.threshold[1], unsorted.threshold[3]);
  ContinuousBin with_nan = trained;
  with_nan.threshold[2] = nan;
  ContinuousBin with_minus_inf = trained;
  with_minus_inf.threshold.front() = -kInf;
  ContinuousBin repeated = trained;
  repeated.threshold[2] = repeated.threshold[1];
  ContinuousBin with_inf = trained;
  with_inf.threshold.back() = kInf;
  ContinuousBin short_list;
  short_list.threshold = {-1.0f};
  ContinuousBin too_long;
  for (int k = 0; k < 300; ++k) too_long.threshold.push_back(static_cast<float>(k) / 30 - 5);
  for (const Case& c : {Case{"unsorted", unsorted, true}, Case{"NaN", with_nan, true},
                        Case{"-inf", with_minus_inf, true}, Case{"repeated", repeated, false},
                        Case{"+inf", with_inf, false}, Case{"short", short_list, false},
                        Case{"300 thresholds", too_long, true}}) {
    SCOPED_TRACE(c.name);
    const ForestModel edited = with_records(model, "f1", c.bin, std::nullopt);
    const CellTable rows = prediction_table(edited, 3000, 21);
    const PredictionPaths paths = expect_same_prediction(edited, rows);
    EXPECT_EQ(paths.trees_on_values, 5u);
    EXPECT_EQ(paths.columns_on_bins, c.on_bins ? 1u : 0u);
  }
}

TEST(ValuePredict, HandMadeCategoriesAndSplitBinsRouteAsTheirBinsDo) {
  const ForestModel model = fitted_model(ModelKind::Classification, 5, 1);
  const std::uint64_t c0 = 3;
  DiscreteBin repeats = *model.loader().discrete_bins().find("c0");
  repeats.mapping = {2.0f, -0.0f, 2.0f, std::numeric_limits<float>::quiet_NaN(), 0.0f, 4.0f};
  DiscreteBin full;
  for (int k = 0; k < 254; ++k) full.mapping.push_back(static_cast<float>(k % 5 == 2 ? k : k + 7));
  full.mapping[0] = 2.0f;
  const ForestModel edited = with_records(model, "c0", std::nullopt, repeats);
  const ForestModel with_full = with_records(model, "c0", std::nullopt, full);
  // Bin 0..5 of the edited mapping, the unseen categories' bin (6 and 254), bins past it and the
  // never-a-bin 255; numeric split bins past the last threshold.
  for (std::uint8_t split_bin : {0, 1, 2, 3, 4, 5, 6, 7, 200, 254, 255}) {
    SCOPED_TRACE(testing::Message() << "categorical split bin " << int(split_bin));
    expect_same_prediction(with_split_bins(edited, c0, split_bin),
                           prediction_table(edited, 1500, split_bin));
    expect_same_prediction(with_split_bins(with_full, c0, split_bin),
                           prediction_table(with_full, 1500, split_bin));
    expect_same_prediction(with_split_bins(model, 0, split_bin),
                           prediction_table(model, 1500, split_bin));
  }
  // Only the unseen categories' bin needs the categories looked up.
  EXPECT_EQ(expect_same_prediction(with_split_bins(edited, c0, 6), prediction_table(edited, 600, 1))
                .columns_on_bins,
            1u);
  EXPECT_EQ(expect_same_prediction(with_split_bins(edited, c0, 4), prediction_table(edited, 600, 1))
                .columns_on_bins,
            0u);
}

TEST(ValuePredict, SplitKindsThatDisagreeWithTheFeatureRouteOnBins) {
  const ForestModel model = fitted_model(ModelKind::Regression, 4, 1);
  std::vector<TreeLearner> trees = model.trees();
  for (TreeLearner& learner : trees) {
    for (std::optional<SplitInfo>& split : learner.tree.split) {
      if (split && split->value) split->iscat = !split->iscat;
    }
  }
  const ForestModel flipped(model.kind(), model.config(), model.loader(), std::move(trees));
  const PredictionPaths paths = expect_same_prediction(flipped, prediction_table(model, 2000, 4));
  EXPECT_EQ(paths.columns_on_values, 0u);
}

TEST(ValuePredict, ChildrenInAnyOrderAndDeepTreesRouteAlike) {
  const ForestModel model = fitted_model(ModelKind::Classification, 3, 1);
  const CellTable rows = prediction_table(model, 1000, 12);
  DataLoader loader = model.loader();
  const RawFeatures features = loader.locate_features(kHeaders, rows);
  ASSERT_TRUE(CompiledForest::on_values(model.trees(), features)->trees()[0].adjacent_children)
      << "grown trees number each right child right after its sibling";

  // Swapped children: no right child follows its sibling, so the walk loads the child it takes.
  std::vector<TreeLearner> swapped = model.trees();
  // A leaf lacks both children, so swapping the two lists keeps the shape sound.
  for (TreeLearner& learner : swapped) {
    std::swap(learner.tree.left_children, learner.tree.right_children);
  }
  const ForestModel mirrored(model.kind(), model.config(), model.loader(), swapped);
  EXPECT_FALSE(CompiledForest::on_values(mirrored.trees(), features)->trees()[0].adjacent_children);
  EXPECT_EQ(expect_same_prediction(mirrored, rows).trees_on_values, 3u);

  // A chain 40 levels deep: each level sends f1 below its own cut left to a leaf.
  std::vector<TreeLearner> chain(1, model.trees()[0]);
  TreeRecord& tree = chain[0].tree;
  const SplitInfo leaf = *tree.split.back();
  tree = TreeRecord::with_root();
  std::uint64_t node = 0;
  for (std::uint8_t level = 0; level < 40; ++level) {
    SplitInfo split = leaf;
    split.node_id = node;
    split.feature_id = 1;
    split.iscat = false;
    split.value = std::vector<std::uint8_t>{static_cast<std::uint8_t>(level % 10)};
    tree.split[node] = split;
    const std::uint64_t left = tree.add_left_child(node);
    const std::uint64_t right = tree.add_right_child(node);
    tree.split[left] = leaf;
    tree.split[left]->summary[1][0] = static_cast<float>(level) / 64;
    tree.split[right] = leaf;
    node = right;
  }
  const ForestModel deep(model.kind(), model.config(), model.loader(), chain);
  EXPECT_GT(CompiledForest::on_values(deep.trees(), features)->trees()[0].depth,
            CompiledForest::kMaxBranchFreeDepth);
  EXPECT_EQ(expect_same_prediction(deep, rows).trees_on_values, 1u);
}

TEST(ValuePredict, DamagedTreesRouteTheWholeBinnedTable) {
  const ForestModel model = fitted_model(ModelKind::Classification, 3, 2);
  std::vector<TreeLearner> trees = model.trees();
  trees[1].tree.split[0]->feature_id = 99;  // no such feature: the index failure of partitioning
  const ForestModel damaged(model.kind(), model.config(), model.loader(), std::move(trees));
  const PredictionPaths paths = expect_same_prediction(damaged, prediction_table(model, 500, 2));
  EXPECT_EQ(paths.trees_on_values, 0u);
  EXPECT_EQ(paths.trees_on_binned_table, 3u);

  std::vector<TreeLearner> leaf_without_split = model.trees();
  const std::uint64_t leaf = leaf_without_split[0].tree.n_nodes() - 1;
  leaf_without_split[0].tree.split[leaf].reset();
  expect_same_prediction(
      ForestModel(model.kind(), model.config(), model.loader(), std::move(leaf_without_split)),
      prediction_table(model, 500, 2));
}

TEST(ValuePredict, FailuresComeInTheOrderLoadingAndSummingGiveThem) {
  const ForestModel fitted = fitted_model(ModelKind::Classification, 3, 1);
  const CellTable rows = prediction_table(fitted, 300, 8);
  for (std::uint64_t n_thread : {0, 1, 2}) {
    SCOPED_TRACE(testing::Message() << "threads " << n_thread);
    const ForestModel model(fitted.kind(), make_config(3, n_thread), fitted.loader(),
                            fitted.trees());
    // A missing column, a row too short for the outcome, an absent treatment cell.
    expect_same_prediction(model, rows, {"f0", "f1", "c0", "c1", "t", "y"});
    CellTable short_row = rows;
    short_row.push_cell(1.0f);
    short_row.end_row();
    expect_same_prediction(model, short_row);
    CellTable absent_treatment;
    for (float cell : {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, missing_cell(), 1.0f}) {
      absent_treatment.push_cell(cell);
    }
    absent_treatment.end_row();
    expect_same_prediction(model, absent_treatment);
    // A treatment column without rows; zero rows without treatment column.
    expect_same_prediction(model, CellTable());
    expect_same_prediction(model, CellTable(), {"f0", "f1", "f2", "c0", "c1"});
    // Leaves whose summaries give no effect column; a leaf whose summary lacks a row's estimate.
    std::vector<TreeLearner> narrow = fitted.trees();
    for (std::optional<SplitInfo>& split : narrow[1].tree.split) split->summary.resize(1);
    expect_same_prediction(ForestModel(model.kind(), model.config(), model.loader(), narrow), rows);
    std::vector<TreeLearner> empty_row = fitted.trees();
    empty_row[2].tree.split.back()->summary[1].clear();
    expect_same_prediction(ForestModel(model.kind(), model.config(), model.loader(), empty_row),
                           rows);
  }
  // Records met for the first time: NaN among a numeric feature's values fails their building
  // after the records before it are kept; clean values build them all and fail for want of trees.
  const ForestModel fresh(ModelKind::Classification, make_config(3, 2));
  expect_same_prediction(fresh, rows);
  expect_same_prediction(fresh, training_table(400, true, 2));
}

TEST(ValuePredict, WithoutFeaturesTheRowCountFails) {
  const ForestModel fitted = fitted_model(ModelKind::Classification, 2, 1);
  for (std::uint64_t n_thread : {1, 2}) {
    TreeConfig config = make_config(2, n_thread);
    config.feature_cols.clear();
    std::vector<TreeLearner> roots(2, TreeLearner::create(fitted.kind(), config));
    for (TreeLearner& root : roots) root.tree.split[0] = fitted.trees()[0].tree.split[0];
    const ForestModel stumps(fitted.kind(), config, fitted.loader(), roots);
    expect_same_prediction(stumps, prediction_table(fitted, 10, 1));
    expect_same_prediction(ForestModel(fitted.kind(), config, fitted.loader(), fitted.trees()),
                           prediction_table(fitted, 10, 1));
  }
}

}  // namespace
}  // namespace quorvanta

namespace quorvanta {
namespace {

PredictionPaths paths_of_call(ForestModel& model, const CellTable& rows, EffectTable* effects,
                              const std::vector<std::string>& headers = kHeaders) {
  *effects = model.predict_rows(headers, rows);
  return model.last_paths();
}

TEST(CompiledForest, CompiledOnceAndReusedUntilTheTreesChange) {
  ForestModel model = fitted_model(ModelKind::Classification, 4, 2);
  const CellTable rows = prediction_table(model, 700, 3);
  EffectTable first, again, copied, none;
  PredictionPaths paths = paths_of_call(model, rows, &first);
  EXPECT_TRUE(paths.forest_compiled);
  EXPECT_FALSE(paths.forest_reused);
  EXPECT_FALSE(paths.sum_plan_reused);

  paths = paths_of_call(model, rows, &again);
  EXPECT_FALSE(paths.forest_compiled) << "the second call compiled the trees again";
  EXPECT_TRUE(paths.forest_reused);
  EXPECT_TRUE(paths.sum_plan_reused);
  EXPECT_TRUE(same_bits(again, first));

  // A copy holds the same trees and may share what was compiled for them.
  ForestModel copy = model;
  paths = paths_of_call(copy, rows, &copied);
  EXPECT_TRUE(paths.forest_reused);
  EXPECT_TRUE(same_bits(copied, first));

  // Without rows the sums have another width: planned afresh, the kept plan untouched.
  paths = paths_of_call(model, CellTable(), &none, {"f0", "f1", "f2", "c0", "c1"});
  EXPECT_TRUE(paths.forest_reused);
  EXPECT_FALSE(paths.sum_plan_reused);
  EXPECT_EQ(none.n_rows, 0u);
  EXPECT_TRUE(paths_of_call(model, rows, &again).sum_plan_reused);

  // A fit adds trees: the next call compiles them all and predicts as the binned route does.
  model.fit(model.data_loader().load(kHeaders, training_table(900, true, 4)));
  ASSERT_EQ(model.trees().size(), 8u);
  const PredictionPaths refit = expect_same_prediction(model, rows);
  EXPECT_TRUE(refit.forest_compiled);
  EXPECT_EQ(refit.trees_on_values, 8u);
  paths = paths_of_call(model, rows, &again);
  EXPECT_TRUE(paths.forest_compiled) << "trees compiled before the fit were used after it";
  EXPECT_FALSE(same_bits(again, first));
  EXPECT_TRUE(paths_of_call(model, rows, &again).forest_reused);
}

TEST(CompiledForest, FailuresComeAgainAtEveryCall) {
  const ForestModel fitted = fitted_model(ModelKind::Classification, 3, 1);
  const CellTable rows = prediction_table(fitted, 300, 8);
  std::vector<TreeLearner> narrow = fitted.trees();
  for (std::optional<SplitInfo>& split : narrow[1].tree.split) split->summary.resize(1);
  std::vector<TreeLearner> damaged = fitted.trees();
  damaged[1].tree.split[0]->feature_id = 99;
  for (std::uint64_t n_thread : {0, 1, 2}) {
    SCOPED_TRACE(testing::Message() << "threads " << n_thread);
    const TreeConfig config = make_config(3, n_thread);
    for (const std::vector<TreeLearner>* trees : {&narrow, &damaged}) {
      ForestModel model(fitted.kind(), config, fitted.loader(), *trees);
      const Outcome first = outcome_of([&] { return model.predict_rows(kHeaders, rows); });
      ASSERT_FALSE(first.failure.empty());
      const Outcome second = outcome_of([&] { return model.predict_rows(kHeaders, rows); });
      EXPECT_EQ(second.failure, first.failure);
      // A good table after a failed one still fails the same way; the trees are what fails.
      EXPECT_EQ(outcome_of([&] { return model.predict_rows(kHeaders, rows); }).failure,
                first.failure);
    }
    // The damaged forest keeps its verdict: every call routes the whole binned table.
    ForestModel model(fitted.kind(), config, fitted.loader(), damaged);
    outcome_of([&] { return model.predict_rows(kHeaders, rows); });
    outcome_of([&] { return model.predict_rows(kHeaders, rows); });
    EXPECT_TRUE(model.last_paths().forest_reused);
    EXPECT_EQ(model.last_paths().trees_on_binned_table, 3u);
    EXPECT_EQ(model.last_paths().trees_by_partition, 3u);
  }
}

TEST(CompiledForest, BinnedTablesTakeTheCompiledRouteAndMatchPartitioning) {
  ForestModel model = fitted_model(ModelKind::Regression, 5, 1);
  const CellTable rows = prediction_table(model, 1200, 6);
  const DataMatrix data = model.data_loader().load(kHeaders, rows);
  const EffectTable compiled = model.predict(data);
  EXPECT_EQ(model.last_paths().trees_on_binned_table, 5u);
  EXPECT_EQ(model.last_paths().trees_by_partition, 0u) << "the compiled route was not taken";
  // A column of another length, which no split reads, sends the table to partitioning.
  DataMatrix uneven = data;
  uneven.x.push_back({0});
  const EffectTable partitioned = model.predict(uneven);
  EXPECT_EQ(model.last_paths().trees_by_partition, 5u);
  EXPECT_TRUE(same_bits(compiled, partitioned));
}

}  // namespace
}  // namespace quorvanta

namespace quorvanta {
namespace {

// A row's leaf found node by node, the way the tree's records read: the reference every walk
// must agree with.
std::uint32_t leaf_node_by_node(const CompiledTree& tree, const std::uint32_t* row_keys) {
  std::uint32_t node = 0;
  while (tree.nodes[node].left != node) {
    const CompiledNode& at = tree.nodes[node];
    node = row_keys[at.key_offset] - at.low > at.span ? tree.right[node] : at.left;
  }
  return node;
}

// A tree of random shape up to `max_depth` whose splits test random features with random split
// bins, now and then of the kind the feature does not have (so that the feature routes on bins).
// `spine` forces the rightmost path down to max_depth.
TreeLearner random_tree(const TreeLearner& trained, std::size_t max_depth, bool spine,
                        std::mt19937& random) {
  TreeLearner learner = trained;
  TreeRecord& tree = learner.tree;
  const SplitInfo leaf = *tree.split.back();
  tree = TreeRecord::with_root();
  tree.split[0] = leaf;
  struct Pending {
    std::uint64_t node;
    std::size_t depth;
    bool on_spine;
  };
  std::vector<Pending> pending{{0, 0, spine}};
  while (!pending.empty()) {
    const Pending at = pending.back();
    pending.pop_back();
    if (at.depth == max_depth || (!at.on_spine && random() % 3 == 0)) continue;
    SplitInfo split = leaf;
    split.node_id = at.node;
    split.feature_id = random() % 5;
    split.iscat = (split.feature_id >= 3) != (random() % 9 == 0);
    const std::uint8_t bins[] = {0, 1, 2, 3, 4, 5, 7, 11, 200, 254, 255};
    split.value = std::vector<std::uint8_t>{bins[random() % std::size(bins)]};
    tree.split[at.node] = split;
    const std::uint64_t left = tree.add_left_child(at.node);
    const std::uint64_t right = tree.add_right_child(at.node);
    for (const std::uint64_t child : {left, right}) {
      tree.split[child] = leaf;
      tree.split[child]->summary[1][0] = static_cast<float>(child) / 128;
    }
    pending.push_back({left, at.depth + 1, false});
    pending.push_back({right, at.depth + 1, at.on_spine});
  }
  return learner;
}

std::vector<LevelWalk> walks_this_processor_runs() {
  std::vector<LevelWalk> walks{LevelWalk::kPortable};
  if (__builtin_cpu_supports("avx2")) walks.push_back(LevelWalk::kAvx2);
  if (__builtin_cpu_supports("avx512f")) walks.push_back(LevelWalk::kAvx512);
  return walks;
}

TEST(LevelWalk, EveryWalkFindsTheLeavesNodeByNode) {
  const ForestModel trained = fitted_model(ModelKind::Classification, 1, 1);
  // f1's thresholds out of order: that feature routes on bins, so every column form occurs.
  ContinuousBin unsorted = *trained.loader().continuous_bins().find("f1");
  std::swap(unsorted.threshold[1], unsorted.threshold[3]);
  const ForestModel model = with_records(trained, "f1", unsorted, std::nullopt);
  std::mt19937 random(29);
  std::vector<TreeLearner> trees;
  // Depth 0 and 1, shallow ones read by permutation only, the deepest that walks by level, and
  // one beyond it; bushy ones and lopsided ones with a spine to the bottom.
  for (const std::size_t depth : {0, 1, 2, 4, 5, 6, 7, 9, 10, 11}) {
    for (const bool spine : {true, false})
      trees.push_back(random_tree(trained.trees()[0], depth, spine, random));
  }
  std::vector<TreeLearner> mirrored = trees;  // no right child follows its sibling
  for (TreeLearner& learner : mirrored) {
    std::swap(learner.tree.left_children, learner.tree.right_children);
  }
  trees.insert(trees.end(), mirrored.begin(), mirrored.end());

  // Several chunks, the last one partial, so that every walk also meets a ragged end.
  const CellTable rows = prediction_table(model, 3 * 256 + 45, 31);
  DataLoader loader = model.loader();
  const RawFeatures features = loader.locate_features(kHeaders, rows);
  const std::optional<CompiledForest> forest = CompiledForest::on_values(trees, features);
  ASSERT_TRUE(forest);
  std::set<ColumnForm> forms;
  for (const RoutingColumn& column : forest->columns()) forms.insert(column.form);
  EXPECT_EQ(forms.size(), 3u) << "some column form is not exercised";
  // Every tree within the depth limit walks by level; the one spine below it does not.
  std::size_t shallow = 0;
  for (const CompiledTree& tree : forest->trees()) {
    shallow += tree.depth <= LevelLayout::kMaxDepth;
    EXPECT_EQ(tree.levels.has_value(), tree.depth <= LevelLayout::kMaxDepth);
  }
  EXPECT_EQ(forest->trees()[18].depth, 11u);
  EXPECT_EQ(forest->trees_walked_by_level(), shallow);
  EXPECT_GE(shallow, trees.size() - 4);

  const std::size_t n_columns = forest->columns().size();
  std::vector<std::uint32_t> keys(n_columns * CompiledForest::kChunkRows);
  std::vector<float> cells(CompiledForest::kChunkRows);
  std::vector<std::uint32_t> leaves(CompiledForest::kChunkRows);
  for (std::size_t begin = 0; begin < rows.n_rows(); begin += CompiledForest::kChunkRows) {
    const std::size_t end = std::min(rows.n_rows(), begin + CompiledForest::kChunkRows);
    forest->gather(rows, features, begin, end, cells, keys.data());
    for (std::size_t t = 0; t < forest->trees().size(); ++t) {
      const CompiledTree& tree = forest->trees()[t];
      for (const LevelWalk walk : walks_this_processor_runs()) {
        // Odd counts leave every walk a remainder of rows narrower than its groups.
        for (const std::size_t count : {end - begin, std::size_t{1}, std::size_t{37}}) {
          std::fill(leaves.begin(), leaves.end(), 0xDEADu);
          CompiledForest::route(tree, keys.data(), std::min(count, end - begin), leaves.data(),
                                walk);
          for (std::size_t i = 0; i < std::min(count, end - begin); ++i) {
            ASSERT_EQ(leaves[i], leaf_node_by_node(tree, keys.data() + i))
                << "tree " << t << " (depth " << tree.depth << "), walk " << static_cast<int>(walk)
                << ", row " << begin + i;
          }
        }
      }
    }
  }
  // And the whole prediction agrees with partitioning the binned table.
  const ForestModel random_forest(model.kind(), model.config(), model.loader(), trees);
  const PredictionPaths paths = expect_same_prediction(random_forest, rows);
  EXPECT_EQ(paths.trees_walked_by_level, shallow);
}

TEST(LevelWalk, TrainedForestsTakeTheWidestWalk) {
  for (const bool binned : {false, true}) {
    ForestModel model = fitted_model(ModelKind::Regression, 4, 2);
    const CellTable rows = prediction_table(model, 500, 3);
    if (binned) {
      model.predict(model.data_loader().load(kHeaders, rows));
    } else {
      model.predict_rows(kHeaders, rows);
    }
    EXPECT_EQ(model.last_paths().trees_walked_by_level, 4u) << "binned " << binned;
    const std::size_t widest = __builtin_cpu_supports("avx512f") ? 16
                               : __builtin_cpu_supports("avx2")  ? 8
                                                                 : 1;
    EXPECT_EQ(model.last_paths().level_walk_lanes, widest) << "binned " << binned;
  }
}

}  // namespace
}  // namespace quorvanta

namespace quorvanta {
namespace {

// Keys of f64 values are those of the values narrowed as reading a cell narrows them, in every
// lane of the vector walk and past it, for strides of either sign and unaligned values.
TEST(ValueKeys, DoublesKeyAsTheirNarrowedValues) {
  std::mt19937_64 random(7);
  std::vector<double> values(16 * 9 + 5);
  const double specials[] = {1.0000000596046448,  // a tie below that truncating would not round up
                             1.0000001788139343,  // a tie that rounds up to even
                             3.4028235677973366e38,
                             -3.4028235677973367e38,  // to inf, to -f32 max
                             1e-46,
                             -0.0,
                             std::numeric_limits<double>::infinity(),
                             std::bit_cast<double>(0x7FF0000000000001ull)};
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = i % 5 == 0 ? specials[(i / 5) % 8]
                           : std::bit_cast<double>(random()) * (i % 2 == 0 ? 1 : 1e-300);
  }
  constexpr std::uint32_t kNanKey = 12345;
  for (const int spacing : {1, 3, -2}) {
    for (const std::size_t offset : {0, 1}) {
      const std::size_t span = values.size() * static_cast<std::size_t>(std::abs(spacing));
      std::vector<std::byte> buffer(span * sizeof(double) + 1);
      const std::ptrdiff_t stride = spacing * static_cast<std::ptrdiff_t>(sizeof(double));
      std::byte* first = buffer.data() + offset + (spacing < 0 ? (span - 2) * sizeof(double) : 0);
      for (std::size_t i = 0; i < values.size(); ++i) {
        std::memcpy(first + static_cast<std::ptrdiff_t>(i) * stride, &values[i], sizeof(double));
      }
      std::vector<std::uint32_t> keys(values.size());
      strided_double_keys(first, stride, values.size(), kNanKey, keys.data());
      for (std::size_t i = 0; i < values.size(); ++i) {
        const float narrowed = static_cast<float>(values[i]);
        const std::uint32_t want = std::isnan(narrowed) ? kNanKey : value_key(narrowed);
        ASSERT_EQ(keys[i], want) << "value " << i << " spacing " << spacing << " offset " << offset;
      }
    }
  }
}

// f32 and f64 buffers key in place; every layout a caller's array can have must key as its cells
// read.
TEST(ValuePredict, FloatBuffersKeyInPlaceAsTheirCellsRead) {
  const ForestModel model = fitted_model(ModelKind::Classification, 4, 2);
  const CellTable owned = prediction_table(model, 5 * 256 + 19, 41);
  const std::size_t n_rows = owned.n_rows(), n_columns = kHeaders.size();
  // Signalling NaNs (the missing pattern among them) are present NaNs once read.
  const std::uint32_t odd_bits[] = {kMissingCellBits, 0xFF800001u, 0x7F800001u, 0x80000000u};
  std::vector<float> values(n_rows * n_columns);
  for (std::size_t r = 0; r < n_rows; ++r) {
    for (std::size_t c = 0; c < n_columns; ++c) {
      values[r * n_columns + c] = *owned.cell(r, c);
      if (c < 5 && r % 7 == 3) values[r * n_columns + c] = std::bit_cast<float>(odd_bits[r % 4]);
    }
  }
  // Row-major, column-major, rows upside down, and every cell one byte off its alignment.
  std::vector<std::byte> column_major(values.size() * 4), unaligned(values.size() * 4 + 1);
  for (std::size_t r = 0; r < n_rows; ++r) {
    for (std::size_t c = 0; c < n_columns; ++c) {
      std::memcpy(&column_major[(c * n_rows + r) * 4], &values[r * n_columns + c], 4);
    }
  }
  std::memcpy(unaligned.data() + 1, values.data(), values.size() * 4);
  const auto* row_major = reinterpret_cast<const std::byte*>(values.data());
  const auto row_bytes = static_cast<std::ptrdiff_t>(n_columns * 4);
  const StridedCells layouts[] = {
      {row_major, n_rows, n_columns, row_bytes, 4},
      {column_major.data(), n_rows, n_columns, 4, static_cast<std::ptrdiff_t>(n_rows * 4)},
      {row_major + (n_rows - 1) * row_bytes, n_rows, n_columns, -row_bytes, 4},
      {unaligned.data() + 1, n_rows, n_columns, row_bytes, 4},
  };
  for (const StridedCells& layout : layouts) {
    SCOPED_TRACE(testing::Message() << "row stride " << layout.row_stride);
    const PredictionPaths paths = expect_same_prediction(model, CellTable(layout));
    EXPECT_EQ(paths.columns_on_values, 5u);
    EXPECT_TRUE(paths.keys_in_place);
  }
  EXPECT_FALSE(expect_same_prediction(model, owned).keys_in_place);

  // f64 values that narrow: ties rounding to even, beyond the f32 range, below its subnormals,
  // a signalling NaN, the largest value that still rounds to the largest f32.
  const double odd_doubles[] = {
      1.0000000596046448,   -1e39, 1e-46, -0.0, std::bit_cast<double>(0x7FF0000000000001ull),
      3.4028235677973366e38};
  std::vector<double> wide(values.begin(), values.end());
  for (std::size_t r = 5; r < n_rows; r += 7) {
    for (std::size_t c = 0; c < 5; ++c) wide[r * n_columns + c] = odd_doubles[(r / 7 + c) % 6];
  }
  const auto* wide_rows = reinterpret_cast<const std::byte*>(wide.data());
  const StridedCells double_layouts[] = {
      {wide_rows, n_rows, n_columns, 2 * row_bytes, 8, CellType::kDouble},
      {wide_rows + (n_rows - 1) * 2 * row_bytes, n_rows, n_columns, -2 * row_bytes, 8,
       CellType::kDouble},
  };
  for (const StridedCells& layout : double_layouts) {
    SCOPED_TRACE(testing::Message() << "f64, row stride " << layout.row_stride);
    EXPECT_TRUE(expect_same_prediction(model, CellTable(layout)).keys_in_place);
  }
  // Masked feature cells (any nonzero byte, over values, NaNs and odd bits alike) are missing;
  // the mask is laid out column-major whatever the values' layout.
  std::vector<std::uint8_t> mask(values.size(), 0);
  for (std::size_t r = 0; r < n_rows; ++r) {
    for (std::size_t c = 0; c < 5; ++c) mask[c * n_rows + r] = (r + c) % 3 == 0 ? 1 + r % 2 : 0;
  }
  for (StridedCells masked : {layouts[0], layouts[2], double_layouts[0]}) {
    SCOPED_TRACE(testing::Message() << "masked, row stride " << masked.row_stride);
    masked.mask = reinterpret_cast<const std::byte*>(mask.data());
    masked.mask_row_stride = 1;
    masked.mask_column_stride = static_cast<std::ptrdiff_t>(n_rows);
    if (masked.row_stride < 0) {
      masked.mask += n_rows - 1;
      masked.mask_row_stride = -1;
    }
    EXPECT_TRUE(expect_same_prediction(model, CellTable(masked)).keys_in_place);
  }
}

}  // namespace
}  // namespace quorvanta
