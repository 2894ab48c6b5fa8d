#include "uncertainty/uncertainty.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Eigenvalues>
#include <Eigen/LU>

#include "robust/biweight.h"
#include "robust/fit.h"
#include "robust/mm.h"

namespace vasq {

namespace {

// Rows whose design is built at a time: the sums are accumulated block by block in row order,
// so the results depend on neither the thread count nor the memory at hand.
constexpr Index kBlockRows = 4096;
// Eigenvalues at most this share of the largest in magnitude are dropped from a
// pseudo-inverse (NumPy's pinv default).
constexpr double kPinvCutoff = 1e-15;
constexpr double kSqrtTwo = 1.4142135623730950488;
constexpr double kSqrtTwoPi = 2.5066282746310005024;

// Gradient of log sd at one row of signal mu, model sd `sd` and features T[.][i] into out[0..q).
void gradient_row(const NoiseModel& model, double mu, double sd, const Columns& T, Index i,
                  double* out) {
  switch (model.kind) {
  case NoiseKind::constant:
    out[0] = 1.0;
    return;
  case NoiseKind::power:
    out[0] = 1.0;
    out[1] = std::log(std::max(std::abs(mu), model.params[2]));
    return;
  case NoiseKind::two_component: {
    // The variance is floored so that a zero floor at a zero signal stays finite.
    const double var = std::max(sd * sd, std::numeric_limits<double>::min());
    const double mu2 = mu * mu;
    if (std::isfinite(var) && std::isfinite(mu2)) {
      out[0] = 0.5 / var;
      out[1] = 0.5 * mu2 / var;
      return;
    }
    // Beyond the root of the double range the squares overflow (inf / inf where the ratio is
    // at most 1 / b^2): the ratio is formed first. sd is at least the noise floor here.
    out[0] = 0.5 / sd / sd;
    out[1] = 0.5 * (mu / sd) * (mu / sd);
    return;
  }
  case NoiseKind::log_linear:
    out[0] = 1.0;
    for (std::size_t k = 0; k < T.size(); ++k) out[k + 1] = T[k][i];
    return;
  }
}

// NumPy's pinv(M, hermitian=True): sum of u u^T / lambda over the eigenpairs of the symmetric
// M (its lower triangle, as LAPACK's eigh reads it) with |lambda| > kPinvCutoff max |lambda|.
Matrix symmetric_pinv(const Matrix& M) {
  if (!M.allFinite()) return Matrix::Constant(M.rows(), M.cols(), NAN);
  const Eigen::SelfAdjointEigenSolver<Matrix> eigen(M);
  const Vector& lambda = eigen.eigenvalues();
  const double cutoff = kPinvCutoff * lambda.cwiseAbs().maxCoeff();
  Vector inverse(lambda.size());
  for (Index k = 0; k < lambda.size(); ++k)
    inverse[k] = std::abs(lambda[k]) > cutoff ? 1.0 / lambda[k] : 0.0;
  const Matrix& U = eigen.eigenvectors();
  return U * inverse.asDiagonal() * U.transpose();
}

// sum += X^T diag(c) Y over a block's rows; `scratch` holds at least as many rows and columns.
template <class L, class C, class R>
void add_weighted_gram(const Eigen::MatrixBase<L>& X, const Eigen::MatrixBase<C>& c,
                       const Eigen::MatrixBase<R>& Y, Matrix& scratch, Matrix& sum) {
  auto weighted = scratch.topLeftCorner(X.rows(), X.cols());
  weighted = X.array().colwise() * c.array();
  sum.noalias() += weighted.transpose() * Y;
}

// The design's rows a block at a time, in storage reused from block to block.
class DesignBlocks {
 public:
  DesignBlocks(const FittedCurve& curve, Index n)
      : curve_(curve), n_(n), X_(std::min(n, kBlockRows), static_cast<Index>(curve.powers.size())) {
  }
  Index count() const { return (n_ + kBlockRows - 1) / kBlockRows; }
  Index begin(Index block) const { return block * kBlockRows; }
  Index rows(Index block) const { return std::min(kBlockRows, n_ - begin(block)); }
  Eigen::Block<Matrix> design(Index block) {
    auto X = X_.topRows(rows(block));
    term_design_rows(curve_.T, curve_.powers, begin(block), X);
    return X;
  }

