// MM refinement: biweight iteratively reweighted least squares at a fixed scale, and the
// model of a scale that changes across the features.
#pragma once

#include <vector>

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
double biweight_objective(const Vector& r, const Vector& w, const Vector& s);

// The noise scale at features t: s0 * exp(clamp(gamma[0] + sum_k gamma[k+1] t_k, lo, hi)).
// Constant (gamma = 0, lo = hi = 0) unless a test supports a change across the features.
struct ScaleModel {
  Vector gamma;
  double lo = 0.0;
  double hi = 0.0;
};

// The scale at every row of the columns T.
Vector scale_at(const ScaleModel& model, double s0, const std::vector<Vector>& T);

// Log-linear model of |r| over the features, fitted by least squares of log |r| to the rows of
// positive weight within kInlierCut * s0 only, so that the points the high-breakdown stage
// rejected cannot raise it. It is kept when the slopes pass a chi-square test at level 1e-3;
// it is then centred on those rows, and its log ratio to s0 is clamped to the range it takes
// on them (no extrapolation towards leverage points) and to +-log(kMaxScaleRatio).
inline constexpr double kInlierCut = 2.5;
inline constexpr double kMaxScaleRatio = 4.0;
ScaleModel fit_scale_model(const std::vector<Vector>& T, const Vector& r, const Vector& w,
                           double s0);

// Iteratively reweighted least squares from `beta` with weights w_i W(r_i / s_i) / s_i^2,
// W the biweight weight and the scales s fixed: a point beyond c s_i gets no weight, and the
// scale cannot grow to readmit it. Stops when no coefficient moves by more than
// tol * (1 + max |beta|), or after max_iter steps; `iterations` receives the count.
Vector irls_biweight(const Matrix& X, const Vector& y, const Vector& w, const Vector& s,
                     Vector beta, int max_iter, double tol, int& iterations);

} // namespace vasq
