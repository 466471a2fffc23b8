// Puts a 16 kHz mono stream on the monotonic clock: output sample k is the audio captured at
// start() + k / 16000 s. Lost audio becomes silence, repeated audio is dropped, a device running
// fast or slow is resampled, and one that keeps time goes out bit for bit.
#pragma once

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

  // `capturedAt`: when samples[0] was captured, CLOCK_MONOTONIC seconds, NaN: unknown. Only at a
  // discontinuity is a gap filled with silence or an overlap dropped; elsewhere a date out of
  // line only steers, within bounds. Returns 0, or the errno of an output that failed for good.
  int push(std::span<const float> samples, double capturedAt, bool discontinuity = false);

  std::optional<double> start() const { return start_; }

 private:
  // In output samples; > 0 when the block would land later than its date says.
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
  bool pullingIn_ = true;       // until the error is all but gone, after the rate is first used
  double shift_ = 0;            // how far the dates stepped since the last discontinuity
  double lastMisplaced_ = 0;    // the last block's, less that
  bool jolted_ = false;         // a date moved from the last by more than drift can, in this fit
  double fitted_ = 0;           // input samples in the current stretch, for the fit
  double settled_ = 3 * kRate;  // output sample from which small corrections are made
  ClockFit fit_;
  std::optional<double> rate_;
  SincInterpolator interpolator_;
  // From the first input sample the next output still needs; while exact_, the last few.
  std::vector<float> history_;
  double historyStart_ = 0;  // input position of history_[0]
  std::vector<float> resampled_;
  std::vector<std::byte> encoded_;
};

// Writes `line`, the stamp line, with sample 0's capture time `monotonic` (CLOCK_MONOTONIC
// seconds) first on CLOCK_REALTIME as it stands now, then as it is, both with six decimals.
void saySampleZero(ProcessControl& process, Line line, double monotonic);

}  // namespace pcm
