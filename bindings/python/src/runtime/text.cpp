#include "runtime/text.h"

#include <Python.h>

#include <cstring>

#include "runtime/interpreter.h"

namespace tarnel::py {
namespace {

using UnicodeNew = PyObject* (*)(Py_ssize_t, Py_UCS4);

#if defined(Py_LIMITED_API)
// The writable characters of `str`, a new ASCII str of `size` characters, or null.
std::uint8_t* characters_of(PyObject* str, std::size_t size) noexcept {
  Py_ssize_t length = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &length);
  if (p == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  if (static_cast<std::size_t>(length) != size) return nullptr;
  return reinterpret_cast<std::uint8_t*>(const_cast<char*>(p));
}

// `PyUnicode_New`, where it is exported and a new str written through `characters_of` reads back
// as what was written; else null.
UnicodeNew find_unicode_new() noexcept {
  auto unicode_new = reinterpret_cast<UnicodeNew>(interpreter_symbol("PyUnicode_New"));
  if (unicode_new == nullptr) return nullptr;
  constexpr char probe[] = "tarnel: 0-9 a-z";
  constexpr std::size_t probe_size = sizeof probe - 1;
  Ref str = Ref::steal(unicode_new(static_cast<Py_ssize_t>(probe_size), 127));
  if (!str) {
    PyErr_Clear();
    return nullptr;
  }
  std::uint8_t* p = characters_of(str.get(), probe_size);
  if (p == nullptr) return nullptr;
  std::memcpy(p, probe, probe_size);
  if (PyUnicode_CompareWithASCIIString(str.get(), probe) != 0) return nullptr;
  return unicode_new;
}

// Looked up and checked once per process, with the GIL of the first caller held.
UnicodeNew unicode_new() noexcept {
  static const UnicodeNew found = find_unicode_new();
  return found;
}
#endif

}  // namespace

bool NewAsciiText::make(std::size_t size) {
  size_ = size;
  if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    return false;
  }
#if defined(Py_LIMITED_API)
  if (UnicodeNew make_str = unicode_new(); make_str != nullptr && size != 0) {
    str_ = Ref::steal(make_str(static_cast<Py_ssize_t>(size), 127));
    if (!str_) return false;
    data_ = characters_of(str_.get(), size);
    if (data_ != nullptr) return true;
    str_.reset();
  }
  data_ = staging_.extend(size);
  return true;
#else
  str_ = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
  if (!str_) return false;
  data_ = static_cast<std::uint8_t*>(PyUnicode_DATA(str_.get()));
  return true;
#endif
}

PyObject* NewAsciiText::finish() {
  if (str_) return str_.release();
  return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(staging_.data()),
                                     static_cast<Py_ssize_t>(size_));
}

}  // namespace tarnel::py
