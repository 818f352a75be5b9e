#include "parser/parser.h"

#include <Python.h>

#include <cstring>
#include <iterator>
#include <string>

#include "runtime/args.h"
#include "runtime/buffer.h"
#include "runtime/errors.h"
#include "runtime/reader_options.h"
#include "runtime/ref.h"
#include "runtime/types.h"
#include "tarnel/options.h"
#include "value/atom.h"
#include "value/to_python.h"

namespace tarnel::py {
namespace {

struct ParserObject {
  PyObject_HEAD ReaderOptions options;
};

// The octets of a `data` argument. Immutable bytes and str objects are read in place (nothing
// keeps pointing into them afterwards). So are the buffers of bytearrays, memoryviews and arrays
// of unsigned bytes where the interpreter lets them be held: held, they cannot change while the
// reader works, even though Python code (a finalizer the collector runs) may run meanwhile.
// Anything else is converted into a copy owned by the call.
class InputOctets {
 public:
  bool convert(PyObject* data) {
    if (PyBytes_Check(data)) {
      char* p = nullptr;
      Py_ssize_t n = 0;
      if (PyBytes_AsStringAndSize(data, &p, &n) < 0) return false;
      view_ = {reinterpret_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n)};
      return true;
    }
    if (PyUnicode_Check(data)) {
      Py_ssize_t n = 0;
      const char* p = PyUnicode_AsUTF8AndSize(data, &n);
      if (p == nullptr) return false;
      view_ = {reinterpret_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n)};
      return true;
    }
    const OctetBuffer::Taken taken = take_buffer_octets(data, buffer_);
    if (taken == OctetBuffer::Taken::Failed) return false;
    if (taken == OctetBuffer::Taken::Octets) {
      view_ = buffer_.view();
      return true;
    }
    PyObject* atom = atom_type();
    if (atom == nullptr) return false;
    if (!octets_from_python(data, atom, copy_)) return false;
    view_ = copy_.view();
    return true;
  }

  std::span<const std::uint8_t> view() const { return view_; }

 private:
  OctetBuffer buffer_;
  Octets copy_;
  std::span<const std::uint8_t> view_;
};

constexpr Param data_params[] = {{"data", ParamKind::PositionalOrKeyword, true}};

bool bind_data(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, InputOctets& input) {
  PyObject* bound[1];
  if (!bind_fastcall(signature, args, nargs, kwnames, bound)) return false;
  if (!input.convert(bound[0])) {
    add_argument_note("data");
    return false;
  }
  return true;
}

PyObject* run_parse(const Signature& signature, const ReaderOptions& options, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    InputOctets input;
    if (!bind_data(signature, args, nargs, kwnames, input)) return nullptr;
    return read_whole_to_python(options, input.view());
  });
}

constexpr Signature parse_signature{"parse()", data_params};
constexpr Signature parse_canonical_signature{"parse_canonical()", data_params};
constexpr Signature method_parse_signature{"Parser.parse()", data_params};
constexpr Signature method_parse_prefix_signature{"Parser.parse_prefix()", data_params};

PyObject* parser_parse(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return run_parse(method_parse_signature, reinterpret_cast<ParserObject*>(self)->options, args,
                   nargs, kwnames);
}

PyObject* parser_parse_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    InputOctets input;
    if (!bind_data(method_parse_prefix_signature, args, nargs, kwnames, input)) return nullptr;
    std::uint64_t octets = 0;
    Ref value = Ref::steal(read_prefix_to_python(reinterpret_cast<ParserObject*>(self)->options,
                                                 input.view(), octets));
    if (!value) return nullptr;
    Ref consumed = Ref::steal(PyLong_FromUnsignedLongLong(octets));
    if (!consumed) return nullptr;
    return PyTuple_Pack(2, value.get(), consumed.get());
  });
}

constexpr Signature parser_new_signature{"Parser.__new__()", parser_params};

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[parser_params.size()];
    if (!bind_tuple_and_dict(parser_new_signature, args, kwargs, bound)) return nullptr;
    bool canonical = false;
    if (bound[0] != nullptr && !flag_from_python(bound[0], canonical)) {
      add_argument_note("canonical");
      return nullptr;
    }
    ReaderOptions options = default_options;
    for (std::size_t i = 0; i < reader_option_count; ++i) {
      const ReaderOption& option = reader_option_table[i];
      if (bound[i + 1] != nullptr && !option_from_python(option, bound[i + 1], options)) {
        add_argument_note(option.name);
        return nullptr;
      }
    }
    if (canonical) {
      options.allow_advanced = false;
      options.allow_transport = false;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<ParserObject*>(self)->options = options;
    return self;
  });
}

