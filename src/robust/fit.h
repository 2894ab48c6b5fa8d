// The high-breakdown polynomial fit: elemental starts, concentration, MM refinement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "basis/design.h"
#include "robust/mm.h"
#include "robust/noise.h"
#include "types.h"

namespace vasq {

// Stages that can be switched off: without elemental starts the only start is weighted least
// squares on every row; without concentration the best start is kept as drawn; without
// reweighting the trimmed fit is the result.
struct RobustStages {
  bool elemental = true;
  bool concentration = true;
  bool reweighting = true;
};

// Rows above which starts and concentration run on a subsample of this many rows.
inline constexpr Index kSubsampleRows = 1500;
// Fewest random p-subsets of the trimmed fit, whatever elemental_start_count(p) says. A clean
// subset is only a start, and its concentration need not end at the clean readings' fit: with
// few terms the count is 7-72, and on a quadratic with a window of 32 of 80 readings 10 sd off,
// 1 random state in 10 ended on the window at 35 subsets, rejecting none of it. FAST-LTS draws
// 500 whatever p (Rousseeuw & Van Driessen, Data Min. Knowl. Disc. 12, 2006); 100 keep the
// few-term candidates at a fraction of the cost of the many-term ones. The noise model's
// regression of log |r| keeps elemental_start_count: it trims only a quarter, and more
// subsets found it minima that take in a window of more than a quarter of the readings.
inline constexpr int kMinStarts = 100;
// Starts improved by concentration (besides least squares on every row).
inline constexpr int kConcentrated = 10;
// Lowest scale, for data of order one: a fit exact on most points keeps exactly those.
inline constexpr double kScaleFloor = 1e-9;
// Points per term below which a chance half can agree better than the true curve: the
// refinement also starts from least squares, the scale may restart from the M-scale, and
// "auto" fits the varying noise models whatever the trend of the constant fit's residuals.
inline constexpr double kFewPerTerm = 10.0;

struct RobustFitResult {
  Vector beta;              // coefficients of the design's columns
  Vector weights;           // biweight robustness weights in [0, 1] of the final fit, 0 = outlier
  Vector scale;             // noise sd at every row: the noise model's over sqrt(v)
  Vector residuals;         // y - X beta
  Vector leverage;          // hat matrix diagonal of the rows weighted by w weights / scale^2
  double s0 = 0.0;          // high-breakdown scale of the trimmed fit
  NoiseModel noise;         // the noise model chosen
  Vector noise_scores;      // criterion of every kind in NoiseKind order, NaN where not fitted
  double trimmed_rms = 0.0; // root of the trimmed objective of the start kept over its mass h
  int n_starts = 0;
  int n_csteps = 0;
  int n_irls = 0;
  // "auto" kept constant noise only because the varying model that would have won takes back
  // a one-sided cluster of the rows constant noise rejects (readmits_one_sided_cluster).
  bool cluster_veto = false;
  // Constant noise kept by "auto" without replicates, though the rows it keeps show on their
  // own the spread trend a varying model needs (kept_rows_trend, fit.cpp).
  bool kept_rows_trend = false;
};

// The n x p design of the terms `powers` (exponent lists, one entry per feature) at the
// feature columns T: column j is the product over k of T[k]^powers[j][k]. Throws
// std::invalid_argument on shapes that disagree, non-finite features, negative exponents or
// a design that overflows.
Matrix term_design(const Columns& T, const MultiIndexList& powers);

// Throws what term_design throws on T and powers themselves: shapes that disagree,
// non-finite features or negative exponents.
void check_terms(const Columns& T, const MultiIndexList& powers);

// The rows [begin, begin + out.rows()) of term_design(T, powers) written into `out`, of
// T and powers that check_terms accepts; throws std::invalid_argument where they overflow.
void term_design_rows(const Columns& T, const MultiIndexList& powers, Index begin,
                      Eigen::Ref<Matrix> out);

// The rows of positive weight w_i grouped by equal features T: `rows` sorted, group j spanning
// rows[starts[j]] .. rows[starts[j + 1] - 1].
struct ReplicateGroups {
  std::vector<Index> rows;
  std::vector<std::size_t> starts;
};

// The replicate groups of the rows, found once, by the first fit that needs them (after it has
// checked T and w), and shared by the fits of the same rows from any thread: none unless the
// rows of positive weight repeat their features twice over on average (pure error then has as
// many degrees of freedom as there are distinct points, and the spread at one point measures
// the noise apart from any curve).
class SharedReplicateGroups {
 public:
  const std::optional<ReplicateGroups>& of(const Columns& T, const VectorView& w);

