// The module's type objects, one set per interpreter.
//
// Each type object is made at its first use in an interpreter and kept for that interpreter's
// life: every import into one interpreter sees the same objects, and no interpreter ever sees
// another's. The cache is keyed by the interpreter's ID and guarded by a mutex that is never held
// while Python code can run: two threads that race to create a type both build one, the first to
// publish wins and the other drops its own. Objects are held by raw pointer (they are never
// released), so nothing runs at process exit.
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
/// use. Each native module keeps its own.
PyObject* cached_object(TypeId id, TypeFactory create) noexcept;

}  // namespace tarnel::py
