// Puts a 16 kHz mono stream on this machine's monotonic clock before it goes
// out: sample k of the output is the audio captured at start() + k / 16000 s.
// Audio that never arrived becomes silence of its length, audio that arrives
// twice is dropped, and a device whose clock runs fast or slow is resampled
// to 16,000 samples per second of the monotonic clock. A device that keeps
// time with this machine is passed through untouched, bit for bit, but for a
// sample left out or repeated when it strays a millisecond and a half.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock_fit.h"
#include "common/output_stream.h"
#include "common/sinc_interpolator.h"

namespace pcm {

class Timeline {
 public:
  static constexpr double kRate = 16000.0;

  explicit Timeline(OutputStream& output) : output_(output) {}

  // Encodes `samples` to the output, in place in time. `capturedAt` is when
  // samples[0] was captured, in CLOCK_MONOTONIC seconds, or NaN when not known
  // (they then simply continue). Only at a discontinuity (audio lost before
  // them, or another device) may they lie apart from the previous ones: there
  // a gap becomes silence and an overlap is dropped. Elsewhere a date out of
  // line is a stray one and only steers, within bounds. Returns 0, or the
  // errno of an output that failed for good.
  int push(std::span<const float> samples, double capturedAt, bool discontinuity = false);

  // When sample 0 was captured, once the first samples have been pushed.
  std::optional<double> start() const { return start_; }

 private:
  // Where this block's first sample lands in the output, less where its
  // capture time says it belongs, in output samples.
  double misplacement(double capturedAt) const;
  void mend(double misplaced);
  void steer(double misplaced);
  int passThrough(std::span<const float> samples);
  int resample(std::span<const float> samples);
  int emit(std::span<const float> samples);
  int emitSilence(std::size_t count);

  OutputStream& output_;
  std::optional<double> start_;
  uint64_t emitted_ = 0;        // output samples so far, silence included
  double received_ = 0;         // input samples so far, inserted silence included
  double next_ = 0;             // input position of the next output sample
  double step_ = 1;             // input samples per output sample
  bool exact_ = true;           // step 1 at whole positions: the input goes out as it came
  std::size_t overlap_ = 0;     // input samples still to drop, which went out already
  int nudge_ = 0;               // while exact_: a sample to leave out (1) or repeat (-1)
  double error_ = 0;            // smoothed misplacement
  double shift_ = 0;            // how far the dates stepped since the last discontinuity
  double lastMisplaced_ = 0;    // the last block's, less that
  double fitted_ = 0;           // input samples in the current stretch, for the fit
  double settled_ = 3 * kRate;  // output sample from which small corrections are made
  ClockFit fit_;
  std::optional<double> rate_;
  SincInterpolator interpolator_;
  // Input from the first sample the next output still needs (a few before
  // next_) to the newest; while exact_, only the last few.
  std::vector<float> history_;
  double historyStart_ = 0;  // input position of history_[0]
  std::vector<float> resampled_;
  std::vector<std::byte> encoded_;
};

// Sample 0's capture time, `monotonic` seconds on CLOCK_MONOTONIC, as the stamp
// line gives it: on CLOCK_REALTIME as that clock stands now, then on
// CLOCK_MONOTONIC, both in seconds with six decimals.
std::array<std::string, 2> sampleZeroStamp(double monotonic);

}  // namespace pcm
