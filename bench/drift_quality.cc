// Prints what the timeline's drift correction keeps of a 1 kHz tone from a
// device whose clock runs off this machine's (its dates straying by 0.3 ms),
// once settled, and how many times faster than real time the whole run goes,
// the tone's making included.
#include <chrono>
#include <cstdio>

#include "tests/unit/common/drifting_device.h"

int main() {
  std::printf("%8s %8s %12s\n", "ppm", "SNR dB", "x real time");
  for (const double ppm : {-500.0, -400.0, -100.0, 100.0, 400.0, 500.0}) {
    const auto began = std::chrono::steady_clock::now();
    const auto run = pcm::test::toneFrom(ppm, 120);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    std::printf("%8.0f %8.1f %12.0f\n", ppm, pcm::test::toneSnr(run.output, 60, 118),
                120 / took.count());
  }
}
