// Times histogram construction for the classification criterion on 1,000,000 rows, 20 numeric
// features of 30 bins (about 1% missing), two treatment groups, in ns per row x feature:
//   reference: accumulating f32 weights into a histogram from contiguous arrays (cell base, bin,
//              weight per row), the plain cost of the sums the criterion needs, over the rows in
//              bootstrap (random) order and in ascending order;
//   root search: the histograms and scans of 10 searched features over a tree's root, as growing
//              runs them, with unit weights (counts) and with non-unit weights (ordered sums);
//   root split: what dividing the root's rows costs, per row x searched feature.
// Last, grows whole trees (max_depth 6, non-unit weights) and reports ns per row x searched
// feature x level.
//
// --forest fits whole forests as a model does (20 trees, depth 6, max_features 10,
// classification, unit weights, 1 and 2 threads) on 1,000,000 x 20 and 200,000 x 100 tables and
// prints the wall time as a multiple of the histogram limit: rows x trees x max_features x levels
// x the reference rate measured in the same run.
//
// --fit-memory T fits that forest once on the 1,000,000 x 20 table with T threads and prints what
// the fit added to the process's peak resident size, per row (the table itself excluded).
//
//     bench_histogram [--trees N] [--max-features K] [--grow-only] [--forest] [--fit-memory T]
#include <sys/resource.h>
#include <time.h>

#include <chrono>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench_tables.hpp"
#include "common/tree_config.hpp"
#include "forest/model.hpp"
#include "stats/flat_histogram.hpp"
#include "tree/shared_rng.hpp"
#include "tree/tree_learner.hpp"

namespace {

using namespace quorvanta;
using namespace quorvanta::bench;

constexpr std::size_t kRows = 1'000'000;
constexpr std::size_t kFeatures = 20;
constexpr std::size_t kCandidates = 10;
constexpr std::uint64_t kBins = 30;

// `unit_weights` gives every row weight 1, as a table without a weight column has.
DataMatrix random_matrix(std::size_t n_rows = kRows, std::size_t n_features = kFeatures,
                         bool unit_weights = false) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> percent(0, 99);
  DataMatrix data = bench::sized_matrix(n_rows, n_features, kBins, random);
  for (std::size_t row = 0; row < n_rows; ++row) {
    data.treatment[0][row] = static_cast<std::uint8_t>(percent(random) % 2);
    data.y[row] = percent(random) < 30 ? 1.0f : 0.0f;
    data.weight[row] = 0.5f + static_cast<float>(percent(random)) / 64.0f;
    if (unit_weights) data.weight[row] = 1.0f;
  }
  data.n_treatment = {2};
  return data;
}

// The plain cost: every input already contiguous in row order.
double reference_ns(const DataMatrix& data, const std::vector<RowId>& rows, int repeats) {
  const std::size_t n = rows.size();
  std::vector<std::uint32_t> row_cells(n);
  std::vector<float> weights(n);
  std::vector<std::vector<std::uint8_t>> bins(kCandidates, std::vector<std::uint8_t>(n));
  for (std::size_t i = 0; i < n; ++i) {
    const RowId row = rows[i];
    row_cells[i] = static_cast<std::uint32_t>(
        (static_cast<std::uint32_t>(data.y[row]) * 2 + data.treatment[0][row]) * kSlotStride);
    weights[i] = data.weight[row];
    for (std::size_t f = 0; f < kCandidates; ++f) {
      const std::uint8_t bin = data.x[f][row];
      bins[f][i] = bin == kMissingBin ? static_cast<std::uint8_t>(kBins) : bin;
    }
  }
  std::vector<float> cells(4 * kSlotStride);
  float checksum = 0.0f;
  double best = 1e30;
  for (int repeat = 0; repeat < repeats; ++repeat) {
    const double started = cpu_seconds();
    for (std::size_t f = 0; f < kCandidates; ++f) {
      std::fill(cells.begin(), cells.end(), 0.0f);
      const std::uint8_t* const feature_bins = bins[f].data();
      for (std::size_t i = 0; i < n; ++i) {
        float& cell = cells[row_cells[i] + feature_bins[i]];
        cell = weights[i] + cell;
      }
      checksum = checksum + cells[kSlotStride + 3];
    }
    best = std::min(best, cpu_seconds() - started);
  }
  if (checksum == -1.0f) std::puts("");  // keeps the sums alive
  return best * 1e9 / (static_cast<double>(n) * kCandidates);
}

