#include "robust/weighted_ls.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <Eigen/QR>

#include "linear/ols.h"
#include "mcmc/threads.h"

namespace vasq {

namespace {

constexpr Index kBlockRows = 256;
// Smallest ratio of the triangle's diagonal entries solved by substitution: far from the
// rank cutoff of `ols`, so both give the same coefficients to rounding.
constexpr double kConditionLimit = 1e-8;

// A triangle whose diagonal spans less than 1 / kConditionLimit is solved by substitution.
template <typename Triangle> bool well_conditioned(const Triangle& R) {
  const auto diagonal = R.diagonal().cwiseAbs();
  return R.cols() > 0 && diagonal.minCoeff() > kConditionLimit * diagonal.maxCoeff();
}

// x_i 2^e for the n entries at x, as std::scalbn gives them: where 2^e is a normal double,
// the product by it is exact or rounded once, the same, without a library call per entry.
void scale_by_power_of_two(double* x, Index n, int e) {
  if (e >= std::numeric_limits<double>::min_exponent - 1 &&
      e < std::numeric_limits<double>::max_exponent) {
    const double factor = std::scalbn(1.0, e);
    for (Index i = 0; i < n; ++i) x[i] *= factor;
  } else {
    for (Index i = 0; i < n; ++i) x[i] = std::scalbn(x[i], e);
  }
}

} // namespace

void WeightedLeastSquares::reduce(Index p) {
  // HouseholderQR::compute's own kernel at its block size, run on the stack itself: the same
  // reflectors in the same order as on its copy, without copying the stack in and the
  // triangle out.
  constexpr Index kHouseholderBlock = 48;
  householder_.resize(std::min(stack_.rows(), stack_.cols()));
  workspace_.resize(stack_.cols());
  Eigen::internal::householder_qr_inplace_blocked<Matrix, Vector>::run(
      stack_, householder_, kHouseholderBlock, workspace_.data());
  stack_.topRows(p).triangularView<Eigen::StrictlyLower>().setZero();
}

Eigen::Block<const Matrix> WeightedLeastSquares::triangle(const Matrix& X, const VectorView& y,
                                                          const VectorView& omega) {
  const Index n = X.rows(), p = X.cols();
  if (n <= kTrianglePartRows) return rows_triangle(X, y, omega, 0, n);
  const int parts = static_cast<int>((n + kTrianglePartRows - 1) / kTrianglePartRows);
  parts_.resize(static_cast<std::size_t>(parts));
  parallel_for(parts, [&](int k) {
    const Index begin = static_cast<Index>(k) * kTrianglePartRows;
    parts_[static_cast<std::size_t>(k)].rows_triangle(X, y, omega, begin,
                                                      std::min(n, begin + kTrianglePartRows));
  });
  // The parts' triangles are the rows of the whole's: [0 | R_1 | ... | R_m] reduced once.
  const Index rows = p * (static_cast<Index>(parts) + 1);
  if (stack_.rows() != rows || stack_.cols() != p + 1) stack_.resize(rows, p + 1);
  stack_.topRows(p).setZero();
  for (int k = 0; k < parts; ++k)
    stack_.middleRows(p * (k + 1), p) = parts_[static_cast<std::size_t>(k)].stack_.topRows(p);
  reduce(p);
  return std::as_const(stack_).topRows(p);
}

Eigen::Block<const Matrix> WeightedLeastSquares::rows_triangle(const Matrix& X, const VectorView& y,
                                                               const VectorView& omega, Index begin,
                                                               Index end) {
  const Index p = X.cols();
  const double* const weights = omega.data();
  std::size_t positive = 0;
  for (Index i = begin; i < end; ++i) positive += weights[i] > 0.0 ? 1 : 0;
  // Rows 0 .. p-1 hold the triangle of the rows so far, the rest the next block. The rows of
  // positive weight are split into blocks of equal height: no block reduces more than a few
  // rows of zeros, and small fits (concentration steps on a few hundred rows) none.
  const Index count = std::max<Index>(1, static_cast<Index>(positive));
  const Index blocks = (count + kBlockRows - 1) / kBlockRows;
  const Index block = (count + blocks - 1) / blocks;
  if (stack_.rows() != p + block || stack_.cols() != p + 1) stack_.resize(p + block, p + 1);
  stack_.topRows(p).setZero();
  // Each block's rows are found as it is filled: one block's indices and roots are held, not
  // the rows'.
  rows_.resize(static_cast<std::size_t>(block));
  roots_.resize(static_cast<std::size_t>(block));
  Index* const kept = rows_.data();
  double* const kept_roots = roots_.data();
  Index next = begin;
  for (std::size_t first = 0; first < positive; first += static_cast<std::size_t>(block)) {
    const std::size_t m = std::min(static_cast<std::size_t>(block), positive - first);
    // Every row is written at the next free place, which only a positive weight keeps: no
    // branch on the weights, which a concentration step or a biweight leaves zero at random.
    std::size_t filled = 0;
    while (filled < m) {
      kept[filled] = next;
      filled += weights[next] > 0.0 ? 1 : 0;
      ++next;
    }
    // The roots of the rows kept only, apart from the search: its loop carries no sqrt.
    for (std::size_t k = 0; k < m; ++k) kept_roots[k] = std::sqrt(weights[kept[k]]);
    // Each block is gathered column by column (contiguous in X and in the stack), every row
    // of it written; a short last block is padded with zeros.
    for (Index j = 0; j <= p; ++j) {
      const double* x = j < p ? X.col(j).data() : y.data();
      double* out = stack_.col(j).data() + p;
      // Unrolled: the loop's own count and branch cost as much as the gather.
#pragma GCC unroll 4
      for (std::size_t k = 0; k < m; ++k) out[k] = kept_roots[k] * x[kept[k]];
    }
    stack_.bottomRows(block - static_cast<Index>(m)).setZero();
    reduce(p);
  }
  return std::as_const(stack_).topRows(p);
}

const Vector& WeightedLeastSquares::solve(const Matrix& X, const VectorView& y,
                                          const VectorView& omega) {
  const Index p = X.cols();
  const auto stack = triangle(X, y, omega);
  // A well-conditioned triangle is solved by substitution, otherwise in minimum norm.
  const auto R = stack.leftCols(p);
  if (well_conditioned(R)) {
    beta_ = stack.col(p);
    R.triangularView<Eigen::Upper>().solveInPlace(beta_);
  } else {
    beta_ = ols(R, stack.col(p));
  }
  return beta_;
}

Vector weighted_least_squares(const Matrix& X, const VectorView& y, const VectorView& omega) {
  return WeightedLeastSquares().solve(X, y, omega);
}

std::vector<int> column_exponents(const Matrix& X, const VectorView& w) {
  std::vector<int> exponents(static_cast<std::size_t>(X.cols()), 0);
  for (Index j = 0; j < X.cols(); ++j) {
    double top = 0.0;
    for (Index i = 0; i < X.rows(); ++i)
      if (w[i] > 0.0) top = std::max(top, std::abs(X(i, j)));
    if (top > 0.0) exponents[static_cast<std::size_t>(j)] = std::ilogb(top);
  }
  return exponents;
}

Matrix scale_columns(Matrix X, const std::vector<int>& exponents) {
  for (Index j = 0; j < X.cols(); ++j) {
    const int e = exponents[static_cast<std::size_t>(j)];
    // Most columns are already in [1, 2): scalbn by 0 is the identity.
    if (e != 0) scale_by_power_of_two(X.col(j).data(), X.rows(), -e);
  }
  return X;
}

Vector leverages(const Matrix& X, Vector omega) {
  // The hat matrix is the same for any scaling of a column or of all the weights: powers of
  // two that bring both near 1 keep the squares of huge or tiny entries in the double range.
  const std::vector<int> exponents = column_exponents(X, omega);
  // A design already in [1, 2) on the weighted rows (the robust fit's) is read in place: a
  // copy of a large design is several times the data.
  const bool in_place =
      std::all_of(exponents.begin(), exponents.end(), [](int e) { return e == 0; });
  Matrix copy;
  if (!in_place) copy = scale_columns(X, exponents);
  const Matrix& Xs = in_place ? X : copy;
  const double top = omega.size() > 0 ? omega.maxCoeff() : 0.0;
  if (!(top > 0.0)) return Vector::Zero(X.rows());
  const int shift = std::ilogb(top);
  scale_by_power_of_two(omega.data(), omega.size(), -shift);
  const Index p = X.cols();
  WeightedLeastSquares work;
  // Any right-hand side leaves the triangle of the design's columns as it is: omega serves.
  const auto stack = work.triangle(Xs, omega, omega);
  // Rows of X times the inverse of R: by substitution where `solve` would substitute (a
  // noise fit takes leverages every cycle, and p SVDs cost more than the rest), else the
  // pseudo-inverse column by column in minimum norm.
  const auto R = stack.leftCols(p);
  Matrix inverse = Matrix::Identity(p, p);
  if (well_conditioned(R)) {
    R.triangularView<Eigen::Upper>().solveInPlace(inverse);
  } else {
    for (Index j = 0; j < p; ++j) inverse.col(j) = ols(R, Vector::Unit(p, j));
  }
  Vector h(X.rows());
  for (Index start = 0; start < X.rows(); start += kBlockRows) {
    const Index m = std::min(kBlockRows, X.rows() - start);
    h.segment(start, m) = (Xs.middleRows(start, m) * inverse).rowwise().squaredNorm();
  }
  for (Index i = 0; i < h.size(); ++i) h[i] = omega[i] > 0.0 ? std::min(omega[i] * h[i], 1.0) : 0.0;
  return h;
}

Vector weighted_leverage(Matrix X, const Vector& w) {
  require(w.size() == X.rows(), kDimensionMismatch);
  require(X.allFinite() && w.allFinite(), "Non-finite input.");
  require((w.array() >= 0.0).all(), "weights must be >= 0");
  // Scaled here, leverages reads the design in place: no second copy of it.
  const std::vector<int> exponents = column_exponents(X, w);
  return leverages(scale_columns(std::move(X), exponents), w);
}

} // namespace vasq
