// The module `_tarnel`: its definition (multi-phase initialisation, no per-module state) and its
// execution step, which adds the classes, the exception, the two constants and the five
// functions, in that order, to the module and to its `__all__`.
#include <Python.h>

#include "error/parse_error.h"
#include "parser/parser.h"
#include "runtime/errors.h"
#include "runtime/interpreter.h"
#include "runtime/ref.h"
#include "value/atom.h"
#include "value/writing.h"

namespace tarnel::py {
namespace {

template <auto F>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef module_functions[] = {
    {"parse", fastcall<parse_function>(), METH_FASTCALL | METH_KEYWORDS,
     "parse(data)\n--\n\nReads one S-expression, in whichever representation of \xc2\xa7"
     "6 it is written.\n\nBuild a [`Parser`] where the input comes from somewhere untrusted, or "
     "where\nonly one representation is to be accepted."},
    {"parse_canonical", fastcall<parse_canonical_function>(), METH_FASTCALL | METH_KEYWORDS,
     "parse_canonical(data)\n--\n\nReads one S-expression written in the canonical "
     "representation of \xc2\xa7"
     "6.2.\n\nRead this way where the octets themselves matter, as they do to a signature\n"
     "computed over them."},
    {"to_canonical", fastcall<to_canonical_function>(), METH_FASTCALL | METH_KEYWORDS,
     "to_canonical(sexp)\n--\n\nReturns the canonical representation of the S-expression "
     "(\xc2\xa7"
     "6.2)."},
    {"to_transport", fastcall<to_transport_function>(), METH_FASTCALL | METH_KEYWORDS,
     "to_transport(sexp)\n--\n\nReturns the basic transport representation of the S-expression "
     "(\xc2\xa7"
     "6.3)."},
    {"to_advanced", fastcall<to_advanced_function>(), METH_FASTCALL | METH_KEYWORDS,
     "to_advanced(sexp)\n--\n\nReturns the advanced representation of the S-expression "
     "(\xc2\xa7"
     "6.4)."},
    {nullptr, nullptr, 0, nullptr},
};

// Appends `name` to the module's `__all__` (made where missing) and sets the attribute.
bool add_entry(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    raise_not_an_instance(all.get(), "list");
    return false;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyObject_SetAttr(module, key.get(), value) == 0;
}

bool add_class(PyObject* module, const char* name, PyObject* type) {
  if (type == nullptr) {
    raise_from_pending(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
    return false;
  }
  return add_entry(module, name, type);
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name));
  if (!function) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    raise_not_an_instance(name.get(), "str");
    return false;
  }
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  if (text == nullptr) return false;
  return add_entry(module, text, function.get());
}

int exec_module(PyObject* module) noexcept {
  return guard([module]() -> int {
    if (!PyModule_Check(module)) {
      raise_not_an_instance(module, "module");
      return -1;
    }
    if (!add_class(module, "Atom", atom_type())) return -1;
    if (!add_class(module, "Parser", parser_type())) return -1;
    PyObject* parse_error = parse_error_type();
    if (parse_error == nullptr || !add_entry(module, "ParseError", parse_error)) return -1;
    Ref default_hint = Ref::steal(PyBytes_FromStringAndSize("application/octet-stream", 24));
    if (!default_hint || !add_entry(module, "DEFAULT_HINT", default_hint.get())) return -1;
    Ref default_max_depth = Ref::steal(PyLong_FromLong(1024));
    if (!default_max_depth || !add_entry(module, "DEFAULT_MAX_DEPTH", default_max_depth.get())) {
      return -1;
    }
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def) {
      if (!add_function(module, module_name.get(), def)) return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},  // interpreters with their own GIL, where the running CPython knows the slot
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_tarnel",
    "Builds the extension module the `tarnel` package imports.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarnel::py

PyMODINIT_FUNC PyInit__tarnel() {
  return tarnel::py::init_module(tarnel::py::module_definition, tarnel::py::module_slots[1]);
}
