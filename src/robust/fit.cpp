#include "robust/fit.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <Eigen/QR>

#include "mcmc/random.h"
#include "robust/lts.h"
#include "robust/weighted_ls.h"

namespace vasq {

namespace {

// E[z^2 | |z| < 2.5] for a standard normal z: the variance kept within the cut.
constexpr double kCutVariance = 0.911256360935392;
constexpr int kMaxScaleIter = 200;
constexpr double kSmallSample = 5.6;
// Points per term below which the refinement also starts from least squares.
constexpr double kFewPerTerm = 10.0;
constexpr double kSmallSampleFree = 0.12;
constexpr double kPi = 3.14159265358979323846;
constexpr double kScaleTol = 1e-12;
constexpr int kFirstSteps = 2;
constexpr std::size_t kConverged = 3;
constexpr int kMaxConcentration = 100;
constexpr int kMaxIrls = 100;
constexpr double kIrlsTol = 1e-9;
// Engine of the subsample, apart from the starts' engines.
constexpr std::uint64_t kSubsampleStream = 0x5bd1e995u;

// Exponents of y and w beyond which they are scaled down by a power of two: squares of y
// and products of w with them stay far inside the double range. A total weight above 2^100
// is infinite next to p, so scaling it changes no decision of the fit.
constexpr int kMaxExponentY = 256;
constexpr int kMaxExponentW = 100;

void check_observations(const Vector& y, const Vector& w, Index n, Index p) {
  require(y.size() == n && w.size() == n, kDimensionMismatch);
  require(y.allFinite() && w.allFinite(), "Non-finite input.");
  require((w.array() >= 0.0).all(), "sample weights must be >= 0");
  const double total = w.sum();
  require(total > 0.0, "sample weights must not all be zero");
  require(std::isfinite(total), "sample weights must have a finite sum");
  // The trimmed mass h and the scale's degrees of freedom count the weight against p: less
  // weight than terms leaves nothing to estimate the noise from.
  require(total >= static_cast<double>(p),
          "sample weights must sum to at least the number of terms");
}

// The power of two by which v is scaled down: 0 while max |v| stays below 2^limit.
int excess_exponent(double top, int limit) {
  return top > 0.0 ? std::max(0, std::ilogb(top) - limit) : 0;
}

Vector scaled(const Vector& v, int exponent) {
  Vector out(v.size());
  for (Index i = 0; i < v.size(); ++i) out[i] = std::scalbn(v[i], -exponent);
  return out;
}

// E[z^2 | |z| < q] for a standard normal z, q the (1 + a) / 2 quantile: the variance kept
// by the central share a. q by bisection of erf, which the standard library has.
double central_variance(double a) {
  double lo = 0.0, hi = 40.0;
  for (int it = 0; it < 100; ++it) {
    const double mid = 0.5 * (lo + hi);
    (std::erf(mid / std::sqrt(2.0)) < a ? lo : hi) = mid;
  }
  const double q = 0.5 * (lo + hi);
  const double density = std::exp(-0.5 * q * q) / std::sqrt(2.0 * kPi);
  return 1.0 - 2.0 * q * density / a;
}

// The scale of the residuals within kInlierCut scales: their weighted root mean square over
// the weight less p, divided by the share of a normal variance within the cut, iterated from
// the trimmed scale of the better half made consistent at the normal. Outliers beyond the
// cut take no part, however many; a start near the noise level does not take them in.
double reweighted_scale(const Vector& r, const Vector& w, Index p) {
  const double mass = w.sum();
  const double half = std::min(mass, std::floor((mass + static_cast<double>(p) + 1.0) / 2.0));
  TrimScratch work;
  const double trimmed = trimmed_objective(r, w, half, (w.array() == 1.0).all(), work);
  double s = std::sqrt(trimmed / half / central_variance(half / mass));
  for (int it = 0; it < kMaxScaleIter && s > kScaleFloor; ++it) {
    double ss = 0.0, within = 0.0;
    for (Index i = 0; i < r.size(); ++i)
      if (w[i] > 0.0 && std::abs(r[i]) <= kInlierCut * s) ss += w[i] * r[i] * r[i], within += w[i];
    const double dof = std::max(within - static_cast<double>(p), 0.5 * within);
    const double next = std::sqrt(ss / (kCutVariance * dof));
    const bool done = std::abs(next - s) <= kScaleTol * s;
    s = next;
    if (done) break;
  }
  // The better half of a few points is chosen among many subsets, which shrinks its scale
  // beyond what the consistency factor undoes: a factor fitted to the median scale of
  // simulated normal samples (1.45 at p / W = 0.2, 2.2 at 0.35, none below 0.12).
  const double ratio = static_cast<double>(p) / mass;
  return std::max(s * (1.0 + kSmallSample * std::max(0.0, ratio - kSmallSampleFree)), kScaleFloor);
}

// Rows of positive weight, kSubsampleRows of them drawn without replacement when there are
// more, in increasing order.
std::vector<Index> subsample_rows(const Vector& w, std::uint64_t seed) {
  std::vector<Index> rows;
  for (Index i = 0; i < w.size(); ++i)
    if (w[i] > 0.0) rows.push_back(i);
  const std::size_t n = rows.size();
  const std::size_t m = static_cast<std::size_t>(kSubsampleRows);
  if (n <= m) return rows;
  Engine engine(seed ^ kSubsampleStream);
  for (std::size_t j = 0; j < m; ++j) {
    const std::size_t k =
        j +
        std::min(static_cast<std::size_t>(uniform(engine) * static_cast<double>(n - j)), n - j - 1);
    std::swap(rows[j], rows[k]);
  }
  rows.resize(m);
  std::sort(rows.begin(), rows.end());
  return rows;
}

// The weight mass h of the trimmed objective: the largest share with the highest breakdown.
double trimmed_mass(const Vector& w, Index p) {
  return std::floor((w.sum() + static_cast<double>(p) + 1.0) / 2.0);
}

// The trimmed fit of lowest objective on the rows (Xs, ys, ws).
TrimmedFit trimmed_fit(const Matrix& Xs, const Vector& ys, const Vector& ws, std::uint64_t seed,
                       const RobustStages& stages, RobustFitResult& out) {
  const Index p = Xs.cols();
  const double h = trimmed_mass(ws, p);
  const bool unit = (ws.array() == 1.0).all();
  TrimScratch work;
  std::vector<TrimmedFit> starts;
  TrimmedFit pilot{weighted_least_squares(Xs, ys, ws), 0.0};
  pilot.objective = trimmed_objective(ys - Xs * pilot.beta, ws, h, unit, work);
  starts.push_back(pilot);
  if (stages.elemental) {
    const Index rank = Eigen::ColPivHouseholderQR<Matrix>(Xs).rank();
    out.n_starts = elemental_start_count(p);
    std::vector<TrimmedFit> best =
        best_elemental_fits(Xs, ys, ws, rank, out.n_starts, seed, kConcentrated);
    // A subset whose exact fit overflows (a column of zeros on it) is no start.
    best.erase(std::remove_if(best.begin(), best.end(),
                              [](const TrimmedFit& start) { return !start.beta.allFinite(); }),
               best.end());
    for (TrimmedFit& start : best)
      start.objective = trimmed_objective(ys - Xs * start.beta, ws, h, unit, work);
    starts.insert(starts.begin(), best.begin(), best.end());
  }
  if (stages.concentration) {
    // Two steps for every start, then to convergence for the best few (ties to the lower).
    for (TrimmedFit& start : starts) {
      int steps = 0;
      start = concentrate(Xs, ys, ws, h, std::move(start), kFirstSteps, steps);
      out.n_csteps += steps;
    }
    std::stable_sort(starts.begin(), starts.end(), [](const TrimmedFit& a, const TrimmedFit& b) {
      return lower_objective(a.objective, b.objective);
    });
    starts.resize(std::min(starts.size(), kConverged));
    for (TrimmedFit& start : starts) {
      int steps = 0;
      start = concentrate(Xs, ys, ws, h, std::move(start), kMaxConcentration, steps);
      out.n_csteps += steps;
    }
  }
  // Elemental starts first, in rank order: ties go to them, and among them to the better.
  std::size_t best = 0;
  for (std::size_t j = 1; j < starts.size(); ++j)
    if (lower_objective(starts[j].objective, starts[best].objective)) best = j;
  return starts[best];
}

} // namespace

Matrix term_design(const std::vector<Vector>& T, const MultiIndexList& powers) {
  require(!T.empty() && !powers.empty(), kDimensionMismatch);
  for (const Vector& column : T) {
    require(column.size() == T.front().size(), kDimensionMismatch);
    require(column.allFinite(), "Non-finite input.");
  }
  for (const MultiIndex& index : powers) {
    require(index.size() == T.size(), kDimensionMismatch);
    for (int e : index) require(e >= 0, "exponents must be >= 0");
  }
  // Powers 0, 1, ..., d of one feature: the repeated products of the estimator's own basis.
  bool consecutive = T.size() == 1;
  for (std::size_t j = 0; consecutive && j < powers.size(); ++j)
    consecutive = powers[j][0] == static_cast<int>(j);
  Matrix X = consecutive ? design_matrix_1d(static_cast<int>(powers.size()) - 1, T.front())
                         : design_matrix_nd(powers, T);
  // Features beyond [-1, 1] raised to high powers can overflow.
  require(X.allFinite(), "the design overflows: features too large for their exponents");
  return X;
}

namespace {

// The fit of scaled data: columns of X, y and w near 1 (robust_fit).
RobustFitResult fit_scaled(const std::vector<Vector>& T, const Matrix& X, const Vector& y,
                           const Vector& w, std::uint64_t seed, const RobustStages& stages) {
  const Index n = X.rows();
  const Index p = X.cols();
  RobustFitResult out;

  const std::vector<Index> rows = subsample_rows(w, seed);
  TrimmedFit best;
  if (static_cast<Index>(rows.size()) == n) {
    best = trimmed_fit(X, y, w, seed, stages, out);
  } else {
    best = trimmed_fit(X(rows, Eigen::all), y(rows), w(rows), seed, stages, out);
  }
  out.trimmed_rms = std::sqrt(best.objective / trimmed_mass(w(rows), p));

  out.residuals.noalias() = y - X * best.beta;
  out.s0 = reweighted_scale(out.residuals, w, p);
  out.scale_model = ScaleModel{Vector::Zero(static_cast<Index>(T.size()) + 1), 0.0, 0.0};
  out.beta = std::move(best.beta);
  if (stages.reweighting) {
    out.scale_model = fit_scale_model(T, out.residuals, w, out.s0);
    out.scale = scale_at(out.scale_model, out.s0, T);
    // With few points per term, a spurious half of them can agree better than the true
    // curve: the refinement also runs from least squares, and the one that fits all points
    // better at the fixed scale wins (the trimmed start on ties). Both objectives use the
    // high-breakdown scale. With many points per term a group of outliers, not chance, is
    // what agrees, and only the trimmed start is refined.
    int steps = 0;
    Vector trimmed_end =
        irls_biweight(X, y, w, out.scale, std::move(out.beta), kMaxIrls, kIrlsTol, steps);
    out.n_irls += steps;
    out.residuals.noalias() = y - X * trimmed_end;
    if (w.sum() < kFewPerTerm * static_cast<double>(p)) {
      Vector pilot_end = irls_biweight(X, y, w, out.scale, weighted_least_squares(X, y, w),
                                       kMaxIrls, kIrlsTol, steps);
      out.n_irls += steps;
      const Vector pilot_residuals = y - X * pilot_end;
      if (biweight_objective(pilot_residuals, w, out.scale) <
          biweight_objective(out.residuals, w, out.scale)) {
        trimmed_end.swap(pilot_end);
        out.residuals = pilot_residuals;
      }
    }
    out.beta = std::move(trimmed_end);
  } else {
    out.scale = Vector::Constant(n, out.s0);
  }
  // The weights' storage holds the rows' inverse variances first: one n-vector less.
  out.weights = w.cwiseQuotient(out.scale.cwiseAbs2());
  out.leverage = leverages(X, out.weights);
  for (Index i = 0; i < n; ++i) out.weights[i] = biweight(out.residuals[i] / out.scale[i]).weight;
  return out;
}

} // namespace

RobustFitResult robust_fit(const std::vector<Vector>& T, const MultiIndexList& powers,
                           const Vector& y, const Vector& w, std::uint64_t seed,
                           const RobustStages& stages) {
  const Matrix X = term_design(T, powers);
  check_observations(y, w, X.rows(), X.cols());
  // The fit is equivariant under scaling of a column or of y, and a total weight above
  // 2^kMaxExponentW is as good as infinite: exact powers of two bring columns to [1, 2) and
  // keep y and w from squares that overflow, where a coefficient of a tiny column or a
  // residual of a huge y would otherwise leave the double range.
  const std::vector<int> columns = column_exponents(X, w);
  const int ey = excess_exponent(y.cwiseAbs().maxCoeff(), kMaxExponentY);
  const int ew = excess_exponent(w.sum(), kMaxExponentW);
  RobustFitResult out =
      fit_scaled(T, scale_columns(X, columns), scaled(y, ey), scaled(w, ew), seed, stages);
  for (Index j = 0; j < out.beta.size(); ++j)
    out.beta[j] = std::scalbn(out.beta[j], ey - columns[static_cast<std::size_t>(j)]);
  require(out.beta.allFinite(), "the coefficients overflow the double range");
  out.residuals = scaled(out.residuals, -ey);
  out.scale = scaled(out.scale, -ey);
  out.s0 = std::scalbn(out.s0, ey);
  out.trimmed_rms = std::scalbn(out.trimmed_rms, ey);
  require(out.residuals.allFinite() && out.scale.allFinite() && std::isfinite(out.trimmed_rms),
          "the residuals overflow the double range");
  return out;
}

} // namespace vasq
