#include "stream/parser_options.h"

#include <Python.h>

#include <cstdint>

#include "parser/parser.h"
#include "runtime/args.h"
#include "runtime/errors.h"
#include "runtime/ref.h"
#include "tarnel/options.h"

namespace tarnel::py {
namespace {

constexpr Param parser_options_params[] = {{"parser", ParamKind::PositionalOrKeyword, true}};
constexpr Signature parser_options_signature{"parser_options()", parser_options_params};

// Sets `dict[key] = value`, taking the new reference `value`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref held = Ref::steal(value);
  return held && PyDict_SetItemString(dict, key, held.get()) == 0;
}

// A count, or None for no limit (how Parser takes "no limit" for the lengths).
PyObject* limit(std::uint64_t value) {
  if (value == no_limit) return new_ref(Py_None);
  return PyLong_FromUnsignedLongLong(value);
}

}  // namespace

const char parser_options_doc[] =
    "parser_options(parser)\n--\n\nThe keyword arguments that build a Parser reading exactly as "
    "`parser` reads.\n\n`canonical=True` shows as `allow_advanced` and `allow_transport` False; "
    "a\nlength limit of none as None.";

PyObject* parser_options_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(parser_options_signature, args, nargs, kwnames, bound)) return nullptr;
    const ReaderOptions* options = parser_options(bound[0]);
    if (options == nullptr) {
      add_argument_note("parser");
      return nullptr;
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    // In the order of Parser's keywords.
    const struct {
      const char* name;
      bool value;
    } flags[] = {
        {"allow_advanced", options->allow_advanced},
        {"allow_transport", options->allow_transport},
        {"allow_display_hints", options->allow_display_hints},
        {"allow_empty_atoms", options->allow_empty_atoms},
        {"allow_empty_lists", options->allow_empty_lists},
        {"allow_list_as_first_element", options->allow_list_as_first_element},
        {"allow_hexadecimal", options->allow_hexadecimal},
        {"allow_base64", options->allow_base64},
        {"allow_lengths", options->allow_lengths},
    };
    if (!set_item(dict.get(), "max_depth", PyLong_FromUnsignedLongLong(options->max_depth)) ||
        !set_item(dict.get(), "max_atom_len", limit(options->max_atom_len)) ||
        !set_item(dict.get(), "max_input_len", limit(options->max_input_len))) {
      return nullptr;
    }
    for (const auto& flag : flags) {
      if (!set_item(dict.get(), flag.name, PyBool_FromLong(flag.value))) return nullptr;
    }
    return dict.release();
  });
}

}  // namespace tarnel::py
