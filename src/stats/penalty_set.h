// The penalty pair as its consumers (MDL score, regularised fit, sampler) receive it.
#pragma once

#include "types.h"

namespace vasq {

// Refers to caller-owned matrices; a null matrix is absent. Owns nothing.
struct PenaltySet {
  const Matrix* R1 = nullptr;
  const Matrix* R2 = nullptr;
  double gamma1 = 0.0;
  double gamma2 = 0.0;
};

// A penalty is applied when its matrix is present and its weight is not 0.0 (NaN counts as
// non-zero). A penalty that is not applied is never read.
inline bool is_applied(const Matrix* R, double gamma) {
  return gamma != 0.0 && R != nullptr;
}

// Throws "Dimension mismatch." unless every applied penalty is p x p.
void check_penalty_shapes(const PenaltySet& penalties, Index p);

// beta . (R beta): the matrix-vector product first, into `Rbeta`, then the dot product; 0.0
// when R is empty. R must be p x p with p = beta.size(). A `Rbeta` of length p is reused, so
// that repeated calls allocate nothing.
double quadratic_form(const Matrix& R, const Vector& beta, Vector& Rbeta);

} // namespace vasq
