// Least trimmed squares: random elemental starts and concentration steps.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "types.h"

namespace vasq {

// A coefficient vector and its trimmed objective.
struct TrimmedFit {
  Vector beta;
  double objective = 0.0;
};

// Reusable scratch of trimmed_objective: squares for a selection when every weight is 1,
// (square, weight) pairs for a sort otherwise.
struct TrimScratch {
  std::vector<double> squares;
  std::vector<std::pair<double, double>> pairs;
};

// The weighted trimmed sum of squares: the smallest sum of w_i r_i^2 over a weight mass h,
// the residuals taken in increasing |r| and the last one in part.
double trimmed_objective(const Vector& r, const VectorView& w, double h, bool unit_weights,
                         TrimScratch& work);

// Total weight below which the trimmed objective sets aside at most a quarter of the weight
// beyond the p terms (and at least one reading where the half did), not half of it. The
// better half of a few readings is chosen among many subsets: at 15 readings and 3 terms,
// 9 readings that a curve through them fits far below the noise are common, and one clean
// fit in seven then rejects clean readings against that scale (coefficient intervals
// cover 91-92 %, not 95). Trimming 3 of the 15 leaves such a chance subset less room (one
// clean fit in twelve), at a breakdown of max(1, floor((W - p) / 4)) readings: 1 in 6 at
// 3 terms, 3 in 15, 4 in 21 at 4, 6 in 29 at 3.
inline constexpr double kSmallSampleMass = 30.0;

// The weight mass h of the trimmed objective at total weight W and p terms: the largest
// share with the highest breakdown, floor((W + p + 1) / 2), and below kSmallSampleMass at
// least W - max(1, floor((W - p) / 4)); at most W. One reading is set aside even where a
// quarter is none (6 readings, 3 terms): a least-squares start would take in any outlier.
inline double trimmed_mass(double W, Index p) {
  const double half = std::floor((W + static_cast<double>(p) + 1.0) / 2.0);
  if (!(W < kSmallSampleMass)) return half;
  const double set_aside = std::max(1.0, std::floor((W - static_cast<double>(p)) / 4.0));
  return std::min(W, std::max(half, W - set_aside));
}

// a < b with NaN (an overflowing fit) above everything: a strict weak order for sorting.
inline bool lower_objective(double a, double b) {
  return !std::isnan(a) && (std::isnan(b) || a < b);
}

// Number of random p-subsets for a clean one with probability 0.99 at 50 % contamination,
// ceil(log(0.01) / log(1 - 0.5^p)), at most kMaxStarts.
inline constexpr int kMaxStarts = 3000;
int elemental_start_count(Index p);

// Rows, spread evenly over the sample, by whose trimmed objective the starts are ranked.
inline constexpr Index kScoreRows = 128;

// `n_starts` elemental fits and one concentration step each on the scoring rows, start k drawn from
// its own random stream keyed by (seed, k): p distinct rows of positive weight, more rows while
// they do not reach the rank `rank` of the design, solved exactly. Starts run in parallel and are
// merged in index order, so the result does not depend on the number of threads. Returns the `keep`
// lowest trimmed objectives over the scoring rows (h from their weight), ties to the lower start.
std::vector<TrimmedFit> best_elemental_fits(const Matrix& X, const VectorView& y,
                                            const VectorView& w, Index rank, int n_starts,
                                            std::uint64_t seed, int keep);

// Concentration steps from `start`: least squares on the weight mass h of smallest |r|, as
// long as the trimmed objective falls (at most max_steps). `steps` receives the count.
TrimmedFit concentrate(const Matrix& X, const VectorView& y, const VectorView& w, double h,
                       TrimmedFit start, int max_steps, int& steps);

// The end of lowest objective among concentrations from `starts`: first_steps steps for each,
// then to convergence (max_steps) for the `converged` best of them, ties to the earlier start
// (Rousseeuw & Van Driessen's selective iteration: a start that is not among the best after
// two steps seldom ends best). `steps` receives the total count.
TrimmedFit best_concentrated(const Matrix& X, const VectorView& y, const VectorView& w, double h,
                             std::vector<TrimmedFit> starts, int first_steps, std::size_t converged,
                             int max_steps, int& steps);

} // namespace vasq
