// Reads a 16 kHz signal between its samples: a Kaiser-windowed sinc over 32 samples, its phases
// tabulated and blended, good to about 100 dB below a tone within 7 kHz.
#pragma once

#include <array>
#include <cstddef>

namespace pcm {

class SincInterpolator {
 public:
  static constexpr std::size_t kHalfTaps = 16;

  SincInterpolator();
  // The signal at `at[0] + fraction`, 0 <= fraction < 1, from at[1 - kHalfTaps] to at[kHalfTaps].
  float read(const float* at, double fraction) const;

 private:
  static constexpr std::size_t kTaps = 2 * kHalfTaps;
  static constexpr std::size_t kPhases = 256;
  // Row p is for fraction p / kPhases; one row more, so that blending never reads past the end.
  std::array<std::array<float, kTaps>, kPhases + 1> weights_;
};

}  // namespace pcm
