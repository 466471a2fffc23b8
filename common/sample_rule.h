#pragma once

#include <cstddef>
#include <cstdint>

namespace pcm {

// Limit from above first, then from below, in exactly this form: a NaN fails the first comparison
// and becomes 1.0. The single-precision product truncates toward zero, into [-32767, 32767].
inline int16_t sampleFromFloat(float s) {
  const float upper = s < 1.0f ? s : 1.0f;
  const float clamped = upper >= -1.0f ? upper : -1.0f;
  return static_cast<int16_t>(clamped * 32767.0f);
}

// `out` must hold 2 * n bytes; low byte first.
void encodePcm16le(const float* samples, std::size_t n, std::byte* out);

}  // namespace pcm
