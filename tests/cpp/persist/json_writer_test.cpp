#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "persist/json_writer.hpp"
#include "persist/model_text.hpp"

namespace quorvanta {
namespace {

TEST(FormatF32, LaysOutShortestDigitsByExponent) {
  const struct {
    float value;
    const char* text;
  } cases[] = {
      {0.9f, "0.9"},
      {1.0f, "1.0"},
      {1000000.0f, "1000000.0"},
      {12.25f, "12.25"},
      {0.000123f, "0.000123"},
      {2.5e-7f, "2.5e-7"},
      {1e-7f, "1e-7"},
      {1.5e20f, "1.5e20"},
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {-2.5f, "-2.5"},
      {0.1f, "0.1"},
      {0.000001f, "0.000001"},     // p = -5: last exponent written with "0."
      {1e12f, "1000000000000.0"},  // integer with p = 13
      {1e13f, "1e13"},             // integer with p = 14
      {1234567.5f, "1234567.5"},
      {123456.7f, "123456.7"},
      {16777216.0f, "16777216.0"},
      {3.4028235e38f, "3.4028235e38"},
      {1e-45f, "1e-45"},  // smallest subnormal
      {-1.17549435e-38f, "-1.1754944e-38"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_f32(c.value), c.text) << "bits " << std::bit_cast<std::uint32_t>(c.value);
  }
}

TEST(FormatF32, NaNIsNullAndInfinitiesLieBeyondTheFloatRange) {
  EXPECT_EQ(format_f32(std::numeric_limits<float>::quiet_NaN()), "null");
  EXPECT_EQ(format_f32(-std::numeric_limits<float>::quiet_NaN()), "null");
  EXPECT_EQ(format_f32(std::numeric_limits<float>::infinity()), "1e39");
  EXPECT_EQ(format_f32(-std::numeric_limits<float>::infinity()), "-1e39");
  // Both round to the infinity when read as nearest double, then nearest float.
  EXPECT_EQ(static_cast<float>(1e39), std::numeric_limits<float>::infinity());
  EXPECT_EQ(static_cast<float>(-1e39), -std::numeric_limits<float>::infinity());
}

// The digits of a number's text without sign, point, exponent, leading or trailing zeros.
std::string significant_digits(std::string_view text) {
  std::string digits;
  for (char c : text.substr(0, text.find('e'))) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  return digits;
}

TEST(FormatF32, RandomBitPatternsReadBackExactly) {
  std::mt19937 generator(12345);
  for (int i = 0; i < 200000; ++i) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(generator()));
    if (!std::isfinite(value)) continue;
    const std::string text = format_f32(value);
    // Parsed as the reader does: nearest double, then nearest float.
    const float back = parse_continuous_bin("[1,[" + text + "]]").threshold.at(0);
    ASSERT_EQ(std::bit_cast<std::uint32_t>(back), std::bit_cast<std::uint32_t>(value)) << text;
    // Shortest: the same significant digits as the standard library's shortest form.
    char shortest[32];
    const auto end =
        std::to_chars(shortest, shortest + 32, value, std::chars_format::scientific).ptr;
    ASSERT_EQ(significant_digits(text), significant_digits(std::string_view(shortest, end)))
        << text;
  }
}

TEST(JsonWriter, EscapesStringsByteForByte) {
  std::string out;
  append_json_string(out, std::string("a\"b\\c\b\t\n\f\r\x01\x1f\x7f/\xc3\xa9", 16));
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\b\\t\\n\\f\\r\\u0001\\u001f\x7f/\xc3\xa9\"");
  out.clear();
  append_json_string(out, std::string(1, '\0'));
  EXPECT_EQ(out, "\"\\u0000\"");
}

TEST(RecordWriters, DefaultConfigBlock) {
  TreeConfig config;
  config.feature_cols = {"x"};
  EXPECT_EQ(tree_config_to_json(config),
            "{\"index_cols\":[],\"feature_cols\":[\"x\"],\"cat_cols\":[],\"treatment_cols\":[],"
            "\"y_col\":\"\",\"weight_col\":\"\",\"n_bin\":30,\"min_samples_leaf\":100,"
            "\"min_samples_treatment\":10,\"n_reg\":10,\"alpha\":0.9,\"normalization\":true,"
            "\"max_features\":10,\"max_depth\":6,\"n_tree\":100,\"subsample\":1.0,"
            "\"n_thread\":1,\"seed\":null}");
  config.seed = 18446744073709551614ull;
  config.normalization = false;
  const std::string text = tree_config_to_json(config);
  EXPECT_NE(text.find("\"normalization\":false"), std::string::npos);
  EXPECT_NE(text.find("\"seed\":18446744073709551614}"), std::string::npos);
}

TEST(RecordWriters, BinsAndTree) {
  EXPECT_EQ(continuous_bin_to_json(ContinuousBin{3, {2.0f, 2.5e-7f}}),
            "{\"n_bin\":3,\"threshold\":[2.0,2.5e-7]}");
  EXPECT_EQ(discrete_bin_to_json(DiscreteBin{0, {}}), "{\"n_bin\":0,\"mapping\":[]}");

  TreeRecord tree = TreeRecord::with_root();
  tree.add_left_child(0);
  tree.add_right_child(0);
  SplitInfo root;
  root.node_id = 0;
  root.feature_id = 2;
  root.iscat = true;
  root.value = std::vector<std::uint8_t>{7, 255};
  root.gain = std::numeric_limits<float>::quiet_NaN();
  root.gain_importance = 0.5f;
  root.summary = {{0.25f, 10.0f}, {0.5f}};
  tree.split[0] = root;
  SplitInfo leaf;
  leaf.node_id = 1;
  tree.split[1] = leaf;
  EXPECT_EQ(tree_record_to_json(tree),
            "{\"level\":[0,1,1],\"left_children\":[1,null,null],\"right_children\":[2,null,null],"
            "\"split\":[{\"node_id\":0,\"feature_id\":2,\"treatment_id\":0,\"iscat\":true,"
            "\"value\":[7,255],\"gain\":null,\"gain_importance\":0.5,"
            "\"summary\":[[0.25,10.0],[0.5]]},"
            "{\"node_id\":1,\"feature_id\":0,\"treatment_id\":0,\"iscat\":false,\"value\":null,"
            "\"gain\":0.0,\"gain_importance\":0.0,\"summary\":[]},null]}");
}

}  // namespace
}  // namespace quorvanta
