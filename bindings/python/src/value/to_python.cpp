#include "value/to_python.h"

#include <Python.h>

#include <cstddef>
#include <vector>

#include "runtime/errors.h"
#include "runtime/ref.h"
#include "tarnel/build.h"
#include "value/atom.h"

namespace tarnel::py {
namespace {

using View = std::span<const std::uint8_t>;

// The reader's builder for Python objects: a stack of new references to the finished elements
// of every open list. A list is made at its final size when its ')' arrives and takes over the
// references of its elements; it stays out of the cyclic collector's sight until `take`.
class PythonBuilder {
 public:
  explicit PythonBuilder(PythonReadScratch& scratch) noexcept
      : elements_(scratch.elements), untracked_(scratch.untracked) {
    elements_.clear();
    untracked_.clear();
  }

  PythonBuilder(const PythonBuilder&) = delete;
  PythonBuilder& operator=(const PythonBuilder&) = delete;

  ~PythonBuilder() {
    untracked_.clear();
    for (PyObject* element : elements_) xdecref(element);
    elements_.clear();
  }

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

  /// The finished value, its lists tracked by the collector again.
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

  std::vector<PyObject*>& elements_;
  std::vector<PyObject*>& untracked_;  // borrowed: every list made so far, with the collector on
  const bool collector_on_ = PyGC_IsEnabled() != 0;
  PyObject* atom_class_ = nullptr;  // borrowed
};

// The builder's element, or the exception for why the read stopped.
PyObject* finish(const Built& read, PythonBuilder& builder) {
  if (read) return builder.take();
  if (read.error().by_builder) return nullptr;  // its exception is set
  return raise_parse_error(read.error().refusal);
}

}  // namespace

PyObject* read_whole_to_python(const ReaderOptions& options, View input) {
  PythonReadScratch scratch;
  PythonBuilder builder(scratch);
  return finish(build_whole(options, input, builder), builder);
}

PyObject* read_prefix_to_python(const ReaderOptions& options, View input, std::uint64_t& consumed) {
  PythonReadScratch scratch;
  PythonBuilder builder(scratch);
  Built read = build_prefix(options, input, builder);
  if (read) consumed = *read;
  return finish(read, builder);
}

PythonRead read_prefix_as_python(const ReaderOptions& options, View input,
                                 PythonReadScratch& scratch) {
  PythonBuilder builder(scratch);
  Built read = build_prefix(options, input, builder, scratch.build);
  PythonRead out;
  if (read) {
    out.status = PythonRead::Status::Read;
    out.consumed = *read;
    out.value = builder.take();
  } else if (!read.error().by_builder) {
    out.status = PythonRead::Status::Refused;
    out.refusal = read.error().refusal;
  }
  return out;
}

}  // namespace tarnel::py
