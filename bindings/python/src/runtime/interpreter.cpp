#include "runtime/interpreter.h"

#include <Python.h>

#include <cstdio>

namespace tarnel::py {
namespace {

// Py_mod_multiple_interpreters and Py_MOD_PER_INTERPRETER_GIL_SUPPORTED, from CPython 3.12.
constexpr int multiple_interpreters_slot = 3;
void* const per_interpreter_gil_supported = reinterpret_cast<void*>(2);

}  // namespace

bool runs_at_least(unsigned major, unsigned minor) noexcept {
  unsigned running_major = 0;
  unsigned running_minor = 0;
  if (std::sscanf(Py_GetVersion(), "%u.%u", &running_major, &running_minor) != 2) return false;
  return running_major > major || (running_major == major && running_minor >= minor);
}

bool declare_own_gil_support(PyModuleDef_Slot* free_slot) noexcept {
  if (!runs_at_least(3, 12)) return false;
  free_slot->slot = multiple_interpreters_slot;
  free_slot->value = per_interpreter_gil_supported;
  return true;
}

}  // namespace tarnel::py
