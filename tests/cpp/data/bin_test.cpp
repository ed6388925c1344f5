#include "data/bin.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "data/missing_cell.hpp"
#include "data/ranked_keys.hpp"
#include "data_test_support.hpp"

namespace quorvanta {
namespace {

using testing::Cell;
using testing::column_of;
using testing::fault_message;
using Bins = std::vector<std::uint8_t>;
using Floats = std::vector<float>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr std::optional<float> kMissing = std::nullopt;
const std::string kAbsent(kAbsentValueMessage);

template <class Bin>
Bins bins_of(const Bin& bin, const std::vector<Cell>& cells) {
  const std::vector<float> column = column_of(cells);
  Bins out(column.size());
  bin.to_bins(column, out);
  return out;
}

Floats thresholds_of(const std::vector<Cell>& cells, std::uint64_t n_bin) {
  return ContinuousBin::from_values(column_of(cells), n_bin).threshold;
}

TEST(ContinuousBin, CutsAtTheLastValueBeforeEachGap) {
  const ContinuousBin bin = ContinuousBin::from_values(column_of({1, 1, 2, 2, 3, 3, 4, 4}), 4);
  EXPECT_EQ(bin.threshold, (Floats{2, 3}));
  EXPECT_EQ(bin.n_bin, 3u);
  EXPECT_EQ(bins_of(bin, {1, 1, 2, 2, 3, 3, 4, 4}), (Bins{0, 0, 1, 1, 2, 2, 2, 2}));
  EXPECT_EQ(thresholds_of({0.5f, 0.2f, 0.9f, 0.1f, 0.7f, 0.3f}, 3), (Floats{0.3f, 0.7f}));
  EXPECT_EQ(thresholds_of({5, kMissing, 1, 3}, 2), (Floats{3})) << "missing cells are no values";
  EXPECT_EQ(thresholds_of({1, 2, 3}, 30), (Floats{1})) << "step 0: the first gap only";
  // Equal keys keep column order: the cut is whichever zero comes later.
  EXPECT_TRUE(std::signbit(thresholds_of({0.0f, -0.0f, 5}, 2).at(0)));
  EXPECT_FALSE(std::signbit(thresholds_of({-0.0f, 0.0f, 5}, 2).at(0)));
}

TEST(ContinuousBin, BuildingFailures) {
  const auto build = [](std::vector<Cell> cells, std::uint64_t n_bin) {
    return fault_message([&] { ContinuousBin::from_values(column_of(cells), n_bin); });
  };
  EXPECT_EQ(build({1, kNaN, 3}, 4), kAbsent);
  EXPECT_EQ(build({kNaN, kMissing}, 4), kAbsent);
  EXPECT_EQ(build({kNaN}, 4), "no failure") << "a single cell is never compared";
  EXPECT_EQ(build({1, 2}, 0), std::string(kDivisionMessage));
  EXPECT_EQ(build({kNaN, 2}, 0), kAbsent) << "the sort comes before the division";
  // A present +inf shares the missing cells' key, so the scan may read a missing cell.
  EXPECT_EQ(build({1, kMissing, kInf, 2}, 2), kAbsent);
  EXPECT_EQ(thresholds_of({1, kInf, kMissing, 2}, 2), (Floats{2}));
}

TEST(ContinuousBin, ToBinsCountsThresholdsAtOrBelowTheValue) {
  const ContinuousBin bin{4, {-1, 0, 2.5f}};
  EXPECT_EQ(bins_of(bin, {-5, -1, -0.5f, -0.0f, 2.4f, 2.5f, kInf, -kInf, kNaN, kMissing}),
            (Bins{0, 1, 1, 2, 2, 3, 3, 0, 0, kMissingBin}));
  // Long enough for the blocked search and its tail.
  std::vector<Cell> many(70, 3.0f);
  EXPECT_EQ(bins_of(bin, many), Bins(70, 3));
}

// A threshold list read from a file may be out of order or hold a NaN; the bin is still the number
// of thresholds at or below the value, which the search would get wrong.
TEST(ContinuousBin, StoredListsOutOfOrderOrWithNaNCountTheThresholds) {
  ContinuousBin shuffled{4, {2, 1, 3}};
  shuffled.choose_binning();
  EXPECT_TRUE(shuffled.counts_thresholds);
  EXPECT_EQ(bins_of(shuffled, {0, 1, 1.5f, 2, 3, kInf, kNaN, kMissing}),
            (Bins{0, 1, 1, 2, 3, 3, 0, kMissingBin}));
  ContinuousBin with_nan{4, {1, kNaN, 3}};
  with_nan.choose_binning();
  EXPECT_TRUE(with_nan.counts_thresholds);
  std::vector<Cell> many(70, 5.0f);  // past the blocked search's block length
  EXPECT_EQ(bins_of(with_nan, many), Bins(70, 2));
  EXPECT_EQ(bins_of(with_nan, {0, 1, 2, -kInf}), (Bins{0, 1, 1, 0}));
}

TEST(ContinuousBin, AscendingListsKeepTheSearch) {
  for (const Floats& thresholds :
       {Floats{}, Floats{-kInf, 0, kInf}, Floats{1, 1, 2}, Floats{-0.0f, 0.0f, 5}}) {
    ContinuousBin bin{thresholds.size() + 1, thresholds};
    bin.choose_binning();
    EXPECT_FALSE(bin.counts_thresholds) << thresholds.size() << " thresholds";
  }
  // Equal neighbours: the search and the count agree.
  ContinuousBin repeated{4, {1, 1, 2}};
  ContinuousBin counted = repeated;
  counted.counts_thresholds = true;
  const std::vector<Cell> cells{0, 1, 1.5f, 2, 3, -0.0f, kInf, -kInf, kNaN};
  EXPECT_EQ(bins_of(repeated, cells), bins_of(counted, cells));
  EXPECT_EQ(bins_of(repeated, cells), (Bins{0, 2, 2, 3, 3, 0, 3, 0, 0}));
}

TEST(ContinuousBin, BuiltListsAreSearched) {
  EXPECT_FALSE(ContinuousBin::from_values(column_of({3, 1, 2, 5, 4, 1}), 3).counts_thresholds);
}

// The building rules written out literally, without the radix sort and resumed scans.
Floats literal_thresholds(const std::vector<float>& column, std::uint64_t n_bin) {
  const auto key = [](float cell) { return is_missing_cell(cell) ? kInf : cell; };
  std::vector<std::size_t> order(column.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return key(column[a]) < key(column[b]); });
  const std::size_t valid = std::count_if(column.begin(), column.end(),
                                          [](float cell) { return !is_missing_cell(cell); });
  const std::uint64_t step = valid / n_bin;
  Floats thresholds;
  for (std::uint64_t i = 1; i < n_bin; ++i) {
    for (std::size_t j = i * step; j < valid && j != valid - 1; ++j) {
      const float a = column[order[j]];
      if (is_missing_cell(a) || is_missing_cell(column[order[j + 1]])) fail_absent_value();
      if (column[order[j + 1]] + (-1.1920929e-7f) > a) {
        if (thresholds.empty() || thresholds.back() != a) thresholds.push_back(a);
        break;
      }
    }
  }
  return thresholds;
}

TEST(ContinuousBin, MatchesTheLiteralRulesOnRandomColumns) {
  std::mt19937 random(42);
  for (int round = 0; round < 300; ++round) {
    const int size = static_cast<int>(random() % 400);
    const int distinct = 1 + static_cast<int>(random() % 60);
    std::vector<Cell> cells;
    for (int k = 0; k < size; ++k) {
      const int pick = static_cast<int>(random() % (distinct + 1));
      // Clusters of values closer than the gap tolerance, and some missing cells.
      cells.push_back(pick == distinct ? kMissing : Cell(pick / 4 + (pick % 4) * 6e-8f));
    }
    const std::uint64_t n_bin = 1 + random() % 254;
    const ContinuousBin bin = ContinuousBin::from_values(column_of(cells), n_bin);
    ASSERT_EQ(bin.threshold, literal_thresholds(column_of(cells), n_bin))
        << "round " << round << ", " << size << " cells, n_bin " << n_bin;
    ASSERT_EQ(bin.n_bin, bin.threshold.size() + 1);
  }
}

std::vector<std::uint32_t> bits_of(const Floats& values) {
  std::vector<std::uint32_t> bits;
  for (float value : values) bits.push_back(std::bit_cast<std::uint32_t>(value));
  return bits;
}

// Columns of every sign and magnitude, long enough for every radix pass, with runs of +0.0 and
// -0.0 in random order (the cut at zero takes the sign of the zero that comes last), infinities,
// and missing cells next to +inf (which may fail the scan): thresholds bit for bit, and failures.
TEST(ContinuousBin, MatchesTheLiteralRulesBitForBitWithSignedZerosAndInfinities) {
  std::mt19937 random(43);
  const Floats specials{0.0f, -0.0f, kInf, -kInf, 1e-45f, -1e-45f, 3.4e38f};
  int zero_cuts = 0;
  int failures = 0;
  for (int round = 0; round < 400; ++round) {
    const std::size_t size = random() % 3 == 0 ? 5000 + random() % 5000 : random() % 300;
    const int scale = static_cast<int>(random() % 40) - 20;
    const int special_share = 1 + static_cast<int>(random() % 20);
    const bool with_missing = random() % 2 == 0;
    std::vector<float> column;
    for (std::size_t k = 0; k < size; ++k) {
      const auto pick = static_cast<int>(random() % 100);
      if (pick < special_share) {
        column.push_back(specials[random() % specials.size()]);
      } else if (with_missing && pick < special_share + 5) {
        column.push_back(missing_cell());
      } else {
        const auto magnitude = static_cast<float>(random() % 50) - 25.0f;
        column.push_back(std::ldexp(magnitude, scale));
      }
    }
    const std::uint64_t n_bin = 1 + random() % 254;
    Floats expected;
    const std::string expected_failure =
        fault_message([&] { expected = literal_thresholds(column, n_bin); });
    ContinuousBin bin;
    ASSERT_EQ(fault_message([&] { bin = ContinuousBin::from_values(column, n_bin); }),
              expected_failure)
        << "round " << round;
    ASSERT_EQ(bits_of(bin.threshold), bits_of(expected))
        << "round " << round << ", " << size << " cells, n_bin " << n_bin;
    failures += expected_failure != "no failure" ? 1 : 0;
    zero_cuts += std::count(expected.begin(), expected.end(), 0.0f) > 0 ? 1 : 0;
  }
  // The rounds reach the cases that need care.
  EXPECT_GT(zero_cuts, 20);
  EXPECT_GT(failures, 5);
}

// Long columns read only the ranks the scans need (RankedKeys). Columns of every shape that makes
// a scan leave its bucket: ties, few distinct values, runs of adjacent floats and of values below
// the gap tolerance near zero (which span many buckets), signed zeros, infinities, missing cells;
// n_bin at its edges and dividing the count exactly. Thresholds bit for bit, and failures.
TEST(ContinuousBin, LongColumnsMatchTheLiteralRulesBitForBit) {
  std::mt19937 random(44);
  std::normal_distribution<float> normal;
  const std::vector<std::uint64_t> edge_bins{1, 2, 3, 127, 253, 254};
  int by_selection = 0;
  int sorted_everything = 0;
  for (int round = 0; round < 120; ++round) {
    const std::size_t size = 65536 + random() % 70000;
    const int shape = round % 8;
    const bool with_missing = random() % 3 == 0;
    std::vector<float> column;
    column.reserve(size);
    for (std::size_t k = 0; k < size; ++k) {
      float value = normal(random);
      switch (shape) {
        case 0:
          break;
        case 1:
          value = std::floor(value * 8);
          break;  // few distinct values
        case 2:
          value = static_cast<float>(random() % 3);
          break;  // very few
        case 3:
          value = 1.0f +  // adjacent floats
                  static_cast<float>(random() % 4000) * 0x1p-23f;
          break;
        case 4:
          value = std::ldexp(value, -40 + static_cast<int>(random() % 30));
          break;  // near 0
        case 5:
          value = random() % 2 == 0 ? 0.0f : -0.0f;
          if (random() % 50 == 0) value = 1;
          break;
        case 6:
          value = random() % 20 == 0 ? (random() % 2 == 0 ? kInf : -kInf) : value;
          break;
        default:
          value = std::ldexp(1.0f, static_cast<int>(random() % 250) - 125);
          break;
      }
      if (with_missing && random() % 25 == 0) value = missing_cell();
      column.push_back(value);
    }
    const bool with_nan = round % 16 == 7;  // the literal rules sort NaN without noticing it
    if (with_nan) column[size / 2] = kNaN;
    const std::size_t valid = std::count_if(column.begin(), column.end(),
                                            [](float cell) { return !is_missing_cell(cell); });
    const std::uint64_t n_bin = round % 3 == 0 ? edge_bins[random() % edge_bins.size()]
                                : round % 3 == 1
                                    ? 1 + random() % 254
                                    : std::max<std::uint64_t>(1, valid / (valid / 200));
    Floats expected;
    const std::string expected_failure =
        with_nan ? kAbsent : fault_message([&] { expected = literal_thresholds(column, n_bin); });
    ContinuousBin bin;
    ThresholdSearch search;
    ASSERT_EQ(fault_message([&] { bin = ContinuousBin::from_values(column, n_bin, &search); }),
              expected_failure)
        << "round " << round;
    ASSERT_EQ(bits_of(bin.threshold), bits_of(expected))
        << "round " << round << ", " << size << " cells, n_bin " << n_bin;
    by_selection += search.by_selection ? 1 : 0;
    sorted_everything += search.sorted_everything ? 1 : 0;
  }
  EXPECT_GT(by_selection, 80);
  EXPECT_GT(sorted_everything, 0) << "the scans of runs near zero leave the gathered buckets";
}

// The fast way stays taken: a long column of ordinary values sorts only a few buckets in one or
// two passes; short columns, and columns whose missing cells meet +inf, sort everything.
TEST(ContinuousBin, LongColumnsSortOnlyTheBucketsTheScansRead) {
  std::mt19937 random(45);
  std::normal_distribution<float> normal;
  std::vector<float> column(1 << 20);
  for (float& value : column) value = normal(random);
  ThresholdSearch search;
  ContinuousBin::from_values(column, 254, &search);
  EXPECT_TRUE(search.by_selection);
  EXPECT_LE(search.gathering_passes, 2u);
  EXPECT_FALSE(search.sorted_everything);
  for (float& value : column) value = std::floor(value * 8);
  ContinuousBin::from_values(column, 30, &search);
  EXPECT_TRUE(search.by_selection);
  EXPECT_EQ(search.gathering_passes, 1u) << "the next value's bucket is gathered with the first";

  column.resize(RankedKeys::kMinKeys - 1);
  ContinuousBin::from_values(column, 30, &search);
  EXPECT_FALSE(search.by_selection);
  column.resize(RankedKeys::kMinKeys * 2, kInf);
  column[3] = missing_cell();
  ContinuousBin::from_values(column, 30, &search);
  EXPECT_FALSE(search.by_selection);
}

TEST(DiscreteBin, KeepsTheMostFrequentCategoriesComparedAsFloats) {
  const DiscreteBin bin = DiscreteBin::from_values(column_of({2, 5, 2, kMissing, 9, 5, 2}));
  EXPECT_EQ(bin.mapping, (Floats{2, 5, 9}));
  EXPECT_EQ(bin.n_bin, 3u);
  EXPECT_EQ(bins_of(bin, {2, 5, 9, 4, kMissing}), (Bins{0, 1, 2, 3, kMissingBin}));
  EXPECT_EQ(DiscreteBin::from_values(column_of({3, 1, 1, 3, 8})).mapping, (Floats{3, 1, 8}));

  // 0.0 and -0.0 are one category (its first value kept); every NaN is its own and matches none.
  const DiscreteBin zeros = DiscreteBin::from_values(column_of({-0.0f, kNaN, 0.0f, kNaN, 7}));
  ASSERT_EQ(zeros.mapping.size(), 4u);
  EXPECT_TRUE(zeros.mapping[0] == 0.0f && std::signbit(zeros.mapping[0]));
  EXPECT_EQ(bins_of(zeros, {0.0f, 7, kNaN}), (Bins{0, 3, 4}));
}

TEST(DiscreteBin, LeftOutAndUnseenCategoriesShareTheIndexAfterTheKeptOnes) {
  std::vector<Cell> many;
  for (int value = 0; value < 300; ++value) many.push_back(static_cast<float>(value));
  const DiscreteBin crowded = DiscreteBin::from_values(column_of(many));
  ASSERT_EQ(crowded.mapping.size(), 254u);
  EXPECT_EQ(crowded.n_bin, 255u);
  EXPECT_EQ(bins_of(crowded, {0, 253, 254, 299, 1000}), (Bins{0, 253, 254, 254, 254}));

  many.resize(254);
  const DiscreteBin full = DiscreteBin::from_values(column_of(many));
  EXPECT_EQ(full.n_bin, 254u);
  EXPECT_EQ(bins_of(full, {1000}), (Bins{254}));
}

}  // namespace
}  // namespace quorvanta
