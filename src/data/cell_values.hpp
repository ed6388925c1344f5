// How one numeric value becomes a cell. The item-by-item conversion and the reading of borrowed
// buffers share these, so a value gives the same cell whichever way it reaches the table.
#pragma once

#include <bit>
#include <cstdint>

#include "data/missing_cell.hpp"

namespace quorvanta {

// Round to nearest; present_cell keeps a present NaN from ever reading as missing.
inline float narrow_cell(double value) {
  return present_cell(static_cast<float>(value));
}

// An f32 widened to double and narrowed back is the same value, except that a signalling NaN
// comes back quieted; present_cell does exactly that (a compiler may drop the round trip).
inline float float_cell(float value) {
  return present_cell(value);
}

// Integers go through double first, as the interpreter's float conversion does: a 64-bit value
// is rounded to double and that double to f32, which can differ from rounding once.
template <class Integer>
inline float integer_cell(Integer value) {
  return narrow_cell(static_cast<double>(value));
}

// A boolean byte reads as true when it is not zero.
inline float bool_cell(std::uint8_t byte) {
  return byte != 0 ? 1.0f : 0.0f;
}

// IEEE half precision, widened exactly (every half value is an f32 value).
inline float half_cell(std::uint16_t bits) {
  const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
  const std::uint32_t exponent = (bits >> 10) & 0x1Fu;
  const std::uint32_t mantissa = bits & 0x3FFu;
  if (exponent == 0) {
    // Zero or subnormal: mantissa * 2^-24, exact in f32.
    const float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
    return sign != 0 ? -magnitude : magnitude;
  }
  // Infinity and NaN keep their payload; the rebias 127 - 15 = 112 covers the normal numbers.
  const std::uint32_t float_exponent = exponent == 0x1Fu ? 0xFFu : exponent + 112;
  return present_cell(std::bit_cast<float>(sign | (float_exponent << 23) | (mantissa << 13)));
}

}  // namespace quorvanta
