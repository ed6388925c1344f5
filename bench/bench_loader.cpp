// Times DataLoader::load on 1,000,000 rows x 20 columns (15 numeric features, 2 categorical
// features, outcome, treatment, weight; about 1% of feature cells missing) with 1 and 2 threads.
// The first load builds every bin record, the second reuses them. Then the same for 20 numeric
// features borrowed from a row-major float32 buffer, as a numpy table is read, in ns per value.
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "data/data_loader.hpp"

namespace {

using quorvanta::CellTable;
using quorvanta::DataLoader;

constexpr std::size_t kRows = 1'000'000;
constexpr int kNumeric = 15;
constexpr int kCategorical = 2;

CellTable random_table(std::vector<std::string>& headers) {
  for (int f = 0; f < kNumeric; ++f) headers.push_back("num" + std::to_string(f));
  for (int f = 0; f < kCategorical; ++f) headers.push_back("cat" + std::to_string(f));
  headers.insert(headers.end(), {"y", "treatment", "weight"});

  std::mt19937 random(20240601);
  std::uniform_real_distribution<float> uniform(-100.0f, 100.0f);
  std::uniform_int_distribution<int> percent(0, 99);
  CellTable table;
  table.reserve(kRows, kRows * headers.size());
  for (std::size_t row = 0; row < kRows; ++row) {
    for (int f = 0; f < kNumeric; ++f) {
      // Every third column has few distinct values, as counts or rounded measurements do.
      const float value = f % 3 == 0 ? static_cast<float>(percent(random) / 4) : uniform(random);
      table.push_cell(percent(random) == 0 ? quorvanta::missing_cell() : value);
    }
    table.push_cell(static_cast<float>(percent(random) % 12));
    table.push_cell(percent(random) == 0 ? quorvanta::missing_cell()
                                         : static_cast<float>(percent(random) * 7));
    table.push_cell(static_cast<float>(percent(random) % 2));
    table.push_cell(static_cast<float>(percent(random) % 3));
    table.push_cell(1.0f + static_cast<float>(percent(random)) / 100.0f);
    table.end_row();
  }
  return table;
}

// CPU time of this process: the machine is shared, so wall time alone is noisy.
double cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct Timing {
  double wall_ms;
  double cpu_ms;
};

Timing time_load(DataLoader& loader, const std::vector<std::string>& headers,
                 const CellTable& table, std::uint64_t n_thread) {
  const double cpu_start = cpu_ms();
  const auto start = std::chrono::steady_clock::now();
  const quorvanta::DataMatrix data = loader.load(headers, table, n_thread);
  const auto stop = std::chrono::steady_clock::now();
  const double cpu_stop = cpu_ms();
  if (data.n_rows() != kRows) std::fprintf(stderr, "unexpected row count\n");
  return {std::chrono::duration<double, std::milli>(stop - start).count(), cpu_stop - cpu_start};
}

// The machine is shared, so each figure is the best of three by wall time. With threads, cpu time
// adds up every thread's share.
constexpr int kRepeats = 3;

Timing faster(const Timing& a, const Timing& b) {
  return a.wall_ms <= b.wall_ms ? a : b;
}

// 20 numeric float32 features in a row-major buffer: normal values, every fourth column rounded
// to few distinct values.
std::vector<float> numeric_buffer(std::vector<std::string>& headers) {
  constexpr int kFeatures = 20;
  for (int f = 0; f < kFeatures; ++f) headers.push_back("x" + std::to_string(f));
  std::mt19937 random(7);
  std::normal_distribution<float> normal;
  std::vector<float> cells(kRows * kFeatures);
  for (std::size_t row = 0; row < kRows; ++row) {
    for (int f = 0; f < kFeatures; ++f) {
      const float value = normal(random);
      cells[row * kFeatures + f] = f % 4 == 0 ? std::floor(value * 8) : value;
    }
  }
  return cells;
}

void time_borrowed(std::uint64_t n_bin) {
  std::vector<std::string> headers;
  const std::vector<float> cells = numeric_buffer(headers);
  const auto n_columns = static_cast<std::ptrdiff_t>(headers.size());
  const CellTable table(quorvanta::StridedCells{reinterpret_cast<const std::byte*>(cells.data()),
                                                kRows, headers.size(),
                                                n_columns * std::ptrdiff_t{sizeof(float)},
                                                sizeof(float), quorvanta::CellType::kFloat});
  const double values = static_cast<double>(kRows * headers.size());
  std::printf("borrowed float32 buffer, %zu rows x %zu numeric features, n_bin %llu\n", kRows,
              headers.size(), static_cast<unsigned long long>(n_bin));
  for (const std::uint64_t n_thread : {1, 2}) {
    Timing first{1e300, 0};
    Timing reuse{1e300, 0};
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
      DataLoader loader(headers, "", {}, "", {}, n_bin);
      first = faster(first, time_load(loader, headers, table, n_thread));
      reuse = faster(reuse, time_load(loader, headers, table, n_thread));
    }
    std::printf("  %llu thread(s): bins built %.1f ms wall, %.1f ms cpu (%.1f ns/value wall, %.1f "
                "cpu)\n",
                static_cast<unsigned long long>(n_thread), first.wall_ms, first.cpu_ms,
                first.wall_ms * 1e6 / values, first.cpu_ms * 1e6 / values);
    std::printf("               bins reused %.1f ms wall, %.1f ms cpu (%.1f ns/value wall, %.1f "
                "cpu)\n",
                reuse.wall_ms, reuse.cpu_ms, reuse.wall_ms * 1e6 / values,
                reuse.cpu_ms * 1e6 / values);
  }
}

}  // namespace

int main() {
  std::vector<std::string> headers;
  const CellTable table = random_table(headers);
  const std::vector<std::string> features(headers.begin(),
                                          headers.begin() + kNumeric + kCategorical);
  const auto new_loader = [&] {
    return DataLoader(features, "y", {"treatment"}, "weight", {"cat0", "cat1"}, 254);
  };

  std::printf("load %zu rows x %zu columns\n", kRows, headers.size());
  for (const std::uint64_t n_thread : {1, 2}) {
    Timing first{1e300, 0};
    Timing reuse{1e300, 0};
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
      DataLoader loader = new_loader();
      first = faster(first, time_load(loader, headers, table, n_thread));
      reuse = faster(reuse, time_load(loader, headers, table, n_thread));
    }
    std::printf("  %llu thread(s): first load (builds bins) %.1f ms wall, %.1f ms cpu\n",
                static_cast<unsigned long long>(n_thread), first.wall_ms, first.cpu_ms);
    std::printf("               later load (reuses bins) %.1f ms wall, %.1f ms cpu\n",
                reuse.wall_ms, reuse.cpu_ms);
  }
  time_borrowed(30);
  time_borrowed(254);
  return 0;
}
