#include "stream/parse_raw.h"

#include <Python.h>

#include "parser/parser.h"
#include "runtime/args.h"
#include "runtime/errors.h"
#include "tarnel/options.h"

namespace tarnel::py {
namespace {

constexpr Param parse_raw_params[] = {
    {"data", ParamKind::PositionalOrKeyword, true},
    {"parser", ParamKind::PositionalOrKeyword, false},
};
constexpr Signature parse_raw_signature{"parse_raw()", parse_raw_params};

}  // namespace

const char parse_raw_doc[] =
    "parse_raw(data, parser=None)\n--\n\nReads one S-expression as `parse` does, but lets a "
    "quoted string hold the\noctets 0x80-0xFF as they are.\n\nlibgcrypt, and so GnuPG, writes "
    "quoted strings that way, where \xc2\xa7"
    "6.4 allows\nonly printable ASCII. Every other rule, and "
    "every restriction and limit of\n`parser` (default `Parser()`), still holds. No writer "
    "produces such a string.";

PyObject* parse_raw_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(parse_raw_signature, args, nargs, kwnames, bound)) return nullptr;
    ReaderOptions options = default_options;
    if (bound[1] != nullptr && bound[1] != Py_None) {
      const ReaderOptions* given = parser_options(bound[1]);
      if (given == nullptr) {
        add_argument_note("parser");
        return nullptr;
      }
      options = *given;
    }
    options.allow_raw_octets = true;
    return parse_object(options, bound[0]);
  });
}

}  // namespace tarnel::py
