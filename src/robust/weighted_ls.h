// Weighted least squares over large designs, without a weighted copy of the design.
#pragma once

#include <vector>

#include <Eigen/QR>

#include "types.h"

namespace vasq {

// Minimum-norm minimiser of sum_i omega_i (y_i - X_i beta)^2 over the rows with omega_i > 0.
// Rows are taken in index order in blocks, each block stacked under the running triangle and
// reduced by Householder QR: the accuracy of QR on the weighted design (the normal equations
// would square its condition number), the memory of one block. Beyond kTrianglePartRows rows
// this runs on parts of the rows side by side. The final triangle is solved by `ols`. No
// positive weight gives the zero vector.
Vector weighted_least_squares(const Matrix& X, const VectorView& y, const VectorView& omega);

// Rows of the design above which the triangle is reduced in parts of this many rows, each
// on a thread, and the parts' triangles then stacked in order and reduced: a fixed split, so
// the bits do not depend on the number of threads.
inline constexpr Index kTrianglePartRows = 65536;

// weighted_least_squares solved again and again (IRLS and concentration steps): the stack of
// rows, the QR's storage and the solution persist between solves, so a step allocates only
// when its count of rows of positive weight changes the block.
class WeightedLeastSquares {
 public:
  // The solution, valid until the next solve.
  const Vector& solve(const Matrix& X, const VectorView& y, const VectorView& omega);

  // The triangle [R | z] (p x (p + 1)) of QR of the rows sqrt(omega_i) [X_i | y_i], valid
  // until the next call.
  Eigen::Block<const Matrix> triangle(const Matrix& X, const VectorView& y,
                                      const VectorView& omega);

 private:
  // The triangle of the rows [begin, end) alone, in blocks stacked under the running one.
  Eigen::Block<const Matrix> rows_triangle(const Matrix& X, const VectorView& y,
                                           const VectorView& omega, Index begin, Index end);
  void reduce(Index p);

  std::vector<Index> rows_;   // the current block's rows of positive weight, in order
  std::vector<double> roots_; // their sqrt(omega_i)
  Matrix stack_;
  Vector householder_; // the reflectors' coefficients of the last reduction
  Vector workspace_;   // scratch of the reduction, one entry per column
  Vector beta_;
  std::vector<WeightedLeastSquares> parts_; // the parts' own storage on large designs
};

// Diagonal of the hat matrix of the rows sqrt(omega_i) X_i: omega_i X_i (X' Omega X)^+ X_i',
// through the same triangle, clamped to [0, 1] (rounding can leave it slightly above 1);
// 0 where omega_i is not positive. omega is scaled in place (moved in, it is not copied).
Vector leverages(const Matrix& X, Vector omega);

// leverages(X, w) of finite X and weights w >= 0, one per row, X scaled in place. Throws
// std::invalid_argument on shapes that disagree, non-finite input or a negative weight.
Vector weighted_leverage(Matrix X, const Vector& w);

// The exponents e_j that bring the largest |X_ij| of each column over the rows of positive
// weight w_i into [1, 2) by the exact scaling X_ij 2^-e_j; 0 for a column of zeros there. A
// row of zero weight is absent: far out in x, it must not scale the others' columns to 0.
std::vector<int> column_exponents(const Matrix& X, const VectorView& w);

// X with column j scaled by 2^-e_j (std::scalbn: exact, subnormal columns included); a
// design moved in is scaled in place.
Matrix scale_columns(Matrix X, const std::vector<int>& exponents);

} // namespace vasq
