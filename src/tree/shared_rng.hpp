// The random generator of one fit: a ChaCha20 keystream (64-bit counter, zero nonce) keyed by a
// PCG32 expansion of the seed, shared by worker threads behind a lock.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "common/fault.hpp"

namespace quorvanta {

class ChaCha20Stream {
 public:
  explicit ChaCha20Stream(const std::array<std::uint32_t, 8>& key);

  std::uint32_t next_u32();
  std::uint64_t next_u64();                      // low word first
  std::uint64_t uniform_below(std::uint64_t n);  // n >= 1; widening multiply with rejection

  // The 16 output words of one block; exposed for the published test vectors.
  static std::array<std::uint32_t, 16> block(const std::array<std::uint32_t, 8>& key,
                                             std::uint64_t counter);

 private:
  void refill();

  std::array<std::uint32_t, 8> key_;
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, 64> buffer_{};
  std::size_t position_ = 64;
};

std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed);

class SharedRng {
 public:
  // From the seed when present, else from the operating system ("from_entropy failed: {}").
  explicit SharedRng(std::optional<std::uint64_t> seed);

  // k indices in [0, n) in draw order; "assertion failed: n >= k" when n < k.
  std::vector<std::uint64_t> sample_indices(std::uint64_t n, std::uint64_t k, bool replace);
  // The draws of sample_indices(n, k, true), handed to `take` one by one as they are made, so
  // that the caller need not hold them as 64-bit numbers.
  template <class Take>
  void draw_with_replacement(std::uint64_t n, std::uint64_t k, Take take) {
    if (n < k) fail("assertion failed: n >= k");
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::uint64_t i = 0; i < k; ++i) take(stream_.uniform_below(n));
  }

 private:
  std::mutex mutex_;
  ChaCha20Stream stream_;
};

// Rows drawn for one tree: f32(n_rows) * subsample truncated, capped at n_rows when
// subsample <= 1 (single-precision rounding could otherwise exceed the row count).
std::uint64_t row_draw_size(std::uint64_t n_rows, float subsample);

}  // namespace quorvanta
