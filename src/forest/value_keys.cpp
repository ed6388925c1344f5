#include "forest/value_keys.hpp"

#include <immintrin.h>

#include <bit>
#include <cstring>
#include <type_traits>

namespace quorvanta {
namespace {

void strided_keys_portable(const std::byte* first, std::ptrdiff_t stride, std::size_t begin,
                           std::size_t count, std::uint32_t nan_key, std::uint32_t* keys) {
  for (std::size_t i = begin; i < count; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, first + static_cast<std::ptrdiff_t>(i) * stride, sizeof bits);
    keys[i] = is_nan_bits(bits) ? nan_key : bits_key(bits);
  }
}

void strided_double_keys_portable(const std::byte* first, std::ptrdiff_t stride, std::size_t begin,
                                  std::size_t count, std::uint32_t nan_key, std::uint32_t* keys) {
  for (std::size_t i = begin; i < count; ++i) {
    double value;
    std::memcpy(&value, first + static_cast<std::ptrdiff_t>(i) * stride, sizeof value);
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
    keys[i] = is_nan_bits(bits) ? nan_key : bits_key(bits);
  }
}

// The keys of 16 values' f32 bits.
__attribute__((target("avx512f"))) __m512i keys_of_bits(__m512i bits, __m512i nan_keys) {
  const __m512i magnitude_mask = _mm512_set1_epi32(0x7FFFFFFF);
  const __m512i magnitude = _mm512_and_si512(bits, magnitude_mask);
  const __mmask16 is_nan = _mm512_cmpgt_epu32_mask(magnitude, _mm512_set1_epi32(0x7F800000));
  bits = _mm512_maskz_mov_epi32(_mm512_test_epi32_mask(bits, magnitude_mask), bits);
  const __m512i flip = _mm512_or_si512(_mm512_maskz_srai_epi32(0xFFFF, bits, 31),
                                       _mm512_set1_epi32(static_cast<std::int32_t>(0x80000000u)));
  return _mm512_mask_mov_epi32(_mm512_xor_si512(bits, flip), is_nan, nan_keys);
}

// The f32 bits of 16 values from `group` on, at byte offsets `offsets` (lane * stride): f32 values
// as they are, f64 values in two gathers of 8 narrowed as static_cast<float> narrows them (the same
// rounding, and a NaN stays a NaN). The masked forms, with every lane set, since the plain ones
// start from undefined registers.
template <class Value>
__attribute__((target("avx512f"))) __m512i gather_bits(const std::byte* group,
                                                       std::ptrdiff_t stride, __m512i offsets) {
  if constexpr (std::is_same_v<Value, float>) {
    return _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), 0xFFFF, offsets, group, 1);
  } else {
    const __m512d zero = _mm512_setzero_pd();
    // Loop-invariant once inlined.
    const __m256i first_eight =
        _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                           _mm256_set1_epi32(static_cast<std::int32_t>(stride)));
    const __m256 low =
        _mm512_maskz_cvtpd_ps(0xFF, _mm512_mask_i32gather_pd(zero, 0xFF, first_eight, group, 1));
    const __m256 high = _mm512_maskz_cvtpd_ps(
        0xFF, _mm512_mask_i32gather_pd(zero, 0xFF, first_eight, group + 8 * stride, 1));
    return _mm512_castpd_si512(_mm512_mask_insertf64x4(
        zero, 0xFF, _mm512_mask_insertf64x4(zero, 0xFF, zero, _mm256_castps_pd(low), 0),
        _mm256_castps_pd(high), 1));
  }
}

// 16 values a group; returns how many were keyed.
template <class Value>
__attribute__((target("avx512f"))) std::size_t strided_keys_avx512(const std::byte* first,
                                                                   std::ptrdiff_t stride,
                                                                   std::size_t count,
                                                                   std::uint32_t nan_key,
                                                                   std::uint32_t* keys) {
  constexpr std::size_t kLanes = 16;
  const auto step = static_cast<std::int32_t>(stride);
  const __m512i offsets =
      _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                         _mm512_set1_epi32(step));
  const __m512i nan_keys = _mm512_set1_epi32(static_cast<std::int32_t>(nan_key));
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    const std::byte* group = first + static_cast<std::ptrdiff_t>(i) * stride;
    _mm512_storeu_si512(keys + i,
                        keys_of_bits(gather_bits<Value>(group, stride, offsets), nan_keys));
  }
  return i;
}

// Whether a column is keyed 16 values a gather: byte offsets of a group's lanes must fit the
// gather's signed 32-bit indices.
bool gathers(std::size_t count, std::ptrdiff_t stride) {
  constexpr std::ptrdiff_t kMaxGatherStride = 0x7FFFFFFF / 16;
  return count >= 16 && stride >= -kMaxGatherStride && stride <= kMaxGatherStride &&
         __builtin_cpu_supports("avx512f");
}

}  // namespace

void strided_float_keys(const std::byte* first, std::ptrdiff_t stride, std::size_t count,
                        std::uint32_t nan_key, std::uint32_t* keys) {
  const std::size_t done =
      gathers(count, stride) ? strided_keys_avx512<float>(first, stride, count, nan_key, keys) : 0;
  strided_keys_portable(first, stride, done, count, nan_key, keys);
}

void strided_double_keys(const std::byte* first, std::ptrdiff_t stride, std::size_t count,
                         std::uint32_t nan_key, std::uint32_t* keys) {
  const std::size_t done =
      gathers(count, stride) ? strided_keys_avx512<double>(first, stride, count, nan_key, keys) : 0;
  strided_double_keys_portable(first, stride, done, count, nan_key, keys);
}

}  // namespace quorvanta
