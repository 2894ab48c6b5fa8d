#include "robust/lts.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <numeric>
#include <optional>

#include <Eigen/QR>

#include "mcmc/threads.h"
#include "robust/weighted_ls.h"

namespace vasq {

namespace {

// splitmix64 finaliser: nearby (seed, start) pairs give unrelated engine seeds.
std::uint64_t mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Counter-based draws: draw j of a start is a function of (start key, j) alone, and a start
// costs no engine state to seed.
struct Draws {
  std::uint64_t key;
  std::uint64_t count = 0;
  Index below(Index n) {
    const double u = static_cast<double>(mix(key + ++count) >> 11) * 0x1.0p-53;
    return std::min(static_cast<Index>(u * static_cast<double>(n)), n - 1);
  }
};

// Starts per chunk handed to a thread: dynamic chunks let a thread that the system runs
// late take less of the work; the results do not depend on who computes a start.
constexpr int kStartChunk = 8;
// Starts times scoring rows times terms below which the starts run on the calling thread.
constexpr double kParallelWork = 2e5;

// Reusable scratch of a selection: the bits of |r| and a second buffer for its partitions
// when every weight is 1 (|r| itself where one is NaN), (|r|, row) pairs otherwise.
struct SelectScratch {
  std::vector<std::uint64_t> bits;
  std::vector<std::uint64_t> spare;
  std::vector<double> values;
  std::vector<std::pair<double, Index>> order;
};

// The bits of a double that is not negative nor NaN, and back: as unsigned integers they
// order as the values do (+0 lowest, +inf highest), and compare without a float comparison
// and its conversion of flags to a count.
std::uint64_t order_bits(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

double bits_value(std::uint64_t bits) {
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// Partitions of a selection before what is left goes to std::nth_element, whose worst
// case is n log n: a median of three reduces a range of residuals by half about every round.
constexpr int kSelectRounds = 64;

// The (target + 1)-th smallest of the order_bits a[0, n) by quickselect on the median of three;
// `spare` (n long) and a are overwritten. Each round writes the values below the pivot to the front
// of the other buffer and those above it to the back, and counts the equal ones, whose value
// it knows, so that every round removes the pivot at least. Every value is written to both
// ends and the cursor that keeps it advances: no branch on the data (a branch on
// |r| < pivot goes either way about as often on residuals, and its mispredictions were most
// of nth_element's time), and no store that the next value reads.
std::uint64_t select_kth(std::uint64_t* a, std::uint64_t* spare, std::size_t n,
                         std::size_t target) {
  std::size_t lo = 0, hi = n;
  for (int round = 0; round < kSelectRounds; ++round) {
    const std::uint64_t x = a[lo], y = a[lo + (hi - lo) / 2], z = a[hi - 1];
    const std::uint64_t pivot = std::max(std::min(x, y), std::min(std::max(x, y), z));
    std::size_t less = lo, greater = hi;
    for (std::size_t i = lo; i < hi; ++i) {
      const std::uint64_t v = a[i];
      spare[less] = v;
      spare[greater - 1] = v;
      // The sign bit is clear (|r| >= 0): the borrow of a difference is the comparison. GCC
      // turns v < pivot ? 1 : 0 back into a branch.
      less += (v - pivot) >> 63;
      greater -= (pivot - v) >> 63;
    }
    if (target >= less && target < greater) return pivot;
    if (target < less)
      hi = less;
    else
      lo = greater;
    std::swap(a, spare);
  }
  std::nth_element(a + lo, a + target, a + hi);
  return a[target];
}

// Weights of a concentration step: w_i on the rows of smallest |r| (ties to the lower row) up
// to the mass h, the last row in part, 0 elsewhere. A selection when every weight is 1.
void trimmed_weights(const Vector& r, const VectorView& w, double h, bool unit_weights,
                     SelectScratch& scratch, Vector& omega) {
  const std::size_t n = static_cast<std::size_t>(r.size());
  if (unit_weights) {
    // The k-th smallest |r| by selection; rows below it, then rows equal to it in row order.
    // Every weight is written below.
    const Index k = std::min(r.size(), static_cast<Index>(h));
    omega.resize(r.size());
    if (k == 0) {
      omega.setZero();
      return;
    }
    std::vector<std::uint64_t>& bits = scratch.bits;
    bits.resize(n);
    bool finite = true;
    for (std::size_t i = 0; i < n; ++i) {
      const double a = std::abs(r[static_cast<Index>(i)]);
      bits[i] = order_bits(a);
      finite &= !std::isnan(a);
    }
    const std::size_t target = static_cast<std::size_t>(k - 1);
    double kth;
    if (finite) {
      scratch.spare.resize(n);
      kth = bits_value(select_kth(bits.data(), scratch.spare.data(), n, target));
    } else {
      // NaN orders nothing: the selection of an overflowing fit stays nth_element's.
      std::vector<double>& a = scratch.values;
      a.resize(n);
      for (std::size_t i = 0; i < n; ++i) a[i] = std::abs(r[static_cast<Index>(i)]);
      std::nth_element(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(target), a.end());
      kth = a[target];
    }
    for (Index i = 0; i < r.size(); ++i) omega[i] = std::abs(r[i]) < kth ? 1.0 : 0.0;
    // A sum of ones and zeros: exact.
    Index taken = static_cast<Index>(omega.sum());
    // Rows equal to the k-th in row order.
    for (Index i = 0; i < r.size() && taken < k; ++i)
      if (std::abs(r[i]) == kth) omega[i] = 1.0, ++taken;
  } else {
    omega.setZero(r.size());
    std::vector<std::pair<double, Index>>& order = scratch.order;
    order.resize(n);
    for (std::size_t i = 0; i < n; ++i)
      order[i] = {std::abs(r[static_cast<Index>(i)]), static_cast<Index>(i)};
    std::sort(order.begin(), order.end());
    double mass = 0.0;
    for (const auto& [a, i] : order) {
      if (mass >= h) break;
      omega[i] = std::min(w[i], h - mass);
      mass += omega[i];
    }
  }
}

// The trimmed objective of weights from trimmed_weights: sum_i omega_i r_i^2.
double weighted_squares(const VectorView& omega, const Vector& r) {
  return omega.dot(r.cwiseProduct(r));
}

// Adds omega_i X_i' X_i (its lower triangle) to `gram` and omega_i X_i' y_i to `rhs` over the
// rows of positive omega_i, in row order; p = P columns when P > 0. The row is copied out of the
// column-major X first, so that each column of the triangle takes a contiguous update; a fixed
// P lets the compiler unroll the few terms of an elemental fit, where loops of unknown length
// spend more on their control than on the products.
template <Index P>
void add_weighted_rows(const Matrix& X, const VectorView& y, const VectorView& omega,
                       double* __restrict gram, double* __restrict rhs, double* __restrict x) {
  const Index p = P > 0 ? P : X.cols();
  const Index n = X.rows();
  const double* const design = X.data();
  for (Index i = 0; i < n; ++i) {
    const double wi = omega[i];
    if (!(wi > 0.0)) continue;
    for (Index j = 0; j < p; ++j) x[j] = design[i + j * n];
#pragma GCC unroll 8
    for (Index j = 0; j < p; ++j) {
      const double wx = wi * x[j];
      double* const column = gram + j * p;
#pragma GCC unroll 8
      for (Index k = j; k < p; ++k) column[k] += wx * x[k];
      rhs[j] += wx * y[i];
    }
  }
}

// add_weighted_rows by count of terms, the entry 0 for any count from kFixedTerms on.
using RowAdder = void (*)(const Matrix&, const VectorView&, const VectorView&, double*, double*,
                          double*);
constexpr Index kFixedTerms = 9;
constexpr RowAdder kRowAdders[kFixedTerms] = {
    add_weighted_rows<0>, add_weighted_rows<1>, add_weighted_rows<2>,
    add_weighted_rows<3>, add_weighted_rows<4>, add_weighted_rows<5>,
    add_weighted_rows<6>, add_weighted_rows<7>, add_weighted_rows<8>};

// Entries of a row's products summed together: a block of sums stays in registers over the
// rows taken, where a sum per entry in memory cost a load and a store per entry and row. Each
// entry is a chain of additions in row order; 16 of them (8 SSE2 registers) keep the adder
// busy where 8 waited on the latency of each addition.
constexpr Index kSumBlock = 16;

// With every weight 1 a step's weights are 0 or 1 and its normal equations are sums, in row
// order, of the same products x_j x_k and x_j y for every start (1 x_j is exact): column i
// holds those of row i, x_j x_k for k >= j column by column of the lower triangle, then x_j y_i,
// then zeros to a whole number of blocks. Computed once, they leave a start one addition per
// entry and row.
Matrix unit_row_products(const Matrix& X, const VectorView& y) {
  const Index p = X.cols();
  const Index m = p * (p + 1) / 2 + p;
  Matrix products = Matrix::Zero((m + kSumBlock - 1) / kSumBlock * kSumBlock, X.rows());
  for (Index i = 0; i < X.rows(); ++i) {
    double* out = products.col(i).data();
    for (Index j = 0; j < p; ++j)
      for (Index k = j; k < p; ++k) *out++ = X(i, j) * X(i, k);
    for (Index j = 0; j < p; ++j) *out++ = X(i, j) * y[i];
  }
  return products;
}

// The normal equations of 0/1 weights omega from unit_row_products: the sum of the columns
// of the rows taken, in row order, unpacked into the lower triangle of `gram` and into `rhs`.
void add_unit_rows(const Matrix& products, const VectorView& omega, std::vector<Index>& taken,
                   Vector& sums, Matrix& gram, Vector& rhs) {
  // Every row is written and the count advances past those taken: no branch on the weights.
  taken.resize(static_cast<std::size_t>(omega.size()));
  std::size_t n_taken = 0;
  for (Index i = 0; i < omega.size(); ++i) {
    taken[n_taken] = i;
    n_taken += omega[i] > 0.0 ? 1 : 0;
  }
  const Index stride = products.rows();
  const double* const columns = products.data();
  for (Index e = 0; e < stride; e += kSumBlock) {
    double block[kSumBlock] = {};
    for (std::size_t t = 0; t < n_taken; ++t) {
      const double* const row = columns + taken[t] * stride + e;
      for (Index b = 0; b < kSumBlock; ++b) block[b] += row[b];
    }
    for (Index b = 0; b < kSumBlock; ++b) sums[e + b] = block[b];
  }
  const Index p = gram.cols();
  const double* in = sums.data();
  for (Index j = 0; j < p; ++j)
    for (Index k = j; k < p; ++k) gram(k, j) = *in++;
  for (Index j = 0; j < p; ++j) rhs[j] = *in++;
}

// Scratch of one thread: every start reuses it, so the loop allocates nothing.
struct StartBuffers {
  explicit StartBuffers(Index n, Index p)
      : rows(), A(p, p), b(p), lu(p + 1, p), qr(p, p), qtb(p), beta(p), r(n), select(), omega(n),
        gram(Matrix::Zero(p, p)), rhs(p), row(p), taken(static_cast<std::size_t>(n)),
        sums((p * (p + 1) / 2 + p + kSumBlock - 1) / kSumBlock * kSumBlock), llt(p) {
    rows.reserve(static_cast<std::size_t>(2 * p));
  }
  std::vector<Index> rows;
  Matrix A;
  Vector b;
  Matrix lu; // [A | b] transposed, eliminated in place
  Eigen::ColPivHouseholderQR<Matrix> qr;
  Vector qtb; // Q'b of the elemental system
  Vector beta;
  Vector r;
  SelectScratch select;
  Vector omega;
  Matrix gram;
  Vector rhs;
  Vector row;
  std::vector<Index> taken; // rows of positive weight in a step
  Vector sums;
  Eigen::LLT<Matrix> llt;
};

// One concentration step from buf.r, the residuals of buf.beta on the scoring rows, by the
// normal equations (a ranking needs a few digits, not the accuracy of QR); returns the sum of
// squares of the new fit over the rows the step chose, a bound on its trimmed objective.
// A singular system keeps buf.beta. `products` are X's unit_row_products when every weight is 1.
double ranking_step(const Matrix& X, const VectorView& y, const VectorView& w, double h, bool unit,
                    const Matrix& products, StartBuffers& buf) {
  trimmed_weights(buf.r, w, h, unit, buf.select, buf.omega);
  if (unit) {
    add_unit_rows(products, buf.omega, buf.taken, buf.sums, buf.gram, buf.rhs);
  } else {
    buf.gram.setZero();
    buf.rhs.setZero();
    // For a handful of columns plain loops beat Eigen's rank updates, built for large matrices.
    double* const gram = buf.gram.data();
    double* const rhs = buf.rhs.data();
    double* const x = buf.row.data();
    const Index p = X.cols();
    (p < kFixedTerms ? kRowAdders[p] : kRowAdders[0])(X, y, buf.omega, gram, rhs, x);
  }
  buf.llt.compute(buf.gram);
  if (buf.llt.info() == Eigen::Success) {
    buf.b = buf.llt.solve(buf.rhs);
    if (buf.b.allFinite()) buf.beta = buf.b;
  }
  buf.r.noalias() = y - X * buf.beta;
  return weighted_squares(buf.omega, buf.r);
}

// ColPivHouseholderQR::solve of buf.A beta = buf.b into buf.beta, step for step, in buffers
// that persist: solve() allocates its copy of b and the result on every start.
void solve_elemental(StartBuffers& buf) {
  const Index rank = buf.qr.nonzeroPivots();
  buf.beta.setZero(buf.qr.cols());
  if (rank == 0) return;
  buf.qtb = buf.b;
  buf.qtb.applyOnTheLeft(buf.qr.householderQ().setLength(rank).adjoint());
  buf.qr.matrixQR()
      .topLeftCorner(rank, rank)
      .triangularView<Eigen::Upper>()
      .solveInPlace(buf.qtb.topRows(rank));
  const auto& permutation = buf.qr.colsPermutation().indices();
  for (Index i = 0; i < rank; ++i) buf.beta[permutation[i]] = buf.qtb[i];
}

// Smallest ratio of the pivots of a square elemental system that Gaussian elimination solves:
// far above the rank cutoff of the pivoted QR, which decides the others as before.
constexpr double kPivotRatio = 1e-8;

// Solves the square system of X's and y's rows buf.rows into buf.beta by Gaussian
// elimination with partial pivoting, in plain loops (the pivoted QR of every start took a
// quarter of a default fit's time at 50 points); false, buf.beta untouched, when a pivot falls
// below kPivotRatio times the largest. Row i of [A | b] is column i of buf.lu, so that each
// elimination runs along contiguous entries; p = P terms when P > 0, whose loops the compiler
// unrolls.
template <Index P> bool solve_square(const Matrix& X, const VectorView& y, StartBuffers& buf) {
  const Index p = P > 0 ? P : X.cols();
  double* const a = buf.lu.data();
  const auto at = [a, p](Index j, Index i) -> double& { return a[j + i * (p + 1)]; };
  for (Index i = 0; i < p; ++i) {
    const Index row = buf.rows[static_cast<std::size_t>(i)];
    for (Index j = 0; j < p; ++j) at(j, i) = X(row, j);
    at(p, i) = y[row];
  }
  double largest = 0.0, smallest = std::numeric_limits<double>::infinity();
  for (Index k = 0; k < p; ++k) {
    Index pivot = k;
    for (Index i = k + 1; i < p; ++i)
      if (std::abs(at(k, i)) > std::abs(at(k, pivot))) pivot = i;
    if (pivot != k)
      for (Index j = k; j <= p; ++j) std::swap(at(j, k), at(j, pivot));
    const double d = at(k, k);
    largest = std::max(largest, std::abs(d));
    smallest = std::min(smallest, std::abs(d));
    if (!(d != 0.0)) return false;
    const double* const top = &at(0, k);
    for (Index i = k + 1; i < p; ++i) {
      double* const row = &at(0, i);
      const double f = row[k] / d;
      for (Index j = k + 1; j <= p; ++j) row[j] -= f * top[j];
    }
  }
  if (!(smallest > kPivotRatio * largest)) return false;
  double* const beta = buf.beta.data();
  for (Index k = p - 1; k >= 0; --k) {
    const double* const row = &at(0, k);
    double sum = row[p];
    for (Index j = k + 1; j < p; ++j) sum -= row[j] * beta[j];
    beta[k] = sum / row[k];
  }
  return true;
}

// solve_square by count of terms, the entry 0 for any count from kFixedTerms on.
using SquareSolver = bool (*)(const Matrix&, const VectorView&, StartBuffers&);
constexpr SquareSolver kSquareSolvers[kFixedTerms] = {
    solve_square<0>, solve_square<1>, solve_square<2>, solve_square<3>, solve_square<4>,
    solve_square<5>, solve_square<6>, solve_square<7>, solve_square<8>};

// Distinct rows of `positive`, drawn until the subset reaches the design's rank (or holds
// every row), solved exactly (in least squares once rows were added) into buf.beta.
void elemental_fit(const Matrix& X, const VectorView& y, const std::vector<Index>& positive,
                   Index rank, Draws& draws, StartBuffers& buf) {
  const Index p = X.cols();
  const Index n_pos = static_cast<Index>(positive.size());
  buf.rows.clear();
  for (Index m = std::min(p, n_pos);; ++m) {
    while (static_cast<Index>(buf.rows.size()) < m) {
      const Index row = positive[static_cast<std::size_t>(draws.below(n_pos))];
      if (std::find(buf.rows.begin(), buf.rows.end(), row) == buf.rows.end())
        buf.rows.push_back(row);
    }
    // A well-conditioned square subset has the design's full rank.
    if (m == p && rank == p && (p < kFixedTerms ? kSquareSolvers[p] : kSquareSolvers[0])(X, y, buf))
      return;
    buf.A.resize(m, p);
    buf.b.resize(m);
    for (Index j = 0; j < m; ++j) {
      buf.A.row(j) = X.row(buf.rows[static_cast<std::size_t>(j)]);
      buf.b[j] = y[buf.rows[static_cast<std::size_t>(j)]];
    }
    buf.qr.compute(buf.A);
    if (buf.qr.rank() >= rank || m >= n_pos) return solve_elemental(buf);
  }
}

} // namespace

double trimmed_objective(const Vector& r, const VectorView& w, double h, bool unit_weights,
                         TrimScratch& work) {
  const std::size_t n = static_cast<std::size_t>(r.size());
  double sum = 0.0;
  if (unit_weights) {
    const std::size_t k = std::min(n, static_cast<std::size_t>(h));
    if (k == 0) return 0.0;
    work.squares.resize(n);
    double* const squares = work.squares.data();
    for (std::size_t i = 0; i < n; ++i) {
      const double ri = r[static_cast<Index>(i)];
      squares[i] = ri * ri;
    }
    std::nth_element(squares, squares + (k - 1), squares + n);
    for (std::size_t i = 0; i < k; ++i) sum += squares[i];
    return sum;
  }
  work.pairs.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double ri = r[static_cast<Index>(i)];
    work.pairs[i] = {ri * ri, w[static_cast<Index>(i)]};
  }
  std::sort(work.pairs.begin(), work.pairs.end());
  double mass = 0.0;
  for (const auto& [r2, wi] : work.pairs) {
    if (mass >= h) break;
    const double take = std::min(wi, h - mass);
    sum += take * r2;
    mass += take;
  }
  return sum;
}

int elemental_start_count(Index p) {
  const double k = std::ceil(std::log(0.01) / std::log1p(-std::pow(0.5, static_cast<double>(p))));
  return k < kMaxStarts ? std::max(1, static_cast<int>(k)) : kMaxStarts;
}

std::vector<TrimmedFit> best_elemental_fits(const Matrix& X, const VectorView& y,
                                            const VectorView& w, Index rank, int n_starts,
                                            std::uint64_t seed, int keep) {
  std::vector<Index> positive;
  for (Index i = 0; i < X.rows(); ++i)
    if (w[i] > 0.0) positive.push_back(i);
  const Index p = X.cols();
  // Starts are only ranked: kScoreRows rows spread evenly over the sample score them.
  std::vector<Index> scored;
  for (Index j = 0; j < std::min(X.rows(), kScoreRows); ++j)
    scored.push_back(j * X.rows() / std::min(X.rows(), kScoreRows));
  const Matrix Xc = X(scored, Eigen::all);
  const Vector yc = y(scored);
  const Vector wc = w(scored);
  const double hc = trimmed_mass(wc.sum(), p);
  const bool unit = (wc.array() == 1.0).all();
  const Matrix products = unit ? unit_row_products(Xc, yc) : Matrix();
  Matrix betas(p, n_starts);
  Vector objectives(n_starts);
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(n_starts));
  const std::uint64_t base = mix(seed);
  // A team costs more than a small search gains on a busy machine.
  const bool parallel =
      static_cast<double>(n_starts) * static_cast<double>(Xc.size()) >= kParallelWork;
  // Chunks of starts share one set of buffers (the calling thread's one for all of them); a
  // failure ends its chunk and is rethrown in start order below.
  const int n_chunks = (n_starts + kStartChunk - 1) / kStartChunk;
  const auto run_chunk = [&](int c, StartBuffers* shared) {
    const int first = c * kStartChunk;
    try {
      std::optional<StartBuffers> own;
      StartBuffers& buf = shared ? *shared : own.emplace(Xc.rows(), p);
      for (int k = first; k < std::min(n_starts, first + kStartChunk); ++k) {
        Draws draws{mix(base + static_cast<std::uint64_t>(k)) * 0x9e3779b97f4a7c15ULL};
        elemental_fit(X, y, positive, rank, draws, buf);
        buf.r.noalias() = yc - Xc * buf.beta;
        // One concentration step before ranking: an exact fit through a clean subset can
        // still miss the clean majority far from its points, the step brings it there.
        objectives[k] = ranking_step(Xc, yc, wc, hc, unit, products, buf);
        betas.col(k) = buf.beta;
      }
    } catch (...) {
      failures[static_cast<std::size_t>(first)] = std::current_exception();
    }
  };
  if (parallel) {
    parallel_for(n_chunks, [&](int c) { run_chunk(c, nullptr); });
  } else {
    StartBuffers buf(Xc.rows(), p);
    for (int c = 0; c < n_chunks; ++c) run_chunk(c, &buf);
  }
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);

