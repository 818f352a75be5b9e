// The octets of objects that export the buffer protocol, read at memory speed.
//
// Only one-dimensional buffers of unsigned bytes are taken: format "B" (or "@B", or none), items
// of one octet, one dimension, no indirection; any other buffer is left to the caller. Which
// objects may be read this way is the caller's decision: this unit only reads buffers.
//
// The buffer is held in place while the caller reads it: as long as it is held, the exporter cannot
// be resized, closed or released (bytearray, array and memoryview refuse with BufferError), so
// Python code that runs meanwhile cannot pull the octets from under the reader. A buffer whose
// items are not adjacent (a slice with a step) is gathered into a copy.
//
// A module built against the full C API calls `PyObject_GetBuffer` and `PyBuffer_Release`. Those
// two joined the stable ABI in 3.11, so a module built for the stable ABI of 3.10 may not import
// them: where the running interpreter is 3.11 or later, they are looked up in it at first use; on
// 3.10, or where the lookup fails, the octets are copied once through a memoryview instead.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <span>

#include "runtime/ref.h"

namespace tarnel::py {

/// The octets of the bytes object `bytes`, valid while it lives. False with an exception set.
inline bool bytes_octets(PyObject* bytes, std::span<const std::uint8_t>& out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return false;
  out = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
  return true;
}

#if defined(Py_LIMITED_API)
/// The layout of `Py_buffer`, which is part of the stable ABI from CPython 3.11 on (the 3.10
/// headers hide the struct from a module built for 3.10).
struct BufferLayout {
  void* buf;
  PyObject* obj;
  Py_ssize_t len;
  Py_ssize_t itemsize;
  int readonly;
  int ndim;
  char* format;
  Py_ssize_t* shape;
  Py_ssize_t* strides;
  Py_ssize_t* suboffsets;
  void* internal;
};
#else
using BufferLayout = Py_buffer;
#endif

/// Whether this process holds buffers in place rather than copying them: always for the full
/// C API; for the stable ABI, on CPython 3.11 or later with the buffer functions found.
bool buffers_held_in_place() noexcept;

/// The octets of one object's buffer, held from `take` until `release` or destruction, which
/// must happen with the GIL held.
class OctetBuffer {
 public:
  /// What `take` found.
  enum class Taken {
    Octets,     // a one-dimensional buffer of unsigned bytes, now held
    NotOctets,  // a buffer of another shape or format: nothing held, no exception set
    Failed,     // no buffer (or the exporter refused, or memory ran out): an exception is set
  };

  OctetBuffer() noexcept = default;
  OctetBuffer(const OctetBuffer&) = delete;
  OctetBuffer& operator=(const OctetBuffer&) = delete;

  ~OctetBuffer() { release(); }

  /// Takes the octets of `object`'s buffer. Call once, on an object the caller keeps alive for as
  /// long as the buffer is held.
  Taken take(PyObject* object);

  /// Takes the octets of any object with a buffer, for a reader that holds them until `release`:
  /// a bytes object's own, a buffer `take` takes, or else a copy of the buffer's octets. Call
  /// once. False with an exception set where `object` has no buffer.
  bool take_any(PyObject* object);

  /// The octets taken, valid until `release` or destruction.
  std::span<const std::uint8_t> view() const noexcept { return view_; }

  /// Gives the buffer back to its exporter and drops any copy; does nothing if none is held.
  void release() noexcept;

 private:
  Taken take_in_place(PyObject* object);
  Taken take_copy(PyObject* object);

  BufferLayout buffer_{};
  bool held_ = false;
  Ref copy_;                                  // the bytes copied, where not held in place
  std::unique_ptr<std::uint8_t[]> gathered_;  // the items of a buffer with a step
  std::span<const std::uint8_t> view_;
};

}  // namespace tarnel::py
