#include "module/constructed_only.h"

#include <utility>

namespace vasq::binding {

namespace {

// Set by a call of a class and consumed by the object creation that the call makes first.
thread_local bool creation_allowed = false;
PyTypeObject* pybind11_metaclass = nullptr;
newfunc pybind11_new = nullptr;

PyObject* new_object(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!std::exchange(creation_allowed, false)) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances through __new__ alone",
                 type->tp_name);
    return nullptr;
  }
  return pybind11_new(type, args, kwargs);
}

PyObject* call_class(PyObject* type, PyObject* args, PyObject* kwargs) {
  // Only the registered classes themselves: another class made with this metaclass would
  // reach the binding layer's allocation without a registered type, which aborts.
  PyTypeObject* const cls = reinterpret_cast<PyTypeObject*>(type);
  if (cls->tp_new != new_object) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", cls->tp_name);
    return nullptr;
  }
  creation_allowed = true;
  PyObject* self = pybind11_metaclass->tp_call(type, args, kwargs);
  creation_allowed = false;
  return self;
}

} // namespace

pybind11::metaclass constructed_only_metaclass() {
  static PyObject* const metaclass = [] {
    // pybind11's own metaclass checks after the call that __init__ constructed the value.
    pybind11_metaclass = pybind11::detail::get_internals().default_metaclass;
    PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void*>(call_class)}, {0, nullptr}};
    PyType_Spec spec{"vasq_core.constructed_only_type", 0, 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    PyObject* created =
        PyType_FromSpecWithBases(&spec, reinterpret_cast<PyObject*>(pybind11_metaclass));
    if (created == nullptr) throw pybind11::error_already_set();
    return created;
  }();
  return pybind11::metaclass(metaclass);
}

pybind11::custom_type_setup constructed_only_new() {
  return pybind11::custom_type_setup([](PyHeapTypeObject* heap_type) {
    pybind11_new = heap_type->ht_type.tp_base->tp_new;
    heap_type->ht_type.tp_new = new_object;
  });
}

} // namespace vasq::binding
