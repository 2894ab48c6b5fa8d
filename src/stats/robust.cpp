#include "stats/robust.h"

#include <algorithm>
#include <cmath>

namespace vasq {

double median(std::vector<double> w) {
  const std::size_t n = w.size();
  if (n == 0) return 0.0;
  const std::size_t h = n / 2;
  const auto upper = w.begin() + static_cast<std::ptrdiff_t>(h);
  std::nth_element(w.begin(), upper, w.end());
  const double a = *upper;
  if (n % 2 == 1) return a;
  // After the selection the lower order statistic is the largest of the lower part.
  const double b = *std::max_element(w.begin(), upper);
  return (b + a) * 0.5;
}

double mad(const Vector& y) {
  std::vector<double> v(y.data(), y.data() + y.size());
  const double m = median(v);
  for (double& vi : v) vi = std::abs(vi - m);
  return median(std::move(v));
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
