// The uncertainty of a fitted curve: covariances of its coefficients and of its noise model,
// and the degrees of freedom of its variances, in the scaled coordinates of the fit (features
// in [-1, 1], y over its robust scale).
#pragma once

#include <vector>

#include "basis/design.h"
#include "robust/noise.h"
#include "types.h"

namespace vasq {

// Gradient of the log noise sd of `model` at each row (fitted means `mean`, feature columns T)
// in the parameters that the data determine: log s for constant, (log s, theta) for power,
// (a^2, b^2) for two_component (0.5 / var and 0.5 mu^2 / var, var = sd^2 floored at the
// smallest normal double) and (g_0, ..., g_d) unclipped for log_linear; the power's floor and
// the log-linear bounds are set by the fit's range. n x free_params(kind, d). Throws
// as noise_sd does.
Matrix log_sd_gradient(const NoiseModel& model, double zero, const VectorView& mean,
                       const Columns& T);

// Fisher information on log sd of one normal reading seen only within +-cut sd: Var(u^2 |
// |u| < cut) for a standard normal u, 2 without a cut (cut = inf), 1.35 at 2.5.
double truncated_information(double cut);

// The fitted curve: coefficients `beta` of the terms `powers` at the scaled feature columns
// T, for readings y of sample weights w (repeat counts; rows of weight 0 take no part, and
// may lie so far out that their terms overflow), relative var_weights v and the fit's final
// robustness weights (0 for a rejected reading; all 1 for least squares), under the noise
// model `noise` (zero the scaled y of a zero signal). `robust` tells the biweight fit from
// least squares. The vectors may be the caller's memory, read in place.
struct FittedCurve {
  const Columns& T;
  const MultiIndexList& powers;
  VectorView beta;
  VectorView y;
  VectorView w;
  VectorView v;
  VectorView weights;
  const NoiseModel& noise;
  double zero;
  bool robust;
};

// With x_i the design row of reading i (term_design), m_i = x_i beta its fitted mean, s_i its
// noise sd (the model's at m_i over sqrt(v_i)), r_i = y_i - m_i and u_i = r_i / s_i; psi is
// the biweight's for a robust fit and psi(u) = u for least squares; J_i the row's
// log_sd_gradient; sums run over the rows of positive w. Pseudo-inverses drop the eigenvalues
// at most 1e-15 times the largest in magnitude.
struct FitUncertainty {
  Vector mean;  // m_i of every row
  Vector scale; // s_i of every row
  // Covariance of the coefficients, Huber's H2 at local noise scales: each residual and each
  // design row standardised by its own sd, so a heteroscedastic fit is an ordinary M-estimate
  // in those coordinates (Carroll & Ruppert, 1988):
  //   K [sum w psi(u)^2 / (n - p)] / [sum w psi'(u) / n] (sum w psi'(u) x x^T / s^2)^-1,
  // K = 1 + (p / n) Var(psi') / Mean(psi')^2 (over the inliers, the rows of positive
  // robustness weight), n their total sample weight: rejected points carry no information,
  // and rows where psi' vanishes drop out of the information, wherever they gather. It rests
  // on the noise model rather than on each residual's square, so its small-sample variability
  // is that of a scale on n - p degrees of freedom; for least squares it is the classical
  // covariance of weighted least squares (weights w / s^2, as statsmodels' WLS). NaN
  // throughout when n <= p, the mean psi' is not positive or the information is exactly
  // singular (a zero pivot of its LU decomposition).
  Matrix beta_cov;
  // Covariance of the noise model's parameters (those of log_sd_gradient), the curve fitted:
  // the inverse of the restricted (REML) information of normal readings of sd s on their log
  // sd, I_c [J^T diag(w (1 - 2 h)) J + (tr(B S_k B S_l))_kl], over the rows that inform the
  // model: for a robust fit those within kInlierCut local sd, each of information I_c =
  // truncated_information(kInlierCut), for least squares every row with I_c = 2 (Davidian &
  // Carroll, JASA 82, 1987, on estimating variance functions). The residuals come from the
  // fitted curve, whose hat matrix H takes a share of each: with z = x / s, a the fit's
  // weights (the biweight's psi(u) / u for a robust fit, 1 for least squares), B = (sum w a z
  // z^T)^+ and S_k = sum w a J_k z z^T over the informing rows, h = a z^T B z, and the trace
  // term is sum H_ij^2 J_i J_j. For constant noise by least squares it is 1 / (2 (n - p)),
  // s^2 on n - p degrees of freedom. A pseudo-inverse where the information is singular.
  Matrix noise_cov;
  // What the curve's degrees of freedom at a point read of the fit: A^+ and A^+ S_k A^+, k =
  // 1 .. q, stacked, A = sum W x x^T with W = w (robustness weight) / s^2 (each row's share of
  // the curve's variance) and S_k = sum W J_k x x^T. NaN throughout where a weighted term
  // overflows.
  std::vector<Matrix> dof_moments;
  // Student's degrees of freedom of the noise scale the coefficient covariance rests on. The
  // curve's estimated variance is taken as a scaled chi-square whose log has the variance of
  // twice the estimated log sd of the rows it rests on, 4 g C g^T: g the mean of the rows'
  // gradients J weighted by their leverages W x^T A^+ x in the weighted least squares of W
  // (their shares of the curve's variance), C = noise_cov, nu = 1 / (2 g C g^T)
  // (Satterthwaite, 1946). As sum_i W_i J_ik x_i^T A^+ x_i = tr(A^+ S_k) and the leverages sum
  // to tr(A^+ A), g = (tr(A^+ S_k))_k / tr(A^+ A). For constant noise it is the scale's own:
  // a robust fit reads the noise from the readings within kInlierCut local sd, each of
  // information 1.35 on its log sd against 2 for least squares, so nu is about 0.68 (W - p),
  // not W - p. NaN when g C g^T is not positive.
  double scale_dof = 0.0;
};

// The uncertainty of `curve`, accumulated over fixed blocks of rows: no n x p array is held.
// Throws std::invalid_argument on shapes that disagree, non-finite input, negative w, v not
// positive, and as term_design and noise_sd do.
FitUncertainty fit_uncertainty(const FittedCurve& curve);

} // namespace vasq
