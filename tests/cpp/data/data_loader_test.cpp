#include "data/data_loader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "data/threshold_lookup.hpp"

#include "data_test_support.hpp"

namespace quorvanta {
namespace {

using testing::Cell;
using testing::fault_message;
using testing::table_of;
using Bins = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::optional<float> kMissing = std::nullopt;
const std::string kAbsent(kAbsentValueMessage);

// Features "a" (numeric) and "c" (categorical), outcome "y", treatment "t", weight "w".
const Strings kHeaders{"y", "a", "t", "c", "w"};
DataLoader make_loader(Strings treatment_cols = {"t"}, std::uint64_t n_bin = 2) {
  return DataLoader({"a", "c"}, "y", std::move(treatment_cols), "w", {"c"}, n_bin);
}

TEST(DataLoader, ConstructionAndColumnLookupFailures) {
  EXPECT_EQ(make_loader({"t"}, 254).n_bin(), 254u);
  EXPECT_EQ(fault_message([] { make_loader({"t"}, 255); }), "n_bin 255 exceeds max 255");
  EXPECT_EQ(DataLoader::find_columns({"x", "y", "x"}, {"x", "z"}, false),
            (std::vector<std::optional<std::size_t>>{0, std::nullopt}));
  DataLoader loader = make_loader();
  EXPECT_EQ(fault_message([&] {
              loader.load({"y", "t", "c", "w"}, table_of({}));
            }),
            "Column is missing: a");
}

TEST(DataLoader, LoadsEveryRole) {
  DataLoader loader = make_loader();
  const DataMatrix data = loader.load(kHeaders, table_of({{1.5f, 10, 1, 7, 2},
                                                          {0.5f, 20, 0, 8, 1},
                                                          {0.0f, kMissing, 1, 7, 0.5f},
                                                          {1.0f, 30, 0, kMissing, 3}}));
  EXPECT_EQ(data.x, (std::vector<Bins>{{0, 1, kMissingBin, 1}, {0, 1, 0, kMissingBin}}));
  EXPECT_EQ(data.y, (std::vector<float>{1.5f, 0.5f, 0.0f, 1.0f}));
  EXPECT_EQ(data.treatment, (std::vector<Bins>{{1, 0, 1, 0}}));
  EXPECT_EQ(data.n_treatment, (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(data.weight, (std::vector<float>{2, 1, 0.5f, 3}));
  EXPECT_EQ(data.is_cat, (std::vector<std::uint8_t>{0, 1}));
  EXPECT_EQ(data.feature_names, (Strings{"a", "c"}));
  EXPECT_EQ(*data.n_bins.find("a"), 2u);
  EXPECT_EQ(*data.n_bins.find("c"), 2u);
}

TEST(DataLoader, TreatmentsAreSaturatedGroupsAndOptional) {
  DataLoader loader({"a"}, "y", {"t", "u"}, "w", {}, 4);
  const DataMatrix data =
      loader.load({"a", "t", "u"}, table_of({{0, 1.7f, 0}, {0, -3, 1}, {0, 300, 0}, {0, kNaN, 0}}));
  EXPECT_EQ(data.treatment, (std::vector<Bins>{{1, 0, 255, 0}, {0, 1, 0, 0}}));
  EXPECT_EQ(data.n_treatment, (std::vector<std::uint64_t>{0, 2})) << "255 + 1 wraps to 0";
  EXPECT_TRUE(data.y.empty());
  EXPECT_EQ(data.weight, (std::vector<float>{1, 1, 1, 1}));

  // Without the first treatment column there is none; with it, a later one must exist.
  EXPECT_TRUE(loader.load({"a", "u"}, table_of({{0, 1}})).treatment.empty());
  EXPECT_EQ(fault_message([&] { loader.load({"a", "t"}, table_of({{0, 1}})); }), kAbsent);
  EXPECT_EQ(fault_message([&] {
              loader.load({"a", "t", "u"}, table_of({}));
            }),
            kAbsent)
      << "a treatment column without rows has no largest value";
}

TEST(DataLoader, AbsentOrMissingRequiredCellsFail) {
  const std::vector<std::vector<std::vector<Cell>>> tables = {
      {{kMissing, 1, 0, 1, 1}},
      {{1, 1, kMissing, 1, 1}},
      {{1, 1, 0, 1, kMissing}},
      {{1, 1, 0, 1, 1}, {1, 2, 1, 2}},  // the last row ends before its weight
  };
  for (const auto& rows : tables) {
    DataLoader loader = make_loader();
    EXPECT_EQ(fault_message([&] { loader.load(kHeaders, table_of(rows)); }), kAbsent);
  }
  // Short rows are fine where no cell is needed.
  DataLoader loader = make_loader();
  const DataMatrix data =
      loader.load({"y", "a", "t", "c"}, table_of({{1, 1, 0, 1, 9}, {1, 2, 1, 2}}));
  EXPECT_EQ(data.weight, (std::vector<float>{1, 1}));
}

TEST(DataLoader, BinsAreBuiltOnceAndKeptAlsoByFailedLoads) {
  DataLoader loader = make_loader();
  // The last row ends before "c": "a" is binned, then the load fails.
  EXPECT_EQ(fault_message([&] {
              loader.load(kHeaders, table_of({{0, 1, 0, 5, 1}, {0, 2, 1, 6, 1}, {0, 3, 1}}));
            }),
            kAbsent);
  EXPECT_EQ(loader.continuous_bins().find("a")->threshold, (std::vector<float>{2}));
  EXPECT_FALSE(loader.discrete_bins().contains("c"));

  const DataMatrix data = loader.load(kHeaders, table_of({{0, 100, 0, 6, 1}, {0, -5, 1, 5, 1}}));
  EXPECT_EQ(data.x, (std::vector<Bins>{{1, 0}, {0, 1}}));
  EXPECT_EQ(loader.load(kHeaders, table_of({{0, 0, 0, 5, 1}})).x, (std::vector<Bins>{{0}, {1}}))
      << "the first successful load's categories stay";

  // A held record does not move the failure: "a" fails before "c" would be built.
  DataLoader held({"a", "c"}, "y", {"t"}, "w", {"c"}, 2,
                  OrderedMap<ContinuousBin>(loader.continuous_bins()), {});
  EXPECT_EQ(fault_message([&] {
              held.load({"y", "c", "t", "a"}, table_of({{0, 5, 0}}));
            }),
            kAbsent);
  EXPECT_TRUE(held.discrete_bins().empty());
  // A numeric column with NaN cannot be binned: nothing is stored for it.
  DataLoader fresh = make_loader();
  EXPECT_EQ(fault_message([&] {
              fresh.load(kHeaders, table_of({{0, kNaN, 0, 5, 1}, {0, 1}}));
            }),
            kAbsent);
  EXPECT_TRUE(fresh.continuous_bins().empty());
}

TEST(DataLoader, LoadingTheSameTableAgainGivesTheSameMatrix) {
  // The first load bins while it builds the records, later ones convert row block by row block.
  std::mt19937 random(3);
  std::vector<std::vector<Cell>> cells;
  for (int row = 0; row < 40'000; ++row) {
    const auto value = [&](int range) {
      return random() % 50 == 0 ? kMissing : Cell(static_cast<float>(random() % range) / 8);
    };
    cells.push_back({1.0f * (row % 2), value(1000), 1.0f * (row % 3), value(40), 1.0f});
  }
  DataLoader loader = make_loader({"t"}, 254);
  const DataMatrix first = loader.load(kHeaders, table_of(cells));
  EXPECT_EQ(first, loader.load(kHeaders, table_of(cells)));
  EXPECT_EQ(first.n_treatment, (std::vector<std::uint64_t>{3}));
}

TEST(DataLoader, BinCountsCoverEveryHeldBin) {
  OrderedMap<ContinuousBin> continuous;
  continuous.insert_or_assign("old", ContinuousBin{3, {1, 2}});
  DataLoader loader({"a"}, "y", {}, "w", {}, 4, continuous, {});
  const DataMatrix data = loader.load({"a"}, table_of({}));
  EXPECT_EQ(data.x, (std::vector<Bins>{{}}));
  EXPECT_TRUE(data.weight.empty());
  std::vector<std::pair<std::string, std::uint64_t>> counts(data.n_bins.begin(), data.n_bins.end());
  EXPECT_EQ(counts, (std::vector<std::pair<std::string, std::uint64_t>>{{"old", 3}, {"a", 1}}));
}

}  // namespace
}  // namespace quorvanta

namespace quorvanta {
namespace {

using testing::Cell;
using testing::fault_message;
using testing::table_of;

// Locating features for prediction checks what load checks and builds the same records, without
// converting a cell.
TEST(DataLoaderLocate, FindsEveryFeatureWithItsRecord) {
  DataLoader loader({"c", "a"}, "y", {"t"}, "w", {"c"}, 2);
  const RawFeatures located = loader.locate_features(
      {"y", "a", "t", "c", "w"}, table_of({{1, 10, 1, 7, 2}, {0, 20, 0, 8, 1}, {0, 30, 1, 7, 1}}));
  EXPECT_EQ(located.n_rows, 3u);
  ASSERT_EQ(located.features.size(), 2u);
  EXPECT_EQ(located.features[0].position, 3u);
  EXPECT_EQ(located.features[0].discrete, loader.discrete_bins().find("c"));
  EXPECT_EQ(located.features[0].continuous, nullptr);
  EXPECT_EQ(located.features[1].position, 1u);
  EXPECT_EQ(located.features[1].continuous, loader.continuous_bins().find("a"));
  EXPECT_EQ(loader.continuous_bins().find("a")->threshold, (std::vector<float>{20}));
}

TEST(DataLoaderLocate, FailsAndKeepsRecordsExactlyAsLoad) {
  const std::optional<float> missing;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<std::string> headers{"y", "a", "t", "c", "w"};
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::vector<Cell>>>> cases = {
      {headers, {{missing, 1, 0, 1, 1}}},                        // absent outcome
      {headers, {{1, 1, missing, 1, 1}}},                        // absent treatment
      {headers, {{1, 1, 0, 1, missing}}},                        // absent weight
      {headers, {{1, 1, 0, 1, 1}, {1, 2, 1, 2}}},                // a row ends before its weight
      {headers, {{0, 1, 0, 5, 1}, {0, 2, 1, 6, 1}, {0, 3, 1}}},  // ... before a feature
      {headers, {{0, nan, 0, 5, 1}, {0, 1, 0, 5, 1}}},           // NaN among new numeric values
      {headers, {}},                                             // a treatment column without rows
      {{"y", "t", "c"}, {{1, 1, 1}}},                            // a feature column missing
      {{"a", "c"}, {}},                                          // nothing but features, no rows
      {headers, {{1, 5, 0, 2, 1}, {0, 6, 1, 3, 0.5f}}},          // a sound table
  };
  for (const auto& [names, rows] : cases) {
    DataLoader loading({"a", "c"}, "y", {"t"}, "w", {"c"}, 2);
    DataLoader locating = loading;
    const std::string want = fault_message([&] { loading.load(names, table_of(rows)); });
    const std::string got = fault_message([&] { locating.locate_features(names, table_of(rows)); });
    EXPECT_EQ(got, want) << "table of " << rows.size() << " rows";
    EXPECT_TRUE(locating.continuous_bins() == loading.continuous_bins());
    EXPECT_TRUE(locating.discrete_bins() == loading.discrete_bins());
  }
}

// Long columns: numeric records are built from keys read block by block and match the record of
// the whole column, also where a column's missing cells meet +inf (which needs the column's
// cells); the row pass bins them through the lookup table. Checking for prediction bins nothing.
TEST(DataLoaderRoutes, LongColumnsTakeTheStreamedKeysAndTheLookupTable) {
  const std::size_t n_rows = ThresholdLookup::kMinRows + 4097;  // a partial last block
  std::mt19937 random(7);
  std::normal_distribution<float> normal;
  std::vector<float> plain(n_rows), ties(n_rows), infinite(n_rows);
  CellTable table;
  for (std::size_t row = 0; row < n_rows; ++row) {
    plain[row] = random() % 40 == 0 ? missing_cell() : normal(random);
    ties[row] = std::floor(normal(random) * 4);
    infinite[row] = row % 1000 == 3  ? missing_cell()
                    : row % 777 == 0 ? std::numeric_limits<float>::infinity()
                                     : normal(random);
    for (const float cell : {plain[row], ties[row], infinite[row], 1.0f}) table.push_cell(cell);
    table.end_row();
  }
  const Strings headers{"p", "q", "r", "y"};
  DataLoader loader({"p", "q", "r"}, "y", {}, "", {}, 30);
  const DataMatrix data = loader.load(headers, table);
  EXPECT_EQ(loader.last_routes().records_from_keys, 2u);
  EXPECT_EQ(loader.last_routes().records_from_cells, 1u);
  EXPECT_EQ(loader.last_routes().binned_by_lookup, 3u);
  const std::vector<std::vector<float>*> columns{&plain, &ties, &infinite};
  for (std::size_t f = 0; f < 3; ++f) {
    const ContinuousBin whole = ContinuousBin::from_values(*columns[f], 30);
    ASSERT_TRUE(*loader.continuous_bins().find(headers[f]) == whole) << headers[f];
    std::vector<std::uint8_t> bins(n_rows);
    whole.to_bins(*columns[f], bins);
    EXPECT_EQ(data.x[f], bins) << headers[f];
  }

  loader.locate_features(headers, table);
  EXPECT_EQ(loader.last_routes().binned_by_lookup, 0u);
  EXPECT_EQ(loader.last_routes().records_from_keys, 0u) << "the records exist already";
}

}  // namespace
}  // namespace quorvanta
