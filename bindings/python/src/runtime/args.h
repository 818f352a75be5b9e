// Argument binding for every callable of the module, and the argument note.
//
// One binder maps the fast-call-with-keywords convention (args, nargs, kwnames) or a type's
// `__new__` (tuple, dict) onto a static table of parameters, and owns every message about missing,
// repeated or unexpected arguments. Conversion of the bound objects comes afterwards; when it fails
// the caller attaches the note "while processing '<name>'" with `add_argument_note`.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

namespace tarnel::py {

enum class ParamKind : std::uint8_t { PositionalOrKeyword, KeywordOnly };

/// One parameter of a callable.
struct Param {
  const char* name;
  ParamKind kind;
  bool required;
};

/// A callable's name as messages show it ("parse()", "Parser.__new__()") and its parameters,
/// positional-or-keyword ones first.
struct Signature {
  const char* display;
  std::span<const Param> params;
};

/// Binds fast-call arguments: `out[i]` receives the borrowed object for parameter i, or null
/// where it was not given. Returns false with TypeError set on a binding failure.
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) noexcept;

/// As `bind_fastcall`, for the positional tuple and keyword dict (may be null) of `__new__`.
bool bind_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                         PyObject** out) noexcept;

/// With an exception pending, attaches the note "while processing '<name>'" through the
/// exception's `add_note`; where that is missing (before 3.11) or fails, leaves it without one.
void add_argument_note(const char* name) noexcept;

/// With an exception pending, attaches the note for the argument `name`; returns null.
inline PyObject* argument_failed(const char* name) noexcept {
  add_argument_note(name);
  return nullptr;
}

/// A `METH_FASTCALL | METH_KEYWORDS` function as a method table takes it.
template <auto F>
PyCFunction fastcall() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace tarnel::py
