#include "basis/design.h"

#include <cstdint>
#include <sys/mman.h>
#include <utility>
#include <vector>

namespace vasq {

namespace {

// Design matrices are large, freshly allocated and written once; on 4 KiB pages their
// first touch costs more than the arithmetic. Asking for transparent huge pages changes
// no value.
void prefer_huge_pages(Matrix& M) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
  const auto begin = reinterpret_cast<std::uintptr_t>(M.data());
  const auto end = begin + static_cast<std::uintptr_t>(M.size()) * sizeof(double);
  const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  if (end > first + kHuge)
    madvise(reinterpret_cast<void*>(first), (end - first) & ~(kHuge - 1), MADV_HUGEPAGE);
#else
  (void)M;
#endif
}

// The single (dimension, exponent) > 0 of a multi-index with exactly one positive entry
// among the first D.
std::pair<std::size_t, int> single_power(const MultiIndex& index, std::size_t D) {
  std::pair<std::size_t, int> power{D, 0};
  for (std::size_t k = 0; k < D; ++k) {
    if (index[k] <= 0) continue;
    if (power.first != D) return {D, 0};
    power = {k, index[k]};
  }
  return power;
}

} // namespace

void design_rows_1d(const VectorView& x, Index begin, Eigen::Ref<Matrix> out) {
  if (out.rows() == 0) return;
  out.col(0).setOnes();
  // One rounding per power: each column is the previous one times x.
  const auto rows = x.segment(begin, out.rows());
  for (Index j = 1; j < out.cols(); ++j) out.col(j) = rows.cwiseProduct(out.col(j - 1));
}

Matrix design_matrix_1d(int deg, const VectorView& x) {
  require(deg >= 0, kNegativeDegree);
  Matrix V(x.size(), Index{deg} + 1);
  if (x.size() == 0) return V;
  prefer_huge_pages(V);
  design_rows_1d(x, 0, V);
  return V;
}

void design_rows_nd(const MultiIndexList& multi_indices, const Columns& X_cols, Index begin,
                    Eigen::Ref<Matrix> out) {
  const std::size_t D = X_cols.size();
  std::vector<std::pair<std::size_t, int>> singles;
  singles.reserve(multi_indices.size());
  for (const MultiIndex& index : multi_indices) singles.push_back(single_power(index, D));
  for (Index m = 0; m < out.cols(); ++m) {
    auto column = out.col(m).array();
    column.setOnes();
    const MultiIndex& index = multi_indices[static_cast<std::size_t>(m)];
    for (std::size_t k = 0; k < D; ++k) {
      // Non-positive exponents contribute no factor (never a reciprocal).
      if (index[k] <= 0) continue;
      // A finished column that is a single power x_k^e holds exactly pow(x_k, e) (times 1.0),
      // so later columns reuse it instead of calling pow again: the same values, far fewer
      // calls.
      Index known = 0;
      while (known < m &&
             singles[static_cast<std::size_t>(known)] != std::pair<std::size_t, int>{k, index[k]})
        ++known;
      if (known < m)
        column = out.col(known).array() * column;
      else
        column = X_cols[k].segment(begin, out.rows()).array().pow(static_cast<double>(index[k])) *
                 column;
    }
  }
}

Matrix design_matrix_nd(const MultiIndexList& multi_indices, const Columns& X_cols) {
  require(!X_cols.empty(), kDimensionMismatch);
  const std::size_t D = X_cols.size();
  const Index n = X_cols.front().size();
  for (const ColumnView& column : X_cols) require(column.size() >= n, kDimensionMismatch);
  for (const MultiIndex& index : multi_indices) require(index.size() >= D, kDimensionMismatch);

  Matrix Phi(n, static_cast<Index>(multi_indices.size()));
  prefer_huge_pages(Phi);
  design_rows_nd(multi_indices, X_cols, 0, Phi);
  return Phi;
}

} // namespace vasq
