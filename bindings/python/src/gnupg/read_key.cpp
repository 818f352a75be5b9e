#include "gnupg/read_key.h"

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>

#include "error/parse_error.h"
#include "parser/parser.h"
#include "runtime/args.h"
#include "runtime/errors.h"
#include "runtime/ref.h"
#include "tarnel/gnupg.h"
#include "tarnel/options.h"
#include "tarnel/reader.h"
#include "value/to_python.h"

namespace tarnel::py {
namespace {

constexpr Param read_key_params[] = {
    {"data", ParamKind::PositionalOrKeyword, true},
    {"parser", ParamKind::PositionalOrKeyword, false},
};
constexpr Signature read_key_signature{"read_key()", read_key_params};

// Reads the key's S-expression into Python objects, a refusal raised with its offset in the file.
PyObject* read_sexp(const ReaderOptions& options, const gnupg::KeyText& text,
                    std::span<const std::uint8_t> file) {
  const std::span<const std::uint8_t> sexp = text.sexp(file);
  PyObject* value = read_whole_to_python(options, sexp);
  if (value != nullptr || !text.name_value) return value;
  PyObject* parse_error = parse_error_type();
  if (parse_error == nullptr || !PyErr_ExceptionMatches(parse_error)) return nullptr;
  // Refused, at an offset in the joined value: the core reader finds the same refusal as a value
  // (the read into Python stopped at it), which is then placed in the file.
  PyErr_Clear();
  Result<Value, ReadError> again = read_whole(options, sexp);
  if (again) {
    PyErr_SetString(PyExc_SystemError, "internal failure in tarnel: a refusal not found again");
    return nullptr;
  }
  ReadError refusal = again.error();
  refusal.offset = text.file_offset(refusal.offset);
  return raise_parse_error(refusal);
}

}  // namespace

const char read_key_doc[] =
    "read_key(data, parser=None)\n--\n\nThe key of the GnuPG secret key file whose octets are "
    "`data` (bytes), in\neither format gpg-agent writes, with raw octets allowed in quoted "
    "strings\n(see `tarnel.gnupg.read_key`). Raises ValueError for a file in neither format\nand "
    "ParseError, its offset counted in the file, for a refused S-expression.";

PyObject* read_key_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(read_key_signature, args, nargs, kwnames, bound)) return nullptr;
    if (!PyBytes_Check(bound[0])) {
      raise_not_an_instance(bound[0], "bytes");
      add_argument_note("data");
      return nullptr;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bound[0], &data, &size) < 0) return nullptr;
    const std::span<const std::uint8_t> file(reinterpret_cast<const std::uint8_t*>(data),
                                             static_cast<std::size_t>(size));
    Result<gnupg::KeyText, gnupg::KeyError> text = gnupg::key_text(file);
    if (!text) {
      PyErr_SetString(PyExc_ValueError, gnupg::to_string(text.error()).c_str());
      return nullptr;
    }
    // The parser after the file's format, as the package checked them before.
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
    return read_sexp(options, *text, file);
  });
}

}  // namespace tarnel::py