 private:
  const FittedCurve& curve_;
  Index n_;
  Matrix X_;
};

// What the rows of positive weight in one block give, beside their design rows.
struct BlockRows {
  Matrix Z; // x / s, zero on rows of zero weight
  // The log-sd gradient, written a row at a time.
  Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> J;
  Vector info;     // w psi'(u): the coefficients' information
  Vector fitted;   // w a: the fit's weights
  Vector informs;  // w a on the rows that inform the noise model, else 0
  Vector variance; // W = w (robustness weight) / s^2: the share of the curve's variance
  Vector a;        // the fit's weight a (psi(u) / u, or 1)
  Vector weight;   // w on the rows that inform the noise model, else 0
  Vector scratch;

  BlockRows(Index rows, Index p, Index q)
      : Z(rows, p), J(rows, q), info(rows), fitted(rows), informs(rows), variance(rows), a(rows),
        weight(rows), scratch(rows) {}
};

// The fit's per-row quantities at the rows [begin, begin + X.rows()).
void fill_block(const FittedCurve& c, const FitUncertainty& out, const Vector& sd, double cut,
                Index begin, const Eigen::Ref<const Matrix>& X, BlockRows& b) {
  const Index rows = X.rows();
  b.Z.topRows(rows) = X.array().colwise() / out.scale.segment(begin, rows).array();
  for (Index r = 0; r < rows; ++r) {
    const Index i = begin + r;
    const double w = c.w[i], s = out.scale[i];
    gradient_row(c.noise, out.mean[i] - c.zero, sd[i], c.T, i, b.J.row(r).data());
    b.variance[r] = w * c.weights[i] / (s * s);
    if (!(w > 0.0)) {
      b.Z.row(r).setZero();
      b.info[r] = b.fitted[r] = b.informs[r] = b.a[r] = b.weight[r] = 0.0;
      continue;
    }
    const double u = (c.y[i] - out.mean[i]) / s;
    const BiweightValues bw = biweight(u);
    b.a[r] = c.robust ? bw.weight : 1.0;
    b.info[r] = w * (c.robust ? bw.psi_prime : 1.0);
    b.fitted[r] = w * b.a[r];
    const bool informing = std::abs(u) <= cut;
    b.informs[r] = informing ? b.fitted[r] : 0.0;
    b.weight[r] = informing ? w : 0.0;
  }
}

// The sums over the rows of positive weight that the coefficient covariance scales by.
struct HuberSums {
  double n = 0.0;    // inliers' total weight
  double mean = 0.0; // their mean psi'
  double var = 0.0;  // and its variance
  double psi2 = 0.0; // sum w psi^2 over every row
};

HuberSums huber_sums(const FittedCurve& c, const FitUncertainty& out) {
  HuberSums h;
  const auto each_row = [&](auto&& body) {
    for (Index i = 0; i < c.y.size(); ++i) {
      if (!(c.w[i] > 0.0)) continue;
      const double u = (c.y[i] - out.mean[i]) / out.scale[i];
      const BiweightValues bw = biweight(u);
      body(i, c.robust ? bw.psi : u, c.robust ? bw.psi_prime : 1.0);
    }
  };
  double dpsi = 0.0;
  each_row([&](Index i, double psi, double d) {
    h.psi2 += c.w[i] * (psi * psi);
    if (!(c.weights[i] > 0.0)) return;
    h.n += c.w[i];
    dpsi += c.w[i] * d;
  });
  h.mean = dpsi / h.n;
  double spread = 0.0;
  each_row([&](Index i, double, double d) {
    if (c.weights[i] > 0.0) spread += c.w[i] * ((d - h.mean) * (d - h.mean));
  });
  h.var = spread / h.n;
  return h;
}

Matrix huber_covariance(const Matrix& info, const HuberSums& h) {
  const Index p = info.rows();
  const Matrix nan = Matrix::Constant(p, p, NAN);
  if (h.n <= static_cast<double>(p) || !(h.mean > 0.0)) return nan;
  const double K = 1.0 + static_cast<double>(p) / h.n * h.var / (h.mean * h.mean);
  const double factor = K * h.psi2 / (h.n - static_cast<double>(p)) / h.mean;
  const Eigen::PartialPivLU<Matrix> lu(info);
  // LAPACK's solve refuses exactly the matrices with a zero pivot.
  if ((lu.matrixLU().diagonal().array() == 0.0).any()) return nan;
  const Matrix cov = lu.inverse() * factor;
  return 0.5 * (cov + cov.transpose());
}

// (tr(M_k M_l))_kl of the matrices M.
Matrix trace_products(const std::vector<Matrix>& M) {
  const std::size_t q = M.size();
  Matrix out(q, q);
  for (std::size_t k = 0; k < q; ++k)
    for (std::size_t l = 0; l < q; ++l)
      out(static_cast<Index>(k), static_cast<Index>(l)) = M[k].cwiseProduct(M[l].transpose()).sum();
  return out;
}

void check_curve(const FittedCurve& c) {
  check_terms(c.T, c.powers);
  const Index n = c.T.front().size();
  require(c.beta.size() == static_cast<Index>(c.powers.size()), kDimensionMismatch);
  for (const VectorView* row : {&c.y, &c.w, &c.v, &c.weights})
    require(row->size() == n, kDimensionMismatch);
  for (const VectorView* values : {&c.beta, &c.y, &c.w, &c.v, &c.weights})
    require(values->allFinite(), "Non-finite input.");
  require(std::isfinite(c.zero), "Non-finite input.");
  require((c.w.array() >= 0.0).all(), "sample weights must be >= 0");
  require((c.v.array() > 0.0).all(), "var_weights must be > 0");
}

} // namespace

Matrix log_sd_gradient(const NoiseModel& model, double zero, const VectorView& mean,
                       const Columns& T) {
  const Vector sd = noise_sd(model, zero, mean, T);
  // Rows of J are written one at a time: row-major storage keeps each contiguous.
  Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> J(
      mean.size(), free_params(model.kind, T.size()));
  for (Index i = 0; i < mean.size(); ++i)
    gradient_row(model, mean[i] - zero, sd[i], T, i, J.row(i).data());
  return J;
}

double truncated_information(double cut) {
  if (!std::isfinite(cut)) return 2.0;
  // g = 1 - E[u^2 | |u| < cut], and E[u^4 | |u| < cut] = 3 (1 - g) - cut^2 g.
  const double density = std::exp(-0.5 * cut * cut) / kSqrtTwoPi;
  const double g = 2.0 * cut * density / std::erf(cut / kSqrtTwo);
  return 3.0 * (1.0 - g) - cut * cut * g - (1.0 - g) * (1.0 - g);
}

FitUncertainty fit_uncertainty(const FittedCurve& c) {
  check_curve(c);
  const Index n = c.y.size(), p = c.beta.size();
  const Index q = free_params(c.noise.kind, c.T.size());
  FitUncertainty out;
  DesignBlocks blocks(c, n);
  out.mean.resize(n);
  for (Index k = 0; k < blocks.count(); ++k)
    out.mean.segment(blocks.begin(k), blocks.rows(k)).noalias() = blocks.design(k) * c.beta;
  // Finite coefficients of a finite design can still sum beyond the doubles.
  require(out.mean.allFinite(), "the fitted mean overflows the double range");
  const Vector sd = noise_sd(c.noise, c.zero, out.mean, c.T);
  out.scale = sd.array() / c.v.array().sqrt();

  const double cut = c.robust ? kInlierCut : std::numeric_limits<double>::infinity();
  BlockRows b(std::min(n, kBlockRows), p, q);
  Matrix scratch(std::min(n, kBlockRows), std::max(p, q));
  Matrix info = Matrix::Zero(p, p), fitted = Matrix::Zero(p, p), A = Matrix::Zero(p, p);
  std::vector<Matrix> S(static_cast<std::size_t>(q), Matrix::Zero(p, p)), SW = S;
  for (Index k = 0; k < blocks.count(); ++k) {
    const auto X = blocks.design(k);
    const Index rows = X.rows();
    fill_block(c, out, sd, cut, blocks.begin(k), X, b);
    const auto Z = b.Z.topRows(rows);
    add_weighted_gram(Z, b.info.head(rows), Z, scratch, info);
    add_weighted_gram(Z, b.fitted.head(rows), Z, scratch, fitted);
    add_weighted_gram(X, b.variance.head(rows), X, scratch, A);
    for (Index j = 0; j < q; ++j) {
      b.scratch.head(rows) = b.informs.head(rows).cwiseProduct(b.J.col(j).head(rows));
      add_weighted_gram(Z, b.scratch.head(rows), Z, scratch, S[static_cast<std::size_t>(j)]);
      b.scratch.head(rows) = b.variance.head(rows).cwiseProduct(b.J.col(j).head(rows));
      add_weighted_gram(X, b.scratch.head(rows), X, scratch, SW[static_cast<std::size_t>(j)]);
    }
  }
  out.beta_cov = huber_covariance(info, huber_sums(c, out));

  // The hat matrix's share h of each informing row, with B known.
  const Matrix B = symmetric_pinv(fitted);
  Matrix JJ = Matrix::Zero(q, q);
  for (Index k = 0; k < blocks.count(); ++k) {
    const auto X = blocks.design(k);
    const Index rows = X.rows();
    fill_block(c, out, sd, cut, blocks.begin(k), X, b);
    const auto Z = b.Z.topRows(rows);
    auto ZB = scratch.topRows(rows).leftCols(p);
    ZB.noalias() = Z * B;
    b.scratch.head(rows) =
        b.a.head(rows).cwiseProduct(ZB.cwiseProduct(Z).rowwise().sum()).unaryExpr([](double h) {
          return 1.0 - 2.0 * h;
        });
    b.scratch.head(rows) = b.weight.head(rows).cwiseProduct(b.scratch.head(rows));
    add_weighted_gram(b.J.topRows(rows), b.scratch.head(rows), b.J.topRows(rows), scratch, JJ);
  }
  std::vector<Matrix> BS;
  for (const Matrix& Sk : S) BS.push_back(B * Sk);
  out.noise_cov = symmetric_pinv(truncated_information(cut) * (JJ + trace_products(BS)));

  const Matrix A_inv = symmetric_pinv(A);
  out.dof_moments.push_back(A_inv);
  for (const Matrix& Sk : SW) out.dof_moments.push_back(A_inv * Sk * A_inv);
  bool finite = true;
  for (const Matrix& M : out.dof_moments) finite = finite && M.allFinite();
  if (!finite)
    for (Matrix& M : out.dof_moments) M.setConstant(NAN);

  // The leverages' mean gradient, through the traces.
  const double total = A_inv.cwiseProduct(A.transpose()).sum();
  Vector g(q);
  for (Index j = 0; j < q; ++j)
    g[j] = A_inv.cwiseProduct(SW[static_cast<std::size_t>(j)].transpose()).sum() / total;
  const double spread = g.dot(out.noise_cov * g);
  out.scale_dof = total > 0.0 && spread > 0.0 ? 1.0 / (2.0 * spread) : NAN;
  return out;
}

} // namespace vasq
