// The optional-matrix argument rule of R1 and R2.
#pragma once

#include <optional>

#include <pybind11/pybind11.h>

#include "types.h"

namespace vasq::binding {

// None (by identity) is absent; any other object is converted to an owned matrix with
// conversion allowed. A failed conversion raises pybind11::cast_error (RuntimeError).
std::optional<Matrix> optional_matrix(const pybind11::object& obj);

// The form the numeric code takes: a pointer that is null when absent.
inline const Matrix* pointer_to(const std::optional<Matrix>& m) {
  return m ? &*m : nullptr;
}

} // namespace vasq::binding
