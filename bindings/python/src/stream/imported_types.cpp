#include <Python.h>

#include "runtime/ref.h"
#include "runtime/types.h"

namespace tarnel::py {
namespace {

// The defining module's object of that name, a new reference; null with an exception set.
PyObject* import_from_defining_module(const char* name) {
  Ref module = Ref::steal(PyImport_ImportModule("_tarnel"));
  if (!module) return nullptr;
  Ref object = Ref::steal(PyObject_GetAttrString(module.get(), name));
  if (!object) return nullptr;
  if (!PyType_Check(object.get())) {
    PyErr_Format(PyExc_TypeError, "_tarnel.%s is not a class", name);
    return nullptr;
  }
  return object.release();
}

}  // namespace

const char* const types_key = "tarnel._streaming.types";

// This module makes its own reader class, and uses the classes `_tarnel` made in this
// interpreter for everything else.
PyObject* cached_type(TypeId id, TypeFactory create) noexcept {
  switch (id) {
    case TypeId::Atom:
      return cached_object(id, [] { return import_from_defining_module("Atom"); });
    case TypeId::Parser:
      return cached_object(id, [] { return import_from_defining_module("Parser"); });
    case TypeId::ParseError:
      return cached_object(id, [] { return import_from_defining_module("ParseError"); });
    case TypeId::StreamReader:
      return cached_object(id, create);
  }
  PyErr_SetString(PyExc_SystemError, "internal failure in tarnel: unknown type");
  return nullptr;
}

}  // namespace tarnel::py
