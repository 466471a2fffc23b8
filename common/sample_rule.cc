#include "common/sample_rule.h"

#include <bit>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace pcm {
namespace {

void encodeScalar(const float* samples, std::size_t n, std::byte* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const auto v = static_cast<uint16_t>(sampleFromFloat(samples[i]));
    out[2 * i] = static_cast<std::byte>(v & 0xFF);
    out[2 * i + 1] = static_cast<std::byte>(v >> 8);
  }
}

#if defined(__x86_64__)
// The vector forms are the rule to the bit: minps(s, 1) is "s < 1 ? s : 1" (an
// unordered compare yields the second operand, so NaN becomes 1), and after it
// maxps(c, -1) is "c >= -1 ? c : -1". The products lie in [-32767, 32767], so
// truncating to 32 bits and packing to 16 with saturation changes no value.
// Both return how many samples they encoded; the scalar loop does the rest.

std::size_t encodeSse2(const float* samples, std::size_t n, std::byte* out) {
  const __m128 one = _mm_set1_ps(1.0f);
  const __m128 minusOne = _mm_set1_ps(-1.0f);
  const __m128 scale = _mm_set1_ps(32767.0f);
  std::size_t done = 0;
  for (; done + 8 <= n; done += 8) {
    const __m128 a = _mm_max_ps(_mm_min_ps(_mm_loadu_ps(samples + done), one), minusOne);
    const __m128 b = _mm_max_ps(_mm_min_ps(_mm_loadu_ps(samples + done + 4), one), minusOne);
    const __m128i ia = _mm_cvttps_epi32(_mm_mul_ps(a, scale));
    const __m128i ib = _mm_cvttps_epi32(_mm_mul_ps(b, scale));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * done), _mm_packs_epi32(ia, ib));
  }
  return done;
}

__attribute__((target("avx2"))) std::size_t encodeAvx2(const float* samples, std::size_t n,
                                                       std::byte* out) {
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 minusOne = _mm256_set1_ps(-1.0f);
  const __m256 scale = _mm256_set1_ps(32767.0f);
  std::size_t done = 0;
  for (; done + 16 <= n; done += 16) {
    const __m256 a = _mm256_max_ps(_mm256_min_ps(_mm256_loadu_ps(samples + done), one), minusOne);
    const __m256 b =
        _mm256_max_ps(_mm256_min_ps(_mm256_loadu_ps(samples + done + 8), one), minusOne);
    const __m256i ia = _mm256_cvttps_epi32(_mm256_mul_ps(a, scale));
    const __m256i ib = _mm256_cvttps_epi32(_mm256_mul_ps(b, scale));
    // packs works within 128-bit lanes; the permute puts the four quarters back in order.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(ia, ib), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * done), packed);
  }
  return done;
}

const bool kHasAvx2 = [] {
  __builtin_cpu_init();  // static initialisers may run before libgcc's own
  return __builtin_cpu_supports("avx2") != 0;
}();
#endif

}  // namespace

void encodePcm16le(const float* samples, std::size_t n, std::byte* out) {
  std::size_t done = 0;
#if defined(__x86_64__)
  done = kHasAvx2 ? encodeAvx2(samples, n, out) : encodeSse2(samples, n, out);
#endif
  encodeScalar(samples + done, n - done, out + 2 * done);
}

}  // namespace pcm
