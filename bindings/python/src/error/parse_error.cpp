#include <Python.h>

#include "error/parse_error.h"

#include "runtime/ref.h"
#include "runtime/types.h"

namespace tarnel::py {
namespace {

PyObject* make_parse_error_type() {
  PyObject* type = PyErr_NewExceptionWithDoc(
      "tarnel.ParseError",
      "Raised where input is not an S-expression the parser accepts.\n\nCarries `offset`, the "
      "octet the offending construct begins at, and `kind`, a short name for what was wrong.",
      PyExc_ValueError, nullptr);
  if (type == nullptr) {
    PyObject* t;
    PyObject* v;
    PyObject* tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    Ref detail = Ref::steal(v != nullptr ? PyObject_Str(v) : nullptr);
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    if (detail) {
      PyErr_Format(PyExc_RuntimeError, "Failed to initialize new exception type. %U",
                   detail.get());
    } else {
      PyErr_Clear();
      PyErr_SetString(PyExc_RuntimeError, "Failed to initialize new exception type.");
    }
  }
  return type;
}

}  // namespace

PyObject* parse_error_type() noexcept {
  return cached_type(TypeId::ParseError, make_parse_error_type);
}

std::size_t snake_case_kind(ErrorKind kind, char* out) noexcept {
  std::string_view name = error_kind_name(kind);
  std::size_t n = 0;
  for (char c : name) {
    if (c >= 'A' && c <= 'Z') {
      if (n != 0) out[n++] = '_';
      out[n++] = static_cast<char>(c - 'A' + 'a');
    } else {
      out[n++] = c;
    }
  }
  return n;
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

}  // namespace tarnel::py
