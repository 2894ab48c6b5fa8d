// The degree search: every candidate term set fitted robustly and scored, one chosen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "basis/design.h"
#include "robust/fit.h"
#include "select/degree_score.h"
#include "types.h"

namespace vasq {

// How far below a lower degree's score a higher one must be to win: a difference of 2 in BIC
// is the least that counts as positive evidence (Kass & Raftery, J. Am. Stat. Assoc. 90,
// 1995); nearer, the data do not tell the two apart, and the simpler is kept (Occam's window,
// Madigan & Raftery, J. Am. Stat. Assoc. 89, 1994).
inline constexpr double kParsimony = 2.0;

// How far above the chosen degree's constant-noise score another degree is fitted again with
// a log-linear sd chosen there: by more than 10, very strong evidence (Kass & Raftery, JASA
// 90, 1995), it would need to gain that much more than the chosen degree from a sd over the
// features that both fit, and at a degree that misses a turning curve such a gain comes from
// reading the misfit as noise. Each refit costs a noise fit of its own. (The models of the
// mean are refitted at every degree: under constant noise the noisy end dominates the scores
// of a signal that grows, and the degree they end at lies beyond any such reach.)
inline constexpr double kRefitReach = 10.0;

// The first of `scores` (the lowest degree) within kParsimony of the lowest. A flexible
// candidate that scores a hair below the true degree has usually bought it by fitting a few
// clean points more closely, or by bending towards a group of outliers; which of two near-equal
// scores is lower then changes with the random starts. Throws std::invalid_argument on no
// scores or a NaN.
std::size_t parsimonious(const std::vector<double>& scores);

// The candidates' fits, in their order, without the residuals, scales and leverages that only
// their scores read, and but for the chosen one without their robustness weights; the scores'
// parts; the one chosen.
struct DegreeSearch {
  std::vector<RobustFitResult> fits;
  std::vector<DegreeScore> scores;
  std::size_t best = 0;
};

// robust_fit of y on each term set of `candidates` (lowest degree first), each scored by
// degree_score among them (at criterion_mass of the most terms of any, the rows in the order of
// the one feature, none for several) and the parsimonious one chosen. Below a total weight of
// 30 the mass is the most weight of rows that a candidate within 6 of the lowest score at
// criterion_mass keeps, if that is more: on so few rows a candidate would otherwise gain by
// rejecting clean ones (under "auto", the constant-noise fits decide it); from 30 on, a
// candidate pays instead for the rows it gives up to a simpler competitive one, net of those it
// takes in (the given_up part of its score; charge_given_up). Any named noise model is
// fitted to every candidate. "auto" chooses the noise model once: every candidate is first
// fitted under constant noise, and only when "auto" fits a varying model at the degree those
// scores choose is every candidate fitted with "auto" and scored again. Where the noise is
// constant the varying models of other degrees are then never fitted: at a degree too low for
// the curve, the misfit reads as noise that grows with the mean, which is the curve's, not the
// noise's. Beside a varying model, a candidate that keeps constant noise only by its fit's
// cluster_veto is not chosen, and its score is NaN; so is the degree the constant scores
// choose, when its kept rows trend on their own (kept_rows_trend) and a varying fit of a candidate
// of more terms takes in the rows it rejects without giving up a tenth as many of its own; then
// every open candidate is fitted again and scored, within kRefitReach or not, and none that keeps
// constant noise though its kept rows trend is chosen. The fits run side by side on the threads
// (for_each_candidate), so the result is the same bits on any number of them. Throws what
// robust_fit and degree_score throw, for the first candidate in order that fails.
DegreeSearch search_degrees(const Columns& T, const std::vector<MultiIndexList>& candidates,
                            const VectorView& y, const VectorView& w, const VectorView& v,
                            double zero, const std::string& noise, std::uint64_t seed);

} // namespace vasq
