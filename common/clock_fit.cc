#include "common/clock_fit.h"

#include <cmath>

namespace pcm {

void ClockFit::add(double index, double seconds) {
  if (points_++ == 0) {
    index0_ = index;
    seconds0_ = last_ = seconds;
    w_ = x_ = y_ = xx_ = xy_ = 0;
  }
  const double keep = std::exp(-(seconds - last_) / kForgetSeconds);
  last_ = seconds;
  const double x = index - index0_, y = seconds - seconds0_;
  w_ = w_ * keep + 1;
  x_ = x_ * keep + x;
  y_ = y_ * keep + y;
  xx_ = xx_ * keep + x * x;
  xy_ = xy_ * keep + x * y;
}

std::optional<double> ClockFit::rate() const {
  if (points_ < 3 || last_ - seconds0_ < kLeastSpanSeconds) return std::nullopt;
  const double spread = w_ * xx_ - x_ * x_;
  const double secondsPerSample = (w_ * xy_ - x_ * y_) / spread;
  if (!(spread > 0) || !(secondsPerSample > 0)) return std::nullopt;
  return 1.0 / secondsPerSample;
}

}  // namespace pcm