 private:
  std::once_flag found_;
  std::optional<ReplicateGroups> groups_;
};

// Fits y ~ X beta, X = term_design(T, powers), with per-row weights w >= 0 (a zero weight is the
// row's absence, an integer weight its repetition) and relative inverse variances v > 0 (the
// noise sd of row i is the noise model's over sqrt(v_i)); `zero` is the value of y at a zero
// signal, from which the models of the mean measure it, and `noise` names the noise model or
// is "auto":
// 1. elemental_start_count(p) random p-subsets (at least kMinStarts), on a subsample of
//    kSubsampleRows rows drawn from the seed when there are more, each scored by the trimmed
//    objective with h = trimmed_mass(W, p), W the total weight (half, and below
//    kSmallSampleMass all but a quarter of the weight beyond the terms, at least one
//    reading), rows scaled by sqrt(v);
// 2. concentration of the best kConcentrated and of least squares, the lowest objective kept;
// 3. s0, the scale of its residuals times sqrt(v) on every row within 2.5 s0 (a reweighted
//    trimmed scale, consistent at the normal, with a small-sample factor when p / W exceeds
//    0.12; from their biweight M-scale instead when it ends below half of that with fewer
//    than kFewPerTerm points per term);
// 4. the noise model and biweight IRLS (c = kBiweightC) at its scales, jointly (fit_noise);
//    with "auto" constant noise, then power and two_component, or instead log_linear where
//    the spread trends with the features by kFeatureTrendLead more than with the mean
//    (auto_varying_kinds, fit.cpp), the lowest criterion kept (the simpler on ties), a
//    varying model charged 6 more unless the rows repeat their features twice over on
//    average (replicates tell a noise that grows from outliers; without them a varying
//    model needs strong evidence), with replicates every model charged the code length of
//    the readings it rejects at each level (rejection_code_length, fit.cpp), and then none
//    chosen that takes back a one-sided cluster of the readings constant noise rejects (a
//    sign test at 1 %); a family of varying models and its start are skipped when the root
//    of its spread_trend statistic (on the constant fit's residuals, with replicates also
//    on the deviations from the replicate means, the larger) is below 1.96, or, with at
//    least kFewPerTerm points per term, below sqrt(log W + margin) - kTrendSlack
//    (trend_hopeless, fit.cpp);
// 5. with fewer than 10 points per term also IRLS from least squares at those scales, the
//    lower biweight objective kept.
// `groups` are those of T and w. The fit runs on columns scaled to [1, 2), and on y and w
// scaled down when huge, by exact powers of two. Results are the same bits on any number of
// threads, and finite: throws std::invalid_argument on shapes that disagree, non-finite input,
// negative weights, weights whose sum is zero, overflows or falls below p, v not positive, an
// unknown noise model, a design that overflows, and coefficients, residuals or noise parameters
// beyond the double range.
RobustFitResult robust_fit(const Columns& T, const MultiIndexList& powers, const VectorView& y,
                           const VectorView& w, const VectorView& v, double zero,
                           const std::string& noise, std::uint64_t seed, const RobustStages& stages,
                           SharedReplicateGroups& groups);

// A side of its curve for every row, +1 above, -1 below or 0, in two bits: "auto" holds the
// sides of the rows its constant fit rejects through a search, one set per candidate, where
// a byte a row was 7 MiB of the peak at 10^6 rows. Empty until sized.
class RowSides {
 public:
  RowSides() = default;
  explicit RowSides(Index n) : size_(n), bits_(static_cast<std::size_t>((n + 3) / 4), 0) {}
  bool empty() const { return size_ == 0; }
  void set(Index i, int side) {
    const int code = side > 0 ? 1 : side < 0 ? 2 : 0;
    bits_[static_cast<std::size_t>(i / 4)] |= static_cast<std::uint8_t>(code << (2 * (i % 4)));
  }
  int operator[](Index i) const {
    const int code = (bits_[static_cast<std::size_t>(i / 4)] >> (2 * (i % 4))) & 3;
    return code == 1 ? 1 : code == 2 ? -1 : 0;
  }

