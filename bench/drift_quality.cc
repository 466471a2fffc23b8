// Prints what the timeline's drift correction keeps of a 1 kHz tone from a
// device whose clock runs off this machine's (its dates straying by 0.3 ms),
// once settled, and how many times faster than real time the whole run goes,
// the tone's making included.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "tests/unit/common/drifting_device.h"

namespace {

// The 1 kHz tone's signal-to-noise ratio in dB from `from` to `to` seconds of
// the output: the least-squares sinusoid over each 100 ms (a correction moves
// the phase slowly) against what is left besides it.
double toneSnr(const std::vector<int16_t>& output, std::size_t fromSecond, std::size_t toSecond) {
  double signal = 0, noise = 0;
  for (std::size_t from = fromSecond * 16000; from + 1600 <= toSecond * 16000; from += 1600) {
    double xc = 0, xs = 0;
    for (std::size_t k = from; k < from + 1600; ++k) {
      const double w = 2 * std::numbers::pi * static_cast<double>(k) / 16;
      xc += output[k] * std::cos(w), xs += output[k] * std::sin(w);
    }
    for (std::size_t k = from; k < from + 1600; ++k) {
      const double w = 2 * std::numbers::pi * static_cast<double>(k) / 16;
      const double fit = (xc * std::cos(w) + xs * std::sin(w)) / 800;
      signal += fit * fit, noise += (output[k] - fit) * (output[k] - fit);
    }
  }
  return 10 * std::log10(signal / noise);
}

// `seconds` of a 0.5 full-scale 1 kHz tone from a device `ppm` off the clock
// whose dates stray by 0.3 ms.
pcm::test::Capture toneFrom(double ppm, double seconds) {
  const double period = 1 / (16000 * (1 + ppm * 1e-6));
  return pcm::test::capture({ppm}, seconds, [&](std::size_t i) {
    return static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000 * i * period));
  });
}

}  // namespace

int main() {
  std::printf("%8s %8s %12s\n", "ppm", "SNR dB", "x real time");
  for (const double ppm : {-500.0, -400.0, -100.0, 100.0, 400.0, 500.0}) {
    const auto began = std::chrono::steady_clock::now();
    const auto run = toneFrom(ppm, 120);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    std::printf("%8.0f %8.1f %12.0f\n", ppm, toneSnr(run.output, 60, 118), 120 / took.count());
  }
}
