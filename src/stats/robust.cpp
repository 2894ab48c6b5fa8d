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

double compute_sr(const Vector& yp, const Vector& yt, double eps) {
  require(yp.size() >= yt.size(), kDimensionMismatch);
  const Index n = yt.size();
  Index count = 0;
  for (Index i = 0; i < n; ++i) count += eps > std::abs(yp[i] - yt[i]) ? 1 : 0;
  const double nd = static_cast<double>(n);
  const double r = static_cast<double>(count) / nd;
  const double f = 1.0 / (nd + nd);
  return f > r ? f : r;
}

} // namespace vasq