 private:
  Index size_ = 0;
  std::vector<std::uint8_t> bits_;
};

// "auto"'s choice among the noise kinds fitted so far, in its order (robust_fit, step 4): the
// fit kept, without its vectors of the rows, what it was charged, what constant noise was
// charged and the sides of the rows it rejects, the varying kinds it goes on to, and whether
// they are hopeless.
struct NoiseChoice {
  NoiseFit chosen;
  bool first = true;
  double best_charged = 0.0;
  double constant_charged = std::numeric_limits<double>::infinity();
  RowSides rejected_by_constant;
  std::vector<NoiseKind> varying_kinds = {NoiseKind::power, NoiseKind::two_component};
  bool hopeless = false;
  // A varying kind that would have won was set aside as readmitting a one-sided cluster.
  bool cluster_veto = false;
  // The rows the constant fit keeps trend on their own (kept_rows_trend, fit.cpp).
  bool kept_rows_trend = false;
};

// What robust_fit with "auto" holds once it has fitted constant noise, in the fit's scaled
// units: the trimmed stage's result without its vectors of the rows (its residuals are computed
// again from beta) and the choice so far. `settled` when "auto" fits no varying model from it:
// they are hopeless, reweighting is off, or constant noise could not be estimated and they
// were fitted at once.
struct AutoNoiseStage {
  RobustFitResult trimmed;
  NoiseChoice choice;
  bool settled = false;
};

// robust_fit with noise "auto" in two stages, so that a caller can stop after the first. The
// first returns the fit under constant noise, the same bits as robust_fit with noise
// "constant", and leaves in `stage` what the second goes on from; when `stage.settled` its fit
// is also that of "auto". The second, for a stage that is not settled and the same arguments,
// returns robust_fit's fit with "auto", bit for bit, without repeating the trimmed stage or the
// constant fit; given `only`, "auto" chooses between constant noise and that kind alone.
RobustFitResult auto_noise_first_stage(const Columns& T, const MultiIndexList& powers,
                                       const VectorView& y, const VectorView& w,
                                       const VectorView& v, double zero, std::uint64_t seed,
                                       const RobustStages& stages, SharedReplicateGroups& groups,
                                       AutoNoiseStage& stage);
RobustFitResult auto_noise_second_stage(const Columns& T, const MultiIndexList& powers,
                                        const VectorView& y, const VectorView& w,
                                        const VectorView& v, double zero, std::uint64_t seed,
                                        SharedReplicateGroups& groups, const AutoNoiseStage& stage,
                                        std::optional<NoiseKind> only = std::nullopt);

// body(j) for each j of `which`, indices of `candidates`: the largest term sets first, side by
// side on the threads of parallel_for when the design has at most kRowsFittedTogether rows,
// one after the other beyond (only one candidate's working set is held). A j that throws leaves
// the others to finish, and the first failure in the order of `which` is rethrown.
inline constexpr Index kRowsFittedTogether = 100000;
void for_each_candidate(const std::vector<MultiIndexList>& candidates, Index rows,
                        const std::vector<std::size_t>& which,
                        const std::function<void(std::size_t)>& body);

} // namespace vasq
