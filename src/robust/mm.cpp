#include "robust/mm.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "robust/weighted_ls.h"

namespace vasq {

namespace {

// log |r| is floored this far below s0: a residual that is exact by chance would otherwise
// weigh without bound in the fit of log |r|.
constexpr double kLogFloor = 1e-3;
// Standard normal quantile of the test's level 1e-3.
constexpr double kTestZ = 3.090232306167813;

// Upper 1e-3 quantile of chi-square with k degrees of freedom (Wilson-Hilferty).
double chi2_critical(double k) {
  const double a = 2.0 / (9.0 * k);
  const double q = 1.0 - a + kTestZ * std::sqrt(a);
  return k * q * q * q;
}

double weighted_rss(const Matrix& Z, const Vector& v, const Vector& omega, const Vector& gamma) {
  double rss = 0.0;
  for (Index i = 0; i < Z.rows(); ++i) {
    if (!(omega[i] > 0.0)) continue;
    const double e = v[i] - Z.row(i).dot(gamma);
    rss += omega[i] * e * e;
  }
  return rss;
}

} // namespace

BiweightArrays biweight_arrays(const Vector& u) {
  require(u.allFinite(), "Non-finite input.");
  const Index n = u.size();
  BiweightArrays out{Vector(n), Vector(n), Vector(n), Vector(n)};
  for (Index i = 0; i < n; ++i) {
    const BiweightValues b = biweight(u[i]);
    out.rho[i] = b.rho, out.psi[i] = b.psi, out.psi_prime[i] = b.psi_prime;
    out.weight[i] = b.weight;
  }
  return out;
}

double biweight_objective(const Vector& r, const Vector& w, const Vector& s) {
  double sum = 0.0;
  for (Index i = 0; i < r.size(); ++i) {
    if (!(w[i] > 0.0)) continue;
    sum += w[i] * biweight(r[i] / s[i]).rho;
  }
  return sum;
}

Vector scale_at(const ScaleModel& model, double s0, const std::vector<Vector>& T) {
  const Index n = T.empty() ? 0 : T.front().size();
  Vector s(n);
  for (Index i = 0; i < n; ++i) {
    double eta = model.gamma[0];
    for (std::size_t k = 0; k < T.size(); ++k)
      eta += model.gamma[static_cast<Index>(k) + 1] * T[k][i];
    s[i] = s0 * std::exp(std::clamp(eta, model.lo, model.hi));
  }
  return s;
}

ScaleModel fit_scale_model(const std::vector<Vector>& T, const Vector& r, const Vector& w,
                           double s0) {
  const Index n = r.size();
  const Index m = static_cast<Index>(T.size());
  ScaleModel constant{Vector::Zero(m + 1), 0.0, 0.0};
  Matrix Z(n, m + 1);
  Vector v(n);
  Vector omega = Vector::Zero(n);
  double mass = 0.0;
  Index rows = 0;
  for (Index i = 0; i < n; ++i) {
    Z(i, 0) = 1.0;
    for (Index k = 0; k < m; ++k) Z(i, k + 1) = T[static_cast<std::size_t>(k)][i];
    v[i] = std::log(std::max(std::abs(r[i]), kLogFloor * s0));
    if (w[i] > 0.0 && std::abs(r[i]) <= kInlierCut * s0) omega[i] = w[i], mass += w[i], ++rows;
  }
  if (rows <= 2 * (m + 1)) return constant;
  // Features far from 1 in magnitude are fitted in columns scaled to [1, 2) (leverages).
  const std::vector<int> exponents = column_exponents(Z, omega);
  Z = scale_columns(Z, exponents);
  const Vector gamma = weighted_least_squares(Z, v, omega);
  const double rss = weighted_rss(Z, v, omega, gamma);
  Vector level = Vector::Zero(m + 1);
  for (Index i = 0; i < n; ++i) level[0] += omega[i] * v[i];
  level[0] /= mass;
  const double rss0 = weighted_rss(Z, v, omega, level);
  // Extra sum of squares of the slopes over the residual variance of log |r|.
  const double variance = rss / (mass - static_cast<double>(m + 1));
  if (!(variance > 0.0) || !((rss0 - rss) / variance > chi2_critical(static_cast<double>(m))))
    return constant;

  ScaleModel model{Vector(m + 1), std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity()};
  for (Index k = 0; k <= m; ++k)
    model.gamma[k] = std::scalbn(gamma[k], -exponents[static_cast<std::size_t>(k)]);
  // A slope beyond the double range (a feature nearly zero at every row) is no model.
  if (!model.gamma.allFinite()) return constant;
  model.gamma[0] = 0.0;
  double centre = 0.0;
  for (Index i = 0; i < n; ++i) {
    if (!(omega[i] > 0.0)) continue;
    const double eta = Z.row(i).tail(m).dot(gamma.tail(m));
    centre += omega[i] * eta;
    model.lo = std::min(model.lo, eta);
    model.hi = std::max(model.hi, eta);
  }
  centre /= mass;
  model.gamma[0] = -centre;
  const double bound = std::log(kMaxScaleRatio);
  model.lo = std::max(model.lo - centre, -bound);
  model.hi = std::min(model.hi - centre, bound);
  return model;
}

Vector irls_biweight(const Matrix& X, const Vector& y, const Vector& w, const Vector& s,
                     Vector beta, int max_iter, double tol, int& iterations) {
  const Index n = X.rows();
  Vector r(n), omega(n);
  iterations = 0;
  while (iterations < max_iter) {
    r.noalias() = y - X * beta;
    double total = 0.0;
    for (Index i = 0; i < n; ++i) {
      omega[i] = w[i] * biweight(r[i] / s[i]).weight / (s[i] * s[i]);
      total += omega[i];
    }
    if (!(total > 0.0)) break;
    Vector next = weighted_least_squares(X, y, omega);
    ++iterations;
    const double moved = (next - beta).cwiseAbs().maxCoeff();
    const bool done = moved <= tol * (1.0 + next.cwiseAbs().maxCoeff());
    beta = std::move(next);
    if (done) break;
  }
  return beta;
}

} // namespace vasq
