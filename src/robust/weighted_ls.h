// Weighted least squares over large designs, without a weighted copy of the design.
#pragma once

#include "types.h"

namespace vasq {

// Minimum-norm minimiser of sum_i omega_i (y_i - X_i beta)^2 over the rows with omega_i > 0.
// Rows are taken in index order in blocks, each block stacked under the running triangle and
// reduced by Householder QR: the accuracy of QR on the weighted design (the normal equations
// would square its condition number), the memory of one block. The final triangle is solved
// by `ols`. No positive weight gives the zero vector.
Vector weighted_least_squares(const Matrix& X, const Vector& y, const Vector& omega);

// Diagonal of the hat matrix of the rows sqrt(omega_i) X_i: omega_i X_i (X' Omega X)^+ X_i',
// through the same triangle; 0 where omega_i is not positive.
Vector leverages(const Matrix& X, const Vector& omega);

} // namespace vasq
