#include "basis/monomials.h"

#include <cmath>
#include <cstdint>

namespace vasq {

double monomial_derivative(int order, int e, double t) {
  switch (order) {
  case 0:
    return std::pow(t, e);
  case 1:
    return e < 1 ? 0.0 : e * std::pow(t, e - 1);
  default:
    // e (e - 1) is an exact integer; 64 bits keep it exact for every int exponent.
    return e < 2 ? 0.0 : static_cast<double>(std::int64_t{e} * (e - 1)) * std::pow(t, e - 2);
  }
}

void monomial_derivatives(int order, double t, Vector& out) {
  for (Index e = 0; e < out.size(); ++e)
    out(e) = monomial_derivative(order, static_cast<int>(e), t);
}

Matrix monomial_derivative_table(int order, const Vector& points, int deg) {
  Matrix T(points.size(), Index{deg} + 1);
  for (Index e = 0; e < T.cols(); ++e)
    for (Index j = 0; j < T.rows(); ++j)
      T(j, e) = monomial_derivative(order, static_cast<int>(e), points(j));
  return T;
}

} // namespace vasq
