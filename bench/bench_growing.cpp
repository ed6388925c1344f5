// Times whole fits of each growing path on the same 1,000,000 x 20 table (30 bins per feature,
// about 1% missing, two treatment groups), 20 trees of depth 6, max_features 10, seed 1:
//   counted:  classification with unit weights (cells are counts);
//   weighted: classification with non-unit weights (sums in row order);
//   regression: regression with unit weights (sums in row order).
// Prints, per path, the one-thread CPU and wall time, the two-thread wall time, the path's
// one-thread time as a multiple of the counted path's (the targets are ratios: the machine is
// shared) and its two-thread speed-up. Uses only the model's fit, so the same source builds
// against an older library for a before/after comparison (bench/bench_growing.py).
//
// --fit-memory fits each named path once with 2 threads and prints what the fit added to the
// process's peak resident size per row (run each path in a fresh process: the peak only grows).
//
//     bench_growing [--rows N] [--repeats R] [--paths counted,weighted,regression] [--fit-memory]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench_tables.hpp"
#include "common/tree_config.hpp"
#include "forest/model.hpp"

namespace {

using namespace quorvanta;
using namespace quorvanta::bench;

constexpr std::size_t kFeatures = 20;
constexpr std::uint64_t kBins = 30;

struct Path {
  const char* name;
  ModelKind kind;
  bool unit_weights;
};

constexpr Path kPaths[] = {
    {"counted", ModelKind::Classification, true},
    {"weighted", ModelKind::Classification, false},
    {"regression", ModelKind::Regression, true},
};

DataMatrix random_matrix(std::size_t n_rows, const Path& path) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> percent(0, 99);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  DataMatrix data = bench::sized_matrix(n_rows, kFeatures, kBins, random);
  for (std::size_t row = 0; row < n_rows; ++row) {
    const int group = percent(random) % 2;
    data.treatment[0][row] = static_cast<std::uint8_t>(group);
    const bool lifted = group == 1 && data.x[0][row] < kBins / 2;
    if (path.kind == ModelKind::Classification) {
      data.y[row] = percent(random) < (lifted ? 40 : 30) ? 1.0f : 0.0f;
    } else {
      data.y[row] = noise(random) + (lifted ? 0.5f : 0.0f);
    }
    data.weight[row] =
        path.unit_weights ? 1.0f : 0.5f + static_cast<float>(percent(random)) / 64.0f;
  }
  data.n_treatment = {2};
  return data;
}

// The fastest of `repeats` fits: on a shared machine the least disturbed run is the steadiest.
FitTimes fit_seconds(const DataMatrix& data, ModelKind kind, std::uint64_t n_thread, int repeats) {
  FitTimes best;
  for (int repeat = 0; repeat < repeats; ++repeat) {
    ForestModel model(kind, forest_config(n_thread));
    const double wall_started = wall_seconds();
    const double cpu_started = cpu_seconds();
    model.fit(data);
    best.wall = std::min(best.wall, wall_seconds() - wall_started);
    best.cpu = std::min(best.cpu, cpu_seconds() - cpu_started);
  }
  return best;
}

long peak_kilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// What a 2-thread fit adds to the peak, per row; the fit owns the table, as a model's fit does.
void fit_memory(const Path& path, std::size_t n_rows) {
  DataMatrix data = random_matrix(n_rows, path);
  ForestModel model(path.kind, forest_config(2));
  const long before = peak_kilobytes();
  model.fit(std::move(data));
  const double added = static_cast<double>(peak_kilobytes() - before) * 1024.0;
  std::printf("%-10s fit memory, 2 threads: %.1f bytes per row\n", path.name,
              added / static_cast<double>(n_rows));
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t n_rows = 1'000'000;
  int repeats = 2;
  std::string wanted = "counted,weighted,regression";
  bool memory = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fit-memory") == 0) memory = true;
  }
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--rows") == 0) n_rows = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--repeats") == 0) repeats = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--paths") == 0) wanted = argv[i + 1];
  }
  if (memory) {
    for (const Path& path : kPaths) {
      if (wanted.find(path.name) != std::string::npos) fit_memory(path, n_rows);
    }
    return 0;
  }
  std::printf("%zu x %zu, 20 trees, depth 6, max_features 10, best of %d\n", n_rows, kFeatures,
              repeats);
  std::printf("%-10s %9s %9s %9s %9s %10s %9s\n", "path", "1thr cpu", "1thr wall", "2thr wall",
              "2thr cpu", "x counted", "speed-up");
  double counted_cpu = 0.0;
  for (const Path& path : kPaths) {
    if (wanted.find(path.name) == std::string::npos) continue;
    const DataMatrix data = random_matrix(n_rows, path);
    const FitTimes one = fit_seconds(data, path.kind, 1, repeats);
    const FitTimes two = fit_seconds(data, path.kind, 2, repeats);
    if (path.unit_weights && path.kind == ModelKind::Classification) counted_cpu = one.cpu;
    const double relative = counted_cpu > 0.0 ? one.cpu / counted_cpu : 0.0;
    std::printf("%-10s %9.3f %9.3f %9.3f %9.3f %9.2fx %8.2fx\n", path.name, one.cpu, one.wall,
                two.wall, two.cpu, relative, one.wall / two.wall);
    std::fflush(stdout);
  }
  return 0;
}
