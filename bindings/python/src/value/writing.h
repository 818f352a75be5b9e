// The writing side of the module: `value_from_python`, which turns a Python value (lists and
// tuples as lists, everything else through `atom_from_python`) into a `Value` tree, nested at
// most 1024 lists deep, and the functions `to_canonical`, `to_transport` and `to_advanced` that
// write such a tree out.
#pragma once

#include <Python.h>

#include "value.h"

namespace tarnel::py {

/// The most lists `value_from_python` keeps open at once.
inline constexpr std::size_t conversion_depth_limit = 1024;

/// Converts `object` into `out`; false with an exception set on failure.
bool value_from_python(PyObject* object, Value& out);

PyObject* to_canonical_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;
PyObject* to_transport_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;
PyObject* to_advanced_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept;

}  // namespace tarnel::py
