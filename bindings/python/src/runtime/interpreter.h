// Facts about the running interpreter that the stable ABI of 3.10 does not name.
#pragma once

#include <Python.h>

namespace tarnel::py {

/// Whether the running CPython is `major.minor` or later, read from its version text.
bool runs_at_least(unsigned major, unsigned minor) noexcept;

/// Fills `free_slot`, an empty entry before the terminating one of a module's slots, with the
/// declaration that the module supports interpreters with their own GIL, where the running CPython
/// (3.12 and later) knows it; earlier versions refuse slot numbers they do not know. Call once per
/// process, before the first `PyModuleDef_Init` of the module. Returns whether it declared.
bool declare_own_gil_support(PyModuleDef_Slot* free_slot) noexcept;

}  // namespace tarnel::py
