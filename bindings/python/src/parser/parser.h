// The reading side of the module: the `Parser` class, which holds one immutable set of reader
// options, with its `parse` and `parse_prefix` methods, and the module functions `parse` and
// `parse_canonical`, which read with the fixed default and canonical option sets; and for the
// stream module, whose functions `_tarnel`'s fixed set leaves out, `parse_raw` and
// `parser_options`. Every reading operation converts `data` to octets, runs the core reader, and
// returns the Python value of what was read or raises ParseError.
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

/// The stream module's `parser_options(parser)`: the keyword arguments that build a Parser
/// reading exactly as `parser` reads, as a dict (what the package pickles a Parser as).
PyObject* parser_options_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;

/// The stream module's `parse_raw(data, parser=None)`: `parse` with the octets 0x80-0xFF allowed
/// as they are inside quoted strings (ReaderOptions::allow_raw_octets).
PyObject* parse_raw_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept;

/// Their docstrings, each led by its text signature.
extern const char parser_options_doc[];
extern const char parse_raw_doc[];

}  // namespace tarnel::py
