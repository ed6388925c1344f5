#include "forest/level_walk.hpp"

#include <immintrin.h>

#include <algorithm>

namespace quorvanta {
namespace {

// Rows [begin, count) in groups of kLanes independent chains of loads that overlap, the rest one
// by one.
void walk_portable(const LevelLayout& layout, const std::uint32_t* keys, std::size_t begin,
                   std::size_t count, std::uint32_t* leaves) {
  const std::uint32_t* low = layout.low.data();
  const std::uint32_t* span = layout.span.data();
  const std::uint32_t* key_offset = layout.key_offset.data();
  const std::uint32_t first_leaf = std::uint32_t{1} << layout.depth;
  const auto next = [&](std::uint32_t q, const std::uint32_t* row_keys) {
    const bool goes_right = row_keys[key_offset[q]] - low[q] > span[q];
    return 2 * q + static_cast<std::uint32_t>(goes_right);
  };
  // More chains than 8 run out of registers (20 trees of depth 6: 4.5 ns per row and tree with 8,
  // 5.8 with 16).
  constexpr std::size_t kLanes = 8;
  std::size_t i = begin;
  for (; i + kLanes <= count; i += kLanes) {
    std::uint32_t lanes[kLanes];
    std::fill(lanes, lanes + kLanes, 1u);
    for (std::size_t step = 0; step < layout.depth; ++step) {
      for (std::size_t lane = 0; lane < kLanes; ++lane) {
        lanes[lane] = next(lanes[lane], keys + i + lane);
      }
    }
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      leaves[i + lane] = layout.leaf[lanes[lane] - first_leaf];
    }
  }
  for (; i < count; ++i) {
    std::uint32_t q = 1;
    for (std::size_t step = 0; step < layout.depth; ++step) q = next(q, keys + i);
    leaves[i] = layout.leaf[q - first_leaf];
  }
}

// Gathers with every lane taken from memory (the unmasked form leaves its source register
// undefined, which the compiler's warnings cannot see through).
__attribute__((target("avx512f"))) inline __m512i gather_avx512(const std::uint32_t* table,
                                                                __m512i index) {
  return _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), 0xFFFF, index, table, 4);
}

// One step of 16 rows: their keys at the nodes' offsets, compared, and the positions doubled
// plus one where the row goes right.
__attribute__((target("avx512f"))) inline __m512i step_avx512(__m512i q, __m512i low, __m512i span,
                                                              __m512i key_offset,
                                                              const std::uint32_t* row_keys) {
  const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i key = gather_avx512(row_keys, _mm512_add_epi32(key_offset, lanes));
  const __mmask16 right = _mm512_cmpgt_epu32_mask(_mm512_sub_epi32(key, low), span);
  const __m512i doubled = _mm512_add_epi32(q, q);
  return _mm512_mask_add_epi32(doubled, right, doubled, _mm512_set1_epi32(1));
}

__attribute__((target("avx512f"))) inline __m512i load_window(const std::uint32_t* table,
                                                              std::size_t at) {
  return _mm512_loadu_si512(table + at);
}

// The first five levels (positions 1 to 31) read their tests from two registers by permutation,
// and so does the sixth (positions 32 to 63, whose low five bits index its own window); deeper
// levels gather them from the tables. A gather waits long for its keys, so kGroups groups of 16
// rows walk interleaved: their gathers are independent and overlap.
template <std::size_t kGroups>
__attribute__((target("avx512f"))) std::size_t walk_avx512(const LevelLayout& layout,
                                                           const std::uint32_t* keys,
                                                           std::size_t begin, std::size_t count,
                                                           std::uint32_t* leaves) {
  const std::uint32_t* low = layout.low.data();
  const std::uint32_t* span = layout.span.data();
  const std::uint32_t* key_offset = layout.key_offset.data();
  const __m512i low_a = load_window(low, 0), low_b = load_window(low, 16);
  const __m512i span_a = load_window(span, 0), span_b = load_window(span, 16);
  const __m512i offset_a = load_window(key_offset, 0), offset_b = load_window(key_offset, 16);
  const __m512i low_c = load_window(low, 32), low_d = load_window(low, 48);
  const __m512i span_c = load_window(span, 32), span_d = load_window(span, 48);
  const __m512i offset_c = load_window(key_offset, 32), offset_d = load_window(key_offset, 48);
  const std::size_t depth = layout.depth;
  const std::size_t permuted_levels = std::min<std::size_t>(depth, 5);
  const __m512i first_leaf = _mm512_set1_epi32(1 << depth);
  constexpr std::size_t kLanes = 16;
  constexpr std::size_t kRows = kLanes * kGroups;
  std::size_t i = begin;
  for (; i + kRows <= count; i += kRows) {
    __m512i q[kGroups];
    for (std::size_t g = 0; g < kGroups; ++g) q[g] = _mm512_set1_epi32(1);
    for (std::size_t level = 0; level < permuted_levels; ++level) {
      for (std::size_t g = 0; g < kGroups; ++g) {
        q[g] =
            step_avx512(q[g], _mm512_permutex2var_epi32(low_a, q[g], low_b),
                        _mm512_permutex2var_epi32(span_a, q[g], span_b),
                        _mm512_permutex2var_epi32(offset_a, q[g], offset_b), keys + i + g * kLanes);
      }
    }
    if (depth > 5) {
      for (std::size_t g = 0; g < kGroups; ++g) {
        q[g] =
            step_avx512(q[g], _mm512_permutex2var_epi32(low_c, q[g], low_d),
                        _mm512_permutex2var_epi32(span_c, q[g], span_d),
                        _mm512_permutex2var_epi32(offset_c, q[g], offset_d), keys + i + g * kLanes);
      }
    }
    for (std::size_t level = 6; level < depth; ++level) {
      for (std::size_t g = 0; g < kGroups; ++g) {
        q[g] = step_avx512(q[g], gather_avx512(low, q[g]), gather_avx512(span, q[g]),
                           gather_avx512(key_offset, q[g]), keys + i + g * kLanes);
      }
    }
    for (std::size_t g = 0; g < kGroups; ++g) {
      const __m512i leaf = gather_avx512(layout.leaf.data(), _mm512_sub_epi32(q[g], first_leaf));
      _mm512_storeu_si512(leaves + i + g * kLanes, leaf);
    }
  }
  return i;
}