  std::vector<int> order(static_cast<std::size_t>(n_starts));
  std::iota(order.begin(), order.end(), 0);
  const std::size_t n_keep = std::min(order.size(), static_cast<std::size_t>(std::max(keep, 1)));
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n_keep), order.end(),
                    [&](int a, int b) {
                      const double oa = objectives[a], ob = objectives[b];
                      return lower_objective(oa, ob) || (!lower_objective(ob, oa) && a < b);
                    });
  std::vector<TrimmedFit> best;
  for (std::size_t j = 0; j < n_keep; ++j)
    best.push_back({betas.col(order[j]), objectives[order[j]]});
  return best;
}

TrimmedFit concentrate(const Matrix& X, const VectorView& y, const VectorView& w, double h,
                       TrimmedFit start, int max_steps, int& steps) {
  const bool unit = (w.array() == 1.0).all();
  SelectScratch order;
  Vector r = y - X * start.beta;
  Vector omega, next_omega;
  WeightedLeastSquares ls;
  trimmed_weights(r, w, h, unit, order, omega);
  start.objective = weighted_squares(omega, r);
  for (steps = 0; steps < max_steps;) {
    const Vector& beta = ls.solve(X, y, omega);
    ++steps;
    r.noalias() = y - X * beta;
    trimmed_weights(r, w, h, unit, order, next_omega);
    const double objective = weighted_squares(next_omega, r);
    // A step cannot raise the objective but by rounding; it is then over.
    if (!(objective < start.objective)) break;
    start.beta = beta, start.objective = objective;
    // The same set gives the same fit: converged.
    if (next_omega == omega) break;
    omega.swap(next_omega);
  }
  return start;
}

TrimmedFit best_concentrated(const Matrix& X, const VectorView& y, const VectorView& w, double h,
                             std::vector<TrimmedFit> starts, int first_steps, std::size_t converged,
                             int max_steps, int& steps) {
  steps = 0;
  for (TrimmedFit& start : starts) {
    int taken = 0;
    start = concentrate(X, y, w, h, std::move(start), first_steps, taken);
    steps += taken;
  }
  std::stable_sort(starts.begin(), starts.end(), [](const TrimmedFit& a, const TrimmedFit& b) {
    return lower_objective(a.objective, b.objective);
  });
  starts.resize(std::min(starts.size(), converged));
  std::size_t best = 0;
  for (std::size_t j = 0; j < starts.size(); ++j) {
    int taken = 0;
    starts[j] = concentrate(X, y, w, h, std::move(starts[j]), max_steps, taken);
    steps += taken;
    if (lower_objective(starts[j].objective, starts[best].objective)) best = j;
  }
  return starts[best];
}

} // namespace vasq
