// Fused prediction and hit count of the sampler's energy, without storing the prediction.
// Plain pointers: this concern's translation unit includes no Eigen, so that it can also be
// compiled for AVX2 without letting Eigen's own kernels change their rounding.
#pragma once

#include <cstddef>

namespace vasq {

// The number of rows i < m with eps > |acc_i - y[i]|, where acc_i starts at 0.0 and adds
// X[i + j m] * beta[j] for j = 0, 1, ..., p - 1 in this order: the per-row order of Eigen's
// column-major matrix-vector product below 128 columns. X is m x p, column-major. A NaN
// residual or a NaN eps is never a hit. The x86-64 baseline and an AVX2 build (no FMA) give
// the same count; the AVX2 build runs when the CPU has it, unless the environment variable
// VASQ_KERNEL is "baseline" when this is first called.
std::ptrdiff_t count_hits(const double* X, std::ptrdiff_t m, std::ptrdiff_t p, const double* beta,
                          const double* y, double eps);

} // namespace vasq
