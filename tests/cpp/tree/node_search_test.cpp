// Growing with the learner's own criterion keeps node data in partition order and accumulates
// from it; growing through a split search that calls best_split runs the per-call criteria on the
// node's rows. Both must give the same tree and, on bad data, the same failure.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
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

TEST(NodeSearch, GrowsTheTreesOfThePerCallCriteria) {
  const DataMatrix data = tricky_table(3000);
  // Many features per node keep every feature's bins in partition order; one per node gathers
  // them through the rows.
  for (const std::uint64_t max_features : {6u, 1u}) {
    for (const ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
      TreeConfig config;
      config.max_features = max_features;
      config.max_depth = 9;
      config.min_samples_leaf = 4;
      config.min_samples_treatment = 1;
      config.n_reg = 2;
      config.seed = 31;
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
    DataMatrix data = tricky_table(400);
    spoilt.spoil(data);
    for (const std::uint64_t max_features : {10u, 1u}) {
      for (const ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
        TreeConfig config;
        config.max_features = max_features;
        config.min_samples_leaf = 5;
        config.seed = 8;
        SCOPED_TRACE(std::string(spoilt.name) + ", " + tree_type_name(kind) + ", max_features " +
                     std::to_string(max_features));
        const std::string expected = fault_message([&] { grown(kind, config, data, true); });
        // With one feature per node the spoilt feature may never be searched.
        if (max_features == 10 && (kind == ModelKind::Classification || spoilt.regression_fails)) {
          EXPECT_NE(expected, "no failure");
        }
        EXPECT_EQ(fault_message([&] { grown(kind, config, data, false); }), expected);
      }
    }
  }
}

}  // namespace
}  // namespace quorvanta
