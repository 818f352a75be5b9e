// The module function `parser_options(parser)` of `tarnel._streaming`: the keyword arguments that
// build a Parser reading exactly as `parser` reads, as a dict. The package's pickle reducer for
// Parser is built on it (a Parser keeps its options in C++, out of Python's sight); it lives in
// this module because `_tarnel`'s classes keep their fixed set of methods.
//
// `canonical=True` is a shorthand and does not come back: it shows as `allow_advanced` and
// `allow_transport` False. A length limit of none comes back as None.
#pragma once

#include <Python.h>

namespace tarnel::py {

/// `parser_options(parser)`: a new dict, or null with an exception set.
PyObject* parser_options_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;

/// Its docstring, led by its text signature.
extern const char parser_options_doc[];

}  // namespace tarnel::py
