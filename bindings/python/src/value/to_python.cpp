#include "value/to_python.h"

#include <Python.h>

#include <cstddef>
#include <vector>

#include "runtime/errors.h"
#include "runtime/ref.h"
#include "tarnel/build.h"
#include "tarnel/stream.h"
#include "value/atom.h"

namespace tarnel::py {
namespace {

using View = std::span<const std::uint8_t>;

}  // namespace

bool PythonBuilder::atom(View data) {
  return push(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                        static_cast<Py_ssize_t>(data.size())));
}

bool PythonBuilder::hinted_atom(View data, View hint) {
  if (atom_class_ == nullptr) {
    atom_class_ = atom_type();
    if (atom_class_ == nullptr) return false;
  }
  return push(new_atom(atom_class_, data, hint));
}

bool PythonBuilder::list(std::size_t first) {
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

void PythonBuilder::drop() noexcept {
  untracked_.clear();
  for (PyObject* element : elements_) xdecref(element);
  elements_.clear();
}

void PythonBuilder::reset() noexcept {
  drop();
  collector_on_ = PyGC_IsEnabled() != 0;
}

PyObject* PythonBuilder::take() noexcept {
  for (PyObject* list : untracked_) PyObject_GC_Track(list);
  untracked_.clear();
  PyObject* result = elements_.back();
  elements_.pop_back();
  return result;
}

// Takes the new reference `object` (null: its creation failed, with an exception set).
bool PythonBuilder::push(PyObject* object) {
  if (object == nullptr) return false;
  try {
    elements_.push_back(object);
  } catch (...) {
    decref(object);
    throw;
  }
  return true;
}

namespace {

// The builder's element, or the exception for why the read stopped.
PyObject* finish(const Built& read, PythonBuilder& builder) {
  if (read) return builder.take();
  if (read.error().by_builder) return nullptr;  // its exception is set
  return raise_parse_error(read.error().refusal);
}

}  // namespace

PyObject* read_whole_to_python(const ReaderOptions& options, View input) {
  PythonBuilder builder;
  return finish(build_whole(options, input, builder), builder);
}

PyObject* read_prefix_to_python(const ReaderOptions& options, View input, std::uint64_t& consumed) {
  PythonBuilder builder;
  Built read = build_prefix(options, input, builder);
  if (read) consumed = *read;
  return finish(read, builder);
}

StreamStatus next_python(StreamReader& stream, PythonBuilder& builder) {
  return stream.next_built(builder);
}

}  // namespace tarnel::py
