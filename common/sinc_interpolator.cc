#include "common/sinc_interpolator.h"

#include <cmath>
#include <numbers>

namespace pcm {
namespace {

double besselI0(double x) {
  double sum = 1, term = 1;
  for (int k = 1; k < 30; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
  }
  return sum;
}

}  // namespace

SincInterpolator::SincInterpolator() {
  // Cut off a little below half the rate, so that the band the window leaves
  // ragged lies above what 16 kHz speech and music carry.
  constexpr double kCutoff = 0.92, kBeta = 9.0;
  const double half = static_cast<double>(kHalfTaps);
  for (std::size_t p = 0; p <= kPhases; ++p) {
    const double fraction = static_cast<double>(p) / kPhases;
    double sum = 0;
    std::array<double, kTaps> row{};
    for (std::size_t j = 0; j < kTaps; ++j) {
      const double t = static_cast<double>(j) + 1 - half - fraction;  // distance from the position
      const double x = std::numbers::pi * kCutoff * t;
      const double sinc = t == 0 ? 1.0 : std::sin(x) / x;
      const double r = t / half;
      const double window =
          r * r < 1 ? besselI0(kBeta * std::sqrt(1 - r * r)) / besselI0(kBeta) : 0;
      row[j] = sinc * window;
      sum += row[j];
    }
    for (std::size_t j = 0; j < kTaps; ++j) weights_[p][j] = static_cast<float>(row[j] / sum);
  }
}

float SincInterpolator::read(const float* at, double fraction) const {
  const double scaled = fraction * kPhases;
  const auto phase = static_cast<std::size_t>(scaled);
  const float blend = static_cast<float>(scaled - static_cast<double>(phase));
  const auto& lower = weights_[phase];
  const auto& upper = weights_[phase + 1];
  const float* first = at + 1 - static_cast<std::ptrdiff_t>(kHalfTaps);
  float a = 0, b = 0;
  for (std::size_t j = 0; j < kTaps; ++j) {
    a += lower[j] * first[j];
    b += upper[j] * first[j];
  }
  return a + blend * (b - a);
}

}  // namespace pcm
