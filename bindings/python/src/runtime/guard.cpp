#include <Python.h>

#include "runtime/guard.h"

#include <exception>
#include <new>

namespace tarnel::py {

void raise_current_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "internal failure in tarnel: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal failure in tarnel");
  }
}

}  // namespace tarnel::py
