#include "select/degree_score.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "robust/lts.h"
#include "robust/noise.h"

namespace vasq {

namespace {

// The largest leverage used: an exact fit's leverage of 1 would divide by zero.
constexpr double kMaxLeverage = 0.99;
// The smallest trimmed variance, for data of order one.
constexpr double kVarianceFloor = 1e-18;

void check_inputs(const ScoredFit& fit, const VectorView& w, const RowOrder& order) {
  const Index n = w.size();
  require(fit.residuals.size() == n && fit.leverage.size() == n && fit.scale.size() == n &&
              fit.weights.size() == n,
          kDimensionMismatch);
  require(fit.residuals.allFinite() && fit.leverage.allFinite() && fit.scale.allFinite() &&
              fit.weights.allFinite() && w.allFinite() && std::isfinite(fit.s0),
          "Non-finite input.");
  require(fit.s0 > 0.0 && (fit.scale.array() > 0.0).all(), "the noise scales must be positive");
  // A total below 1 leaves no row to judge (h = 0 at one term).
  require((w.array() >= 0.0).all() && w.sum() >= 1.0 && std::isfinite(w.sum()),
          "the weights must be >= 0 with a finite sum of at least 1");
  require(fit.n_params >= 0, "n_params must be >= 0");
  if (order.size() == 0) return;
  require(order.size() == n, kDimensionMismatch);
  std::vector<bool> seen(static_cast<std::size_t>(n), false);
  for (Index i : order) {
    require(i >= 0 && i < n && !seen[static_cast<std::size_t>(i)],
            "the order must be a permutation of the rows");
    seen[static_cast<std::size_t>(i)] = true;
  }
}

// The rows' squared scaled residuals, each with its row, in increasing order to a total weight
// of `mass`, ties in row order (as a stable sort gives them), from the rows of positive
// weight in row order: the smallest are selected and only they sorted, the rest sorted too
// only if the first ones fall short of `mass`. `least` is the least positive weight, by which
// at most mass / least + 1 rows are needed.
void sort_to_mass(std::vector<std::pair<double, Index>>& u2, const VectorView& w, double mass,
                  double least) {
  const double needed = std::ceil(mass / least) + 1.0;
  const auto first = u2.begin();
  const auto cut = needed < static_cast<double>(u2.size())
                       ? first + static_cast<std::ptrdiff_t>(needed)
                       : u2.end();
  if (cut != u2.end()) std::nth_element(first, cut, u2.end());
  std::sort(first, cut);
  double before = 0.0;
  for (auto it = first; it != cut; ++it) before += w[it->second];
  if (before < mass) std::sort(cut, u2.end());
}

// What a residual is divided by in the score: 1 - h, its leave-one-out value, but on short
// series sqrt(1 - h), its standardised value (degree_score).
double residual_divisor(double leverage, bool short_series) {
  const double kept = 1.0 - std::min(leverage, kMaxLeverage);
  return short_series ? std::sqrt(kept) : kept;
}

// h log(T / (h c(h / N))) + (h / W) sum_i w_i log v_i (degree_score).
double trimmed_likelihood(const ScoredFit& fit, const VectorView& w, double mass) {
  const bool short_series = w.sum() < kSmallSampleMass;
  std::vector<std::pair<double, Index>> u2;
  u2.reserve(static_cast<std::size_t>(w.size()));
  double inliers = 0.0, total = 0.0, log_shape = 0.0;
  double least = std::numeric_limits<double>::infinity();
  for (Index i = 0; i < w.size(); ++i) {
    if (!(w[i] > 0.0)) continue;
    const double shape = fit.scale[i] / fit.s0;
    total += w[i];
    least = std::min(least, w[i]);
    log_shape += w[i] * 2.0 * std::log(shape);
    const double e = fit.residuals[i] / (residual_divisor(fit.leverage[i], short_series) * shape);
    // 0 / 0 where a scale underflows against s0: no order of the rows can hold a NaN.
    require(!std::isnan(e), "the score overflows the double range");
    u2.emplace_back(e * e, i);
    if (fit.weights[i] > 0.0) inliers += w[i];
  }
  sort_to_mass(u2, w, mass, least);
  // Whole rows, then the remainder of h from the last.
  double before = 0.0, T = 0.0;
  for (std::size_t k = 0; k < u2.size() && before < mass; ++k) {
    const Index i = u2[k].second;
    T += std::min(mass - before, w[i]) * u2[k].first;
    before += w[i];
  }
  const double share = inliers > mass ? mass / inliers : 1.0;
  const double c = share < 1.0 ? central_variance(share) : 1.0;
  return mass * std::log(std::max(T / (mass * c), kVarianceFloor)) + mass / total * log_shape;
}

// W_in max(0, 1 - D / V)^2 of the inliers in x order (degree_score).
double serial_structure(const ScoredFit& fit, const VectorView& w, const RowOrder& order) {
  double total = 0.0, squares = 0.0, differences = 0.0, last = 0.0;
  Index count = 0;
  for (Index i : order) {
    if (!(w[i] > 0.0 && fit.weights[i] > 0.0)) continue;
    const double u = fit.residuals[i] / fit.scale[i];
    total += w[i], squares += w[i] * u * u;
    if (count++ > 0) differences += (u - last) * (u - last);
    last = u;
  }
  if (total <= 1.0 || count < 2 || !(squares > 0.0)) return 0.0;
  const double V = squares / total;
  const double D = differences / (2.0 * (total - 1.0));
  const double correlation = std::max(0.0, 1.0 - D / V);
  return total * correlation * correlation;
}

} // namespace

double criterion_mass(double W, Index largest_terms) {
  const double p = static_cast<double>(largest_terms);
  const double half = std::floor((W + p + 1.0) / 2.0);
  return std::min(W, std::max(half, std::min(W - 1.0, 2.0 * p + 2.0)));
}

DegreeScore degree_score(const ScoredFit& fit, const VectorView& w, double mass,
                         const RowOrder& order) {
  check_inputs(fit, w, order);
  const double total = w.sum();
  require(mass > 0.0, "the mass must be > 0");
  DegreeScore score;
  // Beyond W every row is judged: a caller's sum of w may round above the core's.
  score.trimmed = trimmed_likelihood(fit, w, std::min(mass, total));
  score.penalty = static_cast<double>(fit.n_params) * std::log(total);
  if (order.size() > 0) score.serial = serial_structure(fit, w, order);
  // Residuals far beyond their scales (data not of order one) would score as infinities,
  // and the difference of two of them is no comparison.
  require(std::isfinite(score.trimmed) && std::isfinite(score.penalty) &&
              std::isfinite(score.serial),
          "the score overflows the double range");
  return score;
}

} // namespace vasq
