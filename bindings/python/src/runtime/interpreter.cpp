#include "runtime/interpreter.h"

#include <Python.h>

#include "runtime/ref.h"

namespace tarnel::py {
namespace {

// Py_mod_multiple_interpreters and Py_MOD_PER_INTERPRETER_GIL_SUPPORTED, from CPython 3.12.
constexpr int multiple_interpreters_slot = 3;
void* const per_interpreter_gil_supported = reinterpret_cast<void*>(2);

// Reads the decimal number at `text`, moving past it; 0 where there is none.
unsigned read_number(const char*& text) noexcept {
  unsigned value = 0;
  while (*text >= '0' && *text <= '9' && value < 10000) {
    value = value * 10 + static_cast<unsigned>(*text++ - '0');
  }
  return value;
}

}  // namespace

bool runs_at_least(unsigned major, unsigned minor) noexcept {
  const char* version = Py_GetVersion();  // "3.12.1 (main, ...": major, a dot, minor
  const unsigned running_major = read_number(version);
  if (*version != '.') return false;
  ++version;
  const unsigned running_minor = read_number(version);
  return running_major > major || (running_major == major && running_minor >= minor);
}

PyObject* init_module(PyModuleDef& definition, PyModuleDef_Slot& free_slot) noexcept {
  // Filled once, before any interpreter reads the slots (magic statics are thread-safe).
  static const bool declared = [&free_slot] {
    if (!runs_at_least(3, 12)) return false;
#if defined(Py_LIMITED_API)
    count_through_functions = true;
#endif
    free_slot.slot = multiple_interpreters_slot;
    free_slot.value = per_interpreter_gil_supported;
    return true;
  }();
  (void)declared;
  return PyModuleDef_Init(&definition);
}

}  // namespace tarnel::py
