#include "tree/shared_rng.hpp"

#include <sys/random.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "common/fault.hpp"
#include "common/interruption.hpp"

namespace quorvanta {

namespace {

constexpr std::array<std::uint32_t, 4> kChaChaConstants = {0x61707865, 0x3320646e, 0x79622d32,
                                                           0x6b206574};

inline void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 7);
}

ChaChaKey key_from_entropy() {
  std::array<unsigned char, 32> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("from_entropy failed: " + std::string(std::strerror(errno)));
    }
    filled += static_cast<std::size_t>(got);
  }
  std::array<std::uint32_t, 8> key{};
  for (std::size_t word = 0; word < key.size(); ++word) {
    const unsigned char* p = bytes.data() + 4 * word;
    key[word] = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
  }
  return key;
}

// Lanes of 32-bit words in one vector register (a GCC vector extension): each operation below is
// one vector instruction for the width the enclosing function is compiled for.
template <std::size_t kLanes>
using WordLanes [[gnu::vector_size(4 * kLanes)]] = std::uint32_t;

template <std::size_t kLanes, int kBits>
[[gnu::always_inline]] inline void xor_rotate(WordLanes<kLanes>& v, const WordLanes<kLanes>& by) {
  v ^= by;
  v = v << kBits | v >> (32 - kBits);
}

template <std::size_t kLanes>
[[gnu::always_inline]] inline void lane_quarter_round(WordLanes<kLanes>& a, WordLanes<kLanes>& b,
                                                      WordLanes<kLanes>& c, WordLanes<kLanes>& d) {
  a += b;
  xor_rotate<kLanes, 16>(d, a);
  c += d;
  xor_rotate<kLanes, 12>(b, c);
  a += b;
  xor_rotate<kLanes, 8>(d, a);
  c += d;
  xor_rotate<kLanes, 7>(b, c);
}

// kLanes consecutive blocks from `counter` side by side, lane b computing block counter + b, in
// block order into out[0, 16 * kLanes). Drawing a tree's rows spends most of its time here.
template <std::size_t kLanes>
[[gnu::always_inline]] inline void chacha_blocks(const std::array<std::uint32_t, 8>& key,
                                                 std::uint64_t counter, std::uint32_t* out) {
  using Lanes = WordLanes<kLanes>;
  Lanes input[16];
  for (std::size_t i = 0; i < 4; ++i) input[i] = Lanes{} + kChaChaConstants[i];
  for (std::size_t i = 0; i < 8; ++i) input[4 + i] = Lanes{} + key[i];
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    input[12][lane] = static_cast<std::uint32_t>(counter + lane);
    input[13][lane] = static_cast<std::uint32_t>((counter + lane) >> 32);
  }
  input[14] = Lanes{};
  input[15] = Lanes{};
  Lanes x[16];
  for (std::size_t i = 0; i < 16; ++i) x[i] = input[i];
  for (int double_round = 0; double_round < 10; ++double_round) {
    lane_quarter_round<kLanes>(x[0], x[4], x[8], x[12]);
    lane_quarter_round<kLanes>(x[1], x[5], x[9], x[13]);
    lane_quarter_round<kLanes>(x[2], x[6], x[10], x[14]);
    lane_quarter_round<kLanes>(x[3], x[7], x[11], x[15]);
    lane_quarter_round<kLanes>(x[0], x[5], x[10], x[15]);
    lane_quarter_round<kLanes>(x[1], x[6], x[11], x[12]);
    lane_quarter_round<kLanes>(x[2], x[7], x[8], x[13]);
    lane_quarter_round<kLanes>(x[3], x[4], x[9], x[14]);
  }
  std::uint32_t words[16][kLanes];
  for (std::size_t i = 0; i < 16; ++i) {
    const Lanes sum = x[i] + input[i];
    std::memcpy(words[i], &sum, sizeof(sum));
  }
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    for (std::size_t i = 0; i < 16; ++i) out[16 * lane + i] = words[i][lane];
  }
}

void blocks_by_four(const ChaChaKey& key, std::uint64_t counter, std::uint32_t* out) {
  chacha_blocks<4>(key, counter, out);
}

constexpr std::size_t kMaxRunBlocks = 16;

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void eight_blocks_avx2(const std::array<std::uint32_t, 8>& key,
                                               std::uint64_t counter, std::uint32_t* out) {
  chacha_blocks<8>(key, counter, out);
}

[[gnu::target("avx512f")]] void sixteen_blocks_avx512(const std::array<std::uint32_t, 8>& key,
                                                      std::uint64_t counter, std::uint32_t* out) {
  chacha_blocks<16>(key, counter, out);
}
#endif

}  // namespace

