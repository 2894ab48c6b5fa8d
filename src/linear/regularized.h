// Penalised least squares through the regularised normal equations.
#pragma once

#include "types.h"

namespace vasq {

// Solves (Phi'Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi'y with LDLT, n = y.size();
// a null or zero-weighted penalty is not read. Throws "Dimension mismatch." for a y of the
// wrong length or an applied penalty that is not p x p. Phi without columns gives an empty
// vector.
Vector fit_regularized_linear(const Matrix& Phi, const Vector& y, const Matrix* R1,
                              const Matrix* R2, double gamma1, double gamma2, double ridge);

} // namespace vasq
