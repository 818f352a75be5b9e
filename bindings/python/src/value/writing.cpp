#include "value/writing.h"

#include <Python.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "runtime/args.h"
#include "runtime/errors.h"
#include "runtime/interpreter.h"
#include "runtime/ref.h"
#include "runtime/text.h"
#include "tarnel/advanced.h"
#include "tarnel/base64.h"
#include "tarnel/canonical.h"
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
// place: the bytes returned, or the base-64 text of the transport form.
class CanonicalSink {
 public:
  // Room for what the thread's last value took, so that a run of similar values grows no buffer
  // (nor copies one as it grows) after the first.
  CanonicalSink() { written_.reserve(std::min(last_size, most_reserved)); }

  ~CanonicalSink() { last_size = written_.size(); }

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
    for_each_piece([&out](std::span<const std::uint8_t> piece) {
      if (!piece.empty()) std::memcpy(out, piece.data(), piece.size());
      out += piece.size();
    });
  }

  /// Writes the padded base-64 encoding of the whole output, `base64_encoded_size(size())`
  /// characters, to `out`, straight from where its pieces lie; returns the end.
  std::uint8_t* encode_base64_to(std::uint8_t* out) const {
    // Whole groups of three go out as they come; the 0-2 octets a piece leaves over are carried
    // into the next group.
    std::uint8_t carried[3];
    std::size_t held = 0;
    for_each_piece([&](std::span<const std::uint8_t> piece) {
      if (held != 0) {
        while (held < 3 && !piece.empty()) {
          carried[held++] = piece.front();
          piece = piece.subspan(1);
        }
        if (held < 3) return;
        out = base64_encode_to(std::span(carried, 3), out);
        held = 0;
      }
      const std::size_t whole = piece.size() / 3 * 3;
      out = base64_encode_to(piece.first(whole), out);
      for (const std::uint8_t octet : piece.subspan(whole)) carried[held++] = octet;
    });
    return base64_encode_to(std::span(carried, held), out);
  }

 private:
  // Bytes objects of at least this many octets are copied only once the output is assembled.
  static constexpr std::size_t deferred_from = 4096;

  // The most reserved up front on the strength of the last value.
  static constexpr std::size_t most_reserved = std::size_t{64} << 20;

  // The octets of the last value's small atoms and brackets, in each thread.
  static thread_local std::size_t last_size;

  struct Deferred {
    std::size_t at;  // where in `written_` the octets belong
    Ref owner;
    std::span<const std::uint8_t> data;
  };

  // Hands `visit` the output in order, as the pieces of `written_` and the deferred atoms.
  template <class Visit>
  void for_each_piece(Visit visit) const {
    std::size_t from = 0;
    for (const Deferred& d : deferred_) {
      visit(written_.view().subspan(from, d.at - from));
      visit(d.data);
      from = d.at;
    }
    visit(written_.view().subspan(from));
  }

  Buffer written_;
  CanonicalWriter writer_{written_};
  std::vector<Deferred> deferred_;
  std::uint64_t deferred_size_ = 0;
};

thread_local std::size_t CanonicalSink::last_size = 0;

using ResizeBytes = int (*)(PyObject**, Py_ssize_t);

// `_PyBytes_Resize`, which grows or cuts a bytes object no one else holds yet: part of the full C
// API, and in abi3 builds looked up in the running interpreter; null where it is not found
// (Windows' python3.dll exports the stable ABI only).
ResizeBytes resize_bytes() noexcept {
#if defined(Py_LIMITED_API)
  static const auto found = reinterpret_cast<ResizeBytes>(interpreter_symbol("_PyBytes_Resize"));
  return found;
#else
  return &_PyBytes_Resize;
#endif
}

// The canonical form for `to_canonical`, written straight into the bytes object it returns: the
// object grows as it fills (from what the thread's last value took) and is cut to its size at the
// end, so nothing is gathered elsewhere and copied. Long bytes objects are placed once the size is
// known, as in CanonicalSink: the octets written are spread out in place to make room for them,
// and each long atom is copied once, into its final place.
class BytesSink {
 public:
  explicit BytesSink(ResizeBytes resize) : resize_(resize) {
    grow_to(std::max<std::size_t>(std::min(last_size, most_reserved), 64));
  }

  ~BytesSink() {
    last_size = size_;
    xdecref(bytes_);
  }

  BytesSink(const BytesSink&) = delete;
  BytesSink& operator=(const BytesSink&) = delete;

  void open_list() { *extend(1) = '('; }

  void close_list() { *extend(1) = ')'; }

