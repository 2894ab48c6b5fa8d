#include "robust/fit.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <utility>

#include <Eigen/QR>

#include "mcmc/random.h"
#include "mcmc/threads.h"
#include "robust/biweight.h"
#include "robust/lts.h"
#include "robust/noise.h"
#include "robust/weighted_ls.h"

namespace vasq {

namespace {

// Without replicates, a noise sd that grows with the mean and a group of outliers at large
// means explain the readings alike (the group is then taken in): a varying model must beat
// constant noise by this much, strong evidence on the scale of twice a log likelihood
// (Kass & Raftery 1995).
constexpr double kUnreplicatedEvidence = 6.0;
// A power of the mean has as many parameters as the two-component model and differs from it
// chiefly at small signals, where few standards lie: its sd vanishes with the signal, the
// other's keeps a floor. On calibrations with a floor and a 3 % CV over two decades the power
// won a third of the fits at equal charge, and its critical signal and detection limit then
// failed (a blank above the critical signal in up to 65 % of draws, not 5 %): a power that
// "auto" keeps over two components must beat them by strong evidence.
constexpr double kPowerEvidence = 6.0;
// Normal quantile of a two-sided sign test at level 1 %: readings that constant noise rejects
// and a varying model takes back lie on both sides of its curve unless they are a group of
// outliers (the sign test, Dixon & Mood 1946).
constexpr double kOneSidedZ = 2.5758;
// Largest share of a feature's range that such a group spans: a curve of the wrong degree
// leaves one-sided residuals along a whole end of the range, not in a cluster, while a
// sensor fault shifts a window of readings that can span a third of it or more (at 0.25 a
// 35 % window was taken in by a sd grown to meet it in 3 of 10 data sets).
constexpr double kClusterShare = 0.4;
// The root of the gain a varying model needs, less this, is the largest root of the trend
// statistic at which "auto" skips it. The gain is a squared z-score of the same trend seen
// through the biweight criterion, which also moves the coefficients and readmits readings:
// over the benchmarks' 1460 fits a slack of 1.5 changed the chosen model in 6, one of 1.2
// in 10. Under constant noise the root is the |z| of a normal, so at 400 rows without
// replicates (a gain of log 400 + 6) the varying models are skipped unless the trend is
// significant at 5 %.
constexpr double kTrendSlack = 1.5;
// Two-sided normal quantile at 5 %: the trend in the mean that a varying model needs at any size.
constexpr double kTrendZ = 1.959963984540054;
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

// Rows of positive weight, kSubsampleRows of them drawn without replacement when there are
// more, in increasing order.
std::vector<Index> subsample_rows(const Vector& w, std::uint64_t seed) {
  std::vector<Index> rows;
  rows.reserve(static_cast<std::size_t>(w.size()));
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
  // The subsample is held through the fit: not the capacity of every row.
  rows.shrink_to_fit();
  std::sort(rows.begin(), rows.end());
  return rows;
}

// The trimmed fit of lowest objective on the rows (Xs, ys, ws).
TrimmedFit trimmed_fit(const Matrix& Xs, const Vector& ys, const Vector& ws, std::uint64_t seed,
                       const RobustStages& stages, RobustFitResult& out) {
  const Index p = Xs.cols();
  const double h = trimmed_mass(ws.sum(), p);
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
    int steps = 0;
    TrimmedFit best = best_concentrated(Xs, ys, ws, h, std::move(starts), kFirstSteps, kConverged,
                                        kMaxConcentration, steps);
    out.n_csteps += steps;
    return best;
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

// The rows of positive weight grouped by equal features: `rows` sorted, group j spanning
// rows[starts[j]] .. rows[starts[j + 1] - 1].
struct ReplicateGroups {
  std::vector<Index> rows;
  std::vector<std::size_t> starts;
};

ReplicateGroups replicate_groups(const std::vector<Vector>& T, const Vector& w) {
  ReplicateGroups g;
  g.rows.reserve(static_cast<std::size_t>(w.size()));
  for (Index i = 0; i < w.size(); ++i)
    if (w[i] > 0.0) g.rows.push_back(i);
  const auto less = [&T](Index a, Index b) {
    for (const Vector& t : T)
      if (t[a] != t[b]) return t[a] < t[b];
    return false;
  };
  std::sort(g.rows.begin(), g.rows.end(), less);
  for (std::size_t j = 0; j < g.rows.size(); ++j)
    if (j == 0 || less(g.rows[j - 1], g.rows[j])) g.starts.push_back(j);
  g.starts.push_back(g.rows.size());
  return g;
}

// True when the rows of positive weight repeat their features twice over on average (pure
// error has as many degrees of freedom as there are distinct points): the spread of readings
// at one point then measures the noise apart from any curve.
bool replicated(const ReplicateGroups& groups, const Vector& w) {
  double total = 0.0;
  for (Index i : groups.rows) total += w[i];
  return total >= 2.0 * static_cast<double>(groups.starts.size() - 1);
}

// The deviation of every reading from the mean of its group (weights w v), over sqrt(1 - a),
// a = w v / (sum of w v over the group) its share of that mean: variance sigma_i^2 / v_i
// whatever the curve. Rows alone at their features have no deviation and weight 0 in
// `omega`; the others keep w.
void replicate_deviations(const ReplicateGroups& groups, const Vector& y, const Vector& w,
                          const Vector& root_v, Vector& r, Vector& omega) {
  r = Vector::Zero(y.size()), omega = Vector::Zero(y.size());
  for (std::size_t j = 0; j + 1 < groups.starts.size(); ++j) {
    if (groups.starts[j + 1] - groups.starts[j] < 2) continue;
    double mass = 0.0, sum = 0.0;
    for (std::size_t k = groups.starts[j]; k < groups.starts[j + 1]; ++k) {
      const Index i = groups.rows[k];
      const double wv = w[i] * root_v[i] * root_v[i];
      mass += wv, sum += wv * y[i];
    }
    const double mean = sum / mass;
    for (std::size_t k = groups.starts[j]; k < groups.starts[j + 1]; ++k) {
      const Index i = groups.rows[k];
      const double share = w[i] * root_v[i] * root_v[i] / mass;
      r[i] = (y[i] - mean) / std::sqrt(1.0 - share), omega[i] = w[i];
    }
  }
}

// The rows a fit rejects: |r_i| at or beyond kBiweightC sigma_i.
std::vector<bool> rejected_rows(const NoiseFit& fit) {
  std::vector<bool> rejected(static_cast<std::size_t>(fit.residuals.size()));
  for (Index i = 0; i < fit.residuals.size(); ++i)
    rejected[static_cast<std::size_t>(i)] =
        !(std::abs(fit.residuals[i]) < kBiweightC * fit.scale[i]);
  return rejected;
}

// True when the rows that the constant-noise fit rejects and `varying` takes back form a
// cluster on one side of `varying`'s curve: their range in every feature is within
// kClusterShare of all rows', and a sign test on their weights, |W+ - W-| - 1 over
// sqrt(W+ + W-) against kOneSidedZ (normal approximation with continuity correction),
// rejects symmetry. Noise that grows with the mean puts its large residuals on both sides;
// a curve of too low a degree leaves one-sided residuals along a whole end of the range; a
// group of outliers that such noise grows to meet is both one-sided and confined.
bool readmits_one_sided_cluster(const std::vector<Vector>& T,
                                const std::vector<bool>& rejected_by_constant,
                                const NoiseFit& varying, const Vector& w) {
  double above = 0.0, below = 0.0;
  std::vector<Index> rows;
  for (Index i = 0; i < w.size(); ++i) {
    const double r = varying.residuals[i];
    const bool taken_back = std::abs(r) < kBiweightC * varying.scale[i];
    if (w[i] > 0.0 && rejected_by_constant[static_cast<std::size_t>(i)] && taken_back) {
      (r > 0.0 ? above : below) += w[i];
      rows.push_back(i);
    }
  }
  const double total = above + below;
  if (!(total > 0.0 && std::abs(above - below) - 1.0 > kOneSidedZ * std::sqrt(total))) return false;
  for (const Vector& t : T) {
    const Vector group = t(rows);
    const double all = t.maxCoeff() - t.minCoeff();
    if (group.maxCoeff() - group.minCoeff() > kClusterShare * all) return false;
  }
  return true;
}

// Twice the log of the number of ways to pick, at each replicate level, the readings that
// `fit` rejects there (|r_i| at or beyond kBiweightC sigma_i) among that level's readings, by
// weight: the length of the code that names them given their count per level,
// sum_g log C(m_g, k_g) (enumerative coding, Cover 1973). The biweight criterion charges each
// rejected reading a bounded loss, so a model whose scale is too small at the noisy end pays
// little for calling its clean readings there outliers; which readings are called so is
// itself information the model must state. A level whose readings are all rejected but
// one, as when a fault shifts a standard's readings together, costs only 2 log m_g: such a
// group is told from noise by its own agreement, not by the count.
double rejection_code_length(const ReplicateGroups& groups, const NoiseFit& fit, const Vector& w) {
  double length = 0.0;
  for (std::size_t g = 0; g + 1 < groups.starts.size(); ++g) {
    double mass = 0.0, rejected = 0.0;
    for (std::size_t j = groups.starts[g]; j < groups.starts[g + 1]; ++j) {
      const Index i = groups.rows[j];
      mass += w[i];
      if (!(std::abs(fit.residuals[i]) < kBiweightC * fit.scale[i])) rejected += w[i];
    }
    length +=
        std::lgamma(mass + 1.0) - std::lgamma(rejected + 1.0) - std::lgamma(mass - rejected + 1.0);
  }
  return 2.0 * length;
}

// True when "auto" passes over the varying models of the mean: the readings show no trend
// of their spread with the mean at about 5 % (the root of mean_trend_statistic, a |z|,
// below kTrendZ), or, with at least kFewPerTerm points per term, a root kTrendSlack below
// that of the gain the model needs, log W (its extra parameter) + margin. The spread is the
// deviations from the replicate means when the rows are replicated: the curve's error, large
// at the quiet end under a constant fit of noise that grows, does not enter them. Without
// replicates it is the constant fit's residuals. The criterion alone picks a varying model
// under constant noise in a third of the fits at 15 points and 3 terms (the variance fit
// follows the chance pattern of a few residuals, and the curve moves with it), and such a
// model's intervals then cover 50-60 % at the quiet end.
bool varying_noise_hopeless(const NoiseData& data, const NoiseFit& constant, double s0,
                            double margin, const ReplicateGroups* groups) {
  const double mass = data.w.sum();
  double statistic = mean_trend_statistic(data, constant.beta, constant.residuals, data.w, s0);
  if (groups) {
    Vector r, omega;
    replicate_deviations(*groups, data.y, data.w, data.root_v, r, omega);
    statistic = std::max(statistic, mean_trend_statistic(data, constant.beta, r, omega, s0));
  }
  const double root = std::sqrt(statistic);
  if (root < kTrendZ) return true;
  if (mass < kFewPerTerm * static_cast<double>(data.X.cols())) return false;
  return root < std::sqrt(std::log(mass) + margin) - kTrendSlack;
}

// The fit without its vectors of the rows, which its model and coefficients give again: the
// best fit so far is held through the fits of the later noise kinds.
NoiseFit without_rows(NoiseFit fit) {
  fit.residuals = Vector();
  fit.scale = Vector();
  return fit;
}

// The fit of scaled data: columns of X, y and w near 1 (robust_fit).
RobustFitResult fit_scaled(const std::vector<Vector>& T, const Matrix& X, const Vector& y,
                           const Vector& w, const Vector& root_v, double zero,
                           const std::vector<NoiseKind>& kinds, std::uint64_t seed,
                           const RobustStages& stages) {
  const Index n = X.rows();
  const Index p = X.cols();
  RobustFitResult out;

  // The trimmed stage ranks residuals over their relative sd: rows scaled by sqrt(v), on the
  // subsample only (at most kSubsampleRows rows, however large the design).
  const std::vector<Index> rows = subsample_rows(w, seed);
  const Vector root_vs = root_v(rows);
  const TrimmedFit best = trimmed_fit(root_vs.asDiagonal() * X(rows, Eigen::all),
                                      y(rows).cwiseProduct(root_vs), w(rows), seed, stages, out);
  out.trimmed_rms = std::sqrt(best.objective / trimmed_mass(w(rows).sum(), p));

  out.residuals.noalias() = y - X * best.beta;
  out.s0 = reweighted_scale(out.residuals.cwiseProduct(root_v), w, p);
  out.noise = NoiseModel{NoiseKind::constant, Vector::Constant(1, out.s0)};
  out.noise_scores = Vector::Constant(kNoiseKinds, std::numeric_limits<double>::quiet_NaN());
  out.beta = std::move(best.beta);
  if (stages.reweighting) {
    const NoiseData data{X, y, w, root_v, T, zero};
    NoiseFit chosen;
    bool first = true;
    std::optional<ReplicateGroups> groups = replicate_groups(T, w);
    const bool unreplicated = !replicated(*groups, w);
    // Without replicates the groups are not read again: they hold two vectors of the rows.
    if (unreplicated) groups.reset();
    const double margin = unreplicated ? kUnreplicatedEvidence : 0.0;
    double best_charged = 0.0;
    double constant_charged = std::numeric_limits<double>::infinity();
    std::vector<std::optional<NoiseStart>> starts(kNoiseKinds);
    // What readmits_one_sided_cluster needs of the constant fit: flags, not a copy of it.
    std::vector<bool> rejected_by_constant;
    for (NoiseKind kind : kinds) {
      std::optional<NoiseStart>& start = starts[static_cast<std::size_t>(start_shape(kind))];
      if (!start)
        start = noise_start(start_shape(kind), data, out.beta, out.residuals, out.s0, seed);
      // A start no later kind shares is moved into its fit: its sd is a vector of the rows.
      const bool shared =
          std::any_of(std::find(kinds.begin(), kinds.end(), kind) + 1, kinds.end(),
                      [&](NoiseKind later) { return start_shape(later) == start_shape(kind); });
      NoiseFit fit = fit_noise(kind, data, out.beta, out.residuals, out.s0,
                               shared ? *start : std::move(*start));
      if (!shared) start.reset();
      out.n_irls += fit.n_irls;
      // Constant noise, first in the list, can always be fitted; "auto" skips the others
      // when they cannot.
      if (!fit.feasible) {
        const std::string why = std::string("the ") + noise_kind_name(kind) +
                                " noise model cannot be estimated from these data";
        require(kinds.size() > 1, why.c_str());
        continue;
      }
      out.noise_scores[static_cast<Index>(kind)] = fit.criterion;
      const bool varying = kind != NoiseKind::constant;
      if (!varying) {
        rejected_by_constant = rejected_rows(fit);
        // Constant noise is first in "auto"'s list: the varying kinds and their start are
        // skipped when the residuals show no trend that could win.
        if (kinds.size() > 1 &&
            varying_noise_hopeless(data, fit, out.s0, margin, groups ? &*groups : nullptr)) {
          chosen = without_rows(std::move(fit));
          break;
        }
      }
      // Without replicates a varying model that absorbs a one-sided cluster is not "auto"'s to
      // choose, whatever its criterion: each absorbed outlier saves about c^2/3 - 2 log c -
      // 1 = 3 there. Replicates measure the noise apart from the curve, and a curve of the
      // wrong degree leaves one-sided residuals at their noisy end without any group.
      if (unreplicated && varying && kinds.size() > 1 && !rejected_by_constant.empty() &&
          readmits_one_sided_cluster(T, rejected_by_constant, fit, w))
        continue;
      // With replicates the noise at each standard is seen apart from the curve, and the
      // readings a model rejects are charged as named (rejection_code_length); without them
      // a growing sd and a group of outliers at large means explain the readings alike, and
      // the charge would favour taking the group in. Ties go to the simpler model, listed
      // first, except that two components that beat constant noise are kept over a power
      // that is not kPowerEvidence better.
      const double charged = fit.criterion + (varying ? margin : 0.0) +
                             (unreplicated ? 0.0 : rejection_code_length(*groups, fit, w));
      if (!varying) constant_charged = charged;
      const bool over_power =
          !first && chosen.model.kind == NoiseKind::power && kind == NoiseKind::two_component;
      const bool wins = first || (over_power ? charged < best_charged + kPowerEvidence &&
                                                   charged < constant_charged
                                             : charged < best_charged);
      if (wins) chosen = without_rows(std::move(fit)), best_charged = charged;
      first = false;
    }
    out.noise = std::move(chosen.model);
    Vector trimmed_end = std::move(chosen.beta);
    // fit_noise's last residuals and scales, by the same operations.
    out.residuals.noalias() = y - X * trimmed_end;
    out.scale = noise_sd(out.noise, zero, X * trimmed_end, T).cwiseQuotient(root_v);
    // With few points per term, a spurious half of them can agree better than the true
    // curve: the refinement also runs from least squares, and the one that fits all points
    // better at the fixed scales wins (the trimmed start on ties). With many points per
    // term a group of outliers, not chance, is what agrees, and only the trimmed start is
    // refined.
    if (w.sum() < kFewPerTerm * static_cast<double>(p)) {
      int steps = 0;
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
    out.scale = root_v.cwiseInverse() * out.s0;
  }
  out.weights.resize(n);
  for (Index i = 0; i < n; ++i) out.weights[i] = biweight(out.residuals[i] / out.scale[i]).weight;
  // The leverages of the last reweighting step's weighted least squares: a rejected row has
  // none, and a flexible fit to the few rows it keeps has their high leverage.
  out.leverage = leverages(X, w.cwiseProduct(out.weights).cwiseQuotient(out.scale.cwiseAbs2()));
  return out;
}

// The parameters of a model fitted to y 2^-e, for y: every sd scales by 2^e.
void unscale_noise(NoiseModel& model, int e) {
  Vector& c = model.params;
  switch (model.kind) {
  case NoiseKind::constant:
    c[0] = std::scalbn(c[0], e);
    break;
  case NoiseKind::power:
    c[0] *= std::exp2(static_cast<double>(e) * (1.0 - c[1]));
    c[2] = std::scalbn(c[2], e);
    break;
  case NoiseKind::two_component:
    c[0] = std::scalbn(c[0], e);
    break;
  case NoiseKind::log_linear: {
    const double shift = static_cast<double>(e) * std::log(2.0);
    const Index d = c.size() - 3;
    c[0] += shift, c[d + 1] += shift, c[d + 2] += shift;
    break;
  }
  }
}

} // namespace

RobustFitResult robust_fit(const std::vector<Vector>& T, const MultiIndexList& powers,
                           const Vector& y, const Vector& w, const Vector& v, double zero,
                           const std::string& noise, std::uint64_t seed,
                           const RobustStages& stages) {
  Matrix X = term_design(T, powers);
  check_observations(y, w, X.rows(), X.cols());
  require(v.size() == y.size(), kDimensionMismatch);
  require(v.allFinite() && std::isfinite(zero), "Non-finite input.");
  require((v.array() > 0.0).all(), "var_weights must be > 0");
  std::vector<NoiseKind> kinds;
  if (noise == "auto") {
    // Only the models of the mean: a log-linear sd over the features can rise steeply at an
    // edge of the design to meet a group of bad readings there, which no function of the
    // mean through the clean readings can.
    kinds = {NoiseKind::constant, NoiseKind::power, NoiseKind::two_component};
  } else {
    kinds.push_back(noise_kind_of(noise));
  }
  // The fit is equivariant under scaling of a column or of y, and a total weight above
  // 2^kMaxExponentW is as good as infinite: exact powers of two bring columns to [1, 2) and
  // keep y and w from squares that overflow, where a coefficient of a tiny column or a
  // residual of a huge y would otherwise leave the double range.
  const std::vector<int> columns = column_exponents(X, w);
  const int ey = excess_exponent(std::max(y.cwiseAbs().maxCoeff(), std::abs(zero)), kMaxExponentY);
  const int ew = excess_exponent(w.sum(), kMaxExponentW);
  // The design is scaled in place (the fit holds one n x p matrix, not two), y and w copied
  // only when they are scaled.
  const Vector y_scaled = ey ? scaled(y, ey) : Vector();
  const Vector w_scaled = ew ? scaled(w, ew) : Vector();
  // Without var_weights their roots are the ones given (the root of 1 is 1).
  const bool unit_v = (v.array() == 1.0).all();
  const Vector root_v = unit_v ? Vector() : Vector(v.cwiseSqrt());
  RobustFitResult out =
      fit_scaled(T, scale_columns(std::move(X), columns), ey ? y_scaled : y, ew ? w_scaled : w,
                 unit_v ? v : root_v, std::scalbn(zero, -ey), kinds, seed, stages);
  for (Index j = 0; j < out.beta.size(); ++j)
    out.beta[j] = std::scalbn(out.beta[j], ey - columns[static_cast<std::size_t>(j)]);
  require(out.beta.allFinite(), "the coefficients overflow the double range");
  out.residuals = scaled(out.residuals, -ey);
  out.scale = scaled(out.scale, -ey);
  out.s0 = std::scalbn(out.s0, ey);
  out.trimmed_rms = std::scalbn(out.trimmed_rms, ey);
  unscale_noise(out.noise, ey);
  require(out.residuals.allFinite() && out.scale.allFinite() && std::isfinite(out.trimmed_rms),
          "the residuals overflow the double range");
  // A power of the mean carries its level as s = sd / |mu|^theta: for a huge y, 2^(ey (1 -
  // theta)) leaves the double range though every sd is finite.
  require(out.noise.params.allFinite() &&
              (out.noise.kind != NoiseKind::power || out.noise.params[0] > 0.0),
          "the noise model's parameters overflow the double range");
  return out;
}

std::vector<RobustFitResult> robust_fits(const std::vector<Vector>& T,
                                         const std::vector<MultiIndexList>& candidates,
                                         const Vector& y, const Vector& w, const Vector& v,
                                         double zero, const std::string& noise, std::uint64_t seed,
                                         const RobustStages& stages) {
  std::vector<RobustFitResult> fits(candidates.size());
  std::vector<std::exception_ptr> failures(candidates.size());
  // The largest term sets first: their elemental starts double with every term, and one
  // taken last would leave the other threads idle while it runs.
  std::vector<std::size_t> order(candidates.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return candidates[a].size() > candidates[b].size();
  });
  parallel_for(static_cast<int>(candidates.size()), [&](int k) {
    const std::size_t j = order[static_cast<std::size_t>(k)];
    try {
      fits[j] = robust_fit(T, candidates[j], y, w, v, zero, noise, seed, stages);
    } catch (...) {
      failures[j] = std::current_exception();
    }
  });
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
  return fits;
}

} // namespace vasq
