#include <Python.h>

#include "runtime/errors.h"

#include <cstdarg>
#include <cstddef>
#include <exception>
#include <new>

#include "error/parse_error.h"

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

PendingError::PendingError() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != nullptr) PyErr_NormalizeException(&type, &value, &traceback);
  type_ = Ref::steal(type);
  value_ = Ref::steal(value);
  traceback_ = Ref::steal(traceback);
}

void PendingError::restore() noexcept {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void PendingError::drop() noexcept {
  type_.reset();
  value_.reset();
  traceback_.reset();
}

void raise_from_pending(PyObject* type, const char* format, ...) noexcept {
  PendingError cause;
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  PendingError raised;
  if (raised.value() != nullptr && cause.value() != nullptr) {
    // PyException_SetCause steals the reference it is given.
    PyException_SetCause(raised.value(), Ref::borrow(cause.value()).release());
  }
  cause.drop();
  raised.restore();
}

void raise_instead_of_pending(PyObject* type, const char* message) noexcept {
  PendingError replaced;
  Ref detail = Ref::steal(replaced.value() != nullptr ? PyObject_Str(replaced.value()) : nullptr);
  replaced.drop();
  if (detail) {
    PyErr_Format(type, "%s %U", message, detail.get());
  } else {
    PyErr_Clear();
    PyErr_SetString(type, message);
  }
}

PyObject* raise_parse_error(const ReadError& error) noexcept {
  PyObject* type = parse_error_type();
  if (type == nullptr) return nullptr;
  char text[error_display_capacity];
  std::size_t length = format_read_error(error, text);
  Ref message = Ref::steal(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(length)));
  if (!message) return nullptr;
  Ref instance = Ref::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
  if (!instance) return nullptr;
  Ref offset = Ref::steal(PyLong_FromUnsignedLongLong(error.offset));
  if (!offset || PyObject_SetAttrString(instance.get(), "offset", offset.get()) < 0) {
    return nullptr;
  }
  char kind[64];
  std::size_t kind_length = snake_case_kind(error.kind, kind);
  Ref kind_text =
      Ref::steal(PyUnicode_FromStringAndSize(kind, static_cast<Py_ssize_t>(kind_length)));
  if (!kind_text || PyObject_SetAttrString(instance.get(), "kind", kind_text.get()) < 0) {
    return nullptr;
  }
  PyErr_SetObject(type, instance.get());
  return nullptr;
}

bool pending_exception_is_replaceable() noexcept {
  return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

void raise_not_an_instance(PyObject* obj, const char* expected) noexcept {
  Ref qualname =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
}

void raise_unconvertible(PyObject* object) noexcept {
  Ref name =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (!name) {
    if (!pending_exception_is_replaceable()) return;
    PyErr_Clear();
  } else if (PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "expected bytes, str, or Atom, and got %U", name.get());
    return;
  }
  PyErr_SetString(PyExc_TypeError,
                  "expected bytes, str, or Atom, and got a value of an unreadable type");
}

}  // namespace tarnel::py
