// A shallow tree laid out level by level and complete to its depth, as a heap: the root sits at
// position 1 and the children of position q at 2q (left) and 2q + 1 (right). A row then takes
// exactly `depth` steps, each a load of the node's test and of the row's key, with the next
// position computed from the comparison, never loaded. Positions below a leaf repeat the leaf
// (they send every row left), so each position of the last level names the leaf it stands for.
//
// Rows walk in groups side by side: 16 to a vector register where the processor has 512-bit
// vectors, 8 where it has AVX2, and 8 independent scalar chains otherwise; several registers
// walk interleaved, since each step waits for its gathered keys. All three give the
// same leaves; the vector widths are chosen at run time, the default build assumes none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvanta {

enum class LevelWalk : std::uint8_t {
  kPortable,  // scalar, 8 rows side by side
  kAvx2,      // 8 rows to a 256-bit register
  kAvx512,    // 16 rows to a 512-bit register
};

struct LevelLayout {
  // Deeper trees would need tables beyond the first-level cache; they walk node by node.
  static constexpr std::size_t kMaxDepth = 10;
  // Tables hold at least this many positions, so that the vector walk can read the first two
  // levels' windows of 32 positions whatever the depth.
  static constexpr std::size_t kMinPositions = 64;

  std::size_t depth = 0;
  // By heap position (entry 0 unused): a row goes right when key - low > span in unsigned
  // arithmetic, its key being at key_offset from the row's first key.
  std::vector<std::uint32_t> low;
  std::vector<std::uint32_t> span;
  std::vector<std::uint32_t> key_offset;
  // By position on the last level (heap position minus 2^depth): the tree's node there.
  std::vector<std::uint32_t> leaf;
};

// The widest walk this processor runs.
LevelWalk fastest_level_walk();
// Rows one step of the walk takes at once.
std::size_t walk_lanes(LevelWalk walk);

// The leaf of each of `count` rows whose keys are in `keys`, as CompiledForest::gather lays them
// out. A walk the processor lacks is replaced by the portable one.
void walk_levels(const LevelLayout& layout, const std::uint32_t* keys, std::size_t count,
                 std::uint32_t* leaves, LevelWalk walk);

}  // namespace quorvanta
