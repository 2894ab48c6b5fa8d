#include "select/degree_search.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "robust/noise.h"

namespace vasq {

namespace {

// The rows in increasing order of the one feature, ties in row order (NumPy's stable
// argsort); none for several features.
RowOrder feature_order(const std::vector<Vector>& T) {
  if (T.size() != 1) return RowOrder();
  const Vector& x = T.front();
  std::vector<Index> rows(static_cast<std::size_t>(x.size()));
  std::iota(rows.begin(), rows.end(), Index{0});
  std::stable_sort(rows.begin(), rows.end(), [&x](Index a, Index b) { return x[a] < x[b]; });
  return Eigen::Map<const RowOrder>(rows.data(), x.size());
}

double total(const DegreeScore& score) {
  return score.trimmed + score.penalty + score.serial;
}

std::vector<double> totals(const std::vector<DegreeScore>& scores) {
  std::vector<double> out;
  for (const DegreeScore& score : scores) out.push_back(total(score));
  return out;
}

// The fit's score, then its vectors that only the score reads dropped: on large data each is
// the size of the input.
DegreeScore scored(RobustFitResult& fit, const Vector& w, std::size_t features, Index largest,
                   const RowOrder& order) {
  const Index k = fit.beta.size() + free_params(fit.noise.kind, features) - 1;
  const DegreeScore score = degree_score(
      {fit.residuals, fit.leverage, fit.scale, fit.weights, fit.s0, k}, w, largest, order);
  fit.residuals = Vector(), fit.leverage = Vector(), fit.scale = Vector();
  return score;
}

} // namespace

std::size_t parsimonious(const std::vector<double>& scores) {
  require(!scores.empty(), kDimensionMismatch);
  for (double score : scores) require(!std::isnan(score), "Non-finite input.");
  const double lowest = *std::min_element(scores.begin(), scores.end());
  std::size_t j = 0;
  while (!(scores[j] <= lowest + kParsimony)) ++j;
  return j;
}

DegreeSearch search_degrees(const std::vector<Vector>& T,
                            const std::vector<MultiIndexList>& candidates, const Vector& y,
                            const Vector& w, const Vector& v, double zero, const std::string& noise,
                            std::uint64_t seed) {
  require(!candidates.empty(), kDimensionMismatch);
  Index largest = 0;
  for (const MultiIndexList& powers : candidates)
    largest = std::max(largest, static_cast<Index>(powers.size()));
  const RowOrder order = feature_order(T);
  const RobustStages stages;
  const std::size_t m = candidates.size();
  DegreeSearch out;
  out.fits.resize(m);
  out.scores.resize(m);
  std::vector<std::size_t> all(m);
  std::iota(all.begin(), all.end(), std::size_t{0});
  const auto score = [&](std::size_t j) {
    out.scores[j] = scored(out.fits[j], w, T.size(), largest, order);
  };
  if (noise != "auto") {
    for_each_candidate(candidates, y.size(), all, [&](std::size_t j) {
      out.fits[j] = robust_fit(T, candidates[j], y, w, v, zero, noise, seed, stages);
      score(j);
    });
    out.best = parsimonious(totals(out.scores));
    return out;
  }
  std::vector<AutoNoiseStage> first(m);
  for_each_candidate(candidates, y.size(), all, [&](std::size_t j) {
    out.fits[j] = auto_noise_first_stage(T, candidates[j], y, w, v, zero, seed, stages, first[j]);
    score(j);
  });
  out.best = parsimonious(totals(out.scores));
  if (first[out.best].settled) return out;
  const std::size_t at = out.best;
  out.fits[at] = auto_noise_second_stage(T, candidates[at], y, w, v, zero, seed, first[at]);
  score(at);
  if (out.fits[at].noise.kind == NoiseKind::constant) return out;
  std::vector<std::size_t> open;
  for (std::size_t j = 0; j < m; ++j)
    if (j != at && !first[j].settled) open.push_back(j);
  for_each_candidate(candidates, y.size(), open, [&](std::size_t j) {
    out.fits[j] = auto_noise_second_stage(T, candidates[j], y, w, v, zero, seed, first[j]);
    score(j);
  });
  out.best = parsimonious(totals(out.scores));
  return out;
}

} // namespace vasq
