#include "stats/robust.h"

#include <algorithm>
#include <cmath>

namespace vasq {

double median(Vector& w) {
  const Index n = w.size();
  if (n == 0) return 0.0;
  const Index h = n / 2;
  double* const first = w.data();
  double* const upper = first + h;
  std::nth_element(first, upper, first + n);
  const double a = *upper;
  if (n % 2 == 1) return a;
  // After the selection the lower order statistic is the largest of the lower part.
  const double b = *std::max_element(first, upper);
  return (b + a) * 0.5;
}

// The deviations do not depend on the order of y, so the selection's reordering of the
// one working copy does no harm.
double mad(Vector y) {
  const double m = median(y);
  y = (y.array() - m).abs();
  return median(y);
}

namespace {

inline double hit(double yp, double yt, double eps) {
  return eps > std::abs(yp - yt) ? 1.0 : 0.0;
}

} // namespace

double success_rate(double count, double n) {
  const double r = count / n;
  const double f = 1.0 / (n + n);
  return f > r ? f : r;
}

double compute_sr(const Vector& yp, const Vector& yt, double eps) {
  require(yp.size() >= yt.size(), kDimensionMismatch);
  const Index n = yt.size();
  const double* p = yp.data();
  const double* t = yt.data();
  // Hits are counted in doubles, exact below 2^53 in any order, with independent lanes so
  // that the loop vectorises without a serial chain of additions: it runs once per energy
  // evaluation of the sampler.
  constexpr Index kLanes = 8;
  double lanes[kLanes] = {};
  Index i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (Index l = 0; l < kLanes; ++l) lanes[l] += hit(p[i + l], t[i + l], eps);
  double count = 0.0;
  for (const double lane : lanes) count += lane;
  for (; i < n; ++i) count += hit(p[i], t[i], eps);
  return success_rate(count, static_cast<double>(n));
}

} // namespace vasq