  void atom(std::span<const std::uint8_t> data, const Octets* hint) {
    const std::size_t n = data.size();
    if (hint != nullptr || n >= 100) {
      scratch_.clear();
      CanonicalWriter(scratch_).atom(data, hint);
      append(scratch_.view());
      return;
    }
    std::uint8_t* w = extend(n + (n < 10 ? 2 : 3));
    if (n >= 10) *w++ = static_cast<std::uint8_t>('0' + n / 10);
    w[0] = static_cast<std::uint8_t>('0' + n % 10);
    w[1] = ':';
    CanonicalWriter::copy_short(w + 2, data.data(), n);
  }

  void bytes(PyObject* object, std::span<const std::uint8_t> data) {
    if (data.size() < deferred_from) {
      atom(data, nullptr);
      return;
    }
    scratch_.clear();
    CanonicalWriter(scratch_).length_prefix(data.size());
    append(scratch_.view());
    deferred_.push_back({size_, Ref::borrow(object), data});
    deferred_size_ += data.size();
  }

  /// The bytes object, cut to its size, with the long atoms in place; null with an exception set.
  PyObject* finish() {
    if (deferred_size_ >= (std::uint64_t{1} << 62)) throw std::bad_alloc();
    const std::size_t written = size_;
    const std::size_t total = written + static_cast<std::size_t>(deferred_size_);
    if (resize_(&bytes_, static_cast<Py_ssize_t>(total)) < 0) return nullptr;
    std::uint8_t* data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes_));
    // From the last long atom back: the octets written after it move up by the length of it and
    // of those before it, then it goes in below them.
    std::size_t end = written;
    std::size_t shift = static_cast<std::size_t>(deferred_size_);
    for (std::size_t i = deferred_.size(); i-- > 0;) {
      const Deferred& d = deferred_[i];
      std::memmove(data + d.at + shift, data + d.at, end - d.at);
      shift -= d.data.size();
      std::memcpy(data + d.at + shift, d.data.data(), d.data.size());
      end = d.at;
    }
    PyObject* done = bytes_;
    bytes_ = nullptr;
    return done;
  }

 private:
  static constexpr std::size_t deferred_from = 4096;
  static constexpr std::size_t most_reserved = std::size_t{64} << 20;

  // Each time the object grows it takes four times the room (twice, past 16 MiB): where the
  // allocator cannot extend it in place, what is written so far is copied, which comes to a third
  // to four thirds of the output in all, against one to two times it when it doubles. The room
  // left over is given back at the end.
  static std::size_t grown(std::size_t capacity) noexcept {
    return capacity < (std::size_t{16} << 20) ? capacity * 4 : capacity * 2;
  }

  // The octets of the last value's small atoms and brackets, in each thread.
  static thread_local std::size_t last_size;

  struct Deferred {
    std::size_t at;  // where among the octets written the atom belongs
    Ref owner;
    std::span<const std::uint8_t> data;
  };

  std::uint8_t* extend(std::size_t n) {
    if (capacity_ - size_ < n) grow_to(std::max(size_ + n, grown(capacity_)));
    std::uint8_t* w = data_ + size_;
    size_ += n;
    return w;
  }

  void append(std::span<const std::uint8_t> octets) {
    std::memcpy(extend(octets.size()), octets.data(), octets.size());
  }

  void grow_to(std::size_t capacity) {
    if (capacity >= (std::size_t{1} << 62)) throw std::bad_alloc();
    if (bytes_ == nullptr) {
      bytes_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
      if (bytes_ == nullptr) throw std::bad_alloc();
    } else if (resize_(&bytes_, static_cast<Py_ssize_t>(capacity)) < 0) {
      throw std::bad_alloc();  // the object is gone: _PyBytes_Resize let it go
    }
    data_ = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes_));
    capacity_ = capacity;
  }

  ResizeBytes resize_;
  PyObject* bytes_ = nullptr;  // owned, and held by nothing else until it is returned
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::vector<Deferred> deferred_;
  std::uint64_t deferred_size_ = 0;
  Buffer scratch_;  // the prefix of a long or hinted atom, written first by the canonical writer
};

thread_local std::size_t BytesSink::last_size = 0;

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
    if (ResizeBytes resize = resize_bytes(); resize != nullptr) {
      BytesSink sink(resize);
      if (!walk_python(sexp, sink)) return static_cast<PyObject*>(nullptr);
      return sink.finish();
    }
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
    // Written once, straight into the str returned where the interpreter allows (runtime/text.h).
    NewAsciiText text;
    if (!text.make(static_cast<std::size_t>(base64_encoded_size(sink.size())) + 2)) {
      return static_cast<PyObject*>(nullptr);
    }
    std::uint8_t* w = text.data();
    *w++ = '{';
    w = sink.encode_base64_to(w);
    *w = '}';
    return text.finish();
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
