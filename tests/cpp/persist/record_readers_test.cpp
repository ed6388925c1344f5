#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "persist/model_text.hpp"
#include "persist_test_support.hpp"

namespace quorvanta {
namespace {

using testing::err_value;
using testing::fault_message;

const char* const kConfigJson =
    "{\"index_cols\":[\"id\"],\"feature_cols\":[\"x\",\"c\"],\"cat_cols\":[\"c\"],"
    "\"treatment_cols\":[\"t\"],\"y_col\":\"y\",\"weight_col\":\"w\",\"n_bin\":20,"
    "\"min_samples_leaf\":5,\"min_samples_treatment\":2,\"n_reg\":3,\"alpha\":0.5,"
    "\"normalization\":false,\"max_features\":4,\"max_depth\":3,\"n_tree\":2,\"subsample\":0.75,"
    "\"n_thread\":2,\"seed\":42}";

TEST(RecordReaders, TreeConfigRoundTripsThroughItsJson) {
  const TreeConfig config = parse_tree_config(kConfigJson);
  EXPECT_EQ(config.index_cols, std::vector<std::string>{"id"});
  EXPECT_EQ(config.cat_cols, std::vector<std::string>{"c"});
  EXPECT_EQ(config.n_bin, 20u);
  EXPECT_EQ(config.alpha, 0.5f);
  EXPECT_FALSE(config.normalization);
  EXPECT_EQ(config.subsample, 0.75f);
  EXPECT_EQ(config.seed, 42u);
  EXPECT_EQ(tree_config_to_json(config), kConfigJson);
}

TEST(RecordReaders, ObjectMembersInAnyOrderWithUnknownKeysAndOptionalSeed) {
  const std::string text =
      " {\"seed\":null,\"n_thread\":1,\"subsample\":1,\"n_tree\":0,\"max_depth\":6,"
      "\"extra\":{\"deep\":[1,{\"a\":null}],\"s\":\"}\"},\"max_features\":10,"
      "\"normalization\":true,\"alpha\":0.9,\"n_reg\":10,\"min_samples_treatment\":10,"
      "\"min_samples_leaf\":100,\"n_bin\":30,\"weight_col\":\"\",\"y_col\":\"\","
      "\"treatment_cols\":[],\"cat_cols\":[],\"feature_cols\":[],\"index_cols\":[]}\n ";
  TreeConfig expected;
  expected.n_tree = 0;
  EXPECT_EQ(parse_tree_config(text), expected);

  std::string without_seed = tree_config_to_json(expected);
  without_seed.replace(without_seed.find(",\"seed\":null"), 12, "");
  EXPECT_EQ(parse_tree_config(without_seed), expected);
}

TEST(RecordReaders, RecordLevelMessages) {
  EXPECT_EQ(fault_message([] { parse_continuous_bin("{\"n_bin\":1}"); }),
            err_value("missing field `threshold` at line 1 column 12"));
  EXPECT_EQ(
      fault_message([] { parse_continuous_bin("{\"n_bin\":1,\"threshold\":[],\"n_bin\":2}"); }),
      err_value("duplicate field `n_bin` at line 1 column 27"));
  EXPECT_EQ(fault_message([] { parse_discrete_bin("[1]"); }),
            err_value("invalid length 1, expected struct DiscreteBin with 2 elements at line 1 "
                      "column 4"));
  EXPECT_EQ(fault_message([] { parse_discrete_bin("[1,[],[],2]"); }),
            err_value("invalid length 4, expected struct DiscreteBin with 2 elements at line 1 "
                      "column 12"));
  EXPECT_EQ(fault_message([] { parse_tree_config("5"); }),
            err_value("invalid type: integer `5`, expected struct TreeConfig at line 1 column 1"));
  EXPECT_EQ(fault_message([] { parse_tree_record("[[0]]", ModelKind::Regression); }),
            err_value("invalid length 1, expected struct RegressionTree with 4 elements at line 1 "
                      "column 6"));
  EXPECT_EQ(fault_message([] { parse_tree_record("\"t\"", ModelKind::Classification); }),
            err_value("invalid type: string \"t\", expected struct ClassificationTree at line 1 "
                      "column 1"));
  EXPECT_EQ(fault_message([] { parse_continuous_bin("[1,[]] x"); }),
            err_value("trailing characters at line 1 column 8"));
}

TEST(RecordReaders, SplitInfoOptionalValueAndRequiredGain) {
  const std::string split_without_value =
      "{\"node_id\":0,\"feature_id\":1,\"treatment_id\":0,\"iscat\":false,\"gain\":1.5,"
      "\"gain_importance\":2,\"summary\":[[0.5,3]]}";
  const TreeRecord tree = parse_tree_record(
      "{\"level\":[0],\"left_children\":[null],\"right_children\":[null],\"split\":[" +
          split_without_value + "]}",
      ModelKind::Classification);
  ASSERT_TRUE(tree.split.at(0).has_value());
  EXPECT_FALSE(tree.split[0]->value.has_value());
  EXPECT_EQ(tree.split[0]->feature_id, 1u);
  EXPECT_EQ(tree.split[0]->summary, (Matrix{{0.5f, 3.0f}}));

  std::string without_gain = split_without_value;
  without_gain.replace(without_gain.find("\"gain\":1.5,"), 11, "");
  EXPECT_EQ(fault_message([&] {
              parse_tree_record("[[0],[null],[null],[" + without_gain + "]]",
                                ModelKind::Classification);
            }),
            err_value("missing field `gain` at line 1 column 120"));
}

TEST(RecordReaders, ContinuousBinChoosesHowToBinWhenRead) {
  EXPECT_FALSE(parse_continuous_bin("{\"n_bin\":3,\"threshold\":[1.0,2.0]}").counts_thresholds);
  EXPECT_TRUE(parse_continuous_bin("[4,[2.0,1.0,3.0]]").counts_thresholds);
  EXPECT_TRUE(parse_continuous_bin("{\"n_bin\":3,\"threshold\":[1.0,null]}").counts_thresholds);
}

TEST(RecordReaders, NullFloatsReadAsNaN) {
  const ContinuousBin bin = parse_continuous_bin("{\"n_bin\":2,\"threshold\":[null,1.0]}");
  ASSERT_EQ(bin.threshold.size(), 2u);
  EXPECT_TRUE(std::isnan(bin.threshold[0]));
  TreeRecord tree = TreeRecord::with_root();
  SplitInfo split;
  split.gain = std::numeric_limits<float>::quiet_NaN();
  split.summary = {{std::numeric_limits<float>::quiet_NaN(), 1.0f}};
  tree.split[0] = split;
  const TreeRecord back = parse_tree_record(tree_record_to_json(tree), ModelKind::Regression);
  EXPECT_TRUE(std::isnan(back.split[0]->gain));
  EXPECT_TRUE(std::isnan(back.split[0]->summary[0][0]));
  EXPECT_EQ(back.split[0]->summary[0][1], 1.0f);
}

// Every float field keeps its infinities through writing and reading.
TEST(RecordReaders, InfinitiesRoundTripInEveryFloatField) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  TreeConfig config;
  config.alpha = kInf;
  config.subsample = -kInf;
  const TreeConfig config_back = parse_tree_config(tree_config_to_json(config));
  EXPECT_EQ(config_back.alpha, kInf);
  EXPECT_EQ(config_back.subsample, -kInf);

