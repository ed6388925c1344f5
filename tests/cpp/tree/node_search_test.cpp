// Growing with the learner's own criterion keeps node data beside the rows and accumulates from
// it, counting where every row weighs 1; growing through a split search that calls best_split
// runs the per-call criteria on the node's rows. Both must give the same tree and, on bad data,
// the same failure, and each table must take the path meant for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fault_message.hpp"
#include "tree/tree_learner.hpp"
#include "tree/tree_test_data.hpp"

namespace quorvanta {
namespace {

using testing::fault_message;
using testing::kMissing;
using testing::matrix_of;

// Ten features (two categorical) over three groups with uneven weights and an effect on feature
// 0. Feature 1 also holds bins equal to its bin count, which share the missing cells' slot.
DataMatrix tricky_table(std::size_t n_rows) {
  std::uint32_t state = 777;
  auto next = [&state](std::uint32_t modulus) {
    state = state * 1103515245u + 12345u;
    return (state >> 16) % modulus;
  };
  std::vector<std::vector<std::uint8_t>> columns(10, std::vector<std::uint8_t>(n_rows));
  for (std::size_t row = 0; row < n_rows; ++row) {
    for (std::size_t f = 0; f < columns.size(); ++f) {
      columns[f][row] = next(9) == 0 ? kMissing : static_cast<std::uint8_t>(next(3 + 2 * f));
    }
  }
  DataMatrix data = matrix_of(std::move(columns), {0, 0, 0, 1, 0, 0, 0, 1, 0, 0});
  data.n_bins.insert_or_assign("f1", 4);  // bins 0..4 occur: 4 shares the missing slot
  data.n_treatment = {3};
  for (std::size_t row = 0; row < n_rows; ++row) {
    const std::uint8_t group = static_cast<std::uint8_t>(next(3));
    data.treatment[0][row] = group;
    const bool lifted = group > 0 && data.x[0][row] < 4;
    data.y[row] = next(10) < (lifted ? 7u : 3u) ? 1.0f : 0.0f;
    data.weight[row] = 0.25f * static_cast<float>(1 + next(7));
  }
  return data;
}

DataMatrix unit_weight_table(std::size_t n_rows) {
  DataMatrix data = tricky_table(n_rows);
  data.weight.assign(n_rows, 1.0f);
  return data;
}

std::uint32_t bits(float value) {
  return std::bit_cast<std::uint32_t>(value);
}

// Bit for bit, so that the NaN summaries of groups a node lacks compare equal; the first
// difference, or "" when there is none.
std::string tree_difference(const TreeRecord& a, const TreeRecord& b) {
  if (a.level != b.level || a.left_children != b.left_children ||
      a.right_children != b.right_children || a.split.size() != b.split.size()) {
    return "shape";
  }
  for (std::size_t node = 0; node < a.split.size(); ++node) {
    const std::string at = "node " + std::to_string(node);
    if (a.split[node].has_value() != b.split[node].has_value()) return at;
    if (!a.split[node]) continue;
    const SplitInfo& x = *a.split[node];
    const SplitInfo& y = *b.split[node];
    if (x.node_id != y.node_id || x.feature_id != y.feature_id || x.iscat != y.iscat ||
        x.value != y.value || bits(x.gain) != bits(y.gain) ||
        bits(x.gain_importance) != bits(y.gain_importance) ||
        x.summary.size() != y.summary.size()) {
      return at;
    }
    for (std::size_t g = 0; g < x.summary.size(); ++g) {
      if (x.summary[g].size() != y.summary[g].size()) return at + " summary";
      for (std::size_t c = 0; c < x.summary[g].size(); ++c) {
        if (bits(x.summary[g][c]) != bits(y.summary[g][c])) return at + " summary";
      }
    }
  }
  return "";
}

TreeLearner grown(ModelKind kind, const TreeConfig& config, const DataMatrix& data,
                  bool per_call_criterion) {
  TreeLearner learner = TreeLearner::create(kind, config);
  SharedRng rng(config.seed);
  if (!per_call_criterion) {
    grow_tree(learner, data, rng);
    return learner;
  }
  grow_tree(learner, data, rng,
            [&](std::uint64_t node, std::uint64_t feature, std::span<const RowId> rows) {
              return best_split(learner, data, node, feature, rows);
            });
  return learner;
}

TreeConfig search_config(std::uint64_t max_features, std::uint64_t seed) {
  TreeConfig config;
  config.max_features = max_features;
  config.max_depth = 9;
  config.min_samples_leaf = 4;
  config.min_samples_treatment = 1;
  config.n_reg = 2;
  config.seed = seed;
  return config;
}

// Same ranges, and in each range the same rows, whatever their order.
std::string partition_difference(const Partition& a, const Partition& b) {
  if (a.starts != b.starts || a.lengths != b.lengths) return "ranges";
  for (std::uint64_t node = 0; node < a.starts.size(); ++node) {
    const auto a_range = a.node_range(node);
    const auto b_range = b.node_range(node);
    std::vector<RowId> a_rows(a_range.begin(), a_range.end());
    std::vector<RowId> b_rows(b_range.begin(), b_range.end());
    std::sort(a_rows.begin(), a_rows.end());
    std::sort(b_rows.begin(), b_rows.end());
    if (a_rows != b_rows) return "rows of node " + std::to_string(node);
  }
  return "";
}

// The path the trees of `data` take, after growing one with the learner's criterion; the tree
// must match the per-call criteria's.
GrowPath path_taken(ModelKind kind, const DataMatrix& data, std::uint64_t max_features = 4) {
  const TreeConfig config = search_config(max_features, 12);
  TreeRows rows(data);
  TreeLearner learner = TreeLearner::create(kind, config);
  SharedRng rng(config.seed);
  grow_tree(learner, rows, rng);
  EXPECT_EQ(tree_difference(learner.tree, grown(kind, config, data, true).tree), "");
  EXPECT_EQ(rows.searches(rows.path()), learner.tree.n_nodes()) << "every node on one path";
  return rows.path();
}

TEST(NodeSearch, EachTableTakesItsPath) {
  const DataMatrix unit = unit_weight_table(600);
  EXPECT_EQ(path_taken(ModelKind::Classification, unit), GrowPath::Counts);
  EXPECT_EQ(path_taken(ModelKind::Classification, unit, 10), GrowPath::Counts);
  EXPECT_EQ(path_taken(ModelKind::Regression, unit), GrowPath::OrderedRegression);
  EXPECT_EQ(path_taken(ModelKind::Classification, tricky_table(600)), GrowPath::OrderedClass);
  EXPECT_EQ(path_taken(ModelKind::Regression, tricky_table(600)), GrowPath::OrderedRegression);

  // One weight other than 1 anywhere in the table, even outside the draw, leaves counting.
  DataMatrix one_weight = unit;
  one_weight.weight[17] = 1.0f + 1.0f / 1024;
  EXPECT_EQ(path_taken(ModelKind::Classification, one_weight), GrowPath::OrderedClass);
  // A present bin equal to the bin count still counts (it shares the missing cells' slot). A bin
  // count beyond 255 (only a corrupt model file gives one) leaves the narrower paths; so does a
  // bin above the count (BadRowsFailAsThePerCallCriteria).
  DataMatrix shared_slot = unit;
  shared_slot.n_bins.insert_or_assign("f2", 6);
  shared_slot.x[2][40] = 6;
  EXPECT_EQ(path_taken(ModelKind::Classification, shared_slot), GrowPath::Counts);
  DataMatrix beyond = unit;
  beyond.n_bins.insert_or_assign("f9", 300);
  EXPECT_EQ(path_taken(ModelKind::Classification, beyond), GrowPath::Exact);
  // Entries keep (class, group) in one byte: 128 groups need 256 histogram rows, one too many.
  DataMatrix many_groups = unit;
  many_groups.n_treatment = {127};
  EXPECT_EQ(path_taken(ModelKind::Classification, many_groups), GrowPath::Counts);
  many_groups.n_treatment = {128};
  EXPECT_EQ(path_taken(ModelKind::Classification, many_groups), GrowPath::Exact);
  // A drawn row that cannot be read sends the whole tree down the per-call builders.
  DataMatrix unreadable = unit;
  unreadable.y.resize(590);
  const TreeConfig config = search_config(3, 1);
  TreeRows rows(unreadable);
  TreeLearner learner = TreeLearner::create(ModelKind::Classification, config);
  SharedRng rng(config.seed);
  EXPECT_NE(fault_message([&] { grow_tree(learner, rows, rng); }), "no failure");
  EXPECT_EQ(rows.path(), GrowPath::Exact);
}

TEST(NodeSearch, CountingGrowsTheTreesOfThePerCallCriteria) {
  const DataMatrix data = unit_weight_table(3000);
  for (const std::uint64_t max_features : {10u, 3u, 1u}) {
    for (const std::uint64_t seed : {31u, 32u}) {
      SCOPED_TRACE("max_features " + std::to_string(max_features) + ", seed " +
                   std::to_string(seed));
      const TreeConfig config = search_config(max_features, seed);
      const TreeLearner fast = grown(ModelKind::Classification, config, data, false);
      const TreeLearner exact = grown(ModelKind::Classification, config, data, true);
      EXPECT_GT(fast.tree.n_nodes(), 10u);
      EXPECT_EQ(tree_difference(fast.tree, exact.tree), "");
      EXPECT_EQ(partition_difference(fast.partition, exact.partition), "");
    }
  }
}

// Random tables: bins of every count up to 255 with missing cells, categorical features, one to
// four groups, subsamples, unit and uneven weights, both criteria.
TEST(NodeSearch, RandomTablesGrowTheTreesOfThePerCallCriteria) {
  std::mt19937 random(99);
  for (int table = 0; table < 24; ++table) {
    const std::size_t n_rows = 50 + random() % 700;
    const std::size_t n_features = 1 + random() % 6;
    std::vector<std::vector<std::uint8_t>> columns(n_features, std::vector<std::uint8_t>(n_rows));
    std::vector<std::uint8_t> categorical(n_features);
    for (std::size_t f = 0; f < n_features; ++f) {
      const std::uint32_t n_bins = f == 0 ? 255 : 1 + random() % 40;
      categorical[f] = random() % 3 == 0;
      for (std::uint8_t& bin : columns[f]) {
        bin = random() % 8 == 0 ? kMissing : static_cast<std::uint8_t>(random() % n_bins);
      }
    }
    const std::uint8_t n_groups = static_cast<std::uint8_t>(1 + random() % 4);
    std::vector<std::uint8_t> treatment(n_rows);
    std::vector<float> y(n_rows);
    for (std::size_t row = 0; row < n_rows; ++row) {
      treatment[row] = static_cast<std::uint8_t>(random() % n_groups);
      y[row] = random() % 3 == 0 ? 1.0f : 0.0f;
    }
    DataMatrix data = matrix_of(std::move(columns), categorical, treatment, y);
    data.n_treatment = {n_groups};
    const bool weighted = table % 2 == 1;
    if (weighted) {
      for (float& w : data.weight) w = 0.5f + static_cast<float>(random() % 5) / 3.0f;
    }
    for (const ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
      TreeConfig config = search_config(1 + random() % n_features, 100 + table);
      config.min_samples_leaf = random() % 6;
      config.min_samples_treatment = random() % 3;
      config.subsample = table % 3 == 0 ? 0.7f : 1.0f;
      config.normalization = table % 4 != 0;
      SCOPED_TRACE("table " + std::to_string(table) + ", " + tree_type_name(kind));
      // With one group the regression criterion fails at the root, on either path.
      TreeLearner fast;
      TreeLearner exact;
      const std::string failure = fault_message([&] { exact = grown(kind, config, data, true); });
      ASSERT_EQ(fault_message([&] { fast = grown(kind, config, data, false); }), failure);
      if (failure != "no failure") continue;
      EXPECT_EQ(tree_difference(fast.tree, exact.tree), "");
      EXPECT_EQ(partition_difference(fast.partition, exact.partition), "");
      if (weighted) {
        EXPECT_EQ(fast.partition, exact.partition) << "rows in partition order";
      }
    }
  }
}

// Worker threads share one table, each growing with its own rows and generator.
TEST(NodeSearch, ThreadsSharingATableGrowTheTreesOfOneThread) {
  const DataMatrix unit = unit_weight_table(2000);
  const DataMatrix weighted = tricky_table(2000);
  for (const std::size_t n_threads : {1u, 2u, 3u, 4u}) {
    std::vector<TreeRecord> threaded(2 * n_threads);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < n_threads; ++t) {
      threads.emplace_back([&, t] {
        for (const DataMatrix* data : {&unit, &weighted}) {
          TreeRows rows(*data);
          const TreeConfig config = search_config(4, 40 + t);
          TreeLearner learner = TreeLearner::create(ModelKind::Classification, config);
          SharedRng rng(config.seed);
          grow_tree(learner, rows, rng);
          threaded[2 * t + (data == &weighted)] = learner.tree;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (std::size_t t = 0; t < n_threads; ++t) {
      SCOPED_TRACE(std::to_string(n_threads) + " threads, thread " + std::to_string(t));
      const TreeConfig config = search_config(4, 40 + t);
      EXPECT_EQ(tree_difference(threaded[2 * t],
                                grown(ModelKind::Classification, config, unit, true).tree),
                "");
      EXPECT_EQ(tree_difference(threaded[2 * t + 1],
                                grown(ModelKind::Classification, config, weighted, true).tree),
                "");
    }
  }
}

TEST(NodeSearch, GrowsTheTreesOfThePerCallCriteria) {
  const DataMatrix data = tricky_table(3000);
  // Many features per node keep every feature's bins in partition order; one per node gathers
  // them through the rows.
  for (const std::uint64_t max_features : {6u, 1u}) {
    for (const ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
      const TreeConfig config = search_config(max_features, 31);
      SCOPED_TRACE(std::string(tree_type_name(kind)) + ", max_features " +
                   std::to_string(max_features));
      const TreeLearner fast = grown(kind, config, data, false);
      const TreeLearner exact = grown(kind, config, data, true);
      EXPECT_GT(fast.tree.n_nodes(), 10u);
      EXPECT_EQ(tree_difference(fast.tree, exact.tree), "");
      EXPECT_EQ(fast.partition, exact.partition);
    }
  }
}

// The ordered paths add a node's rows to each block of up to 16 features in a loop made for the
// block's size: every size must grow the per-call criteria's trees, and so must a second block.
TEST(NodeSearch, EveryBlockSizeGrowsTheTreesOfThePerCallCriteria) {
  const DataMatrix ten = tricky_table(1500);
  DataMatrix wide = ten;  // twenty features: the ten again, shifted by one row
  for (std::size_t f = 0; f < 10; ++f) {
    std::vector<std::uint8_t> column = ten.x[f];
    std::rotate(column.begin(), column.begin() + 1, column.end());
    wide.x.push_back(std::move(column));
    wide.is_cat.push_back(ten.is_cat[f]);
    const std::string name = "f" + std::to_string(10 + f);
    wide.feature_names.push_back(name);
    wide.n_bins.insert_or_assign(name, *ten.n_bins.find(ten.feature_names[f]));
  }
  for (const std::uint64_t max_features : {2u, 7u, 9u, 16u, 17u, 20u}) {
    for (const ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
      const TreeConfig config = search_config(max_features, 57);
      SCOPED_TRACE(std::string(tree_type_name(kind)) + ", max_features " +
                   std::to_string(max_features));
      const TreeLearner fast = grown(kind, config, wide, false);
      EXPECT_GT(fast.tree.n_nodes(), 10u);
      EXPECT_EQ(tree_difference(fast.tree, grown(kind, config, wide, true).tree), "");
    }
  }
}

TEST(NodeSearch, BadRowsFailAsThePerCallCriteria) {
  struct Case {
    const char* name;
    void (*spoil)(DataMatrix&);
    bool regression_fails;  // the regression criterion has no outcome classes
  };
  const Case cases[] = {
      // Every tenth row, so that the draw surely holds some.
      {"outcome 2",
       [](DataMatrix& data) {
         for (std::size_t r = 7; r < 400; r += 10) data.y[r] = 2.0f;
       },
       false},
      {"group beyond the count",
       [](DataMatrix& data) {
         for (std::size_t r = 3; r < 400; r += 10) data.treatment[0][r] = 3;
       },
       true},
      {"bin beyond the count",
       [](DataMatrix& data) {
         for (std::size_t r = 5; r < 400; r += 10) data.x[5][r] = 200;
       },
       true},
      {"short weights", [](DataMatrix& data) { data.weight.resize(50); }, true},
      {"short outcomes", [](DataMatrix& data) { data.y.resize(60); }, true},
      {"short feature", [](DataMatrix& data) { data.x[2].resize(70); }, true},
  };
  for (const Case& spoilt : cases) {
    for (const bool unit : {false, true}) {
      DataMatrix data = unit ? unit_weight_table(400) : tricky_table(400);
      spoilt.spoil(data);
      for (const std::uint64_t max_features : {10u, 1u}) {
        for (const ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
          TreeConfig config;
          config.max_features = max_features;
          config.min_samples_leaf = 5;
          config.seed = 8;
          SCOPED_TRACE(std::string(spoilt.name) + ", " + tree_type_name(kind) + ", max_features " +
                       std::to_string(max_features) + (unit ? ", unit weights" : ""));
          const std::string expected = fault_message([&] { grown(kind, config, data, true); });
          // With one feature per node the spoilt feature may never be searched.
          if (max_features == 10 &&
              (kind == ModelKind::Classification || spoilt.regression_fails)) {
            EXPECT_NE(expected, "no failure");
          }
          EXPECT_EQ(fault_message([&] { grown(kind, config, data, false); }), expected);
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorvanta
