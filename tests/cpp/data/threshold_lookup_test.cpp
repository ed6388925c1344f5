#include "data/threshold_lookup.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "data_test_support.hpp"

namespace quorvanta {
namespace {

using Bins = std::vector<std::uint8_t>;
using Floats = std::vector<float>;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Bins searched(const ContinuousBin& bin, const Floats& column) {
  Bins out(column.size());
  bin.to_bins(column, out);
  return out;
}

Bins looked_up(const ContinuousBin& bin, const Floats& column) {
  Bins out(column.size());
  ThresholdLookup(bin).to_bins(column, out);
  return out;
}

// Values spread over every magnitude and sign, every special pattern, and values just beside the
// thresholds, where a table entry is most likely to be off by one.
Floats probe_values(const Floats& thresholds, std::mt19937& random) {
  Floats values{0.0f, -0.0f, kInf, -kInf, kNaN, -kNaN, missing_cell(), 1e-45f, -1e-45f,
                std::numeric_limits<float>::max(), std::numeric_limits<float>::lowest()};
  for (float t : thresholds) {
    if (std::isnan(t)) continue;
    values.insert(values.end(), {t, std::nextafter(t, kInf), std::nextafter(t, -kInf)});
  }
  std::uniform_int_distribution<std::uint32_t> any_bits;
  for (int k = 0; k < 3000; ++k) {
    const float value = std::bit_cast<float>(any_bits(random));
    values.push_back(std::isnan(value) ? 1.0f : value);
  }
  std::normal_distribution<float> normal;
  for (int k = 0; k < 3000; ++k) values.push_back(normal(random));
  return values;
}

TEST(ThresholdLookup, BinsLikeTheSearchForEveryKindOfThresholdList) {
  std::mt19937 random(5);
  std::normal_distribution<float> normal;
  std::vector<Floats> lists{{}, {0.0f}, {-0.0f}, {-kInf, 0.0f, kInf}, {1, 1, 2}, {-0.0f, 0.0f, 5}};
  for (int round = 0; round < 30; ++round) {
    // Ascending lists as building makes them: dense (several per bucket) or sparse.
    Floats list;
    const float scale = round % 2 == 0 ? 1e-3f : 100.0f;
    for (std::size_t k = 0; k < 1 + random() % 253; ++k) list.push_back(normal(random) * scale);
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    lists.push_back(list);
  }
  for (const Floats& list : lists) {
    ContinuousBin bin{list.size() + 1, list};
    bin.choose_binning();
    const Floats values = probe_values(list, random);
    ASSERT_EQ(looked_up(bin, values), searched(bin, values)) << list.size() << " thresholds";
  }
}

TEST(ThresholdLookup, StoredListsOutOfOrderOrWithNaNAreCounted) {
  std::mt19937 random(6);
  for (const Floats& list : {Floats{2, 1, 3}, Floats{1, kNaN, 3}, Floats{kNaN}}) {
    ContinuousBin bin{list.size() + 1, list};
    bin.choose_binning();
    ASSERT_TRUE(bin.counts_thresholds);
    const Floats values = probe_values(list, random);
    EXPECT_EQ(looked_up(bin, values), searched(bin, values));
    EXPECT_FALSE(ThresholdLookup(bin).is_direct(1.5f));
  }
}

// The table must actually serve ordinary values; a lookup that sent everything to the search
// would still bin correctly, only slowly.
TEST(ThresholdLookup, OrdinaryValuesAreBinnedWithoutTheSearch) {
  ContinuousBin bin{4, {-1.0f, 0.0f, 2.5f}};
  const ThresholdLookup lookup(bin);
  for (float value : {-5.0f, -1.0f, -0.5f, 0.0f, -0.0f, 1e-30f, 2.5f, 1e30f}) {
    EXPECT_TRUE(lookup.is_direct(value)) << value;
  }
  // NaN and missing cells share their buckets with the infinities: all searched.
  for (float value : {kNaN, missing_cell(), kInf, -kInf}) EXPECT_FALSE(lookup.is_direct(value));
  // Three thresholds in one bucket: the search.
  const float up1 = std::nextafter(1.0f, 2.0f);
  const float up2 = std::nextafter(up1, 2.0f);
  ContinuousBin dense{4, {up1, up2, std::nextafter(up2, 2.0f)}};
  EXPECT_FALSE(ThresholdLookup(dense).is_direct(1.0f));
  EXPECT_EQ(looked_up(dense, {0.5f, 1.0f, 2.0f}), searched(dense, {0.5f, 1.0f, 2.0f}));
}

}  // namespace
}  // namespace quorvanta
