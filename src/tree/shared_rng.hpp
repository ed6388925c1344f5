// The random generator of one fit: a ChaCha20 keystream (64-bit counter, zero nonce) keyed by a
// PCG32 expansion of the seed, shared by worker threads behind a lock.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
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

  // The keystream is addressed by 64-bit draw: draw d is words 2d and 2d + 1.
  std::uint64_t draw_position() const;
  void seek_draw(std::uint64_t position);

  // uniform_below(n)'s result for each of the draws first, first + 1, ..., first + count - 1 in
  // out[0, count), without moving the stream; kRejected<T> where uniform_below would discard the
  // draw and draw again, whose index (counted from first) is appended to `rejected`. Needs
  // n - 1 < kRejected<T>, so that no result is mistaken for a rejection.
  template <class T>
  static constexpr T kRejected = std::numeric_limits<T>::max();
  template <class T>
  void map_draws(std::uint64_t first, std::size_t count, std::uint64_t n, T* out,
                 std::vector<std::uint64_t>& rejected) const;

 private:
  void refill();

  std::array<std::uint32_t, 8> key_;
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, 64> buffer_{};
  std::size_t position_ = 64;
};

std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed);

// Bulk keystream: `blocks` consecutive blocks from a counter, side by side. Wider runs use the
// processor's wider vectors; block_runs lists those this processor can run, widest first, and
// map_draws takes the first.
struct BlockRun {
  void (*compute)(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                  std::uint32_t* out);
  std::size_t blocks;
};
std::vector<BlockRun> block_runs();

class SharedRng {
 public:
  // From the seed when present, else from the operating system ("from_entropy failed: {}").
  explicit SharedRng(std::optional<std::uint64_t> seed);

  // k indices in [0, n) in draw order; "assertion failed: n >= k" when n < k.
  std::vector<std::uint64_t> sample_indices(std::uint64_t n, std::uint64_t k, bool replace);
  // The draws of sample_indices(n, k, true) as T (n - 1 must fit below T's largest value), in
  // `buffer`, which may be left longer than the k draws returned. The keystream is computed
  // outside the lock, from the position the stream had when the call began: should other calls
  // take draws meanwhile, the stretch is simply read further on, so the call's draws are
  // consecutive in the keystream as if it had held the lock throughout. `before_commit` runs
  // between the computation and the lock, once; tests draw there as another thread would.
  template <class T>
  std::span<const T> draw_with_replacement(std::uint64_t n, std::uint64_t k, std::vector<T>& buffer,
                                           const std::function<void()>& before_commit = {});

 private:
  std::mutex mutex_;
  ChaCha20Stream stream_;
};

// Rows drawn for one tree: f32(n_rows) * subsample truncated, capped at n_rows when
// subsample <= 1 (single-precision rounding could otherwise exceed the row count).
std::uint64_t row_draw_size(std::uint64_t n_rows, float subsample);

}  // namespace quorvanta
