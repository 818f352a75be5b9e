// The module `tarnel._streaming`: the package's native stream reader, `parser_options`, which
// the package pickles parsers with, `parse_raw`, `find` and `find_all`, which the package
// re-exports, `compile_pattern` and `match_compiled`, which its `Pattern` wraps, and `read_key`,
// which `tarnel.gnupg.read_key` calls. It holds no types of `_tarnel`'s own: values, parsers and
// refusals are `_tarnel`'s Atom, Parser and ParseError.
#include <Python.h>

#include "query/query.h"
#include "runtime/errors.h"
#include "runtime/interpreter.h"
#include "runtime/ref.h"
#include "stream/gnupg.h"
#include "stream/parse_raw.h"
#include "stream/parser_options.h"
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
    {"find", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_function)),
     METH_FASTCALL | METH_KEYWORDS, find_doc},
    {"find_all", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_all_function)),
     METH_FASTCALL | METH_KEYWORDS, find_all_doc},
    {"compile_pattern",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compile_pattern_function)),
     METH_FASTCALL | METH_KEYWORDS, compile_pattern_doc},
    {"match_compiled",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(match_compiled_function)),
     METH_FASTCALL | METH_KEYWORDS, match_compiled_doc},
    {"read_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_key_function)),
     METH_FASTCALL | METH_KEYWORDS, read_key_doc},
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
    "The package's native stream reader and queries.",
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
