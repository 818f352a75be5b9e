#include "value/writing.h"

#include <Python.h>

#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "runtime/args.h"
#include "runtime/errors.h"
#include "runtime/ref.h"
#include "tarnel/advanced.h"
#include "tarnel/canonical.h"
#include "tarnel/transport.h"
#include "value/atom.h"

namespace tarnel::py {
namespace {

// Adds `bytes` (an exact bytes object, whose octets are the atom) to a writer that takes atoms.
template <class Writer>
struct WriterSink : Writer {
  using Writer::Writer;

  void bytes(PyObject*, std::span<const std::uint8_t> data) { this->atom(data, nullptr); }
};

// The canonical form, for `to_canonical` and `to_transport`. Small atoms are copied as they
// come; the octets of a long bytes object are not copied until the output's size is known, only
// a reference to the (immutable) object is kept, so that each is copied once, into its final
// place.
class CanonicalSink {
 public:
  void open_list() { writer_.open_list(); }

  void close_list() { writer_.close_list(); }

  void atom(std::span<const std::uint8_t> data, const Octets* hint) { writer_.atom(data, hint); }

  void bytes(PyObject* object, std::span<const std::uint8_t> data) {
    if (data.size() < deferred_from) {
      writer_.atom(data, nullptr);
      return;
    }
    writer_.length_prefix(data.size());
    deferred_.push_back({written_.size(), Ref::borrow(object), data});
    deferred_size_ += data.size();
  }

  /// The size of the whole output.
  std::size_t size() const {
    // No value held in memory reaches 2^63 octets of output; treat it as exhausted memory.
    if (deferred_size_ >= (std::uint64_t{1} << 62) || written_.size() >= (std::size_t{1} << 62)) {
      throw std::bad_alloc();
    }
    return static_cast<std::size_t>(deferred_size_) + written_.size();
  }

  /// Writes the whole output, `size()` octets, to `out`.
  void copy_to(std::uint8_t* out) const {
    std::size_t from = 0;
    for (const Deferred& d : deferred_) {
      std::memcpy(out, written_.data() + from, d.at - from);
      out += d.at - from;
      std::memcpy(out, d.data.data(), d.data.size());
      out += d.data.size();
      from = d.at;
    }
    if (written_.size() != from) std::memcpy(out, written_.data() + from, written_.size() - from);
  }

 private:
  // Bytes objects of at least this many octets are copied only once the output is assembled.
  static constexpr std::size_t deferred_from = 4096;

  struct Deferred {
    std::size_t at;  // where in `written_` the octets belong
    Ref owner;
    std::span<const std::uint8_t> data;
  };

  Buffer written_;
  CanonicalWriter writer_{written_};
  std::vector<Deferred> deferred_;
  std::uint64_t deferred_size_ = 0;
};

constexpr Param sexp_params[] = {{"sexp", ParamKind::PositionalOrKeyword, true}};

template <class Write>
PyObject* write_with(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Write write) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(signature, args, nargs, kwnames, bound)) return nullptr;
    return write(bound[0]);
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
  return write_with(to_canonical_signature, args, nargs, kwnames, [](PyObject* sexp) {
    CanonicalSink sink;
    if (!walk_python(sexp, sink)) return static_cast<PyObject*>(nullptr);
    std::size_t size = sink.size();
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) return bytes;
    sink.copy_to(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes)));
    return bytes;
  });
}

PyObject* to_transport_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return write_with(to_transport_signature, args, nargs, kwnames, [](PyObject* sexp) {
    CanonicalSink sink;
    if (!walk_python(sexp, sink)) return static_cast<PyObject*>(nullptr);
    Buffer canonical;
    std::size_t size = sink.size();
    sink.copy_to(canonical.extend(size));
    return text_of(encode_transport_of_canonical(canonical.view()));
  });
}

PyObject* to_advanced_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  return write_with(to_advanced_signature, args, nargs, kwnames, [](PyObject* sexp) {
    Buffer text;
    WriterSink<AdvancedWriter> sink(text);
    if (!walk_python(sexp, sink)) return static_cast<PyObject*>(nullptr);
    return text_of(text);
  });
}

}  // namespace tarnel::py
