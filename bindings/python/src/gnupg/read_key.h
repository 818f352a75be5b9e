// The module function `read_key(data, parser=None)` of `tarnel._streaming`: the key of a GnuPG
// secret key file whose octets are `data`, by the core's `gnupg::read_key` rules, read straight
// into Python objects. `tarnel.gnupg.read_key` reads the file and calls it.
#pragma once

#include <Python.h>

namespace tarnel::py {

/// `read_key(data, parser=None)`: the key's value, or null with an exception set: ValueError for
/// a file in neither format, ParseError (offset counted in the file) for a refused S-expression.
PyObject* read_key_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept;

/// Its docstring, led by its text signature.
extern const char read_key_doc[];

}  // namespace tarnel::py
