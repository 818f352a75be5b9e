// The exception firewall. Every entry point that CPython calls runs its body inside `guard`, so
// that no C++ exception ever unwinds into the interpreter: std::bad_alloc becomes MemoryError and
// any other exception a SystemError naming the failure, raised as an exception of the call.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>

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

}  // namespace tarnel::py
