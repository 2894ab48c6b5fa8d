// Vector arguments that the core reads in NumPy's memory where it can.
#pragma once

#include <cstdint>
#include <utility>

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "types.h"

namespace vasq::binding {

// A float64 vector from Python: the array's own memory when it is one-dimensional, contiguous
// and aligned as a Vector's storage, else a Vector converted from it as pybind11 converts one.
// A copy would be the size of the input: on large data the binding's copies of y, w, v and the
// features were a quarter of a fit's peak. The alignment keeps the bits: Eigen's vectorised
// sums start at the first aligned element, so a view offset from a Vector's alignment would
// add in another order. Move-only (no accidental copy); the array is kept, and released,
// with the interpreter lock held.
class InputVector {
 public:
  InputVector() = default;
  InputVector(pybind11::object owner, const double* data, Index size)
      : owner_(std::move(owner)), data_(data), size_(size) {}
  explicit InputVector(Vector copy) : copy_(std::move(copy)) {}
  InputVector(InputVector&&) = default;
  InputVector& operator=(InputVector&&) = default;
  InputVector(const InputVector&) = delete;
  InputVector& operator=(const InputVector&) = delete;

  ColumnView view() const {
    return owner_ ? ColumnView(data_, size_) : ColumnView(copy_.data(), copy_.size());
  }
  bool in_place() const { return static_cast<bool>(owner_); }

 private:
  pybind11::object owner_;
  const double* data_ = nullptr;
  Index size_ = 0;
  Vector copy_;
};

// True when `array` can be read in place as a Vector (InputVector).
inline bool readable_in_place(const pybind11::array& array) {
  const auto address = reinterpret_cast<std::uintptr_t>(array.data());
  return array.ndim() == 1 &&
         (array.shape(0) < 2 ||
          array.strides(0) == static_cast<pybind11::ssize_t>(sizeof(double))) &&
         address % EIGEN_DEFAULT_ALIGN_BYTES == 0;
}

// Views of the columns, valid while `columns` are.
inline Columns views_of(const std::vector<InputVector>& columns) {
  Columns out;
  out.reserve(columns.size());
  for (const InputVector& column : columns) out.push_back(column.view());
  return out;
}

} // namespace vasq::binding

namespace pybind11::detail {

// Accepts what the caster of Vector accepts, under its name, with the same values.
template <> struct type_caster<vasq::binding::InputVector> {
  PYBIND11_TYPE_CASTER(vasq::binding::InputVector, type_caster<vasq::Vector>::name);

  bool load(handle src, bool convert) {
    // float64 in native byte order, as the Vector caster's check without conversion.
    if (isinstance<array_t<double>>(src)) {
      auto array = reinterpret_borrow<pybind11::array>(src);
      if (vasq::binding::readable_in_place(array)) {
        const auto* data = static_cast<const double*>(array.data());
        const vasq::Index size = array.shape(0);
        value = vasq::binding::InputVector(std::move(array), data, size);
        return true;
      }
    }
    type_caster<vasq::Vector> copy;
    if (!copy.load(src, convert)) return false;
    value = vasq::binding::InputVector(std::move(static_cast<vasq::Vector&>(copy)));
    return true;
  }
};

} // namespace pybind11::detail
