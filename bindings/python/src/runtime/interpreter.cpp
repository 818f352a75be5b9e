#include "runtime/interpreter.h"

#include <Python.h>

#include "runtime/ref.h"

#if defined(Py_LIMITED_API)
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#endif

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

#if defined(Py_LIMITED_API)
void* interpreter_symbol(const char* name) noexcept {
#if defined(_WIN32)
  HMODULE python = GetModuleHandleW(L"python3.dll");
  if (python == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(python, name));
#else
  using FromLong = PyObject* (*)(long);
  auto from_long = reinterpret_cast<FromLong>(dlsym(RTLD_DEFAULT, "PyLong_FromLong"));
  if (from_long != &PyLong_FromLong) return nullptr;
  return dlsym(RTLD_DEFAULT, name);
#endif
}
#endif

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
