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

std::array<std::uint32_t, 8> key_from_entropy() {
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

}  // namespace

ChaCha20Stream::ChaCha20Stream(const std::array<std::uint32_t, 8>& key) : key_(key) {}

std::array<std::uint32_t, 16> ChaCha20Stream::block(const std::array<std::uint32_t, 8>& key,
                                                    std::uint64_t counter) {
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

void ChaCha20Stream::refill() {
  // The four blocks of a refill side by side, lane b computing block(key_, counter_ + b): each
  // step is the same integer operation on four lanes, which the compiler turns into vector
  // instructions. Drawing a tree's rows spends most of its time here.
  constexpr std::size_t kLanes = 4;
  std::uint32_t input[16][kLanes];
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    for (std::size_t i = 0; i < 4; ++i) input[i][lane] = kChaChaConstants[i];
    for (std::size_t i = 0; i < 8; ++i) input[4 + i][lane] = key_[i];
    const std::uint64_t counter = counter_ + lane;
    input[12][lane] = static_cast<std::uint32_t>(counter);
    input[13][lane] = static_cast<std::uint32_t>(counter >> 32);
    input[14][lane] = 0;
    input[15][lane] = 0;
  }
  std::uint32_t x[16][kLanes];
  std::memcpy(x, input, sizeof(x));
  const auto quarter = [&x](int a, int b, int c, int d) {
    for (std::size_t l = 0; l < kLanes; ++l) x[a][l] += x[b][l];
    for (std::size_t l = 0; l < kLanes; ++l) x[d][l] = std::rotl(x[d][l] ^ x[a][l], 16);
    for (std::size_t l = 0; l < kLanes; ++l) x[c][l] += x[d][l];
    for (std::size_t l = 0; l < kLanes; ++l) x[b][l] = std::rotl(x[b][l] ^ x[c][l], 12);
    for (std::size_t l = 0; l < kLanes; ++l) x[a][l] += x[b][l];
    for (std::size_t l = 0; l < kLanes; ++l) x[d][l] = std::rotl(x[d][l] ^ x[a][l], 8);
    for (std::size_t l = 0; l < kLanes; ++l) x[c][l] += x[d][l];
    for (std::size_t l = 0; l < kLanes; ++l) x[b][l] = std::rotl(x[b][l] ^ x[c][l], 7);
  };
  for (int double_round = 0; double_round < 10; ++double_round) {
    quarter(0, 4, 8, 12);
    quarter(1, 5, 9, 13);
    quarter(2, 6, 10, 14);
    quarter(3, 7, 11, 15);
    quarter(0, 5, 10, 15);
    quarter(1, 6, 11, 12);
    quarter(2, 7, 8, 13);
    quarter(3, 4, 9, 14);
  }
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    for (std::size_t i = 0; i < 16; ++i) buffer_[16 * lane + i] = x[i][lane] + input[i][lane];
  }
  counter_ += kLanes;
  position_ = 0;
}

std::uint32_t ChaCha20Stream::next_u32() {
  if (position_ >= buffer_.size()) refill();
  return buffer_[position_++];
}

std::uint64_t ChaCha20Stream::next_u64() {
  const std::uint64_t low = next_u32();
  const std::uint64_t high = next_u32();
  return high << 32 | low;
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
    : stream_(seed ? expand_seed(*seed) : key_from_entropy()) {}

std::vector<std::uint64_t> SharedRng::sample_indices(std::uint64_t n, std::uint64_t k,
                                                     bool replace) {
  if (n < k) fail("assertion failed: n >= k");
  // One lock for all draws of the call keeps them consecutive in the keystream.
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::uint64_t> result;
  result.reserve(k);
  while (result.size() < k) {
    const std::uint64_t x = stream_.uniform_below(n);
    if (!replace && std::find(result.begin(), result.end(), x) != result.end()) continue;
    result.push_back(x);
  }
  return result;
}

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
