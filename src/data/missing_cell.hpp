// The f32 bit pattern that marks a missing cell wherever cells travel as plain floats.
#pragma once

#include <bit>
#include <cstdint>

namespace quorvanta {

// A missing cell is stored as one signalling-NaN bit pattern. Narrowing a double never yields a
// signalling NaN (the conversion quiets it), so a present value can never look missing; code that
// copies raw f32 bits from elsewhere must pass them through `present_cell` first.
inline constexpr std::uint32_t kMissingCellBits = 0x7FA00000u;

inline float missing_cell() {
  return std::bit_cast<float>(kMissingCellBits);
}

inline bool is_missing_cell(float cell) {
  return std::bit_cast<std::uint32_t>(cell) == kMissingCellBits;
}

// Quiets a signalling NaN exactly as a float -> double -> float round trip does.
inline float present_cell(float value) {
  std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  if ((bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu) != 0) bits |= 0x00400000u;
  return std::bit_cast<float>(bits);
}

}  // namespace quorvanta
