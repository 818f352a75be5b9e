// `Ref`: owns exactly one reference to a Python object (or none). New references are taken with
// `Ref::steal`, borrowed ones with `Ref::borrow`; `get` lends the object, `release` hands the
// reference to CPython. Move-only. A raw `PyObject*` parameter anywhere in the binding is a
// borrowed reference.
#pragma once

#include <Python.h>

#include <utility>

namespace tarnel::py {

// Reference counting. Built against the limited API of 3.10, CPython's `Py_INCREF`/`Py_DECREF`
// compile to plain inline updates of the count, which know nothing of 3.12's immortal objects.
// In interpreters with their own GIL those objects (`None`, small ints, the empty and one-octet
// `bytes`) are shared, and such unsynchronised updates race until a count reaches zero and a
// static object is freed. From 3.12 on, counts therefore go through CPython's exported
// `Py_IncRef`/`Py_DecRef`, which leave immortal objects alone; before 3.12 nothing is immortal
// and the inline updates stay. The choice is made once, when the first module is set up
// (`init_module`), before any reference is counted. Builds against the full API get CPython's
// own rules from its headers.
#if defined(Py_LIMITED_API)
inline bool count_through_functions = false;

inline void incref(PyObject* p) noexcept {
  if (count_through_functions) {
    Py_IncRef(p);
  } else {
    Py_INCREF(p);
  }
}

inline void decref(PyObject* p) noexcept {
  if (count_through_functions) {
    Py_DecRef(p);
  } else {
    Py_DECREF(p);
  }
}
#else
inline void incref(PyObject* p) noexcept { Py_INCREF(p); }
inline void decref(PyObject* p) noexcept { Py_DECREF(p); }
#endif

inline void decref(PyTypeObject* type) noexcept { decref(reinterpret_cast<PyObject*>(type)); }

inline void xincref(PyObject* p) noexcept {
  if (p != nullptr) incref(p);
}

inline void xdecref(PyObject* p) noexcept {
  if (p != nullptr) decref(p);
}

/// A new reference to `p`.
inline PyObject* new_ref(PyObject* p) noexcept {
  incref(p);
  return p;
}

class Ref {
 public:
  Ref() noexcept = default;

  /// Takes ownership of a new reference (which may be null).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }

  /// Takes a new reference to a borrowed object (which may be null).
  static Ref borrow(PyObject* p) noexcept {
    xincref(p);
    return Ref(p);
  }

  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}

  Ref& operator=(Ref&& other) noexcept {
    reset(std::exchange(other.p_, nullptr));
    return *this;
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  ~Ref() { xdecref(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  /// Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

  /// Replaces the held object with a new reference `p`: stores `p` before dropping the old one,
  /// since dropping can run arbitrary Python code.
  void reset(PyObject* p = nullptr) noexcept {
    PyObject* old = p_;
    p_ = p;
    xdecref(old);
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}

  PyObject* p_ = nullptr;
};

}  // namespace tarnel::py
