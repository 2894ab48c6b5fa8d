// Derivatives of the monomials t^e, the rules shared by every smoothness penalty and the
// boundary matrix.
#pragma once

#include "types.h"

namespace vasq {

// The order-th derivative (order 0, 1 or 2) of t^e at t, for e >= 0: t^e, e t^(e-1) and
// e (e-1) t^(e-2), zero where the exponent would fall below 0. Powers come from std::pow with
// an integer exponent, so t^0 is 1 for every t (0 and NaN included).
double monomial_derivative(int order, int e, double t);

// out(e) = monomial_derivative(order, e, t) for e = 0 .. out.size() - 1; out keeps its size.
void monomial_derivatives(int order, double t, Vector& out);

// points.size() x (deg + 1) table T(j, e) = monomial_derivative(order, e, points(j)).
Matrix monomial_derivative_table(int order, const Vector& points, int deg);

} // namespace vasq
