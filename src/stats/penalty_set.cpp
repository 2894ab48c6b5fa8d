#include "stats/penalty_set.h"

namespace vasq {

namespace {

bool is_square_of(const Matrix& R, Index p) {
  return R.rows() == p && R.cols() == p;
}

} // namespace

void check_penalty_shapes(const PenaltySet& penalties, Index p) {
  if (is_applied(penalties.R1, penalties.gamma1))
    require(is_square_of(*penalties.R1, p), kDimensionMismatch);
  if (is_applied(penalties.R2, penalties.gamma2))
    require(is_square_of(*penalties.R2, p), kDimensionMismatch);
}

double quadratic_form(const Matrix& R, const Vector& beta, Vector& Rbeta) {
  if (R.rows() == 0) return 0.0;
  Rbeta.noalias() = R * beta;
  return beta.dot(Rbeta);
}

} // namespace vasq
