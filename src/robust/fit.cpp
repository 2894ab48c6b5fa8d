#include "robust/fit.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <iterator>
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
// Two-sided normal quantile at 5 %: the trend in the mean or the features that a varying model
// needs at any size.
constexpr double kTrendZ = 1.959963984540054;
// The lead in |z| of the spread's trend with the features over its trend with the mean
// beyond which "auto" fits a log-linear sd over the features instead of the models of the
// mean. Where the mean is monotone along the features, log |mu| and the features order the
// rows alike and the two roots differ by a few tenths (at most 0.5 on calibrations over two
// decades, with or without a block of bad readings at the top); where the curve turns, the
// mean leaves the features' trend unexplained (on the benchmark's cubics of noise growing
// along x a lead of 2.7-7 in 5 of 6 draws, 0.7 in the sixth).
constexpr double kFeatureTrendLead = 1.0;
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

void check_observations(const VectorView& y, const VectorView& w, Index n, Index p) {
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

Vector scaled(const VectorView& v, int exponent) {
  Vector out(v.size());
  for (Index i = 0; i < v.size(); ++i) out[i] = std::scalbn(v[i], -exponent);
  return out;
}

// Rows of positive weight, kSubsampleRows of them drawn without replacement when there are
// more, in increasing order.
std::vector<Index> subsample_rows(const VectorView& w, std::uint64_t seed) {
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
  std::vector<TrimmedFit> starts;
  starts.push_back({weighted_least_squares(Xs, ys, ws), 0.0});
  if (stages.elemental) {
    const Index rank = Eigen::ColPivHouseholderQR<Matrix>(Xs).rank();
    out.n_starts = std::max(kMinStarts, elemental_start_count(p));
    std::vector<TrimmedFit> best =
        best_elemental_fits(Xs, ys, ws, rank, out.n_starts, seed, kConcentrated);
    // A subset whose exact fit overflows (a column of zeros on it) is no start.
    best.erase(std::remove_if(best.begin(), best.end(),
                              [](const TrimmedFit& start) { return !start.beta.allFinite(); }),
               best.end());
    starts.insert(starts.begin(), std::make_move_iterator(best.begin()),
                  std::make_move_iterator(best.end()));
  }
  if (stages.concentration) {
    // Two steps for every start, then to convergence for the best few (ties to the lower);
    // each start's objective is the concentration's own.
    int steps = 0;
    TrimmedFit best = best_concentrated(Xs, ys, ws, h, std::move(starts), kFirstSteps, kConverged,
                                        kMaxConcentration, steps);
    out.n_csteps += steps;
    return best;
  }
  const bool unit = (ws.array() == 1.0).all();
  TrimScratch work;
  for (TrimmedFit& start : starts)
    start.objective = trimmed_objective(ys - Xs * start.beta, ws, h, unit, work);
  // Elemental starts first, in rank order: ties go to them, and among them to the better.
  std::size_t best = 0;
  for (std::size_t j = 1; j < starts.size(); ++j)
    if (lower_objective(starts[j].objective, starts[best].objective)) best = j;
  return starts[best];
}

constexpr const char* kDesignOverflows =
    "the design overflows: features too large for their exponents";

// Powers 0, 1, ..., d of one feature: the repeated products of the estimator's own basis.
bool consecutive_powers(const Columns& T, const MultiIndexList& powers) {
  bool consecutive = T.size() == 1;
  for (std::size_t j = 0; consecutive && j < powers.size(); ++j)
    consecutive = powers[j][0] == static_cast<int>(j);
  return consecutive;
}

} // namespace

void check_terms(const Columns& T, const MultiIndexList& powers) {
  require(!T.empty() && !powers.empty(), kDimensionMismatch);
  for (const ColumnView& column : T) {
    require(column.size() == T.front().size(), kDimensionMismatch);
    require(column.allFinite(), "Non-finite input.");
  }
  for (const MultiIndex& index : powers) {
    require(index.size() == T.size(), kDimensionMismatch);
    for (int e : index) require(e >= 0, "exponents must be >= 0");
  }
}

