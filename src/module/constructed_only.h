// Classes whose objects exist only once their C++ value is constructed.
#pragma once

#include <pybind11/pybind11.h>

namespace vasq::binding {

// Options for py::class_: an object is made only by calling its class, which constructs the
// C++ value in __init__ or fails. T.__new__(T) on its own, and copy or pickle through it,
// raise TypeError instead of leaving an object whose value pybind11 would later hand out as
// uninitialised storage. Use them with py::is_final(): the __new__ or __init__ of a subclass
// would see its object before the C++ value is constructed, and could keep it after a failure.
pybind11::metaclass constructed_only_metaclass();
pybind11::custom_type_setup constructed_only_new();

} // namespace vasq::binding
