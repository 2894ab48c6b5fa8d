#include <utility>

#include "basis/monomials.h"
#include "basis/penalty.h"

namespace vasq {

PenaltyPair smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid) {
  require(deg >= 0, kNegativeDegree);
  require(n_grid >= 2, kGridTooSmall);
  const Index m = Index{deg} + 1;
  Matrix R1 = Matrix::Zero(m, m);
  Matrix R2 = Matrix::Zero(m, m);
  Vector d1(m), d2(m);
  Matrix P(m, m);
  const double h = (x_max - x_min) / static_cast<double>(n_grid - 1);
  // Equal weight h at every point, end points included. Each outer product is exactly
  // symmetric, hence so are the sums.
  for (int i = 0; i < n_grid; ++i) {
    const double t = static_cast<double>(i) * h + x_min;
    monomial_derivatives(1, t, d1);
    monomial_derivatives(2, t, d2);
    P.noalias() = d1 * d1.transpose();
    R1 += h * P;
    P.noalias() = d2 * d2.transpose();
    R2 += h * P;
  }
  return {std::move(R1), std::move(R2)};
}

Matrix boundary_reduce_1d(int deg, double x_min, double x_max) {
  require(deg >= -1, kNegativeDegree);
  const Index m = Index{deg} + 1;
  Vector d1a(m), d2a(m), d1b(m), d2b(m);
  monomial_derivatives(1, x_min, d1a);
  monomial_derivatives(2, x_min, d2a);
  monomial_derivatives(1, x_max, d1b);
  monomial_derivatives(2, x_max, d2b);
  Matrix M = d2b * d1b.transpose();
  M.noalias() -= d2a * d1a.transpose();
  // M alone is not symmetric; its symmetric part carries the whole quadratic form.
  return (M.transpose() + M) * 0.5;
}

} // namespace vasq
