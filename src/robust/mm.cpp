#include "robust/mm.h"

#include <algorithm>
#include <vector>

#include "mcmc/threads.h"
#include "robust/weighted_ls.h"

namespace vasq {

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

double biweight_objective(const Vector& r, const VectorView& w, const Vector& s) {
  double sum = 0.0;
  for (Index i = 0; i < r.size(); ++i) {
    if (!(w[i] > 0.0)) continue;
    sum += w[i] * biweight(r[i] / s[i]).rho;
  }
  return sum;
}

namespace {

// Rows per part of the IRLS weights handed to a thread, and the rows from which they are
// spread over the threads at all.
constexpr Index kWeightPart = 8192;
constexpr Index kParallelWeightRows = 32768;

// omega_i = w_i W(r_i / s_i) / s_i^2 on the rows [begin, end), and their sum in row order.
double irls_weights(const Vector& r, const VectorView& w, const Vector& s, Index begin, Index end,
                    Vector& omega) {
  double total = 0.0;
  for (Index i = begin; i < end; ++i) {
    omega[i] = w[i] * biweight(r[i] / s[i]).weight / (s[i] * s[i]);
    total += omega[i];
  }
  return total;
}

// The residuals r = y - X beta and the IRLS weights omega at them, and whether the weights
// have a positive total. Each row depends on itself alone, so parts of the rows go to the
// threads; the weights are >= 0 (NaN where an input is), so the parts' totals added in any
// order are positive exactly when the sum in row order is. `totals` holds one entry per part.
bool positive_irls_weights(const Matrix& X, const VectorView& y, const Vector& beta,
                           const VectorView& w, const Vector& s, Vector& r, Vector& omega,
                           std::vector<double>& totals) {
  const Index n = r.size();
  if (n < kParallelWeightRows) {
    r.noalias() = y - X * beta;
    return irls_weights(r, w, s, 0, n, omega) > 0.0;
  }
  const int parts = static_cast<int>((n + kWeightPart - 1) / kWeightPart);
  totals.resize(static_cast<std::size_t>(parts));
  parallel_for(parts, [&](int part) {
    const Index begin = static_cast<Index>(part) * kWeightPart;
    const Index m = std::min(n - begin, kWeightPart);
    r.segment(begin, m).noalias() = y.segment(begin, m) - X.middleRows(begin, m) * beta;
    totals[static_cast<std::size_t>(part)] = irls_weights(r, w, s, begin, begin + m, omega);
  });
  double total = 0.0;
  for (double t : totals) total += t;
  return total > 0.0;
}

} // namespace

Vector irls_biweight(const Matrix& X, const VectorView& y, const VectorView& w, const Vector& s,
                     Vector beta, int max_iter, double tol, int& iterations) {
  const Index n = X.rows();
  Vector r(n), omega(n);
  std::vector<double> totals;
  WeightedLeastSquares ls;
  iterations = 0;
  while (iterations < max_iter) {
    if (!positive_irls_weights(X, y, beta, w, s, r, omega, totals)) break;
    const Vector& next = ls.solve(X, y, omega);
    ++iterations;
    const double moved = (next - beta).cwiseAbs().maxCoeff();
    const bool done = moved <= tol * (1.0 + next.cwiseAbs().maxCoeff());
    beta = next;
    if (done) break;
  }
  return beta;
}

} // namespace vasq
