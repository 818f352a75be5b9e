// The queries of `tarnel._streaming`: `find` and `find_all`, and the two halves of the package's
// `Pattern`, `compile_pattern` and `match_compiled`. They run the core's own query code
// (src/query/) over Python values through the adapter of py_tree.h; the package re-exports them
// or wraps them (tarnel/_query.py).
#pragma once

#include <Python.h>

namespace tarnel::py {

/// `find(sexp, name, default=None)`: the first list found (a new reference to it), `default`, or
/// null with an exception set.
PyObject* find_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

/// `find_all(sexp, name)`: an iterator over the lists found, or null with an exception set.
PyObject* find_all_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept;

/// `compile_pattern(pattern)`: a tuple of a capsule holding the compiled pattern and its names,
/// or null with an exception set (ParseError, with `offset` and `kind`, for a malformed pattern).
PyObject* compile_pattern_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept;

/// `match_compiled(compiled, sexp)`: a dict of the bindings, None, or null with an exception set.
PyObject* match_compiled_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;

/// Their docstrings, each led by its text signature.
extern const char find_doc[];
extern const char find_all_doc[];
extern const char compile_pattern_doc[];
extern const char match_compiled_doc[];

}  // namespace tarnel::py
