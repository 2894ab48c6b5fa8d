#include "linear/regularized.h"

#include <Eigen/Cholesky>

#include "stats/penalty_set.h"

namespace vasq {

namespace {

// A += (n gamma) R, the weight formed first; a penalty that is not applied is not read.
void add_penalty(Matrix& A, const Matrix* R, double gamma, double n) {
  if (!is_applied(R, gamma)) return;
  const double s = n * gamma;
  A += s * *R;
}

} // namespace

Vector fit_regularized_linear(const Matrix& Phi, const Vector& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge) {
  const Index p = Phi.cols();
  require(y.size() == Phi.rows(), kDimensionMismatch);
  check_penalty_shapes(PenaltySet{R1, R2, gamma1, gamma2}, p);
  const double n = static_cast<double>(y.size());

  Matrix A = Phi.transpose() * Phi;
  A.diagonal().array() += ridge;
  add_penalty(A, R1, gamma1, n);
  add_penalty(A, R2, gamma2, n);
  const Vector b = Phi.transpose() * y;

  // Pivots of magnitude at most the smallest normal double give a zero component, so a
  // singular A still yields a finite result.
  return Eigen::LDLT<Matrix>(A).solve(b);
}

} // namespace vasq