// ns per drawn row x feature of the root's search as growing runs it: the histogram and scan of
// each of 10 candidate features over a bootstrap draw of every row. With unit weights the search
// counts (each distinct drawn row once, with its multiplicity); otherwise it adds the weights in
// row order, gathering the bins through the rows.
double root_search_ns(const DataMatrix& data, int repeats) {
  TreeRows rows(data);
  SharedRng rng(7);
  rows.start_tree(ModelKind::Classification, 1.0f, rng);
  const NodeCriterion criterion;
  std::vector<std::uint64_t> features(kCandidates);
  for (std::size_t f = 0; f < kCandidates; ++f) features[f] = f;
  float checksum = 0.0f;
  double best = 1e30;
  for (int repeat = 0; repeat < repeats; ++repeat) {
    const double started = cpu_seconds();
    rows.search_node(criterion, 0, features,
                     [&](std::uint64_t, const FeatureSplit& split, std::vector<float>&) {
                       checksum = checksum + split.gain;
                     });
    best = std::min(best, cpu_seconds() - started);
  }
  if (checksum == -1.0f) std::puts("");
  return best * 1e9 / (static_cast<double>(data.n_rows()) * kCandidates);
}

// What splitting the root costs (a numeric split on feature 0), per drawn row x searched feature.
double root_split_ns(const DataMatrix& data, int repeats) {
  TreeRows rows(data);
  SharedRng rng(7);
  rows.start_tree(ModelKind::Classification, 1.0f, rng);
  SplitInfo split;
  split.feature_id = 0;
  split.value = std::vector<std::uint8_t>{kBins / 2};
  double best = 1e30;
  for (int repeat = 0; repeat < repeats; ++repeat) {
    const double started = cpu_seconds();
    rows.split_node(split);
    best = std::min(best, cpu_seconds() - started);
  }
  return best * 1e9 / (static_cast<double>(data.n_rows()) * kCandidates);
}

void grow_trees(const DataMatrix& data, int n_trees, std::uint64_t max_features) {
  TreeConfig config;
  config.max_features = max_features;
  config.max_depth = 6;
  config.seed = 1;
  SharedRng rng(config.seed);
  double seconds = 0.0;
  std::size_t nodes = 0;
  for (int tree = 0; tree < n_trees; ++tree) {
    TreeLearner learner = TreeLearner::create(ModelKind::Classification, config);
    const double started = cpu_seconds();
    grow_tree(learner, data, rng);
    seconds += cpu_seconds() - started;
    nodes += learner.tree.level.size();
  }
  // Every level, the leaves' one included, scores each of its rows on every candidate feature.
  const double work = static_cast<double>(kRows) * max_features * (config.max_depth + 1) * n_trees;
  std::printf(
      "grow %d trees, max_features %llu: %.3f s per tree, %.2f ns per row x feature x level, %zu "
      "nodes\n",
      n_trees, static_cast<unsigned long long>(max_features), seconds / n_trees,
      seconds * 1e9 / work, nodes);
}

// A whole fit as the model runs it; the fastest of `repeats` runs, wall and CPU time.
FitTimes forest_fit_seconds(const DataMatrix& data, std::uint64_t n_thread, int repeats) {
  const TreeConfig config = forest_config(n_thread);
  FitTimes best;
  for (int repeat = 0; repeat < repeats; ++repeat) {
    ForestModel model(ModelKind::Classification, config);
    const double wall_started = wall_seconds();
    const double cpu_started = cpu_seconds();
    model.fit(data);
    best.wall = std::min(best.wall, wall_seconds() - wall_started);
    best.cpu = std::min(best.cpu, cpu_seconds() - cpu_started);
  }
  return best;
}

