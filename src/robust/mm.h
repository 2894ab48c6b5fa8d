// MM refinement: biweight iteratively reweighted least squares at fixed scales.
#pragma once

#include "robust/biweight.h"
#include "types.h"

namespace vasq {

// The biweight's rho, psi, psi' and weight at every u. Throws std::invalid_argument on a
// non-finite u.
struct BiweightArrays {
  Vector rho, psi, psi_prime, weight;
};
BiweightArrays biweight_arrays(const Vector& u);

// sum_i w_i rho(r_i / s_i), rho the biweight's: the objective that the biweight refinement
// lowers at fixed scales.
double biweight_objective(const Vector& r, const VectorView& w, const Vector& s);

// Residuals beyond this many noise scales are outliers to the noise models' estimates.
inline constexpr double kInlierCut = 2.5;

// Iteratively reweighted least squares from `beta` with weights w_i W(r_i / s_i) / s_i^2,
// W the biweight weight and the scales s fixed: a point beyond c s_i gets no weight, and the
// scale cannot grow to readmit it. Stops when no coefficient moves by more than
// tol * (1 + max |beta|), or after max_iter steps; `iterations` receives the count.
Vector irls_biweight(const Matrix& X, const VectorView& y, const VectorView& w, const Vector& s,
                     Vector beta, int max_iter, double tol, int& iterations);

} // namespace vasq
