// Noise models: the noise sd of a reading as a function of its mean or of the features,
// estimated robustly together with the biweight refinement.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types.h"

namespace vasq {

// The sd of a reading with fitted mean m (signal mu = m - zero) at features t:
//   constant        params (s)                     s
//   power           params (s, theta, floor)       s * max(|mu|, floor)^theta
//   two_component   params (a, b)                  sqrt(a^2 + b^2 mu^2)
//   log_linear      params (g_0, ..., g_d, lo, hi) exp(clamp(g_0 + sum_k g_k t_k, lo, hi))
// Carroll & Ruppert (1988) for the power of the mean, Rocke & Lorenzato (1995) for the
// two-component model of analytical chemistry.
enum class NoiseKind { constant, power, two_component, log_linear };
inline constexpr int kNoiseKinds = 4;

struct NoiseModel {
  NoiseKind kind = NoiseKind::constant;
  Vector params;
};

// The name of a kind ("constant", ...), and the kind of a name; throws std::invalid_argument
// on an unknown name.
const char* noise_kind_name(NoiseKind kind);
NoiseKind noise_kind_of(const std::string& name);

// The number of parameters of a kind with d features.
Index noise_param_count(NoiseKind kind, Index d);

// The sd of the model at rows of fitted means `mean` and feature columns T, never below
// kScaleFloor. Throws std::invalid_argument on shapes that disagree, non-finite input (the
// features only where the model reads them, log_linear) or parameters that give no positive
// sd (s, floor or a^2 + b^2 not positive, lo > hi).
Vector noise_sd(const NoiseModel& model, double zero, const VectorView& mean, const Columns& T);

// E[z^2 | |z| < q] for a standard normal z, q the (1 + a) / 2 quantile: the variance kept by
// the central share a in (0, 1).
double central_variance(double a);

// The scale of the residuals within kInlierCut scales: their weighted root mean square over
// the weight less p, divided by the share of a normal variance within the cut, iterated from
// the trimmed scale of the best trimmed_mass(W, p) made consistent at the normal (and, above
// p / W = 0.12, for the choice of those among many subsets), and again from the biweight M-scale
// of all residuals (breakdown 1/2, b (W - p) on the right-hand side) when it ends below half
// of that with fewer than kFewPerTerm points per term. Outliers beyond the cut take no part,
// however many; a start near the noise level does not take them in.
double reweighted_scale(const Vector& r, const VectorView& w, Index p);

// What the joint fit of a noise model and the coefficients gives.
struct NoiseFit {
  NoiseModel model;
  Vector beta;      // coefficients after the last refinement
  Vector scale;     // noise sd of every row (the model's over sqrt(var_weights))
  Vector residuals; // y - X beta
  double criterion = 0.0;
  int n_irls = 0;
  // False when the model's parameters cannot be estimated from these data (a power of a
  // mean that is the same on every row), or when a varying sd collapsed onto fewer rows
  // than the trimmed mass (within kBiweightC of their sd): the other fields are then
  // meaningless.
  bool feasible = true;
};

// The data of the joint fit: the design X (columns near 1), y, the frequency weights w, the
// roots of the relative inverse variances v, the feature columns T and the scaled y of a zero
// signal. y, w and root_v may be the caller's memory, read in place.
struct NoiseData {
  const Matrix& X;
  VectorView y;
  VectorView w;
  VectorView root_v;
  const Columns& T;
  double zero;
};

// y - X beta: the residuals of coefficients beta, computed again where they are read rather
// than held (on large data each vector of the rows is the size of the input).
Vector residuals_at(const NoiseData& data, const Vector& beta);

// The first scales of the noise cycles of fit_noise, and their log-linear parameters: s0 for
// the constant shape, else a trimmed regression of log |r| (r the residuals of the
// high-breakdown coefficients beta) on the shape's covariates (log |mu|
// for power, the features for log_linear), which needs no scale and so sees the noisy end
// whole, at the level of the scale of r over it; a power beyond [-1, 3] is clamped. The
// two-component model starts from the power shape (start_shape), so "auto" computes it once.
struct NoiseStart {
  Vector theta;
  Vector sd;
};
NoiseKind start_shape(NoiseKind kind);
NoiseStart noise_start(NoiseKind shape, const NoiseData& data, const Vector& beta, double s0,
                       std::uint64_t seed);

// The evidence in readings r of weights w (residuals of the constant-noise fit of
// coefficients beta, or deviations from replicate means; s0 the high-breakdown scale) for a
// sd that moves with the mean mu = X beta - zero, and for one that moves with the features:
// the score statistic of the slope of log |r_i| sqrt(v_i) (floored at 1e-6 s0) in a
// regression weighted by w on one covariate, S_zv^2 / (S_zz pi^2 / 8), the squared z-score of
// the slope, log |z| of a normal z having variance pi^2 / 8. `mean` is the larger over log
// |mu_i| (the power model's direction at theta = 0) and mu_i^2 (the two-component model's at
// b = 0, upwards only), `features` the largest over the features (the log-linear model's
// directions at zero slopes). Every residual counts, rejected or not: the constant fit's
// inliers can all lie at the quiet end, where the noisy end's readings are what a varying
// model gains on. Chi-squared with one degree of freedom for each covariate under constant
// noise; a gross outlier moves log |r| by a few units at most.
struct SpreadTrend {
  double mean = 0.0;
  double features = 0.0;
};
SpreadTrend spread_trend(const NoiseData& data, const Vector& beta, const Vector& r,
                         const VectorView& w, double s0);

// Joint estimation of a noise model of `kind` and the coefficients, from the high-breakdown
// fit (beta, its residuals r, scale s0 of the residuals times root_v) and the start of the kind's
// shape, at most kNoiseCycles times until the scales stop moving (by 1e-4):
// 1. the rows judged inliers, |r_i| sqrt(v_i) <= kInlierCut sigma_i against the previous
//    scale: at first the start's;
// 2. the model's maximum-likelihood parameters for normal residuals seen only within that
//    cut (a truncated normal; for two_component in the variance components a^2, b^2 >= 0,
//    a pseudo-likelihood of the variance function as in Davidian & Carroll 1987), fitted to
//    r_i / sqrt(1 - h_i) seen within cut_i / sqrt(1 - h_i): the curve takes the share h_i
//    of row i's variance, E[r_i^2] = sigma_i^2 (1 - h_i), h_i the leverage of one reading
//    in the weighted least squares the biweight is at (weights w_i W(r_i / s_i) / s_i^2),
//    largest at the ends of a calibration range. sum_i w_i h_i = p over the rows the
//    biweight weighs, so no global factor M / (M - p) follows: it would charge the p
//    coefficients twice, and lift the middle of the range as much as the ends. A row with
//    h_i = 1 carries no noise;
// 3. biweight IRLS at those fixed scales, to 1e-3 between cycles and 1e-9 after the last.
// The likelihood counts the cut, so the noisy end, seen at first only near zero, is neither
// truncated nor over-read; outliers are judged by |r_i| / sigma_i, and a variance grows only
// towards rows it already admits: a block of bad readings at the noisy end is not absorbed.
// The criterion is the robust pseudo-likelihood BIC
//   sum_i w_i [2 rho(r_i / sigma_i) + 2 log max(sigma_i, |r_i| / c)] + k log W,
// rho the biweight's (u^2 / 2 near 0), k the model's free parameters, W the total weight: a
// rejected row costs the same whatever sigma_i below |r_i| / c, so no model gains by
// shrinking its scale at an outlier.
inline constexpr int kNoiseCycles = 10;
NoiseFit fit_noise(NoiseKind kind, const NoiseData& data, Vector beta, double s0, NoiseStart start);

// The parameters of a noise model over d features that the data determine: its scale and
// shape, not the power model's floor or the log-linear bounds, which follow from the fit's
// range.
Index free_params(NoiseKind kind, std::size_t d);

} // namespace vasq
