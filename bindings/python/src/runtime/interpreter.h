// Facts about the running interpreter that the stable ABI of 3.10 does not name.
#pragma once

#include <Python.h>

namespace tarnel::py {

/// Whether the running CPython is `major.minor` or later, read from its version text.
bool runs_at_least(unsigned major, unsigned minor) noexcept;

/// The module's `PyInit_` result. On the first call in the process it fills `free_slot`, an empty
/// entry before the terminating one of the module's slots, with the declaration that the module
/// supports interpreters with their own GIL, where the running CPython (3.12 and later) knows it;
/// earlier versions refuse slot numbers they do not know; there it also makes reference counts go
/// through CPython's functions (see `incref`). Each native module links its own copy.
PyObject* init_module(PyModuleDef& definition, PyModuleDef_Slot& free_slot) noexcept;

}  // namespace tarnel::py
