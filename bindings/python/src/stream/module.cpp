// The module `tarnel._streaming`: the package's native stream reader; `parser_options`, which
// the package pickles parsers with; `parse_raw`, `find` and `find_all`, which the package
// re-exports; `compile_pattern` and `match_compiled`, which its `Pattern` wraps; `read_key`,
// which `tarnel.gnupg.read_key` calls; and `READER_OPTIONS`, the table of reader options the
// command makes its flags from. They live here because `_tarnel`'s names and signatures are
// fixed. It holds no types of `_tarnel`'s own: values, parsers and refusals are `_tarnel`'s Atom,
// Parser and ParseError.
#include <Python.h>

#include "gnupg/read_key.h"
#include "parser/parser.h"
#include "query/query.h"
#include "runtime/args.h"
#include "runtime/errors.h"
#include "runtime/interpreter.h"
#include "runtime/reader_options.h"
#include "runtime/ref.h"
#include "stream/reader.h"
#include "tarnel/options.h"

namespace tarnel::py {
namespace {

constexpr Param parser_options_params[] = {{"parser", ParamKind::PositionalOrKeyword, true}};
constexpr Signature parser_options_signature{"parser_options()", parser_options_params};

// The keyword arguments that build a Parser reading exactly as `parser` reads, as a dict. The
// package's pickle reducer for Parser is built on it (a Parser keeps its options in C++, out of
// Python's sight). `canonical=True` is a shorthand and does not come back.
PyObject* parser_options_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(parser_options_signature, args, nargs, kwnames, bound)) return nullptr;
    const ReaderOptions* options = parser_options(bound[0]);
    if (options == nullptr) return argument_failed("parser");
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const ReaderOption& option : reader_option_table) {
      Ref value = Ref::steal(option_to_python(option, *options));
      if (!value || PyDict_SetItemString(dict.get(), option.name, value.get()) < 0) return nullptr;
    }
    return dict.release();
  });
}

constexpr Param parse_raw_params[] = {
    {"data", ParamKind::PositionalOrKeyword, true},
    {"parser", ParamKind::PositionalOrKeyword, false},
};
constexpr Signature parse_raw_signature{"parse_raw()", parse_raw_params};

// One S-expression, read as `Parser.parse` reads it but with the octets 0x80-0xFF allowed to
// stand for themselves inside quoted strings (ReaderOptions::allow_raw_octets).
PyObject* parse_raw_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(parse_raw_signature, args, nargs, kwnames, bound)) return nullptr;
    ReaderOptions options = default_options;
    if (bound[1] != nullptr && bound[1] != Py_None) {
      const ReaderOptions* given = parser_options(bound[1]);
      if (given == nullptr) return argument_failed("parser");
      options = *given;
    }
    options.allow_raw_octets = true;
    return parse_object(options, bound[0]);
  });
}

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
     "parser_options(parser)\n--\n\nThe keyword arguments that build a Parser reading exactly as "
     "`parser` reads.\n\n`canonical=True` shows as `allow_advanced` and `allow_transport` False; "
     "a\nlength limit of none as None."},
    {"parse_raw", fastcall<parse_raw_function>(), METH_FASTCALL | METH_KEYWORDS,
     "parse_raw(data, parser=None)\n--\n\nReads one S-expression as `parse` does, but lets a "
     "quoted string hold the\noctets 0x80-0xFF as they are.\n\nlibgcrypt, and so GnuPG, writes "
     "quoted strings that way, where \xc2\xa7"
     "6.4 allows\nonly printable ASCII. Every other rule, and every restriction and limit of\n"
     "`parser` (default `Parser()`), still holds. No writer produces such a string."},
    {"find", fastcall<find_function>(), METH_FASTCALL | METH_KEYWORDS, find_doc},
    {"find_all", fastcall<find_all_function>(), METH_FASTCALL | METH_KEYWORDS, find_all_doc},
    {"compile_pattern", fastcall<compile_pattern_function>(), METH_FASTCALL | METH_KEYWORDS,
     compile_pattern_doc},
    {"match_compiled", fastcall<match_compiled_function>(), METH_FASTCALL | METH_KEYWORDS,
     match_compiled_doc},
    {"read_key", fastcall<read_key_function>(), METH_FASTCALL | METH_KEYWORDS, read_key_doc},
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