  const ContinuousBin bin{3, {-kInf, kInf}};
  EXPECT_EQ(parse_continuous_bin(continuous_bin_to_json(bin)).threshold, bin.threshold);
  const DiscreteBin categories{3, {kInf, -kInf, 1.0f}};
  EXPECT_EQ(parse_discrete_bin(discrete_bin_to_json(categories)).mapping, categories.mapping);

  TreeRecord tree = TreeRecord::with_root();
  SplitInfo split;
  split.gain = kInf;
  split.gain_importance = -kInf;
  split.summary = {{kInf, -kInf}, {0.5f, kInf}};
  tree.split[0] = split;
  const TreeRecord back = parse_tree_record(tree_record_to_json(tree), ModelKind::Regression);
  EXPECT_EQ(back.split[0]->gain, kInf);
  EXPECT_EQ(back.split[0]->gain_importance, -kInf);
  EXPECT_EQ(back.split[0]->summary, split.summary);
}

TEST(RecordReaders, IntegerRules) {
  auto bin_message = [](const std::string& n_bin) {
    return fault_message([&] { parse_continuous_bin("[" + n_bin + ",[]]"); });
  };
  EXPECT_EQ(parse_continuous_bin("[18446744073709551615,[]]").n_bin, 18446744073709551615ull);
  EXPECT_EQ(bin_message("18446744073709551616"),
            err_value("invalid value: integer `18446744073709551616`, expected u64 at line 1 "
                      "column 2"));
  EXPECT_EQ(bin_message("-1"),
            err_value("invalid value: integer `-1`, expected u64 at line 1 column 2"));
  EXPECT_EQ(bin_message("1.0"),
            err_value("invalid type: floating point `1.0`, expected u64 at line 1 column 2"));
  EXPECT_EQ(bin_message("1e2"),
            err_value("invalid type: floating point `1e2`, expected u64 at line 1 column 2"));
  EXPECT_EQ(bin_message("\"x\""),
            err_value("invalid type: string \"x\", expected u64 at line 1 column 2"));
  EXPECT_EQ(bin_message("null"), err_value("invalid type: null, expected u64 at line 1 column 2"));
  EXPECT_EQ(bin_message("01"), err_value("invalid number at line 1 column 3"));

  const std::string split = "[0,0,0,true,[255,0],0,0,[]]";
  const TreeRecord tree =
      parse_tree_record("[[0],[null],[null],[" + split + "]]", ModelKind::Regression);
  EXPECT_EQ(tree.split[0]->value, (std::vector<std::uint8_t>{255, 0}));
  EXPECT_EQ(fault_message([] {
              parse_tree_record("[[0],[null],[null],[[0,0,0,true,[256],0,0,[]]]]",
                                ModelKind::Regression);
            }),
            err_value("invalid value: integer `256`, expected u8 at line 1 column 34"));
  EXPECT_EQ(fault_message([] {
              parse_tree_record("[[0],[null],[null],[[0,0,0,1,null,0,0,[]]]]",
                                ModelKind::Regression);
            }),
            err_value("invalid type: integer `1`, expected a boolean at line 1 column 28"));
}

TEST(RecordReaders, FloatRules) {
  auto threshold = [](const std::string& number) {
    return parse_continuous_bin("[2,[" + number + "]]").threshold.at(0);
  };
  EXPECT_EQ(threshold("0.1"), 0.1f);
  EXPECT_EQ(threshold("-7"), -7.0f);
  EXPECT_EQ(threshold("1E-2"), 0.01f);
  EXPECT_EQ(threshold("1e39"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(threshold("-1e39"), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(threshold("3.4028235e38"), std::numeric_limits<float>::max());
  EXPECT_EQ(threshold("1e-400"), 0.0f);
  EXPECT_TRUE(std::signbit(threshold("-0.0001e-400")));
  // Rounds to nearest double first, then to nearest float.
  EXPECT_EQ(threshold("1.00000005960464477539"), 1.0f);
  EXPECT_EQ(fault_message([&] { threshold("1e400"); }),
            err_value("number out of range at line 1 column 5"));
  EXPECT_EQ(fault_message([&] { threshold("0.0001e400"); }),
            err_value("number out of range at line 1 column 5"));
  EXPECT_EQ(fault_message([&] { threshold("true"); }),
            err_value("invalid type: boolean `true`, expected f32 at line 1 column 5"));
  EXPECT_EQ(fault_message([&] { threshold("{}"); }),
            err_value("invalid type: map, expected f32 at line 1 column 5"));
}

TEST(RecordReaders, StringsAreUnescaped) {
  const TreeConfig config = parse_tree_config(
      "[[],[\"a\\\"\\\\\\/"
      "\\b\\f\\n\\r\\t\",\"\\u00e9\\ud83d\\ude00\",\"\xc3\xa9\"],[],[],\"\",\"\","
      "1,1,1,1,1,true,1,1,1,1,1,null]");
  EXPECT_EQ(config.feature_cols.at(0), "a\"\\/\b\f\n\r\t");
  EXPECT_EQ(config.feature_cols.at(1), "\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(config.feature_cols.at(2), "\xc3\xa9");
  EXPECT_FALSE(config.seed.has_value());

  auto y_col_message = [](const std::string& literal) {
    return fault_message([&] {
      parse_tree_config("[[],[],[],[]," + literal + ",\"\",1,1,1,1,1,true,1,1,1,1,1,null]");
    });
  };
  EXPECT_EQ(y_col_message("\"\\x\""), err_value("invalid escape at line 1 column 16"));
  EXPECT_EQ(y_col_message("\"\\ud800\""),
            err_value("lone leading surrogate in hex escape at line 1 column 16"));
  EXPECT_EQ(y_col_message("\"\\udc00\""),
            err_value("lone trailing surrogate in hex escape at line 1 column 16"));
  EXPECT_EQ(y_col_message("\"\\u12g4\""), err_value("invalid escape at line 1 column 19"));
  EXPECT_EQ(y_col_message("\"a\tb\""),
            err_value("control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                      "column 16"));
  EXPECT_EQ(y_col_message("[]"),
            err_value("invalid type: sequence, expected a string at line 1 column 14"));
  EXPECT_EQ(fault_message([] { parse_tree_config("[[1]]"); }),
            err_value("invalid type: integer `1`, expected a string at line 1 column 3"));
  EXPECT_EQ(fault_message([] { parse_tree_config("[\"a\"]"); }),
            err_value("invalid type: string \"a\", expected a sequence at line 1 column 2"));
}

TEST(RecordReaders, SyntaxErrorsCarryLineAndColumn) {
  EXPECT_EQ(fault_message([] { parse_tree_config(""); }),
            err_value("EOF while parsing a value at line 1 column 1"));
  EXPECT_EQ(
      fault_message([] { parse_continuous_bin("{\n  \"n_bin\": 1,\n  \"threshold\": [1,]\n}"); }),
      err_value("trailing comma at line 3 column 19"));
  EXPECT_EQ(fault_message([] { parse_continuous_bin("{\"n_bin\" 1}"); }),
            err_value("expected `:` at line 1 column 10"));
  EXPECT_EQ(fault_message([] { parse_continuous_bin("{\"n_bin\":1 \"threshold\":[]}"); }),
            err_value("expected `,` or `}` at line 1 column 12"));
  EXPECT_EQ(fault_message([] { parse_continuous_bin("[1 []]"); }),
            err_value("expected `,` or `]` at line 1 column 4"));
  EXPECT_EQ(fault_message([] { parse_continuous_bin("{1:2}"); }),
            err_value("key must be a string at line 1 column 2"));
  EXPECT_EQ(fault_message([] { parse_continuous_bin("[1,[nul]]"); }),
            err_value("expected ident at line 1 column 8"));
  EXPECT_EQ(fault_message([] { parse_continuous_bin("[1,[-]]"); }),
            err_value("invalid number at line 1 column 6"));
  EXPECT_EQ(fault_message([] { parse_continuous_bin("[1,[1.]]"); }),
            err_value("invalid number at line 1 column 7"));
  EXPECT_EQ(fault_message([] { parse_continuous_bin("[1,[1"); }),
            err_value("EOF while parsing a list at line 1 column 6"));
  EXPECT_EQ(fault_message([] { parse_continuous_bin("{\"n_bin\":1"); }),
            err_value("EOF while parsing an object at line 1 column 11"));
  EXPECT_EQ(fault_message([] { parse_continuous_bin("{\"n_b"); }),
            err_value("EOF while parsing a string at line 1 column 6"));
  EXPECT_EQ(fault_message([] { parse_continuous_bin("[1,[x]]"); }),
            err_value("expected value at line 1 column 5"));
}

TEST(RecordReaders, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  auto with_unknown_member = [](int depth) {
    return "{\"n_bin\":1,\"threshold\":[],\"deep\":" + std::string(depth, '[') +
           std::string(depth, ']') + "}";
  };
  // The record's own object is one level, so 127 more fit.
  EXPECT_EQ(parse_continuous_bin(with_unknown_member(127)).n_bin, 1u);
  EXPECT_EQ(fault_message([&] { parse_continuous_bin(with_unknown_member(128)); }),
            err_value("recursion limit exceeded at line 1 column 161"));
  EXPECT_NE(fault_message([&] { parse_continuous_bin(with_unknown_member(1000000)); }),
            "no failure");
  EXPECT_NE(fault_message([] { parse_continuous_bin(std::string(1000000, '[')); }), "no failure");
}

}  // namespace
}  // namespace quorvanta
