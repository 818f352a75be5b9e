// Where the binding's failures become Python exceptions, for both native modules.
//
// - The exception firewall: every entry point that CPython calls runs its body inside `guard`, so
//   that no C++ exception ever unwinds into the interpreter: std::bad_alloc becomes MemoryError
//   and any other exception a SystemError naming the failure, raised as an exception of the call.
// - `PendingError`, which takes the pending exception out of the interpreter while other calls
//   run, and puts it back or drops it: the one place that fetches and restores exceptions.
// - Replacing the pending exception with another: raised from it (its `__cause__`), or with its
//   text in the new one's message.
// - The exceptions with fixed forms: ParseError for a reader's refusal (with `offset` and
//   `kind`), and the TypeErrors for an object of the wrong type.
//
// Every function that raises leaves an exception set: the one it means to raise, or where making
// that fails (no memory, a type whose name cannot be read), the failure.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>

#include "runtime/ref.h"
#include "tarnel/error.h"

namespace tarnel::py {

/// Sets the Python exception for the C++ exception being handled (call only inside `catch`).
void raise_current_cpp_exception() noexcept;

/// Runs `body`; returns its result, or the failure value (null / -1) with an exception set.
template <class F>
auto guard(F&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  try {
    return body();
  } catch (...) {
    raise_current_cpp_exception();
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return static_cast<R>(-1);
    }
  }
}

/// The exception that was pending when this was made, taken out of the interpreter (which then
/// has none pending) and normalized, so that Python code can run meanwhile. `restore` sets it
/// pending again; `drop`, or the destructor, lets it go. Neither copied nor moved.
class PendingError {
 public:
  /// Takes the pending exception, if there is one.
  PendingError() noexcept;

  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;

  /// Whether an exception was taken and is still held.
  explicit operator bool() const noexcept { return static_cast<bool>(type_); }

  /// The exception instance (borrowed), or null.
  PyObject* value() const noexcept { return value_.get(); }

  /// Its traceback (borrowed), or null.
  PyObject* traceback() const noexcept { return traceback_.get(); }

  /// Sets the exception held pending again, in place of any that is; afterwards holds none.
  void restore() noexcept;

  /// Lets the exception held go; afterwards holds none.
  void drop() noexcept;

 private:
  Ref type_;
  Ref value_;
  Ref traceback_;
};

/// Replaces the pending exception with one of `type` whose message `format` makes (as
/// `PyErr_Format` does), raised from it: the replaced exception is its `__cause__`.
void raise_from_pending(PyObject* type, const char* format, ...) noexcept;

/// Replaces the pending exception with one of `type` whose message is `message`, a space and the
/// text of the replaced exception (or `message` alone where that text cannot be had). The
/// replaced exception is dropped, not chained.
void raise_instead_of_pending(PyObject* type, const char* message) noexcept;

/// Raises ParseError for `error`: the reader's display text as its message, `offset` and `kind`
/// as attributes. Where that fails, its failure is raised instead. Returns null.
PyObject* raise_parse_error(const ReadError& error) noexcept;

/// True if the pending exception is one a conversion may replace with its TypeError: an ordinary
/// Exception other than MemoryError.
bool pending_exception_is_replaceable() noexcept;

/// Sets TypeError "'<qualname of type(obj)>' object is not an instance of '<expected>'".
void raise_not_an_instance(PyObject* obj, const char* expected) noexcept;

/// Raises the TypeError "expected bytes, str, or Atom, and got <type name>" for `object`.
void raise_unconvertible(PyObject* object) noexcept;

}  // namespace tarnel::py
