#include "series/series.h"

#include <exception>
#include <limits>
#include <stdexcept>

#include "mcmc/threads.h"

namespace vasq {

namespace {

void check_stacking(const StackedSeries& s) {
  const Index rows = s.y.size();
  require(s.w.size() == rows && s.v.size() == rows, kDimensionMismatch);
  for (const ColumnView& column : s.T) require(column.size() == rows, kDimensionMismatch);
  const std::size_t n = s.n_candidates.size();
  // The parallel loop counts in int.
  require(n <= static_cast<std::size_t>(std::numeric_limits<int>::max()), kDimensionMismatch);
  require(s.offsets.size() == n + 1 && s.zero.size() == n && s.seeds.size() == n,
          kDimensionMismatch);
  require(s.offsets.front() == 0 && s.offsets.back() == rows, kDimensionMismatch);
  for (std::size_t k = 0; k < n; ++k) {
    require(s.offsets[k] <= s.offsets[k + 1], kDimensionMismatch);
    require(s.n_candidates[k] >= 1 && s.n_candidates[k] <= static_cast<Index>(s.candidates.size()),
            kDimensionMismatch);
  }
}

// The search and uncertainty of one data set's rows into `out`.
void fit_rows(const StackedSeries& s, std::size_t k, const Columns& T, const VectorView& y,
              const VectorView& w, const VectorView& v, SeriesFit& out) {
  const std::vector<MultiIndexList> candidates(s.candidates.begin(),
                                               s.candidates.begin() + s.n_candidates[k]);
  out.search = search_degrees(T, candidates, y, w, v, s.zero[k], s.noise, s.seeds[k]);
  const RobustFitResult& chosen = out.search.fits[out.search.best];
  out.uncertainty = fit_uncertainty({T, candidates[out.search.best], chosen.beta, y, w, v,
                                     chosen.weights, chosen.noise, s.zero[k], true});
}

// Data set k of several, its rows copied into storage of its own: Eigen's vectorised sums start
// at the first aligned element, so a view into the stack would add in another order than the
// data set's own array. (A lone data set is read in place: on large data a copy is the size of
// the input.)
void fit_stacked(const StackedSeries& s, std::size_t k, SeriesFit& out) {
  const Index begin = s.offsets[k], count = s.offsets[k + 1] - begin;
  std::vector<Vector> columns;
  columns.reserve(s.T.size());
  for (const ColumnView& column : s.T) columns.emplace_back(column.segment(begin, count));
  const Vector y = s.y.segment(begin, count), w = s.w.segment(begin, count),
               v = s.v.segment(begin, count);
  fit_rows(s, k, columns_of(columns), y, w, v, out);
}

} // namespace

std::vector<SeriesFit> fit_series(const StackedSeries& series) {
  check_stacking(series);
  const std::size_t n = series.n_candidates.size();
  std::vector<SeriesFit> out(n);
  // The loop's body must not throw: what is not an invalid argument of one data set (memory
  // running out) is raised after the loop, for the first data set it stopped.
  std::vector<std::exception_ptr> failures(n);
  parallel_for(static_cast<int>(n), [&](int j) {
    const auto k = static_cast<std::size_t>(j);
    try {
      if (n == 1)
        fit_rows(series, k, series.T, series.y, series.w, series.v, out[k]);
      else
        fit_stacked(series, k, out[k]);
    } catch (const std::invalid_argument& e) {
      out[k] = SeriesFit();
      out[k].error = e.what();
    } catch (...) {
      failures[k] = std::current_exception();
    }
  });
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
  return out;
}

} // namespace vasq
