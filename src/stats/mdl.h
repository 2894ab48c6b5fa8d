// Minimum-description-length scores: lower is better.
#pragma once

#include "stats/penalty_set.h"
#include "types.h"

namespace vasq {

// Hit tolerance derived from the observations: 0.4 * mad(yt), or 0.4 when that mad is not
// positive (zero, or NaN).
double hit_tolerance(const Vector& yt);

// The model part of every score over n observations: (t / n) * k with t = ln(2H) * k for
// k > 0, else 0.
double mdl_model_term(int k, int H, double n);

// model - ln(sr) * n, then gamma * beta.(R beta) added for each applied penalty, R1 first,
// when both `beta` and `penalties` are given. `Rbeta` receives R beta (quadratic_form).
double mdl_score_of_rate(double model, double sr, double n, const Vector* beta,
                         const PenaltySet* penalties, Vector& Rbeta);

// mdl_score_of_rate of the model term of k, H and n = yt.size() and of
// sr = compute_sr(yp, yt, eps). Checks only what compute_sr checks: callers validate the
// penalty shapes once (check_penalty_shapes).
double mdl_score_core(const Vector& yp, const Vector& yt, int k, int H, double eps,
                      const Vector* beta, const PenaltySet* penalties);

// Unregularised score with the tolerance of `yt`.
double mdl_score(const Vector& yp, const Vector& yt, int k, int H);

// Regularised score; an applied R1/R2 must be p x p with p = beta.size(), else
// "Dimension mismatch.". A penalty with weight 0.0 is never read nor checked.
double mdl_score_reg(const Vector& yp, const Vector& yt, int k, int H, const Vector& beta,
                     const Matrix& R1, const Matrix& R2, double gamma1, double gamma2);

} // namespace vasq
