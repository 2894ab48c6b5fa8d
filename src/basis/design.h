// Monomial design matrices.
#pragma once

#include <vector>

#include "types.h"

namespace vasq {

using MultiIndex = std::vector<int>;
using MultiIndexList = std::vector<MultiIndex>;

// n x (deg + 1) matrix whose column j holds x^j, built by repeated multiplication.
// Throws "deg < 0" for a negative degree.
Matrix design_matrix_1d(int deg, const Vector& x);

// n x M matrix; column m is the product over dimensions k of X_cols[k]^multi_indices[m][k]
// (Eigen's array power, exponents <= 0 contribute no factor). n = X_cols[0].size().
// Throws "Dimension mismatch." for empty X_cols, a column shorter than the first, or a
// multi-index with fewer entries than X_cols has columns.
Matrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols);

} // namespace vasq
