// The walk over a Python value that every writer of both modules shares: lists and tuples as
// lists, nested at most `conversion_depth_limit` deep, everything else an atom as
// `atom_view_from_python` sees it, handed to a sink bracket by bracket and atom by atom in document
// order, with an explicit stack and no tree of values in between.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/ref.h"
#include "tarnel/value.h"
#include "value/atom.h"

namespace tarnel::py {

/// The most lists a writer keeps open at once.
inline constexpr std::size_t conversion_depth_limit = 1024;

// Takes a new reference to each item of a list or tuple from index `from` on, in order, as it
// holds them now; `first` is the item at `from`, already fetched. No Python code runs while the
// snapshot is taken.
inline bool push_snapshot(PyObject* sequence, bool is_list, Py_ssize_t from, PyObject* first,
                          Py_ssize_t size, std::vector<Ref>& work) {
  std::size_t base = work.size();
  work.resize(base + static_cast<std::size_t>(size - from));
  // Pushed last first, so that the first item comes off the stack next.
  work[base + static_cast<std::size_t>(size - 1 - from)] = Ref::borrow(first);
  for (Py_ssize_t i = from + 1; i < size; ++i) {
    PyObject* item = is_list ? PyList_GetItem(sequence, i) : PyTuple_GetItem(sequence, i);
    if (item == nullptr) return false;
    work[base + static_cast<std::size_t>(size - 1 - i)] = Ref::borrow(item);
  }
  return true;
}

// Hands `o`, an exact bytes object, to the sink. Inlined where the compiler allows: it runs once
// for each atom of most values.
template <class Sink>
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline bool write_bytes(PyObject* o, Sink& sink) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(o, &data, &size) < 0) return false;
  sink.bytes(
      o, std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
  return true;
}

/// Walks `object` in document order and hands each list bracket and atom to `sink` (a writer with
/// a `bytes` method, such as writing.cpp's sinks), with the conversions, checks and messages a tree
/// of values would get: each list's items are taken as it holds them when the walk reaches it,
/// lists nest at most `conversion_depth_limit` deep, and the first object in document order that
/// cannot be converted is the one refused. Exact bytes objects go to `sink.bytes`, every other
/// atom to `sink.atom`. False with an exception set on failure; `too_deep`, where given, then says
/// whether the failure was a list nested too deep.
template <class Sink>
bool walk_python(PyObject* object, Sink& sink, bool* too_deep = nullptr) {
  PyObject* atom = atom_type();
  if (atom == nullptr) return false;
  // Work entries: an object still to write, or (null) the end of the innermost open list.
  std::vector<Ref> work;
  std::size_t open = 0;
  Octets scratch;
  work.push_back(Ref::borrow(object));
  while (!work.empty()) {
    Ref entry = std::move(work.back());
    work.pop_back();
    if (!entry) {
      sink.close_list();
      --open;
      continue;
    }
    PyObject* o = entry.get();
    if (PyBytes_CheckExact(o)) {
      if (!write_bytes(o, sink)) return false;
      continue;
    }
    bool is_list = PyList_Check(o);
    if (is_list || PyTuple_Check(o)) {
      if (open >= conversion_depth_limit) {
        if (too_deep != nullptr) *too_deep = true;
        PyErr_Format(PyExc_ValueError, "lists nested deeper than %zu", conversion_depth_limit);
        return false;
      }
      Py_ssize_t size = is_list ? PyList_Size(o) : PyTuple_Size(o);
      if (size < 0) return false;
      sink.open_list();
      // The leading exact bytes items are written at once: they would come off the stack next,
      // and no Python code runs before they are written, so they need no reference of their own.
      Py_ssize_t i = 0;
      PyObject* item = nullptr;  // the first item that is not exact bytes
      for (; i < size; ++i) {
        item = is_list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i);
        if (item == nullptr) return false;
        if (!PyBytes_CheckExact(item)) break;
        if (!write_bytes(item, sink)) return false;
      }
      if (i == size) {
        sink.close_list();
        continue;
      }
      work.emplace_back();  // the end-of-list marker, under the items
      if (i + 1 == size) {
        work.push_back(Ref::borrow(item));  // one item left: a list that only holds another
      } else if (!push_snapshot(o, is_list, i, item, size, work)) {
        return false;
      }
      ++open;
      continue;
    }
    AtomView view;
    if (!atom_view_from_python(o, atom, scratch, view)) return false;
    sink.atom(view.data, view.hint);
  }
  return true;
}

}  // namespace tarnel::py
