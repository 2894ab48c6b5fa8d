#include "module/optional_matrix.h"

#include <pybind11/eigen.h>

namespace vasq::binding {

std::optional<Matrix> optional_matrix(const pybind11::object& obj) {
  if (obj.is_none()) return std::nullopt;
  return obj.cast<Matrix>();
}

} // namespace vasq::binding
