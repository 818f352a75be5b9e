#include <Python.h>

#include "value/writing.h"

#include <vector>

#include "encode/advanced/advanced.h"
#include "encode/canonical/canonical.h"
#include "encode/transport/transport.h"
#include "runtime/args.h"
#include "runtime/guard.h"
#include "runtime/ref.h"
#include "value/atom.h"

namespace tarnel::py {
namespace {

// Takes a new reference to each item of a list or tuple, in order, as it holds them now. No
// Python code runs while the snapshot is taken.
bool push_snapshot(PyObject* sequence, bool is_list, std::vector<Ref>& work) {
  Py_ssize_t size = is_list ? PyList_Size(sequence) : PyTuple_Size(sequence);
  if (size < 0) return false;
  std::size_t base = work.size();
  work.resize(base + static_cast<std::size_t>(size));
  // Pushed last first, so that the first item comes off the stack next.
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = is_list ? PyList_GetItem(sequence, i) : PyTuple_GetItem(sequence, i);
    if (item == nullptr) return false;
    work[base + static_cast<std::size_t>(size - 1 - i)] = Ref::borrow(item);
  }
  return true;
}

}  // namespace

bool value_from_python(PyObject* object, Value& out) {
  PyObject* atom = atom_type();
  if (atom == nullptr) return false;
  // Work entries: an object still to convert, or (null) the end of the innermost open list.
  std::vector<Ref> work;
  std::vector<Value::List> open;
  work.push_back(Ref::borrow(object));
  while (!work.empty()) {
    Ref entry = std::move(work.back());
    work.pop_back();
    // The common item, an exact bytes object inside a list, goes straight into it: the same atom
    // atom_from_python makes, without its type tests and the moves of a finished value.
    if (!open.empty() && entry && PyBytes_CheckExact(entry.get())) {
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(entry.get(), &data, &size) < 0) return false;
      open.back().push_back(Value::atom(Octets(std::span(
          reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)))));
      continue;
    }
    Value finished;
    if (!entry) {
      if (open.empty()) {
        PyErr_SetString(PyExc_TypeError, "a list was closed that was never opened");
        return false;
      }
      finished = Value::list(std::move(open.back()));
      open.pop_back();
    } else {
      PyObject* o = entry.get();
      bool is_list = PyList_Check(o);
      if (is_list || PyTuple_Check(o)) {
        if (open.size() >= conversion_depth_limit) {
          PyErr_Format(PyExc_ValueError, "lists nested deeper than %zu", conversion_depth_limit);
          return false;
        }
        work.emplace_back();  // the end-of-list marker, under the items
        std::size_t marker = work.size();
        if (!push_snapshot(o, is_list, work)) return false;
        open.emplace_back();
        open.back().reserve(work.size() - marker);
        continue;
      }
      if (!atom_from_python(o, atom, finished)) return false;
    }
    if (open.empty()) {
      out = std::move(finished);
      return true;
    }
    open.back().push_back(std::move(finished));
  }
  PyErr_SetString(PyExc_TypeError, "no S-expression was read");
  return false;
}

namespace {

constexpr Param sexp_params[] = {{"sexp", ParamKind::PositionalOrKeyword, true}};

template <class Write>
PyObject* write_with(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Write write) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(signature, args, nargs, kwnames, bound)) return nullptr;
    Value value;
    if (!value_from_python(bound[0], value)) return nullptr;
    return write(value);
  });
}

PyObject* text_of(const Buffer& text) {
  return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(text.data()),
                                     static_cast<Py_ssize_t>(text.size()));
}

constexpr Signature to_canonical_signature{"to_canonical()", sexp_params};
constexpr Signature to_transport_signature{"to_transport()", sexp_params};
constexpr Signature to_advanced_signature{"to_advanced()", sexp_params};

}  // namespace

PyObject* to_canonical_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return write_with(to_canonical_signature, args, nargs, kwnames, [](const Value& v) {
    // Written straight into the bytes object: the size is known before a byte is written.
    std::uint64_t size = canonical_size(v);
    if (size >= (std::uint64_t{1} << 63)) throw std::bad_alloc();
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) return bytes;
    encode_canonical_into(v, reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes)));
    return bytes;
  });
}

PyObject* to_transport_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return write_with(to_transport_signature, args, nargs, kwnames,
                    [](const Value& v) { return text_of(encode_transport(v)); });
}

PyObject* to_advanced_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  return write_with(to_advanced_signature, args, nargs, kwnames,
                    [](const Value& v) { return text_of(encode_advanced(v)); });
}

}  // namespace tarnel::py
