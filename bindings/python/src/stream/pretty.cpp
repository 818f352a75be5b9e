#include "stream/pretty.h"

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "runtime/args.h"
#include "runtime/errors.h"
#include "runtime/ref.h"
#include "tarnel/buffer.h"
#include "value/walk.h"

namespace tarnel::py {
namespace {

static_assert(laid_out_depth_limit == conversion_depth_limit);

// The writer, taking exact bytes objects as atoms.
struct PrettySink : PrettyWriter {
  using PrettyWriter::PrettyWriter;

  void bytes(PyObject*, std::span<const std::uint8_t> data) { atom(data, nullptr); }
};

// One whole number argument of at least `least`, or false with the exception set and noted.
bool whole_number(PyObject* object, const char* name, long least, std::uint64_t& out) {
  if (PyBool_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be an integer, not bool", name);
    add_argument_note(name);
    return false;
  }
  Ref number = Ref::steal(PyNumber_Index(object));
  if (!number) {
    // Noted as the package notes its own refusals: the wrong type or value, not what `__index__`
    // itself raised otherwise.
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
      add_argument_note(name);
    }
    return false;
  }
  Ref floor = Ref::steal(PyLong_FromLong(least));
  if (!floor) return false;
  const int below = PyObject_RichCompareBool(number.get(), floor.get(), Py_LT);
  if (below < 0) return false;
  if (below) {
    PyErr_Format(PyExc_ValueError, "%s must be at least %ld, not %S", name, least, number.get());
    add_argument_note(name);
    return false;
  }
  out = PyLong_AsUnsignedLongLong(number.get());
  if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // Wider than any line or indentation the layout can meet: as wide as it takes.
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    out = UINT64_MAX;
  }
  return true;
}

// Whether the first fault of `sexp` in document order, walking each list once and measuring how
// deep it goes, is a list met inside itself (1) rather than one nested too deep (0); -1 with an
// exception set. A list met again, already measured, is refused where it would go too deep there.
int contains_itself_first(PyObject* sexp) {
  struct Entry {
    Ref object;
    bool closes;  // the end of the list `object`, whose items have all been walked
  };

  std::unordered_map<PyObject*, std::uint64_t> heights;  // measured lists: lists deep, itself too
  std::unordered_set<PyObject*> open;
  std::vector<Ref> met;  // every list opened, held so that no other object takes its address
  std::vector<Entry> stack;
  stack.push_back({Ref::borrow(sexp), false});
  while (!stack.empty()) {
    Entry entry = std::move(stack.back());
    stack.pop_back();
    PyObject* o = entry.object.get();
    const bool is_list = PyList_Check(o);
    if (!is_list && !PyTuple_Check(o)) continue;
    const Py_ssize_t size = is_list ? PyList_Size(o) : PyTuple_Size(o);
    if (size < 0) return -1;
    if (entry.closes) {
      std::uint64_t height = 0;
      for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = is_list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i);
        if (item == nullptr) return -1;
        const auto found = heights.find(item);
        if (found != heights.end()) height = std::max(height, found->second);
      }
      heights[o] = height + 1;
      open.erase(o);
      continue;
    }
    if (const auto found = heights.find(o); found != heights.end()) {
      if (open.size() + found->second > laid_out_depth_limit) return 0;
      continue;
    }
    if (open.count(o) != 0) return 1;
    if (open.size() >= laid_out_depth_limit) return 0;
    open.insert(o);
    met.push_back(Ref::borrow(o));
    stack.push_back({Ref::borrow(o), true});
    for (Py_ssize_t i = size; i-- > 0;) {
      PyObject* item = is_list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i);
      if (item == nullptr) return -1;
      stack.push_back({Ref::borrow(item), false});
    }
  }
  return 0;
}

constexpr Param to_pretty_params[] = {
    {"sexp", ParamKind::PositionalOrKeyword, true},
    {"width", ParamKind::PositionalOrKeyword, false},
    {"indent", ParamKind::PositionalOrKeyword, false},
};
constexpr Signature to_pretty_signature{"to_pretty()", to_pretty_params};

}  // namespace

const char to_pretty_doc[] =
    "to_pretty(sexp, width=72, indent=2)\n--\n\nThe advanced representation of `sexp` laid out "
    "over indented lines, as\n`tarnel.to_pretty` gives it.";

bool layout_from_python(PyObject* width, PyObject* indent, PrettyOptions& out) {
  out = PrettyOptions{};
  if (width != nullptr && !whole_number(width, "width", 1, out.width)) return false;
  if (indent != nullptr && !whole_number(indent, "indent", 0, out.indent)) return false;
  return true;
}

void raise_too_deep_to_lay_out() noexcept {
  PyErr_Format(PyExc_ValueError, "lists nested deeper than %llu",
               static_cast<unsigned long long>(laid_out_depth_limit));
}

PyObject* to_pretty_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind_fastcall(to_pretty_signature, args, nargs, kwnames, bound)) return nullptr;
    PrettyOptions layout;
    if (!layout_from_python(bound[1], bound[2], layout)) return nullptr;
    Buffer text;
    PrettySink sink(text, layout);
    bool too_deep = false;
    if (!walk_python(bound[0], sink, &too_deep)) {
      if (!too_deep) return nullptr;
      // A list that contains itself nests without end; say so where that is met first.
      PendingError deep;
      const int itself = contains_itself_first(bound[0]);
      if (itself < 0) return nullptr;
      if (itself == 0) {
        deep.restore();
        return nullptr;
      }
      PyErr_SetString(PyExc_ValueError, "a list that contains itself has no written form");
      return nullptr;
    }
    sink.finish();
    return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(text.data()),
                                       static_cast<Py_ssize_t>(text.size()));
  });
}

}  // namespace tarnel::py
