// The score that picks a degree among candidate fits of the same data: a trimmed BIC of
// leave-one-out residuals, plus the serial correlation the candidate leaves in its inliers.
#pragma once

#include "types.h"

namespace vasq {

// What the score reads of one candidate fit: per row its residual r_i, hat-matrix diagonal
// h_i (of the weighted least squares it ends on, rows weighted by w_i times their robustness
// weight over scale_i^2), noise sd scale_i and robustness weight (0 for a rejected row); its
// global noise scale s0 and the number of parameters it fitted, k.
struct ScoredFit {
  const Vector& residuals;
  const Vector& leverage;
  const Vector& scale;
  const Vector& weights;
  double s0;
  Index n_params;
};

// Row indices, as NumPy's argsort gives them.
using RowOrder = Eigen::Matrix<Index, Eigen::Dynamic, 1>;

// The parts of a score, lower is better: the trimmed likelihood term, the penalty k log W, the
// serial term, and the charge for the rows given up to a simpler candidate, which only the
// degree search sets (0 from degree_score).
struct DegreeScore {
  double trimmed = 0.0;
  double penalty = 0.0;
  double serial = 0.0;
  double given_up = 0.0;
};

// The weight h of the rows every candidate is judged on: max(floor((W + p + 1) / 2),
// min(W - 1, 2 p + 2)), at most W, with W the total weight and p the terms of the largest
// candidate. The half is the largest share that still leaves every candidate the breakdown
// point of the fits. On short series h rises to 2 p + 2 (all rows but one at most): a
// candidate fitted to its own best half of few points, with about as many residual degrees of
// freedom as terms, fits that half far below the noise by chance (at n = 14 a cubic picks out
// 9 of 14 clean points at a tenth of the noise sd in a quarter of data sets), and judged on
// that half alone it wins. The trade is breakdown: below 3 p + 3 points the criterion sets
// aside W - 2 p - 2 rows, fewer than half (2 of 14 for a largest candidate of 5 terms), and at
// least one. Below 30 rows search_degrees raises h to what the competitive candidates keep.
double criterion_mass(double W, Index largest_terms);

// The score of `fit` judged on its best rows up to the weight `mass` (every row from W on), over
// the rows of weights
// w > 0 (a weight m counts as m rows): criterion_mass for the high-breakdown candidates, the
// total weight W for least squares, whose fits keep every row and so would be judged on the
// best half of residuals that their outliers have pulled (on a quadratic with a tenth of the
// readings 30 sd high, the flat line through the crest of the curve then scored 1600 below the
// quadratic). `order` is the permutation of the rows that sorts them by x for one feature, and
// is empty for several (no serial term).
//
// trimmed + penalty is the BIC of the trimmed normal likelihood,
//   h log(T / (h c(h / N))) + (h / W) sum_i w_i log v_i + k log W
// (the trimmed likelihood estimator's BIC of Neykov, Filzmoser, Dimova and Neytchev, Comput.
// Stat. Data Anal. 52, 2007, with Schwarz's penalty at the total weight W: on clean lines of
// 15 to 200 points an unneeded term gained more than log h about twice as often, 8-18 %, as a
// chi-squared on one degree of freedom exceeds it, since each candidate picks its own best h
// points; log(W / h) more per term brings that back), with
// - e_i = r_i / (1 - h_i), h_i at most 0.99: the leave-one-out residuals of least squares,
//   so that a near-interpolating fit gains nothing; a rejected row has no leverage (its
//   residual is already a prediction), and a flexible fit to the few rows it keeps has their
//   high leverage. Below a total weight W of kSmallSampleMass (30), e_i = r_i / sqrt(1 - h_i),
//   the standardised residuals, whose variance under the model is the noise's at any
//   leverage: a leave-one-out residual's is the noise's over 1 - h_i, an implicit penalty of
//   about sum_H log(1 / (1 - h_i)) beside k log W, and on short series that is large and
//   grows with the terms (a quadratic through 6 of 7 points has leverages near 0.8 at both
//   ends, about 6 in all, a constant 1). At 7 points with one outlier at an end, the
//   quadratic then lost to a constant that kept the outlier: "auto" fits off by more than 3
//   noise sd 4.2 -> 1.7 % (1000 data sets), at 6-7 points at random x, clean or with one
//   outlier, 12-25 -> 5-12 %; a cubic beats a clean quadratic of 14 points in 8.5 % of
//   them, 6.6 % before. From 30 rows the leave-one-out residuals stay: there the implicit
//   penalty is about 2 k h / N, and standardised residuals let a sextic beat the true
//   quartic in 1 of 10 data sets of 60 points with 35 % outliers, and a quartic or quintic
//   beat the cubic under 40-45 % of 200 points on a shadow curve;
// - v_i = (scale_i / s0)^2, the shape of the candidate's noise model, its log averaged over
//   every row rather than summed over H: under the model the rows of H, chosen by their
//   standardised residuals, are a sample of the rows whatever their v_i, so both have the
//   same expectation, but over H a candidate gains log v_i for each noisy row it keeps out
//   of H by misfitting it. On a constant-CV calibration over 4 decades (200 readings) a
//   quintic that missed all 10 readings of the top standard by 13 sd scored 62 below the
//   true quadratic in the trimmed term, and 3 above it with log v_i averaged;
// - H the rows of smallest |e_i| / sqrt(v_i) up to weight h = `mass` (the last taken in part),
//   the same for every candidate: each is judged on the h rows it fits best, so with
//   criterion_mass a group of outliers short of half the weight (fewer on short series) never
//   enters, and the rows a candidate rejects beyond H do not enter T;
// - T = sum_H w_i e_i^2 / v_i, and k the parameters fitted (the terms, and the noise model's
//   parameters beyond its scale, which T / h profiles out);
// - N the weight of the candidate's inliers (robustness weight above 0) and c(a) the variance
//   of the central share a of a standard normal (1 for a >= 1): T / (h c(h / N)) estimates the
//   noise variance whichever share of its own inliers the h rows are (the consistency factor
//   of the trimmed scale, Rousseeuw and Leroy 1987). Without it a candidate that takes a
//   coherent group of outliers in has more inliers to pick the same h from, and scores lower
//   for that alone: on 15 of 60 points stacked 20 sd off at the end, a quartic through 11 of
//   them beat the quadratic that flags all 15 by 7. The factor favours fewer inliers in turn:
//   on 14 readings of a quadratic, a cubic that rejects one clean reading at an end gains 2.2
//   on it, and a curve of too low a degree that rejects the clean rows it misses gains more.
// T / (h c) is floored at 1e-18 (data of order one): an exact fit scores as the core's scale
// floor, not as minus infinity.
//
// serial = W_in max(0, 1 - D / V)^2 over the inliers in x order: u_i = r_i / scale_i,
// V = sum w_i u_i^2 / W_in, D = sum_j (u_j+1 - u_j)^2 / (2 (W_in - 1)) over consecutive
// inliers, W_in their weight; a row of weight m counts as m rows at one x, whose differences
// among themselves are 0. D / V is von Neumann's ratio (Ann. Math. Statist. 12, 1941), 1 - D / V
// the first-order serial correlation it implies, and the term the score statistic for that
// correlation, chi-squared on one degree of freedom when the residuals are noise; only positive
// correlation counts. A candidate that bends through a group of outliers leaves smooth misfit
// on the points around it, which the trimmed likelihood alone does not see.
//
// Throws std::invalid_argument on vectors whose lengths disagree, an order that is not a
// permutation of the rows, non-finite input, scales not positive, weights below 0 or not
// summing to a finite total of at least 1, counts below 0, a mass not above 0, and a score beyond
// the double range.
DegreeScore degree_score(const ScoredFit& fit, const VectorView& w, double mass,
                         const RowOrder& order);

} // namespace vasq
