#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "error/parse_error.h"
#include "query/py_tree.h"
#include "query/query.h"
#include "runtime/args.h"
#include "runtime/buffer.h"
#include "runtime/errors.h"
#include "runtime/ref.h"
#include "tarnel/match.h"
#include "tarnel/pattern_engine.h"
#include "value/atom.h"

namespace tarnel::py {
namespace {

// The capsule's name: a capsule of another name is refused by PyCapsule_GetPointer.
constexpr const char* capsule_name = "tarnel._streaming.Pattern";

constexpr Param compile_params[] = {{"pattern", ParamKind::PositionalOrKeyword, true}};
constexpr Signature compile_signature{"compile_pattern()", compile_params};

constexpr Param match_params[] = {
    {"compiled", ParamKind::PositionalOrKeyword, true},
    {"sexp", ParamKind::PositionalOrKeyword, true},
};
constexpr Signature match_signature{"match_compiled()", match_params};

void release_pattern(PyObject* capsule) noexcept {
  delete static_cast<Pattern*>(PyCapsule_GetPointer(capsule, capsule_name));
}

// "InvalidVariable" as Python spells kinds: "invalid_variable".
Ref snake_case(std::string_view name) {
  char out[64];
  std::size_t n = 0;
  for (char c : name) {
    if (n + 2 > sizeof out) break;
    if (c >= 'A' && c <= 'Z') {
      if (n != 0) out[n++] = '_';
      out[n++] = static_cast<char>(c - 'A' + 'a');
    } else {
      out[n++] = c;
    }
  }
  return Ref::steal(PyUnicode_FromStringAndSize(out, static_cast<Py_ssize_t>(n)));
}

// Raises ParseError for a pattern the compiler refused, as raise_parse_error does for a read:
// the message, `offset` and `kind`. Returns null.
PyObject* raise_pattern_error(const PatternError& error) {
  PyObject* type = parse_error_type();
  if (type == nullptr) return nullptr;
  char text[error_display_capacity];
  const std::size_t length = format_pattern_error(error, text);
  Ref message = Ref::steal(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(length)));
  if (!message) return nullptr;
  Ref instance = Ref::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
  if (!instance) return nullptr;
  Ref offset = Ref::steal(PyLong_FromUnsignedLongLong(error.offset));
  if (!offset || PyObject_SetAttrString(instance.get(), "offset", offset.get()) < 0) {
    return nullptr;
  }
  Ref kind = snake_case(pattern_error_name(error));
  if (!kind || PyObject_SetAttrString(instance.get(), "kind", kind.get()) < 0) return nullptr;
  PyErr_SetObject(type, instance.get());
  return nullptr;
}

// (capsule, names): the compiled pattern, owned by the capsule, and its names as a tuple of str.
PyObject* wrap(Pattern&& pattern) {
  auto held = std::make_unique<Pattern>(std::move(pattern));
  std::span<const std::string> names = held->names();
  Ref name_tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!name_tuple) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    Ref name = Ref::steal(
        PyUnicode_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size())));
    // PyTuple_SetItem takes the reference it is given.
    if (!name ||
        PyTuple_SetItem(name_tuple.get(), static_cast<Py_ssize_t>(i), name.release()) < 0) {
      return nullptr;
    }
  }
  Ref capsule = Ref::steal(PyCapsule_New(held.get(), capsule_name, release_pattern));
  if (!capsule) return nullptr;
  (void)held.release();  // the capsule owns it now
  return PyTuple_Pack(2, capsule.get(), name_tuple.get());
}

// A pattern written as text: str (as UTF-8), bytes, or a buffer of octets.
bool pattern_text(PyObject* object, OctetBuffer& buffer, std::span<const std::uint8_t>& out,
                  bool& is_text) {
  is_text = true;
  if (PyUnicode_Check(object)) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(object, &n);
    if (p == nullptr) return false;
    out = {reinterpret_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n)};
    return true;
  }
  if (PyBytes_Check(object)) {
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(object, &p, &n) < 0) return false;
    out = {reinterpret_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n)};
    return true;
  }
  if (PyByteArray_Check(object) || PyMemoryView_Check(object)) {
    const OctetBuffer::Taken taken = take_buffer_octets(object, buffer);
    if (taken == OctetBuffer::Taken::Failed) return false;
    if (taken == OctetBuffer::Taken::Octets) {
      out = buffer.view();
      return true;
    }
    PyErr_SetString(PyExc_TypeError, "a pattern's text must be a buffer of unsigned bytes");
    return false;
  }
  is_text = false;
  return true;
}

