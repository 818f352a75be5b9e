// The module function `parse_raw(data, parser=None)` of `tarnel._streaming`: one S-expression,
// read as `Parser.parse` reads it but with the octets 0x80-0xFF allowed to stand for themselves
// inside quoted strings (ReaderOptions::allow_raw_octets), as libgcrypt writes them. It lives in
// this module because `_tarnel`'s functions and its Parser keep their fixed signatures.
#pragma once

#include <Python.h>

namespace tarnel::py {

/// `parse_raw(data, parser=None)`: the value, or null with an exception set.
PyObject* parse_raw_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept;

/// Its docstring, led by its text signature.
extern const char parse_raw_doc[];

}  // namespace tarnel::py
