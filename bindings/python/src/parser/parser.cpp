#include "parser/parser.h"

#include <Python.h>

#include <cstring>

#include "runtime/args.h"
#include "runtime/buffer.h"
#include "runtime/errors.h"
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

// The keyword conversions of Parser.

// A bool, or a NumPy boolean scalar (whose __bool__ must give a bool).
bool convert_flag(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  if (object == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bool'");
    return false;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  Ref name = module ? Ref::steal(PyObject_GetAttrString(type, "__name__")) : Ref();
  if (!module || !name) {
    if (!pending_exception_is_replaceable()) return false;
    PyErr_Clear();
  } else if (PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
             PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
             (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
              PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0)) {
    Ref method = Ref::steal(PyObject_GetAttrString(object, "__bool__"));
    if (!method) return false;
    Ref result = Ref::steal(PyObject_CallNoArgs(method.get()));
    if (!result) return false;
    if (result.get() == Py_True || result.get() == Py_False) {
      out = result.get() == Py_True;
      return true;
    }
    raise_not_an_instance(result.get(), "bool");
    return false;
  }
  raise_not_an_instance(object, "bool");
  return false;
}

// An integer (anything with __index__) from 0 to 2^64-1, with the interpreter's own errors.
bool convert_count(PyObject* object, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return false;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

enum Keyword : std::size_t {
  kCanonical,
  kMaxDepth,
  kMaxAtomLen,
  kMaxInputLen,
  kAllowAdvanced,
  kAllowTransport,
  kAllowDisplayHints,
  kAllowEmptyAtoms,
  kAllowEmptyLists,
  kAllowListAsFirstElement,
  kAllowHexadecimal,
  kAllowBase64,
  kAllowLengths,
  kKeywordCount,
};

constexpr Param parser_params[kKeywordCount] = {
    {"canonical", ParamKind::KeywordOnly, false},
    {"max_depth", ParamKind::KeywordOnly, false},
    {"max_atom_len", ParamKind::KeywordOnly, false},
    {"max_input_len", ParamKind::KeywordOnly, false},
    {"allow_advanced", ParamKind::KeywordOnly, false},
    {"allow_transport", ParamKind::KeywordOnly, false},
    {"allow_display_hints", ParamKind::KeywordOnly, false},
    {"allow_empty_atoms", ParamKind::KeywordOnly, false},
    {"allow_empty_lists", ParamKind::KeywordOnly, false},
    {"allow_list_as_first_element", ParamKind::KeywordOnly, false},
    {"allow_hexadecimal", ParamKind::KeywordOnly, false},
    {"allow_base64", ParamKind::KeywordOnly, false},
    {"allow_lengths", ParamKind::KeywordOnly, false},
};
constexpr Signature parser_new_signature{"Parser.__new__()", parser_params};

bool convert_keyword(std::size_t keyword, PyObject* object, bool* flags, std::uint64_t* counts) {
  bool ok;
  if (keyword == kMaxDepth) {
    ok = convert_count(object, counts[0]);
  } else if (keyword == kMaxAtomLen || keyword == kMaxInputLen) {
    std::uint64_t& target = counts[keyword == kMaxAtomLen ? 1 : 2];
    if (object == Py_None) {
      target = no_limit;
      return true;
    }
    ok = convert_count(object, target);
  } else {
    ok = convert_flag(object, flags[keyword]);
  }
  if (!ok) add_argument_note(parser_params[keyword].name);
  return ok;
}

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[kKeywordCount];
    if (!bind_tuple_and_dict(parser_new_signature, args, kwargs, bound)) return nullptr;
    bool flags[kKeywordCount];
    for (bool& f : flags) f = true;
    flags[kCanonical] = false;
    std::uint64_t counts[3] = {default_max_depth, no_limit, no_limit};
    for (std::size_t k = 0; k < kKeywordCount; ++k) {
      if (bound[k] != nullptr && !convert_keyword(k, bound[k], flags, counts)) return nullptr;
    }
    ReaderOptions options;
    options.max_depth = counts[0];
    options.max_atom_len = counts[1];
    options.max_input_len = counts[2];
    options.allow_advanced = flags[kAllowAdvanced] && !flags[kCanonical];
    options.allow_transport = flags[kAllowTransport] && !flags[kCanonical];
    options.allow_display_hints = flags[kAllowDisplayHints];
    options.allow_empty_atoms = flags[kAllowEmptyAtoms];
    options.allow_empty_lists = flags[kAllowEmptyLists];
    options.allow_list_as_first_element = flags[kAllowListAsFirstElement];
    options.allow_hexadecimal = flags[kAllowHexadecimal];
    options.allow_base64 = flags[kAllowBase64];
    options.allow_lengths = flags[kAllowLengths];
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
    {Py_tp_doc,
     const_cast<char*>(
         "Parser(*, canonical=False, max_depth=..., max_atom_len=None, max_input_len=None, "
         "allow_advanced=True, allow_transport=True, allow_display_hints=True, "
         "allow_empty_atoms=True, allow_empty_lists=True, allow_list_as_first_element=True, "
         "allow_hexadecimal=True, allow_base64=True, allow_lengths=True)\n--\n\nA reader of "
         "S-expressions, and the restrictions it reads against.\n\nBuilt with no arguments it "
         "accepts every representation of \xc2\xa7"
         "6, which is\nwhat \xc2\xa7"
         "6 asks a reader to accept. Each keyword turns on one of the\nrestrictions \xc2\xa7"
         "8 lists, or bounds how large or how deeply nested the input\nmay be.\n\nA parser "
         "holds no state between parses, so one may be built once and used\nas often as "
         "wanted.")},
    {0, nullptr},
};

PyType_Spec parser_spec = {
    "tarnel.Parser", sizeof(ParserObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    parser_slots,
};

PyObject* make_parser_type() { return PyType_FromSpec(&parser_spec); }

}  // namespace

bool flag_from_python(PyObject* object, bool& out) { return convert_flag(object, out); }

PyObject* parse_object(const ReaderOptions& options, PyObject* data) {
  InputOctets input;
  if (!input.convert(data)) {
    add_argument_note("data");
    return nullptr;
  }
  return read_whole_to_python(options, input.view());
}

PyObject* parser_type() noexcept { return cached_type(TypeId::Parser, make_parser_type); }

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

}  // namespace tarnel::py
