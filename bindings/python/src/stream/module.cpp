// The module `tarnel._streaming`: the package's native stream reader, `parser_options`, which
// the package pickles parsers with, `parse_raw`, which the package re-exports, and `to_pretty`,
// which the package's `tarnel.to_pretty` calls. It holds no types of `_tarnel`'s own: values,
// parsers and refusals are `_tarnel`'s Atom, Parser and ParseError.
#include <Python.h>

#include "runtime/errors.h"
#include "runtime/interpreter.h"
#include "runtime/ref.h"
#include "stream/parse_raw.h"
#include "stream/parser_options.h"
#include "stream/pretty.h"
#include "stream/reader.h"

namespace tarnel::py {
namespace {

int exec_module(PyObject* module) noexcept {
  return guard([module]() -> int {
    PyObject* reader = stream_reader_type();
    if (reader == nullptr) return -1;
    Ref held = Ref::borrow(reader);
    if (PyModule_AddObject(module, "Reader", held.get()) < 0) return -1;
    (void)held.release();  // the module took the reference
    return 0;
  });
}

PyMethodDef module_methods[] = {
    {"parser_options",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parser_options_function)),
     METH_FASTCALL | METH_KEYWORDS, parser_options_doc},
    {"parse_raw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_raw_function)),
     METH_FASTCALL | METH_KEYWORDS, parse_raw_doc},
    {"to_pretty", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_pretty_function)),
     METH_FASTCALL | METH_KEYWORDS, to_pretty_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},  // interpreters with their own GIL, where the running CPython knows the slot
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tarnel._streaming",
    "The package's native stream reader.",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarnel::py

PyMODINIT_FUNC PyInit__streaming() {
  return tarnel::py::init_module(tarnel::py::module_definition, tarnel::py::module_slots[1]);
}
