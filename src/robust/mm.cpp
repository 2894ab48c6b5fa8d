#include "robust/mm.h"

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

double biweight_objective(const Vector& r, const Vector& w, const Vector& s) {
  double sum = 0.0;
  for (Index i = 0; i < r.size(); ++i) {
    if (!(w[i] > 0.0)) continue;
    sum += w[i] * biweight(r[i] / s[i]).rho;
  }
  return sum;
}

Vector irls_biweight(const Matrix& X, const Vector& y, const Vector& w, const Vector& s,
                     Vector beta, int max_iter, double tol, int& iterations) {
  const Index n = X.rows();
  Vector r(n), omega(n);
  WeightedLeastSquares ls;
  iterations = 0;
  while (iterations < max_iter) {
    r.noalias() = y - X * beta;
    double total = 0.0;
    for (Index i = 0; i < n; ++i) {
      omega[i] = w[i] * biweight(r[i] / s[i]).weight / (s[i] * s[i]);
      total += omega[i];
    }
    if (!(total > 0.0)) break;
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
