// The module `tarnel._streaming`: the package's native stream reader; `parser_options`, which
// the package pickles parsers with; `parse_raw`, `find` and `find_all`, which the package
// re-exports; `compile_pattern` and `match_compiled`, which its `Pattern` wraps; `to_pretty`,
// which `tarnel.to_pretty` calls; `read_key`, which `tarnel.gnupg.read_key` calls; and
// `READER_OPTIONS`, the table of reader options the command makes its flags from. They live here
// because `_tarnel`'s names and signatures are fixed. It holds no types of `_tarnel`'s own:
// values, parsers and refusals are `_tarnel`'s Atom, Parser and ParseError.
#include <Python.h>

#include "gnupg/read_key.h"
#include "parser/parser.h"
#include "query/query.h"
#include "runtime/args.h"
#include "runtime/errors.h"
#include "runtime/interpreter.h"
#include "runtime/reader_options.h"
#include "runtime/ref.h"
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
    Ref table = Ref::steal(reader_options_to_python());
    if (!table || PyModule_AddObject(module, "READER_OPTIONS", table.get()) < 0) return -1;
    (void)table.release();
    return 0;
  });
}

PyMethodDef module_methods[] = {
    {"parser_options", fastcall<parser_options_function>(), METH_FASTCALL | METH_KEYWORDS,
     parser_options_doc},
    {"parse_raw", fastcall<parse_raw_function>(), METH_FASTCALL | METH_KEYWORDS, parse_raw_doc},
    {"find", fastcall<find_function>(), METH_FASTCALL | METH_KEYWORDS, find_doc},
    {"find_all", fastcall<find_all_function>(), METH_FASTCALL | METH_KEYWORDS, find_all_doc},
    {"compile_pattern", fastcall<compile_pattern_function>(), METH_FASTCALL | METH_KEYWORDS,
     compile_pattern_doc},
    {"match_compiled", fastcall<match_compiled_function>(), METH_FASTCALL | METH_KEYWORDS,
     match_compiled_doc},
    {"read_key", fastcall<read_key_function>(), METH_FASTCALL | METH_KEYWORDS, read_key_doc},
    {"to_pretty", fastcall<to_pretty_function>(), METH_FASTCALL | METH_KEYWORDS, to_pretty_doc},
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