std::vector<BlockRun> block_runs() {
  std::vector<BlockRun> runs;
#if defined(__x86_64__) && defined(__GNUC__)
  if (__builtin_cpu_supports("avx512f")) runs.push_back({sixteen_blocks_avx512, 16});
  if (__builtin_cpu_supports("avx2")) runs.push_back({eight_blocks_avx2, 8});
#endif
  runs.push_back({blocks_by_four, 4});
  return runs;
}

namespace {

// The widest run, chosen once.
const BlockRun& bulk_run() {
  static const BlockRun run = block_runs().front();
  return run;
}

// Draws per refill: 64 words, two per draw.
constexpr std::uint64_t kDrawsPerRefill = 32;
constexpr std::uint64_t kBlocksPerRefill = 4;

}  // namespace

std::array<std::uint32_t, 16> Keystream::block(const ChaChaKey& key, std::uint64_t counter) {
  std::array<std::uint32_t, 16> input{};
  std::copy(kChaChaConstants.begin(), kChaChaConstants.end(), input.begin());
  std::copy(key.begin(), key.end(), input.begin() + 4);
  input[12] = static_cast<std::uint32_t>(counter);
  input[13] = static_cast<std::uint32_t>(counter >> 32);
  input[14] = 0;  // 64-bit nonce, always zero
  input[15] = 0;
  std::array<std::uint32_t, 16> x = input;
  for (int double_round = 0; double_round < 10; ++double_round) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < x.size(); ++i) x[i] += input[i];
  return x;
}

void Keystream::four_blocks(std::uint64_t first_block, std::uint32_t* out) const {
  blocks_by_four(key_, first_block, out);
}

std::size_t Keystream::bulk_blocks() {
  return bulk_run().blocks;
}

std::uint64_t ChaCha20Stream::next_u64() {
  const std::uint64_t stretch = position_ / kDrawsPerRefill;
  if (stretch != buffered_stretch_) {
    keystream_.four_blocks(stretch * kBlocksPerRefill, buffer_.data());
    buffered_stretch_ = stretch;
  }
  const std::size_t word = 2 * (position_ % kDrawsPerRefill);
  ++position_;
  return std::uint64_t{buffer_[word + 1]} << 32 | buffer_[word];
}

std::uint64_t ChaCha20Stream::uniform_below(std::uint64_t n) {
  if (n == 0) fail_division();
  // Products whose low half lands above `zone` would over-represent some results.
  const std::uint64_t reject = (0 - n) % n;
  const std::uint64_t zone = std::numeric_limits<std::uint64_t>::max() - reject;
  while (true) {
    const unsigned __int128 product =
        static_cast<unsigned __int128>(next_u64()) * static_cast<unsigned __int128>(n);
    if (static_cast<std::uint64_t>(product) <= zone) {
      return static_cast<std::uint64_t>(product >> 64);
    }
  }
}

template <class T>
void Keystream::map_draws(std::uint64_t first, std::size_t count, std::uint64_t n, T* out,
                          std::vector<std::uint64_t>& rejected) const {
  if (n == 0) fail_division();
  if (n - 1 >= kRejected<T>) fail_index(kRejected<T>, n - 1);
  const std::uint64_t reject = (0 - n) % n;
  const std::uint64_t zone = std::numeric_limits<std::uint64_t>::max() - reject;
  const BlockRun& run = bulk_run();
  std::array<std::uint32_t, 16 * kMaxRunBlocks> words;
  std::size_t done = 0;
  std::size_t next_check = 0;
  while (done < count) {
    if (done >= next_check) {
      check_interruption();
      next_check = done + kItemsPerCheck;
    }
    const std::uint64_t draw = first + done;
    run.compute(key_, draw / 8, words.data());  // 8 draws per block
    const std::size_t begin = draw % 8;
    const std::size_t end = std::min<std::uint64_t>(8 * run.blocks, begin + (count - done));
    for (std::size_t d = begin; d < end; ++d, ++done) {
      const std::uint64_t v = std::uint64_t{words[2 * d + 1]} << 32 | words[2 * d];
      const unsigned __int128 product =
          static_cast<unsigned __int128>(v) * static_cast<unsigned __int128>(n);
      if (static_cast<std::uint64_t>(product) <= zone) {
        out[done] = static_cast<T>(product >> 64);
      } else {
        out[done] = kRejected<T>;
        rejected.push_back(done);
      }
    }
  }
}

template void Keystream::map_draws(std::uint64_t, std::size_t, std::uint64_t, std::uint32_t*,
                                   std::vector<std::uint64_t>&) const;
template void Keystream::map_draws(std::uint64_t, std::size_t, std::uint64_t, std::uint64_t*,
                                   std::vector<std::uint64_t>&) const;

