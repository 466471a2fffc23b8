#include "common/clock_fit.h"

#include <algorithm>
#include <cmath>

namespace pcm {

void ClockFit::add(double index, double seconds) {
  if (points_++ == 0) {
    index0_ = index;
    seconds0_ = last_ = seconds;
    w_ = x_ = y_ = xx_ = xy_ = yy_ = 0;
  }
  const double keep = std::exp(-(seconds - last_) / kForgetSeconds);
  last_ = seconds;
  const double x = index - index0_, y = seconds - seconds0_;
  w_ = w_ * keep + 1;
  x_ = x_ * keep + x;
  y_ = y_ * keep + y;
  xx_ = xx_ * keep + x * x;
  xy_ = xy_ * keep + x * y;
  yy_ = yy_ * keep + y * y;
}

std::optional<ClockFit::Line> ClockFit::line() const {
  if (points_ < 3 || !(w_ > 2)) return std::nullopt;
  const double sxx = xx_ - x_ * x_ / w_, sxy = xy_ - x_ * y_ / w_, syy = yy_ - y_ * y_ / w_;
  if (!(sxx > 0) || !(sxy > 0)) return std::nullopt;
  return Line{sxx, sxy, syy, sxy / sxx};
}

std::optional<double> ClockFit::rate(double leastSeconds) const {
  const auto fitted = line();
  if (!fitted || last_ - seconds0_ < leastSeconds) return std::nullopt;
  return 1.0 / fitted->slope;
}

std::optional<double> ClockFit::rateError() const {
  const auto fitted = line();
  if (!fitted) return std::nullopt;
  const double scatter = std::max(0.0, fitted->syy - fitted->slope * fitted->sxy) / (w_ - 2);
  return std::sqrt(scatter / fitted->sxx) / fitted->slope;
}

}  // namespace pcm
