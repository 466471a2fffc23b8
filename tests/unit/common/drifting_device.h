// A made-up device for the timeline: its clock, its gaps and how its dates
// stray are the caller's, so that where each sample belongs is known.
#pragma once

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "common/timeline.h"
#include "tests/fake/common/fake_process.h"

namespace pcm::test {

struct Device {
  double ppm;                                          // how fast its clock runs
  std::vector<std::pair<double, double>> jumps = {};   // at what time it skips how far ahead
  std::vector<std::pair<double, double>> shifts = {};  // at what time all dates move how far
  double jitter = 0.0003;                              // most a date strays, either way
};

struct Capture {
  std::vector<float> input;
  std::vector<double> captured;  // when each input sample was captured
  std::vector<int16_t> output;
  double start = 0;
};

// `seconds` of `signal` (of the input index) from `device`, in 1600-sample
// blocks dated by their first sample, the first after a jump marked as a
// discontinuity.
inline Capture capture(const Device& device, double seconds,
                       const std::function<float(std::size_t)>& signal) {
  Capture run;
  fake::FakeProcess out;
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
  auto shifts = device.shifts.begin();
  double shifted = 0;
  for (std::size_t at = 0; at + 1600 <= run.input.size(); at += 1600) {
    if (shifts != device.shifts.end() && at / 16000.0 >= shifts->first)
      shifted += (shifts++)->second;
    const double dated = run.captured[at] + shifted + (at == 0 ? 0 : stray(random));
    const double continued = at == 0 ? 0 : run.captured[at - 1600] + 1600 * period;
    timeline.push({run.input.data() + at, 1600}, dated,
                  std::abs(run.captured[at] - continued) > 1e-4);
  }
  const std::string bytes = out.stdoutBytes();
  run.output.assign(reinterpret_cast<const int16_t*>(bytes.data()),
                    reinterpret_cast<const int16_t*>(bytes.data() + bytes.size()));
  run.start = *timeline.start();
  return run;
}

}  // namespace pcm::test
