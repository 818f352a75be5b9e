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

#include "tarnel/error.h"
#include "tarnel/options.h"

namespace tarnel {
class StreamReader;
enum class StreamStatus : std::uint8_t;
}  // namespace tarnel

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

  bool atom(View data);
  bool hinted_atom(View data, View hint);
  bool list(std::size_t first);

  /// Drops every element held, ready for the next read.
  void reset() noexcept;

  /// The finished value (a new reference), its lists tracked by the collector again.
  PyObject* take() noexcept;

 private:
  bool push(PyObject* object);
  void drop() noexcept;

  std::vector<PyObject*> elements_;
  std::vector<PyObject*> untracked_;  // borrowed: every list made so far, with the collector on
  bool collector_on_;
  PyObject* atom_class_ = nullptr;  // borrowed
};

/// The next S-expression of `stream` read into `builder` (instantiated here, beside the builder,
/// so that its calls are inlined).
StreamStatus next_python(StreamReader& stream, PythonBuilder& builder);

}  // namespace tarnel::py
