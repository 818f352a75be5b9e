// `Ref`: owns exactly one reference to a Python object (or none). New references are taken with
// `Ref::steal`, borrowed ones with `Ref::borrow`; `get` lends the object, `release` hands the
// reference to CPython. Move-only. A raw `PyObject*` parameter anywhere in the binding is a
// borrowed reference.
#pragma once

#include <Python.h>

#include <utility>

namespace tarnel::py {

class Ref {
 public:
  Ref() noexcept = default;

  /// Takes ownership of a new reference (which may be null).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }

  /// Takes a new reference to a borrowed object (which may be null).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}

  Ref& operator=(Ref&& other) noexcept {
    reset(std::exchange(other.p_, nullptr));
    return *this;
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  /// Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

  /// Replaces the held object with a new reference `p`: stores `p` before dropping the old one,
  /// since dropping can run arbitrary Python code.
  void reset(PyObject* p = nullptr) noexcept {
    PyObject* old = p_;
    p_ = p;
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}

  PyObject* p_ = nullptr;
};

}  // namespace tarnel::py