Matrix term_design(const Columns& T, const MultiIndexList& powers) {
  check_terms(T, powers);
  Matrix X = consecutive_powers(T, powers)
                 ? design_matrix_1d(static_cast<int>(powers.size()) - 1, T.front())
                 : design_matrix_nd(powers, T);
  // Features beyond [-1, 1] raised to high powers can overflow.
  require(X.allFinite(), kDesignOverflows);
  return X;
}

void term_design_rows(const Columns& T, const MultiIndexList& powers, Index begin,
                      Eigen::Ref<Matrix> out) {
  if (consecutive_powers(T, powers))
    design_rows_1d(T.front(), begin, out);
  else
    design_rows_nd(powers, T, begin, out);
  require(out.allFinite(), kDesignOverflows);
}

namespace {

// The rows' replicate groups (SharedReplicateGroups), of checked T and w.
std::optional<ReplicateGroups> replicate_groups(const Columns& T, const VectorView& w) {
  ReplicateGroups g;
  g.rows.reserve(static_cast<std::size_t>(w.size()));
  for (Index i = 0; i < w.size(); ++i)
    if (w[i] > 0.0) g.rows.push_back(i);
  const auto less = [&T](Index a, Index b) {
    for (const ColumnView& t : T)
      if (t[a] != t[b]) return t[a] < t[b];
    return false;
  };
  std::sort(g.rows.begin(), g.rows.end(), less);
  for (std::size_t j = 0; j < g.rows.size(); ++j)
    if (j == 0 || less(g.rows[j - 1], g.rows[j])) g.starts.push_back(j);
  g.starts.push_back(g.rows.size());
  // Replicated when the total weight is twice the count of groups (a scaling of w by 2^-e,
  // as the fit makes only when the total exceeds 2^kMaxExponentW, leaves the answer as it
  // is). Without replicates the groups are not read: they hold two vectors of the rows.
  double total = 0.0;
  for (Index i : g.rows) total += w[i];
  if (!(total >= 2.0 * static_cast<double>(g.starts.size() - 1))) return std::nullopt;
  return g;
}

// The deviation of every reading from the mean of its group (weights w v), over sqrt(1 - a),
// a = w v / (sum of w v over the group) its share of that mean: variance sigma_i^2 / v_i
// whatever the curve. Rows alone at their features have no deviation and weight 0 in
// `omega`; the others keep w.
void replicate_deviations(const ReplicateGroups& groups, const VectorView& y, const VectorView& w,
                          const VectorView& root_v, Vector& r, Vector& omega) {
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

// The rows a fit rejects, by the side of its curve they lie on: +1 above, -1 below, 0 for a
// row within kBiweightC sigma_i.
RowSides rejected_rows(const NoiseFit& fit) {
  RowSides rejected(fit.residuals.size());
  for (Index i = 0; i < fit.residuals.size(); ++i) {
    const double r = fit.residuals[i];
    if (!(std::abs(r) < kBiweightC * fit.scale[i])) rejected.set(i, r > 0.0 ? 1 : -1);
  }
  return rejected;
}

// True when the rows that the constant-noise fit rejects and `varying` takes back form a
// cluster on one side of a curve: a sign test on their weights, |W+ - W-| - 1 over
// sqrt(W+ + W-) against kOneSidedZ (normal approximation with continuity correction), rejects
// symmetry, and the rows on the side that holds more of them, but for a tenth of them at
// each end, span at most kClusterShare of all rows' range in some feature (a few clean
// readings taken back elsewhere do not hide the group). The sides are those of `varying`'s curve
// and those of the constant fit's: noise that grows puts the readings a constant sd rejects on
// both sides of either curve, while a group of outliers lies on one side of the curve that rejects
// it, though a varying sd that rises to take it in may bend its own curve into the group's middle
// (a two-component sd took a 35 % window 10 sd off whole in 3 of 10 random starts of one data set,
// its curve through the window's middle). A curve of too low a degree leaves one-sided residuals
// along a whole end of the range, not in a cluster.
bool readmits_one_sided_cluster(const Columns& T, const RowSides& rejected_by_constant,
                                const NoiseFit& varying, const VectorView& w) {
  std::vector<Index> rows;
  std::vector<signed char> own_side, constant_side;
  for (Index i = 0; i < w.size(); ++i) {
    const signed char side = static_cast<signed char>(rejected_by_constant[i]);
    const double r = varying.residuals[i];
    if (w[i] > 0.0 && side != 0 && std::abs(r) < kBiweightC * varying.scale[i]) {
      rows.push_back(i);
      own_side.push_back(r > 0.0 ? 1 : -1);
      constant_side.push_back(side);
    }
  }
  // The rows of the side that holds more weight when the sign test rejects symmetry.
  const auto majority = [&](const std::vector<signed char>& sides, std::vector<Index>& group) {
    double above = 0.0, below = 0.0;
    for (std::size_t k = 0; k < rows.size(); ++k) (sides[k] > 0 ? above : below) += w[rows[k]];
    const double total = above + below;
    if (!(total > 0.0 && std::abs(above - below) - 1.0 > kOneSidedZ * std::sqrt(total)))
      return false;
    const signed char side = above > below ? 1 : -1;
    for (std::size_t k = 0; k < rows.size(); ++k)
      if (sides[k] == side) group.push_back(rows[k]);
    return true;
  };
  const auto confined = [&T](const std::vector<Index>& group) {
    const std::size_t trim = group.size() / 10;
    for (const ColumnView& t : T) {
      std::vector<double> g(group.size());
      for (std::size_t k = 0; k < group.size(); ++k) g[k] = t[group[k]];
      std::sort(g.begin(), g.end());
      if (g[g.size() - 1 - trim] - g[trim] <= kClusterShare * (t.maxCoeff() - t.minCoeff()))
        return true;
    }
    return false;
  };
  std::vector<Index> group;
  if (majority(own_side, group) && confined(group)) return true;
  group.clear();
  return majority(constant_side, group) && confined(group);
}

// Whether the rows that the constant-noise fit keeps (|r_i| below kBiweightC sigma_i) show on
// their own the spread trend a varying model needs without replicates: the root of the larger
// spread_trend statistic over them, with the mean or with the features, at least
// sqrt(log W + kUnreplicatedEvidence), W their weight. A group of outliers that a varying model
// takes back makes the whole sample's spread trend, not that of the rows kept without it.
bool kept_rows_trend(const NoiseData& data, const NoiseFit& constant, double s0) {
  Vector kept(data.w.size());
  for (Index i = 0; i < kept.size(); ++i)
    kept[i] = std::abs(constant.residuals[i]) < kBiweightC * constant.scale[i] ? data.w[i] : 0.0;
  const double mass = kept.sum();
  if (!(mass > 0.0)) return false;
  const SpreadTrend trend = spread_trend(data, constant.beta, constant.residuals, kept, s0);
  return std::sqrt(std::max(trend.mean, trend.features)) >=
         std::sqrt(std::log(mass) + kUnreplicatedEvidence);
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
double rejection_code_length(const ReplicateGroups& groups, const NoiseFit& fit,
                             const VectorView& w) {
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

// The trend of the readings' spread with the mean and with the features (spread_trend), and
// whether the features' trend leads the mean's by kFeatureTrendLead. The evidence is the larger of
// that in the constant fit's residuals and, when the rows are replicated, in the deviations
// from the replicate means: the curve's error, large at the quiet end under a constant fit
// of noise that grows, does not enter them. With replicates the lead is read from the
// deviations alone: a curve that misses a signal over decades leaves residuals that trend
// with the features as with no function of the mean.
struct ReadingsTrend {
  SpreadTrend evidence;
  bool features_lead = false;
};

bool leads(const SpreadTrend& trend) {
  return std::sqrt(trend.features) > std::sqrt(trend.mean) + kFeatureTrendLead;
}

ReadingsTrend readings_trend(const NoiseData& data, const NoiseFit& constant, double s0,
                             const ReplicateGroups* groups) {
  ReadingsTrend out;
  out.evidence = spread_trend(data, constant.beta, constant.residuals, data.w, s0);
  out.features_lead = leads(out.evidence);
  if (groups) {
    Vector r, omega;
    replicate_deviations(*groups, data.y, data.w, data.root_v, r, omega);
    const SpreadTrend deviations = spread_trend(data, constant.beta, r, omega, s0);
    out.evidence.mean = std::max(out.evidence.mean, deviations.mean);
    out.evidence.features = std::max(out.evidence.features, deviations.features);
    out.features_lead = leads(deviations);
  }
  return out;
}

// True when a trend statistic (spread_trend) leaves a varying model no hope: no trend at
// about 5 % (its root, a |z|, below kTrendZ), or, with at least kFewPerTerm points per term,
// a root kTrendSlack below that of the gain the model needs, log W (its extra parameter) +
// margin. The criterion alone picks a varying model under constant noise in a third of the
// fits at 15 points and 3 terms (the variance fit follows the chance pattern of a few
// residuals, and the curve moves with it), and such a model's intervals then cover 50-60 % at
// the quiet end.
bool trend_hopeless(double statistic, const VectorView& w, Index p, double margin) {
  const double mass = w.sum();
  const double root = std::sqrt(statistic);
  if (root < kTrendZ) return true;
  if (mass < kFewPerTerm * static_cast<double>(p)) return false;
  return root < std::sqrt(std::log(mass) + margin) - kTrendSlack;
}

// "auto"'s kinds after constant noise: a log-linear sd over the features where the spread
// trends with them (trend_hopeless) by kFeatureTrendLead more than with the mean, with at
// least kFewPerTerm samples per term (noise that grows along x under a curve that turns: the
// mean's weaker trend is then the shadow of the features'); else the models of the mean,
// where the spread trends with it. Elsewhere the features add nothing that the signal does
// not tell, and a sd over them can rise steeply at an edge of the design to meet a group of
// bad readings there, which no function of the mean through the clean readings can; with
// fewer samples it follows the chance pattern of a few residuals (at 8 points and 3 terms it
// was chosen in 4 % of fits of constant noise). None when both are hopeless.
std::vector<NoiseKind> auto_varying_kinds(const ReadingsTrend& trend, const VectorView& w, Index p,
                                          double margin) {
  if (trend.features_lead && w.sum() >= kFewPerTerm * static_cast<double>(p) &&
      !trend_hopeless(trend.evidence.features, w, p, margin))
    return {NoiseKind::log_linear};
  if (!trend_hopeless(trend.evidence.mean, w, p, margin))
    return {NoiseKind::power, NoiseKind::two_component};
  return {};
}

// The fit without its vectors of the rows, which its model and coefficients give again: the
// best fit so far is held through the fits of the later noise kinds.
NoiseFit without_rows(NoiseFit fit) {
  fit.residuals = Vector();
  fit.scale = Vector();
  return fit;
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

// The data as the fit sees them (robust_fit): the design's columns brought to [1, 2), y and w
// scaled down when huge, by exact powers of two, and the roots of v. The fit is equivariant
// under scaling of a column or of y, and a total weight above 2^kMaxExponentW is as good as
// infinite: a coefficient of a tiny column or a residual of a huge y would otherwise leave the
// double range. The design is scaled in place (the fit holds one n x p matrix, not two), y and
// w copied only when they are scaled, and without var_weights their roots are the ones given.
class ScaledData {
 public:
  ScaledData(const Columns& T, const MultiIndexList& powers, const VectorView& y,
             const VectorView& w, const VectorView& v, double zero)
      : T_(T), X_(term_design(T, powers)) {
    check_observations(y, w, X_.rows(), X_.cols());
    require(v.size() == y.size(), kDimensionMismatch);
    require(v.allFinite() && std::isfinite(zero), "Non-finite input.");
    require((v.array() > 0.0).all(), "var_weights must be > 0");
    columns_ = column_exponents(X_, w);
    ey_ = excess_exponent(std::max(y.cwiseAbs().maxCoeff(), std::abs(zero)), kMaxExponentY);
    const int ew = excess_exponent(w.sum(), kMaxExponentW);
    X_ = scale_columns(std::move(X_), columns_);
    if (ey_) y_scaled_ = scaled(y, ey_);
    if (ew) w_scaled_ = scaled(w, ew);
    const bool unit_v = (v.array() == 1.0).all();
    if (!unit_v) root_v_ = v.cwiseSqrt();
    y_ = ey_ ? y_scaled_.data() : y.data();
    w_ = ew ? w_scaled_.data() : w.data();
    root_v_of_ = unit_v ? v.data() : root_v_.data();
    zero_ = std::scalbn(zero, -ey_);
  }
  ScaledData(const ScaledData&) = delete;
  ScaledData& operator=(const ScaledData&) = delete;

  NoiseData data() const {
    const Index n = X_.rows();
    return NoiseData{X_,   ColumnView(y_, n), ColumnView(w_, n), ColumnView(root_v_of_, n), T_,
                     zero_};
  }

  // The fit in the units of the data given; throws where they leave the double range.
  RobustFitResult unscaled(RobustFitResult out) const {
    for (Index j = 0; j < out.beta.size(); ++j)
      out.beta[j] = std::scalbn(out.beta[j], ey_ - columns_[static_cast<std::size_t>(j)]);
    require(out.beta.allFinite(), "the coefficients overflow the double range");
    out.residuals = scaled(out.residuals, -ey_);
    out.scale = scaled(out.scale, -ey_);
    out.s0 = std::scalbn(out.s0, ey_);
    out.trimmed_rms = std::scalbn(out.trimmed_rms, ey_);
    unscale_noise(out.noise, ey_);
    require(out.residuals.allFinite() && out.scale.allFinite() && std::isfinite(out.trimmed_rms),
            "the residuals overflow the double range");
    // A power of the mean carries its level as s = sd / |mu|^theta: for a huge y, 2^(ey (1 -
    // theta)) leaves the double range though every sd is finite.
    require(out.noise.params.allFinite() &&
                (out.noise.kind != NoiseKind::power || out.noise.params[0] > 0.0),
            "the noise model's parameters overflow the double range");
    return out;
  }

 private:
  const Columns& T_;
  Matrix X_;
  std::vector<int> columns_;
  int ey_ = 0;
  Vector y_scaled_, w_scaled_, root_v_;
  // The rows the fit reads: the scaled copies, or the data given, in place.
  const double* y_ = nullptr;
  const double* w_ = nullptr;
  const double* root_v_of_ = nullptr;
  double zero_ = 0.0;
};

// Steps 1-3 of robust_fit on scaled data: the trimmed fit's coefficients and s0, constant noise
// at s0. Its residuals are not held: each noise fit computes them again from the coefficients.
RobustFitResult trimmed_stage(const NoiseData& data, std::uint64_t seed,
                              const RobustStages& stages) {
  const Index p = data.X.cols();
  RobustFitResult out;
  // The trimmed stage ranks residuals over their relative sd: rows scaled by sqrt(v), on the
  // subsample only (at most kSubsampleRows rows, however large the design).
  const std::vector<Index> rows = subsample_rows(data.w, seed);
  const Vector root_vs = data.root_v(rows);
  const TrimmedFit best =
      trimmed_fit(root_vs.asDiagonal() * data.X(rows, Eigen::all),
                  data.y(rows).cwiseProduct(root_vs), data.w(rows), seed, stages, out);
  out.trimmed_rms = std::sqrt(best.objective / trimmed_mass(data.w(rows).sum(), p));
  out.s0 = reweighted_scale(residuals_at(data, best.beta).cwiseProduct(data.root_v), data.w, p);
  out.noise = NoiseModel{NoiseKind::constant, Vector::Constant(1, out.s0)};
  out.noise_scores = Vector::Constant(kNoiseKinds, std::numeric_limits<double>::quiet_NaN());
  out.beta = best.beta;
  return out;
}

// body(k) for k < n: side by side on the threads of parallel_for when the design has at most
// kRowsFittedTogether rows, one after the other beyond, so that only one working set of the
// rows is held at a time.
void side_by_side(int n, Index rows, const std::function<void(int)>& body) {
  if (rows <= kRowsFittedTogether)
    parallel_for(n, body);
  else
    for (int k = 0; k < n; ++k) body(k);
}

// The fits of `kinds` from the trimmed fit `out`, side by side (side_by_side): each from the
// start of its shape, which kinds of one shape share. A kind that throws leaves the others to
// finish, and the first failure in the order of `kinds` is rethrown, as one after the other.
std::vector<NoiseFit> noise_fits(const NoiseData& data, const std::vector<NoiseKind>& kinds,
                                 std::uint64_t seed, const RobustFitResult& out) {
  std::vector<std::optional<NoiseStart>> starts(kNoiseKinds);
  std::vector<int> users(kNoiseKinds, 0);
  for (NoiseKind kind : kinds) {
    const std::size_t shape = static_cast<std::size_t>(start_shape(kind));
    if (!starts[shape])
      starts[shape] = noise_start(start_shape(kind), data, out.beta, out.s0, seed);
    ++users[shape];
  }
  std::vector<NoiseFit> fits(kinds.size());
  std::vector<std::exception_ptr> failures(kinds.size());
  side_by_side(static_cast<int>(kinds.size()), data.X.rows(), [&](int k) {
    const NoiseKind kind = kinds[static_cast<std::size_t>(k)];
    const std::size_t shape = static_cast<std::size_t>(start_shape(kind));
    NoiseStart& start = *starts[shape];
    try {
      // The start of a shape that this kind alone fits is its own: moved, not copied.
      fits[static_cast<std::size_t>(k)] = fit_noise(
          kind, data, out.beta, out.s0, users[shape] == 1 ? std::move(start) : NoiseStart(start));
    } catch (...) {
      failures[static_cast<std::size_t>(k)] = std::current_exception();
    }
  });
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
  return fits;
}

// Fits the noise kinds from the trimmed fit `out` (noise_fits) and keeps the choice among them,
// in their order, in `choice` (step 4). `automatic` when they are "auto"'s: a kind that cannot
// be estimated is then skipped, and after constant noise the varying kinds are not fitted when
// they are hopeless (choice.hopeless).
void choose_noise(const NoiseData& data, SharedReplicateGroups& shared,
                  const std::vector<NoiseKind>& kinds, bool automatic, std::uint64_t seed,
                  RobustFitResult& out, NoiseChoice& choice) {
  // Found after the fit has checked T and w: a NaN has no place in an order.
  const std::optional<ReplicateGroups>& groups = shared.of(data.T, data.w);
  const bool unreplicated = !groups;
  const double margin = unreplicated ? kUnreplicatedEvidence : 0.0;
  std::vector<NoiseFit> fits = noise_fits(data, kinds, seed, out);
  for (std::size_t j = 0; j < kinds.size(); ++j) {
    const NoiseKind kind = kinds[j];
    NoiseFit& fit = fits[j];
    out.n_irls += fit.n_irls;
    // Constant noise, first in "auto"'s order, can always be fitted; "auto" skips the others
    // when they cannot.
    if (!fit.feasible) {
      const std::string why = std::string("the ") + noise_kind_name(kind) +
                              " noise model cannot be estimated from these data";
      require(automatic, why.c_str());
      continue;
    }
    out.noise_scores[static_cast<Index>(kind)] = fit.criterion;
    const bool varying = kind != NoiseKind::constant;
    if (!varying) {
      // What readmits_one_sided_cluster needs of the constant fit: flags, not a copy of it.
      choice.rejected_by_constant = rejected_rows(fit);
      // The varying kinds and their start are skipped when the residuals show no trend that
      // could win.
      const ReadingsTrend trend = readings_trend(data, fit, out.s0, groups ? &*groups : nullptr);
      choice.varying_kinds = auto_varying_kinds(trend, data.w, data.X.cols(), margin);
      if (automatic && choice.varying_kinds.empty()) {
        choice.chosen = without_rows(std::move(fit));
        choice.first = false;
        choice.hopeless = true;
        return;
      }
      // What a veto below needs: whether the constant fit's own rows trend.
      if (unreplicated && automatic) choice.kept_rows_trend = kept_rows_trend(data, fit, out.s0);
    }
    // With replicates the noise at each standard is seen apart from the curve, and the
    // readings a model rejects are charged as named (rejection_code_length); without them
    // a growing sd and a group of outliers at large means explain the readings alike, and
    // the charge would favour taking the group in. Ties go to the simpler model, listed
    // first, except that two components that beat constant noise are kept over a power
    // that is not kPowerEvidence better.
    const double charged = fit.criterion + (varying ? margin : 0.0) +
                           (unreplicated ? 0.0 : rejection_code_length(*groups, fit, data.w));
    if (!varying) choice.constant_charged = charged;
    const bool over_power = !choice.first && choice.chosen.model.kind == NoiseKind::power &&
                            kind == NoiseKind::two_component;
    const bool wins =
        choice.first || (over_power ? charged < choice.best_charged + kPowerEvidence &&
                                          charged < choice.constant_charged
                                    : charged < choice.best_charged);
    // Without replicates a varying model that absorbs a one-sided cluster is not "auto"'s to
    // choose, whatever its criterion: each absorbed outlier saves about c^2/3 - 2 log c -
    // 1 = 3 there. Replicates measure the noise apart from the curve, and a curve of the
    // wrong degree leaves one-sided residuals at their noisy end without any group.
    if (unreplicated && varying && automatic && !choice.rejected_by_constant.empty() &&
        readmits_one_sided_cluster(data.T, choice.rejected_by_constant, fit, data.w)) {
      choice.cluster_veto = choice.cluster_veto || wins;
      continue;
    }
    if (wins) choice.chosen = without_rows(std::move(fit)), choice.best_charged = charged;
    choice.first = false;
  }
}

// The robustness weights and the leverages of the last reweighting step's weighted least
// squares: a rejected row has none, and a flexible fit to the few rows it keeps has their
// high leverage.
void weights_and_leverages(const NoiseData& data, RobustFitResult& out) {
  out.weights.resize(data.X.rows());
  for (Index i = 0; i < data.X.rows(); ++i)
    out.weights[i] = biweight(out.residuals[i] / out.scale[i]).weight;
  out.leverage =
      leverages(data.X, data.w.cwiseProduct(out.weights).cwiseQuotient(out.scale.cwiseAbs2()));
}

// The end of the fit at the chosen noise model (step 5).
void finish_fit(const NoiseData& data, const NoiseChoice& choice, RobustFitResult& out) {
  const NoiseFit& chosen = choice.chosen;
  const Index p = data.X.cols();
  out.noise = chosen.model;
  out.cluster_veto = choice.cluster_veto && chosen.model.kind == NoiseKind::constant;
  out.kept_rows_trend = chosen.model.kind == NoiseKind::constant && choice.kept_rows_trend;
  Vector trimmed_end = chosen.beta;
  // fit_noise's last residuals and scales, by the same operations.
  out.residuals.noalias() = data.y - data.X * trimmed_end;
  out.scale =
      noise_sd(out.noise, data.zero, data.X * trimmed_end, data.T).cwiseQuotient(data.root_v);
  // With few points per term, a spurious half of them can agree better than the true
  // curve: the refinement also runs from least squares, and the one that fits all points
  // better at the fixed scales wins (the trimmed start on ties). With many points per
  // term a group of outliers, not chance, is what agrees, and only the trimmed start is
  // refined.
  if (data.w.sum() < kFewPerTerm * static_cast<double>(p)) {
    int steps = 0;
    Vector pilot_end =
        irls_biweight(data.X, data.y, data.w, out.scale,
                      weighted_least_squares(data.X, data.y, data.w), kMaxIrls, kIrlsTol, steps);
    out.n_irls += steps;
    const Vector pilot_residuals = data.y - data.X * pilot_end;
    if (biweight_objective(pilot_residuals, data.w, out.scale) <
        biweight_objective(out.residuals, data.w, out.scale)) {
      trimmed_end.swap(pilot_end);
      out.residuals = pilot_residuals;
    }
  }
  out.beta = std::move(trimmed_end);
  weights_and_leverages(data, out);
}

// The trimmed fit as the result, at s0 over sqrt(v).
void finish_unweighted(const NoiseData& data, RobustFitResult& out) {
  out.residuals = residuals_at(data, out.beta);
  out.scale = data.root_v.cwiseInverse() * out.s0;
  weights_and_leverages(data, out);
}

} // namespace

const std::optional<ReplicateGroups>& SharedReplicateGroups::of(const Columns& T,
                                                                const VectorView& w) {
  std::call_once(found_, [&] { groups_ = replicate_groups(T, w); });
  return groups_;
}

RobustFitResult robust_fit(const Columns& T, const MultiIndexList& powers, const VectorView& y,
                           const VectorView& w, const VectorView& v, double zero,
                           const std::string& noise, std::uint64_t seed, const RobustStages& stages,
                           SharedReplicateGroups& groups) {
  const ScaledData scaled_data(T, powers, y, w, v, zero);
  const bool automatic = noise == "auto";
  const std::vector<NoiseKind> kinds = automatic ? std::vector<NoiseKind>{NoiseKind::constant}
                                                 : std::vector<NoiseKind>{noise_kind_of(noise)};
  const NoiseData data = scaled_data.data();
  RobustFitResult out = trimmed_stage(data, seed, stages);
  if (!stages.reweighting) {
    finish_unweighted(data, out);
    return scaled_data.unscaled(std::move(out));
  }
  NoiseChoice choice;
  choose_noise(data, groups, kinds, automatic, seed, out, choice);
  if (automatic && !choice.hopeless)
    choose_noise(data, groups, choice.varying_kinds, true, seed, out, choice);
  finish_fit(data, choice, out);
  return scaled_data.unscaled(std::move(out));
}

RobustFitResult auto_noise_first_stage(const Columns& T, const MultiIndexList& powers,
                                       const VectorView& y, const VectorView& w,
                                       const VectorView& v, double zero, std::uint64_t seed,
                                       const RobustStages& stages, SharedReplicateGroups& groups,
                                       AutoNoiseStage& stage) {
  const ScaledData scaled_data(T, powers, y, w, v, zero);
  const NoiseData data = scaled_data.data();
  RobustFitResult out = trimmed_stage(data, seed, stages);
  stage = AutoNoiseStage();
  if (!stages.reweighting) {
    stage.settled = true;
    finish_unweighted(data, out);
    return scaled_data.unscaled(std::move(out));
  }
  choose_noise(data, groups, {NoiseKind::constant}, true, seed, out, stage.choice);
  if (stage.choice.first) {
    // Constant noise could not be estimated: "auto" goes on at once, to the models of the mean.
    choose_noise(data, groups, stage.choice.varying_kinds, true, seed, out, stage.choice);
    stage.settled = true;
  } else {
    stage.settled = stage.choice.hopeless;
  }
  if (!stage.settled) stage.trimmed = out;
  finish_fit(data, stage.choice, out);
  return scaled_data.unscaled(std::move(out));
}

RobustFitResult auto_noise_second_stage(const Columns& T, const MultiIndexList& powers,
                                        const VectorView& y, const VectorView& w,
                                        const VectorView& v, double zero, std::uint64_t seed,
                                        SharedReplicateGroups& groups, const AutoNoiseStage& stage,
                                        std::optional<NoiseKind> only) {
  require(!stage.settled, "the stage is settled: its first fit is that of \"auto\"");
  const ScaledData scaled_data(T, powers, y, w, v, zero);
  const NoiseData data = scaled_data.data();
  RobustFitResult out = stage.trimmed;
  NoiseChoice choice = stage.choice;
  if (only) choice.varying_kinds = {*only};
  choose_noise(data, groups, choice.varying_kinds, true, seed, out, choice);
  finish_fit(data, choice, out);
  return scaled_data.unscaled(std::move(out));
}

void for_each_candidate(const std::vector<MultiIndexList>& candidates, Index rows,
                        const std::vector<std::size_t>& which,
                        const std::function<void(std::size_t)>& body) {
  std::vector<std::exception_ptr> failures(which.size());
  // The largest term sets first: their elemental starts double with every term, and one
  // taken last would leave the other threads idle while it runs.
  std::vector<std::size_t> order(which.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return candidates[which[a]].size() > candidates[which[b]].size();
  });
  const auto run = [&](int k) {
    const std::size_t slot = order[static_cast<std::size_t>(k)];
    try {
      body(which[slot]);
    } catch (...) {
      failures[slot] = std::current_exception();
    }
  };
  side_by_side(static_cast<int>(which.size()), rows, run);
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

} // namespace vasq
