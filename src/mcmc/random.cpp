#include "mcmc/random.h"

#include <algorithm>
#include <cmath>

namespace vasq {

namespace {

constexpr double kLn4 = 1.3862943611198906;

} // namespace

double NormalSampler::operator()(Engine& engine) {
  double z;
  if (has_cached_) {
    z = cached_;
    has_cached_ = false;
  } else {
    double x1, x2, s;
    do {
      const double u1 = uniform(engine);
      const double u2 = uniform(engine);
      x1 = 2.0 * u1 - 1.0;
      x2 = 2.0 * u2 - 1.0;
      s = x1 * x1 + x2 * x2;
    } while (!(s < 1.0 && x1 != 0.0 && x2 != 0.0));
    double L;
    if (s > 1e-4) {
      L = std::log(s);
    } else {
      // Scale the pair to unit magnitude so that s and its logarithm keep full precision.
      const int e = std::ilogb(std::max(std::abs(x1), std::abs(x2)));
      x1 = std::scalbn(x1, -e);
      x2 = std::scalbn(x2, -e);
      s = x1 * x1 + x2 * x2;
      L = std::log(s) + e * kLn4;
    }
    const double f = std::sqrt((-2.0 * L) / s);
    z = f * x1;
    cached_ = f * x2;
    has_cached_ = true;
  }
  return z * sigma_ + mu_;
}

} // namespace vasq
