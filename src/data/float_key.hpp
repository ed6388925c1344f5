// Unsigned keys whose order is the f32 order, for radix sorting and bucketing of cell values.
#pragma once

#include <bit>
#include <cstdint>

namespace quorvanta {

// One to one on bit patterns: -0.0 sorts just below 0.0, negative NaNs below -inf and positive
// NaNs above +inf.
inline std::uint32_t float_key(std::uint32_t bits) {
  return bits ^ (static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31) | 0x80000000u);
}

inline float value_of_float_key(std::uint32_t key) {
  return std::bit_cast<float>((key & 0x80000000u) != 0 ? key ^ 0x80000000u : ~key);
}

}  // namespace quorvanta
