#include <Python.h>

#include "error/parse_error.h"

#include "runtime/errors.h"
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
    raise_instead_of_pending(PyExc_RuntimeError, "Failed to initialize new exception type.");
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

}  // namespace tarnel::py
