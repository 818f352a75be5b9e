#include <Python.h>

#include "runtime/types.h"

namespace tarnel::py {

const char* const types_key = "_tarnel.types";

// The module that defines the types makes them.
PyObject* cached_type(TypeId id, TypeFactory create) noexcept { return cached_object(id, create); }

}  // namespace tarnel::py
