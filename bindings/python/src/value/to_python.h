// Builds the Python objects for a read `Value`: bytes for an atom without a hint, an Atom for one
// with a hint (an empty hint included), a fresh list for every list. Walks the tree with a heap
// stack, so any depth the reader allowed converts with a fixed amount of call stack. On failure
// everything built so far is released.
#pragma once

#include <Python.h>

#include "value.h"

namespace tarnel::py {

/// A new reference to the Python form of `value`, or null with an exception set.
PyObject* value_to_python(const Value& value);

}  // namespace tarnel::py
