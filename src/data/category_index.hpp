// Open-addressing map from a category value to a position, with the equality of f32 `==`: 0.0 and
// -0.0 are one key, NaN is never a key. Used per cell, so lookups are allocation-free.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace quorvanta {

class CategoryIndex {
 public:
  static constexpr std::size_t kNotFound = std::numeric_limits<std::size_t>::max();

  explicit CategoryIndex(std::size_t expected_keys = 0) { rehash(capacity_for(expected_keys)); }

  // The position stored under `value`'s category, or kNotFound (always for NaN).
  std::size_t find(float value) const {
    if (std::isnan(value)) return kNotFound;
    const std::uint32_t key = key_bits(value);
    for (std::size_t slot = home_slot(key);; slot = (slot + 1) & mask_) {
      const Slot& probe = slots_[slot];
      if (probe.position == kNotFound) return kNotFound;
      if (probe.key == key) return probe.position;
    }
  }

  // Stores `position` under `value`'s category unless the category is already present; returns
  // the stored position and whether it was inserted. Must not be called with NaN.
  std::pair<std::size_t, bool> try_emplace(float value, std::size_t position) {
    const std::uint32_t key = key_bits(value);
    std::size_t slot = home_slot(key);
    for (;; slot = (slot + 1) & mask_) {
      const Slot& probe = slots_[slot];
      if (probe.position == kNotFound) break;
      if (probe.key == key) return {probe.position, false};
    }
    slots_[slot] = Slot{key, position};
    if (++size_ * 2 > slots_.size()) rehash(slots_.size() * 2);
    return {position, true};
  }

 private:
  struct Slot {
    std::uint32_t key = 0;
    std::size_t position = kNotFound;
  };

  // -0.0 and 0.0 compare equal, so they must share a key.
  static std::uint32_t key_bits(float value) {
    return value == 0.0f ? 0u : std::bit_cast<std::uint32_t>(value);
  }

  static std::size_t capacity_for(std::size_t keys) {
    return std::bit_ceil(std::max<std::size_t>(16, keys * 2 + 1));
  }

  // Category values are often small integers whose low bits are all zero: multiplicative hashing
  // takes the well-mixed high bits.
  std::size_t home_slot(std::uint32_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    shift_ = 64 - std::countr_zero(capacity);
    for (const Slot& entry : old) {
      if (entry.position == kNotFound) continue;
      std::size_t slot = home_slot(entry.key);
      while (slots_[slot].position != kNotFound) slot = (slot + 1) & mask_;
      slots_[slot] = entry;
    }
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  int shift_ = 64;
};

}  // namespace quorvanta
