#include "common/timeline.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/sample_rule.h"

namespace pcm {
namespace {

// Beyond this at a discontinuity, a misplacement is a gap or an overlap, mended at once.
constexpr double kGapSamples = 16;  // 1 ms
// A step in the dates (see push); the most a date steers, one beyond it left out of the fit.
constexpr double kStepSamples = 16;         // 1 ms
constexpr double kStraySamplesAtMost = 80;  // 5 ms
// Within kExactRate, a device goes through untouched, nudged a sample when it strays kNudgeSamples.
// A rate is off only beyond kSureBy of its standard errors more: dates a busy machine scatters
// never take a device on the clock off its exact path.
constexpr double kExactRate = 100e-6;
constexpr double kSureBy = 6;
constexpr double kMostDrift = 1000e-6;
constexpr double kNudgeSamples = 24;  // 1.5 ms
// A device far off the clock strays a millisecond in a few seconds: its rate is used from
// kEarlySeconds of dates when off by kEarlyRate beyond kSureBy standard errors, unless a date
// moved from the one before by more than drift can (kJoltSamples): a step too small to be taken
// out as a shift, which would tilt so short a fit.
constexpr double kEarlySeconds = 3.0;
constexpr double kEarlyRate = 150e-6;
constexpr double kJoltSamples = 8;
// Beyond kStraySamples, pulled in over about kPullSeconds: slowly, so the pitch does not waver.
// What built up while the rate was measured is pulled all the way in, and sooner, or it would stay.
constexpr double kPullSeconds = 4.0;
constexpr double kPullInSeconds = 2.0;
constexpr double kMostPull = 1e-3;
constexpr double kStraySamples = 5;
constexpr double kPulledInSamples = 0.5;
// The server's first answers in a new stretch are the least sure: small corrections wait.
constexpr double kSettleSamples = 3 * Timeline::kRate;
// The share of each block's misplacement that steers: a few stray dates do not move a sample.
constexpr double kSmoothing = 0.1;
// Beyond this a misplacement is a broken time, not audio.
constexpr double kBelievableSamples = 3600 * Timeline::kRate;

constexpr std::size_t kHalfTaps = SincInterpolator::kHalfTaps;

double seconds(const timespec& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double monotonicNow() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return seconds(now);
}

}  // namespace

double Timeline::misplacement(double capturedAt) const {
  const double lands = static_cast<double>(emitted_) + (received_ - next_) / step_;
  return lands - (capturedAt - *start_) * kRate;
}

int Timeline::push(std::span<const float> samples, double capturedAt, bool discontinuity) {
  if (samples.empty()) return 0;
  if (!start_) start_ = std::isfinite(capturedAt) ? capturedAt : monotonicNow();
  if (std::isfinite(capturedAt)) {
    double misplaced = misplacement(capturedAt);
    if (std::abs(misplaced) > kBelievableSamples) {
      // The block simply continues.
    } else if (discontinuity && std::abs(misplaced) > kGapSamples) {
      mend(misplaced);
    } else if (overlap_ == 0) {
      if (discontinuity) shift_ = 0, lastMisplaced_ = misplaced;
      misplaced -= shift_;
      // Audio that runs on drifts slowly: dates that step further at once were shifted (the
      // server changed how it buffers), and the step is taken out of them from here on.
      if (std::abs(misplaced - lastMisplaced_) > kStepSamples) {
        shift_ += misplaced - lastMisplaced_;
        misplaced = lastMisplaced_;
      }
      jolted_ |= std::abs(misplaced - lastMisplaced_) > kJoltSamples;
      lastMisplaced_ = misplaced;
      if (std::abs(misplaced) <= kStraySamplesAtMost)
        fit_.add(fitted_, capturedAt + shift_ / kRate);
      steer(std::clamp(misplaced, -kStraySamplesAtMost, kStraySamplesAtMost));
    }
  }
  fitted_ += static_cast<double>(samples.size());
  const std::size_t dropped = std::min(overlap_, samples.size());
  overlap_ -= dropped;
  samples = samples.subspan(dropped);
  if (samples.empty()) return 0;
  return exact_ ? passThrough(samples) : resample(samples);
}

// The rate is measured anew: after a gap it may be another device.
void Timeline::mend(double misplaced) {
  const auto count = static_cast<std::size_t>(std::llround(std::abs(misplaced) * step_));
  if (misplaced < 0) {
    if (exact_) {
      received_ += static_cast<double>(count);
      next_ += static_cast<double>(count);
      history_.assign(2 * kHalfTaps, 0.0f);
      historyStart_ = received_ - static_cast<double>(history_.size());
      emitSilence(count);
    } else {
      history_.insert(history_.end(), count, 0.0f);
      received_ += static_cast<double>(count);
    }
  } else {
    overlap_ = count;
  }
  error_ = shift_ = lastMisplaced_ = 0;
  pullingIn_ = true;
  jolted_ = false;
  settled_ = static_cast<double>(emitted_) + kSettleSamples;
  fitted_ = 0;
  fit_.reset();
}

void Timeline::steer(double misplaced) {
  error_ += kSmoothing * (misplaced - error_);
  // How far off a rate may read by chance; a rate further off than any device runs is a fit gone
  // wrong, not a clock.
  const double unsure = kSureBy * fit_.rateError().value_or(kMostDrift);
  if (auto rate = fit_.rate(); rate && std::abs(*rate / kRate - 1) <= kMostDrift) {
    rate_ = rate;
  } else if (auto early = fit_.rate(kEarlySeconds); early && !rate && !jolted_) {
    const double off = std::abs(*early / kRate - 1) - unsure;
    if (off > kEarlyRate && off <= kMostDrift) rate_ = early;
  }
  if (static_cast<double>(emitted_) < settled_) {
    if (!exact_) step_ = rate_.value_or(kRate) / kRate;
    return;
  }
  if (exact_ && std::abs(rate_.value_or(kRate) / kRate - 1) <= kExactRate + unsure) {
    if (std::abs(error_) > kNudgeSamples) {
      nudge_ = error_ > 0 ? 1 : -1;
      error_ -= nudge_;
    }
    return;
  }
  exact_ = false;
  if (std::abs(error_) < kPulledInSamples) pullingIn_ = false;
  const double tolerated = pullingIn_ ? 0.0 : kStraySamples;
  const double beyond = std::copysign(std::max(0.0, std::abs(error_) - tolerated), error_);
  const double pullSeconds = pullingIn_ ? kPullInSeconds : kPullSeconds;
  const double pull = std::clamp(beyond / (pullSeconds * kRate), -kMostPull, kMostPull);
  step_ = rate_.value_or(kRate) / kRate + pull;
}

int Timeline::passThrough(std::span<const float> samples) {
  if (nudge_ > 0) samples = samples.subspan(1);
  if (nudge_ < 0) {
    received_ += 1;
    if (const int failure = emit(samples.first(1))) return failure;
  }
  nudge_ = 0;
  // In case resampling starts with the next block.
  const std::size_t keep = std::min(samples.size(), 2 * kHalfTaps);
  history_.insert(history_.end(), samples.end() - static_cast<std::ptrdiff_t>(keep), samples.end());
  if (history_.size() > 2 * kHalfTaps) {
    history_.erase(history_.begin(), history_.end() - 2 * kHalfTaps);
  }
  received_ += static_cast<double>(samples.size());
  next_ = received_;
  historyStart_ = received_ - static_cast<double>(history_.size());
  return emit(samples);
}

int Timeline::resample(std::span<const float> samples) {
  history_.insert(history_.end(), samples.begin(), samples.end());
  received_ += static_cast<double>(samples.size());
  resampled_.clear();
  while (std::floor(next_) + static_cast<double>(kHalfTaps) < received_) {
    const double whole = std::floor(next_);
    const auto at = static_cast<std::ptrdiff_t>(whole - historyStart_);
    // Just after passing through, the first taps lie before the history: silence.
    if (at + 1 < static_cast<std::ptrdiff_t>(kHalfTaps)) {
      const auto missing =
          static_cast<std::size_t>(static_cast<std::ptrdiff_t>(kHalfTaps) - 1 - at);
      history_.insert(history_.begin(), missing, 0.0f);
      historyStart_ -= static_cast<double>(missing);
      continue;
    }
    resampled_.push_back(interpolator_.read(history_.data() + at, next_ - whole));
    next_ += step_;
  }
  const double keepFrom = std::floor(next_) + 1 - static_cast<double>(kHalfTaps);
  if (keepFrom > historyStart_) {
    const auto drop = std::min(static_cast<std::size_t>(keepFrom - historyStart_), history_.size());
    history_.erase(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(drop));
    historyStart_ += static_cast<double>(drop);
  }
  return emit(resampled_);
}

int Timeline::emit(std::span<const float> samples) {
  if (samples.empty()) return 0;
  if (encoded_.size() < 2 * samples.size()) encoded_.resize(2 * samples.size());
  encodePcm16le(samples.data(), samples.size(), encoded_.data());
  emitted_ += samples.size();
  return output_.write({encoded_.data(), 2 * samples.size()});
}

int Timeline::emitSilence(std::size_t count) {
  emitted_ += count;
  return output_.writeSilence(2 * count);
}

void saySampleZero(ProcessControl& process, Line line, double monotonic) {
  timespec real, mono;
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_MONOTONIC, &mono);
  const auto sixDecimals = [](double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", seconds);
    return std::string(text);
  };
  const double realtime = monotonic + seconds(real) - seconds(mono);
  say(process, line, {sixDecimals(realtime), sixDecimals(monotonic)});
}

}  // namespace pcm
