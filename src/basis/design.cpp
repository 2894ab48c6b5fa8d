#include "basis/design.h"

namespace vasq {

Matrix design_matrix_1d(int deg, const Vector& x) {
  require(deg >= 0, kNegativeDegree);
  Matrix V(x.size(), Index{deg} + 1);
  if (x.size() == 0) return V;
  V.col(0).setOnes();
  // One rounding per power: each column is the previous one times x.
  for (Index j = 1; j < V.cols(); ++j) V.col(j) = x.cwiseProduct(V.col(j - 1));
  return V;
}

Matrix design_matrix_nd(const MultiIndexList& multi_indices, const std::vector<Vector>& X_cols) {
  require(!X_cols.empty(), kDimensionMismatch);
  const Index n = X_cols.front().size();
  for (const Vector& column : X_cols) require(column.size() >= n, kDimensionMismatch);
  for (const MultiIndex& index : multi_indices)
    require(index.size() >= X_cols.size(), kDimensionMismatch);

  Matrix Phi(n, static_cast<Index>(multi_indices.size()));
  for (Index m = 0; m < Phi.cols(); ++m) {
    auto column = Phi.col(m).array();
    column.setOnes();
    const MultiIndex& index = multi_indices[static_cast<std::size_t>(m)];
    for (std::size_t k = 0; k < X_cols.size(); ++k) {
      // Non-positive exponents contribute no factor (never a reciprocal).
      if (index[k] > 0)
        column = X_cols[k].head(n).array().pow(static_cast<double>(index[k])) * column;
    }
  }
  return Phi;
}

} // namespace vasq
