#include "linear/ols.h"

#include <Eigen/SVD>

namespace vasq {

namespace {

constexpr const char* kNonFiniteInput = "Non-finite input.";

} // namespace

Vector ols(const Matrix& X, const Vector& y) {
  require(y.size() == X.rows(), kDimensionMismatch);
  require(X.allFinite(), kNonFiniteInput);
  if (X.size() == 0) return Vector::Zero(X.cols());

  // BDCSVD hands matrices with fewer than 16 columns to JacobiSVD itself. Its default
  // threshold is max(1, min(m, n)) * 2^-52, and solve() keeps the leading singular values
  // >= max(sigma_1 * threshold, smallest normal), then forms V_r diag(1/sigma) U_r' y,
  // scaling by the reciprocal (not dividing), which fixes the last bits.
  const Eigen::BDCSVD<Matrix> svd(X, Eigen::ComputeThinU | Eigen::ComputeThinV);
  return svd.solve(y);
}

} // namespace vasq
