// `ParseError`, the ValueError subclass that every reading function raises when the reader
// refuses its input. An instance carries the reader's display text as its message, and the
// attributes `offset` (octets from the start of the input) and `kind` (the refusal's short,
// snake-case name, such as "unexpected_end"). Raising one for a refusal is `raise_parse_error`
// (runtime/errors), with the binding's other exceptions.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "tarnel/error.h"

namespace tarnel::py {

/// The interpreter's ParseError class (borrowed), made at first use; null with an exception set
/// if the interpreter refuses to make it.
PyObject* parse_error_type() noexcept;

/// Writes the snake-case short name of `kind` to `out` (room for 64 chars); returns its length.
std::size_t snake_case_kind(ErrorKind kind, char* out) noexcept;

}  // namespace tarnel::py
