#include "runtime/buffer.h"

#include <Python.h>

#include <cstddef>
#include <cstring>

#include "runtime/interpreter.h"

namespace tarnel::py {
namespace {

// The request: shape and strides, with the format, read-only. Indirect buffers (suboffsets) are
// not asked for, so an exporter that needs them refuses and the caller reads it another way.
#if defined(Py_LIMITED_API)
constexpr int buffer_format = 0x0004;   // PyBUF_FORMAT
constexpr int buffer_nd = 0x0008;       // PyBUF_ND
constexpr int buffer_strides = 0x0010;  // PyBUF_STRIDES, less the PyBUF_ND it includes
constexpr int buffer_request = buffer_format | buffer_nd | buffer_strides;
#else
constexpr int buffer_request = PyBUF_FORMAT | PyBUF_STRIDES;
#endif

using GetBuffer = int (*)(PyObject*, BufferLayout*, int);
using ReleaseBuffer = void (*)(BufferLayout*);

struct BufferFunctions {
  GetBuffer get = nullptr;
  ReleaseBuffer release = nullptr;
};

#if defined(Py_LIMITED_API)
template <class F>
F interpreter_function(const char* name) {
  return reinterpret_cast<F>(interpreter_symbol(name));
}

BufferFunctions find_buffer_functions() {
  BufferFunctions found;
  if (!runs_at_least(3, 11)) return found;
  found.get = interpreter_function<GetBuffer>("PyObject_GetBuffer");
  found.release = interpreter_function<ReleaseBuffer>("PyBuffer_Release");
  if (found.get == nullptr || found.release == nullptr) found = {};
  return found;
}
#else
BufferFunctions find_buffer_functions() { return {&PyObject_GetBuffer, &PyBuffer_Release}; }
#endif

// Looked up once per process: every interpreter in it runs the same library.
const BufferFunctions& buffer_functions() {
  static const BufferFunctions functions = find_buffer_functions();
  return functions;
}

bool is_octet_format(const char* format) {
  return format == nullptr || std::strcmp(format, "B") == 0 || std::strcmp(format, "@B") == 0;
}

// Whether a memoryview describes one dimension of unsigned bytes: 1 if so, 0 if not, -1 with an
// exception set where it cannot say (a released view).
int memoryview_holds_octets(PyObject* view) {
  Ref ndim = Ref::steal(PyObject_GetAttrString(view, "ndim"));
  if (!ndim) return -1;
  Ref itemsize = Ref::steal(PyObject_GetAttrString(view, "itemsize"));
  if (!itemsize) return -1;
  Ref format = Ref::steal(PyObject_GetAttrString(view, "format"));
  if (!format) return -1;
  const long dimensions = PyLong_AsLong(ndim.get());
  if (dimensions == -1 && PyErr_Occurred()) return -1;
  const long size = PyLong_AsLong(itemsize.get());
  if (size == -1 && PyErr_Occurred()) return -1;
  if (dimensions != 1 || size != 1 || !PyUnicode_Check(format.get())) return 0;
  return PyUnicode_CompareWithASCIIString(format.get(), "B") == 0 ||
         PyUnicode_CompareWithASCIIString(format.get(), "@B") == 0;
}

}  // namespace

bool buffers_held_in_place() noexcept { return buffer_functions().get != nullptr; }

OctetBuffer::Taken OctetBuffer::take(PyObject* object) {
  if (buffers_held_in_place()) return take_in_place(object);
  return take_copy(object);
}

OctetBuffer::Taken OctetBuffer::take_in_place(PyObject* object) {
  if (buffer_functions().get(object, &buffer_, buffer_request) < 0) return Taken::Failed;
  held_ = true;
  const BufferLayout& b = buffer_;
  if (b.ndim != 1 || b.itemsize != 1 || b.suboffsets != nullptr || !is_octet_format(b.format)) {
    release();
    return Taken::NotOctets;
  }
  const Py_ssize_t count = b.shape != nullptr ? b.shape[0] : b.len;
  const Py_ssize_t step = b.strides != nullptr ? b.strides[0] : 1;
  const auto* first = static_cast<const std::uint8_t*>(b.buf);
  if (count <= 0) {
    view_ = {};
  } else if (step == 1) {
    view_ = {first, static_cast<std::size_t>(count)};
  } else {
    // Each item is read once into a block of its own, and the buffer is given back at once.
    gathered_.reset(new std::uint8_t[static_cast<std::size_t>(count)]);
    for (Py_ssize_t i = 0; i < count; ++i) gathered_[static_cast<std::size_t>(i)] = first[i * step];
    view_ = {gathered_.get(), static_cast<std::size_t>(count)};
    held_ = false;
    buffer_functions().release(&buffer_);
  }
  return Taken::Octets;
}

OctetBuffer::Taken OctetBuffer::take_copy(PyObject* object) {
  if (PyByteArray_CheckExact(object)) {
    copy_ = Ref::steal(
        PyBytes_FromStringAndSize(PyByteArray_AsString(object), PyByteArray_Size(object)));
  } else {
    Ref view = PyMemoryView_Check(object) ? Ref::borrow(object)
                                          : Ref::steal(PyMemoryView_FromObject(object));
    if (!view) return Taken::Failed;
    const int octets = memoryview_holds_octets(view.get());
    if (octets < 0) return Taken::Failed;
    if (octets == 0) return Taken::NotOctets;
    // Gathers the items of a view with a step, as iterating over it would.
    copy_ = Ref::steal(PyBytes_FromObject(view.get()));
    // More octets than a bytes object can hold (a view repeating one item) cannot be held in
    // memory at all.
    if (!copy_ && PyErr_ExceptionMatches(PyExc_OverflowError)) PyErr_NoMemory();
  }
  if (!copy_) return Taken::Failed;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(copy_.get(), &data, &size) < 0) return Taken::Failed;
  view_ = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
  return Taken::Octets;
}

bool OctetBuffer::take_any(PyObject* object) {
  if (PyBytes_Check(object)) {
    copy_ = Ref::borrow(object);  // read in place: bytes cannot change
  } else {
    const Taken taken = take(object);
    if (taken != Taken::NotOctets) return taken == Taken::Octets;
    copy_ = Ref::steal(PyBytes_FromObject(object));
    if (!copy_) return false;
  }
  return bytes_octets(copy_.get(), view_);
}

void OctetBuffer::release() noexcept {
  view_ = {};
  if (held_) {
    held_ = false;
    buffer_functions().release(&buffer_);
  }
  gathered_.reset();
  copy_.reset();
}

}  // namespace tarnel::py
