// Facts about the running interpreter that the stable ABI of 3.10 does not name.
#pragma once

#include <Python.h>

namespace tarnel::py {

/// Whether the running CPython is `major.minor` or later, read from its version text.
bool runs_at_least(unsigned major, unsigned minor) noexcept;

#if defined(Py_LIMITED_API)
/// The interpreter's function `name`, which the stable ABI this module is built for does not
/// import, or null. On Windows it is looked up in python3.dll, the library of the stable ABI that
/// this module links against. Elsewhere it is looked up among the process's global symbols, and
/// accepted only where they resolve one of this module's own imports to the same address, so
/// that a second Python library in the process is never used.
void* interpreter_symbol(const char* name) noexcept;
#endif

/// The module's `PyInit_` result. On the first call in the process it fills `free_slot`, an empty
/// entry before the terminating one of the module's slots, with the declaration that the module
/// supports interpreters with their own GIL, where the running CPython (3.12 and later) knows it;
/// earlier versions refuse slot numbers they do not know; there it also makes reference counts go
/// through CPython's functions (see `incref`). Each native module links its own copy.
PyObject* init_module(PyModuleDef& definition, PyModuleDef_Slot& free_slot) noexcept;

}  // namespace tarnel::py
