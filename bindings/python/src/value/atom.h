// The `Atom` class (an octet string with a display hint) and the two conversions every argument
// that stands for octets goes through:
//
// - `octets_from_python`: bytes, str (as UTF-8), an Atom's data, a bytearray, or any other
//   sequence of integers 0-255; anything else is a TypeError "expected bytes, str, or Atom, and
//   got <type name>". A sequence whose items are those of a one-dimensional buffer of unsigned
//   bytes (memoryview, array.array, NumPy's ndarray) is read through the buffer, at memory speed,
//   to the same octets; any other buffer (another format, several dimensions, mmap, whose items
//   are bytes) is read item by item, to the same result or error as ever.
// - `atom_from_python`: an Atom keeps its hint; everything else goes through
//   `octets_from_python` and gets none.
//
// Failures of the caller's own code inside a conversion (`__index__`, iteration) that are
// ordinary exceptions are replaced by that TypeError; anything that is not an ordinary exception
// (KeyboardInterrupt, SystemExit) and MemoryError propagate as raised.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "runtime/buffer.h"
#include "tarnel/value.h"

namespace tarnel::py {

/// The instance layout of `Atom`.
struct AtomObject {
  PyObject_HEAD Octets data;
  Octets* hint;  // owned; null where absent
};

/// The interpreter's Atom class (borrowed), made at first use; null with an exception set.
PyObject* atom_type() noexcept;

/// A new Atom holding copies of `data` and of `hint` (present, possibly empty), or null.
PyObject* new_atom(PyObject* type, std::span<const std::uint8_t> data,
                   std::span<const std::uint8_t> hint);

/// Converts `object` to octets; false with an exception set on failure. `atom` is the Atom class.
bool octets_from_python(PyObject* object, PyObject* atom, Octets& out);

/// Converts `object` to an atom value; false with an exception set on failure.
bool atom_from_python(PyObject* object, PyObject* atom, Value& out);

/// An atom seen where its octets already are.
struct AtomView {
  std::span<const std::uint8_t> data;
  const Octets* hint = nullptr;  // null where absent
};

/// What `atom_from_python` would make of `object`, without copying: bytes, str, Atom and bytearray
/// are viewed in place (valid while `object` lives and no Python code runs), other sequences are
/// collected into `scratch`. False with an exception set on failure, exactly where
/// `atom_from_python` fails.
bool atom_view_from_python(PyObject* object, PyObject* atom, Octets& scratch, AtomView& out);

/// Takes hold of the octets of `object` through its buffer where that gives what its items
/// would: a memoryview, or an object of exactly the class bytearray, array.array or
/// numpy.ndarray, whose buffer is one dimension of unsigned bytes. `Octets`: `buffer` holds them;
/// `NotOctets`: `object` is to be read another way (no exception set); `Failed`: an exception
/// that must propagate is set.
OctetBuffer::Taken take_buffer_octets(PyObject* object, OctetBuffer& buffer);

}  // namespace tarnel::py
