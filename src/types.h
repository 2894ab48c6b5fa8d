// Value types and error messages shared by every subsystem of the numeric core.
#pragma once

#include <stdexcept>
#include <vector>

#include <Eigen/Dense>

namespace vasq {

using Vector = Eigen::VectorXd; // dense float64 column vector, owned by value
using Matrix = Eigen::MatrixXd; // dense float64 matrix, column-major, owned by value
using Index = Eigen::Index;
// A read-only vector of contiguous doubles: a Vector, or memory its caller keeps (NumPy's,
// read in place). A Vector made from one is a copy of the rows: functions that read the data
// take views.
using VectorView = Eigen::Ref<const Vector>;
// Feature columns, each read in place; a Map cannot own a copy, so none is made by accident.
using ColumnView = Eigen::Map<const Vector>;
using Columns = std::vector<ColumnView>;

// Views of columns held as Vectors.
inline Columns columns_of(const std::vector<Vector>& columns) {
  Columns out;
  out.reserve(columns.size());
  for (const Vector& column : columns) out.emplace_back(column.data(), column.size());
  return out;
}

// Messages of the invalid-argument errors that reach Python as ValueError.
inline constexpr const char* kDimensionMismatch = "Dimension mismatch.";
inline constexpr const char* kNegativeDegree = "deg < 0";
inline constexpr const char* kGridTooSmall = "n_grid < 2";

// Eigen sizes the blocks of its matrix products from the caches it detects, and the blocks
// fix the order of summation. Fixed sizes (Eigen's own x86 defaults) make every product
// round the same way on every machine. Call once before any product runs.
inline void use_machine_independent_blocking() {
  Eigen::setCpuCacheSizes(32 * 1024, 256 * 1024, 2 * 1024 * 1024);
}

// Reports invalid input as std::invalid_argument, which reaches Python as ValueError.
inline void require(bool condition, const char* message) {
  if (!condition) throw std::invalid_argument(message);
}

} // namespace vasq
