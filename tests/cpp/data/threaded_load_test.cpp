#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <thread>

#include "common/interruption.hpp"
#include "data/data_loader.hpp"
#include "data/ordered_tasks.hpp"
#include "data_test_support.hpp"

namespace quorvanta {
namespace {

using testing::Cell;
using testing::fault_message;
using testing::table_of;
using Strings = std::vector<std::string>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
const std::string kAbsent(kAbsentValueMessage);
constexpr std::uint64_t kThreadCounts[] = {0, 2, 3, 8};

TEST(OrderedTasks, ReportTheLowestFailureAfterRunningEveryTaskBelowIt) {
  for (const std::uint64_t n_thread : kThreadCounts) {
    std::vector<std::atomic<int>> runs(40);
    const FirstTaskFailure outcome = run_ordered_tasks(runs.size(), n_thread, [&](std::size_t k) {
      ++runs[k];
      if (k == 17 || k == 23 || k == 31) fail("task " + std::to_string(k));
    });
    EXPECT_EQ(outcome.task, 17u);
    EXPECT_EQ(fault_message([&] { rethrow_failure(outcome); }), "task 17");
    for (std::size_t k = 0; k < runs.size(); ++k) {
      EXPECT_TRUE(k <= 17 ? runs[k] == 1 : runs[k] <= 1) << "task " << k << " ran " << runs[k];
    }
    EXPECT_EQ(run_ordered_tasks(0, n_thread, [](std::size_t) { throw 1; }).task, 0u);
    EXPECT_FALSE(run_ordered_tasks(3, n_thread, [](std::size_t) {}).failure);
  }
}

// Everything a load leaves behind: its matrix or failure, and the loader's bin maps.
struct LoadOutcome {
  std::string failure;
  DataMatrix data;
  OrderedMap<ContinuousBin> continuous;
  OrderedMap<DiscreteBin> discrete;

