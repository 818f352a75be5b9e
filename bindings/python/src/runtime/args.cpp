#include <Python.h>

#include "runtime/args.h"

#include "runtime/errors.h"
#include "runtime/ref.h"

namespace tarnel::py {
namespace {

const char* was_or_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
  Py_ssize_t max = 0;
  Py_ssize_t min = 0;
  for (const Param& p : signature.params) {
    if (p.kind != ParamKind::PositionalOrKeyword) continue;
    ++max;
    if (p.required) ++min;
  }
  if (given <= max) return false;
  if (min == max) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 signature.display, max, given, was_or_were(given));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 signature.display, min, max, given, was_or_were(given));
  }
  return true;
}

// Finds the parameter a keyword names: keyword-only parameters first, then positional-or-keyword
// ones. Returns the index, or -1 with nothing set when it names none.
Py_ssize_t find_keyword(const Signature& signature, PyObject* name) {
  if (!PyUnicode_Check(name)) return -1;
  for (ParamKind kind : {ParamKind::KeywordOnly, ParamKind::PositionalOrKeyword}) {
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
      const Param& p = signature.params[i];
      if (p.kind == kind && PyUnicode_CompareWithASCIIString(name, p.name) == 0) {
        return static_cast<Py_ssize_t>(i);
      }
    }
  }
  return -1;
}

bool bind_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject** out) {
  Py_ssize_t index = find_keyword(signature, name);
  if (index < 0) {
    if (PyErr_Occurred()) return false;
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.display,
                 name);
    return false;
  }
  if (out[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.display,
                 signature.params[static_cast<std::size_t>(index)].name);
    return false;
  }
  out[index] = value;
  return true;
}

bool check_required(const Signature& signature, PyObject** out) {
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    const Param& p = signature.params[i];
    if (p.required && out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'",
                   signature.display, p.name);
      return false;
    }
  }
  return true;
}

void clear_out(const Signature& signature, PyObject** out) {
  for (std::size_t i = 0; i < signature.params.size(); ++i) out[i] = nullptr;
}

}  // namespace

bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) noexcept {
  clear_out(signature, out);
  if (too_many_positional(signature, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t count = PyTuple_Size(kwnames);
    if (count < 0) return false;
    for (Py_ssize_t k = 0; k < count; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);
      if (name == nullptr) return false;
      if (!bind_keyword(signature, name, args[nargs + k], out)) return false;
    }
  }
  return check_required(signature, out);
}

bool bind_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                         PyObject** out) noexcept {
  clear_out(signature, out);
  Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_Size(args);
  if (nargs < 0) return false;
  if (too_many_positional(signature, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    out[i] = PyTuple_GetItem(args, i);
    if (out[i] == nullptr) return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!bind_keyword(signature, name, value, out)) return false;
    }
  }
  return check_required(signature, out);
}

void add_argument_note(const char* name) noexcept {
  PendingError error;
  if (!error) return;
  if (PyObject* value = error.value()) {
    if (error.traceback() != nullptr) PyException_SetTraceback(value, error.traceback());
    Ref add_note = Ref::steal(PyObject_GetAttrString(value, "add_note"));
    if (add_note) {
      Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", name));
      if (note) Ref::steal(PyObject_CallFunctionObjArgs(add_note.get(), note.get(), nullptr));
    }
    PyErr_Clear();
  }
  error.restore();
}

}  // namespace tarnel::py
