// Times histogram construction for the classification criterion on 1,000,000 rows, 20 numeric
// features of 30 bins (about 1% missing), two treatment groups and non-unit weights, in ns per
// row x feature:
//   reference: accumulating f32 weights into a histogram from contiguous arrays (cell base, bin,
//              weight per row), the plain cost of the sums the criterion needs;
//   node build: the histogram and scan of one of 10 searched features over a node, as tree
//              growing runs it with every feature's bins kept in partition order;
//   gathered bins: the same with the bins gathered through the row indices (growing does this
//              when few of many features are searched per node);
// each over the rows in bootstrap (random) order and in ascending row order; then what keeping
// the bins in partition order costs at a split, per row x searched feature. Last, grows whole
// trees (max_depth 6) and reports ns per row x searched feature x level.
//
//     bench_histogram [--trees N] [--max-features K] [--grow-only]
#include <time.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/tree_config.hpp"
#include "stats/flat_histogram.hpp"
#include "stats/node_split.hpp"
#include "tree/shared_rng.hpp"
#include "tree/tree_learner.hpp"

namespace {

using namespace quorvanta;

constexpr std::size_t kRows = 1'000'000;
constexpr std::size_t kFeatures = 20;
constexpr std::size_t kCandidates = 10;
constexpr std::uint64_t kBins = 30;

// CPU time of this process: the machine is shared, so wall time alone is noisy.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

DataMatrix random_matrix() {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> bin(0, kBins - 1);
  std::uniform_int_distribution<int> percent(0, 99);
  DataMatrix data;
  data.x.assign(kFeatures, std::vector<std::uint8_t>(kRows));
  for (std::size_t f = 0; f < kFeatures; ++f) {
    for (std::uint8_t& cell : data.x[f]) {
      cell = percent(random) == 0 ? kMissingBin : static_cast<std::uint8_t>(bin(random));
    }
    data.feature_names.push_back(std::string("f").append(std::to_string(f)));
    data.n_bins.insert_or_assign(data.feature_names.back(), kBins);
    data.is_cat.push_back(0);
  }
  data.treatment.emplace_back(kRows);
  data.y.resize(kRows);
  data.weight.resize(kRows);
  for (std::size_t row = 0; row < kRows; ++row) {
    data.treatment[0][row] = static_cast<std::uint8_t>(percent(random) % 2);
    data.y[row] = percent(random) < 30 ? 1.0f : 0.0f;
    data.weight[row] = 0.5f + static_cast<float>(percent(random)) / 64.0f;
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

// ns per row x feature of the node search as growing runs it: the histogram and scan of each of
// 10 candidate features over the node's stretch, with every feature's bins kept in partition
// order (`in_order`) or gathered through the row indices.
double node_build_ns(const DataMatrix& data, const std::vector<RowId>& rows, bool in_order,
                     int repeats) {
  KlCriterionParams params;
  NodeSplitScratch scratch;
  start_class_tree(data, rows, in_order, scratch);
  begin_node(0, 0, scratch);
  float checksum = 0.0f;
  double best = 1e30;
  for (int repeat = 0; repeat < repeats; ++repeat) {
    const double started = cpu_seconds();
    for (std::size_t f = 0; f < kCandidates; ++f) {
      checksum = checksum + kl_node_split(params, data, f, rows, scratch).gain;
    }
    best = std::min(best, cpu_seconds() - started);
  }
  if (checksum == -1.0f) std::puts("");
  return best * 1e9 / (static_cast<double>(rows.size()) * kCandidates);
}

// What keeping the bins in partition order costs at a split: every feature's bins and the rows'
// entries follow the partition, here of a numeric split of the whole range on feature 0 (a stable
// counting sort by bin); per row x searched feature.
double reorder_ns(const DataMatrix& data, const std::vector<RowId>& rows, int repeats) {
  NodeSplitScratch scratch;
  start_class_tree(data, rows, true, scratch);
  std::array<std::uint32_t, 256> next{};
  for (const RowId row : rows) ++next[data.x[0][row]];
  std::uint32_t position = 0;
  for (std::uint32_t& count : next) position += std::exchange(count, position);
  scratch.destinations.resize(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    scratch.destinations[i] = next[data.x[0][rows[i]]]++;
  }
  double best = 1e30;
  for (int repeat = 0; repeat < repeats; ++repeat) {
    begin_node(0, 0, scratch);
    const double started = cpu_seconds();
    follow_partition(scratch);
    best = std::min(best, cpu_seconds() - started);
  }
  return best * 1e9 / (static_cast<double>(rows.size()) * kCandidates);
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

}  // namespace

int main(int argc, char** argv) {
  int n_trees = 3;
  std::uint64_t max_features = kCandidates;
  bool grow_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--grow-only") == 0) grow_only = true;
    if (i + 1 >= argc) continue;
    if (std::strcmp(argv[i], "--trees") == 0) n_trees = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--max-features") == 0) max_features = std::atoi(argv[i + 1]);
  }
  const DataMatrix data = random_matrix();
  SharedRng rng(7);
  std::vector<RowId> bootstrap = rng.sample_indices(kRows, kRows, true);
  std::vector<RowId> ascending = bootstrap;
  std::sort(ascending.begin(), ascending.end());

  if (!grow_only) {
    constexpr int kRepeats = 7;  // the fastest run counts: the machine is shared
    std::printf("ns per row x feature; node build = histogram + scan of one feature over a node\n");
    std::printf("%-10s %10s %12s %8s %14s %8s\n", "order", "reference", "node build", "ratio",
                "gathered bins", "ratio");
    for (const auto& [name, rows] :
         {std::pair<const char*, const std::vector<RowId>*>{"bootstrap", &bootstrap},
          {"sorted", &ascending}}) {
      const double reference = reference_ns(data, *rows, kRepeats);
      const double in_order = node_build_ns(data, *rows, true, kRepeats);
      const double gathered = node_build_ns(data, *rows, false, kRepeats);
      std::printf("%-10s %10.3f %12.3f %7.2fx %14.3f %7.2fx\n", name, reference, in_order,
                  in_order / reference, gathered, gathered / reference);
    }
    std::printf("reordering %zu features' bins at a split: %.3f ns per row x searched feature\n",
                kFeatures, reorder_ns(data, bootstrap, kRepeats));
  }
  if (n_trees > 0) grow_trees(data, n_trees, max_features);
  return 0;
}