PyObject* compile(PyObject* object) {
  OctetBuffer buffer;
  std::span<const std::uint8_t> text;
  bool is_text = false;
  if (!pattern_text(object, buffer, text, is_text)) return nullptr;
  if (is_text) {
    Result<Pattern, PatternError> compiled = compile_pattern(text);
    if (!compiled) return raise_pattern_error(compiled.error());
    return wrap(std::move(*compiled));
  }
  PyObject* atom = atom_type();
  if (atom == nullptr) return nullptr;
  PyTree tree(atom);
  query::Compiler<PyTree> compiler(tree, nullptr);
  if (compiler.run(object)) return wrap(std::move(compiler.pattern()));
  if (compiler.tree_failed()) return nullptr;
  return raise_pattern_error(compiler.error());
}

// The dict of a successful match: every name of the pattern in order, bound to the object it
// matched, to a new list of a rest's elements, or to None. The objects are held first, while no
// Python code can run: making the dict and lists allocates, and so may run the collector, whose
// finalizers may change the lists the bindings point into.
PyObject* bindings(PyTree& tree, const Pattern& pattern,
                   const std::vector<query::Matcher<PyTree>::Bound>& slots) {
  std::vector<std::vector<Ref>> held(slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const query::Matcher<PyTree>::Bound& slot = slots[i];
    if (!slot.bound) continue;
    if (!pattern.is_rest(i)) {
      held[i].push_back(Ref::borrow(slot.value));
      continue;
    }
    const std::size_t size = tree.size(slot.value);
    held[i].reserve(size - slot.from + 1);
    held[i].push_back(Ref::borrow(slot.value));  // keeps the run's list alive as a whole
    for (std::size_t k = slot.from; k < size; ++k) {
      held[i].push_back(Ref::borrow(tree.element(slot.value, k)));
    }
  }
  Ref result = Ref::steal(PyDict_New());
  if (!result) return nullptr;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    Ref value;
    if (held[i].empty()) {
      value = Ref::borrow(Py_None);
    } else if (!pattern.is_rest(i)) {
      value = std::move(held[i][0]);
    } else {
      const std::size_t count = held[i].size() - 1;
      value = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
      if (!value) return nullptr;
      for (std::size_t k = 0; k < count; ++k) {
        // PyList_SetItem takes the reference it is given.
        if (PyList_SetItem(value.get(), static_cast<Py_ssize_t>(k), held[i][k + 1].release()) < 0) {
          return nullptr;
        }
      }
    }
    const std::string& name = pattern.names()[i];
    Ref key =
        Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!key || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return result.release();
}

}  // namespace

const char compile_pattern_doc[] =
    "compile_pattern(pattern)\n--\n\n"
    "Compiles a pattern, given as text or as a value, for match_compiled: the\n"
    "compiled pattern, and its names in order of first appearance.";

const char match_compiled_doc[] =
    "match_compiled(compiled, sexp)\n--\n\n"
    "Matches a value against a pattern compile_pattern made: a dict, or None.";

PyObject* compile_pattern_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(compile_signature, args, nargs, kwnames, bound)) return nullptr;
    return compile(bound[0]);
  });
}

PyObject* match_compiled_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(match_signature, args, nargs, kwnames, bound)) return nullptr;
    if (PyCapsule_IsValid(bound[0], capsule_name) == 0) {
      PyErr_SetString(PyExc_TypeError, "expected a pattern compile_pattern made");
      return nullptr;
    }
    const auto* pattern = static_cast<const Pattern*>(PyCapsule_GetPointer(bound[0], capsule_name));
    if (pattern == nullptr) return nullptr;
    PyObject* atom = atom_type();
    if (atom == nullptr) return nullptr;
    PyTree tree(atom);
    query::Matcher<PyTree> matcher(tree, *pattern);
    switch (matcher.run(bound[1])) {
      case query::Matcher<PyTree>::Outcome::Match:
        return bindings(tree, *pattern, matcher.slots());
      case query::Matcher<PyTree>::Outcome::NoMatch:
        return Ref::borrow(Py_None).release();
      case query::Matcher<PyTree>::Outcome::Failed:
        break;
    }
    add_argument_note("sexp");
    return nullptr;
  });
}

}  // namespace tarnel::py
