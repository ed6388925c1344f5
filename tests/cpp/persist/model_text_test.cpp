#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "persist/json_writer.hpp"
#include "persist/model_text.hpp"
#include "persist/text_blocks.hpp"
#include "persist_test_support.hpp"

namespace quorvanta {
namespace {

using testing::err_value;
using testing::fault_message;
using Parts = std::vector<std::string_view>;

const std::string kAbsent(kAbsentValueMessage);

TEST(TextBlocks, SplitsOnBlankLinesLeftToRight) {
  EXPECT_EQ(split_blocks(""), (Parts{""}));
  EXPECT_EQ(split_blocks("a\n\nb\n\n"), (Parts{"a", "b", ""}));
  EXPECT_EQ(split_blocks("a\n\n\nb"), (Parts{"a", "\nb"}));
  EXPECT_EQ(split_blocks("a\n\n\n\nb"), (Parts{"a", "", "b"}));
  EXPECT_EQ(split_blocks("\n\n"), (Parts{"", ""}));
  EXPECT_EQ(split_blocks("a\r\n\r\nb"), (Parts{"a\r\n\r\nb"}));
}

TEST(TextBlocks, SplitsBlocksIntoLines) {
  EXPECT_EQ(split_lines(""), (Parts{""}));
  EXPECT_EQ(split_lines("a"), (Parts{"a"}));
  EXPECT_EQ(split_lines("a\n"), (Parts{"a", ""}));
  EXPECT_EQ(split_lines("\n"), (Parts{"", ""}));
  EXPECT_EQ(split_lines("\nb"), (Parts{"", "b"}));
  EXPECT_EQ(split_lines("a\n\nb\nc"), (Parts{"a", "", "b", "c"}));
}

// A small trained-looking model: one numeric and one categorical feature, `n_trees` trees.
struct ModelParts {
  TreeConfig config;
  DataLoader loader;
  std::vector<TreeLearner> trees;
};

TreeRecord two_leaf_tree(float gain) {
  TreeRecord tree = TreeRecord::with_root();
  tree.add_left_child(0);
  tree.add_right_child(0);
  SplitInfo root;
  root.feature_id = 1;
  root.iscat = true;
  root.value = std::vector<std::uint8_t>{2};
  root.gain = gain;
  root.gain_importance = 0.125f;
  root.summary = {{0.25f, 8.0f}, {0.5f, 4.0f}};
  tree.split[0] = root;
  for (std::uint64_t leaf : {1u, 2u}) {
    SplitInfo split;
    split.node_id = leaf;
    split.summary = {{0.1f * leaf, 4.0f}, {0.3f, 2.0f}};
    tree.split[leaf] = split;
  }
  return tree;
}

ModelParts sample_model(std::uint64_t n_trees, ModelKind kind = ModelKind::Classification) {
  TreeConfig config;
  config.feature_cols = {"x", "c"};
  config.cat_cols = {"c"};
  config.treatment_cols = {"t"};
  config.y_col = "y";
  config.n_tree = n_trees;
  config.seed = 7;
  OrderedMap<ContinuousBin> continuous;
  continuous.insert_or_assign("x", ContinuousBin{3, {0.5f, 2.5e-7f}});
  OrderedMap<DiscreteBin> discrete;
  discrete.insert_or_assign("c", DiscreteBin{2, {3.0f, -1.0f}});
  DataLoader loader(config.feature_cols, config.y_col, config.treatment_cols, config.weight_col,
                    config.cat_cols, config.n_bin, continuous, discrete);
  std::vector<TreeLearner> trees;
  for (std::uint64_t t = 0; t < n_trees; ++t) {
    TreeConfig tree_config = config;
    tree_config.max_depth = 3 + t;
    TreeLearner learner = TreeLearner::create(kind, tree_config);
    learner.tree = two_leaf_tree(1.5f + t);
    trees.push_back(std::move(learner));
  }
  return {config, std::move(loader), std::move(trees)};
}

std::string text_of(const ModelParts& model) {
  return model_to_text(model.config, model.loader, model.trees);
}

void expect_same_model(const LoadedModel& loaded, const ModelParts& model) {
  EXPECT_EQ(loaded.config, model.config);
  EXPECT_EQ(loaded.loader.feature_cols(), model.loader.feature_cols());
  EXPECT_EQ(loaded.loader.n_bin(), model.loader.n_bin());
  EXPECT_TRUE(loaded.loader.continuous_bins() == model.loader.continuous_bins());
  EXPECT_TRUE(loaded.loader.discrete_bins() == model.loader.discrete_bins());
  ASSERT_EQ(loaded.trees.size(), model.trees.size());
  for (std::size_t t = 0; t < model.trees.size(); ++t) {
    EXPECT_TRUE(loaded.trees[t] == model.trees[t]) << "tree " << t;
  }
}

TEST(ModelText, WritesConfigBinsAndTreesAsBlocks) {
  const ModelParts model = sample_model(2);
  const std::string text = text_of(model);
  const Parts blocks = split_blocks(text);
  ASSERT_EQ(blocks.size(), 6u);
  EXPECT_EQ(blocks[0], tree_config_to_json(model.config));
  EXPECT_EQ(blocks[1], "Continuous\nx\n{\"n_bin\":3,\"threshold\":[0.5,2.5e-7]}");
  EXPECT_EQ(blocks[2], "Discrete\nc\n{\"n_bin\":2,\"mapping\":[3.0,-1.0]}");
  EXPECT_EQ(blocks[3], tree_config_to_json(model.trees[0].config) + "\n" +
                           tree_record_to_json(model.trees[0].tree));
  EXPECT_EQ(blocks[5], "");
  EXPECT_EQ(text.substr(text.size() - 3), "}\n\n");

  const ModelParts empty{TreeConfig{}, DataLoader({}, "", {}, "", {}, 30), {}};
  EXPECT_EQ(text_of(empty), tree_config_to_json(TreeConfig{}) + "\n\n");
}

TEST(ModelText, ReadsBackWhatItWrites) {
  for (ModelKind kind : {ModelKind::Classification, ModelKind::Regression}) {
    const ModelParts model = sample_model(3, kind);
    expect_same_model(model_from_text(kind, text_of(model)), model);
  }
  // The file records no kind: a classification file reads as a regression forest.
  const LoadedModel as_regression =
      model_from_text(ModelKind::Regression, text_of(sample_model(1)));
  ASSERT_EQ(as_regression.trees.size(), 1u);
  EXPECT_EQ(as_regression.trees[0].kind, ModelKind::Regression);
  EXPECT_TRUE(as_regression.trees[0].tree == sample_model(1).trees[0].tree);
}

TEST(ModelText, NonFiniteFloatsLoadAsWritten) {
  ModelParts model = sample_model(1);
  model.trees[0].tree.split[0]->gain = std::numeric_limits<float>::infinity();
  model.trees[0].tree.split[1]->summary[0][0] = std::numeric_limits<float>::quiet_NaN();
  const LoadedModel loaded = model_from_text(ModelKind::Classification, text_of(model));
  EXPECT_EQ(loaded.trees.at(0).tree.split[0]->gain, std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(loaded.trees.at(0).tree.split[1]->summary[0][0]));
}

TEST(ModelText, BinBlocksAreTakenByPosition) {
  const std::string config_block = tree_config_to_json(sample_model(0).config);
  // Two continuous blocks, the second replacing the first under the same name; the lines after
  // the third are ignored.
  const LoadedModel loaded =
      model_from_text(ModelKind::Regression, config_block +
                                                 "\n\nContinuous\nx\n[2,[1.0]]\n\nContinuous\nx\n"
                                                 "[3,[1.0,2.0]]\nignored\n\n");
  ASSERT_EQ(loaded.loader.continuous_bins().size(), 1u);
  EXPECT_EQ(loaded.loader.continuous_bins().find("x")->threshold.size(), 2u);
  EXPECT_TRUE(loaded.loader.discrete_bins().empty());

  auto load = [&](const std::string& rest) {
    return fault_message([&] { model_from_text(ModelKind::Regression, config_block + rest); });
  };
  EXPECT_EQ(load("\n\nOrdinal\nx\n[2,[1.0]]\n\n"), "bin_type Ordinal unknown");
  EXPECT_EQ(load("\n\nOrdinal\nx\n\n"), kAbsent);  // too few lines before the kind is looked at
  // A final line feed starts an empty third line, which does not parse as a record.
  EXPECT_EQ(load("\n\nContinuous\nx\n"), err_value("EOF while parsing a value at line 1 column 1"));
  EXPECT_EQ(load("\n\n\n\n"), kAbsent);                      // an empty bin block is a single line
  EXPECT_EQ(load("\n\nContinuous\nx\n[2,[1.0]]"), kAbsent);  // second bin block missing
  // More categories than bin indices would map values onto the missing-cell marker.
  std::string many = "[256,[";
  for (int i = 0; i < 255; ++i) {
    if (i > 0) many += ',';
    many += std::to_string(i);
  }
  many += "]]";
  EXPECT_EQ(load("\n\nDiscrete\nc\n" + many + "\n\n"),
            "bin of feature c has 255 entries, more than the 254 a bin index can tell apart");
  EXPECT_EQ(load("\n\nDiscrete\nc\n[2]\n\n"),
            err_value("invalid length 1, expected struct DiscreteBin with 2 elements at line 1 "
                      "column 4"));
}

TEST(ModelText, FailuresOfTheConfigurationAndTreeBlocks) {
  EXPECT_EQ(fault_message([] { model_from_text(ModelKind::Regression, ""); }),
            err_value("EOF while parsing a value at line 1 column 1"));
  // Saved before any fit: one feature, no bin block.
  TreeConfig unfitted;
  unfitted.feature_cols = {"x"};
  EXPECT_EQ(fault_message([&] {
              model_from_text(ModelKind::Regression, tree_config_to_json(unfitted) + "\n\n");
            }),
            kAbsent);
  TreeConfig wide;
  wide.n_bin = 255;
  wide.n_tree = 0;
  EXPECT_EQ(
      fault_message([&] { model_from_text(ModelKind::Regression, tree_config_to_json(wide)); }),
      "n_bin 255 exceeds max 255");

  const ModelParts model = sample_model(1);
  const std::string head = model_to_text(model.config, model.loader, {});
  const std::string tree_config = tree_config_to_json(model.trees[0].config);
  auto load_tree = [&](const std::string& block) {
    return fault_message([&] { model_from_text(ModelKind::Classification, head + block); });
  };
  // An empty block is one empty line, which does not parse as a configuration.
  EXPECT_EQ(load_tree(""), err_value("EOF while parsing a value at line 1 column 1"));
  EXPECT_EQ(load_tree(tree_config + "\n\n"), kAbsent);
  EXPECT_EQ(load_tree(tree_config + "\n[[0],[null],[null]]\n\n"),
            err_value("invalid length 3, expected struct ClassificationTree with 4 elements at "
                      "line 1 column 20"));
}

TEST(ModelText, TakesWholeTreeBlocksBeyondTheConfiguredCount) {
  // A model fitted twice holds 2 x n_tree trees.
  ModelParts model = sample_model(4);
  model.config.n_tree = 2;
  const std::string text = text_of(model);
  expect_same_model(model_from_text(ModelKind::Classification, text), model);

  // Cut anywhere after the configured trees, the file no longer loads: a shorter forest would
  // predict otherwise. Only a cut at a block boundary leaves a file that a save could have written.
  const std::string head_and_two =
      text_of(ModelParts{model.config, model.loader, {model.trees[0], model.trees[1]}});
  std::size_t loaded_cuts = 0;
  for (std::size_t cut = head_and_two.size(); cut < text.size(); ++cut) {
    const std::string cut_text = text.substr(0, cut);
    try {
      const LoadedModel loaded = model_from_text(ModelKind::Classification, cut_text);
      ++loaded_cuts;
      EXPECT_TRUE(cut_text.ends_with("\n\n")) << "a file cut at " << cut << " loaded";
      EXPECT_EQ(text_of(ModelParts{loaded.config, loaded.loader, loaded.trees}), cut_text);
    } catch (const Fault&) {
    }
  }
  EXPECT_EQ(loaded_cuts, 2u);  // right after the second and after the third tree block

  // Text after the last tree, or a damaged further tree, is a failure, not the end of the file.
  EXPECT_THROW(model_from_text(ModelKind::Classification, text + "notes\nmore\n"), Fault);
  const std::string tree_config = tree_config_to_json(model.trees[0].config);
  EXPECT_EQ(fault_message([&] {
              model_from_text(ModelKind::Classification,
                              text + tree_config + "\n[[0,1],[null],[null],[null]]\n\n");
            }),
            "tree 4: node arrays differ in length (level 2, left_children 1, right_children 1, "
            "split 1)");
  // A whole tree block that the final separator does not close was cut short.
  EXPECT_EQ(fault_message([&] {
              model_from_text(ModelKind::Classification,
                              text + tree_config + "\n" + tree_record_to_json(two_leaf_tree(0)));
            }),
            err_value("the text after the last tree block is not empty: the file ends inside a "
                      "block"));
}

TEST(ModelText, BlankLinesAfterTheTreesFailWithoutHoldingABlockEach) {
  ModelParts model = sample_model(1);
  const std::string text = text_of(model) + std::string(1 << 20, '\n');
  EXPECT_EQ(fault_message([&] { model_from_text(ModelKind::Classification, text); }),
            err_value("EOF while parsing a value at line 1 column 1"));
  BlockCursor blocks("a\n\n\n\nb");
  EXPECT_EQ(blocks.next(), "a");
  EXPECT_FALSE(blocks.at_end());
  EXPECT_EQ(blocks.next(), "");
  EXPECT_EQ(blocks.next(), "b");
  EXPECT_TRUE(blocks.at_end());
  EXPECT_EQ(blocks.next(), std::nullopt);
}

TEST(ModelText, OwnTextReadsBackModelsInEveryState) {
  for (std::size_t n_trees : {0u, 1u, 3u}) {
    ModelParts model = sample_model(n_trees);
    model.config.n_tree = 2;  // untrained, fitted short of the count, fitted beyond it
    const std::string text = text_of(model);
    const LoadedModel loaded = model_from_own_text(ModelKind::Classification, text);
    EXPECT_EQ(text_of(ModelParts{loaded.config, loaded.loader, loaded.trees}), text);
    EXPECT_EQ(loaded.trees.size(), n_trees);
  }
  ModelParts untrained = sample_model(0);
  untrained.loader = DataLoader(untrained.config.feature_cols, untrained.config.y_col,
                                untrained.config.treatment_cols, untrained.config.weight_col,
                                untrained.config.cat_cols, untrained.config.n_bin);
  const std::string bare = text_of(untrained);
  EXPECT_EQ(text_of([&] {
              LoadedModel loaded = model_from_own_text(ModelKind::Regression, bare);
              return ModelParts{loaded.config, loaded.loader, loaded.trees};
            }()),
            bare);
  EXPECT_THROW(model_from_own_text(ModelKind::Regression, bare.substr(0, bare.size() - 1)), Fault);
}

TEST(ModelText, ALoadedBinUnderAnUnlistedNameIsNotWrittenBack) {
  // Bin blocks are taken by position, so a file can hold a bin for a feature it does not list.
  TreeConfig config = sample_model(0).config;
  config.feature_cols = {"x", "x"};
  config.cat_cols = {};
  config.n_tree = 0;
  const std::string text = tree_config_to_json(config) +
                           "\n\nContinuous\nx\n[2,[1.0]]\n\nContinuous\nunlisted\n[2,[3.0]]\n\n";
  const LoadedModel loaded = model_from_text(ModelKind::Regression, text);
  const std::string written = text_of(ModelParts{loaded.config, loaded.loader, loaded.trees});
  EXPECT_EQ(written.find("unlisted"), std::string::npos);
  const LoadedModel again = model_from_text(ModelKind::Regression, written);
  EXPECT_EQ(text_of(ModelParts{again.config, again.loader, again.trees}), written);
}

TEST(ModelText, RefusesTreesWithABrokenNodeStructure) {
  auto load = [&](TreeRecord tree) {
    ModelParts damaged = sample_model(1);
    damaged.trees[0].tree = std::move(tree);
    const std::string text = text_of(damaged);
    return fault_message([&] { model_from_text(ModelKind::Regression, text); });
  };
  TreeRecord tree = two_leaf_tree(1.0f);
  tree.split.pop_back();
  EXPECT_EQ(load(tree),
            "tree 0: node arrays differ in length (level 3, left_children 3, "
            "right_children 3, split 2)");
  EXPECT_EQ(load(TreeRecord{}), "tree 0: has no nodes");

  tree = two_leaf_tree(1.0f);
  tree.right_children[0].reset();
  EXPECT_EQ(load(tree), "tree 0: node 0 has a left child but no right child");
  tree = two_leaf_tree(1.0f);
  tree.left_children[0].reset();
  EXPECT_EQ(load(tree), "tree 0: node 0 has a right child but no left child");

  // A child pointing back makes a cycle.
  tree = two_leaf_tree(1.0f);
  tree.add_left_child(2);
  tree.add_right_child(2);
  tree.left_children[2] = 0;
  EXPECT_EQ(load(tree), "tree 0: node 2 has child 0 that does not come after it");
  tree.left_children[2] = 2;
  EXPECT_EQ(load(tree), "tree 0: node 2 has child 2 that does not come after it");
  tree.left_children[2] = 9;
  EXPECT_EQ(load(tree), "tree 0: node 2 has child 9 but the tree has 5 nodes");
  // Shared children would make routing visit nodes exponentially often.
  tree.left_children[2] = 4;
  EXPECT_EQ(load(tree), "tree 0: node 2 has node 4 as both children");
  tree.left_children[2] = 3;
  tree.right_children[2] = 1;
  EXPECT_EQ(load(tree), "tree 0: node 2 has child 1 that does not come after it");
  tree = two_leaf_tree(1.0f);
  tree.add_left_child(1);
  tree.add_right_child(1);
  tree.add_left_child(2);
  tree.add_right_child(2);
  tree.left_children[2] = 4;
  EXPECT_EQ(load(tree), "tree 0: node 4 is a child of both node 1 and node 2");
}

// A feature listed twice has one bin entry; the file still holds one bin block per listing.
TEST(ModelText, RepeatedFeaturesGetABinBlockPerListing) {
  ModelParts model = sample_model(2);
  const std::string plain = text_of(model);
  model.config.feature_cols = {"x", "c", "x", "c", "x"};
  const std::string text = text_of(model);
  const Parts blocks = split_blocks(text);
  ASSERT_EQ(blocks.size(), 1u + 5u + 2u + 1u);
  EXPECT_EQ(blocks[1], "Continuous\nx\n{\"n_bin\":3,\"threshold\":[0.5,2.5e-7]}");
  EXPECT_EQ(blocks[2], "Discrete\nc\n{\"n_bin\":2,\"mapping\":[3.0,-1.0]}");
  EXPECT_EQ(blocks[3], blocks[1]);
  EXPECT_EQ(blocks[4], blocks[2]);
  EXPECT_EQ(blocks[5], blocks[1]);
  const LoadedModel loaded = model_from_text(ModelKind::Classification, text);
  EXPECT_EQ(loaded.config.feature_cols, model.config.feature_cols);
  EXPECT_TRUE(loaded.loader.continuous_bins() == model.loader.continuous_bins());
  EXPECT_TRUE(loaded.loader.discrete_bins() == model.loader.discrete_bins());
  EXPECT_EQ(loaded.trees.size(), 2u);
  EXPECT_EQ(model_to_text(loaded.config, loaded.loader, loaded.trees), text);
  // Without repeated names nothing changes.
  model.config.feature_cols = {"x", "c"};
  EXPECT_EQ(text_of(model), plain);
}

TEST(ModelText, RefusesFeatureNamesThatNoLineCanHold) {
  for (const std::string& name : {std::string(), std::string("a\nb"), std::string("\n")}) {
    TreeConfig config;
    config.feature_cols = {name};
    OrderedMap<ContinuousBin> continuous;
    continuous.insert_or_assign(name, ContinuousBin{});
    const DataLoader loader(config.feature_cols, "", {}, "", {}, 30, continuous, {});
    std::string quoted;
    append_json_string(quoted, name);
    EXPECT_EQ(fault_message([&] { model_to_text(config, loader, {}); }),
              "feature " + quoted +
                  " cannot be saved: a model file keeps each feature name on a line of its own, "
                  "so a name must not be empty or hold a line feed");
  }
  // Names on their own lines may hold anything else, a carriage return included.
  ModelParts model = sample_model(0);
  OrderedMap<DiscreteBin> discrete;
  discrete.insert_or_assign("c\r\t\"", DiscreteBin{1, {2.0f}});
  const DataLoader loader({"c\r\t\""}, "", {}, "", {"c\r\t\""}, 30, {}, discrete);
  model.config.feature_cols = {"c\r\t\""};
  const LoadedModel loaded =
      model_from_text(ModelKind::Regression, model_to_text(model.config, loader, {}));
  EXPECT_TRUE(loaded.loader.discrete_bins() == discrete);
}

}  // namespace
}  // namespace quorvanta
