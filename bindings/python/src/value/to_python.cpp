#include "value/to_python.h"

#include <Python.h>

#include "runtime/errors.h"
#include "runtime/ref.h"
#include "tarnel/build.h"

namespace tarnel::py {
namespace {

using View = std::span<const std::uint8_t>;

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

}  // namespace tarnel::py