std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed) {
  constexpr std::uint64_t kMultiplier = 6364136223846793005ULL;
  constexpr std::uint64_t kIncrement = 11634580027462260723ULL;
  std::array<std::uint32_t, 8> key{};
  std::uint64_t state = seed;
  for (std::uint32_t& word : key) {
    state = state * kMultiplier + kIncrement;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rotation = static_cast<int>(state >> 59);
    word = std::rotr(xorshifted, rotation);
  }
  return key;
}

SharedRng::SharedRng(std::optional<std::uint64_t> seed)
    : keystream_(seed ? expand_seed(*seed) : key_from_entropy()), stream_(keystream_.key()) {}

std::vector<std::uint64_t> SharedRng::sample_indices(std::uint64_t n, std::uint64_t k,
                                                     bool replace) {
  if (n < k) fail("assertion failed: n >= k");
  std::vector<std::uint64_t> result;
  if (replace) {
    draw_with_replacement(n, k, result);
    result.resize(k);
    return result;
  }
  // One lock for all draws of the call keeps them consecutive in the keystream.
  std::lock_guard<std::mutex> lock(mutex_);
  result.reserve(k);
  while (result.size() < k) {
    const std::uint64_t x = stream_.uniform_below(n);
    if (std::find(result.begin(), result.end(), x) != result.end()) continue;
    result.push_back(x);
  }
  return result;
}

template <class T>
std::span<const T> SharedRng::draw_with_replacement(std::uint64_t n, std::uint64_t k,
                                                    std::vector<T>& buffer,
                                                    const std::function<void()>& before_commit) {
  if (n < k) fail("assertion failed: n >= k");
  if (k == 0) return {};
  // Room for the draws other threads make while this call computes (a feature draw per node);
  // a stretch moved further than this is computed again rather than under the lock.
  const std::uint64_t margin = 64 + k / 256;
  constexpr int kAttempts = 4;
  std::vector<std::uint64_t> rejected;  // indices into buffer, ascending
  std::uint64_t start = 0;
  std::uint64_t shift = 0;
  std::uint64_t end = 0;
  for (int attempt = 1;; ++attempt) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      start = stream_.draw_position();
    }
    std::uint64_t computed = k + margin;
    grow_checked(buffer, computed);
    rejected.clear();
    keystream_.map_draws(start, computed, n, buffer.data(), rejected);
    if (attempt == 1 && before_commit) before_commit();

    std::lock_guard<std::mutex> lock(mutex_);
    shift = stream_.draw_position() - start;
    if (shift > margin) {
      if (attempt < kAttempts) continue;
      start += shift;  // the last attempt computes under the lock
      shift = 0;
      rejected.clear();
      keystream_.map_draws(start, computed, n, buffer.data(), rejected);
    }
    // The call's stretch begins at `shift` and ends once it holds k accepted draws.
    end = shift + k;
    std::size_t next = std::lower_bound(rejected.begin(), rejected.end(), shift) - rejected.begin();
    while (true) {
      for (; next < rejected.size() && rejected[next] < end; ++next) ++end;
      if (end <= computed) break;
      const std::uint64_t more = end - computed + margin;
      buffer.resize(computed + more);
      const std::size_t known = rejected.size();
      keystream_.map_draws(start + computed, more, n, buffer.data() + computed, rejected);
      for (std::size_t i = known; i < rejected.size(); ++i) rejected[i] += computed;
      computed += more;
    }
    stream_.seek_draw(start + end);
    break;
  }
  if (shift != 0 || end != k) {
    std::size_t out = 0;
    for (const auto [begin, stop] : checked_pieces(end - shift)) {
      for (std::uint64_t i = shift + begin; i < shift + stop; ++i) {
        if (buffer[i] != Keystream::kRejected<T>) buffer[out++] = buffer[i];
      }
    }
  }
  return std::span<const T>(buffer.data(), k);
}

template std::span<const std::uint32_t> SharedRng::draw_with_replacement(
    std::uint64_t, std::uint64_t, std::vector<std::uint32_t>&, const std::function<void()>&);
template std::span<const std::uint64_t> SharedRng::draw_with_replacement(
    std::uint64_t, std::uint64_t, std::vector<std::uint64_t>&, const std::function<void()>&);

std::uint64_t row_draw_size(std::uint64_t n_rows, float subsample) {
  const float product = static_cast<float>(n_rows) * subsample;
  if (std::isnan(product) || product <= 0.0f) return 0;
  // 2^64 as a float; anything at or above it saturates.
  if (product >= 18446744073709551616.0f) return std::numeric_limits<std::uint64_t>::max();
  const auto k = static_cast<std::uint64_t>(product);
  if (subsample <= 1.0f && k > n_rows) return n_rows;
  return k;
}

}  // namespace quorvanta
