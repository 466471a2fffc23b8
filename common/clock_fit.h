// The rate of a device's clock against this machine's: a least-squares line through (sample index,
// capture time) points, the older ones weighing less.
#pragma once

#include <optional>

namespace pcm {

class ClockFit {
 public:
  void reset() { points_ = 0; }
  void add(double index, double seconds);
  // Samples a second, once the points span `leastSeconds`.
  std::optional<double> rate(double leastSeconds = kLeastSpanSeconds) const;
  // The rate's standard error as a share of it, from how far the points scatter about the line.
  std::optional<double> rateError() const;

 private:
  static constexpr double kForgetSeconds = 60.0;
  static constexpr double kLeastSpanSeconds = 5.0;
  // The sums about the points' means, and the line's slope (seconds a sample), once it has one.
  struct Line {
    double sxx, sxy, syy, slope;
  };
  std::optional<Line> line() const;
  int points_ = 0;
  double index0_ = 0, seconds0_ = 0, last_ = 0;
  double w_ = 0, x_ = 0, y_ = 0, xx_ = 0, xy_ = 0, yy_ = 0;
};

}  // namespace pcm
