// Monomial design matrices.
#pragma once

#include <vector>

#include "types.h"

namespace vasq {

using MultiIndex = std::vector<int>;
using MultiIndexList = std::vector<MultiIndex>;

// n x (deg + 1) matrix whose column j holds x^j, built by repeated multiplication (column 0 is
// 1 even where x is NaN or infinite). Throws "deg < 0" for a negative degree.
Matrix design_matrix_1d(int deg, const VectorView& x);

// n x M matrix; column m is the product over dimensions k of X_cols[k]^multi_indices[m][k]
// (Eigen's array power; exponents <= 0 contribute no factor, entries beyond X_cols.size() are
// ignored). n = X_cols[0].size(); an empty multi-index list gives n x 0.
// Throws "Dimension mismatch." for empty X_cols, a column shorter than the first, or a
// multi-index with fewer entries than X_cols has columns.
Matrix design_matrix_nd(const MultiIndexList& multi_indices, const Columns& X_cols);

// The rows [begin, begin + out.rows()) of design_matrix_1d(out.cols() - 1, x) and of
// design_matrix_nd(multi_indices, X_cols) written into `out` (out.cols() terms), the same values
// for a block of rows as for the whole matrix: the inputs are those the whole matrix accepts.
void design_rows_1d(const VectorView& x, Index begin, Eigen::Ref<Matrix> out);
void design_rows_nd(const MultiIndexList& multi_indices, const Columns& X_cols, Index begin,
                    Eigen::Ref<Matrix> out);

} // namespace vasq
