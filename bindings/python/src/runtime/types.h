// The modules' type objects, one set per interpreter, owned by that interpreter.
//
// Each type object is made at its first use in an interpreter and kept until that interpreter is
// cleared: every import into one interpreter sees the same objects, no interpreter ever sees
// another's, and an interpreter's set is released with it. The set is owned by a capsule in the
// interpreter's own dictionary (`PyInterpreterState_GetDict`), which the interpreter clears as it
// ends; a process-wide index from interpreter ID to set keeps the lookup to an atomic load on the
// common path. The index's mutex is never held while Python code can run.
#pragma once

#include <Python.h>

#include <cstddef>

namespace tarnel::py {

enum class TypeId : std::size_t { Atom, Parser, ParseError, StreamReader };

inline constexpr std::size_t type_id_count = 4;

/// Makes a new type object (a new reference), or returns null with an exception set.
using TypeFactory = PyObject* (*)();

/// The interpreter's object for `id`, made with `create` at first use; borrowed. Null with an
/// exception set if it could not be made. In the module that defines the types this makes them;
/// in the package's other native modules it takes the defining module's own objects instead
/// (`create` unused), so that every module of an interpreter shares one set.
PyObject* cached_type(TypeId id, TypeFactory create) noexcept;

/// The cache behind `cached_type`: the interpreter's slot for `id`, filled with `create` at first
/// use. Each native module keeps its own, under its own `types_key`.
PyObject* cached_object(TypeId id, TypeFactory create) noexcept;

/// The name under which a native module keeps its set in the interpreter's dictionary; each
/// module defines its own.
extern const char* const types_key;

}  // namespace tarnel::py
