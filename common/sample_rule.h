// The one rule by which both tools turn a float sample into a PCM sample, and the
// little-endian encoder that applies it to a whole buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pcm {

// Limit from above first, then from below, in exactly this form: a NaN fails the
// first comparison and becomes 1.0. The product is taken in single precision and
// truncated toward zero, so the result lies in [-32767, 32767].
inline int16_t sampleFromFloat(float s) {
  const float upper = s < 1.0f ? s : 1.0f;
  const float clamped = upper >= -1.0f ? upper : -1.0f;
  return static_cast<int16_t>(clamped * 32767.0f);
}

// Writes n samples as 2 * n bytes, low byte first. `out` must hold 2 * n bytes.
void encodePcm16le(const float* samples, std::size_t n, std::byte* out);

}  // namespace pcm
