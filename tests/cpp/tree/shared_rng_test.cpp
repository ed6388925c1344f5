#include "tree/shared_rng.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "common/fault.hpp"

namespace quorvanta {
namespace {

using Words = std::vector<std::uint32_t>;

TEST(ChaCha20, ZeroKeyBlockMatchesPublishedVector) {
  // RFC 7539, appendix A.1, test vector #1: all-zero key and nonce, block counter 0.
  const std::array<std::uint32_t, 16> expected = {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653,
                                                  0xb819d2bd, 0x1aed8da0, 0xccef36a8, 0xc70d778b,
                                                  0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8,
                                                  0xf4b8436a, 0x1ca11815, 0x69b687c3, 0x8665eeb2};
  EXPECT_EQ(ChaCha20Stream::block({}, 0), expected);
}

TEST(ChaCha20, StreamIsTheBlocksInCounterOrderAcrossRefills) {
  const std::array<std::uint32_t, 8> key = expand_seed(7);
  Words expected;
  for (std::uint64_t counter = 0; counter < 9; ++counter) {
    const auto block = ChaCha20Stream::block(key, counter);
    expected.insert(expected.end(), block.begin(), block.end());
  }
  ChaCha20Stream stream(key);
  Words seen;
  for (std::size_t i = 0; i < expected.size(); i += 2) {
    const std::uint64_t draw = stream.next_u64();
    seen.push_back(static_cast<std::uint32_t>(draw));  // low word comes first in the stream
    seen.push_back(static_cast<std::uint32_t>(draw >> 32));
  }
  EXPECT_EQ(seen, expected);

  // The counter's high word sits in state word 13.
  EXPECT_NE(ChaCha20Stream::block(key, std::uint64_t{1} << 32), ChaCha20Stream::block(key, 0));
}

TEST(ChaCha20, EveryBulkWidthGivesThePublishedBlocks) {
  const std::array<std::uint32_t, 8> key = expand_seed(3);
  for (const BlockRun& run : block_runs()) {
    // The last start crosses into the counter's high word.
    for (const std::uint64_t counter :
         {std::uint64_t{0}, std::uint64_t{5}, (std::uint64_t{1} << 32) - 3}) {
      Words out(16 * run.blocks);
      run.compute(key, counter, out.data());
      for (std::size_t b = 0; b < run.blocks; ++b) {
        const auto block = ChaCha20Stream::block(key, counter + b);
        ASSERT_TRUE(std::equal(block.begin(), block.end(), out.begin() + 16 * b))
            << run.blocks << " blocks at a time, block " << counter + b;
      }
    }
  }
}

TEST(SharedRng, SeedFortyTwoSequence) {
  SharedRng rng(42);
  EXPECT_EQ(rng.sample_indices(10, 5, false), (std::vector<std::uint64_t>{5, 4, 0, 1, 3}));
  EXPECT_EQ(rng.sample_indices(100, 4, true), (std::vector<std::uint64_t>{82, 44, 6, 37}));
}

// The plain sequential reading of the keystream that every draw must reproduce.
std::vector<std::uint64_t> stream_draws(ChaCha20Stream& stream, std::uint64_t n, std::uint64_t k,
                                        bool replace) {
  std::vector<std::uint64_t> result;
  while (result.size() < k) {
    const std::uint64_t x = stream.uniform_below(n);
    if (replace || std::find(result.begin(), result.end(), x) == result.end()) result.push_back(x);
  }
  return result;
}

template <class T>
std::vector<std::uint64_t> widened(std::span<const T> draws) {
  return std::vector<std::uint64_t>(draws.begin(), draws.end());
}

// n = 2^63 + 1 rejects about half of all draws, so a stretch needs far more draws than it returns.
constexpr std::uint64_t kHalfRejected = (std::uint64_t{1} << 63) + 1;

TEST(SharedRng, RowDrawsAreTheStreamsDrawsInOrder) {
  SharedRng rng(9);
  ChaCha20Stream reference(expand_seed(9));
  std::vector<std::uint32_t> narrow;
  std::vector<std::uint64_t> wide;
  for (const auto& [n, k] : {std::pair<std::uint64_t, std::uint64_t>{1000, 1000},
                             {7, 3},
                             {5, 0},
                             {100000, 70000},
                             {3, 1}}) {
    EXPECT_EQ(widened(rng.draw_with_replacement<std::uint32_t>(n, k, narrow)),
              stream_draws(reference, n, k, true))
        << n << " rows, " << k << " draws";
    // Draws without replacement in between leave the stream at odd refill positions.
    EXPECT_EQ(rng.sample_indices(20, 7, false), stream_draws(reference, 20, 7, false));
  }
  EXPECT_EQ(widened(rng.draw_with_replacement<std::uint64_t>(kHalfRejected, 5000, wide)),
            stream_draws(reference, kHalfRejected, 5000, true));
  EXPECT_EQ(rng.sample_indices(kHalfRejected, 3, true),
            stream_draws(reference, kHalfRejected, 3, true));
  try {
    rng.draw_with_replacement<std::uint32_t>(3, 4, narrow);
    ADD_FAILURE() << "drawing 4 of 3 succeeded";
  } catch (const Fault& fault) {
    EXPECT_STREQ(fault.what(), "assertion failed: n >= k");
  }
  EXPECT_EQ(rng.sample_indices(50, 5, true), stream_draws(reference, 50, 5, true));
}

TEST(SharedRng, RowDrawOvertakenByOtherDrawsReadsFurtherOn) {
  // Whatever other calls take while a row draw computes its keystream, the result is that of
  // the other calls served first and the row draw after them, in one stretch.
  struct Case {
    std::uint64_t n;
    std::uint64_t k;
    std::uint64_t other_k;  // the overtaking call's draws: a feature draw, or a whole row draw
  };
  for (const Case& c : {Case{10000, 5000, 13}, Case{10000, 5000, 4000},
                        Case{kHalfRejected, 3000, 9}, Case{kHalfRejected, 3000, 2500}}) {
    SharedRng rng(4);
    ChaCha20Stream reference(expand_seed(4));
    rng.sample_indices(30, 3, false);  // start mid-refill
    stream_draws(reference, 30, 3, false);
    std::vector<std::uint64_t> buffer;
    std::vector<std::uint64_t> overtaking;
    const auto drawn = rng.draw_with_replacement<std::uint64_t>(
        c.n, c.k, buffer, [&] { overtaking = rng.sample_indices(c.n, c.other_k, true); });
    EXPECT_EQ(overtaking, stream_draws(reference, c.n, c.other_k, true));
    EXPECT_EQ(widened(drawn), stream_draws(reference, c.n, c.k, true))
        << c.n << " rows, " << c.k << " draws overtaken by " << c.other_k;
    EXPECT_EQ(rng.sample_indices(c.n, 4, true), stream_draws(reference, c.n, 4, true));
  }
}

TEST(SharedRng, EmptyDrawsAndFailedDrawsConsumeNothing) {
  SharedRng rng(42);
  EXPECT_TRUE(rng.sample_indices(10, 0, false).empty());
  EXPECT_TRUE(rng.sample_indices(0, 0, true).empty());
  try {
    rng.sample_indices(3, 4, true);
    ADD_FAILURE() << "drawing 4 of 3 succeeded";
  } catch (const Fault& fault) {
    EXPECT_STREQ(fault.what(), "assertion failed: n >= k");
  }
  EXPECT_THROW(rng.sample_indices(0, 1, false), Fault);
  EXPECT_EQ(rng.sample_indices(10, 5, false), (std::vector<std::uint64_t>{5, 4, 0, 1, 3}));
}

TEST(SharedRng, FullDrawWithoutReplacementIsAPermutation) {
  SharedRng rng(3);
  std::vector<std::uint64_t> drawn = rng.sample_indices(50, 50, false);
  std::sort(drawn.begin(), drawn.end());
  for (std::uint64_t i = 0; i < 50; ++i) EXPECT_EQ(drawn[i], i);
}

TEST(ChaCha20, UniformBelowOneStillConsumesADraw) {
  ChaCha20Stream counted(expand_seed(5));
  ChaCha20Stream reference(expand_seed(5));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(counted.uniform_below(1), 0u);
  for (int i = 0; i < 3; ++i) reference.next_u64();
  EXPECT_EQ(counted.next_u64(), reference.next_u64());
  EXPECT_THROW(counted.uniform_below(0), Fault);
}

TEST(ChaCha20, UniformBelowRejectsTheBiasedZone) {
  // For n = 2^63 + 1 the accepted zone is [0, 2^63]: about half of all draws are rejected.
  const std::uint64_t n = (std::uint64_t{1} << 63) + 1;
  ChaCha20Stream stream(expand_seed(11));
  ChaCha20Stream raw(expand_seed(11));
  for (int i = 0; i < 200; ++i) {
    const std::uint64_t result = stream.uniform_below(n);
    std::uint64_t expected = 0;
    while (true) {
      const std::uint64_t v = raw.next_u64();
      // Widening product v * n = v * 2^63 + v, split into 64-bit halves by hand.
      const std::uint64_t low = (v << 63) + v;
      const std::uint64_t carry = low < v ? 1 : 0;
      if (low <= (std::uint64_t{1} << 63)) {
        expected = (v >> 1) + carry;
        break;
      }
    }
    ASSERT_EQ(result, expected) << "draw " << i;
  }
}

TEST(SharedRng, EachCallsDrawsAreConsecutiveUnderContention) {
  // With n = 2^40 no draw is ever rejected, so every call consumes exactly k keystream pairs.
  constexpr std::uint64_t kN = std::uint64_t{1} << 40;
  constexpr std::size_t kPerCall = 50;
  constexpr std::size_t kCallsPerThread = 40;
  SharedRng shared(9);
  std::vector<std::vector<std::uint64_t>> calls_a, calls_b;
  auto worker = [&](std::vector<std::vector<std::uint64_t>>& out) {
    for (std::size_t c = 0; c < kCallsPerThread; ++c) {
      out.push_back(shared.sample_indices(kN, kPerCall, true));
    }
  };
  std::thread a(worker, std::ref(calls_a));
  std::thread b(worker, std::ref(calls_b));
  a.join();
  b.join();

  SharedRng single(9);
  const std::vector<std::uint64_t> sequence =
      single.sample_indices(kN, 2 * kPerCall * kCallsPerThread, true);
  std::vector<bool> used(2 * kCallsPerThread, false);
  for (const auto* calls : {&calls_a, &calls_b}) {
    for (const auto& call : *calls) {
      const auto at = std::search(sequence.begin(), sequence.end(), call.begin(), call.end());
      ASSERT_NE(at, sequence.end()) << "a call's draws are not one stretch of the keystream";
      const std::size_t offset = static_cast<std::size_t>(at - sequence.begin());
      ASSERT_EQ(offset % kPerCall, 0u);
      EXPECT_FALSE(used[offset / kPerCall]);
      used[offset / kPerCall] = true;
    }
  }
}

TEST(SharedRng, EntropySeededGeneratorsDiffer) {
  SharedRng first(std::nullopt);
  SharedRng second(std::nullopt);
  EXPECT_NE(first.sample_indices(std::numeric_limits<std::uint64_t>::max(), 4, true),
            second.sample_indices(std::numeric_limits<std::uint64_t>::max(), 4, true));
}

TEST(RowDrawSize, SinglePrecisionProductTruncated) {
  // 0.7f is just below 0.7, but the product is rounded to single precision before truncation.
  EXPECT_EQ(row_draw_size(10, 0.7f), 7u);
  EXPECT_EQ(row_draw_size(10, 0.0f), 0u);
  EXPECT_EQ(row_draw_size(10, 1.0f), 10u);
  EXPECT_EQ(row_draw_size(10, 1.5f), 15u);  // and the draw itself then fails
  EXPECT_EQ(row_draw_size(0, 1.0f), 0u);
  EXPECT_EQ(row_draw_size(10, -0.5f), 0u);
  EXPECT_EQ(row_draw_size(10, std::nanf("")), 0u);
  EXPECT_EQ(row_draw_size(std::uint64_t{1} << 63, 4.0f), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(row_draw_size(10, std::numeric_limits<float>::infinity()),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(row_draw_size(1000, 0.3f), 300u);
}

TEST(RowDrawSize, NeverExceedsTheRowCountWithoutOversampling) {
  // 2^24 + 3 rows round up to 2^24 + 4 as a float; a full draw must still fit the table.
  const std::uint64_t n_rows = (std::uint64_t{1} << 24) + 3;
  EXPECT_EQ(static_cast<std::uint64_t>(static_cast<float>(n_rows)), n_rows + 1);
  EXPECT_EQ(row_draw_size(n_rows, 1.0f), n_rows);
  EXPECT_EQ(row_draw_size(n_rows, 2.0f), 2 * n_rows + 2);
}

// Bulk draws take the widest block run the processor offers; a narrower one would still give the
// same draws, only slower, so nothing but this shows it.
TEST(Keystream, BulkDrawsUseTheWidestVectors) {
  std::size_t widest = 4;
#if defined(__x86_64__) && defined(__GNUC__)
  if (__builtin_cpu_supports("avx2")) widest = 8;
  if (__builtin_cpu_supports("avx512f")) widest = 16;
#endif
  EXPECT_EQ(Keystream::bulk_blocks(), widest);
  EXPECT_EQ(block_runs().front().blocks, widest);
}

TEST(Keystream, MappedDrawsNeedResultsBelowTheRejectionMark) {
  const Keystream keystream(expand_seed(2));
  std::vector<std::uint32_t> out(4);
  std::vector<std::uint64_t> rejected;
  // n - 1 = 2^32 - 1 would read as a rejection.
  EXPECT_THROW(
      keystream.map_draws<std::uint32_t>(0, 4, std::uint64_t{1} << 32, out.data(), rejected),
      Fault);
  keystream.map_draws<std::uint32_t>(0, 4, (std::uint64_t{1} << 32) - 1, out.data(), rejected);
  ChaCha20Stream stream(expand_seed(2));
  for (std::size_t d = 0; d < out.size(); ++d) {
    EXPECT_EQ(out[d], stream.uniform_below((std::uint64_t{1} << 32) - 1));
  }
}

// The position is the whole state: seeking anywhere, back or forth, across or within a refill,
// reads the keystream from there.
TEST(ChaCha20, TheDrawPositionIsTheState) {
  ChaCha20Stream reference(expand_seed(6));
  std::vector<std::uint64_t> draws(100);
  for (std::uint64_t& draw : draws) draw = reference.next_u64();
  EXPECT_EQ(reference.draw_position(), 100u);
  ChaCha20Stream stream(expand_seed(6));
  EXPECT_EQ(stream.draw_position(), 0u);
  for (const std::uint64_t position : {70u, 3u, 31u, 32u, 0u, 64u, 95u}) {
    stream.seek_draw(position);
    EXPECT_EQ(stream.next_u64(), draws[position]) << position;
    EXPECT_EQ(stream.next_u64(), draws[position + 1]) << position;
    EXPECT_EQ(stream.draw_position(), position + 2);
  }
}

}  // namespace
}  // namespace quorvanta
