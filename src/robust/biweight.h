// Tukey's biweight, the loss of the MM refinement.
#pragma once

#include <cmath>

namespace vasq {

// The biweight constant: 95 % efficiency at the normal distribution.
inline constexpr double kBiweightC = 4.685;

struct BiweightValues {
  double rho;       // c^2/6 (1 - (1 - (u/c)^2)^3), c^2/6 beyond c
  double psi;       // rho' = u (1 - (u/c)^2)^2
  double psi_prime; // (1 - (u/c)^2) (1 - 5 (u/c)^2)
  double weight;    // psi / u = (1 - (u/c)^2)^2
};

// The biweight at u; psi, psi' and the weight vanish beyond c. rho is expanded as
// u^2/2 (1 - a + a^2/3), a = (u/c)^2: 1 - (1 - a)^3 cancels to nothing for small u.
inline BiweightValues biweight(double u) {
  const double z = u / kBiweightC;
  const double a = z * z;
  if (!(a < 1.0)) return {kBiweightC * kBiweightC / 6.0, 0.0, 0.0, 0.0};
  const double t = 1.0 - a;
  return {0.5 * u * u * (1.0 - a + a * a / 3.0), u * t * t, t * (1.0 - 5.0 * a), t * t};
}

} // namespace vasq