__attribute__((target("avx2"))) inline __m256i gather_avx2(const std::uint32_t* table,
                                                           __m256i index) {
  return _mm256_i32gather_epi32(reinterpret_cast<const int*>(table), index, 4);
}

// 8 rows to a register, kGroups registers interleaved: the first three levels (positions 1 to 7)
// by permutation, the rest by gathering. AVX2 compares signed only, so both sides flip their top
// bit.
template <std::size_t kGroups>
__attribute__((target("avx2"))) std::size_t walk_avx2(const LevelLayout& layout,
                                                      const std::uint32_t* keys, std::size_t begin,
                                                      std::size_t count, std::uint32_t* leaves) {
  const std::uint32_t* low = layout.low.data();
  const std::uint32_t* span = layout.span.data();
  const std::uint32_t* key_offset = layout.key_offset.data();
  const __m256i low_a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(low));
  const __m256i span_a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(span));
  const __m256i offset_a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(key_offset));
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i top_bit = _mm256_set1_epi32(static_cast<int>(0x80000000u));
  const __m256i first_leaf = _mm256_set1_epi32(1 << layout.depth);
  const std::size_t depth = layout.depth;
  constexpr std::size_t kLanes = 8;
  constexpr std::size_t kRows = kLanes * kGroups;
  std::size_t i = begin;
  for (; i + kRows <= count; i += kRows) {
    __m256i q[kGroups];
    for (std::size_t g = 0; g < kGroups; ++g) q[g] = _mm256_set1_epi32(1);
    for (std::size_t level = 0; level < depth; ++level) {
      for (std::size_t g = 0; g < kGroups; ++g) {
        __m256i node_low, node_span, node_offset;
        if (level < 3) {
          node_low = _mm256_permutevar8x32_epi32(low_a, q[g]);
          node_span = _mm256_permutevar8x32_epi32(span_a, q[g]);
          node_offset = _mm256_permutevar8x32_epi32(offset_a, q[g]);
        } else {
          node_low = gather_avx2(low, q[g]);
          node_span = gather_avx2(span, q[g]);
          node_offset = gather_avx2(key_offset, q[g]);
        }
        const __m256i key =
            gather_avx2(keys + i + g * kLanes, _mm256_add_epi32(node_offset, lanes));
        const __m256i distance = _mm256_xor_si256(_mm256_sub_epi32(key, node_low), top_bit);
        const __m256i right = _mm256_cmpgt_epi32(distance, _mm256_xor_si256(node_span, top_bit));
        // right is -1 where the row goes right
        q[g] = _mm256_sub_epi32(_mm256_add_epi32(q[g], q[g]), right);
      }
    }
    for (std::size_t g = 0; g < kGroups; ++g) {
      const __m256i leaf = gather_avx2(layout.leaf.data(), _mm256_sub_epi32(q[g], first_leaf));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(leaves + i + g * kLanes), leaf);
    }
  }
  return i;
}

bool runs(LevelWalk walk) {
  switch (walk) {
    case LevelWalk::kAvx512:
      return __builtin_cpu_supports("avx512f");
    case LevelWalk::kAvx2:
      return __builtin_cpu_supports("avx2");
    case LevelWalk::kPortable:
      return true;
  }
  return false;
}

}  // namespace

LevelWalk fastest_level_walk() {
  static const LevelWalk fastest = runs(LevelWalk::kAvx512) ? LevelWalk::kAvx512
                                   : runs(LevelWalk::kAvx2) ? LevelWalk::kAvx2
                                                            : LevelWalk::kPortable;
  return fastest;
}

std::size_t walk_lanes(LevelWalk walk) {
  switch (walk) {
    case LevelWalk::kAvx512:
      return 16;
    case LevelWalk::kAvx2:
      return 8;
    case LevelWalk::kPortable:
      return 1;
  }
  return 1;
}

void walk_levels(const LevelLayout& layout, const std::uint32_t* keys, std::size_t count,
                 std::uint32_t* leaves, LevelWalk walk) {
  std::size_t done = 0;
  // A row or a few, as in scoring one customer, are not worth the vector registers.
  const bool vectors = count >= walk_lanes(walk) && runs(walk);
  if (vectors && walk == LevelWalk::kAvx512) {
    done = walk_avx512<8>(layout, keys, 0, count, leaves);
    done = walk_avx512<1>(layout, keys, done, count, leaves);
  } else if (vectors && walk == LevelWalk::kAvx2) {
    done = walk_avx2<8>(layout, keys, 0, count, leaves);
    done = walk_avx2<1>(layout, keys, done, count, leaves);
  }
  walk_portable(layout, keys, done, count, leaves);
}

}  // namespace quorvanta