PyObject* parser_repr(PyObject*) noexcept { return PyUnicode_FromString("Parser()"); }

void parser_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  decref(type);
}

PyMethodDef parser_methods[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parser_parse)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse($self, data)\n--\n\nReads one S-expression, which is the whole of the input."},
    {"parse_prefix",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parser_parse_prefix)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_prefix($self, data)\n--\n\nReads one S-expression from the start of the input, and "
     "returns it with\nthe number of octets it occupied.\n\nWhat follows is not examined, so this "
     "is the way to read a stream of\nS-expressions one after another."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_repr, reinterpret_cast<void*>(parser_repr)},
    {Py_tp_methods, parser_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(parser_dealloc)},
    {Py_tp_doc, nullptr},  // made from the table of options at first use
    {0, nullptr},
};

PyType_Spec parser_spec = {
    "tarnel.Parser", sizeof(ParserObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    parser_slots,
};

// Its keywords and their defaults come from the table of options.
const char parser_doc_rest[] =
    ")\n--\n\nA reader of S-expressions, and the restrictions it reads against.\n\nBuilt with no "
    "arguments it accepts every representation of \xc2\xa7"
    "6, which is\nwhat \xc2\xa7"
    "6 asks a reader to accept. Each keyword turns on one of the\nrestrictions \xc2\xa7"
    "8 lists, or bounds how large or how deeply nested the input\nmay be.\n\nA parser holds no "
    "state between parses, so one may be built once and used\nas often as wanted.";

PyObject* make_parser_type() { return PyType_FromSpec(&parser_spec); }

// The class, with its docstring made from the table of options once, before the first class is
// made (a magic static, so interpreters starting at once wait for it).
PyObject* make_documented_parser_type() {
  static const std::string doc =
      "Parser(*, canonical=False, " + parser_keyword_defaults() + parser_doc_rest;
  static const bool documented = [] {
    for (PyType_Slot& slot : parser_slots) {
      if (slot.slot == Py_tp_doc) slot.pfunc = const_cast<char*>(doc.c_str());
    }
    return true;
  }();
  (void)documented;
  return make_parser_type();
}

}  // namespace

PyObject* parse_object(const ReaderOptions& options, PyObject* data) {
  InputOctets input;
  if (!input.convert(data)) {
    add_argument_note("data");
    return nullptr;
  }
  return read_whole_to_python(options, input.view());
}

PyObject* parser_type() noexcept { return cached_type(TypeId::Parser, make_documented_parser_type); }

const ReaderOptions* parser_options(PyObject* object) noexcept {
  PyObject* type = parser_type();
  if (type == nullptr) return nullptr;
  const int is_parser = PyObject_IsInstance(object, type);
  if (is_parser < 0) return nullptr;
  if (is_parser == 0) {
    raise_not_an_instance(object, "Parser");
    return nullptr;
  }
  return &reinterpret_cast<ParserObject*>(object)->options;
}

PyObject* parse_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return run_parse(parse_signature, default_options, args, nargs, kwnames);
}

PyObject* parse_canonical_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return run_parse(parse_canonical_signature, canonical_options, args, nargs, kwnames);
}

namespace {

constexpr Param parser_options_params[] = {{"parser", ParamKind::PositionalOrKeyword, true}};
constexpr Signature parser_options_signature{"parser_options()", parser_options_params};

}  // namespace

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

namespace {

constexpr Param parse_raw_params[] = {
    {"data", ParamKind::PositionalOrKeyword, true},
    {"parser", ParamKind::PositionalOrKeyword, false},
};
constexpr Signature parse_raw_signature{"parse_raw()", parse_raw_params};

}  // namespace

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

const char parser_options_doc[] =
    "parser_options(parser)\n--\n\nThe keyword arguments that build a Parser reading exactly as "
    "`parser` reads.\n\n`canonical=True` shows as `allow_advanced` and `allow_transport` False; "
    "a\nlength limit of none as None.";

const char parse_raw_doc[] =
    "parse_raw(data, parser=None)\n--\n\nReads one S-expression as `parse` does, but lets a "
    "quoted string hold the\noctets 0x80-0xFF as they are.\n\nlibgcrypt, and so GnuPG, writes "
    "quoted strings that way, where \xc2\xa7"
    "6.4 allows\nonly printable ASCII. Every other rule, and every restriction and limit of\n"
    "`parser` (default `Parser()`), still holds. No writer produces such a string.";

}  // namespace tarnel::py
