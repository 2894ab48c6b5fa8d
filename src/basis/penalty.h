// Smoothness penalty pairs (R1: squared first derivative/gradient, R2: squared second
// derivative/Hessian, grid sums with equal weights) and the 1-D boundary matrix.
#pragma once

#include <tuple>
#include <utility>
#include <vector>

#include "basis/design.h"
#include "types.h"

namespace vasq {

using PenaltyPair = std::pair<Matrix, Matrix>;
using Interval = std::pair<double, double>;

// (deg + 1)-square pair summed over n_grid points t_i = i*h + x_min, h = (x_max - x_min) /
// (n_grid - 1). Throws "deg < 0", then "n_grid < 2".
PenaltyPair smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid);

// Symmetric B with beta' B beta = f'(x_max) f''(x_max) - f'(x_min) f''(x_min).
// deg = -1 gives 0 x 0; deg < -1 throws "deg < 0".
Matrix boundary_reduce_1d(int deg, double x_min, double x_max);

// Tensor-product multi-indices (dimension 0 slowest) for the given maximum degrees.
MultiIndexList tensor_multi_indices(const std::vector<int>& degrees);

// (R1, R2, multi-indices) of the tensor basis over a grid of n_grid_per_dim^n points.
// Throws "Dimension mismatch." (bounds length), "deg < -1", then "n_grid < 2"; sizes that
// overflow a signed 64-bit count throw std::bad_alloc.
std::tuple<Matrix, Matrix, MultiIndexList>
build_penalty_matrices_nd(const std::vector<int>& degrees, const std::vector<Interval>& bounds,
                          int n_grid_per_dim);

} // namespace vasq
