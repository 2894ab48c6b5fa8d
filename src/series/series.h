// Many data sets fitted in one call: each one's degree search and the uncertainty of the curve
// it chooses, the data sets spread over the threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "select/select.h"
#include "types.h"
#include "uncertainty/uncertainty.h"

namespace vasq {

// Data sets stacked in rows: rows offsets[s] .. offsets[s + 1] of the feature columns T and of
// y, w and v (scaled as search_degrees takes them) are data set s, which tries the first
// n_candidates[s] term sets of `candidates` (lowest degree first) under `noise`, with its own
// scaled zero signal and seed.
struct StackedSeries {
  const Columns& T;
  VectorView y;
  VectorView w;
  VectorView v;
  const std::vector<Index>& offsets;
  const std::vector<MultiIndexList>& candidates;
  const std::vector<Index>& n_candidates;
  const std::vector<double>& zero;
  const std::vector<std::uint64_t>& seeds;
  const std::string& noise;
};

// One data set's result: its search and the uncertainty of the fit it chose, or the message of
// the invalid argument that stopped it (none when it succeeded).
struct SeriesFit {
  DegreeSearch search;
  FitUncertainty uncertainty;
  std::optional<std::string> error;
};

// For each data set, search_degrees and the chosen fit's fit_uncertainty (robust): the same
// bits as those two calls on that data set alone, on any number of threads. Several data sets
// run side by side, each on one thread; a lone one runs its candidates side by side instead. A
// data set that either call rejects as an invalid argument reports the message in its own
// result and leaves the others alone. Throws std::invalid_argument on offsets that are not a
// non-decreasing cover of the rows from 0, per data set vectors of another length, a candidate
// count outside [1, candidates], and columns whose lengths disagree.
std::vector<SeriesFit> fit_series(const StackedSeries& series);

} // namespace vasq
