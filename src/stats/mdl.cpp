#include "stats/mdl.h"

#include <cmath>

#include "stats/robust.h"

namespace vasq {

double hit_tolerance(const Vector& yt) {
  const double s = mad(yt);
  return s > 0 ? s * 0.4 : 1.0 * 0.4;
}

double mdl_model_term(int k, int H, double n) {
  double t = 0.0;
  if (k > 0) t = std::log(2.0 * static_cast<double>(H)) * k;
  return (t / n) * k;
}

double mdl_score_of_rate(double model, double sr, double n, const Vector* beta,
                         const PenaltySet* penalties, Vector& Rbeta) {
  double score = model - std::log(sr) * n;
  if (beta != nullptr && penalties != nullptr) {
    if (is_applied(penalties->R1, penalties->gamma1))
      score = quadratic_form(*penalties->R1, *beta, Rbeta) * penalties->gamma1 + score;
    if (is_applied(penalties->R2, penalties->gamma2))
      score = quadratic_form(*penalties->R2, *beta, Rbeta) * penalties->gamma2 + score;
  }
  return score;
}

double mdl_score_core(const Vector& yp, const Vector& yt, int k, int H, double eps,
                      const Vector* beta, const PenaltySet* penalties) {
  const double n = static_cast<double>(yt.size());
  Vector Rbeta;
  return mdl_score_of_rate(mdl_model_term(k, H, n), compute_sr(yp, yt, eps), n, beta, penalties,
                           Rbeta);
}

double mdl_score(const Vector& yp, const Vector& yt, int k, int H) {
  return mdl_score_core(yp, yt, k, H, hit_tolerance(yt), nullptr, nullptr);
}

double mdl_score_reg(const Vector& yp, const Vector& yt, int k, int H, const Vector& beta,
                     const Matrix& R1, const Matrix& R2, double gamma1, double gamma2) {
  const PenaltySet penalties{&R1, &R2, gamma1, gamma2};
  check_penalty_shapes(penalties, beta.size());
  return mdl_score_core(yp, yt, k, H, hit_tolerance(yt), &beta, &penalties);
}

} // namespace vasq
