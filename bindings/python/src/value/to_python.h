// Reads input straight into the Python objects that stand for what it holds: bytes for an atom
// without a hint, an Atom for one with a hint (an empty hint included), a fresh list for every
// list. The reader's driver (decode/reader/build.h) hands each element over as it is read, so no
// intermediate tree is made: a parse holds the input, the finished objects of the lists still
// open, and the result. Lists open on a heap stack, so any depth the options allow builds with a
// fixed amount of call stack. On any failure everything built so far is released.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "tarnel/build.h"
#include "tarnel/error.h"
#include "tarnel/options.h"

namespace tarnel::py {

/// A new reference to the Python value of the S-expression that makes up the whole input, or
/// null with an exception set (ParseError where the input is refused).
PyObject* read_whole_to_python(const ReaderOptions& options, std::span<const std::uint8_t> input);

/// As `read_whole_to_python` for the S-expression at the start of the input; `consumed` receives
/// the number of octets it occupied.
PyObject* read_prefix_to_python(const ReaderOptions& options, std::span<const std::uint8_t> input,
                                std::uint64_t& consumed);

/// What one read into Python objects came to: the value and the octets it occupied, the input's
/// refusal (no exception set), or a failure to build with a Python exception set.
struct PythonRead {
  enum class Status : std::uint8_t { Read, Refused, Failed };
  Status status = Status::Failed;
  PyObject* value = nullptr;  // a new reference when Read
  std::uint64_t consumed = 0;
  ReadError refusal;
};

/// Storage one read into Python objects leaves for the next: a caller reading many S-expressions
/// one after another keeps one, so that the reads allocate none of it afresh. Holds no
/// references between reads.
struct PythonReadScratch {
  BuildScratch build;
  std::vector<PyObject*> elements;
  std::vector<PyObject*> untracked;
};

/// As `read_prefix_to_python`, but hands a refusal back as a value for the caller to place.
PythonRead read_prefix_as_python(const ReaderOptions& options, std::span<const std::uint8_t> input,
                                 PythonReadScratch& scratch);

}  // namespace tarnel::py
