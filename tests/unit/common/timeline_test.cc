// The timeline against devices whose clocks, gaps and dates the test makes up:
// where each click lands, what a tone keeps, and that a device on the clock
// goes through bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <random>

#include "common/sample_rule.h"
#include "common/timeline.h"

namespace pcm::test {
namespace {

struct Collected final : OutputStream {
  int write(std::span<const std::byte> bytes) override {
    const std::size_t at = samples.size();
    samples.resize(at + bytes.size() / 2);
    std::memcpy(samples.data() + at, bytes.data(), bytes.size());
    return 0;
  }
  int writeSilence(std::size_t bytes) override {
    samples.resize(samples.size() + bytes / 2);
    return 0;
  }
  std::vector<int16_t> samples;
};

struct Device {
  double ppm = 0;                                // how fast its clock runs
  double jitter = 0;                             // most a date strays, either way
  std::vector<std::pair<double, double>> jumps;  // at what time it skips how far ahead
};

struct Capture {
  std::vector<float> input;
  std::vector<double> captured;  // when each input sample was captured
  std::vector<int16_t> output;
  double start = 0;
};

// `seconds` of `signal` (of the input index) from `device`, in 1600-sample
// blocks dated by their first sample.
Capture capture(const Device& device, double seconds,
                const std::function<float(std::size_t)>& signal) {
  Capture run;
  Collected out;
  Timeline timeline(out);
  std::mt19937 random(7);
  std::uniform_real_distribution<double> stray(-device.jitter, device.jitter);
  const double period = 1 / (16000 * (1 + device.ppm * 1e-6));
  double clock = 100.0, skipped = 0;
  auto jump = device.jumps.begin();
  for (std::size_t i = 0; clock < 100.0 + seconds; ++i, clock += period) {
    if (jump != device.jumps.end() && clock - 100.0 >= jump->first) skipped += (jump++)->second;
    run.input.push_back(signal(i));
    run.captured.push_back(clock + skipped);
  }
  for (std::size_t at = 0; at + 1600 <= run.input.size(); at += 1600) {
    const double dated = run.captured[at] + (at == 0 ? 0 : stray(random));
    EXPECT_EQ(timeline.push({run.input.data() + at, 1600}, dated), 0);
  }
  run.output = std::move(out.samples);
  run.start = *timeline.start();
  return run;
}

// Each click of the input (a lone full-scale sample every 0.37 s) found in the
// output: how far from its capture time it lands, in seconds.
std::vector<double> clickErrors(const Device& device, double seconds) {
  const Capture run = capture(device, seconds, [](std::size_t i) { return i % 5920 == 100; });
  std::vector<double> errors;
  for (std::size_t i = 100; i < run.input.size(); i += 5920) {
    const auto expected = static_cast<std::ptrdiff_t>((run.captured[i] - run.start) * 16000);
    std::ptrdiff_t best = -1;
    for (std::ptrdiff_t k = std::max<std::ptrdiff_t>(1, expected - 80);
         k < std::min<std::ptrdiff_t>(expected + 80, std::ssize(run.output) - 1); ++k) {
      if (best < 0 || run.output[k] > run.output[best]) best = k;
    }
    if (best < 0 || run.output[best] < 16000) continue;  // in a gap
    const double a = run.output[best - 1], b = run.output[best], c = run.output[best + 1];
    const double peak = static_cast<double>(best) + 0.5 * (a - c) / (a - 2 * b + c);
    errors.push_back(run.start + peak / 16000 - run.captured[i]);
  }
  return errors;
}

TEST(Timeline, PassesADeviceOnTheClockThroughBitForBit) {
  const Device device{0, 0.0003, {}};
  const Capture run = capture(device, 30, [](std::size_t i) { return std::sin(i * 0.01f) * 1.2f; });
  std::vector<int16_t> encoded(run.input.size() / 1600 * 1600);
  encodePcm16le(run.input.data(), encoded.size(), reinterpret_cast<std::byte*>(encoded.data()));
  ASSERT_EQ(run.output.size(), encoded.size());
  const auto differs = std::mismatch(run.output.begin(), run.output.end(), encoded.begin());
  EXPECT_EQ(differs.first - run.output.begin(), std::ssize(encoded));
}

// Within 2 ms of its capture time, and within 1 ms once a device far off the
// clock is measured and resampled, 10 s in; gaps become silence of their length and repeated audio
// goes; a device a little off the clock is kept in place by whole samples.
TEST(Timeline, PutsEveryClickInPlaceWhateverTheClockGapsAndDates) {
  const Device devices[] = {{400, 0.0003, {}},
                            {-400, 0.0003, {}},
                            {40, 0.0003, {}},
                            {0, 0.0003, {{7.0, 0.1}, {13.0, -0.02}, {19.0, 0.0031}}},
                            {-300, 0.0003, {{7.0, 0.5}, {13.0, -0.05}}}};
  for (const Device& device : devices) {
    const auto errors = clickErrors(device, 30);
    EXPECT_GT(errors.size(), 70u) << device.ppm;
    for (std::size_t i = 0; i < errors.size(); ++i) {
      const bool settled = i * 0.37 > 10 && std::abs(device.ppm) > 100;
      EXPECT_LT(std::abs(errors[i]), settled ? 0.001 : 0.002) << device.ppm << " click " << i;
    }
  }
}

TEST(Timeline, KeepsA1kHzToneCleanThroughTheDriftCorrection) {
  for (const double ppm : {400.0, -400.0}) {
    const double period = 1 / (16000 * (1 + ppm * 1e-6));
    const Capture run = capture({ppm, 0.0003, {}}, 60, [&](std::size_t i) {
      return static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000 * i * period));
    });
    // The least-squares 1 kHz sinusoid over each 100 ms of the output once the
    // rate is settled (the correction moves the phase slowly), and what is left
    // besides it.
    double signal = 0, noise = 0;
    for (std::size_t from = 40 * 16000; from + 1600 <= 58 * 16000; from += 1600) {
      double xc = 0, xs = 0;
      for (std::size_t k = from; k < from + 1600; ++k) {
        const double w = 2 * std::numbers::pi * static_cast<double>(k) / 16;
        xc += run.output[k] * std::cos(w), xs += run.output[k] * std::sin(w);
      }
      for (std::size_t k = from; k < from + 1600; ++k) {
        const double w = 2 * std::numbers::pi * static_cast<double>(k) / 16;
        const double fit = (xc * std::cos(w) + xs * std::sin(w)) / 800;
        signal += fit * fit, noise += (run.output[k] - fit) * (run.output[k] - fit);
      }
    }
    EXPECT_GE(10 * std::log10(signal / noise), 60) << ppm;
  }
}

}  // namespace
}  // namespace pcm::test
