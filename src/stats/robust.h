// Robust residual statistics: median, median absolute deviation, success rate.
#pragma once

#include "types.h"

namespace vasq {

// Median of `w` by selection, which reorders `w`. Even lengths average the two middle order
// statistics as (lower + upper) * 0.5. Empty input gives 0.0.
double median(Vector& w);

// Raw median absolute deviation median(|y - median(y)|), no consistency factor, computed in
// its argument, the only working copy. Empty input gives 0.0; with NaN entries the value is
// unspecified.
double mad(Vector y);

// count / n floored at 1/(2n), so that its logarithm stays finite; NaN for n = 0.
double success_rate(double count, double n);

// Fraction of the n = yt.size() pairs with eps > |yp[i] - yt[i]| (strict), floored at
// 1/(2n) so that its logarithm stays finite. Entries of `yp` beyond n are ignored.
// Empty `yt` gives NaN. Throws "Dimension mismatch." when yp is shorter than yt.
// Allocation-free: it runs once per energy evaluation of the sampler.
double compute_sr(const Vector& yp, const Vector& yt, double eps);

} // namespace vasq