  bool operator==(const LoadOutcome&) const = default;
};

// The same cells in a column-major buffer with a mask for the missing ones, as a numpy masked
// array in Fortran order lays them out; the table borrows them.
struct BorrowedCopy {
  std::vector<float> cells;
  std::vector<std::uint8_t> mask;
  std::optional<CellTable> table;
};

struct Scenario {
  Strings headers;
  Strings features;  // in a random order, one of them twice
  CellTable table;
  std::shared_ptr<BorrowedCopy> borrowed;  // when every row is complete
  std::uint64_t n_bin;
  OrderedMap<ContinuousBin> held_continuous;
  OrderedMap<DiscreteBin> held_discrete;
};

const Strings kCategorical{"c0", "c1", "c2"};

std::shared_ptr<BorrowedCopy> borrowed_copy(const std::vector<std::vector<Cell>>& rows) {
  auto copy = std::make_shared<BorrowedCopy>();
  const std::size_t n_rows = rows.size();
  const std::size_t n_columns = rows.front().size();
  copy->cells.resize(n_rows * n_columns);
  copy->mask.resize(n_rows * n_columns);
  for (std::size_t row = 0; row < n_rows; ++row) {
    for (std::size_t column = 0; column < n_columns; ++column) {
      const Cell& cell = rows[row][column];
      copy->cells[column * n_rows + row] = cell ? *cell : 0.0f;
      copy->mask[column * n_rows + row] = cell ? 0 : 1;
    }
  }
  const auto rows_stride = static_cast<std::ptrdiff_t>(n_rows);
  copy->table.emplace(StridedCells{reinterpret_cast<const std::byte*>(copy->cells.data()), n_rows,
                                   n_columns, sizeof(float), rows_stride * 4, CellType::kFloat,
                                   reinterpret_cast<const std::byte*>(copy->mask.data()), 1,
                                   rows_stride});
  return copy;
}

LoadOutcome load_scenario(const Scenario& scenario, std::uint64_t n_thread, bool borrowed = false) {
  DataLoader loader(scenario.features, "y", {"t"}, "w", kCategorical, scenario.n_bin,
                    scenario.held_continuous, scenario.held_discrete);
  const CellTable& table = borrowed ? *scenario.borrowed->table : scenario.table;
  LoadOutcome outcome;
  outcome.failure =
      fault_message([&] { outcome.data = loader.load(scenario.headers, table, n_thread); });
  outcome.continuous = loader.continuous_bins();
  outcome.discrete = loader.discrete_bins();
  return outcome;
}

// Three blocks of rows, numeric and categorical features with missing cells. Depending on
// `variant`: a NaN in one numeric feature, a last row that ends inside the features, n_bin 254, 3
// or 0 (every numeric feature fails), some records held beforehand, a missing outcome cell.
Scenario random_scenario(std::mt19937& random, int variant) {
  Scenario scenario;
  scenario.headers = {"y", "t", "w", "n0", "c0", "n1", "n2", "c1", "n3", "c2", "n4"};
  scenario.features.assign(scenario.headers.begin() + 3, scenario.headers.end());
  std::shuffle(scenario.features.begin(), scenario.features.end(), random);
  scenario.features.insert(scenario.features.begin() + random() % scenario.features.size(),
                           scenario.features[random() % scenario.features.size()]);
  scenario.n_bin = std::vector<std::uint64_t>{254, 3, 0}[variant % 3];

  constexpr std::size_t kRows = 40'000;
  std::vector<std::vector<Cell>> rows(kRows);
  for (std::size_t row = 0; row < kRows; ++row) {
    rows[row] = {1.0f * (row % 2), 1.0f * (row % 3), 1.0f};
    for (std::size_t position = 3; position < scenario.headers.size(); ++position) {
      const bool is_cat = scenario.headers[position][0] == 'c';
      const float value = is_cat ? static_cast<float>(random() % 40)
                                 : static_cast<float>(random() % 100'000) / 64.0f;
      rows[row].push_back(random() % 50 == 0 ? Cell() : Cell(value));
    }
  }
  if (variant / 3 % 2 == 1) {
    const std::size_t numeric_positions[] = {3, 5, 6, 8, 10};
    rows[random() % kRows][numeric_positions[random() % 5]] = kNaN;
  }
  if (variant / 6 % 2 == 1) rows.back().resize(4 + random() % 7);
  if (variant % 4 == 3) rows[random() % kRows][0] = std::nullopt;
  scenario.table = table_of(rows);
  if (rows.back().size() == rows.front().size()) scenario.borrowed = borrowed_copy(rows);

  if (variant % 5 >= 2) {
    // Records of another table for some of the features, under the same names.
    DataLoader donor(scenario.features, "y", {"t"}, "w", kCategorical, 5);
    fault_message([&] {
      donor.load(scenario.headers, table_of({rows.begin(), rows.begin() + 500}));
    });
    for (const auto& [name, bin] : donor.continuous_bins()) {
      if (random() % 2 == 0) scenario.held_continuous.insert_or_assign(name, bin);
    }
    for (const auto& [name, bin] : donor.discrete_bins()) {
      if (random() % 2 == 0) scenario.held_discrete.insert_or_assign(name, bin);
    }
  }
  return scenario;
}

TEST(ThreadedLoad, EqualsTheOneThreadLoadInResultRecordsAndFailure) {
  std::mt19937 random(11);
  std::vector<std::string> failures;
  for (int variant = 0; variant < 12; ++variant) {
    const Scenario scenario = random_scenario(random, variant);
    const LoadOutcome one_thread = load_scenario(scenario, 1);
    failures.push_back(one_thread.failure);
    for (const std::uint64_t n_thread : kThreadCounts) {
      EXPECT_EQ(load_scenario(scenario, n_thread), one_thread)
          << "variant " << variant << ", " << n_thread << " threads";
    }
    if (!scenario.borrowed) continue;
    for (const std::uint64_t n_thread : {1, 2, 3, 4}) {
      EXPECT_EQ(load_scenario(scenario, n_thread, true), one_thread)
          << "variant " << variant << ", borrowed, " << n_thread << " threads";
    }
  }
  // The variants reach every kind of outcome.
  for (const std::string expected : {"no failure", "attempt to divide by zero", kAbsent.c_str()}) {
    EXPECT_NE(std::find(failures.begin(), failures.end(), expected), failures.end()) << expected;
  }
}

TEST(ThreadedLoad, KeepsOnlyTheRecordsBuiltBeforeTheFirstFailingFeature) {
  // "b" fails on NaN; "c" and "d" would bin fine on other threads but come after it.
  const Strings headers{"a", "b", "c", "d"};
  std::vector<std::vector<Cell>> rows;
  for (int row = 0; row < 1000; ++row) {
    rows.push_back({1.0f * (row % 7), row == 500 ? kNaN : 1.0f * row, 2.0f * row, 1.0f});
  }
  const CellTable table = table_of(rows);
  for (const std::uint64_t n_thread : kThreadCounts) {
    DataLoader loader({"a", "b", "c", "d"}, "y", {}, "w", {"a", "d"}, 8);
    EXPECT_EQ(fault_message([&] { loader.load(headers, table, n_thread); }), kAbsent);
    EXPECT_EQ(loader.discrete_bins().size(), 1u);
    EXPECT_TRUE(loader.discrete_bins().contains("a"));
    EXPECT_TRUE(loader.continuous_bins().empty());

    // With n_bin 0 every numeric feature fails; the first in feature order decides the message.
    DataLoader no_bins({"c", "b"}, "y", {}, "w", {}, 0);
    EXPECT_EQ(fault_message([&] { no_bins.load(headers, table, n_thread); }),
              "attempt to divide by zero");
  }
}

}  // namespace
}  // namespace quorvanta

namespace quorvanta {
namespace {

struct Stop {};

// A stride-0 view repeats one row 2^40 times; checking its treatment cells would take hours, so
// only the loops' interrupt checks end these loads. The poll's exception is what the caller gets,
// on one thread and on several, while fitting (binning) and while checking for prediction.
TEST(InterruptedLoad, LongLoadsEndAtThePollsException) {
  const float row[] = {1.5f, 1.0f, 2.0f};
  const CellTable endless(StridedCells{reinterpret_cast<const std::byte*>(row),
                                       std::size_t{1} << 40, 3, 0, sizeof(float),
                                       CellType::kFloat});
  const CellTable long_table(StridedCells{reinterpret_cast<const std::byte*>(row),
                                          std::size_t{1} << 23, 3, 0, sizeof(float),
                                          CellType::kFloat});
  const Strings headers{"x", "treatment", "y"};
  OrderedMap<ContinuousBin> held;
  held.insert_or_assign("x", ContinuousBin{});
  for (const std::uint64_t n_thread : {1, 2}) {
    const InterruptionScope scope([] { throw Stop{}; });
    DataLoader predicting({"x"}, "y", {"treatment"}, "", {}, 30, held);
    EXPECT_THROW(predicting.locate_features(headers, endless, n_thread), Stop);
    // Long enough to outlast the poll interval while its bins are built and its rows binned.
    DataLoader building({"x", "y"}, "y", {"treatment"}, "", {}, 30);
    EXPECT_THROW(building.load(headers, long_table, n_thread), Stop);
  }
  // Every task the workers took ends at their next check; the tasks' own failures give way.
  const InterruptionScope scope([] { throw Stop{}; });
  const FirstTaskFailure outcome = run_ordered_tasks(1000, 2, [](std::size_t k) {
    if (k == 500) fail("task 500");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    check_interruption();
  });
  EXPECT_THROW(rethrow_failure(outcome), Stop);
}

}  // namespace
}  // namespace quorvanta