// On a shared machine the CPU time of one thread is the steadier figure; the 2-thread speed-up
// compares wall times and needs two idle cores.
void forest_figures(double reference, int repeats) {
  std::printf(
      "forest fit, 20 trees, depth 6, max_features 10, unit weights; limit = rows x 20 x 10 "
      "x 7 levels x %.3f ns\n",
      reference);
  std::printf("%-12s %7s %9s %9s %8s %9s %9s %8s\n", "table", "limit s", "1thr wall", "1thr cpu",
              "x limit", "2thr wall", "2thr cpu", "speed-up");
  for (const auto& [n_rows, n_features] :
       {std::pair<std::size_t, std::size_t>{1'000'000, 20}, {200'000, 100}}) {
    const DataMatrix data = random_matrix(n_rows, n_features, true);
    const double limit = static_cast<double>(n_rows) * 20 * 10 * 7 * reference * 1e-9;
    const FitTimes one = forest_fit_seconds(data, 1, repeats);
    const FitTimes two = forest_fit_seconds(data, 2, repeats);
    const std::string name = std::to_string(n_rows) + " x " + std::to_string(n_features);
    std::printf("%-12s %7.3f %9.3f %9.3f %7.2fx %9.3f %9.3f %7.2fx\n", name.c_str(), limit,
                one.wall, one.cpu, one.cpu / limit, two.wall, two.cpu, one.wall / two.wall);
  }
}

long peak_kilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void fit_memory(std::uint64_t n_thread) {
  DataMatrix data = random_matrix(kRows, kFeatures, true);
  ForestModel model(ModelKind::Classification, forest_config(n_thread));
  const long before = peak_kilobytes();
  model.fit(std::move(data));  // the fit owns the table, as a model's fit does
  const double added = static_cast<double>(peak_kilobytes() - before) * 1024.0;
  std::printf("fit of 1,000,000 x 20, %llu threads: growing added %.1f MB, %.1f bytes per row\n",
              static_cast<unsigned long long>(n_thread), added / 1048576.0,
              added / static_cast<double>(kRows));
}

}  // namespace

int main(int argc, char** argv) {
  int n_trees = 3;
  std::uint64_t max_features = kCandidates;
  bool grow_only = false;
  bool forest = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--grow-only") == 0) grow_only = true;
    if (std::strcmp(argv[i], "--forest") == 0) forest = true;
    if (i + 1 >= argc) continue;
    if (std::strcmp(argv[i], "--trees") == 0) n_trees = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--max-features") == 0) max_features = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--fit-memory") == 0) {
      fit_memory(std::strtoull(argv[i + 1], nullptr, 10));
      return 0;
    }
  }
  SharedRng rng(7);
  std::vector<RowId> bootstrap = rng.sample_indices(kRows, kRows, true);
  if (forest) {
    double reference = 0.0;
    {
      const DataMatrix data = random_matrix();
      reference = reference_ns(data, bootstrap, 7);
    }
    forest_figures(reference, 3);
    return 0;
  }
  const DataMatrix data = random_matrix();
  std::vector<RowId> ascending = bootstrap;
  std::sort(ascending.begin(), ascending.end());

  if (!grow_only) {
    constexpr int kRepeats = 7;  // the fastest run counts: the machine is shared
    std::printf("reference, ns per row x feature: bootstrap order %.3f, ascending order %.3f\n",
                reference_ns(data, bootstrap, kRepeats), reference_ns(data, ascending, kRepeats));
    const DataMatrix unit = random_matrix(kRows, kFeatures, true);
    std::printf("root search, ns per drawn row x feature: unit weights %.3f, weights %.3f\n",
                root_search_ns(unit, kRepeats), root_search_ns(data, kRepeats));
    std::printf(
        "root split, ns per drawn row x searched feature: unit weights %.3f, weights %.3f\n",
        root_split_ns(unit, kRepeats), root_split_ns(data, kRepeats));
  }
  if (n_trees > 0) grow_trees(data, n_trees, max_features);
  return 0;
}
