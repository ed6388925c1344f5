#include "tree/tree_learner.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <map>

#include "common/fault.hpp"
#include "tree/tree_test_data.hpp"

namespace quorvanta {
namespace {

using testing::kMissing;
using testing::matrix_of;

TreeConfig config_with(std::uint64_t max_features, std::uint64_t max_depth, float subsample,
                       std::uint64_t seed) {
  TreeConfig config;
  config.max_features = max_features;
  config.max_depth = max_depth;
  config.subsample = subsample;
  config.seed = seed;
  return config;
}

// A split rule standing in for a criterion. It depends only on the multiset of the node's rows,
// so a reference that copies row lists reproduces it: it cuts near the middle of the present
// bins (categorical: the most frequent bin), scoring by the product of the two sides' sizes,
// which ties often and so exercises the choice among equal gains.
SplitInfo balanced_split(const DataMatrix& data, std::uint64_t node, std::uint64_t feature,
                         std::span<const RowId> rows) {
  SplitInfo split;
  split.node_id = node;
  split.feature_id = feature;
  split.iscat = data.is_cat[feature] != 0;
  split.summary = {{static_cast<float>(rows.size())}, {static_cast<float>(feature)}};
  if (rows.size() < 2) return split;
  std::array<std::size_t, 256> counts{};
  for (const RowId row : rows) ++counts[data.x[feature][row]];
  std::optional<std::uint8_t> bin;
  if (split.iscat) {
    std::size_t most = 0;
    for (int b = 0; b < 255; ++b) {
      if (counts[b] > most) {
        most = counts[b];
        bin = static_cast<std::uint8_t>(b);
      }
    }
    if (most == rows.size()) bin.reset();
  } else {
    int low = -1, high = -1;
    for (int b = 0; b < 255; ++b) {
      if (counts[b] == 0) continue;
      if (low < 0) low = b;
      high = b;
    }
    if (low >= 0 && low < high) bin = static_cast<std::uint8_t>((low + high) / 2);
    if (low >= 0 && low == high && counts[kMissing] > 0) bin = static_cast<std::uint8_t>(low);
  }
  if (!bin) return split;
  std::size_t n_left = 0;
  for (const RowId row : rows) n_left += goes_left(split.iscat, *bin, data.x[feature][row]);
  split.value = std::vector<std::uint8_t>{*bin};
  split.gain = static_cast<float>(n_left * (rows.size() - n_left));
  return split;
}

struct ExpectedNode {
  std::uint64_t level = 0;
  std::optional<std::uint64_t> left, right;
  std::uint64_t feature = 0;
  std::optional<std::vector<std::uint8_t>> value;
  std::vector<RowId> rows;  // sorted
};

// Grows the same tree the plain way: recursion, copied row lists, children filtered by the
// routing predicate, the best candidate picked by a search over all candidates.
class ReferenceGrower {
 public:
  ReferenceGrower(const DataMatrix& data, const TreeConfig& config)
      : data_(data), config_(config), rng_(config.seed) {}

  std::vector<ExpectedNode> grow() {
    const std::uint64_t n_rows = data_.x[0].size();
    const auto k = static_cast<std::uint64_t>(static_cast<float>(n_rows) * config_.subsample);
    nodes_.resize(1);
    grow_node(0, rng_.sample_indices(n_rows, k, true), 0);
    return nodes_;
  }

 private:
  void grow_node(std::uint64_t id, std::vector<RowId> rows, std::uint64_t level) {
    const std::uint64_t n_features = data_.x.size();
    const std::vector<std::uint64_t> features =
        rng_.sample_indices(n_features, std::min(n_features, config_.max_features), false);
    std::vector<SplitInfo> candidates;
    for (const std::uint64_t f : features) {
      candidates.push_back(balanced_split(data_, id, f, rows));
    }
    std::size_t chosen = 0;
    std::optional<float> top;
    for (std::size_t c = 0; c < candidates.size(); ++c) {
      if (candidates[c].value && (!top || candidates[c].gain > *top)) {
        top = candidates[c].gain;
        chosen = c;
      }
    }
    const SplitInfo& best = candidates.at(chosen);
    ExpectedNode& node = nodes_[id];
    node.level = level;
    node.feature = best.feature_id;
    node.value = best.value;
    node.rows = rows;
    std::sort(node.rows.begin(), node.rows.end());
    if (!best.value || level >= config_.max_depth) return;

    const std::uint64_t left = nodes_.size();
    nodes_[id].left = left;
    nodes_[id].right = left + 1;
    nodes_.resize(left + 2);
    std::vector<RowId> left_rows, right_rows;
    for (const RowId row : rows) {
      (goes_left(best.iscat, (*best.value)[0], data_.x[best.feature_id][row]) ? left_rows
                                                                              : right_rows)
          .push_back(row);
    }
    grow_node(left, left_rows, level + 1);
    grow_node(left + 1, right_rows, level + 1);
  }

