#include "common/tree_config.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

namespace quorvanta {
namespace {

TEST(TreeConfigFields, NamesAndConfKeysInDeclaredOrder) {
  std::vector<std::string> names;
  std::vector<std::string> keys;
  for_each_config_field([&](const auto& field) {
    names.emplace_back(field.name);
    keys.emplace_back(field.conf_key);
  });
  EXPECT_EQ(names, (std::vector<std::string>{"index_cols", "feature_cols", "cat_cols",
                                             "treatment_cols", "y_col", "weight_col", "n_bin",
                                             "min_samples_leaf", "min_samples_treatment", "n_reg",
                                             "alpha", "normalization", "max_features", "max_depth",
                                             "n_tree", "subsample", "n_thread", "seed"}));
  EXPECT_EQ(keys,
            (std::vector<std::string>{"index", "feature", "cat", "treatment", "y", "weight",
                                      "n_bin", "min_samples_leaf", "min_samples_treatment", "n_reg",
                                      "alpha", "normalization", "max_features", "max_depth",
                                      "n_tree", "subsample", "n_thread", "seed"}));
  EXPECT_EQ(kTreeConfigFieldCount, 18u);
}

// Changing any one field through its table entry is seen by the record's comparison, and each
// entry changes a member of its own: the table reaches every field exactly once.
TEST(TreeConfigFields, EachEntryReachesItsOwnMember) {
  std::set<const void*> members;
  const TreeConfig defaults;
  for_each_config_field([&](const auto& field) {
    using Type = typename std::remove_cvref_t<decltype(field)>::Type;
    TreeConfig changed;
    if constexpr (std::is_same_v<Type, std::vector<std::string>>) {
      changed.*field.member = {"a"};
    } else if constexpr (std::is_same_v<Type, std::string>) {
      changed.*field.member = "a";
    } else if constexpr (std::is_same_v<Type, bool>) {
      changed.*field.member = !(changed.*field.member);
    } else if constexpr (std::is_same_v<Type, std::optional<std::uint64_t>>) {
      changed.*field.member = 3;
    } else {
      changed.*field.member = Type{123};
    }
    EXPECT_NE(changed, defaults) << field.name;
    EXPECT_TRUE(members.insert(static_cast<const void*>(&(defaults.*field.member))).second)
        << field.name;
  });
  EXPECT_EQ(members.size(), kTreeConfigFieldCount);
}

TEST(TreeConfigFields, Defaults) {
  const TreeConfig config;
  EXPECT_EQ(config.n_bin, 30u);
  EXPECT_EQ(config.min_samples_leaf, 100u);
  EXPECT_EQ(config.min_samples_treatment, 10u);
  EXPECT_EQ(config.n_reg, 10u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(config.alpha), 0x3F666666u);
  EXPECT_TRUE(config.normalization);
  EXPECT_EQ(config.max_features, 10u);
  EXPECT_EQ(config.max_depth, 6u);
  EXPECT_EQ(config.n_tree, 100u);
  EXPECT_EQ(config.subsample, 1.0f);
  EXPECT_EQ(config.n_thread, 1u);
  EXPECT_FALSE(config.seed.has_value());
  EXPECT_TRUE(config.feature_cols.empty() && config.y_col.empty());
}

}  // namespace
}  // namespace quorvanta
