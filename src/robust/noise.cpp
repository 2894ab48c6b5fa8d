#include "robust/noise.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Cholesky>
#include <Eigen/QR>

#include "mcmc/threads.h"
#include "robust/fit.h"
#include "robust/lts.h"
#include "robust/mm.h"
#include "robust/weighted_ls.h"

namespace vasq {

namespace {

// E[z^2 | |z| < 2.5] for a standard normal z: the variance kept within the cut.
constexpr double kCutVariance = 0.911256360935392;
constexpr int kMaxScaleIter = 200;
constexpr double kPi = 3.14159265358979323846;
constexpr double kSmallSample = 5.6;
constexpr double kSmallSampleFree = 0.12;
// The biweight M-scale's b and c: breakdown 1/2, consistent at the normal.
constexpr double kMScaleB = 0.5;
constexpr double kMScaleC = 1.547644980928226;
constexpr int kMScaleBisections = 100;
// The share of the M-scale below which the reweighted scale is a chance half.
constexpr double kCollapsed = 0.5;
constexpr double kScaleTol = 1e-12;
// The power model's |mu| is floored this far below the largest |mu| of the fit: log |mu| of a
// zero signal is no covariate, and such a reading is the two-component model's case.
constexpr double kMeanFloor = 1e-6;
// log |r| is floored this far below s0: a residual that is exact by chance would otherwise
// weigh without bound in the regression of log |r|.
constexpr double kLogFloor = 1e-6;
// The share of rows the trimmed regression of log |r| keeps: log |z| has a long lower tail,
// and half of it lies close to lines through a group of outliers.
constexpr double kLogTrim = 0.75;
constexpr int kTrimmedStarts = 10;
// Var log |z| for a standard normal z: pi^2 / 8.
constexpr double kLogAbsVariance = 1.2337005501361697;
// Spread of a covariate, relative to its mean square, below which it is rounding alone.
constexpr double kNoSpread = 1e-12;
constexpr int kMaxConcentration = 100;
// Concentration steps for every start of the regression of log |r|, and the starts then
// taken to convergence: over all rows of a large fit, eleven to convergence cost more than
// the rest of the noise fit.
constexpr int kFirstSteps = 2;
constexpr std::size_t kConverged = 3;
constexpr int kScoringIter = 100;
constexpr double kMaxLogSd = 600.0;
constexpr double kCycleTol = 1e-4;
// Powers of the mean beyond these describe no instrument, and a few heavy rows fitted
// exactly could otherwise drive the power until the sd overflows.
constexpr double kMinPower = -1.0;
constexpr double kMaxPower = 3.0;
constexpr int kHalvings = 20;
constexpr double kScoringTol = 1e-8;
// The step's decrement score' info^-1 score (twice its expected gain, the squared step in
// standard errors) per unit weight below which it is not taken: the step is then far below
// both the likelihood's rounding and any statistical meaning.
constexpr double kDecrementTol = 1e-12;
// The reciprocal condition number of the observed information below which it takes no
// Newton step.
constexpr double kNewtonCondition = 1e-10;
constexpr int kMaxIrls = 100;
constexpr double kIrlsTol = 1e-9;
// The refinement between noise cycles stops this early: the next cycle moves the scales, and
// so the fixed point, by more. Coefficients off by 1e-3 of the standardised y move the fitted
// means far less than the noise, and the scale of the residuals only to second order (at the
// fixed point the weighted residuals are orthogonal to the design). Only the last refinement
// is converged to kIrlsTol. Against 1e-5 a default fit at 400 points takes 45 % fewer IRLS
// steps, and 2 % more cycles.
constexpr double kCycleIrlsTol = 1e-3;
// A residual with less than this share of its reading's variance (h_i near 1) is the
// curve's, not the noise's: it informs no noise model.
constexpr double kMinResidualShare = 1e-8;

const char* const kNames[kNoiseKinds] = {"constant", "power", "two_component", "log_linear"};

} // namespace

// q by bisection of erf, which the standard library has.
double central_variance(double a) {
  double lo = 0.0, hi = 40.0;
  for (int it = 0; it < 100; ++it) {
    const double mid = 0.5 * (lo + hi);
    (std::erf(mid / std::sqrt(2.0)) < a ? lo : hi) = mid;
  }
  const double q = 0.5 * (lo + hi);
  const double density = std::exp(-0.5 * q * q) / std::sqrt(2.0 * kPi);
  return 1.0 - 2.0 * q * density / a;
}

Index free_params(NoiseKind kind, std::size_t d) {
  switch (kind) {
  case NoiseKind::power:
  case NoiseKind::two_component:
    return 2;
  case NoiseKind::log_linear:
    return static_cast<Index>(d) + 1;
  default:
    return 1;
  }
}

namespace {

// X beta - zero, the signal of the fitted means, evaluated in its own storage.
Vector fitted_signal(const NoiseData& data, const Vector& beta) {
  Vector mu = data.X * beta;
  mu.array() -= data.zero;
  return mu;
}

// The power model's floor of |mu|: kMeanFloor times its largest value on the fitted rows.
double mean_floor(const Vector& mu, const VectorView& w) {
  double top = 0.0;
  for (Index i = 0; i < mu.size(); ++i)
    if (w[i] > 0.0) top = std::max(top, std::abs(mu[i]));
  return std::max(kMeanFloor * top, kScaleFloor);
}

// The units (s0^2, s0^2 / top^2) of the variance components a^2 and b^2, top the largest |mu|
// of the fitted rows: with a huge y, squares near 1e200 would overflow least squares and
// their information underflow.
Vector two_component_units(const Vector& mu, const VectorView& w, double s0) {
  const double top = std::max(mean_floor(mu, w) / kMeanFloor, kScaleFloor);
  return Eigen::Vector2d(s0 * s0, (s0 / top) * (s0 / top));
}

Index covariate_count(NoiseKind kind, std::size_t d) {
  return kind == NoiseKind::constant ? 1 : kind == NoiseKind::power ? 2 : static_cast<Index>(d) + 1;
}

// The covariates of log sd at n rows: 1, and log max(|mu|, floor) (power) or the features
// (log_linear); only the power reads mu.
Matrix log_covariates(NoiseKind kind, Index n, const Vector& mu, double floor, const Columns& T) {
  Matrix Z(n, covariate_count(kind, T.size()));
  Z.col(0).setOnes();
  if (kind == NoiseKind::power)
    for (Index i = 0; i < n; ++i) Z(i, 1) = std::log(std::max(std::abs(mu[i]), floor));
  if (kind == NoiseKind::log_linear)
    for (std::size_t k = 0; k < T.size(); ++k) Z.col(static_cast<Index>(k) + 1) = T[k];
  return Z;
}

// theta_k 2^(sign e_k): coefficients of columns scaled by 2^-e_k (sign = +1) or back (-1).
// A slope beyond the double range (a feature nearly zero at every row) is no slope.
Vector scale_coefficients(const Vector& theta, const std::vector<int>& exponents, int sign) {
  Vector out(theta.size());
  for (Index k = 0; k < theta.size(); ++k)
    out[k] = std::scalbn(theta[k], sign * exponents[static_cast<std::size_t>(k)]);
  if (!out.allFinite()) out.tail(out.size() - 1).setZero();
  return out;
}

// High-breakdown regression of v on Z over the rows of positive weight: the trimmed fit of
// lowest objective among elemental starts and least squares (best_concentrated). Its slopes
// are consistent whatever the law of log |z|, which is the same at every row.
Vector trimmed_regression(const Matrix& Z, const VectorView& v, const VectorView& w,
                          std::uint64_t seed) {
  const Index q = Z.cols();
  const double h = std::floor(kLogTrim * w.sum() + 0.5 * static_cast<double>(q + 1));
  const Index rank = Eigen::ColPivHouseholderQR<Matrix>(Z).rank();
  std::vector<TrimmedFit> starts =
      best_elemental_fits(Z, v, w, rank, elemental_start_count(q), seed, kTrimmedStarts);
  starts.push_back(TrimmedFit{weighted_least_squares(Z, v, w), 0.0});
  starts.erase(std::remove_if(starts.begin(), starts.end(),
                              [](const TrimmedFit& start) { return !start.beta.allFinite(); }),
               starts.end());
  if (starts.empty()) return Vector::Zero(q);
  int steps = 0;
  return best_concentrated(Z, v, w, h, std::move(starts), kFirstSteps, kConverged,
                           kMaxConcentration, steps)
      .beta;
}

// r sqrt(v), the residuals of beta on the scale of the noise model.
Vector standardised_residuals(const NoiseData& data, const Vector& beta) {
  return residuals_at(data, beta).cwiseProduct(data.root_v);
}

// The first log-linear coefficients of a kind: the slopes of the trimmed regression of
// log |r| (r sqrt(v), r the residuals of beta) on Z, which needs no scale and so sees the noisy
// end whole, and the level of the scale of r over that shape. The sd of every row follows in
// `sd`. The residuals are computed again after the regression rather than held through it.
Vector trimmed_start(Matrix Z, const NoiseData& data, const Vector& beta, double s0,
                     std::uint64_t seed, Vector& sd) {
  const VectorView& w = data.w;
  Vector v = standardised_residuals(data, beta);
  for (Index i = 0; i < v.size(); ++i) v[i] = std::log(std::max(std::abs(v[i]), kLogFloor * s0));
  // Features far from 1 in magnitude are regressed on in columns scaled to [1, 2).
  const std::vector<int> exponents = column_exponents(Z, w);
  const Matrix Zs = scale_columns(std::move(Z), exponents);
  Vector gamma = trimmed_regression(Zs, v, w, seed);
  gamma[0] = 0.0;
  const Vector shape = (Zs * gamma).array().exp();
  // Covariates constant on the rows (a zero signal throughout) leave no slope to estimate.
  if (!(shape.allFinite() && (shape.array() > 0.0).all())) {
    gamma.setZero();
    gamma[0] = std::log(s0);
    sd = Vector::Constant(v.size(), s0);
    return gamma;
  }
  v = Vector();
  gamma[0] = std::log(
      reweighted_scale(standardised_residuals(data, beta).cwiseQuotient(shape), w, data.X.cols()));
  sd = (Zs * gamma).array().exp();
  return scale_coefficients(gamma, exponents, -1);
}

// The two-component variance theta_0 + theta_1 mu^2 at m2 = mu^2, never below the floor of
// every scale squared.
double component_variance(const Vector& theta, double m2) {
  return std::max(theta[0] + theta[1] * m2, kScaleFloor * kScaleFloor);
}

// The log sd eta of every row in the parameters theta: the coefficients of the covariates Z
// for the log-linear family (constant, power, log_linear), the two variance components
// (a^2, b^2) for two_component.
void log_sd(NoiseKind kind, const Vector& theta, const Matrix& Z, const Vector& mu, Vector& eta) {
  if (kind != NoiseKind::two_component) {
    eta.noalias() = Z * theta;
    return;
  }
  eta.resize(mu.size());
  for (Index i = 0; i < mu.size(); ++i)
    eta[i] = 0.5 * std::log(component_variance(theta, mu[i] * mu[i]));
}

// The gradient G of eta_i in theta at row i: the row of Z, or (1, mu_i^2) / (2 var_i) for
// two_component, formed row by row: stored, it is n x 2 for every trial step.
template <bool Curved, typename Gradient>
void log_sd_gradient(const Vector& theta, const Matrix& Z, const Vector& mu, Index i, Gradient& G) {
  if constexpr (!Curved) {
    for (Index j = 0; j < G.size(); ++j) G[j] = Z(i, j);
  } else {
    const double m2 = mu[i] * mu[i];
    const double var = component_variance(theta, m2);
    G[0] = 0.5 / var, G[1] = 0.5 * m2 / var;
  }
}

// The score and two informations of the truncated likelihood in theta: Fisher's (expected)
// and the observed one (minus the Hessian).
struct Derivatives {
  Vector score;
  Matrix fisher, observed;
};

// The transcendental functions of truncated_loglik_sums at the rows of positive weight
// first + k, k in [begin, end): entry k of `e` holds exp(-eta_i), of `log_mass` the log of the
// normal mass within the cut, of `g` the share of variance the cut removes. Each depends on its
// row alone: the rows can be spread over the threads, and the sums still run in row order.
struct RowTerms {
  std::vector<double> e, log_mass, g;
};

void row_terms(const Vector& eta, const Vector& cut, const VectorView& omega, Index first,
               Index begin, Index end, RowTerms& t) {
  // A constant sd has the same eta on every row: one exp serves them all.
  double e = 0.0, e_eta = std::numeric_limits<double>::quiet_NaN();
  for (Index k = begin; k < end; ++k) {
    const Index i = first + k;
    if (!(omega[i] > 0.0)) continue;
    if (!(eta[i] == e_eta)) e = std::exp(-eta[i]), e_eta = eta[i];
    const double a = cut[i] * e;
    const double mass = std::erf(a / std::sqrt(2.0));
    const std::size_t j = static_cast<std::size_t>(k);
    t.e[j] = e;
    t.log_mass[j] = std::log(mass);
    t.g[j] = a < 1e-8 ? 1.0 : a * std::sqrt(2.0 / kPi) * std::exp(-0.5 * a * a) / mass;
  }
}

// Rows per pass of truncated_loglik_sums (row_terms of all of them, then their sums), and per
// part of a pass handed to a thread; below kParallelTermRows rows a pass is one part.
constexpr Index kTermRows = 16384;
constexpr Index kTermPart = 2048;
constexpr Index kParallelTermRows = 32768;

void pass_terms(const Vector& eta, const Vector& cut, const VectorView& omega, Index first, Index m,
                RowTerms& t) {
  if (omega.size() < kParallelTermRows) return row_terms(eta, cut, omega, first, 0, m, t);
  const int parts = static_cast<int>((m + kTermPart - 1) / kTermPart);
  parallel_for(parts, [&](int part) {
    const Index begin = static_cast<Index>(part) * kTermPart;
    row_terms(eta, cut, omega, first, begin, std::min(m, begin + kTermPart), t);
  });
}

// truncated_loglik with its sums over the rows in Q x Q storage (Eigen::Dynamic: any count),
// Curved for two_component. The kinds of one feature have 1 to 3 parameters: at a fixed
// count the sums of every row stay in registers, in the same order.
template <int Q, bool Curved>
double truncated_loglik_sums(const Vector& theta, const Matrix& Z, const Vector& mu,
                             const Vector& eta, const Vector& r, const Vector& cut,
                             const VectorView& omega, Derivatives& d) {
  using Column = Eigen::Matrix<double, Q, 1>;
  using Square = Eigen::Matrix<double, Q, Q>;
  const Index q = theta.size();
  Column G;
  G.resize(q);
  Column score_sum = Column::Zero(q);
  Square fisher_sum = Square::Zero(q, q), observed_sum = Square::Zero(q, q);
  double sum = 0.0;
  const Index n = r.size();
  RowTerms t;
  const std::size_t rows = static_cast<std::size_t>(std::min(n, kTermRows));
  t.e.resize(rows), t.log_mass.resize(rows), t.g.resize(rows);
  for (Index first = 0; first < n; first += kTermRows) {
    const Index m = std::min(kTermRows, n - first);
    pass_terms(eta, cut, omega, first, m, t);
    for (Index k = 0; k < m; ++k) {
      const Index i = first + k;
      if (!(omega[i] > 0.0)) continue;
      const std::size_t j = static_cast<std::size_t>(k);
      const double e = t.e[j];
      const double u = r[i] * e;
      const double a = cut[i] * e;
      sum += omega[i] * (-eta[i] - 0.5 * u * u - t.log_mass[j]);
      // g(a) = 2 a phi(a) / (2 Phi(a) - 1): the share of the normal variance that truncation
      // at +-a removes, E[u^2 | |u| < a] = 1 - g, dg/deta = g (a^2 + g - 1). The score in
      // eta is u^2 - 1 + g, its variance E[u^4] - E[u^2]^2 with E[u^4] = 3 (1 - g) - a^2 g.
      const double g = t.g[j];
      const double score = u * u - 1.0 + g;
      const double fisher = std::max(3.0 * (1.0 - g) - a * a * g - (1.0 - g) * (1.0 - g), 0.0);
      const double observed = 2.0 * u * u - g * (a * a + g - 1.0) + (Curved ? 2.0 * score : 0.0);
      log_sd_gradient<Curved>(theta, Z, mu, i, G);
      for (Index c = 0; c < G.size(); ++c) {
        score_sum[c] += omega[i] * score * G[c];
        for (Index l = 0; l <= c; ++l) {
          const double gg = omega[i] * G[c] * G[l];
          fisher_sum(c, l) += fisher * gg, observed_sum(c, l) += observed * gg;
        }
      }
    }
  }
  d.score = score_sum;
  d.fisher = fisher_sum.template selfadjointView<Eigen::Lower>();
  d.observed = observed_sum.template selfadjointView<Eigen::Lower>();
  return sum;
}

// The log-likelihood of the rows of positive weight omega, each a normal residual r_i of sd
// exp(eta_i) seen only within +-cut_i (eta = log_sd at theta), and its derivatives `d` in
// theta (gradient G of eta, log_sd_gradient; the two-component eta = log(theta' x) / 2 is
// curved, its second derivative -2 G G'). One exp(-eta_i) and one erf per row serve all.
double truncated_loglik(NoiseKind kind, const Vector& theta, const Matrix& Z, const Vector& mu,
                        const Vector& eta, const Vector& r, const Vector& cut,
                        const VectorView& omega, Derivatives& d) {
  if (kind == NoiseKind::two_component)
    return truncated_loglik_sums<2, true>(theta, Z, mu, eta, r, cut, omega, d);
  switch (theta.size()) {
  case 1:
    return truncated_loglik_sums<1, false>(theta, Z, mu, eta, r, cut, omega, d);
  case 2:
    return truncated_loglik_sums<2, false>(theta, Z, mu, eta, r, cut, omega, d);
  case 3:
    return truncated_loglik_sums<3, false>(theta, Z, mu, eta, r, cut, omega, d);
  default:
    return truncated_loglik_sums<Eigen::Dynamic, false>(theta, Z, mu, eta, r, cut, omega, d);
  }
}

// The ascent step: Newton's where the observed information is positive definite and well
// conditioned (quadratic convergence; Fisher's information is far from it when the model
// misses the data, and scoring then converges linearly, at 0.8 a step), Fisher scoring's
// elsewhere: rounding alone keeps a singular information (collinear covariates) positive
// definite, and Newton's step along its null space is arbitrary.
Vector ascent_step(const Derivatives& d) {
  const Eigen::LLT<Matrix> newton(d.observed);
  if (newton.info() == Eigen::Success && newton.rcond() > kNewtonCondition) {
    Vector step = newton.solve(d.score);
    if (step.allFinite()) return step;
  }
  return Eigen::ColPivHouseholderQR<Matrix>(d.fisher).solve(d.score);
}

// Keeps two variance components >= 0, and a power of the mean within [kMinPower, kMaxPower].
void project(NoiseKind kind, Vector& theta) {
  if (kind == NoiseKind::two_component) theta = theta.cwiseMax(0.0);
  if (kind == NoiseKind::power) theta[1] = std::clamp(theta[1], kMinPower, kMaxPower);
}

// The maximum-likelihood theta of the truncated normal residuals (truncated_loglik), by
// ascent steps (ascent_step) from `theta` with step halving. The likelihood counts the cut: rows
// whose noise exceeds the previous scale, seen only near zero, neither shrink nor inflate it, and
// rows beyond the cut take no part. Scoring ends on the decrement (kDecrementTol): at the
// optimum rounding leaves no step an ascent, and each halving would repeat the likelihood.
Vector truncated_fit(NoiseKind kind, Vector theta, const Matrix& Z, const Vector& mu,
                     const Vector& r, const Vector& cut, const VectorView& omega) {
  // The log sd at theta serves its likelihood alone (the derivatives keep what the steps
  // need): every trial step reuses its storage, one vector of the rows.
  Vector eta;
  log_sd(kind, theta, Z, mu, eta);
  Derivatives d, trial_d;
  double loglik = truncated_loglik(kind, theta, Z, mu, eta, r, cut, omega, d);
  const double tol = kDecrementTol * (1.0 + omega.sum());
  for (int it = 0; it < kScoringIter; ++it) {
    Vector step = ascent_step(d);
    if (!step.allFinite() || !(d.score.dot(step) > tol) ||
        step.cwiseAbs().maxCoeff() <= kScoringTol * (1.0 + theta.cwiseAbs().maxCoeff()))
      break;
    bool moved = false;
    for (int half = 0; half < kHalvings; ++half, step *= 0.5) {
      Vector next = theta + step;
      project(kind, next);
      log_sd(kind, next, Z, mu, eta);
      // A step whose sd leaves the double range at some row is too long.
      if (!(eta.cwiseAbs().maxCoeff() < kMaxLogSd)) continue;
      const double value = truncated_loglik(kind, next, Z, mu, eta, r, cut, omega, trial_d);
      if (value >= loglik) {
        moved = (next - theta).cwiseAbs().maxCoeff() >
                kScoringTol * (1.0 + theta.cwiseAbs().maxCoeff());
        theta = std::move(next), loglik = value;
        std::swap(d, trial_d);
        break;
      }
    }
    if (!moved) break;
  }
  return theta;
}

// The model of `kind` with parameters theta.
NoiseModel model_of(NoiseKind kind, const Vector& theta, double floor) {
  NoiseModel model{kind, Vector()};
  switch (kind) {
  case NoiseKind::constant:
    model.params = Vector::Constant(1, std::exp(theta[0]));
    break;
  case NoiseKind::power:
    model.params.resize(3);
    model.params << std::exp(theta[0]), theta[1], floor;
    break;
  case NoiseKind::two_component:
    model.params.resize(2);
    model.params << std::sqrt(theta[0]), std::sqrt(theta[1]);
    // Residuals that vanish (an exact fit) leave the floor of every scale.
    if (!(model.params[0] + model.params[1] > 0.0)) model.params[0] = kScaleFloor;
    break;
  case NoiseKind::log_linear: {
    const Index d = theta.size() - 1;
    model.params = Vector::Zero(d + 3);
    model.params.head(d + 1) = theta;
    model.params[d + 1] = -std::numeric_limits<double>::infinity();
    model.params[d + 2] = std::numeric_limits<double>::infinity();
    break;
  }
  }
  return model;
}

// sqrt(1 - h_i) for one reading of each row: h_i its leverage in the weighted least squares
// the biweight refinement is at, weights w_i W(r_i / s_i) / s_i^2 with s_i = sd_i / root_v_i
// (`leverages` gives the row's w_i h_i), so that E[r_i^2] = sigma_i^2 (1 - h_i). 0 where the curve
// takes the whole residual (h_i within kMinResidualShare of 1) or the row has no weight.
Vector residual_roots(const Matrix& X, const Vector& r, const VectorView& w, const Vector& sd,
                      const VectorView& root_v) {
  const Index n = r.size();
  Vector omega(n);
  for (Index i = 0; i < n; ++i) {
    const double s = sd[i] / root_v[i];
    omega[i] = w[i] * biweight(r[i] / s).weight / (s * s);
  }
  // The roots replace the leverages in place.
  Vector root = leverages(X, std::move(omega));
  for (Index i = 0; i < n; ++i) {
    const double share = w[i] > 0.0 ? 1.0 - root[i] / w[i] : 0.0;
    root[i] = share > kMinResidualShare ? std::sqrt(share) : 0.0;
  }
  return root;
}

// The log-linear sd is held within the range it takes on the rows it admits as inliers: no
// extrapolation towards leverage points.
void bound_log_linear(NoiseModel& model, const Columns& T, const Vector& r,
                      const VectorView& root_v, const VectorView& w) {
  Vector& c = model.params;
  const Index d = static_cast<Index>(T.size());
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (Index i = 0; i < r.size(); ++i) {
    double eta = c[0];
    for (Index k = 0; k < d; ++k) eta += c[k + 1] * T[static_cast<std::size_t>(k)][i];
    if (w[i] > 0.0 && std::abs(r[i] * root_v[i]) <= kInlierCut * std::exp(eta))
      lo = std::min(lo, eta), hi = std::max(hi, eta);
  }
  if (!(lo <= hi)) lo = hi = c[0];
  c[d + 1] = lo, c[d + 2] = hi;
}

double criterion(const Vector& r, const VectorView& w, const Vector& scale, Index k) {
  double sum = 0.0;
  for (Index i = 0; i < r.size(); ++i) {
    if (!(w[i] > 0.0)) continue;
    const double s = std::max(scale[i], std::abs(r[i]) / kBiweightC);
    sum += w[i] * (2.0 * biweight(r[i] / scale[i]).rho + 2.0 * std::log(s));
  }
  return sum + static_cast<double>(k) * std::log(w.sum());
}

// sum_i w_i rho(r_i / s) - b (W - p), rho Tukey's biweight bounded at 1: it falls with s,
// and the biweight M-scale of breakdown 1/2 (Rousseeuw & Yohai 1984) is its root, over the
// weight less the p coefficients fitted as the scale of an S-estimate is taken in small
// samples.
double m_scale_excess(const Vector& r, const VectorView& w, Index p, double s) {
  double sum = 0.0;
  for (Index i = 0; i < r.size(); ++i) {
    if (!(w[i] > 0.0)) continue;
    const double u = r[i] / (kMScaleC * s);
    const double a = u * u;
    // 1 - (1 - a)^3 expanded: no cancellation for small u.
    sum += w[i] * (a < 1.0 ? a * (3.0 - 3.0 * a + a * a) : 1.0);
  }
  return sum - kMScaleB * (w.sum() - static_cast<double>(p));
}

// The biweight M-scale: the root of m_scale_excess, bracketed by doubling and halving, then
// bisected in log s. Every residual counts, each at most 1; kScaleFloor when the nonzero
// residuals weigh no more than b (W - p). W must exceed p.
double m_scale(const Vector& r, const VectorView& w, Index p) {
  double top = 0.0;
  for (Index i = 0; i < r.size(); ++i)
    if (w[i] > 0.0) top = std::max(top, std::abs(r[i]));
  if (!(top > 0.0)) return kScaleFloor;
  double hi = top / kMScaleC;
  while (m_scale_excess(r, w, p, hi) > 0.0) hi *= 2.0;
  double lo = hi;
  while (lo > kScaleFloor && m_scale_excess(r, w, p, lo) <= 0.0) lo *= 0.5;
  if (!(lo > kScaleFloor)) return kScaleFloor;
  for (int it = 0; it < kMScaleBisections && hi - lo > kScaleTol * hi; ++it) {
    const double mid = std::sqrt(lo * hi);
    (m_scale_excess(r, w, p, mid) > 0.0 ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

// The fixed point from `s` of the weighted root mean square of the residuals within
// kInlierCut s, over the weight less p and the share of a normal variance within the cut.
double scale_within_cut(const Vector& r, const VectorView& w, Index p, double s) {
  for (int it = 0; it < kMaxScaleIter && s > kScaleFloor; ++it) {
    double ss = 0.0, within = 0.0;
    for (Index i = 0; i < r.size(); ++i)
      if (w[i] > 0.0 && std::abs(r[i]) <= kInlierCut * s) ss += w[i] * r[i] * r[i], within += w[i];
    const double dof = std::max(within - static_cast<double>(p), 0.5 * within);
    const double next = std::sqrt(ss / (kCutVariance * dof));
    const bool done = std::abs(next - s) <= kScaleTol * s;
    s = next;
    if (done) break;
  }
  return std::max(s, kScaleFloor);
}

// Biweight IRLS of out.beta at the scales out.scale, to `tol`; the residuals follow.
void refine(const NoiseData& data, double tol, NoiseFit& out) {
  int steps = 0;
  out.beta =
      irls_biweight(data.X, data.y, data.w, out.scale, std::move(out.beta), kMaxIrls, tol, steps);
  out.n_irls += steps;
  out.residuals.noalias() = data.y - data.X * out.beta;
}

// One cycle's parameters of the noise model from `theta` (fit_noise, step 2): the truncated
// likelihood of the residuals of `fit` within kInlierCut times the rows' previous sd; `floor`
// receives the power model's floor of |mu|. Its vectors of the rows end with it, before the
// refinement allocates its own.
Vector cycle_parameters(NoiseKind kind, const NoiseData& data, const NoiseFit& fit,
                        const Vector& previous, double s0, Vector theta, double& floor) {
  const Index n = fit.residuals.size();
  // The residuals with the curve's leverage taken out, r_i / sqrt(1 - h_i), have variance
  // sigma_i^2 at every row; the cut on r_i is one on them at cut_i / sqrt(1 - h_i). ra holds
  // the roots until each is read.
  Vector ra = residual_roots(data.X, fit.residuals, data.w, previous, data.root_v);
  Vector omega(n), cut_a(n);
  for (Index i = 0; i < n; ++i) {
    const double root = ra[i];
    const double rv = fit.residuals[i] * data.root_v[i];
    const double cut = kInlierCut * previous[i];
    const bool informs = root > 0.0 && std::abs(rv) <= cut;
    omega[i] = informs ? data.w[i] : 0.0;
    ra[i] = informs ? rv / root : 0.0;
    cut_a[i] = informs ? cut / root : cut;
  }
  // The fitted signal, which only the models of the mean read: the power's floor and covariate,
  // the two components' gradient.
  const bool of_mean = kind == NoiseKind::power || kind == NoiseKind::two_component;
  Vector mu = of_mean ? fitted_signal(data, fit.beta) : Vector();
  floor = of_mean ? mean_floor(mu, data.w) : 0.0;
  // Without inliers (rows far out, all of them) the previous parameters stay.
  if (!(omega.sum() > 0.0)) return theta;
  if (kind == NoiseKind::two_component) {
    // The model's gradient is its own (log_sd), not that of covariates.
    const Vector unit = two_component_units(mu, data.w, s0);
    const double top = s0 / std::sqrt(unit[1]);
    // In the units of the components, in place: mu, ra and cut_a are not read again.
    mu /= top, ra /= s0, cut_a /= s0;
    return truncated_fit(kind, theta.cwiseQuotient(unit), Matrix(), mu, ra, cut_a, omega)
        .cwiseProduct(unit);
  }
  Matrix Z = log_covariates(kind, n, mu, floor, data.T);
  // The covariates hold what the power reads of mu.
  mu = Vector();
  if (kind != NoiseKind::log_linear) {
    // log |mu| lies within a few hundred of zero: no scaling, and the power's bounds hold.
    return truncated_fit(kind, std::move(theta), Z, mu, ra, cut_a, omega);
  }
  const std::vector<int> exponents = column_exponents(Z, data.w);
  return scale_coefficients(truncated_fit(kind, scale_coefficients(theta, exponents, 1),
                                          scale_columns(std::move(Z), exponents), mu, ra, cut_a,
                                          omega),
                            exponents, -1);
}

} // namespace

const char* noise_kind_name(NoiseKind kind) {
  return kNames[static_cast<int>(kind)];
}

NoiseKind noise_kind_of(const std::string& name) {
  for (int k = 0; k < kNoiseKinds; ++k)
    if (name == kNames[k]) return static_cast<NoiseKind>(k);
  throw std::invalid_argument("unknown noise model '" + name + "'");
}

Index noise_param_count(NoiseKind kind, Index d) {
  switch (kind) {
  case NoiseKind::constant:
    return 1;
  case NoiseKind::power:
    return 3;
  case NoiseKind::two_component:
    return 2;
  case NoiseKind::log_linear:
    return d + 3;
  }
  return 0;
}

Vector noise_sd(const NoiseModel& model, double zero, const VectorView& mean, const Columns& T) {
  const Vector& c = model.params;
  const Index d = static_cast<Index>(T.size());
  require(c.size() == noise_param_count(model.kind, d), kDimensionMismatch);
  for (const ColumnView& column : T) require(column.size() == mean.size(), kDimensionMismatch);
  require(c.allFinite() && std::isfinite(zero) && mean.allFinite(), "Non-finite input.");
  const Index n = mean.size();
  Vector sd(n);
  switch (model.kind) {
  case NoiseKind::constant:
    require(c[0] > 0.0, "the noise sd must be positive");
    sd.setConstant(c[0]);
    break;
  case NoiseKind::power:
    require(c[0] > 0.0 && c[2] > 0.0, "the noise sd and the mean's floor must be positive");
    for (Index i = 0; i < n; ++i)
      sd[i] = c[0] * std::pow(std::max(std::abs(mean[i] - zero), c[2]), c[1]);
    break;
  case NoiseKind::two_component:
    require(c[0] >= 0.0 && c[1] >= 0.0 && c[0] + c[1] > 0.0,
            "the noise components must be >= 0 and not both 0");
    for (Index i = 0; i < n; ++i) sd[i] = std::hypot(c[0], c[1] * (mean[i] - zero));
    break;
  case NoiseKind::log_linear:
    require(c[d + 1] <= c[d + 2], "the bounds of the log sd must be in increasing order");
    for (Index i = 0; i < n; ++i) {
      double eta = c[0];
      for (Index k = 0; k < d; ++k) {
        // Only this model reads the features: a NaN would pass the clamp, an infinity be
        // clamped to a bound.
        const double t = T[static_cast<std::size_t>(k)][i];
        require(std::isfinite(t), "Non-finite input.");
        eta += c[k + 1] * t;
      }
      sd[i] = std::exp(std::clamp(eta, c[d + 1], c[d + 2]));
    }
    break;
  }
  for (Index i = 0; i < n; ++i) sd[i] = std::max(sd[i], kScaleFloor);
  require(sd.allFinite(), "the noise sd overflows the double range");
  return sd;
}

double reweighted_scale(const Vector& r, const VectorView& w, Index p) {
  const double mass = w.sum();
  const double h = trimmed_mass(mass, p);
  TrimScratch work;
  const double trimmed = trimmed_objective(r, w, h, (w.array() == 1.0).all(), work);
  // The best h of a few points are chosen among many subsets, which shrinks their scale
  // beyond what the consistency factor undoes: a factor fitted to the median scale of
  // simulated normal samples trimmed to half (1.45 at p / W = 0.2, 2.2 at 0.35, none below
  // 0.12); with the larger mass below kSmallSampleMass it leaves the median of the result
  // within 0.95-1.12 of the sd at 8-29 points and 2-5 terms. It corrects the start only:
  // the cut then measures the inliers' own scale, where a factor on the result would lift
  // masked outliers at 4-5 scales back under the biweight's cut.
  const double ratio = static_cast<double>(p) / mass;
  const double start = std::sqrt(trimmed / h / central_variance(h / mass)) *
                       (1.0 + kSmallSample * std::max(0.0, ratio - kSmallSampleFree));
  const double s = scale_within_cut(r, w, p, start);
  // With few points per term a chance half can agree far below the noise, and the cut then
  // keeps only that half. The M-scale counts every residual: a scale below half of it (its
  // 2 % quantile at the normal is 0.53 of the sd at 15 points and 3 terms) is such a half,
  // and the iteration restarts from the M-scale. Outliers raise the M-scale too (a third of
  // the points 10 sd off, twofold), so it only restarts, never replaces the trimmed start,
  // and only where chance, not a group of outliers, is what agrees. s < kCollapsed m where
  // the excess at s / kCollapsed is positive: one pass, not a root. The M-scale needs weight
  // beyond the p coefficients.
  const bool few = mass > static_cast<double>(p) && mass < kFewPerTerm * static_cast<double>(p);
  if (!few || !(m_scale_excess(r, w, p, s / kCollapsed) > 0.0)) return s;
  return scale_within_cut(r, w, p, m_scale(r, w, p));
}

NoiseKind start_shape(NoiseKind kind) {
  return kind == NoiseKind::two_component ? NoiseKind::power : kind;
}

Vector residuals_at(const NoiseData& data, const Vector& beta) {
  Vector r;
  r.noalias() = data.y - data.X * beta;
  return r;
}

namespace {

// The covariates of a varying shape at the fitted means of beta, which are not held beyond.
Matrix start_covariates(NoiseKind shape, const NoiseData& data, const Vector& beta) {
  const Vector mu = fitted_signal(data, beta);
  return log_covariates(shape, mu.size(), mu, mean_floor(mu, data.w), data.T);
}

} // namespace

NoiseStart noise_start(NoiseKind shape, const NoiseData& data, const Vector& beta, double s0,
                       std::uint64_t seed) {
  const Index n = data.X.rows();
  NoiseStart start{Vector::Zero(covariate_count(shape, data.T.size())), Vector()};
  start.theta[0] = std::log(s0);
  if (shape == NoiseKind::constant) {
    start.sd = Vector::Constant(n, s0);
    return start;
  }
  // The covariates are built again for a clamped power: the regression scales its own.
  start.theta = trimmed_start(start_covariates(shape, data, beta), data, beta, s0, seed, start.sd);
  if (shape == NoiseKind::power &&
      start.theta[1] != std::clamp(start.theta[1], kMinPower, kMaxPower)) {
    project(shape, start.theta);
    start.sd = (start_covariates(shape, data, beta) * start.theta).array().exp();
  }
  return start;
}

SpreadTrend spread_trend(const NoiseData& data, const Vector& beta, const Vector& r,
                         const VectorView& w, double s0) {
  const Index n = r.size();
  const Index d = static_cast<Index>(data.T.size());
  const Vector mu = fitted_signal(data, beta);
  const double floor = mean_floor(mu, w);
  const double top = floor / kMeanFloor;
  // Columns: log |r|, then the covariates log |mu| (power), (mu / top)^2 (two_component,
  // over the largest |mu| so that its square stays within the double range) and the
  // features (log_linear). The logs are held, the rest read again from mu and T: each column
  // held is a vector of the rows.
  Matrix logs(n, 2);
  const auto column = [&](Index i, Index k) {
    if (k < 2) return logs(i, k);
    if (k == 2) return (mu[i] / top) * (mu[i] / top);
    return data.T[static_cast<std::size_t>(k - 3)][i];
  };
  double mass = 0.0;
  Eigen::RowVectorXd mean = Eigen::RowVectorXd::Zero(3 + d);
  for (Index i = 0; i < n; ++i) {
    logs(i, 0) = std::log(std::max(std::abs(r[i] * data.root_v[i]), kLogFloor * s0));
    logs(i, 1) = std::log(std::max(std::abs(mu[i]), floor));
    mass += w[i];
    for (Index k = 0; k < 3 + d; ++k) mean[k] += w[i] * column(i, k);
  }
  mean /= mass;
  SpreadTrend trend;
  for (Index k = 1; k < 3 + d; ++k) {
    double szz = 0.0, szv = 0.0, size = 0.0;
    for (Index i = 0; i < n; ++i) {
      const double v = column(i, k);
      const double z = v - mean[k];
      szz += w[i] * z * z, szv += w[i] * z * (logs(i, 0) - mean[0]), size += w[i] * v * v;
    }
    // A covariate the same on every row leaves no trend (its spread is rounding, and the
    // ratio of two roundings any number); b^2 >= 0 admits none downwards.
    if (!(szz > kNoSpread * size) || (k == 2 && szv <= 0.0)) continue;
    double& largest = k < 3 ? trend.mean : trend.features;
    largest = std::max(largest, szv * szv / (szz * kLogAbsVariance));
  }
  return trend;
}

NoiseFit fit_noise(NoiseKind kind, const NoiseData& data, Vector beta, double s0,
                   NoiseStart start) {
  const Index n = data.X.rows();
  const Index p = data.X.cols();
  NoiseFit out;
  out.residuals = residuals_at(data, beta);
  out.beta = std::move(beta);
  // The previous sd of every row, standardised: s0, or the trimmed start of the shape.
  Vector previous = std::move(start.sd);
  Vector theta = std::move(start.theta);
  if (kind == NoiseKind::two_component) {
    // The variance components closest to the trimmed start, by least squares on (1, mu^2)
    // in units of s0 and of the largest |mu| (two_component_units).
    const Vector mu = fitted_signal(data, out.beta);
    const Vector unit = two_component_units(mu, data.w, s0);
    Matrix M(n, 2);
    M.col(0).setOnes();
    M.col(1) = (mu * std::sqrt(unit[1] / unit[0])).cwiseAbs2();
    theta = weighted_least_squares(M, (previous / s0).cwiseAbs2(), data.w).cwiseMax(0.0);
    if (!(theta[0] > 0.0)) theta[0] = (previous.minCoeff() / s0) * (previous.minCoeff() / s0);
    theta = theta.cwiseProduct(unit);
  }
  for (int cycle = 0; cycle < kNoiseCycles; ++cycle) {
    double floor = 0.0;
    // The last cycle's scales are read no more: they go before this cycle's vectors of the rows.
    out.scale = Vector();
    theta = cycle_parameters(kind, data, out, previous, s0, std::move(theta), floor);
    if (!theta.allFinite()) {
      out.feasible = false;
      return out;
    }
    out.model = model_of(kind, theta, floor);
    if (kind == NoiseKind::log_linear)
      bound_log_linear(out.model, data.T, out.residuals, data.root_v, data.w);
    out.scale =
        noise_sd(out.model, data.zero, data.X * out.beta, data.T).cwiseQuotient(data.root_v);
    refine(data, kCycleIrlsTol, out);
    Vector sd = noise_sd(out.model, data.zero, data.X * out.beta, data.T);
    // Scales that no longer move give the same model: converged (a reading on the cut may
    // flip in and out; its weight is near zero either way). The cuts are compared as the
    // products kInlierCut sd, not held: one vector of the rows less through the cycle.
    bool still = true;
    for (Index i = 0; still && i < n; ++i) {
      const double cut = kInlierCut * sd[i];
      still = std::abs(cut - kInlierCut * previous[i]) <= kCycleTol * cut;
    }
    previous = std::move(sd);
    if (still) break;
  }
  // The last cycle's scales (the first cycle always runs) hold the final refinement.
  refine(data, kIrlsTol, out);
  previous = noise_sd(out.model, data.zero, data.X * out.beta, data.T);
  out.scale = previous.cwiseQuotient(data.root_v);
  out.criterion = criterion(out.residuals, data.w, out.scale, free_params(kind, data.T.size()));
  // A varying sd can shrink onto a few rows fitted almost exactly (its likelihood has no
  // bound there): a model that leaves fewer inliers than the trimmed mass, which the
  // high-breakdown start keeps by construction, has collapsed and is no estimate.
  if (kind != NoiseKind::constant) {
    double inliers = 0.0;
    for (Index i = 0; i < n; ++i)
      if (std::abs(out.residuals[i]) <= kBiweightC * out.scale[i]) inliers += data.w[i];
    out.feasible = inliers >= trimmed_mass(data.w.sum(), p);
  }
  return out;
}

} // namespace vasq
