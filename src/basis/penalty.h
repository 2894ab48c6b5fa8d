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

// (deg + 1) x (deg + 1) pair with beta' R1 beta = sum_i h f'(t_i)^2 and beta' R2 beta =
// sum_i h f''(t_i)^2 over the n_grid points t_i = i*h + x_min, h = (x_max - x_min) /
// (n_grid - 1); x_max < x_min gives h < 0. Throws "deg < 0", then "n_grid < 2".
PenaltyPair smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid);

// (deg + 1) x (deg + 1) symmetric B with beta' B beta = f'(x_max) f''(x_max) -
// f'(x_min) f''(x_min). deg = -1 gives 0 x 0; deg < -1 throws "deg < 0".
Matrix boundary_reduce_1d(int deg, double x_min, double x_max);

// Every combination of exponents 0..degrees[k], dimension 0 slowest, the last fastest:
// prod_k (degrees[k] + 1) entries of degrees.size() exponents. Any negative degree gives an
// empty list, no degrees give [[]]; a count beyond a signed 64-bit count throws std::bad_alloc.
MultiIndexList tensor_multi_indices(const std::vector<int>& degrees);

// (R1, R2, tensor_multi_indices(degrees)): M x M pair, M = prod_k (degrees[k] + 1), summed over
// the tensor grid of n_grid_per_dim points per dimension (LinSpaced over bounds[k]) with the
// weight K = prod_k (b_k - a_k) / (n_grid_per_dim - 1): beta' R1 beta = K sum |grad f|^2 and
// beta' R2 beta = K sum over all (p, q) of (d^2 f / dx_p dx_q)^2. A degree of -1 gives two 0 x 0
// matrices and an empty list; no dimensions give two 1 x 1 zeros and [[]]. Throws
// "Dimension mismatch." (bounds length), "deg < -1", then "n_grid < 2"; a grid, basis or
// matrix size beyond a signed 64-bit count throws std::bad_alloc.
std::tuple<Matrix, Matrix, MultiIndexList>
build_penalty_matrices_nd(const std::vector<int>& degrees, const std::vector<Interval>& bounds,
                          int n_grid_per_dim);

} // namespace vasq
