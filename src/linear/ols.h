// Minimum-norm least squares.
#pragma once

#include "types.h"

namespace vasq {

// Minimum-norm minimiser of ||y - X beta||^2 via a thin SVD with the rank cutoff
// max(sigma_1 * max(1, min(m, n)) * 2^-52, smallest normal). Returns length n.
// Throws "Dimension mismatch." when y.size() != X.rows() and "Non-finite input." for a
// non-finite X; X without rows or columns gives the zero vector of length n.
Vector ols(const Matrix& X, const Vector& y);

} // namespace vasq
