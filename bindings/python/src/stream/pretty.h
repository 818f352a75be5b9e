// The layout of pretty.h for Python: the module function `to_pretty(sexp, width=72, indent=2)` of
// `tarnel._streaming`, on which the package's `tarnel.to_pretty` is a thin wrapper, and the
// reading of a width and an indentation that it shares with the stream reader's laid-out form.
//
// `to_pretty` walks the value as `to_advanced` does (the same conversions, the same refusals, in
// the same order, lists nested at most 1024 deep) and lays it out as it goes, with no tree of
// values in between. A list that contains itself is refused with its own message rather than as
// one nested too deep.
#pragma once

#include <Python.h>

#include <cstdint>

#include "tarnel/pretty.h"

namespace tarnel::py {

/// The most lists the layout of Python values keeps open at once: what the module's writers
/// allow. (A stream reader laid out from octets goes as deep as its parser reads.)
inline constexpr std::uint64_t laid_out_depth_limit = 1024;

/// `to_pretty(sexp, width=72, indent=2)`: a new str, or null with an exception set.
PyObject* to_pretty_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept;

/// Its docstring, led by its text signature.
extern const char to_pretty_doc[];

/// Reads a width (at least 1) and an indentation (at least 0), either null for its default, into
/// `out`: whole numbers as `__index__` gives them, but not bools. False with the exception set,
/// and the argument note added, as the module refuses its own arguments: TypeError for the type,
/// ValueError for the range.
bool layout_from_python(PyObject* width, PyObject* indent, PrettyOptions& out);

/// Sets the ValueError for a value nested deeper than the layout goes.
void raise_too_deep_to_lay_out() noexcept;

}  // namespace tarnel::py
