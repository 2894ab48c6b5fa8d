#include <array>
#include <new>
#include <utility>

#include "basis/monomials.h"
#include "basis/penalty.h"

namespace vasq {
namespace {

constexpr const char* kDegreeBelowMinusOne = "deg < -1";

// Tables T(j, e) of the derivatives of order 0, 1 and 2 on the grid of one dimension.
using DerivativeTables = std::array<Matrix, 3>;

// a * b for non-negative counts; a product beyond a signed 64-bit count cannot be allocated.
Index checked_product(Index a, Index b) {
  Index product = 0;
  if (__builtin_mul_overflow(a, b, &product)) throw std::bad_alloc();
  return product;
}

// M = product of (degrees[k] + 1); 0 as soon as one degree is negative, whatever the others.
Index basis_size(const std::vector<int>& degrees) {
  for (int deg : degrees)
    if (deg < 0) return 0;
  Index M = 1;
  for (int deg : degrees) M = checked_product(M, Index{deg} + 1);
  return M;
}

// Phi(g, m) = product over k = 0 .. n-1 of T_k(g_k, m_k), T_k the table of order orders[k]
// and g_k the k-th grid index of g, dimension 0 fastest. Column m is the Kronecker product of
// the table columns; it is built in place one dimension at a time, so every entry is the
// product taken in dimension order, and nothing is allocated.
void fill_evaluation_matrix(const std::vector<DerivativeTables>& tables,
                            const std::vector<int>& orders, const MultiIndexList& multi_indices,
                            Matrix& Phi) {
  for (Index m = 0; m < Phi.cols(); ++m) {
    const MultiIndex& index = multi_indices[static_cast<std::size_t>(m)];
    double* column = Phi.col(m).data();
    const Matrix& T0 = tables[0][orders[0]];
    Index length = T0.rows();
    Eigen::Map<Vector>(column, length) = T0.col(index[0]);
    for (std::size_t k = 1; k < tables.size(); ++k) {
      const Matrix& T = tables[k][orders[k]];
      const Eigen::Map<const Vector> head(column, length);
      // Block 0 is the head itself, so it is scaled last.
      for (Index j = T.rows() - 1; j >= 0; --j)
        Eigen::Map<Vector>(column + j * length, length) = head * T(j, index[k]);
      length *= T.rows();
    }
  }
}

// R += K Phi' Phi on the lower triangle only, Phi evaluated for the given derivative orders.
void add_derivative_pattern(Matrix& R, const std::vector<DerivativeTables>& tables,
                            const std::vector<int>& orders, const MultiIndexList& multi_indices,
                            double K, Matrix& Phi) {
  fill_evaluation_matrix(tables, orders, multi_indices, Phi);
  R.selfadjointView<Eigen::Lower>().rankUpdate(Phi.transpose(), K);
}

void mirror_lower_triangle(Matrix& R) {
  for (Index c = 1; c < R.cols(); ++c)
    for (Index r = 0; r < c; ++r) R(r, c) = R(c, r);
}

} // namespace

MultiIndexList tensor_multi_indices(const std::vector<int>& degrees) {
  MultiIndexList list;
  const Index M = basis_size(degrees);
  if (M == 0) return list;
  list.reserve(static_cast<std::size_t>(M));
  // Odometer with the last dimension turning fastest.
  MultiIndex index(degrees.size(), 0);
  for (;;) {
    list.push_back(index);
    std::size_t k = degrees.size();
    while (k > 0 && index[k - 1] == degrees[k - 1]) index[--k] = 0;
    if (k == 0) return list;
    ++index[k - 1];
  }
}

std::tuple<Matrix, Matrix, MultiIndexList>
build_penalty_matrices_nd(const std::vector<int>& degrees, const std::vector<Interval>& bounds,
                          int n_grid_per_dim) {
  require(bounds.size() == degrees.size(), kDimensionMismatch);
  for (int deg : degrees) require(deg >= -1, kDegreeBelowMinusOne);
  require(n_grid_per_dim >= 2, kGridTooSmall);

  // Every size is checked, and the large buffers are allocated, before anything is filled:
  // a request that cannot be met fails at once instead of after building the basis.
  const std::size_t n = degrees.size();
  const Index d = n_grid_per_dim;
  Index grid_size = 1;
  for (std::size_t k = 0; k < n; ++k) grid_size = checked_product(grid_size, d);
  const Index M = basis_size(degrees);
  checked_product(grid_size, M);
  checked_product(M, M);

  Matrix R1(M, M);
  Matrix R2(M, M);
  Matrix Phi(grid_size, M); // one evaluation matrix, refilled for each derivative pattern
  MultiIndexList multi_indices = tensor_multi_indices(degrees);
  R1.setZero();
  R2.setZero();
  if (M == 0) return {std::move(R1), std::move(R2), std::move(multi_indices)};

  double K = 1.0;
  std::vector<DerivativeTables> tables(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto [a, b] = bounds[k];
    const Vector t = Vector::LinSpaced(d, a, b);
    K *= (b - a) / static_cast<double>(d - 1);
    for (int order = 0; order < 3; ++order)
      tables[k][order] = monomial_derivative_table(order, t, degrees[k]);
  }

  std::vector<int> orders(n);
  for (std::size_t p = 0; p < n; ++p)
    for (std::size_t q = 0; q < n; ++q) {
      for (std::size_t k = 0; k < n; ++k) orders[k] = (k == p) + (k == q);
      add_derivative_pattern(R2, tables, orders, multi_indices, K, Phi);
    }
  for (std::size_t q = 0; q < n; ++q) {
    for (std::size_t k = 0; k < n; ++k) orders[k] = (k == q);
    add_derivative_pattern(R1, tables, orders, multi_indices, K, Phi);
  }
  mirror_lower_triangle(R2);
  mirror_lower_triangle(R1);
  return {std::move(R1), std::move(R2), std::move(multi_indices)};
}

} // namespace vasq
