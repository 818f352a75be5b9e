// The reading side of the module: the `Parser` class, which holds one immutable set of reader
// options, with its `parse` and `parse_prefix` methods, and the module functions `parse` and
// `parse_canonical`, which read with the fixed default and canonical option sets. Every reading
// operation converts `data` to octets, runs the core reader, and returns the Python value of what
// was read or raises ParseError.
#pragma once

#include <Python.h>

#include "tarnel/options.h"

namespace tarnel::py {

/// The interpreter's Parser class (borrowed), made at first use; null with an exception set.
PyObject* parser_type() noexcept;

/// The options of `object`, a Parser (borrowed: valid while the object lives); null with
/// TypeError set for anything else.
const ReaderOptions* parser_options(PyObject* object) noexcept;

/// The one S-expression that makes up `data` (anything `Parser.parse` takes), read under
/// `options`: a new reference, or null with an exception set.
PyObject* parse_object(const ReaderOptions& options, PyObject* data);

/// The module function `parse(data)`.
PyObject* parse_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;

/// The module function `parse_canonical(data)`.
PyObject* parse_canonical_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept;

}  // namespace tarnel::py
