// The timeline against devices whose clocks, gaps and dates the test makes up:
// where each click lands, and that a device on the clock goes through bit for
// bit. What a tone keeps through the drift correction is bench/drift_quality's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "common/sample_rule.h"
#include "tests/unit/common/drifting_device.h"

namespace pcm::test {
namespace {

// Each click of the input (a lone full-scale sample every 0.37 s) found in the
// output: how far from its capture time it lands, in seconds.
std::vector<double> clickErrors(const Device& device, double seconds) {
  const Capture run = capture(device, seconds, [](std::size_t i) { return i % 5920 == 100; });
  std::vector<double> errors;
  for (std::size_t i = 100; i < run.input.size(); i += 5920) {
    const auto expected = static_cast<std::ptrdiff_t>((run.captured[i] - run.start) * 16000);
    const auto from = std::clamp<std::ptrdiff_t>(expected - 80, 1, std::ssize(run.output) - 1);
    const auto to = std::clamp<std::ptrdiff_t>(expected + 80, from, std::ssize(run.output) - 1);
    const auto best =
        std::max_element(run.output.begin() + from, run.output.begin() + to) - run.output.begin();
    if (best == to || run.output[best] < 16000) continue;  // in a gap
    const double a = run.output[best - 1], b = run.output[best], c = run.output[best + 1];
    const double peak = static_cast<double>(best) + 0.5 * (a - c) / (a - 2 * b + c);
    errors.push_back(run.start + peak / 16000 - run.captured[i]);
  }
  return errors;
}

// Dates that stray far or step, but not at a discontinuity, move no sample; nor does a step
// too small to be taken out, which tilts the first seconds' fit.
TEST(Timeline, PassesADeviceOnTheClockThroughBitForBitWhateverItsDatesDo) {
  const Device devices[] = {{0, {}, {{5, 0.05}, {5.1, -0.05}, {9, 1.1}, {9.2, -1.1}, {15, -0.04}}},
                            {0, {}, {{1.5, 0.0004}}, 0}};
  for (const Device& device : devices) {
    const Capture run =
        capture(device, 30, [](std::size_t i) { return std::sin(i * 0.01f) * 1.2f; });
    std::vector<int16_t> encoded(run.input.size() / 1600 * 1600);
    encodePcm16le(run.input.data(), encoded.size(), reinterpret_cast<std::byte*>(encoded.data()));
    EXPECT_TRUE(run.output == encoded) << device.shifts.size();
  }
}

// Within 2 ms of its capture time (1.3 ms for one far off the clock whose dates keep
// steady: its rate is used early), and within 0.5 ms once a device far off the clock
// is measured and resampled, 10 s in; gaps become silence of their length and
// repeated audio goes; a device a little off the clock is kept in place by whole
// samples. Dates stray by up to 0.3 ms.
TEST(Timeline, PutsEveryClickInPlaceWhateverTheClockGapsAndDates) {
  const Device devices[] = {{400},
                            {-400},
                            {40},
                            {0, {{7.0, 0.1}, {13.0, -0.02}, {19.0, 0.0061}}},
                            {-300, {{7.0, 0.5}, {13.0, -0.35}}},
                            {400, {}, {}, 0.00002}};
  for (const Device& device : devices) {
    const auto errors = clickErrors(device, 30);
    EXPECT_GT(errors.size(), 70u) << device.ppm;
    for (std::size_t i = 0; i < errors.size(); ++i) {
      const bool settled = i * 0.37 > 10 && std::abs(device.ppm) > 100;
      const double bound = settled ? 0.0005 : device.jitter < 0.0001 ? 0.0013 : 0.002;
      EXPECT_LT(std::abs(errors[i]), bound) << device.ppm << " click " << i;
    }
  }
}

}  // namespace
}  // namespace pcm::test
