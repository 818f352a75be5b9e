// `Result<T, E>`: the value of a fallible step, holding either a `T` or an error `E`. The library
// reports refusals as values, never as exceptions; the caller tests the result on the next line
// and passes the error up unchanged:
//
//     tarnel::Result<tarnel::Value, tarnel::ReadError> value = tarnel::read_whole(options, input);
//     if (!value) return value.error();
//
// Reading the value of a result that holds an error, or the error of one that holds a value, is
// a programming error (checked by `assert` in debug builds).
//
// Thread safety: as the `T` held; a result is a plain object.
#pragma once

#include <cassert>
#include <new>
#include <type_traits>
#include <utility>

namespace tarnel {

/// Either a `T` or an `E`; never both, never neither. Move-only.
template <class T, class E>
class [[nodiscard]] Result {
  static_assert(std::is_nothrow_move_constructible_v<T>);
  static_assert(std::is_trivially_copyable_v<E>);

 public:
  /// A result holding `value`. Cannot fail.
  Result(T value) noexcept : ok_(true) { new (&value_) T(std::move(value)); }

  /// A result holding `error`. Cannot fail.
  Result(E error) noexcept : ok_(false) { error_ = error; }

  /// Takes over what `other` holds (a value is moved out of it). Cannot fail.
  Result(Result&& other) noexcept : ok_(other.ok_) {
    if (ok_) {
      new (&value_) T(std::move(other.value_));
    } else {
      error_ = other.error_;
    }
  }

  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  Result& operator=(Result&&) = delete;

  ~Result() {
    if (ok_) value_.~T();
  }

  /// Whether a value is held.
  explicit operator bool() const noexcept { return ok_; }

  /// Whether a value is held.
  bool ok() const noexcept { return ok_; }

  /// The value held; only when ok().
  T& value() & noexcept {
    assert(ok_);
    return value_;
  }

  /// The value held, read-only; only when ok().
  const T& value() const& noexcept {
    assert(ok_);
    return value_;
  }

  /// The value held, to move out of a result about to go; only when ok().
  T&& value() && noexcept {
    assert(ok_);
    return std::move(value_);
  }

  /// The value held; only when ok().
  T& operator*() & noexcept { return value(); }

  /// The value held, for member access; only when ok().
  T* operator->() noexcept { return &value(); }

  /// As above, read-only.
  const T* operator->() const noexcept { return &value(); }

  /// The error held; only when !ok().
  E error() const noexcept {
    assert(!ok_);
    return error_;
  }

 private:
  bool ok_;

  union {
    T value_;
    E error_;
  };
};

}  // namespace tarnel
