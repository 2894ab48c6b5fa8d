#include "gibbs/gibbs.h"

#include <algorithm>
#include <cmath>

namespace vasq {

namespace {

// Guards divisions by a temperature or maximum entropy and logarithms of probabilities.
constexpr double kTiny = 1e-300;

double population_variance(const Vector& E) {
  const double n = static_cast<double>(E.size());
  const double mean = E.sum() / n;
  double sum_sq = 0.0;
  for (Index i = 0; i < E.size(); ++i) sum_sq += (E[i] - mean) * (E[i] - mean);
  return sum_sq / n;
}

} // namespace

GibbsResult gibbs_entropy(const Vector& energies, double T) {
  const Index n = energies.size();
  // An empty sample has no minimum; no loop below reads it then.
  const double Emin = n > 0 ? energies.minCoeff() : 0.0;
  const double D = T + kTiny;

  // Shifting by the minimum gives the lowest energy weight 1, so Z >= 1 and nothing overflows.
  Eigen::ArrayXd w(n);
  double Z = 0.0;
  for (Index i = 0; i < n; ++i) {
    w[i] = std::exp(-(energies[i] - Emin) / D);
    Z += w[i];
  }

  double H = 0.0;
  for (Index i = 0; i < n; ++i) {
    const double p = w[i] / Z;
    H = H - std::log(p + kTiny) * p;
  }

  const double Hmax = std::log(static_cast<double>(std::max<Index>(n, 2)));
  const double He = H / (Hmax + kTiny);
  const double r_heat = He * 0.99 + 0.01;
  return {H, Hmax, He, r_heat, population_variance(energies), T};
}

} // namespace vasq
