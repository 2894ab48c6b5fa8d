#include "robust/weighted_ls.h"

#include <cmath>

#include <Eigen/QR>

#include "linear/ols.h"

namespace vasq {

namespace {

constexpr Index kBlockRows = 256;
// Smallest ratio of the triangle's diagonal entries solved by substitution: far from the
// rank cutoff of `ols`, so both give the same coefficients to rounding.
constexpr double kConditionLimit = 1e-8;

} // namespace

Vector weighted_least_squares(const Matrix& X, const Vector& y, const Vector& omega) {
  const Index p = X.cols();
  // Rows 0 .. p-1 hold the triangle [R | z] of the rows so far, the rest the next block.
  Matrix stack = Matrix::Zero(p + kBlockRows, p + 1);
  Eigen::HouseholderQR<Matrix> qr(stack.rows(), stack.cols());
  Index filled = p;
  const auto reduce = [&] {
    qr.compute(stack);
    stack.topRows(p) = qr.matrixQR().topRows(p).triangularView<Eigen::Upper>();
    stack.bottomRows(kBlockRows).setZero();
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
  // A well-conditioned triangle is solved by substitution, otherwise in minimum norm.
  const auto R = stack.topLeftCorner(p, p);
  const Vector diagonal = R.diagonal().cwiseAbs();
  if (p > 0 && diagonal.minCoeff() > kConditionLimit * diagonal.maxCoeff())
    return R.triangularView<Eigen::Upper>().solve(stack.col(p).head(p));
  return ols(R, stack.col(p).head(p));
}

} // namespace vasq