  const DataMatrix& data_;
  TreeConfig config_;
  SharedRng rng_;
  std::vector<ExpectedNode> nodes_;
};

DataMatrix mixed_table(std::size_t n_rows) {
  std::vector<std::vector<std::uint8_t>> columns(4, std::vector<std::uint8_t>(n_rows));
  std::uint32_t state = 12345;
  auto next = [&state](std::uint32_t modulus) {
    state = state * 1103515245u + 12345u;
    return (state >> 16) % modulus;
  };
  for (std::size_t row = 0; row < n_rows; ++row) {
    columns[0][row] = next(10) == 0 ? kMissing : static_cast<std::uint8_t>(next(12));
    columns[1][row] = static_cast<std::uint8_t>(next(4));
    columns[2][row] = next(8) == 0 ? kMissing : static_cast<std::uint8_t>(next(5));
    columns[3][row] = static_cast<std::uint8_t>(next(3));
  }
  return matrix_of(std::move(columns), {0, 0, 1, 1});
}

SplitSearch search_for(const DataMatrix& data) {
  return [&data](std::uint64_t node, std::uint64_t feature, std::span<const RowId> rows) {
    return balanced_split(data, node, feature, rows);
  };
}

TEST(TreeLearner, CreateCopiesConfigurationIntoParameters) {
  TreeConfig config = config_with(3, 9, 0.5f, 1);
  config.min_samples_leaf = 7;
  config.min_samples_treatment = 2;
  config.n_reg = 4;
  config.alpha = 0.25f;
  config.normalization = false;
  const TreeLearner learner = TreeLearner::create(ModelKind::Regression, config);
  EXPECT_EQ(learner.kind, ModelKind::Regression);
  EXPECT_EQ(learner.config, config);
  EXPECT_EQ(learner.max_features, 3u);
  EXPECT_EQ(learner.max_depth, 9u);
  EXPECT_EQ(learner.kl_params, (KlCriterionParams{7, 2, 4, 0.25f, false}));
  EXPECT_EQ(learner.regression_params, (RegressionCriterionParams{7, 2, 0.25f}));
  EXPECT_EQ(learner.tree, TreeRecord::with_root());
  EXPECT_TRUE(learner.partition.indices.empty());
  EXPECT_TRUE(learner.partition.starts.empty());
}

TEST(TreeLearner, GrowsNodeByNodeLikeAPlainRecursiveGrower) {
  const DataMatrix data = mixed_table(80);
  std::size_t largest = 0;
  bool saw_depth_limited_leaf = false;
  for (const TreeConfig& config : {config_with(2, 5, 1.0f, 2024), config_with(4, 4, 1.0f, 7),
                                   config_with(1, 6, 0.6f, 99), config_with(3, 30, 1.0f, 5)}) {
    SCOPED_TRACE("seed " + std::to_string(*config.seed));
    const std::vector<ExpectedNode> expected = ReferenceGrower(data, config).grow();
    TreeLearner learner = TreeLearner::create(ModelKind::Classification, config);
    SharedRng rng(config.seed);
    grow_tree(learner, data, rng, search_for(data));

    const TreeRecord& tree = learner.tree;
    ASSERT_EQ(tree.n_nodes(), expected.size());
    ASSERT_EQ(learner.partition.starts.size(), expected.size());
    largest = std::max(largest, expected.size());
    for (std::uint64_t id = 0; id < expected.size(); ++id) {
      SCOPED_TRACE("node " + std::to_string(id));
      EXPECT_EQ(tree.level[id], expected[id].level);
      EXPECT_EQ(tree.left_children[id], expected[id].left);
      EXPECT_EQ(tree.right_children[id], expected[id].right);
      ASSERT_TRUE(tree.split[id].has_value());
      EXPECT_EQ(tree.split[id]->node_id, id);
      EXPECT_EQ(tree.split[id]->feature_id, expected[id].feature);
      EXPECT_EQ(tree.split[id]->value, expected[id].value);
      const auto range = learner.partition.node_range(id);
      std::vector<RowId> rows(range.begin(), range.end());
      std::sort(rows.begin(), rows.end());
      EXPECT_EQ(rows, expected[id].rows);
      saw_depth_limited_leaf |= tree.is_leaf(id) && expected[id].value.has_value();
    }
  }
  EXPECT_GT(largest, 30u) << "the table should grow sizeable trees";
  EXPECT_TRUE(saw_depth_limited_leaf);
}

// The root's candidate features in draw order, worked out with a separate generator.
std::vector<std::uint64_t> root_features(const TreeConfig& config, std::uint64_t n_rows,
                                         std::uint64_t n_features) {
  SharedRng rng(config.seed);
  rng.sample_indices(n_rows, row_draw_size(n_rows, config.subsample), true);
  return rng.sample_indices(n_features, std::min(n_features, config.max_features), false);
}

struct Scripted {
  bool has_value;
  float gain;
};

// Grows a root-only tree whose candidates, in draw order, are `script`; returns the feature
// stored at the root and whether its value is present.
std::pair<std::uint64_t, bool> chosen_at_root(const std::vector<Scripted>& script) {
  const DataMatrix data = matrix_of({{0, 1}, {0, 1}, {0, 1}, {0, 1}});
  const TreeConfig config = config_with(4, 0, 1.0f, 77);
  const std::vector<std::uint64_t> order = root_features(config, 2, 4);
  std::vector<std::uint64_t> scored;
  const SplitSearch search = [&](std::uint64_t node, std::uint64_t feature,
                                 std::span<const RowId>) {
    scored.push_back(feature);
    const std::size_t position = std::find(order.begin(), order.end(), feature) - order.begin();
    SplitInfo split;
    split.node_id = node;
    split.feature_id = feature;
    split.gain = script.at(position).gain;
    if (script.at(position).has_value) split.value = std::vector<std::uint8_t>{0};
    return split;
  };
  TreeLearner learner = TreeLearner::create(ModelKind::Classification, config);
  SharedRng rng(config.seed);
  grow_tree(learner, data, rng, search);
  EXPECT_EQ(scored, order) << "every drawn feature is scored once, in draw order";
  EXPECT_EQ(learner.tree.n_nodes(), 1u);
  const SplitInfo& stored = *learner.tree.split[0];
  const std::size_t position =
      std::find(order.begin(), order.end(), stored.feature_id) - order.begin();
  return {position, stored.value.has_value()};
}

TEST(TreeLearner, CandidateSelectionRules) {
  const float nan = std::nanf("");
  using Choice = std::pair<std::uint64_t, bool>;
  // Nothing admissible: the first drawn candidate is kept, without a value.
  EXPECT_EQ(chosen_at_root({{false, 0}, {false, 3}, {false, 9}, {false, 1}}), Choice(0, false));
  // A present value beats an earlier absent one whatever the gains; equal gains keep the earlier.
  EXPECT_EQ(chosen_at_root({{false, 5}, {true, 1}, {true, 1}, {false, 9}}), Choice(1, true));
  EXPECT_EQ(chosen_at_root({{true, 2}, {true, 2}, {true, 2.5f}, {true, 2.5f}}), Choice(2, true));
  // NaN never compares greater: neither as a challenger nor against a NaN best.
  EXPECT_EQ(chosen_at_root({{true, 1}, {true, nan}, {true, 2}, {false, 4}}), Choice(2, true));
  EXPECT_EQ(chosen_at_root({{true, nan}, {true, 3}, {true, 4}, {true, 5}}), Choice(0, true));
}

// Always splits on bin 0 of feature 0, also nodes without rows.
SplitInfo split_everything(std::uint64_t node, std::uint64_t, std::span<const RowId>) {
  SplitInfo split;
  split.node_id = node;
  split.value = std::vector<std::uint8_t>{0};
  return split;
}

TEST(TreeLearner, DepthRuleAndIdsOfACompleteTree) {
  const DataMatrix data = matrix_of({{0, 1, 0, 1}, {2, 2, 2, 2}});
  for (const std::uint64_t max_depth : {0u, 2u}) {
    const TreeConfig config = config_with(2, max_depth, 1.0f, 8);
    TreeLearner learner = TreeLearner::create(ModelKind::Regression, config);
    SharedRng rng(config.seed);
    grow_tree(learner, data, rng, split_everything);
    const TreeRecord& tree = learner.tree;
    const std::size_t n_nodes = max_depth == 0 ? 1 : 7;
    ASSERT_EQ(tree.n_nodes(), n_nodes);
    for (std::uint64_t id = 0; id < n_nodes; ++id) {
      ASSERT_TRUE(tree.split[id].has_value()) << "node " << id;
      EXPECT_TRUE(tree.split[id]->value.has_value()) << "node " << id;
      EXPECT_EQ(tree.is_leaf(id), tree.level[id] == max_depth) << "node " << id;
    }
    if (max_depth == 2) {
      using Ids = std::vector<std::optional<std::uint64_t>>;
      const std::nullopt_t none = std::nullopt;
      EXPECT_EQ(tree.level, (std::vector<std::uint64_t>{0, 1, 1, 2, 2, 2, 2}));
      EXPECT_EQ(tree.left_children, (Ids{1, 3, 5, none, none, none, none}));
      EXPECT_EQ(tree.right_children, (Ids{2, 4, 6, none, none, none, none}));
    }
    // One row draw, then exactly one feature draw per node, leaves included.
    SharedRng replay(config.seed);
    replay.sample_indices(4, 4, true);
    for (std::size_t node = 0; node < n_nodes; ++node) replay.sample_indices(2, 2, false);
    EXPECT_EQ(rng.sample_indices(1000, 3, true), replay.sample_indices(1000, 3, true));
  }
}

TEST(TreeLearner, SplitSendingEveryRowOneWayStillMakesTwoChildren) {
  const DataMatrix data = matrix_of({{0, 3, 2}});
  const SplitSearch root_only = [](std::uint64_t node, std::uint64_t, std::span<const RowId>) {
    SplitInfo split;
    split.node_id = node;
    if (node == 0) split.value = std::vector<std::uint8_t>{254};
    return split;
  };
  TreeLearner learner = TreeLearner::create(ModelKind::Classification, config_with(1, 6, 1, 4));
  SharedRng rng(4);
  grow_tree(learner, data, rng, root_only);
  ASSERT_EQ(learner.tree.n_nodes(), 3u);
  EXPECT_EQ(learner.partition.lengths, (std::vector<std::uint64_t>{3, 3, 0}));
  EXPECT_TRUE(learner.tree.is_leaf(1));
  EXPECT_TRUE(learner.tree.is_leaf(2));
}

TEST(TreeLearner, GrowingFailures) {
  const DataMatrix data = matrix_of({{0, 1, 2}});
  auto failure_of = [&](const DataMatrix& table, const TreeConfig& config) -> std::string {
    TreeLearner learner = TreeLearner::create(ModelKind::Classification, config);
    SharedRng rng(config.seed);
    try {
      grow_tree(learner, table, rng, split_everything);
    } catch (const Fault& fault) {
      return fault.what();
    }
    return "no failure";
  };
  EXPECT_EQ(failure_of(data, config_with(0, 6, 1.0f, 1)), kAbsentValueMessage);
  EXPECT_EQ(failure_of(matrix_of({}), config_with(3, 6, 1.0f, 1)), kAbsentValueMessage);
  EXPECT_EQ(failure_of(data, config_with(3, 6, 1.5f, 1)), "assertion failed: n >= k");
}

TEST(TreeLearner, EmptyDrawGivesASingleNodeWithEitherCriterion) {
  DataMatrix data = matrix_of({{0, 1, 2, 3}, {1, 0, 1, 0}}, {0, 1}, {0, 1, 0, 1}, {0, 1, 1, 0});
  for (const ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
    TreeLearner learner = TreeLearner::create(kind, config_with(2, 6, 0.0f, 3));
    SharedRng rng(3);
    grow_tree(learner, data, rng);
    EXPECT_EQ(learner.tree.n_nodes(), 1u) << tree_type_name(kind);
    ASSERT_TRUE(learner.tree.split[0].has_value());
    EXPECT_FALSE(learner.tree.split[0]->value.has_value());
    EXPECT_TRUE(learner.partition.indices.empty());
  }
}

// Checks what must hold of any grown tree, whatever the criterion decided.
void expect_consistent_tree(const TreeLearner& learner, const DataMatrix& data) {
  const TreeRecord& tree = learner.tree;
  ASSERT_EQ(learner.partition.starts.size(), tree.n_nodes());
  for (std::uint64_t id = 0; id < tree.n_nodes(); ++id) {
    SCOPED_TRACE("node " + std::to_string(id));
    ASSERT_TRUE(tree.split[id].has_value());
    const SplitInfo& split = *tree.split[id];
    EXPECT_EQ(split.node_id, id);
    EXPECT_LE(tree.level[id], learner.max_depth);
    const bool should_split = split.value.has_value() && tree.level[id] < learner.max_depth;
    ASSERT_EQ(!tree.is_leaf(id), should_split);
    if (!should_split) continue;
    const std::uint64_t left = *tree.left_children[id];
    const std::uint64_t right = *tree.right_children[id];
    EXPECT_EQ(right, left + 1);
    EXPECT_GT(left, id);
    EXPECT_EQ(tree.level[left], tree.level[id] + 1);
    const auto parent = learner.partition.node_range(id);
    const auto left_rows = learner.partition.node_range(left);
    const auto right_rows = learner.partition.node_range(right);
    EXPECT_EQ(left_rows.data(), parent.data());
    EXPECT_EQ(left_rows.size() + right_rows.size(), parent.size());
    const std::uint8_t bin = (*split.value)[0];
    for (const RowId row : left_rows) {
      EXPECT_TRUE(goes_left(split.iscat, bin, data.x[split.feature_id][row]));
    }
    for (const RowId row : right_rows) {
      EXPECT_FALSE(goes_left(split.iscat, bin, data.x[split.feature_id][row]));
    }
  }
}

TEST(TreeLearner, GrowsConsistentTreesWithTheRealCriteria) {
  // Treated rows respond to a low bin of feature 0; control rows do not.
  DataMatrix data = mixed_table(400);
  data.treatment[0].clear();
  for (std::size_t row = 0; row < 400; ++row) {
    const bool treated = row % 2 == 1;
    data.treatment[0].push_back(treated ? 1 : 0);
    const std::uint8_t bin = data.x[0][row];
    data.y[row] = treated && bin < 5 ? 1.0f : static_cast<float>(row % 3 == 0);
  }
  for (const ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
    TreeConfig config = config_with(4, 4, 1.0f, 12);
    config.min_samples_leaf = 10;
    config.min_samples_treatment = 3;
    TreeLearner learner = TreeLearner::create(kind, config);
    SharedRng rng(12);
    grow_tree(learner, data, rng);
    SCOPED_TRACE(tree_type_name(kind));
    EXPECT_GT(learner.tree.n_nodes(), 1u);
    expect_consistent_tree(learner, data);
  }
}

// Runs `body` on a thread with a small stack, rethrowing whatever it throws.
void run_with_small_stack(void (*body)(void*), void* argument) {
  struct Job {
    void (*body)(void*);
    void* argument;
    std::exception_ptr error;
  } job{body, argument, nullptr};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 512 * 1024);
  pthread_t thread;
  const int created = pthread_create(
      &thread, &attributes,
      [](void* raw) -> void* {
        auto* running = static_cast<Job*>(raw);
        try {
          running->body(running->argument);
        } catch (...) {
          running->error = std::current_exception();
        }
        return nullptr;
      },
      &job);
  pthread_attr_destroy(&attributes);
  ASSERT_EQ(created, 0);
  pthread_join(thread, nullptr);
  if (job.error) std::rethrow_exception(job.error);
}

TEST(TreeLearner, ChainOfAHundredThousandLevelsDoesNotExhaustTheStack) {
  constexpr std::uint64_t kDepth = 100000;
  static const DataMatrix data = matrix_of({{0, 0, 0}});
  static TreeLearner learner;
  learner = TreeLearner::create(ModelKind::Classification, config_with(1, kDepth, 1.0f, 6));
  // Every non-empty node splits with all rows going left, so the left spine has kDepth levels.
  run_with_small_stack(
      [](void*) {
        SharedRng rng(6);
        grow_tree(learner, data, rng,
                  [](std::uint64_t node, std::uint64_t, std::span<const RowId> rows) {
                    SplitInfo split;
                    split.node_id = node;
                    if (!rows.empty()) split.value = std::vector<std::uint8_t>{0};
                    return split;
                  });
      },
      nullptr);
  const TreeRecord& tree = learner.tree;
  ASSERT_EQ(tree.n_nodes(), 2 * kDepth + 1);
  EXPECT_EQ(tree.left_children[1], 3u);
  EXPECT_EQ(tree.right_children[1], 4u);
  EXPECT_EQ(tree.level[2 * kDepth - 1], kDepth);
  EXPECT_TRUE(tree.is_leaf(2 * kDepth - 1));
  EXPECT_EQ(learner.partition.lengths[2 * kDepth - 1], 3u);
  learner = TreeLearner{};
}

}  // namespace
}  // namespace quorvanta
