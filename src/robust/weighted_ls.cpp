#include "robust/weighted_ls.h"

#include <algorithm>
#include <cmath>

#include <Eigen/QR>

#include "linear/ols.h"

namespace vasq {

namespace {

constexpr Index kBlockRows = 256;
// Smallest ratio of the triangle's diagonal entries solved by substitution: far from the
// rank cutoff of `ols`, so both give the same coefficients to rounding.
constexpr double kConditionLimit = 1e-8;

// The triangle [R | z] (p x (p + 1)) of QR of the rows sqrt(omega_i) [X_i | y_i].
Matrix weighted_triangle(const Matrix& X, const Vector& y, const Vector& omega) {
  const Index p = X.cols();
  // Rows 0 .. p-1 hold the triangle [R | z] of the rows so far, the rest the next block.
  // Blocks no taller than the rows there are: small fits (concentration steps on a few
  // hundred rows) reduce no rows of zeros.
  const Index block = std::min(kBlockRows, std::max<Index>(1, (omega.array() > 0.0).count()));
  Matrix stack = Matrix::Zero(p + block, p + 1);
  Eigen::HouseholderQR<Matrix> qr(stack.rows(), stack.cols());
  Index filled = p;
  const auto reduce = [&] {
    qr.compute(stack);
    stack.topRows(p) = qr.matrixQR().topRows(p).triangularView<Eigen::Upper>();
    stack.bottomRows(block).setZero();
    filled = p;
  };
  for (Index i = 0; i < X.rows(); ++i) {
    if (!(omega[i] > 0.0)) continue;
    const double root = std::sqrt(omega[i]);
    stack.row(filled).head(p) = root * X.row(i);
    stack(filled, p) = root * y[i];
    if (++filled == stack.rows()) reduce();
  }
  if (filled > p) reduce();
  return stack.topRows(p);
}

} // namespace

Vector weighted_least_squares(const Matrix& X, const Vector& y, const Vector& omega) {
  const Index p = X.cols();
  const Matrix stack = weighted_triangle(X, y, omega);
  // A well-conditioned triangle is solved by substitution, otherwise in minimum norm.
  const auto R = stack.topLeftCorner(p, p);
  const Vector diagonal = R.diagonal().cwiseAbs();
  if (p > 0 && diagonal.minCoeff() > kConditionLimit * diagonal.maxCoeff())
    return R.triangularView<Eigen::Upper>().solve(stack.col(p).head(p));
  return ols(R, stack.col(p).head(p));
}

Vector leverages(const Matrix& X, const Vector& omega) {
  const Index p = X.cols();
  const Matrix stack = weighted_triangle(X, Vector::Zero(X.rows()), omega);
  // Rows of X times the pseudo-inverse of R, column by column in minimum norm.
  Matrix inverse(p, p);
  for (Index j = 0; j < p; ++j) inverse.col(j) = ols(stack.leftCols(p), Vector::Unit(p, j));
  Vector h(X.rows());
  for (Index start = 0; start < X.rows(); start += kBlockRows) {
    const Index m = std::min(kBlockRows, X.rows() - start);
    h.segment(start, m) = (X.middleRows(start, m) * inverse).rowwise().squaredNorm();
  }
  return (omega.array() > 0.0).select(omega.cwiseProduct(h), 0.0);
}

} // namespace vasq
