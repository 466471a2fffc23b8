// A made-up device for the timeline: its clock, its gaps and how its dates
// stray are the caller's, so that where each sample belongs is known.
#pragma once

#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <random>
#include <vector>

#include "common/timeline.h"

namespace pcm::test {

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
inline Capture capture(const Device& device, double seconds,
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
    timeline.push({run.input.data() + at, 1600}, dated);
  }
  run.output = std::move(out.samples);
  run.start = *timeline.start();
  return run;
}

// The 1 kHz tone's signal-to-noise ratio in dB from `from` to `to` seconds of
// the output: the least-squares sinusoid over each 100 ms (a correction moves
// the phase slowly) against what is left besides it.
inline double toneSnr(const std::vector<int16_t>& output, std::size_t fromSecond,
                      std::size_t toSecond) {
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
inline Capture toneFrom(double ppm, double seconds) {
  const double period = 1 / (16000 * (1 + ppm * 1e-6));
  return capture({ppm, 0.0003, {}}, seconds, [&](std::size_t i) {
    return static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000 * i * period));
  });
}

}  // namespace pcm::test
