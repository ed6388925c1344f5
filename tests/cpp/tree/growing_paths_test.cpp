// Each growing path must actually serve the tables meant for it: a path that silently stops
// being taken still grows the right trees, only slower, so these tests look at the path itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tree/growing_table.hpp"
#include "tree/tree_learner.hpp"
#include "tree/tree_rows.hpp"
#include "tree/tree_test_data.hpp"

namespace quorvanta {
namespace {

using testing::kMissing;
using testing::matrix_of;

// Three numeric features of 12 bins with some missing cells, two groups, outcome 0 or 1.
DataMatrix table_of(std::size_t n_rows, bool unit_weights) {
  std::vector<std::vector<std::uint8_t>> columns(3, std::vector<std::uint8_t>(n_rows));
  std::vector<std::uint8_t> treatment(n_rows);
  std::vector<float> y(n_rows);
  for (std::size_t row = 0; row < n_rows; ++row) {
    for (std::size_t f = 0; f < columns.size(); ++f) {
      columns[f][row] =
          (row * 7 + f * 3) % 17 == 0 ? kMissing : static_cast<std::uint8_t>((row * (f + 5)) % 12);
    }
    treatment[row] = static_cast<std::uint8_t>(row % 2);
    y[row] = (row * 11) % 5 < (treatment[row] == 1 && columns[0][row] < 6 ? 3u : 1u) ? 1.0f : 0.0f;
  }
  DataMatrix data = matrix_of(std::move(columns), {}, std::move(treatment), std::move(y));
  if (!unit_weights) {
    for (std::size_t row = 0; row < n_rows; ++row) data.weight[row] = 0.5f + (row % 3) * 0.25f;
  }
  return data;
}

TreeConfig config_of() {
  TreeConfig config;
  config.max_features = 3;
  config.max_depth = 4;
  config.min_samples_leaf = 10;
  config.min_samples_treatment = 2;
  config.seed = 5;
  return config;
}

struct Grown {
  GrowPath path;
  std::uint64_t root_entries;
  std::uint64_t nodes;
  std::uint64_t searches;
  std::uint64_t checked_rows;
};

Grown grow_on(const GrowingTable& table) {
  TreeRows rows(table);
  TreeLearner learner = TreeLearner::create(table.kind(), config_of());
  SharedRng rng(config_of().seed);
  grow_tree(learner, rows, rng);
  return {rows.path(), rows.root_entries(), learner.tree.n_nodes(), rows.searches(rows.path()),
          rows.checked_rows()};
}

TEST(GrowingPaths, UnitWeightClassificationCountsDistinctRows) {
  const DataMatrix data = table_of(2000, true);
  const GrowingTable table(data, ModelKind::Classification);
  EXPECT_TRUE(table.unit_weights());
  EXPECT_FALSE(table.has_records()) << "counting reads the columns, no records needed";
  const Grown grown = grow_on(table);
  EXPECT_EQ(grown.path, GrowPath::Counts);
  EXPECT_GT(grown.nodes, 3u);
  EXPECT_EQ(grown.searches, grown.nodes);
  // A bootstrap draw of 2000 rows holds about 1264 distinct ones: entries carry multiplicities.
  EXPECT_LT(grown.root_entries, 1400u);
  EXPECT_GT(grown.root_entries, 1100u);
}

TEST(GrowingPaths, WeightsAndRegressionAddInRowOrderFromRecords) {
  const DataMatrix weighted = table_of(2000, false);
  const GrowingTable classification(weighted, ModelKind::Classification);
  ASSERT_TRUE(classification.has_records());
  const Grown by_class = grow_on(classification);
  EXPECT_EQ(by_class.path, GrowPath::OrderedClass);
  EXPECT_EQ(by_class.root_entries, 2000u) << "one entry per drawn row";
  EXPECT_EQ(by_class.searches, by_class.nodes);
  // Checking every drawn row's record costs as much as a node's search: a table whose records
  // are all readable needs no check.
  EXPECT_TRUE(classification.every_record_readable());
  EXPECT_EQ(by_class.checked_rows, 0u) << "weighted trees check no drawn row";

  const DataMatrix unit = table_of(2000, true);
  const GrowingTable regression(unit, ModelKind::Regression);
  ASSERT_TRUE(regression.has_records());
  const Grown by_regression = grow_on(regression);
  EXPECT_EQ(by_regression.path, GrowPath::OrderedRegression);
  EXPECT_EQ(by_regression.checked_rows, 0u) << "regression trees check no drawn row";

  // A record holds weight, outcome, histogram row and every feature's bin, as the table has them.
  const std::uint8_t* record = classification.record(7);
  float w = 0.0f;
  std::memcpy(&w, record + GrowingTable::kWeightOffset, sizeof w);
  EXPECT_EQ(w, weighted.weight[7]);
  const std::size_t outcome = weighted.y[7] == 1.0f ? 1 : 0;
  EXPECT_EQ(record[GrowingTable::kHistogramRowOffset], outcome * 2 + weighted.treatment[0][7]);
  for (std::size_t f = 0; f < 3; ++f)
    EXPECT_EQ(record[GrowingTable::kBinsOffset + f], weighted.x[f][7]);
  EXPECT_EQ(classification.record_size() % 8, 0u);
}

// A row the narrower paths cannot read marks its record, and a tree that draws it takes the
// exact builders (which report it); rows outside the draw do not matter.
TEST(GrowingPaths, UnreadableRowsSendTheirTreesToTheExactPath) {
  DataMatrix data = table_of(2000, false);
  data.y[11] = 2.0f;  // no outcome class
  const GrowingTable table(data, ModelKind::Classification);
  EXPECT_EQ(table.record(11)[GrowingTable::kHistogramRowOffset], GrowingTable::kUnreadable);
  TreeRows rows(table);
  TreeLearner learner = TreeLearner::create(ModelKind::Classification, config_of());
  SharedRng rng(config_of().seed);
  EXPECT_THROW(grow_tree(learner, rows, rng), Fault);
  EXPECT_EQ(rows.path(), GrowPath::Exact);
  EXPECT_FALSE(table.every_record_readable());
  EXPECT_EQ(rows.checked_rows(), 2000u) << "the draw was checked before the tree left the path";
  // Regression reads no outcome class: the same row is fine there.
  const GrowingTable regression(data, ModelKind::Regression);
  EXPECT_NE(regression.record(11)[GrowingTable::kHistogramRowOffset], GrowingTable::kUnreadable);
  EXPECT_EQ(grow_on(regression).path, GrowPath::OrderedRegression);
}

// Worker threads share one table: trees grown over it equal trees over a table of their own.
TEST(GrowingPaths, ASharedTableGrowsTheTreesOfAnOwnOne) {
  for (const bool unit : {true, false}) {
    for (const ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
      const DataMatrix data = table_of(1500, unit);
      const GrowingTable table(data, kind);
      TreeRows shared(table);
      TreeRows own(data);
      TreeLearner a = TreeLearner::create(kind, config_of());
      TreeLearner b = TreeLearner::create(kind, config_of());
      SharedRng rng_a(3);
      SharedRng rng_b(3);
      for (int tree = 0; tree < 2; ++tree) {
        grow_tree(a, shared, rng_a);
        grow_tree(b, own, rng_b);
        EXPECT_EQ(a.tree, b.tree) << tree_type_name(kind) << (unit ? ", unit" : ", weighted");
        EXPECT_EQ(shared.path(), own.path());
      }
    }
  }
}

}  // namespace
}  // namespace quorvanta
