#include "common/sample_rule.h"

#include <bit>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
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
// The rule to the bit: minps(s, 1) is "s < 1 ? s : 1" (unordered yields the second operand: NaN
// becomes 1), then maxps(c, -1) is "c >= -1 ? c : -1". The products fit in 16 bits, so the
// saturating pack changes no value. Both return how many samples they encoded.

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
#elif defined(__aarch64__)
// GCC leaves the scalar loop scalar here, even at -O3. FMIN passes a NaN on, and FMINNM makes a
// signalling NaN quiet, which the second limit takes for a number; compares and selects are the
// rule as written. FCVTZS truncates toward zero; the products fit, so the narrow changes no value.
std::size_t encodeNeon(const float* samples, std::size_t n, std::byte* out) {
  const float32x4_t one = vdupq_n_f32(1.0f);
  const float32x4_t minusOne = vdupq_n_f32(-1.0f);
  const float32x4_t scale = vdupq_n_f32(32767.0f);
  const auto encode4 = [&](const float* at) {
    const float32x4_t s = vld1q_f32(at);
    const float32x4_t upper = vbslq_f32(vcltq_f32(s, one), s, one);
    const float32x4_t clamped = vbslq_f32(vcgeq_f32(upper, minusOne), upper, minusOne);
    return vqmovn_s32(vcvtq_s32_f32(vmulq_f32(clamped, scale)));
  };
  std::size_t done = 0;
  for (; done + 8 <= n; done += 8) {
    const int16x8_t packed = vcombine_s16(encode4(samples + done), encode4(samples + done + 4));
    vst1q_u8(reinterpret_cast<uint8_t*>(out + 2 * done), vreinterpretq_u8_s16(packed));
  }
  return done;
}
#endif

}  // namespace

void encodePcm16le(const float* samples, std::size_t n, std::byte* out) {
  std::size_t done = 0;
#if defined(__x86_64__)
  done = kHasAvx2 ? encodeAvx2(samples, n, out) : encodeSse2(samples, n, out);
#elif defined(__aarch64__)
  done = encodeNeon(samples, n, out);
#endif
  encodeScalar(samples + done, n - done, out + 2 * done);
}

}  // namespace pcm
