// Times the three walks of trees laid out by level on chunks of 256 rows whose keys stay in the
// first-level cache: 20 complete trees of depth 6 over 20 columns of random keys, in ns per row
// and tree, and each walk's speed against the portable one in the same run. A walk the processor
// lacks runs as the portable one.
//
//     bench_level_walk [--chunks N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "forest/level_walk.hpp"

using quorvanta::LevelLayout;
using quorvanta::LevelWalk;

namespace {

constexpr std::size_t kDepth = 6, kTrees = 20, kColumns = 20, kChunkRows = 256;

std::vector<LevelLayout> random_trees(std::mt19937& random) {
  std::vector<LevelLayout> trees(kTrees);
  for (LevelLayout& tree : trees) {
    tree.depth = kDepth;
    const std::size_t n_positions = std::size_t{1} << kDepth;
    tree.low.assign(n_positions, 0);
    tree.span.resize(n_positions);
    tree.key_offset.resize(n_positions);
    for (std::size_t q = 0; q < n_positions; ++q) {
      tree.span[q] = random() >> 1;  // about half the rows go each way
      tree.key_offset[q] = static_cast<std::uint32_t>((random() % kColumns) * kChunkRows);
    }
    tree.leaf.resize(n_positions);
    for (std::size_t p = 0; p < n_positions; ++p) tree.leaf[p] = static_cast<std::uint32_t>(p);
  }
  return trees;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t chunks = 4000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--chunks") == 0) chunks = std::strtoull(argv[i + 1], nullptr, 10);
  }
  std::mt19937 random(1);
  const std::vector<LevelLayout> trees = random_trees(random);
  std::vector<std::uint32_t> keys(kColumns * kChunkRows);
  for (std::uint32_t& key : keys) key = random();
  std::vector<std::uint32_t> leaves(kChunkRows);
  const char* names[] = {"portable", "avx2", "avx512"};
  double portable = 0;
  for (const LevelWalk walk : {LevelWalk::kPortable, LevelWalk::kAvx2, LevelWalk::kAvx512}) {
    double best = 1e300;
    std::uint64_t checksum = 0;
    for (int repeat = 0; repeat < 5; ++repeat) {
      const auto started = std::chrono::steady_clock::now();
      for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
        for (const LevelLayout& tree : trees) {
          quorvanta::walk_levels(tree, keys.data(), kChunkRows, leaves.data(), walk);
          checksum += leaves[chunk % kChunkRows];
        }
      }
      const std::chrono::duration<double, std::nano> took =
          std::chrono::steady_clock::now() - started;
      best = std::min(best, took.count() / static_cast<double>(chunks * kChunkRows * kTrees));
    }
    if (walk == LevelWalk::kPortable) portable = best;
    std::printf("%-8s %5.2f ns per row and tree, %4.2fx the portable walk (checksum %llu)\n",
                names[static_cast<int>(walk)], best, portable / best,
                static_cast<unsigned long long>(checksum));
  }
}
