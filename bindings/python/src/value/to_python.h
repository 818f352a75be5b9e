// Reads input straight into the Python objects that stand for what it holds: bytes for an atom
// without a hint, an Atom for one with a hint (an empty hint included), a fresh list for every
// list. The reader's driver (tarnel/build.h) hands each element over as it is read, so no
// intermediate tree is made: a parse holds the input, the finished objects of the lists still
// open, and the result. Lists open on a heap stack, so any depth the options allow builds with a
// fixed amount of call stack. On any failure everything built so far is released.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "runtime/ref.h"
#include "tarnel/error.h"
#include "tarnel/options.h"
#include "value/atom.h"

namespace tarnel::py {

/// A new reference to the Python value of the S-expression that makes up the whole input, or
/// null with an exception set (ParseError where the input is refused).
PyObject* read_whole_to_python(const ReaderOptions& options, std::span<const std::uint8_t> input);

/// As `read_whole_to_python` for the S-expression at the start of the input; `consumed` receives
/// the number of octets it occupied.
PyObject* read_prefix_to_python(const ReaderOptions& options, std::span<const std::uint8_t> input,
                                std::uint64_t& consumed);

/// The reader's builder for Python objects (tarnel/build.h): a stack of new references to the
/// finished elements of every open list. A list is made at its final size when its ')' arrives and
/// takes over the references of its elements; it stays out of the cyclic collector's sight until
/// `take`. One builder may serve many reads one after another (`reset` between them), as the
/// stream reader's does. Used with the GIL held.
class PythonBuilder {
 public:
  using View = std::span<const std::uint8_t>;

  PythonBuilder() noexcept : collector_on_(PyGC_IsEnabled() != 0) {}

  PythonBuilder(const PythonBuilder&) = delete;
  PythonBuilder& operator=(const PythonBuilder&) = delete;

  ~PythonBuilder() { drop(); }

  std::size_t size() const noexcept { return elements_.size(); }

  bool is_list(std::size_t i) const noexcept { return PyList_CheckExact(elements_[i]); }

  bool atom(View data) {
    return push(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                          static_cast<Py_ssize_t>(data.size())));
  }

  bool hinted_atom(View data, View hint) {
    if (atom_class_ == nullptr) {
      atom_class_ = atom_type();
      if (atom_class_ == nullptr) return false;
    }
    return push(new_atom(atom_class_, data, hint));
  }

  bool list(std::size_t first) {
    const std::size_t count = elements_.size() - first;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (list == nullptr) return false;
    // The collector is kept away from the lists until the whole value is handed over: they hold
    // nothing but what this read made, so no cycle can form, and a collection of the generation
    // that is filling up would otherwise walk them again and again as they are made. With the
    // collector off there is nothing to keep it from.
    if (collector_on_) {
      try {
        untracked_.push_back(list);
      } catch (...) {
        decref(list);
        throw;
      }
      PyObject_GC_UnTrack(list);
    }
    for (std::size_t i = 0; i < count; ++i) {
      PyObject*& element = elements_[first + i];
      // PyList_SetItem takes the reference, also when it fails.
      const int set = PyList_SetItem(list, static_cast<Py_ssize_t>(i), element);
      element = nullptr;
      if (set < 0) {
        decref(list);
        return false;
      }
    }
    elements_.resize(first);
    return push(list);
  }

  /// Drops every element held, ready for the next read.
  void reset() noexcept {
    drop();
    collector_on_ = PyGC_IsEnabled() != 0;
  }

  /// The finished value (a new reference), its lists tracked by the collector again.
  PyObject* take() noexcept {
    for (PyObject* list : untracked_) PyObject_GC_Track(list);
    untracked_.clear();
    PyObject* result = elements_.back();
    elements_.pop_back();
    return result;
  }

 private:
  // Takes the new reference `object` (null: its creation failed, with an exception set).
  bool push(PyObject* object) {
    if (object == nullptr) return false;
    try {
      elements_.push_back(object);
    } catch (...) {
      decref(object);
      throw;
    }
    return true;
  }

  void drop() noexcept {
    untracked_.clear();
    for (PyObject* element : elements_) xdecref(element);
    elements_.clear();
  }

  std::vector<PyObject*> elements_;
  std::vector<PyObject*> untracked_;  // borrowed: every list made so far, with the collector on
  bool collector_on_;
  PyObject* atom_class_ = nullptr;  // borrowed
};

}  // namespace tarnel::py
