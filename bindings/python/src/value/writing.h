// The writing side of the module: `to_canonical`, `to_transport` and `to_advanced`, which write
// a Python value (lists and tuples as lists, nested at most 1024 deep, everything else an atom as
// `atom_from_python` takes it) straight from its objects, with no tree of values in between.
#pragma once

#include <Python.h>

#include "value/walk.h"

namespace tarnel::py {

PyObject* to_canonical_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;
PyObject* to_transport_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;
PyObject* to_advanced_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept;

}  // namespace tarnel::py
