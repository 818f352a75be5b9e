// The tree adapter (tarnel/query_tree.h) over Python values, so that `find`, `find_all` and pattern
// matching run the core's own code on the objects `parse` returns, without copying them into a
// `Value` first: lists and tuples are lists; bytes, str (as UTF-8), bytearray and Atom are atoms.
// Anything else is not an S-expression, and stops the query with the writers' TypeError.
//
// Nodes are borrowed references. That is safe because a query runs no Python code from its first
// look at the tree to its last: every object is read through functions that call no Python code
// (type checks, sizes, items, the octets of exact types), and the query takes no reference of its
// own until it is done. Other sequences and buffers, which would need Python code to read, are
// not taken. A list that contains itself would be walked for ever: past a depth no real value
// reaches cheaply, the lists on the way down are kept in a set, and meeting one of them again is a
// ValueError.
#pragma once

#include <Python.h>

#include <cstddef>
#include <unordered_set>
#include <vector>

#include "runtime/errors.h"
#include "tarnel/query_tree.h"
#include "value/atom.h"

namespace tarnel::py {

class PyTree {
 public:
  using Node = PyObject*;

  /// `atom` is the interpreter's Atom class.
  explicit PyTree(PyObject* atom) noexcept : atom_(reinterpret_cast<PyTypeObject*>(atom)) {}

  query::NodeKind kind(PyObject* o) {
    if (PyBytes_CheckExact(o)) return query::NodeKind::Atom;
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return query::NodeKind::List;
    if (Py_TYPE(o) == atom_ || PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) {
      return query::NodeKind::Atom;
    }
    if (PyList_Check(o) || PyTuple_Check(o)) return query::NodeKind::List;
    raise_unconvertible(o);
    return query::NodeKind::Invalid;
  }

  std::size_t size(PyObject* list) noexcept {
    Py_ssize_t n = PyList_Check(list) ? PyList_Size(list) : PyTuple_Size(list);
    return n < 0 ? 0 : static_cast<std::size_t>(n);
  }

  PyObject* element(PyObject* list, std::size_t i) noexcept {
    const auto index = static_cast<Py_ssize_t>(i);
    return PyList_Check(list) ? PyList_GetItem(list, index) : PyTuple_GetItem(list, index);
  }

  bool atom(PyObject* o, query::AtomParts& out) {
    out.has_hint = false;
    out.hint = {};
    if (PyBytes_Check(o)) {
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(o, &data, &size) < 0) return false;
      out.data = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
      return true;
    }
    if (Py_TYPE(o) == atom_) {
      const auto* a = reinterpret_cast<const AtomObject*>(o);
      out.data = a->data.view();
      if (a->hint != nullptr) {
        out.has_hint = true;
        out.hint = a->hint->view();
      }
      return true;
    }
    if (PyUnicode_Check(o)) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(o, &size);
      if (data == nullptr) return false;
      out.data = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
      return true;
    }
    if (PyByteArray_Check(o)) {
      out.data = {reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(o)),
                  static_cast<std::size_t>(PyByteArray_Size(o))};
      return true;
    }
    raise_unconvertible(o);
    return false;
  }

  bool enter(PyObject* list) {
    if (path_.size() >= watch_from) {
      if (seen_.empty()) seen_.insert(path_.begin(), path_.end());
      if (!seen_.insert(list).second) {
        PyErr_SetString(PyExc_ValueError, "a list that contains itself is not an S-expression");
        return false;
      }
    }
    path_.push_back(list);
    return true;
  }

  void leave(PyObject* list) {
    path_.pop_back();
    if (!seen_.empty()) seen_.erase(list);
  }

 private:
  // Lists open at once before the walk starts watching for a list that contains itself.
  static constexpr std::size_t watch_from = 1000;

  PyTypeObject* atom_;
  std::vector<PyObject*> path_;
  std::unordered_set<PyObject*> seen_;
};

}  // namespace tarnel::py
