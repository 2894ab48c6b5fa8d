// Gibbs (Boltzmann) analysis of an energy sample.
#pragma once

#include "types.h"

namespace vasq {

struct GibbsResult {
  double H;      // Shannon entropy (nats) of the Boltzmann probabilities
  double Hmax;   // ln(max(n, 2))
  double He;     // H / (Hmax + 1e-300)
  double r_heat; // 0.99 * He + 0.01
  double var_E;  // population variance of the energies
  double T;      // the temperature as passed
};

// Boltzmann summary at temperature T, energies shifted by their minimum. An empty vector
// gives H = 0, Hmax = ln 2, He = 0, r_heat = 0.01, var_E = NaN.
GibbsResult gibbs_entropy(const Vector& energies, double T);

} // namespace vasq
