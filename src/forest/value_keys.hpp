// Routing keys of f32 values: unsigned integers whose order is the values' order, so that a split
// is one unsigned range test. -0.0 takes the key of 0.0, so keys are equal exactly when the values
// compare equal; NaN has no place in the order and each column form gives it its own key.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace quorvanta {

// The key of a missing cell: above every range a split tests.
inline constexpr std::uint32_t kMissingKey = 0xFFFFFFFFu;

// Written on the bits without branches, so that keying a column vectorises.
constexpr std::uint32_t bits_key(std::uint32_t bits) {
  bits = (bits & 0x7FFFFFFFu) == 0 ? 0 : bits;
  return bits ^ (static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31) | 0x80000000u);
}

constexpr bool is_nan_bits(std::uint32_t bits) {
  return (bits & 0x7FFFFFFFu) > 0x7F800000u;
}

constexpr std::uint32_t value_key(float value) {
  return bits_key(std::bit_cast<std::uint32_t>(value));
}

inline constexpr std::uint32_t kMinusInfinityKey =
    value_key(-std::numeric_limits<float>::infinity());
inline constexpr std::uint32_t kInfinityKey = value_key(std::numeric_limits<float>::infinity());

// Keys of `count` f32 values found `stride` bytes apart from `first` (any alignment, any sign of
// stride), as a column of a numeric buffer lies: a NaN takes `nan_key`. The same keys as reading
// the cells and keying them one by one; 512-bit vectors where the processor has them.
void strided_float_keys(const std::byte* first, std::ptrdiff_t stride, std::size_t count,
                        std::uint32_t nan_key, std::uint32_t* keys);

// The same for f64 values, each narrowed to f32 as reading it as a cell narrows it (a NaN stays a
// NaN, so it takes `nan_key` too).
void strided_double_keys(const std::byte* first, std::ptrdiff_t stride, std::size_t count,
                         std::uint32_t nan_key, std::uint32_t* keys);

}  // namespace quorvanta
