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

using ChaChaKey = std::array<std::uint32_t, 8>;

// The keystream of one key: a pure function of the key, which is fixed at creation. Being
// immutable it is read by every thread without the lock; only the draw position is shared state.
class Keystream {
 public:
  explicit Keystream(const ChaChaKey& key) : key_(key) {}

  const ChaChaKey& key() const { return key_; }

  // The 16 output words of one block; exposed for the published test vectors.
  static std::array<std::uint32_t, 16> block(const ChaChaKey& key, std::uint64_t counter);
  // The four blocks from `first_block` on, in order, into out[0, 64).
  void four_blocks(std::uint64_t first_block, std::uint32_t* out) const;

  // uniform_below(n)'s result for each of the draws first, first + 1, ..., first + count - 1 in
  // out[0, count) (draw d is the words 2d and 2d + 1, low word first); kRejected<T> where
  // uniform_below would discard the draw and draw again, whose index (counted from first) is
  // appended to `rejected`. n - 1 must lie below kRejected<T> (index failure otherwise), so
  // that no result is mistaken for a rejection.
  template <class T>
  static constexpr T kRejected = std::numeric_limits<T>::max();
  template <class T>
  void map_draws(std::uint64_t first, std::size_t count, std::uint64_t n, T* out,
                 std::vector<std::uint64_t>& rejected) const;

  // Blocks the bulk computation of map_draws makes at a time: the widest this processor runs.
  static std::size_t bulk_blocks();

 private:
  const ChaChaKey key_;
};

// A position in a keystream, counted in 64-bit draws, with the four blocks around it at hand.
// Only 64-bit draws exist, so words are always taken in pairs from an even word.
class ChaCha20Stream {
 public:
  explicit ChaCha20Stream(const ChaChaKey& key) : keystream_(key) {}

  std::uint64_t next_u64();                      // low word first
  std::uint64_t uniform_below(std::uint64_t n);  // n >= 1; widening multiply with rejection

  static std::array<std::uint32_t, 16> block(const ChaChaKey& key, std::uint64_t counter) {
    return Keystream::block(key, counter);
  }

  std::uint64_t draw_position() const { return position_; }
  void seek_draw(std::uint64_t position) { position_ = position; }

 private:
  static constexpr std::uint64_t kNothingBuffered = std::numeric_limits<std::uint64_t>::max();

  Keystream keystream_;
  std::uint64_t position_ = 0;  // the next draw
  // Which stretch of 32 draws (four blocks) `buffer_` holds.
  std::uint64_t buffered_stretch_ = kNothingBuffered;
  std::array<std::uint32_t, 64> buffer_{};
};

std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed);

// Bulk keystream: `blocks` consecutive blocks from a counter, side by side. Wider runs use the
// processor's wider vectors; block_runs lists those this processor can run, widest first, and
// map_draws takes the first.
struct BlockRun {
  void (*compute)(const ChaChaKey& key, std::uint64_t counter, std::uint32_t* out);
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
  // outside the lock from the immutable keystream, from the draw position when the call began:
  // should other calls take draws meanwhile, the stretch is simply read further on, so the
  // call's draws are consecutive in the keystream as if it had held the lock throughout.
  // `before_commit` runs between the computation and the lock, once; tests draw there as another
  // thread would.
  template <class T>
  std::span<const T> draw_with_replacement(std::uint64_t n, std::uint64_t k, std::vector<T>& buffer,
                                           const std::function<void()>& before_commit = {});

 private:
  const Keystream keystream_;  // read without the lock
  std::mutex mutex_;
  ChaCha20Stream stream_;  // the draw position, behind mutex_
};

// Rows drawn for one tree: f32(n_rows) * subsample truncated, capped at n_rows when
// subsample <= 1 (single-precision rounding could otherwise exceed the row count).
std::uint64_t row_draw_size(std::uint64_t n_rows, float subsample);

}  // namespace quorvanta
